/* libnetgraph: making the process's socket node, naming nodes, debugging. */
#include <sys/param.h>
#include <sys/linker.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ngsim_client.h"

/* The kernel file that provides the socket node type. */
#define NG_SOCKET_KLD	"ng_socket"

static int ng_debug_level;

/*
 * One attempt: the kernel makes the node in the caller's vnet and hands over
 * its sockets. Returns 0 with the descriptors, or -1 with its verdict.
 */
static int
mksock_once(const struct ngsim_mksock *mk, int *csp, int *dsp)
{
	struct ngsim_iov iov = {mk, sizeof(*mk)};
	struct ngsim_reply reply;

	if (ngsim_call(NGSIM_OP_MKSOCK, &iov, 1, -1, &reply) < 0)
		return -1;
	if (reply.rsp.error != 0 || reply.fds[0] < 0 ||
	    (dsp != nullptr && reply.fds[1] < 0)) {
		int e = reply.rsp.error != 0 ? reply.rsp.error : EPROTO;
		ngsim_reply_free(&reply);
		errno = e;
		return -1;
	}
	/*
	 * As socket(2) would, each takes the lowest free descriptor, the
	 * control socket first; and they stay open across exec.
	 */
	for (int i = 0; i < NGSIM_MAX_FDS; i++) {
		if (reply.fds[i] < 0)
			continue;
		int low = fcntl(reply.fds[i], F_DUPFD, 0);
		if (low >= 0 && low < reply.fds[i]) {
			close(reply.fds[i]);
			reply.fds[i] = low;
		} else {
			if (low >= 0)
				close(low);
			(void)fcntl(reply.fds[i], F_SETFD, 0);
		}
	}
	*csp = reply.fds[0];
	if (dsp != nullptr)
		*dsp = reply.fds[1];
	reply.fds[0] = reply.fds[1] = -1;
	ngsim_reply_free(&reply);
	return 0;
}

int
NgMkSockNode(const char *name, int *csp, int *dsp)
{
	struct ngsim_mksock mk;

	if (csp == nullptr) {
		errno = EINVAL;
		return -1;
	}
	memset(&mk, 0, sizeof(mk));
	if (name != nullptr) {
		size_t len = strlen(name);
		if (len >= sizeof(mk.name)) {
			errno = EINVAL;
			return -1;
		}
		memcpy(mk.name, name, len);
	}
	mk.flags = dsp != nullptr ? NGSIM_MKSOCK_DATA : 0;

	if (mksock_once(&mk, csp, dsp) == 0)
		return 0;
	if (errno != EPROTONOSUPPORT)
		return -1;

	/* No socket node type yet: load it, as the library does, and try once more. */
	if (kldload(NG_SOCKET_KLD) < 0 && errno != EEXIST) {
		if (ng_debug_level >= 1)
			fprintf(stderr, "NgMkSockNode: can't load %s: %s\n",
			    NG_SOCKET_KLD, strerror(errno));
		return -1;
	}
	return mksock_once(&mk, csp, dsp);
}

int
NgNameNode(int cs, const char *path, const char *fmt, ...)
{
	struct ngm_name ngn;
	va_list ap;

	memset(&ngn, 0, sizeof(ngn));
	va_start(ap, fmt);
	int n = vsnprintf(ngn.name, sizeof(ngn.name), fmt, ap);
	va_end(ap);
	if (n < 0 || static_cast<size_t>(n) >= sizeof(ngn.name)) {
		errno = EINVAL;
		return -1;
	}
	if (NgSendMsg(cs, path, NGM_GENERIC_COOKIE, NGM_NAME, &ngn,
	    sizeof(ngn)) < 0)
		return -1;
	return 0;
}

int
NgSetDebug(int level)
{
	int old = ng_debug_level;

	if (level >= 0)
		ng_debug_level = level;
	return old;
}
