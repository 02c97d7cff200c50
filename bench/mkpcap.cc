// Writes a pcap file of COUNT Ethernet frames of SIZE bytes to standard output.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void
put32(uint32_t v)
{
	fwrite(&v, 4, 1, stdout);
}

int
main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: mkpcap count size\n");
		return 64;
	}
	unsigned long count = strtoul(argv[1], NULL, 10);
	unsigned size = (unsigned)strtoul(argv[2], NULL, 10);
	unsigned char frame[65536];
	if (size < 14 || size > sizeof(frame))
		return 64;
	put32(0xa1b2c3d4);
	put32(0x00040002);
	put32(0);
	put32(0);
	put32(65535);
	put32(1);
	memset(frame, 0, sizeof(frame));
	memcpy(frame, "\x02\0\0\0\0\x01\x02\0\0\0\0\x02\x88\xb5", 14);
	for (unsigned long i = 0; i < count; i++) {
		for (unsigned j = 14; j < size; j++)
			frame[j] = (unsigned char)(i + j);
		put32((uint32_t)(1700000000 + i / 1000000));
		put32((uint32_t)(i % 1000000));
		put32(size);
		put32(size);
		fwrite(frame, size, 1, stdout);
	}
	return 0;
}
