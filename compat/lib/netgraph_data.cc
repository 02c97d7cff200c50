/* libnetgraph: data items through the socket node's data socket. */
#include <sys/types.h>
#include <sys/socket.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ngsim_client.h"

/*
 * Items arrive with nothing around them, as a plain read(2) wants them; the
 * kernel remembers which hook each came in on, and tells the hook of the
 * one last read.
 */
static int
item_hook(int ds, char *hook)
{
	void *name;
	uint32_t len;

	if (hook == nullptr)
		return 0;
	if (ngsim_oneshot(NGSIM_OP_DATAHOOK, nullptr, 0, ds, &name, &len) < 0) {
		int saved = errno;
		free(name);
		errno = saved;
		return -1;
	}
	size_t n = name != nullptr ? strnlen(static_cast<char *>(name), len) : 0;
	if (n >= NG_HOOKSIZ)
		n = NG_HOOKSIZ - 1;
	memcpy(hook, name, n);
	hook[n] = '\0';
	free(name);
	return 0;
}

int
NgSendData(int ds, const char *hook, const u_char *buf, size_t len)
{
	struct ngsim_data_hdr hdr;
	struct ngsim_reply reply;

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
	if (ngsim_call(NGSIM_OP_SENDDATA, iov, len > 0 ? 2 : 1, ds, &reply) < 0)
		return -1;
	int e = reply.rsp.error;
	ngsim_reply_free(&reply);
	if (e != 0) {
		errno = e;
		return -1;
	}
	return 0;
}

int
NgRecvData(int ds, u_char *buf, size_t len, char *hook)
{
	ssize_t n;

	do
		n = recv(ds, buf, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < 0 || item_hook(ds, hook) < 0)
		return -1;
	return static_cast<int>(n);
}

int
NgAllocRecvData(int ds, u_char **buf, char *hook)
{
	char c;
	ssize_t len;

	if (buf == nullptr) {
		errno = EFAULT;
		return -1;
	}
	do
		len = recv(ds, &c, 1, MSG_PEEK | MSG_TRUNC);
	while (len < 0 && errno == EINTR);
	if (len < 0)
		return -1;
	u_char *p = static_cast<u_char *>(malloc(len > 0 ? len : 1));
	if (p == nullptr)
		return -1;
	ssize_t n;
	do
		n = recv(ds, p, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < 0 || item_hook(ds, hook) < 0) {
		int saved = errno;
		free(p);
		errno = saved;
		return -1;
	}
	*buf = p;
	return static_cast<int>(n);
}
