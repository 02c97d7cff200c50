// The far end of a benchmark run: reads its standard input, a pcapng stream,
// in 64 KiB chunks, and counts the packets (Enhanced Packet Blocks) in it.
// Stops once it has EXPECTED packets, or when nothing has come for IDLE_MS
// (10 s before the first packet); asked to, it stalls for STALL_MS in every
// PERIOD_MS.
// Prints the packets, their blocks' bytes and the seconds from the first
// packet to the last.
//   reader EXPECTED IDLE_MS [PERIOD_MS STALL_MS]
#include <poll.h>
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
	if (argc != 3 && argc != 5) {
		fprintf(stderr, "usage: reader expected idle_ms [period_ms stall_ms]\n");
		return 64;
	}
	unsigned long long expected = strtoull(argv[1], NULL, 10);
	int idle_ms = atoi(argv[2]);
	double period = argc == 5 ? atoi(argv[3]) / 1e3 : 0;
	double stall = argc == 5 ? atoi(argv[4]) / 1e3 : 0;
	static unsigned char buf[65536];
	unsigned char hdr[8];	// the type and length of the next block
	size_t hlen = 0, skip = 0;
	unsigned long long pkts = 0, bytes = 0;
	double first = 0, last = 0, since = 0;

	while (pkts < expected) {
		struct pollfd pfd = {0, POLLIN, 0};
		if (poll(&pfd, 1, pkts > 0 ? idle_ms : 10000) <= 0)
			break;	// nothing more is coming
		ssize_t n = read(0, buf, sizeof(buf));
		if (n <= 0)
			break;
		double t = now();
		for (size_t i = 0; i < (size_t)n;) {
			size_t k = (size_t)n - i;
			if (skip > 0) {
				k = k < skip ? k : skip;
				skip -= k;
				i += k;
				continue;
			}
			k = k < 8 - hlen ? k : 8 - hlen;
			memcpy(hdr + hlen, buf + i, k);
			hlen += k;
			i += k;
			if (hlen < 8)
				break;
			uint32_t type, len;
			memcpy(&type, hdr, 4);
			memcpy(&len, hdr + 4, 4);
			if (len < 12 || len % 4 != 0) {
				fprintf(stderr, "reader: not a pcapng stream\n");
				return 65;
			}
			if (type == 6) {
				if (pkts++ == 0)
					first = since = t;
				bytes += len;
				last = t;
			}
			skip = len - 8;
			hlen = 0;
		}
		if (period > 0 && pkts > 0 && t - since >= period - stall) {
			struct timespec ts = {0, (long)(stall * 1e9)};
			nanosleep(&ts, NULL);
			since = now();
		}
	}
	printf("%llu %llu %.6f\n", pkts, bytes, last - first);
	return 0;
}
