// The far end of a benchmark run: reads its standard input in 64 KiB chunks,
// stalling for STALL_MS every PERIOD_MS of reading when asked, and reports the
// bytes it got and the time from the first byte to the last.
//   reader EXPECTED_BYTES IDLE_MS [PERIOD_MS STALL_MS]
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
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
	unsigned long long expected = strtoull(argv[1], NULL, 10), got = 0;
	int idle_ms = atoi(argv[2]);
	double period = argc == 5 ? atoi(argv[3]) / 1e3 : 0;
	double stall = argc == 5 ? atoi(argv[4]) / 1e3 : 0;
	static char buf[65536];
	double first = 0, last = 0, since = 0;

	while (got < expected) {
		struct pollfd pfd = {0, POLLIN, 0};
		if (poll(&pfd, 1, idle_ms) <= 0)
			break;	/* nothing more is coming */
		ssize_t n = read(0, buf, sizeof(buf));
		if (n <= 0)
			break;
		last = now();
		if (got == 0)
			first = since = last;
		got += n;
		if (period > 0 && last - since >= period) {
			struct timespec ts = {0, (long)(stall * 1e9)};
			nanosleep(&ts, NULL);
			since = now();
		}
	}
	printf("%llu %.6f\n", got, last - first);
	return 0;
}
