/*
 * `ngsim inject` goes through libnetgraph like any program, so that the
 * kernel traces its messages and fault rules apply to it.
 */
#include "inject.h"

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

int ngsim_inject_packets(const std::string &target, pcap_t *pc,
    std::string &err)
{
	size_t colon = target.find(':');
	if (colon == std::string::npos || colon == 0 ||
	    colon + 1 >= target.size()) {
		err = "bad hook address \"" + target + "\" (NODE:HOOK)";
		return -1;
	}
	std::string node = target.substr(0, colon + 1);
	std::string hook = target.substr(colon + 1);
	struct ngm_connect con;
	memset(&con, 0, sizeof con);
	if (node.size() >= sizeof con.path || hook.size() >= sizeof con.peerhook) {
		err = "hook address too long: " + target;
		return -1;
	}
	memcpy(con.path, node.data(), node.size());
	memcpy(con.peerhook, hook.data(), hook.size());
	strcpy(con.ourhook, "inject");

	int cs, ds;
	if (NgMkSockNode(nullptr, &cs, &ds) < 0) {
		err = std::string("cannot make a socket node: ") + strerror(errno);
		return -1;
	}
	if (NgSendMsg(cs, ".", NGM_GENERIC_COOKIE, NGM_CONNECT, &con,
	    sizeof con) < 0) {
		err = "cannot connect to " + target + ": " + strerror(errno);
		close(ds);
		close(cs);
		return -1;
	}
	struct pcap_pkthdr *h;
	const u_char *data;
	int r;
	while ((r = pcap_next_ex(pc, &h, &data)) == 1) {
		if (NgSendData(ds, "inject", data, h->caplen) < 0) {
			err = std::string("cannot send a packet: ") + strerror(errno);
			close(ds);
			close(cs);
			return -1;
		}
	}
	if (r == PCAP_ERROR) {
		err = std::string("cannot read the capture file: ") +
		    pcap_geterr(pc);
		close(ds);
		close(cs);
		return -1;
	}
	close(ds);
	close(cs);
	return 0;
}
