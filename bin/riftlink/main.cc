/*-
 * SPDX-License-Identifier: BSD-2-Clause
 *
 * Copyright (c) 2026 The hooktap and riftlink authors
 *
 * Redistribution and use in source and binary forms, with or without
 * modification, are permitted provided that the following conditions
 * are met:
 * 1. Redistributions of source code must retain the above copyright
 *    notice, this list of conditions and the following disclaimer.
 * 2. Redistributions in binary form must reproduce the above copyright
 *    notice, this list of conditions and the following disclaimer in the
 *    documentation and/or other materials provided with the distribution.
 *
 * THIS SOFTWARE IS PROVIDED BY THE AUTHOR AND CONTRIBUTORS ``AS IS'' AND
 * ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 * IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 * ARE DISCLAIMED.  IN NO EVENT SHALL THE AUTHOR OR CONTRIBUTORS BE LIABLE
 * FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR CONSEQUENTIAL
 * DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF SUBSTITUTE GOODS
 * OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS INTERRUPTION)
 * HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN CONTRACT, STRICT
 * LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE) ARISING IN ANY WAY
 * OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE POSSIBILITY OF
 * SUCH DAMAGE.
 */

/*
 * riftlink: join the netgraph graphs of two jails with a wormhole.
 *
 * The near end of a wormhole is made next to our own socket node and opened
 * into a jail, which gives it a twin there. A child that enters the jail
 * names and connects the twin from a socket node of its own. With two
 * foreign jails the two near ends are joined, which collapses them into one
 * passage; otherwise the near end is named and connected here.
 */

#include <sys/param.h>
#include <sys/jail.h>
#include <sys/wait.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <assert.h>
#include <err.h>
#include <errno.h>
#include <getopt.h>
#include <jail.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include "cli.h"
#include "kld.h"
#include "ng.h"
#include "wormhole.h"

/*
 * One wormhole specification, [jail][:name][:node:hook], split in place:
 * the fields point into the argument vector; an absent or empty component
 * is NULL. node and hook are either both set or both NULL.
 */
struct wh_spec {
	char	*jail;
	char	*name;
	char	*node;
	char	*hook;
};

/* What the exit hook gives back: our control socket and near ends. */
static struct {
	int	fd;
	ng_ID_t	wh1;
	ng_ID_t	wh2;
} G = { -1, 0, 0 };

static constexpr char usage_text[] =
    "USAGE: riftlink [-n] [-j jail] spec1 [spec2]\n"
    "-n\tDisable automatic loading of netgraph(4) kernel modules.\n"
    "-j jail\tSwitch to jail for all references.\n"
    "\n"
    "You provide 2 wormhole specifications (components of which are\n"
    "separated by colons). The wormhole spec componentes are:\n"
    "\t[jail][:name][:node:hook]\n"
    "For each spec the components are:\n"
    "jail\t\tjail reference for remaining components. If not preset it\n"
    "\t\tdefaults to where `riftlink' is run (see `-j' above).\n"
    "name\t\tset the netgraph name of the wormhole to [name] in [jail].\n"
    "node:hook\tconnect the wormhole in [jail] to this [node:hook] pair.\n"
    "\n"
    "Without a jail componet the spec assumes the jail where `riftlink' was\n"
    "run or the jail from `-j'. But the jails from spec1 and spec2 MUST be\n"
    "different. Without a name the wormhole can only be accessed by ID.\n"
    "Without a [node:hook] netgraph path the wormhole is left unconnected\n"
    "but is held open by the other side. It can be connected to later with\n"
    "ngctl(8).\n";
static_assert(sizeof(usage_text) - 1 == 940,
    "the usage text is 940 characters");

/* Longest components the command line accepts. */
static constexpr size_t SPEC_JAIL_MAX = MAXHOSTNAMELEN;	/* 256 */
static constexpr size_t SPEC_NAME_MAX = NG_NODELEN;		/* 31 */

/* Longest names and jail references that the wormhole routines take. */
static constexpr size_t WH_NAME_MAX = NG_NODELEN - 1;		/* 30 */
static constexpr size_t WH_JAIL_MAX = MAXHOSTNAMELEN - 1;	/* 255 */

static void	usage(const char *fmt, ...) __dead2 __printflike(1, 2);

static void
usage(const char *fmt, ...)
{
	va_list ap;

	if (fmt != NULL) {
		va_start(ap, fmt);
		vfprintf(stderr, fmt, ap);
		va_end(ap);
	}
	fwrite(usage_text, 1, sizeof(usage_text) - 1, stderr);
	exit(EX_USAGE);
}

/*
 * Keep a component of at most max characters in *field; an absent or empty
 * one leaves it NULL. Returns 1 when the component is too long.
 */
static int
spec_component(const char *what, char *piece, size_t max, char **field)
{
	*field = NULL;
	if (piece == NULL || *piece == '\0')
		return (0);
	if (strlen(piece) > max) {
		warnx("`%s': name too long: `%s'", what, piece);
		return (1);
	}
	*field = piece;
	return (0);
}

/* Split [jail][:name][:node:hook] in place; warn about every fault found. */
static int
parse_spec(char *arg, struct wh_spec *whs)
{
	char *slot[4] = { NULL, NULL, NULL, NULL };
	char *rest, *node_piece, *hook_piece;
	int faults, i;

	assert(arg != NULL);
	assert(whs != NULL);

	faults = 0;
	rest = arg;
	for (i = 0; i < 4 && rest != NULL; i++)
		slot[i] = strsep(&rest, ":");
	if (rest != NULL) {
		warnx("unrecognized components after wormhole spec: `%s'",
		    rest);
		faults++;
	}

	faults += spec_component("jail", slot[0], SPEC_JAIL_MAX, &whs->jail);
	faults += spec_component("name", slot[1], SPEC_NAME_MAX, &whs->name);
	faults += spec_component("node", slot[2], SPEC_NAME_MAX, &whs->node);
	whs->hook = NULL;

	node_piece = slot[2];
	hook_piece = slot[3];
	if (hook_piece == NULL) {
		if (node_piece != NULL) {
			warnx("node: `%s': set but missing hook", node_piece);
			return (-1);
		}
	} else {
		faults += spec_component("hook", hook_piece, SPEC_NAME_MAX,
		    &whs->hook);
		if (*node_piece != '\0' && *hook_piece == '\0') {
			warnx("node: `%s': set but missing hook", node_piece);
			return (-1);
		}
		if (*hook_piece != '\0' && *node_piece == '\0') {
			warnx("hook: `%s': set but missing node", hook_piece);
			return (-1);
		}
	}
	return (faults > 0 ? -1 : 0);
}

/* The wormhole routines take one character less than the command line. */
static void
check_wh_name(const char *piece)
{
	if (piece != NULL && strlen(piece) > WH_NAME_MAX)
		usage("riftlink: `%s' exceeds %d characters\n\n", piece,
		    (int)WH_NAME_MAX);
}

static void
check_wh_jail(const char *jail)
{
	if (strlen(jail) > WH_JAIL_MAX)
		usage("riftlink: `%s' exceeds %d characters\n\n", jail,
		    (int)WH_JAIL_MAX);
}

static int
resolve_jail(const char *jail)
{
	int jid;

	if ((jid = jail_getid(jail)) == -1)
		errx(ng_status_nohost(), "%s", jail_errmsg);
	return (jid);
}

/* Runs inside err(3) and errx(3): give back what the process holds. */
static void
err_cleanup(int status)
{
	(void)status;

	/* A child between giving up our socket and opening its own. */
	if (G.fd == -1)
		return;
	if (G.wh1 != 0)
		ng_shutdown_node(G.fd, G.wh1);
	if (G.wh2 != 0)
		ng_shutdown_node(G.fd, G.wh2);
	close(G.fd);
}

/*
 * Name the far end wh and connect its evthorizon to node:hook from inside
 * the jail, where wh's ID addresses it: a child enters the jail and does
 * both through a socket node of its own.
 */
static void
jail_name_connect(int jid, ng_ID_t wh, const char *name, const char *node,
    const char *hook)
{
	pid_t pid;
	int status;

	assert(jid > 0);
	assert(wh > 0);

	if (name == NULL && node == NULL)
		return;

	if ((pid = fork()) < 0)
		err(ng_status_oserr(), "%s: fork()", __func__);

	if (pid > 0) {
		/* Our child, not one that whoever exec'ed us left unreaped. */
		while (waitpid(pid, &status, 0) == -1) {
			if (errno != EINTR)
				err(EX_OSERR,
				    "failed to wait for child in prison");
		}
		if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
			err(EX_OSERR, "child failed its mission");
		return;
	}

	/* The inherited socket node lives in our parent's vnet: let it be. */
	close(G.fd);
	G.fd = -1;
	G.wh1 = 0;
	G.wh2 = 0;

	if (jail_attach(jid) < 0)
		errx(ng_status_oserr(), "cannot attach to jail (jid=%d)", jid);
	ng_create_context(&G.fd, NULL);
	wh_name(G.fd, wh, name);
	wh_connect(G.fd, wh, node, hook);
	close(G.fd);
	exit(0);
}

int
main(int argc, char *argv[])
{
	struct wh_spec spec1, spec2;
	const struct wh_spec *a, *b;
	char peer[32];
	bool load_modules = true;
	int before, ch, n, bad, jid, jida, jidb;
	ng_ID_t fara, farb;

	setvbuf(stdout, NULL, _IONBF, 1024);
	(void)cli_stdfds();
	/*
	 * An ignored SIGCHLD, inherited through exec, would have the system
	 * reap our children before waitpid could see them. Nothing is caught.
	 */
	signal(SIGCHLD, SIG_DFL);

	before = optind;
	while ((ch = getopt_long(argc, argv, ":nj:", NULL, NULL)) != -1) {
		switch (ch) {
		case 'n':
			load_modules = false;
			break;
		case 'j':
			if (strlen(optarg) > SPEC_JAIL_MAX)
				usage("riftlink: `%s' exceeds %d characters"
				    "\n\n", optarg, (int)SPEC_JAIL_MAX);
			jid = resolve_jail(optarg);
			if (jail_attach(jid) < 0)
				errx(ng_status_oserr(),
				    "cannot attach to jail");
			load_modules = false;
			break;
		default:
			usage("riftlink: unrecognized option `%s'\n\n",
			    argv[cli_optword(argv, before)]);
		}
		before = optind;
	}

	n = argc - optind;
	if (n == 0)
		usage("riftlink: must minimally provide `jail' of one "
		    "spec\n\n");
	if (n > 2)
		usage("riftlink: too many arguments provided\n\n");

	/* Both are parsed so that one run shows the faults of both. */
	bad = 0;
	spec2 = wh_spec{ NULL, NULL, NULL, NULL };
	if (n == 2 && parse_spec(argv[optind + 1], &spec2) == -1)
		bad++;
	if (parse_spec(argv[optind], &spec1) == -1)
		bad++;
	if (bad > 0)
		usage("\n\n");

	check_wh_name(spec1.name);
	check_wh_name(spec1.hook);
	check_wh_name(spec2.name);
	check_wh_name(spec2.hook);

	/* spec A names the jail of the first wormhole; spec B the other end. */
	if (spec1.jail != NULL) {
		a = &spec1;
		b = &spec2;
	} else if (spec2.jail != NULL) {
		a = &spec2;
		b = &spec1;
	} else
		usage("riftlink: duplicate (default) jail reference "
		    "detected\n\n");

	jida = resolve_jail(a->jail);
	check_wh_jail(a->jail);
	if (jida == 0)
		usage("riftlink: `%s' is not a foreign jail\n\n", a->jail);
	jidb = 0;
	if (b->jail != NULL) {
		jidb = resolve_jail(b->jail);
		check_wh_jail(b->jail);
	}
	if (jida == jidb)
		usage("riftlink: duplicate jail reference detected\n\n");

	if (load_modules) {
		kld_ensure_load("ng_socket");
		kld_ensure_load("ng_wormhole");
	}

	ng_create_context(&G.fd, NULL);
	err_set_exit(err_cleanup);

	G.wh1 = wh_create(G.fd);
	fara = wh_open(G.fd, G.wh1, a->jail);
	jail_name_connect(jida, fara, a->name, a->node, a->hook);

	if (jidb == 0) {
		/* The near end lives here: name and connect it directly. */
		wh_name(G.fd, G.wh1, b->name);
		wh_connect(G.fd, G.wh1, b->node, b->hook);
	} else {
		G.wh2 = wh_create(G.fd);
		farb = wh_open(G.fd, G.wh2, b->jail);
		jail_name_connect(jidb, farb, b->name, b->node, b->hook);
		snprintf(peer, sizeof(peer), "[%08x]", G.wh2);
		wh_connect(G.fd, G.wh1, peer, NG_WORMHOLE_HOOK);
	}
	return (0);
}
