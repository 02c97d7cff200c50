/*
 * A small ngctl(8) through libnetgraph like any other program. One command
 * from the command line; or commands from a file (-f), one a line; or,
 * with neither, from standard input.
 */
#include <sys/types.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "msgs.h"

#define CMD_OK		0
#define CMD_ERROR	1
#define CMD_USAGE	64

struct cmd {
	const char	*name;
	const char	*alias;
	const char	*args;		/* as the usage shows them */
	const char	*desc;
	int		min, max;	/* arguments; max -1: any number */
	bool		needs_node;	/* talks to the kernel */
	bool		session_only;	/* left out of the usage */
	int		(*run)(int ac, char **av);
	bool		(*valid)(int ac, char **av);	/* null: any words */
};

static int cs = -1;

static int do_connect(int, char **);
static int do_help(int, char **);
static int do_list(int, char **);
static int do_mkpeer(int, char **);
static int do_msg(int, char **);
static int do_name(int, char **);
static int do_quit(int, char **);
static int do_rmhook(int, char **);
static int do_show(int, char **);
static int do_shutdown(int, char **);
static int do_status(int, char **);
static int do_types(int, char **);
static bool list_valid(int, char **);

static const struct cmd cmds[] = {
	{"connect", nullptr, "[path] relpath hook peerhook",
	    "Connect hook \"peerhook\" of the node at \"relpath\" to \"hook\"",
	    3, 4, true, false, do_connect, nullptr},
	{"help", nullptr, "[command]",
	    "Show the commands, or how to use one of them",
	    0, 1, false, false, do_help, nullptr},
	{"list", "ls", "[-ln]", "Show information about all nodes",
	    0, 2, true, false, do_list, list_valid},
	{"mkpeer", nullptr, "[path] type hook peerhook",
	    "Create and connect a new node to the node at \"path\"",
	    3, 4, true, false, do_mkpeer, nullptr},
	{"msg", nullptr, "path command [args ...]",
	    "Send a netgraph control message to the node at \"path\"",
	    2, -1, true, false, do_msg, nullptr},
	{"name", nullptr, "path name",
	    "Assign name \"name\" to the node at \"path\"",
	    2, 2, true, false, do_name, nullptr},
	{"quit", "exit", "", "Exit program", 0, 0, false, true, do_quit, nullptr},
	{"rmhook", nullptr, "[path] hook",
	    "Disconnect hook \"hook\" of the node at \"path\"",
	    1, 2, true, false, do_rmhook, nullptr},
	{"show", nullptr, "path", "Show information about the node at \"path\"",
	    1, 1, true, false, do_show, nullptr},
	{"shutdown", nullptr, "path", "Shut down the node at \"path\"",
	    1, 1, true, false, do_shutdown, nullptr},
	{"status", nullptr, "path",
	    "Get human readable status information from the node at \"path\"",
	    1, 1, true, false, do_status, nullptr},
	{"types", nullptr, "",
	    "Show information about all installed node types",
	    0, 0, true, false, do_types, nullptr},
};

static const struct cmd *
find_cmd(const char *name)
{
	for (const struct cmd &c : cmds)
		if (strcmp(name, c.name) == 0 ||
		    (c.alias != nullptr && strcmp(name, c.alias) == 0))
			return &c;
	return nullptr;
}

static void
usage(void)
{
	fprintf(stderr, "usage: ngctl [-f file] [-n name] [command ...]\n");
	for (const struct cmd &c : cmds)
		if (!c.session_only)
			fprintf(stderr, "       ngctl %s%s%s\n", c.name,
			    c.args[0] != '\0' ? " " : "", c.args);
}

/* list's options: -l shows each node as show does, -n only named ones. */
static bool
list_opts(int ac, char **av, bool *lng, bool *named)
{
	*lng = *named = false;
	for (int i = 0; i < ac; i++) {
		if (av[i][0] != '-' || av[i][1] == '\0')
			return false;
		for (const char *p = av[i] + 1; *p != '\0'; p++) {
			if (*p == 'l')
				*lng = true;
			else if (*p == 'n')
				*named = true;
			else
				return false;
		}
	}
	return true;
}

static bool
list_valid(int ac, char **av)
{
	bool lng, named;
	return list_opts(ac, av, &lng, &named);
}

/* ---------------------------------------------------------------- helpers */

static int
copy_field(char *dst, size_t width, const char *src, const char *what)
{
	if (strlen(src) >= width) {
		warnx("%s \"%s\" is too long", what, src);
		return -1;
	}
	memset(dst, 0, width);
	memcpy(dst, src, strlen(src));
	return 0;
}

static int
send_msg(const char *path, int cmd, const void *arg, size_t len)
{
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, cmd, arg, len) < 0) {
		warn("send msg");
		return CMD_ERROR;
	}
	return CMD_OK;
}

/*
 * Ask `path` a generic question. The reply's arguments must hold `fixed`
 * bytes and, when `each` is not 0, as many records of `each` bytes after
 * them as the uint32_t at `count_off` says. The caller frees the reply.
 */
static struct ng_mesg *
ask(const char *path, int cmd, size_t fixed, size_t count_off, size_t each)
{
	struct ng_mesg *rep;
	int len;

	if (send_msg(path, cmd, NULL, 0) != CMD_OK)
		return NULL;
	if ((len = NgAllocRecvMsg(cs, &rep, NULL)) < 0) {
		warn("recv msg");
		return NULL;
	}
	size_t arglen = size_t(len) - sizeof(*rep);
	if (size_t(len) < sizeof(*rep) || rep->header.arglen != arglen ||
	    arglen < fixed)
		goto bad;
	if (each > 0) {
		uint32_t n;
		memcpy(&n, rep->data + count_off, sizeof n);
		if (n > (arglen - fixed) / each)
			goto bad;
	}
	return rep;
bad:
	warnx("malformed reply from \"%s\"", path);
	free(rep);
	return NULL;
}

/* A reply waiting on the control socket, by the time its message is delivered. */
static int
reply_waiting(void)
{
	struct pollfd pfd = {cs, POLLIN, 0};
	int n = poll(&pfd, 1, 0);
	if (n < 0)
		warn("poll");
	return n;
}

static const char *
node_name(const struct nodeinfo *ni)
{
	return ni->name[0] != '\0' ? ni->name : "<unnamed>";
}

static void
print_node(const struct nodeinfo *ni)
{
	printf("  Name: %-15.*s Type: %-15.*s ID: %08x   Num hooks: %u\n",
	    NG_NODESIZ, node_name(ni), NG_TYPESIZ, ni->type, ni->id, ni->hooks);
}

static int
show(const char *path)
{
	struct ng_mesg *rep = ask(path, NGM_LISTHOOKS, sizeof(struct hooklist),
	    offsetof(struct hooklist, nodeinfo.hooks), sizeof(struct linkinfo));
	if (rep == NULL)
		return CMD_ERROR;
	const struct hooklist *hl = (const struct hooklist *)rep->data;

	print_node(&hl->nodeinfo);
	if (hl->nodeinfo.hooks > 0) {
		printf("  Local hook      Peer name       Peer type    Peer ID     Peer hook\n");
		printf("  ----------      ---------       ---------    -------     ---------\n");
	}
	for (uint32_t i = 0; i < hl->nodeinfo.hooks; i++) {
		const struct linkinfo *l = &hl->link[i];
		printf("  %-15.*s %-15.*s %-12.*s %08x    %.*s\n",
		    NG_HOOKSIZ, l->ourhook, NG_NODESIZ, node_name(&l->nodeinfo),
		    NG_TYPESIZ, l->nodeinfo.type, l->nodeinfo.id,
		    NG_HOOKSIZ, l->peerhook);
	}
	free(rep);
	return CMD_OK;
}

/* --------------------------------------------------------------- commands */

static int
do_list(int ac, char **av)
{
	bool lng, named;
	(void)list_opts(ac, av, &lng, &named);
	struct ng_mesg *rep = ask(".", named ? NGM_LISTNAMES : NGM_LISTNODES,
	    sizeof(struct namelist), 0, sizeof(struct nodeinfo));
	if (rep == NULL)
		return CMD_ERROR;
	const struct namelist *nl = (const struct namelist *)rep->data;
	int rtn = CMD_OK;

	printf("There %s %u total %snode%s:\n", nl->numnames == 1 ? "is" : "are",
	    nl->numnames, named ? "named " : "", nl->numnames == 1 ? "" : "s");
	for (uint32_t i = 0; i < nl->numnames && rtn == CMD_OK; i++) {
		char path[NG_PATHSIZ];
		if (!lng) {
			print_node(&nl->nodeinfo[i]);
			continue;
		}
		snprintf(path, sizeof path, "[%x]:", nl->nodeinfo[i].id);
		rtn = show(path);
	}
	free(rep);
	return rtn;
}

static int
do_show(int, char **av)
{
	return show(av[0]);
}

static int
do_shutdown(int, char **av)
{
	return send_msg(av[0], NGM_SHUTDOWN, NULL, 0);
}

static int
do_mkpeer(int ac, char **av)
{
	struct ngm_mkpeer mp;
	const char *path = ac == 4 ? *av++ : ".";

	if (copy_field(mp.type, sizeof mp.type, av[0], "type") < 0 ||
	    copy_field(mp.ourhook, sizeof mp.ourhook, av[1], "hook") < 0 ||
	    copy_field(mp.peerhook, sizeof mp.peerhook, av[2], "hook") < 0)
		return CMD_ERROR;
	return send_msg(path, NGM_MKPEER, &mp, sizeof mp);
}

static int
do_connect(int ac, char **av)
{
	struct ngm_connect con;
	const char *path = ac == 4 ? *av++ : ".";

	if (copy_field(con.path, sizeof con.path, av[0], "path") < 0 ||
	    copy_field(con.ourhook, sizeof con.ourhook, av[1], "hook") < 0 ||
	    copy_field(con.peerhook, sizeof con.peerhook, av[2], "hook") < 0)
		return CMD_ERROR;
	return send_msg(path, NGM_CONNECT, &con, sizeof con);
}

static int
do_name(int, char **av)
{
	struct ngm_name nm;

	if (copy_field(nm.name, sizeof nm.name, av[1], "name") < 0)
		return CMD_ERROR;
	return send_msg(av[0], NGM_NAME, &nm, sizeof nm);
}

static int
do_rmhook(int ac, char **av)
{
	struct ngm_rmhook rm;
	const char *path = ac == 2 ? *av++ : ".";

	if (copy_field(rm.ourhook, sizeof rm.ourhook, av[0], "hook") < 0)
		return CMD_ERROR;
	return send_msg(path, NGM_RMHOOK, &rm, sizeof rm);
}

static int
do_msg(int ac, char **av)
{
	struct ng_mesg *m;
	char path[NG_PATHSIZ];
	std::string text = av[1];

	/* The command and its arguments, as one line of text. */
	for (int i = 2; i < ac; i++) {
		text += ' ';
		text += av[i];
	}
	if (NgSendAsciiMsg(cs, av[0], "%s", text.c_str()) < 0) {
		warn("send msg");
		return CMD_ERROR;
	}
	int n = reply_waiting();
	if (n <= 0)
		return n < 0 ? CMD_ERROR : CMD_OK;
	if (NgAllocRecvAsciiMsg(cs, &m, path) < 0) {
		warn("recv incoming message");
		return CMD_ERROR;
	}
	printf("Rec'd %s \"%.*s\" (%u) from \"%s\":\n",
	    (m->header.flags & NGF_RESP) != 0 ? "response" : "command",
	    NG_CMDSTRSIZ, (const char *)m->header.cmdstr, m->header.cmd, path);
	size_t len = strnlen(m->data, m->header.arglen);
	if (len == 0)
		printf("No arguments\n");
	else
		printf("Args:\t%.*s\n", int(len), m->data);
	free(m);
	return CMD_OK;
}

static int
do_status(int, char **av)
{
	struct ng_mesg *rep;
	int len;

	/* A node without status refuses the question. */
	int n = 0;
	if (NgSendMsg(cs, av[0], NGM_GENERIC_COOKIE, NGM_TEXT_STATUS, NULL, 0) < 0) {
		if (errno != EINVAL) {
			warn("send msg");
			return CMD_ERROR;
		}
	} else if ((n = reply_waiting()) < 0) {
		return CMD_ERROR;
	}
	if (n == 0) {
		printf("No status available for \"%s\"\n", av[0]);
		return CMD_OK;
	}
	if ((len = NgAllocRecvMsg(cs, &rep, NULL)) < 0) {
		warn("recv msg");
		return CMD_ERROR;
	}
	size_t textlen = strnlen(rep->data, size_t(len) - sizeof(*rep));
	if (textlen == 0) {
		printf("No status available for \"%s\"\n", av[0]);
	} else {
		printf("Status for \"%s\":\n%.*s", av[0], int(textlen), rep->data);
		if (rep->data[textlen - 1] != '\n')
			putchar('\n');
	}
	free(rep);
	return CMD_OK;
}

static int
do_types(int, char **)
{
	struct ng_mesg *rep = ask(".", NGM_LISTTYPES, sizeof(struct typelist),
	    0, sizeof(struct typeinfo));
	if (rep == NULL)
		return CMD_ERROR;
	const struct typelist *tl = (const struct typelist *)rep->data;

	printf("There %s %u total type%s:\n", tl->numtypes == 1 ? "is" : "are",
	    tl->numtypes, tl->numtypes == 1 ? "" : "s");
	printf("\tType name\tNumber of living nodes\n");
	printf("\t---------\t----------------------\n");
	for (uint32_t i = 0; i < tl->numtypes; i++)
		printf("\t%-15.*s %u\n", NG_TYPESIZ, tl->typeinfo[i].type_name,
		    tl->typeinfo[i].numnodes);
	free(rep);
	return CMD_OK;
}

static int
do_help(int ac, char **av)
{
	if (ac == 0) {
		printf("Available commands:\n");
		for (const struct cmd &c : cmds)
			printf("  %-10s %s\n", c.name, c.desc);
		return CMD_OK;
	}
	const struct cmd *c = find_cmd(av[0]);
	if (c == nullptr) {
		warnx("unknown command \"%s\"", av[0]);
		return CMD_ERROR;
	}
	printf("Usage:    %s%s%s\n", c->name, c->args[0] != '\0' ? " " : "",
	    c->args);
	printf("Summary:  %s\n", c->desc);
	if (c->alias != nullptr)
		printf("Aliases:  %s\n", c->alias);
	return CMD_OK;
}

static bool quitting;

static int
do_quit(int, char **)
{
	quitting = true;
	return CMD_OK;
}

/* ------------------------------------------------------------------ main */

/*
 * One command, its words in av. The words are checked before anything is
 * made in the kernel; the socket node is made for the first command that
 * needs it and serves every later one.
 */
/* The name of ngctl's own socket node: ngctl and its process ID, or -n's. */
static char node_name_buf[NG_NODESIZ];
static const char *node_name_arg = node_name_buf;

static int
run(int ac, char **av)
{
	const struct cmd *c = find_cmd(av[0]);

	ac--;
	av++;
	if (c == nullptr || ac < c->min || (c->max >= 0 && ac > c->max) ||
	    (c->valid != nullptr && !c->valid(ac, av))) {
		usage();
		return CMD_USAGE;
	}
	if (c->needs_node && cs < 0 && NgMkSockNode(node_name_arg, &cs,
	    NULL) < 0) {
		warn("can't create node");
		return CMD_ERROR;
	}
	return c->run(ac, av);
}

/*
 * Commands one a line; blank lines and those starting with '#' are
 * skipped. In a terminal session a failure is reported and the session
 * goes on; otherwise the first failure ends the run with its status.
 */
static int
run_lines(FILE *fp, bool session)
{
	char *line = NULL;
	size_t cap = 0;
	int rtn = CMD_OK;

	for (;;) {
		if (session) {
			printf("+ ");
			fflush(stdout);
		}
		if (getline(&line, &cap, fp) < 0)
			break;
		std::vector<char *> words;
		for (char *w = strtok(line, " \t\r\n"); w != NULL;
		    w = strtok(NULL, " \t\r\n"))
			words.push_back(w);
		if (words.empty() || words[0][0] == '#')
			continue;
		rtn = run(int(words.size()), words.data());
		fflush(stdout);
		if (quitting || (rtn != CMD_OK && !session))
			break;
	}
	if (session && !quitting)
		putchar('\n');
	free(line);
	return session ? CMD_OK : rtn;
}

int
main(int argc, char **argv)
{
	const char *file = NULL;
	int i = 1;

	snprintf(node_name_buf, sizeof(node_name_buf), "ngctl%d", getpid());

	for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
		if (strcmp(argv[i], "--") == 0) {
			i++;
			break;
		}
		const char **opt = strncmp(argv[i], "-f", 2) == 0 ? &file :
		    strncmp(argv[i], "-n", 2) == 0 ? &node_name_arg : NULL;
		if (opt == NULL) {
			usage();
			return CMD_USAGE;
		}
		*opt = argv[i][2] != '\0' ? argv[i] + 2 : argv[++i];
		if (*opt == NULL) {
			usage();
			return CMD_USAGE;
		}
	}
	if (i < argc) {
		if (file != NULL) {
			usage();
			return CMD_USAGE;
		}
		return run(argc - i, argv + i);
	}
	if (file == NULL || strcmp(file, "-") == 0)
		return run_lines(stdin, file == NULL && isatty(0));
	FILE *fp = fopen(file, "r");
	if (fp == NULL)
		err(CMD_ERROR, "%s", file);
	int rtn = run_lines(fp, false);
	fclose(fp);
	return rtn;
}
