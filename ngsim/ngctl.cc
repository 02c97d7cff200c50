/*
 * A small ngctl(8): list, show, shutdown, mkpeer, connect, name and rmhook,
 * through libnetgraph like any other program.
 */
#include <sys/types.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <err.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char usage_text[] =
    "usage: ngctl list\n"
    "       ngctl show path\n"
    "       ngctl shutdown path\n"
    "       ngctl mkpeer [path] type hook peerhook\n"
    "       ngctl connect [path] relpath hook peerhook\n"
    "       ngctl name path name\n"
    "       ngctl rmhook [path] hook\n";

[[noreturn]] static void usage(void)
{
	fputs(usage_text, stderr);
	exit(64);
}

static int cs = -1;

static void copy_field(char *dst, size_t width, const char *src, const char *what)
{
	if (strlen(src) >= width)
		errx(1, "%s \"%s\" is too long", what, src);
	memset(dst, 0, width);
	memcpy(dst, src, strlen(src));
}

static void send_msg(const char *path, int cmd, const void *arg, size_t len)
{
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, cmd, arg, len) < 0)
		err(1, "send msg");
}

static struct ng_mesg *ask(const char *path, int cmd)
{
	struct ng_mesg *rep;

	send_msg(path, cmd, NULL, 0);
	if (NgAllocRecvMsg(cs, &rep, NULL) < 0)
		err(1, "recv msg");
	return rep;
}

static void print_node(const struct nodeinfo *ni)
{
	printf("  Name: %-15s Type: %-15s ID: %08x   Num hooks: %u\n",
	    ni->name[0] ? ni->name : "<unnamed>", ni->type, ni->id, ni->hooks);
}

static void do_list(void)
{
	struct ng_mesg *rep = ask(".", NGM_LISTNODES);
	const struct namelist *nl = (const struct namelist *)rep->data;

	printf("There %s %u total node%s:\n", nl->numnames == 1 ? "is" : "are",
	    nl->numnames, nl->numnames == 1 ? "" : "s");
	for (uint32_t i = 0; i < nl->numnames; i++)
		print_node(&nl->nodeinfo[i]);
	free(rep);
}

static void do_show(const char *path)
{
	struct ng_mesg *rep = ask(path, NGM_LISTHOOKS);
	const struct hooklist *hl = (const struct hooklist *)rep->data;

	print_node(&hl->nodeinfo);
	if (hl->nodeinfo.hooks > 0) {
		printf("  Local hook      Peer name       Peer type    Peer ID     Peer hook\n");
		printf("  ----------      ---------       ---------    -------     ---------\n");
	}
	for (uint32_t i = 0; i < hl->nodeinfo.hooks; i++) {
		const struct linkinfo *l = &hl->link[i];
		printf("  %-15s %-15s %-12s %08x    %s\n", l->ourhook,
		    l->nodeinfo.name[0] ? l->nodeinfo.name : "<unnamed>",
		    l->nodeinfo.type, l->nodeinfo.id, l->peerhook);
	}
	free(rep);
}

int main(int argc, char **argv)
{
	if (argc < 2)
		usage();
	const char *cmd = argv[1];
	int ac = argc - 2;
	char **av = argv + 2;

	/* The command line is checked before anything is made in the kernel. */
	static const struct { const char *name; int min, max; } cmds[] = {
		{"list", 0, 0}, {"ls", 0, 0}, {"show", 1, 1}, {"shutdown", 1, 1},
		{"mkpeer", 3, 4}, {"connect", 3, 4}, {"name", 2, 2},
		{"rmhook", 1, 2},
	};
	bool known = false;
	for (const auto &c : cmds)
		if (strcmp(cmd, c.name) == 0 && ac >= c.min && ac <= c.max)
			known = true;
	if (!known)
		usage();

	if (NgMkSockNode(NULL, &cs, NULL) < 0)
		err(1, "can't create node");

	if (strcmp(cmd, "list") == 0 || strcmp(cmd, "ls") == 0) {
		if (ac != 0)
			usage();
		do_list();
	} else if (strcmp(cmd, "show") == 0) {
		if (ac != 1)
			usage();
		do_show(av[0]);
	} else if (strcmp(cmd, "shutdown") == 0) {
		if (ac != 1)
			usage();
		send_msg(av[0], NGM_SHUTDOWN, NULL, 0);
	} else if (strcmp(cmd, "mkpeer") == 0) {
		struct ngm_mkpeer mp;
		const char *path = ".";
		if (ac == 4)
			path = *av++;
		else if (ac != 3)
			usage();
		copy_field(mp.type, sizeof mp.type, av[0], "type");
		copy_field(mp.ourhook, sizeof mp.ourhook, av[1], "hook");
		copy_field(mp.peerhook, sizeof mp.peerhook, av[2], "hook");
		send_msg(path, NGM_MKPEER, &mp, sizeof mp);
	} else if (strcmp(cmd, "connect") == 0) {
		struct ngm_connect con;
		const char *path = ".";
		if (ac == 4)
			path = *av++;
		else if (ac != 3)
			usage();
		copy_field(con.path, sizeof con.path, av[0], "path");
		copy_field(con.ourhook, sizeof con.ourhook, av[1], "hook");
		copy_field(con.peerhook, sizeof con.peerhook, av[2], "hook");
		send_msg(path, NGM_CONNECT, &con, sizeof con);
	} else if (strcmp(cmd, "name") == 0) {
		struct ngm_name nm;
		if (ac != 2)
			usage();
		copy_field(nm.name, sizeof nm.name, av[1], "name");
		send_msg(av[0], NGM_NAME, &nm, sizeof nm);
	} else if (strcmp(cmd, "rmhook") == 0) {
		struct ngm_rmhook rm;
		const char *path = ".";
		if (ac == 2)
			path = *av++;
		else if (ac != 1)
			usage();
		copy_field(rm.ourhook, sizeof rm.ourhook, av[0], "hook");
		send_msg(path, NGM_RMHOOK, &rm, sizeof rm);
	} else {
		usage();
	}
	return 0;
}
