/* `ngsim inject`: packets into a node's hook through a socket node of its own. */
#ifndef NGSIM_INJECT_H
#define NGSIM_INJECT_H

#include <pcap/pcap.h>

#include <string>

/*
 * Joins a hook of a new socket node to TARGET ("NODE:HOOK") and sends each
 * packet that `pc` reads as one datagram. Returns 0, or -1 with a message.
 */
int ngsim_inject_packets(const std::string &target, pcap_t *pc,
    std::string &err);

#endif
