/* libnetgraph: data items through the socket node's data socket. */
#include <sys/types.h>
#include <sys/socket.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include "ngsim_client.h"

/*
 * Items from the kernel carry nothing but their bytes, so the hook they came
 * through is not known here; the caller's hook buffer gets an empty name.
 */
static void
unknown_hook(char *hook)
{
	if (hook != nullptr)
		hook[0] = '\0';
}

int
NgSendData(int ds, const char *hook, const u_char *buf, size_t len)
{
	struct ngsim_data_hdr hdr;

	if (hook == nullptr || (buf == nullptr && len > 0)) {
		errno = EINVAL;
		return -1;
	}
	size_t hlen = strlen(hook);
	if (hlen >= sizeof(hdr.hook)) {
		errno = EINVAL;
		return -1;
	}
	if (len > NGSIM_MAX_ITEM) {
		errno = EMSGSIZE;
		return -1;
	}
	memset(&hdr, 0, sizeof(hdr));
	memcpy(hdr.hook, hook, hlen);
	struct ngsim_iov iov[2] = {{&hdr, sizeof(hdr)}, {buf, len}};
	if (ngsim_send_packet(ds, iov, len > 0 ? 2 : 1) < 0)
		return -1;
	return 0;
}

int
NgRecvData(int ds, u_char *buf, size_t len, char *hook)
{
	ssize_t n;

	do
		n = recv(ds, buf, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		return -1;
	unknown_hook(hook);
	return static_cast<int>(n);
}

int
NgAllocRecvData(int ds, u_char **buf, char *hook)
{
	void *p;

	if (buf == nullptr) {
		errno = EFAULT;
		return -1;
	}
	/* A non-blocking data socket says so rather than wait. */
	int fl = fcntl(ds, F_GETFL);
	if (fl < 0)
		return -1;
	if (fl & O_NONBLOCK) {
		struct pollfd pfd = {ds, POLLIN, 0};
		if (poll(&pfd, 1, 0) == 0) {
			errno = EAGAIN;
			return -1;
		}
	}
	ssize_t n = ngsim_recv_packet(ds, &p);
	if (n < 0)
		return -1;
	unknown_hook(hook);
	*buf = static_cast<u_char *>(p);
	return static_cast<int>(n);
}
