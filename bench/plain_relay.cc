// The ordinary way to relay a capture node's output: a socket node hook read
// into a 64 KiB buffer and written out, one blocking write per read, as
// nghook(8) does. The benchmark's baseline beside hooktap.
#include <sys/types.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <err.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static constexpr uint32_t pcap_cookie = 1751984553;
static constexpr int pcap_set_snaplen = 2;
static constexpr int pcap_set_type = 4;

int
main(int argc, char **argv)
{
	struct ngm_mkpeer mkp;
	struct ngm_connect con;
	struct ng_mesg *rep;
	char path[NG_PATHSIZ], name[NG_NODESIZ];
	int cs, ds;

	if (argc != 3)
		errx(64, "usage: plain_relay node hook");
	snprintf(name, sizeof(name), "plain%d", getpid());
	if (NgMkSockNode(name, &cs, &ds) < 0)
		err(71, "NgMkSockNode");

	memset(&mkp, 0, sizeof(mkp));
	strcpy(mkp.type, "pcap");
	snprintf(mkp.ourhook, sizeof(mkp.ourhook), "%s", argv[2]);
	strcpy(mkp.peerhook, "source0");
	snprintf(path, sizeof(path), "%s:", argv[1]);
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, NGM_MKPEER, &mkp, sizeof(mkp)) < 0)
		err(71, "mkpeer");
	snprintf(path, sizeof(path), "%s:%s", argv[1], argv[2]);
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
	uint32_t len = 262144;
	memcpy(snap + 4, &len, 4);
	if (NgSendMsg(cs, path, pcap_cookie, pcap_set_snaplen, snap, sizeof(snap)) < 0)
		err(71, "set snaplen");

	memset(&con, 0, sizeof(con));
	snprintf(con.path, sizeof(con.path), "[%08x]:", id);
	strcpy(con.ourhook, "pcap");
	strcpy(con.peerhook, "snoop");
	if (NgSendMsg(cs, ".:", NGM_GENERIC_COOKIE, NGM_CONNECT, &con, sizeof(con)) < 0)
		err(71, "connect");

	static unsigned char buf[65536];
	for (;;) {
		ssize_t n = read(ds, buf, sizeof(buf));
		if (n <= 0)
			err(71, "read");
		if (write(1, buf, n) != n)
			err(71, "write");
	}
}
