/* Without the host layer's libnetgraph there is nothing to inject with. */
#include "inject.h"

int ngsim_inject_packets(const std::string &, pcap_t *, std::string &err)
{
	err = "inject is not available in this build";
	return -1;
}
