// A bounded UDP flood from a network stack: COUNT datagrams making frames of
// SIZE bytes on an Ethernet link, sent to ADDR's discard port at RATE per
// second (those due every 100 microseconds at once), for at most SECONDS. Paced,
// because an emulated interface's TAP device drops what the emulated kernel
// has not taken yet instead of making the sender wait. Prints the datagrams
// sent.
//   flood ADDR COUNT SIZE RATE SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <err.h>
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
	static const char usage[] = "usage: flood addr count size rate seconds";
	static char payload[65536];
	struct sockaddr_in sin;

	if (argc != 6)
		errx(64, "%s", usage);
	unsigned long count = strtoul(argv[2], NULL, 10);
	size_t size = strtoul(argv[3], NULL, 10);
	double rate = atof(argv[4]), limit = atof(argv[5]);
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	sin.sin_port = htons(9);
	// 42 bytes of Ethernet, IPv4 and UDP headers.
	if (inet_pton(AF_INET, argv[1], &sin.sin_addr) != 1 || size < 42 ||
	    size - 42 > sizeof(payload) || rate <= 0)
		errx(64, "%s", usage);
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (s < 0 || connect(s, (struct sockaddr *)&sin, sizeof(sin)) < 0)
		err(71, "socket");
	unsigned long sent = 0;
	double start = now(), t = start;
	while (sent < count && t - start < limit) {
		unsigned long due = (unsigned long)((t - start) * rate) + 1;
		for (; sent < count && sent < due; sent++)
			if (send(s, payload, size - 42, 0) < 0)
				err(71, "send");
		struct timespec tick = {0, 100000};
		nanosleep(&tick, NULL);
		t = now();
	}
	printf("%lu\n", sent);
	return 0;
}
