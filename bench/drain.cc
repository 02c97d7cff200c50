// The emulated kernel's own ceiling: a capture node's stream read straight
// from the data socket and thrown away, nothing in between. Once no item has
// come for IDLE_MS (10 s before the first packet), prints the packets (Enhanced
// Packet Blocks) and bytes it got and the seconds from the first packet to
// the last.
//   drain [-j jail] [-s snaplen] node hook idle_ms
#include "capture.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <err.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double
now(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

int
main(int argc, char **argv)
{
	struct capture_args a;
	static unsigned char buf[65536];

	capture_parse(argc, argv, 1, "drain [-j jail] [-s snaplen] node hook idle_ms", &a);
	long ms = atol(a.rest[0]);
	int ds = capture_open(&a);
	unsigned long long pkts = 0, bytes = 0;
	double first = 0, last = 0;
	struct timeval tv = {10, 0};
	if (setsockopt(ds, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0)
		err(71, "SO_RCVTIMEO");
	for (;;) {
		ssize_t n = read(ds, buf, sizeof(buf));
		if (n <= 0)
			break;
		uint32_t type;
		memcpy(&type, buf, sizeof(type));
		if (n < 4 || type != 6)
			continue;	// the section's and interfaces' headers
		last = now();
		if (pkts++ == 0) {
			// The traffic has begun: from now on a quiet spell
			// of IDLE_MS ends it.
			tv = {ms / 1000, ms % 1000 * 1000};
			first = last;
			if (setsockopt(ds, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0)
				err(71, "SO_RCVTIMEO");
		}
		bytes += n;
	}
	printf("%llu %llu %.6f\n", pkts, bytes, last - first);
	return 0;
}
