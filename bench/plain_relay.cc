// The ordinary way to relay a capture node's output: a socket node hook read
// into a 64 KiB buffer and written out, one blocking write per read, as
// nghook(8) does. The benchmark's baseline beside hooktap.
//   plain_relay [-j jail] [-s snaplen] node hook
#include "capture.h"

#include <err.h>
#include <unistd.h>

int
main(int argc, char **argv)
{
	struct capture_args a;
	static unsigned char buf[65536];

	capture_parse(argc, argv, 0, "plain_relay [-j jail] [-s snaplen] node hook", &a);
	int ds = capture_open(&a);
	for (;;) {
		ssize_t n = read(ds, buf, sizeof(buf));
		if (n <= 0)
			err(71, "read");
		if (write(1, buf, n) != n)
			err(71, "write");
	}
}
