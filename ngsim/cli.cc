/*
 * ngsim(8)'s side of the admin protocol.
 */
#include "cli.h"

#include "proto.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ngsim {

void die(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fputs("ngsim: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
	exit(1);
}

std::string socket_path()
{
	const char *p = getenv(NGSIM_SOCKET_ENV);
	return p != nullptr && *p != '\0' ? p : NGSIM_DEFAULT_SOCKET;
}

int connect_kernel(bool quiet)
{
	std::string path = socket_path();
	sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	if (path.size() >= sizeof sa.sun_path)
		die("socket path too long: %s", path.c_str());
	memcpy(sa.sun_path, path.c_str(), path.size());
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0)
		die("socket: %s", strerror(errno));
	bool ours = false;
	if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
		ucred cr;
		socklen_t sl = sizeof cr;
		ours = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &sl) == 0 &&
		    cr.uid == 0;
	}
	if (ours)
		return fd;
	close(fd);
	if (quiet)
		return -1;
	die("no emulated kernel at %s; start one with `ngsim kernel`",
	    path.c_str());
}

namespace {

void send_admin(int fd, const json &rq, const void *bin, size_t binlen)
{
	std::string j = rq.dump(-1, ' ', false, json::error_handler_t::replace);
	ngsim_req r;
	memset(&r, 0, sizeof r);
	r.op = NGSIM_OP_ADMIN;
	r.len = static_cast<uint32_t>(j.size() + (bin ? 1 + binlen : 0));
	std::vector<uint8_t> pkt(sizeof r + r.len);
	memcpy(pkt.data(), &r, sizeof r);
	memcpy(pkt.data() + sizeof r, j.data(), j.size());
	if (bin != nullptr) {
		pkt[sizeof r + j.size()] = 0;
		memcpy(pkt.data() + sizeof r + j.size() + 1, bin, binlen);
	}
	if (send(fd, pkt.data(), pkt.size(), MSG_NOSIGNAL) < 0)
		die("send to the kernel: %s", strerror(errno));
}

/* One packet, with at most one descriptor. */
bool take(int fd, std::string &pkt, int *passed)
{
	char probe;
	ssize_t want = recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC);
	if (want <= 0)
		return false;
	pkt.resize(static_cast<size_t>(want));
	union {
		cmsghdr hdr;
		char space[CMSG_SPACE(sizeof(int) * 4)];
	} ctl;
	iovec iov = {&pkt[0], pkt.size()};
	msghdr mh;
	memset(&mh, 0, sizeof mh);
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = ctl.space;
	mh.msg_controllen = sizeof ctl.space;
	ssize_t n = recvmsg(fd, &mh, MSG_CMSG_CLOEXEC);
	if (n < 0)
		return false;
	pkt.resize(static_cast<size_t>(n));
	for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr;
	    c = CMSG_NXTHDR(&mh, c)) {
		if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
			continue;
		size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
		int fds[4];
		memcpy(fds, CMSG_DATA(c), k * sizeof(int));
		for (size_t i = 0; i < k; i++) {
			if (passed != nullptr && *passed < 0)
				*passed = fds[i];
			else
				close(fds[i]);
		}
	}
	return true;
}

/* An answer: its header, then its payload, however many packets it takes. */
bool answer(int fd, ngsim_rsp &rsp, std::string &payload, int *passed)
{
	std::string pkt;
	if (!take(fd, pkt, passed) || pkt.size() < sizeof rsp)
		return false;
	memcpy(&rsp, pkt.data(), sizeof rsp);
	payload = pkt.substr(sizeof rsp);
	while (payload.size() < rsp.len) {
		if (!take(fd, pkt, nullptr))
			return false;
		payload += pkt;
	}
	payload.resize(rsp.len);
	return true;
}

} // namespace

json admin_on(int fd, const json &rq, const void *bin, size_t binlen,
    int *passed, const char *what)
{
	send_admin(fd, rq, bin, binlen);
	ngsim_rsp rsp;
	std::string payload;
	if (passed != nullptr)
		*passed = -1;
	if (!answer(fd, rsp, payload, passed))
		die("the kernel hung up");
	if (rsp.error == EPERM && payload.empty())
		die("the emulated kernel takes orders from root on the host "
		    "only");
	json rs = json::parse(payload, nullptr, false);
	if (rs.is_discarded())
		die("the kernel gave a malformed answer");
	if (rs.contains("error")) {
		std::string e = rs["error"].get<std::string>();
		if (what != nullptr)
			die("%s: %s", what, e.c_str());
		die("%s", e.c_str());
	}
	return rs;
}

json admin(const json &rq, int *passed)
{
	int fd = connect_kernel();
	json rs = admin_on(fd, rq, nullptr, 0, passed);
	close(fd);
	return rs;
}

bool next_packet(int fd, std::string &payload)
{
	ngsim_rsp rsp;
	return answer(fd, rsp, payload, nullptr);
}

} // namespace ngsim
