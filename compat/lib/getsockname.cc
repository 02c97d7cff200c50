/*
 * getsockname(2) for a socket node's sockets: their struct sockaddr_ng, as
 * the emulated kernel has it. Every other socket gets the host's answer.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ngsim_client.h"

extern "C" int
getsockname(int fd, struct sockaddr *addr, socklen_t *len)
{
	struct sockaddr_storage real;
	socklen_t reallen = sizeof(real);
	int type = 0;
	socklen_t tl = sizeof(type);

	if (syscall(SYS_getsockname, fd, &real, &reallen) < 0)
		return -1;
	/* A node's sockets are unnamed SEQPACKET pairs made by the kernel. */
	if (real.ss_family == AF_UNIX && reallen == sizeof(sa_family_t) &&
	    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 &&
	    type == SOCK_SEQPACKET) {
		void *sa;
		uint32_t salen;
		int saved = errno;
		ngsim_quiet = 1;
		int rc = ngsim_oneshot(NGSIM_OP_SOCKNAME, nullptr, 0, fd, &sa,
		    &salen);
		ngsim_quiet = 0;
		if (rc >= 0 && sa != nullptr) {
			if (len != nullptr && addr != nullptr)
				memcpy(addr, sa, *len < salen ? *len : salen);
			if (len != nullptr)
				*len = salen;
			free(sa);
			errno = saved;
			return 0;
		}
		free(sa);
		errno = saved;
	}
	if (len != nullptr && addr != nullptr)
		memcpy(addr, &real, *len < reallen ? *len : reallen);
	if (len != nullptr)
		*len = reallen;
	return 0;
}
