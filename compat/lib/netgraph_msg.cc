/* libnetgraph: control messages through the process's socket node. */
#include <sys/types.h>
#include <sys/socket.h>

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <atomic>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ngsim_client.h"

namespace {

/* Tokens count up per process and stay positive, so a token is never -1. */
std::atomic<int> next_token{1};

int
take_token()
{
	int t = next_token.fetch_add(1);
	if (t <= 0) {
		next_token.store(2);
		t = 1;
	}
	return t;
}

int
fill_dest(struct ngsim_sendmsg *dest, const char *path)
{
	if (path == nullptr) {
		errno = EINVAL;
		return -1;
	}
	size_t len = strlen(path);
	if (len >= sizeof(dest->path)) {
		errno = EINVAL;
		return -1;
	}
	memset(dest, 0, sizeof(*dest));
	memcpy(dest->path, path, len);
	return 0;
}

/*
 * Hand a finished message to the kernel, from the node of control socket
 * `cs`; 0 on success, -1 with its verdict. The replies it causes are on
 * `cs` by the time this returns.
 */
int
deliver(int cs, const char *path, const struct ng_mesg *hdr, const void *arg,
    size_t arglen)
{
	struct ngsim_sendmsg dest;
	struct ngsim_reply reply;

	if (fill_dest(&dest, path) < 0)
		return -1;
	if (arglen > 0 && arg == nullptr) {
		errno = EINVAL;
		return -1;
	}
	if (arglen > NGSIM_MAX_PACKET - sizeof(struct ngsim_req) -
	    sizeof(dest) - sizeof(*hdr)) {
		errno = EMSGSIZE;
		return -1;
	}
	struct ngsim_iov iov[3] = {
		{&dest, sizeof(dest)},
		{hdr, sizeof(*hdr)},
		{arg, arglen},
	};
	if (ngsim_call(NGSIM_OP_SENDMSG, iov, arglen > 0 ? 3 : 2, cs,
	    &reply) < 0)
		return -1;
	int e = reply.rsp.error;
	ngsim_reply_free(&reply);
	if (e != 0) {
		errno = e;
		return -1;
	}
	return 0;
}

/*
 * The next message on the control socket, as the kernel put it there
 * (struct ngsim_ctlmsg, then the message), in a malloc'd buffer. Waits as
 * the socket's own blocking mode says. Returns its length, or -1 with
 * errno: that of a failing receive, or ENOTCONN once the node is gone.
 */
ssize_t
fetch(int cs, char **buf)
{
	char c;
	ssize_t len;

	do
		len = recv(cs, &c, 1, MSG_PEEK | MSG_TRUNC);
	while (len < 0 && errno == EINTR);
	if (len < 0)
		return -1;
	if (len == 0) {
		errno = ENOTCONN;
		return -1;
	}
	char *p = static_cast<char *>(malloc(len));
	if (p == nullptr)
		return -1;
	ssize_t n;
	do
		n = recv(cs, p, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < static_cast<ssize_t>(sizeof(struct ngsim_ctlmsg))) {
		int e = n < 0 ? errno : EPROTO;
		free(p);
		errno = e;
		return -1;
	}
	struct ngsim_ctlmsg hdr;
	memcpy(&hdr, p, sizeof(hdr));
	if (hdr.error != 0 || n < static_cast<ssize_t>(sizeof(hdr) +
	    sizeof(struct ng_mesg))) {
		free(p);
		errno = hdr.error != 0 ? hdr.error : EPROTO;
		return -1;
	}
	*buf = p;
	return n;
}

void
copy_sender(char *path, const struct ngsim_ctlmsg *from)
{
	if (path == nullptr)
		return;
	size_t n = strnlen(from->from, sizeof(from->from));
	memcpy(path, from->from, n);
	path[n] = '\0';
}

} // namespace

int
NgSendMsg(int cs, const char *path, int cookie, int cmd, const void *arg,
    size_t arglen)
{
	struct ng_mesg msg;

	memset(&msg, 0, sizeof(msg));
	msg.header.version = NG_VERSION;
	msg.header.arglen = static_cast<uint32_t>(arglen);
	msg.header.cmd = static_cast<uint32_t>(cmd);
	msg.header.flags = NGF_ORIG;
	msg.header.token = static_cast<uint32_t>(take_token());
	msg.header.typecookie = static_cast<uint32_t>(cookie);
	if (deliver(cs, path, &msg, arg, arglen) < 0)
		return -1;
	/* As libnetgraph does, a success leaves errno clear. */
	errno = 0;
	return static_cast<int>(msg.header.token);
}

int
NgSendReplyMsg(int cs, const char *path, const struct ng_mesg *msg,
    const void *arg, size_t arglen)
{
	struct ng_mesg rep;

	if (msg == nullptr) {
		errno = EINVAL;
		return -1;
	}
	memcpy(&rep, msg, sizeof(rep));
	rep.header.version = NG_VERSION;
	rep.header.flags |= NGF_RESP;
	rep.header.arglen = static_cast<uint32_t>(arglen);
	if (deliver(cs, path, &rep, arg, arglen) < 0)
		return -1;
	return 0;
}

/*
 * A message in ASCII form, "command args": the node at `path` turns it into
 * binary (NGM_ASCII2BINARY), which then goes to that node as any message.
 * Returns the token used, as NgSendMsg does.
 */
int
NgSendAsciiMsg(int cs, const char *path, const char *fmt, ...)
{
	va_list ap;
	char *text;

	va_start(ap, fmt);
	int n = vasprintf(&text, fmt, ap);
	va_end(ap);
	if (n < 0)
		return -1;
	const char *cmd = text + strspn(text, " \t");
	size_t cmdlen = strcspn(cmd, " \t");
	const char *args = cmd + cmdlen;
	args += strspn(args, " \t");
	if (cmdlen == 0 || cmdlen >= NG_CMDSTRSIZ) {
		free(text);
		errno = EINVAL;
		return -1;
	}
	size_t arglen = strlen(args) + 1;
	size_t len = sizeof(struct ng_mesg) + arglen;
	struct ng_mesg *ascii = static_cast<struct ng_mesg *>(calloc(1, len));
	if (ascii == nullptr) {
		free(text);
		return -1;
	}
	ascii->header.version = NG_VERSION;
	ascii->header.arglen = static_cast<uint32_t>(arglen);
	ascii->header.flags = NGF_ORIG;
	memcpy(ascii->header.cmdstr, cmd, cmdlen);
	memcpy(ascii->data, args, arglen);
	free(text);

	struct ng_mesg *bin;
	int rc = NgSendMsg(cs, path, NGM_GENERIC_COOKIE, NGM_ASCII2BINARY, ascii,
	    len);
	free(ascii);
	if (rc < 0 || NgAllocRecvMsg(cs, &bin, nullptr) < 0)
		return -1;
	struct ng_mesg *m = reinterpret_cast<struct ng_mesg *>(bin->data);
	if (bin->header.arglen < sizeof(*m) ||
	    m->header.arglen > bin->header.arglen - sizeof(*m)) {
		free(bin);
		errno = EPROTO;
		return -1;
	}
	m->header.token = static_cast<uint32_t>(take_token());
	rc = deliver(cs, path, m, m->data, m->header.arglen) < 0 ? -1 :
	    static_cast<int>(m->header.token);
	free(bin);
	if (rc >= 0)
		errno = 0;
	return rc;
}

int
NgRecvMsg(int cs, struct ng_mesg *rep, size_t replen, char *path)
{
	char *buf;

	if (rep == nullptr && replen > 0) {
		errno = EFAULT;
		return -1;
	}
	ssize_t len = fetch(cs, &buf);
	if (len < 0)
		return -1;
	struct ngsim_ctlmsg from;
	memcpy(&from, buf, sizeof(from));
	copy_sender(path, &from);
	/* As on a datagram socket, a short buffer keeps the front of the message. */
	size_t mlen = len - sizeof(from);
	if (mlen > replen)
		mlen = replen;
	if (mlen > 0)
		memcpy(rep, buf + sizeof(from), mlen);
	free(buf);
	return static_cast<int>(mlen);
}

int
NgAllocRecvMsg(int cs, struct ng_mesg **rep, char *path)
{
	char *buf;

	if (rep == nullptr) {
		errno = EFAULT;
		return -1;
	}
	ssize_t len = fetch(cs, &buf);
	if (len < 0)
		return -1;
	struct ngsim_ctlmsg from;
	memcpy(&from, buf, sizeof(from));
	copy_sender(path, &from);
	size_t mlen = len - sizeof(from);
	/* The message moves to the front, so the caller frees what it was given. */
	memmove(buf, buf + sizeof(from), mlen);
	*rep = reinterpret_cast<struct ng_mesg *>(buf);
	return static_cast<int>(mlen);
}

/*
 * The next message, in ASCII form: the node that sent it converts it
 * (NGM_BINARY2ASCII), as only it knows its own messages.
 */
int
NgAllocRecvAsciiMsg(int cs, struct ng_mesg **rep, char *path)
{
	struct ng_mesg *bin, *ascii;
	char from[NG_PATHSIZ];

	if (rep == nullptr) {
		errno = EFAULT;
		return -1;
	}
	int n = NgAllocRecvMsg(cs, &bin, from);
	if (n < 0)
		return -1;
	int rc = NgSendMsg(cs, from, NGM_GENERIC_COOKIE, NGM_BINARY2ASCII, bin,
	    n);
	free(bin);
	if (rc < 0 || (n = NgAllocRecvMsg(cs, &ascii, nullptr)) < 0)
		return -1;
	struct ng_mesg *m = reinterpret_cast<struct ng_mesg *>(ascii->data);
	if (ascii->header.arglen < sizeof(*m) ||
	    m->header.arglen > ascii->header.arglen - sizeof(*m)) {
		free(ascii);
		errno = EPROTO;
		return -1;
	}
	/* The converted message moves to the front of what the caller frees. */
	size_t len = sizeof(*m) + m->header.arglen;
	memmove(ascii, m, len);
	if (path != nullptr)
		strcpy(path, from);
	*rep = ascii;
	return static_cast<int>(len);
}
