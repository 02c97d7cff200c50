#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ngsim_client.h"

int ngsim_quiet;

namespace {

const char *
kernel_path()
{
	const char *p = getenv(NGSIM_SOCKET_ENV);

	return p != nullptr && *p != '\0' ? p : NGSIM_DEFAULT_SOCKET;
}

/* A newcomer learns once what is missing, before the program's own report. */
void
no_kernel(const char *path)
{
	static bool said;

	if (said || ngsim_quiet)
		return;
	said = true;
	fprintf(stderr, "ngsim: no emulated kernel at %s; start one with "
	    "`ngsim kernel`\n", path);
}

/* Block until `fd` is ready for `events`. */
int
wait_ready(int fd, short events)
{
	struct pollfd pfd = {fd, events, 0};

	for (;;) {
		if (poll(&pfd, 1, -1) >= 0)
			return 0;
		if (errno != EINTR)
			return -1;
	}
}

/* Peek at the next packet's length, waiting for it. */
ssize_t
peek_length(int fd)
{
	char c;

	for (;;) {
		ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_TRUNC);
		if (n > 0)
			return n;
		if (n == 0) {
			errno = ECONNRESET;
			return -1;
		}
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (wait_ready(fd, POLLIN) < 0)
				return -1;
			continue;
		}
		return -1;
	}
}

/* Take the next packet, with the descriptors it carries. */
ssize_t
take_packet(int fd, void *buf, size_t len, int *fds)
{
	union {
		struct cmsghdr hdr;
		char space[CMSG_SPACE(sizeof(int) * 8)];
	} ctl;
	struct iovec v = {buf, len};
	struct msghdr mh;

	for (;;) {
		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = &v;
		mh.msg_iovlen = 1;
		mh.msg_control = ctl.space;
		mh.msg_controllen = sizeof(ctl.space);
		ssize_t n = recvmsg(fd, &mh, MSG_CMSG_CLOEXEC);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		/* Descriptors that found no room were lost on the way. */
		bool lost = (mh.msg_flags & MSG_CTRUNC) != 0;
		int k = 0;
		for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr;
		    c = CMSG_NXTHDR(&mh, c)) {
			if (c->cmsg_level != SOL_SOCKET ||
			    c->cmsg_type != SCM_RIGHTS)
				continue;
			size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
			int got[8];
			memcpy(got, CMSG_DATA(c), nfd * sizeof(int));
			for (size_t i = 0; i < nfd; i++) {
				if (fds != nullptr && k < NGSIM_MAX_FDS)
					fds[k++] = got[i];
				else
					close(got[i]);
			}
		}
		if (lost) {
			for (int i = 0; fds != nullptr && i < k; i++) {
				close(fds[i]);
				fds[i] = -1;
			}
			errno = EMFILE;
			return -1;
		}
		return n;
	}
}

int
send_request(int fd, uint32_t op, const struct ngsim_iov *iov, int niov,
    int pass)
{
	struct ngsim_req req;
	struct iovec v[8];
	size_t plen = 0;

	if (niov > 7) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < niov; i++) {
		v[i + 1].iov_base = const_cast<void *>(iov[i].base);
		v[i + 1].iov_len = iov[i].len;
		plen += iov[i].len;
	}
	if (plen > NGSIM_MAX_PACKET - sizeof(req)) {
		errno = EMSGSIZE;
		return -1;
	}
	memset(&req, 0, sizeof(req));
	req.op = op;
	req.len = static_cast<uint32_t>(plen);
	v[0].iov_base = &req;
	v[0].iov_len = sizeof(req);

	struct msghdr mh;
	union {
		struct cmsghdr hdr;
		char space[CMSG_SPACE(sizeof(int))];
	} ctl;
	memset(&mh, 0, sizeof(mh));
	mh.msg_iov = v;
	mh.msg_iovlen = niov + 1;
	if (pass >= 0) {
		memset(&ctl, 0, sizeof(ctl));
		mh.msg_control = ctl.space;
		mh.msg_controllen = sizeof(ctl.space);
		struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(c), &pass, sizeof(int));
	}
	int grown = 0;
	for (;;) {
		if (sendmsg(fd, &mh, MSG_NOSIGNAL) >= 0)
			return 0;
		if (errno == EINTR)
			continue;
		if (errno == EMSGSIZE && !grown) {
			/* The host doubles what it is given. */
			int want = static_cast<int>(sizeof(req) + plen + 1024);
			(void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want,
			    sizeof(want));
			grown = 1;
			continue;
		}
		return -1;
	}
}

int
receive_reply(int fd, struct ngsim_reply *reply)
{
	ssize_t len = peek_length(fd);
	if (len < 0)
		return -1;
	char *buf = static_cast<char *>(malloc(len));
	if (buf == nullptr)
		return -1;
	ssize_t n = take_packet(fd, buf, len, reply->fds);
	if (n < static_cast<ssize_t>(sizeof(reply->rsp))) {
		free(buf);
		errno = n < 0 ? errno : EPROTO;
		return -1;
	}
	memcpy(&reply->rsp, buf, sizeof(reply->rsp));
	size_t want = reply->rsp.len;
	char *p = static_cast<char *>(malloc(want + 1));
	if (p == nullptr) {
		free(buf);
		return -1;
	}
	size_t have = n - sizeof(reply->rsp);
	if (have > want)
		have = want;
	memcpy(p, buf + sizeof(reply->rsp), have);
	free(buf);
	/* A long answer continues in packets of its own. */
	while (have < want) {
		len = peek_length(fd);
		if (len < 0 || static_cast<size_t>(len) > want - have) {
			free(p);
			errno = len < 0 ? errno : EPROTO;
			return -1;
		}
		n = take_packet(fd, p + have, len, nullptr);
		if (n <= 0) {
			free(p);
			errno = n < 0 ? errno : EPROTO;
			return -1;
		}
		have += n;
	}
	/* Text payloads are handy to have terminated. */
	p[want] = '\0';
	if (want > 0)
		reply->payload = p;
	else
		free(p);
	return 0;
}

} // namespace

int
ngsim_connect(void)
{
	struct sockaddr_un sun;
	const char *path = kernel_path();
	size_t len = strlen(path);

	if (len >= sizeof(sun.sun_path)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	memcpy(sun.sun_path, path, len + 1);

	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	int rc;
	do
		rc = connect(fd, reinterpret_cast<struct sockaddr *>(&sun),
		    sizeof(sun));
	while (rc < 0 && errno == EINTR);
	if (rc == 0) {
		struct ucred cr;
		socklen_t sl = sizeof(cr);
		if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &sl) == 0 &&
		    cr.uid == 0)
			return fd;
		/* Whoever listens there is not the kernel. */
		errno = ECONNREFUSED;
	}
	int saved = errno;
	close(fd);
	if (saved == ENOENT || saved == ECONNREFUSED)
		no_kernel(path);
	errno = saved;
	return -1;
}

int
ngsim_call(uint32_t op, const struct ngsim_iov *iov, int niov, int pass,
    struct ngsim_reply *reply)
{
	memset(reply, 0, sizeof(*reply));
	for (int i = 0; i < NGSIM_MAX_FDS; i++)
		reply->fds[i] = -1;
	int fd = ngsim_connect();
	if (fd < 0)
		return -1;
	int rc = send_request(fd, op, iov, niov, pass);
	if (rc == 0)
		rc = receive_reply(fd, reply);
	int saved = errno;
	close(fd);
	if (rc < 0) {
		ngsim_reply_free(reply);
		errno = saved;
	}
	return rc;
}

void
ngsim_reply_free(struct ngsim_reply *reply)
{
	free(reply->payload);
	reply->payload = nullptr;
	for (int i = 0; i < NGSIM_MAX_FDS; i++) {
		if (reply->fds[i] >= 0)
			close(reply->fds[i]);
		reply->fds[i] = -1;
	}
}

int
ngsim_oneshot(uint32_t op, const void *arg, size_t arglen, int pass,
    void **payload, uint32_t *paylen)
{
	struct ngsim_iov iov = {arg, arglen};
	struct ngsim_reply reply;

	if (payload != nullptr)
		*payload = nullptr;
	if (paylen != nullptr)
		*paylen = 0;
	if (ngsim_call(op, &iov, arglen > 0 ? 1 : 0, pass, &reply) < 0)
		return -1;
	if (payload != nullptr) {
		*payload = reply.payload;
		reply.payload = nullptr;
		if (paylen != nullptr)
			*paylen = reply.rsp.len;
	}
	ngsim_reply_free(&reply);
	if (reply.rsp.error != 0) {
		errno = reply.rsp.error;
		return -1;
	}
	return reply.rsp.value;
}
