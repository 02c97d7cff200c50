#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ngsim_client.h"

namespace {

const char *
kernel_path()
{
	const char *p = getenv(NGSIM_SOCKET_ENV);

	return p != nullptr && *p != '\0' ? p : NGSIM_DEFAULT_SOCKET;
}

/* Block until `fd` is ready for `events`, whatever its O_NONBLOCK says. */
int
wait_ready(int fd, short events)
{
	struct pollfd pfd = {fd, events, 0};

	for (;;) {
		int n = poll(&pfd, 1, -1);
		if (n >= 0)
			return 0;
		if (errno != EINTR)
			return -1;
	}
}

} // namespace

int
ngsim_connect(int cloexec)
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

	int fd = socket(AF_UNIX, SOCK_SEQPACKET | (cloexec ? SOCK_CLOEXEC : 0), 0);
	if (fd < 0)
		return -1;
	for (;;) {
		if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun),
		    sizeof(sun)) == 0)
			return fd;
		if (errno != EINTR)
			break;
	}
	int saved = errno;
	close(fd);
	errno = saved;
	return -1;
}

void
ngsim_grow_sndbuf(int fd, size_t bytes)
{
	int cur = 0;
	socklen_t sl = sizeof(cur);

	if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &cur, &sl) == 0 &&
	    static_cast<size_t>(cur) >= bytes + 1024)
		return;
	/* The host doubles what it is given; ask for the packet and some slack. */
	int want = static_cast<int>(bytes + 1024);
	(void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof(want));
}

ssize_t
ngsim_send_packet(int fd, const struct ngsim_iov *iov, int niov)
{
	struct iovec v[8];
	struct msghdr mh;
	size_t total = 0;

	if (niov > 8) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < niov; i++) {
		v[i].iov_base = const_cast<void *>(iov[i].base);
		v[i].iov_len = iov[i].len;
		total += iov[i].len;
	}
	memset(&mh, 0, sizeof(mh));
	mh.msg_iov = v;
	mh.msg_iovlen = niov;

	bool grown = false;
	for (;;) {
		ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL);
		if (n >= 0)
			return n;
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (wait_ready(fd, POLLOUT) < 0)
				return -1;
			continue;
		}
		if (errno == EMSGSIZE && !grown) {
			ngsim_grow_sndbuf(fd, total);
			grown = true;
			continue;
		}
		return -1;
	}
}

/*
 * Peek at the next packet's length without taking it (and without taking
 * any descriptor it carries), waiting for it if need be.
 */
static ssize_t
peek_length(int fd)
{
	char c;

	for (;;) {
		ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_TRUNC);
		if (n > 0)
			return n;
		if (n == 0) {
			/* A zero-length packet and a closed peer look alike here. */
			struct pollfd pfd = {fd, POLLIN, 0};
			if (poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP)) {
				errno = ECONNRESET;
				return -1;
			}
			return 0;
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

/* Take the next packet into `buf` (len bytes), with at most one descriptor. */
static ssize_t
take_packet(int fd, void *buf, size_t len, int *passed)
{
	union {
		struct cmsghdr hdr;
		char space[CMSG_SPACE(sizeof(int) * 4)];
	} ctl;
	struct iovec v = {buf, len};
	struct msghdr mh;

	if (passed != nullptr)
		*passed = -1;
	for (;;) {
		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = &v;
		mh.msg_iovlen = 1;
		if (passed != nullptr) {
			mh.msg_control = ctl.space;
			mh.msg_controllen = sizeof(ctl.space);
		}
		ssize_t n = recvmsg(fd, &mh, 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				if (wait_ready(fd, POLLIN) < 0)
					return -1;
				continue;
			}
			return -1;
		}
		if (passed != nullptr) {
			for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr;
			    c = CMSG_NXTHDR(&mh, c)) {
				if (c->cmsg_level != SOL_SOCKET ||
				    c->cmsg_type != SCM_RIGHTS)
					continue;
				size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
				int fds[4];
				memcpy(fds, CMSG_DATA(c), nfd * sizeof(int));
				for (size_t i = 0; i < nfd; i++) {
					if (*passed < 0)
						*passed = fds[i];
					else
						close(fds[i]);
				}
			}
		}
		return n;
	}
}

ssize_t
ngsim_recv_packet(int fd, void **buf)
{
	ssize_t len = peek_length(fd);

	if (len < 0)
		return -1;
	void *p = malloc(len > 0 ? len : 1);
	if (p == nullptr)
		return -1;
	ssize_t n = take_packet(fd, p, len, nullptr);
	if (n < 0) {
		int saved = errno;
		free(p);
		errno = saved;
		return -1;
	}
	*buf = p;
	return n;
}

int
ngsim_call(int fd, uint32_t op, const struct ngsim_iov *iov, int niov,
    struct ngsim_reply *reply)
{
	struct ngsim_req req;
	struct ngsim_iov pieces[8];
	size_t plen = 0;

	if (niov > 7) {
		errno = EINVAL;
		return -1;
	}
	for (int i = 0; i < niov; i++)
		plen += iov[i].len;
	if (plen > NGSIM_MAX_PACKET - sizeof(req)) {
		errno = EMSGSIZE;
		return -1;
	}
	memset(&req, 0, sizeof(req));
	req.op = op;
	req.pid = getpid();
	req.len = static_cast<uint32_t>(plen);
	pieces[0] = {&req, sizeof(req)};
	for (int i = 0; i < niov; i++)
		pieces[i + 1] = iov[i];
	if (ngsim_send_packet(fd, pieces, niov + 1) < 0)
		return -1;

	memset(reply, 0, sizeof(*reply));
	reply->fd = -1;
	ssize_t len = peek_length(fd);
	if (len < 0)
		return -1;
	char *buf = static_cast<char *>(malloc(len > 0 ? len : 1));
	if (buf == nullptr)
		return -1;
	ssize_t n = take_packet(fd, buf, len, &reply->fd);
	if (n < 0 || static_cast<size_t>(n) < sizeof(reply->rsp)) {
		int saved = n < 0 ? errno : EPROTO;
		free(buf);
		if (reply->fd >= 0)
			close(reply->fd);
		reply->fd = -1;
		errno = saved;
		return -1;
	}
	memcpy(&reply->rsp, buf, sizeof(reply->rsp));
	size_t have = n - sizeof(reply->rsp);
	if (reply->rsp.len > have)
		reply->rsp.len = static_cast<uint32_t>(have);
	if (reply->rsp.len > 0) {
		reply->payload = malloc(reply->rsp.len + 1);
		if (reply->payload == nullptr) {
			free(buf);
			if (reply->fd >= 0)
				close(reply->fd);
			reply->fd = -1;
			errno = ENOMEM;
			return -1;
		}
		memcpy(reply->payload, buf + sizeof(reply->rsp), reply->rsp.len);
		/* Text payloads are handy to have terminated. */
		static_cast<char *>(reply->payload)[reply->rsp.len] = '\0';
	}
	free(buf);
	return 0;
}

int
ngsim_oneshot(uint32_t op, const void *arg, size_t arglen, void **payload,
    uint32_t *paylen)
{
	struct ngsim_iov iov = {arg, arglen};
	struct ngsim_reply reply;

	if (payload != nullptr)
		*payload = nullptr;
	if (paylen != nullptr)
		*paylen = 0;
	int fd = ngsim_connect(1);
	if (fd < 0)
		return -1;
	int rc = ngsim_call(fd, op, &iov, arglen > 0 ? 1 : 0, &reply);
	int saved = errno;
	close(fd);
	if (rc < 0) {
		errno = saved;
		return -1;
	}
	if (reply.fd >= 0)
		close(reply.fd);
	if (payload != nullptr) {
		*payload = reply.payload;
		if (paylen != nullptr)
			*paylen = reply.rsp.len;
	} else {
		free(reply.payload);
	}
	if (reply.rsp.error != 0) {
		errno = reply.rsp.error;
		return -1;
	}
	return reply.rsp.value;
}
