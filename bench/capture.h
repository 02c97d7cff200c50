// What the plain relay and the drain share: a socket node whose hook "pcap"
// is joined to the snoop hook of a new capture node on NODE's HOOK, set up
// the ordinary way, as a program without hooktap's ring would do it.
#ifndef BENCH_CAPTURE_H
#define BENCH_CAPTURE_H

#include <stdint.h>

struct capture_args {
	const char	*jail;		// NULL: the caller's own vnet
	const char	*node;
	const char	*hook;
	uint32_t	snaplen;
	char		**rest;		// the `nrest` arguments after hook
};

// Parses [-j jail] [-s snaplen] node hook and `nrest` more arguments;
// exits with the usage message on anything else.
void capture_parse(int argc, char **argv, int nrest, const char *usage,
    struct capture_args *a);

// Makes the capture and returns the socket node's data socket.
int capture_open(const struct capture_args *a);

#endif
