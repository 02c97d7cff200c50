#include "capture.h"

#include <sys/types.h>
#include <sys/param.h>
#include <sys/jail.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <err.h>
#include <jail.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static constexpr uint32_t pcap_cookie = 1751984553;
static constexpr int pcap_set_snaplen = 2;
static constexpr int pcap_set_type = 4;

void
capture_parse(int argc, char **argv, int nrest, const char *usage,
    struct capture_args *a)
{
	int ch;

	a->jail = NULL;
	a->snaplen = 262144;
	while ((ch = getopt(argc, argv, "j:s:")) != -1) {
		if (ch == 'j')
			a->jail = optarg;
		else if (ch == 's')
			a->snaplen = (uint32_t)strtoul(optarg, NULL, 10);
		else
			errx(64, "usage: %s", usage);
	}
	if (argc - optind != 2 + nrest)
		errx(64, "usage: %s", usage);
	a->node = argv[optind];
	a->hook = argv[optind + 1];
	a->rest = argv + optind + 2;
}

int
capture_open(const struct capture_args *a)
{
	struct ngm_mkpeer mkp;
	struct ngm_connect con;
	struct ng_mesg *rep;
	char path[NG_PATHSIZ], name[NG_NODESIZ];
	int cs, ds;

	if (a->jail != NULL) {
		int jid = jail_getid(a->jail);
		if (jid < 0)
			errx(68, "%s", jail_errmsg);
		if (jail_attach(jid) < 0)
			err(71, "jail_attach");
	}
	snprintf(name, sizeof(name), "bench%d", getpid());
	if (NgMkSockNode(name, &cs, &ds) < 0)
		err(71, "NgMkSockNode");

	memset(&mkp, 0, sizeof(mkp));
	strcpy(mkp.type, "pcap");
	snprintf(mkp.ourhook, sizeof(mkp.ourhook), "%s", a->hook);
	strcpy(mkp.peerhook, "source0");
	snprintf(path, sizeof(path), "%s:", a->node);
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, NGM_MKPEER, &mkp, sizeof(mkp)) < 0)
		err(71, "mkpeer");
	snprintf(path, sizeof(path), "%s:%s", a->node, a->hook);
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, NGM_NODEINFO, NULL, 0) < 0 ||
	    NgAllocRecvMsg(cs, &rep, NULL) < 0)
		err(71, "nodeinfo");
	ng_ID_t id = ((struct nodeinfo *)rep->data)->id;
	free(rep);

	char type[40] = "source0";
	strcpy(type + 32, "ether");
	snprintf(path, sizeof(path), "[%08x]:", id);
	if (NgSendMsg(cs, path, pcap_cookie, pcap_set_type, type, sizeof(type)) < 0)
		err(71, "set type");
	unsigned char snap[8] = {0};
	memcpy(snap + 4, &a->snaplen, 4);
	if (NgSendMsg(cs, path, pcap_cookie, pcap_set_snaplen, snap, sizeof(snap)) < 0)
		err(71, "set snaplen");

	memset(&con, 0, sizeof(con));
	snprintf(con.path, sizeof(con.path), "[%08x]:", id);
	strcpy(con.ourhook, "pcap");
	strcpy(con.peerhook, "snoop");
	if (NgSendMsg(cs, ".:", NGM_GENERIC_COOKIE, NGM_CONNECT, &con, sizeof(con)) < 0)
		err(71, "connect");
	return ds;
}
