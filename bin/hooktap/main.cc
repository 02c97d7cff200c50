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
 * hooktap: tap up to eight netgraph hooks with one capture node and copy
 * the stream it emits to standard output.
 */

#include <sys/param.h>
#include <sys/event.h>
#include <sys/jail.h>

#include <assert.h>
#include <ctype.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <jail.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sysexits.h>
#include <unistd.h>

#include "cli.h"
#include "kld.h"
#include "ng.h"
#include "pcap.h"
#include "ring32.h"

#define	HKT_MAX_SPECS	NG_PCAP_PKT_TYPE_LENGTH
#define	HKT_LAYER_MAX	8	/* longest layer word looked up */

struct pcap_spec {
	int		layer;
	const char	*node;
	const char	*hook;
};

/* Everything the exit hook may have to give back. */
static struct {
	struct ring32	rb;
	int		ctrl;
	int		data;
	ng_ID_t		pcap;
	int		kq;
} G = { { 0, 0, 0, 0, NULL, NULL }, -1, -1, 0, -1 };

static const char usage_text[] =
    "USAGE: hooktap [-n] [-j jail] [-s snaplen] <spec> [spec ...]\n"
    "-n\t\tDisable automatic loading of netgraph(4) kernel modules.\n"
    "-j jail\t\tSwitch to jail for all references.\n"
    "-s snaplen\tSnarf snaplen bytes of data from each packet rather than\n"
    "\t\tthe default of 262144 bytes.\n"
    "\n"
    "You provide up to 16 pcap specifications to snoop. Specifications have 3\n"
    "components separated by colon:\n"
    "\tlayer\tone of the strings `ether', `inet4', or `inet6'.\n"
    "\tnode\ta valid netgraph(4) node name or ID (not path).\n"
    "\thook\ta valid netgraph(4) hook name for the node.\n";

static void	usage(const char *fmt, ...) __dead2 __printflike(1, 2);
static void	relay_loop(int32_t snaplen) __dead2;

static void
usage(const char *fmt, ...)
{
	va_list ap;

	if (fmt != NULL) {
		va_start(ap, fmt);
		vfprintf(stderr, fmt, ap);
		va_end(ap);
	}
	fputs(usage_text, stderr);
	exit(EX_USAGE);
}

/* Split layer:node:hook in place; warn about every fault found. */
static int
parse_spec(char *arg, struct pcap_spec *spec)
{
	char *rest, *layer, *node, *hook;
	bool nolayer, nonode, nohook;
	int bad = 0;

	assert(arg != NULL);

	spec->node = NULL;
	spec->hook = NULL;

	rest = arg;
	layer = strsep(&rest, ":");
	node = strsep(&rest, ":");
	hook = strsep(&rest, ":");

	if (rest != NULL) {
		warnx("unrecognized components pcap specification: `%s'",
		    rest);
		bad++;
	}

	nolayer = layer == NULL || *layer == '\0';
	if (!nolayer && strlen(layer) > HKT_LAYER_MAX) {
		warnx("`%s': name too long: `%s'", "layer", layer);
		nolayer = true;
		bad++;
	}
	nonode = node == NULL || *node == '\0';
	if (!nonode && strlen(node) >= NG_NODESIZ) {
		warnx("`%s': name too long: `%s'", "node", node);
		nonode = true;
		bad++;
	}
	if (!nonode)
		spec->node = node;
	nohook = hook == NULL || *hook == '\0';
	if (!nohook && strlen(hook) >= NG_HOOKSIZ) {
		warnx("`%s': name too long: `%s'", "hook", hook);
		nohook = true;
		bad++;
	}
	if (!nohook)
		spec->hook = hook;

	if (nolayer) {
		warnx("spec `%s:%s:%s': layer is missing", layer, node, hook);
		bad++;
	} else {
		int i;

		for (i = 0; i < HKT_LAYER_COUNT; i++)
			if (strcmp(layer, hkt_layer_names[i]) == 0)
				break;
		if (i < HKT_LAYER_COUNT)
			spec->layer = i;
		else {
			warnx("layer `%s' is not one of `%s', `%s', or `%s'",
			    layer, hkt_layer_names[HKT_LAYER_ETHER],
			    hkt_layer_names[HKT_LAYER_INET],
			    hkt_layer_names[HKT_LAYER_INET6]);
			bad++;
		}
	}
	if (nonode) {
		warnx("spec `%s:%s:%s': node is missing", layer, node, hook);
		bad++;
	}
	if (nohook) {
		warnx("spec `%s:%s:%s': hook is missing", layer, node, hook);
		bad++;
	}
	return (bad);
}

/*
 * The snapshot length: an unsigned decimal number from 128 to 262144. A
 * number too large for any integer type is above the range, and a negative
 * one below it, whatever its magnitude.
 */
static int32_t
parse_snaplen(const char *arg)
{
	const char *p;
	unsigned long val;
	char *end;
	bool range;

	errno = 0;
	val = strtoul(arg, &end, 10);
	range = errno == ERANGE;
	if (*end != '\0')
		usage("hooktap: snaplen must be integer: \"%s\"\n\n", arg);

	for (p = arg; isspace((unsigned char)*p); p++)
		;
	if (*p != '-' && (range || val > NG_PCAP_SNAPLEN_MAX))
		usage("hooktap: snaplen > %d\n\n", NG_PCAP_SNAPLEN_MAX);
	if (*p == '-' || val < NG_PCAP_SNAPLEN_MIN)
		usage("hooktap: snaplen < %d\n\n", NG_PCAP_SNAPLEN_MIN);
	return ((int32_t)val);
}

/* Runs inside err(3) and errx(3): give back what the process holds. */
static void
err_cleanup(int status)
{
	(void)status;

	(void)ring32_free(&G.rb);
	if (G.kq != -1)
		close(G.kq);
	if (G.ctrl != -1) {
		if (G.pcap != 0)
			ng_shutdown_node(G.ctrl, G.pcap);
		close(G.ctrl);
		close(G.data);
	}
}

static void
set_nonblock(int fd)
{
	int flags;

	flags = fcntl(fd, F_GETFL);
	if (flags == -1)
		err(ng_status_oserr(), "fcntl: can't retrieve flags");
	if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
		err(ng_status_oserr(), "fcntl: can't set flags");
}

/*
 * The ring holds at least three snapshot lengths, as a power-of-two number
 * of pages: the log2 of that number.
 */
static uint8_t
ring_order(int32_t snaplen)
{
	uint32_t bytes, page, v;

	bytes = 3 * (uint32_t)snaplen;
	page = (uint32_t)getpagesize();
	v = (bytes + page - 1) / page - 1;	/* pages, less one */
	v |= v >> 1;
	v |= v >> 2;
	v |= v >> 4;
	v |= v >> 8;
	v |= v >> 16;
	v++;
	return ((uint8_t)(ffs((int)v) - 1));
}

/*
 * Run the handler of one reported event. The handlers leave the ring as it
 * was on a failed transfer; a failure other than an interruption, and the
 * end of the data socket, end the process so the exit hook runs.
 */
static void
relay(const struct kevent *ev)
{
	ring32_handler handler;
	ssize_t n;

	handler = reinterpret_cast<ring32_handler>(ev->udata);
	n = handler((int)ev->ident, &G.rb);
	if (ev->filter == EVFILT_READ) {
		if (n == -1 && errno != EINTR && errno != EAGAIN)
			err(ng_status_oserr(),
			    "unable to read from the capture node");
		if (n == 0 && (ev->flags & EV_EOF) != 0)
			errx(EX_OSERR, "capture node gone, presumed dead");
	} else {
		if (n == -1 && errno != EINTR && errno != EAGAIN)
			err(ng_status_oserr(),
			    "unable to write to standard output");
	}
}

static void
relay_loop(int32_t snaplen)
{
	struct kevent changes[2], events[2];
	struct kevent *list;
	uint32_t count;
	int i, ix, nchanges;

	/*
	 * Both filters start disabled and in dispatch mode: each reports only
	 * after the loop has armed it, and once per arming.
	 */
	EV_SET(&changes[0], static_cast<uintptr_t>(G.data), EVFILT_READ,
	    EV_ADD | EV_DISABLE | EV_DISPATCH, 0, 0,
	    reinterpret_cast<void *>(read_into_ring));
	EV_SET(&changes[1], STDOUT_FILENO, EVFILT_WRITE,
	    EV_ADD | EV_DISABLE | EV_DISPATCH, 0, 0,
	    reinterpret_cast<void *>(write_from_ring));
	while (kevent(G.kq, changes, 2, NULL, 0, NULL) == -1)
		if (errno != EINTR)
			err(ng_status_oserr(),
			    ": kevent failed to register events");
	changes[0].flags &= ~(EV_ADD | EV_DISABLE);
	changes[1].flags &= ~(EV_ADD | EV_DISABLE);

	/*
	 * Reading is armed only while a whole snapshot length is free, so no
	 * datagram is ever cut short; writing only while the ring holds bytes.
	 * The changes ride on the one kevent call of each pass.
	 */
	ix = 1;
	for (;;) {
		count = ring32_count(&G.rb);
		if (G.rb.capacity - count >= (uint32_t)snaplen) {
			changes[0].flags |= EV_ENABLE | EV_DISPATCH;
			list = &changes[0];
			nchanges = 2;
		} else {
			list = &changes[1];
			nchanges = 1;
		}
		if (count == 0)
			nchanges--;
		else
			changes[1].flags |= EV_ENABLE | EV_DISPATCH;

		assert(ix != 0);
		while ((ix = kevent(G.kq, list, nchanges, events, 2,
		    NULL)) == -1)
			if (errno != EINTR)
				err(ng_status_oserr(), ": kevent loop failed");

		for (i = 0; i < ix; i++)
			relay(&events[i]);
	}
}

int
main(int argc, char **argv)
{
	static const struct option longopts[] = { { NULL, 0, NULL, 0 } };
	struct pcap_spec specs[HKT_MAX_SPECS];
	const char *jail = NULL;
	int32_t snaplen = NG_PCAP_SNAPLEN_MAX;
	bool load = true;
	int before, ch, i, jid, n, bad;

	setvbuf(stdout, NULL, _IONBF, 1024);
	/* The capture stream is all we write: without its descriptor, stop. */
	if ((cli_stdfds() & (1 << STDOUT_FILENO)) != 0)
		errx(EX_OSERR, "standard output is closed");

	before = optind;
	while ((ch = getopt_long(argc, argv, ":nj:s:", longopts,
	    NULL)) != -1) {
		switch (ch) {
		case 'n':
			load = false;
			break;
		case 'j':
			if (strlen(optarg) > MAXHOSTNAMELEN)
				usage("hooktap: `%s' exceeds %d characters\n\n",
				    optarg, MAXHOSTNAMELEN);
			jail = optarg;
			break;
		case 's':
			snaplen = parse_snaplen(optarg);
			break;
		default:
			usage("hooktap: unrecognized option `%s'\n\n",
			    argv[cli_optword(argv, before)]);
		}
		before = optind;
	}

	n = argc - optind;
	if (n <= 0)
		usage("hooktap: must minimally provide one pcap "
		    "specification\n\n");
	if (n > HKT_MAX_SPECS)
		usage("hooktap: can have at most %d pcap specifications\n\n",
		    HKT_MAX_SPECS);
	bad = 0;
	for (i = 0; i < n; i++)
		if (parse_spec(argv[optind + i], &specs[i]) != 0)
			bad++;
	if (bad != 0)
		usage("\n\n");
	/*
	 * The relay makes standard output non-blocking, and that flag would
	 * stay on a terminal after us; nor is a capture stream of use there.
	 */
	if (isatty(STDOUT_FILENO))
		usage("hooktap: refusing to write a capture stream to a "
		    "terminal\n\n");

	if (load) {
		kld_ensure_load("ng_socket");
		kld_ensure_load("ng_pcap");
	}

	if (jail != NULL) {
		jid = jail_getid(jail);
		if (jid == -1)
			errx(ng_status_nohost(), "%s", jail_errmsg);
		if (jail_attach(jid) == -1)
			errx(ng_status_oserr(), "cannot attach to jail");
	}

	if (ring32_init(&G.rb, ring_order(snaplen)) == -1)
		err(ng_status_oserr(), "unable to initialize buffer");

	err_set_exit(err_cleanup);

	ng_create_context(&G.ctrl, &G.data);

	for (i = 0; i < n; i++) {
		G.pcap = hkt_connect_src(G.ctrl, G.pcap, (uint8_t)i,
		    specs[i].node, specs[i].hook);
		hkt_set_type(G.ctrl, G.pcap, (uint8_t)i, specs[i].layer);
	}
	hkt_set_snaplen(G.ctrl, G.pcap, (uint32_t)snaplen);
	(void)hkt_connect_snp(G.ctrl, G.pcap, ".", "pcap");

	set_nonblock(G.data);
	set_nonblock(STDOUT_FILENO);

	G.kq = kqueue();
	if (G.kq == -1)
		err(ng_status_oserr(), "kqueue: unable to create");

	relay_loop(snaplen);
}
