/*
 * Connections and dispatch: accepting clients within bounds, reading their
 * requests (with any socket they pass), sending answers of any size without
 * ever waiting for a slow reader, and the epoll loop that drives it all.
 */
#include "daemon.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

/* Loadable node types of their own files; absent from a build without them. */
void ngsim_register_pcap(ngsim::KernelApi &k) __attribute__((weak));
void ngsim_register_wormhole(ngsim::KernelApi &k) __attribute__((weak));

namespace ngsim {

namespace {

/* Descriptors a request may carry: one is used, the rest are closed. */
constexpr size_t kMaxFdsPassed = 4;

} // namespace

Daemon::Daemon(Kernel &k, int lfd, const std::string &path)
    : k_(k), lfd_(lfd), path_(path)
{
}

void Daemon::watch(int fd, std::function<void(uint32_t)> fn)
{
	epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLIN | EPOLLRDHUP;
	/*
	 * The generation tells a descriptor number reused within one batch of
	 * events from the one that was closed earlier in that batch.
	 */
	uint32_t gen = ++next_gen_;
	ev.data.u64 = static_cast<uint64_t>(gen) << 32 | static_cast<uint32_t>(fd);
	watches_[fd] = {gen, std::move(fn)};
	epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
}

void Daemon::unwatch(int fd)
{
	if (watches_.erase(fd) != 0)
		epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
}

/* Read requests only while nothing of ours waits to be taken. */
void Daemon::set_interest(Conn &c)
{
	auto it = watches_.find(c.fd);
	if (it == watches_.end())
		return;
	epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLRDHUP;
	ev.events |= c.out.empty() ? EPOLLIN : EPOLLOUT;
	ev.data.u64 = static_cast<uint64_t>(it->second.gen) << 32 |
	    static_cast<uint32_t>(c.fd);
	epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Daemon::accept_one()
{
	int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
	if (fd < 0) {
		if (errno == EMFILE || errno == ENFILE) {
			/*
			 * Out of descriptors: take the one waiting and drop it,
			 * or the listening socket would stay ready forever.
			 */
			close(spare_fd_);
			fd = accept(lfd_, nullptr, nullptr);
			if (fd >= 0)
				close(fd);
			spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
		}
		return;
	}
	ucred cr;
	socklen_t sl = sizeof cr;
	int vnet = k_.vnets.vnet_of_socket(fd);
	if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &sl) < 0 || vnet < 0 ||
	    conns_.size() >= kMaxConns ||
	    (cr.uid != 0 && per_user_[cr.uid] >= kMaxConnsPerUser)) {
		close(fd);
		return;
	}
	auto c = std::make_unique<Conn>();
	c->fd = fd;
	c->uid = cr.uid;
	c->pid = cr.pid;
	c->vnet = vnet;
	per_user_[cr.uid]++;
	conns_[fd] = std::move(c);
	watch(fd, [this, fd](uint32_t ev) { conn_event(fd, ev); });
}

void Daemon::close_conn(int fd)
{
	auto it = conns_.find(fd);
	if (it == conns_.end())
		return;
	unwatch(fd);
	close(fd);
	auto u = per_user_.find(it->second->uid);
	if (u != per_user_.end() && --u->second == 0)
		per_user_.erase(u);
	conns_.erase(it);
}

bool Daemon::send_packet(Conn &c, const std::string &pkt, const int *fds,
    int nfds)
{
	iovec iov = {const_cast<char *>(pkt.data()), pkt.size()};
	msghdr mh;
	memset(&mh, 0, sizeof mh);
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	char cbuf[CMSG_SPACE(sizeof(int) * kMaxFdsPassed)];
	if (nfds > 0) {
		memset(cbuf, 0, sizeof cbuf);
		mh.msg_control = cbuf;
		mh.msg_controllen = CMSG_SPACE(sizeof(int) * nfds);
		cmsghdr *cm = CMSG_FIRSTHDR(&mh);
		cm->cmsg_level = SOL_SOCKET;
		cm->cmsg_type = SCM_RIGHTS;
		cm->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
		memcpy(CMSG_DATA(cm), fds, sizeof(int) * nfds);
	}
	return sendmsg(c.fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

void Daemon::respond(Conn &c, int error, int value, const void *p, size_t n,
    const int *fds, int nfds)
{
	ngsim_rsp r;
	memset(&r, 0, sizeof r);
	r.error = error;
	r.value = value;
	r.len = static_cast<uint32_t>(n);
	const char *b = static_cast<const char *>(p);
	std::string first(reinterpret_cast<char *>(&r), sizeof r);
	size_t take = std::min(n, kChunk - sizeof r);
	first.append(b, take);
	/* Descriptors cannot wait in a queue; the client is waiting anyway. */
	if (c.out.empty() && send_packet(c, first, fds, nfds))
		first.clear();
	else if (nfds > 0) {
		close_conn(c.fd);
		return;
	}
	if (!first.empty()) {
		c.outbytes += first.size();
		c.out.push_back(std::move(first));
	}
	for (size_t off = take; off < n; off += kChunk) {
		std::string chunk(b + off, std::min(kChunk, n - off));
		c.outbytes += chunk.size();
		c.out.push_back(std::move(chunk));
	}
	if (!c.admin && c.outbytes > kMaxQueued) {
		/* A client that does not read its answers loses them. */
		close_conn(c.fd);
		return;
	}
	flush(c);
}

void Daemon::flush(Conn &c)
{
	while (!c.out.empty()) {
		if (!send_packet(c, c.out.front(), nullptr, 0)) {
			if (errno != EAGAIN && errno != EWOULDBLOCK) {
				close_conn(c.fd);
				return;
			}
			break;
		}
		c.outbytes -= c.out.front().size();
		c.out.pop_front();
	}
	set_interest(c);
}

void Daemon::wire_out(Node &ether, const uint8_t *d, size_t n)
{
	timeval tv;
	gettimeofday(&tv, nullptr);
	uint32_t ts[2] = {static_cast<uint32_t>(tv.tv_sec),
	    static_cast<uint32_t>(tv.tv_usec)};
	std::string frame(reinterpret_cast<char *>(ts), sizeof ts);
	frame.append(reinterpret_cast<const char *>(d), n);
	std::vector<int> to;
	for (auto &p : conns_)
		if (p.second->listen_iface == ether.id)
			to.push_back(p.first);
	for (int fd : to) {
		auto it = conns_.find(fd);
		/* A listener that falls behind misses frames. */
		if (it != conns_.end() &&
		    it->second->outbytes + frame.size() <= kMaxListenQueue)
			respond(*it->second, 0, 1, frame.data(), frame.size());
	}
}

void Daemon::conn_event(int fd, uint32_t ev)
{
	auto it = conns_.find(fd);
	if (it == conns_.end())
		return;
	Conn &c = *it->second;
	if (ev & EPOLLOUT) {
		flush(c);
		if (conns_.find(fd) == conns_.end())
			return;
	}
	if (!(ev & EPOLLIN)) {
		if (ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP))
			close_conn(fd);
		return;
	}
	if (!c.out.empty())
		return;
	static std::vector<uint8_t> buf(NGSIM_MAX_PACKET + 1);
	union {
		cmsghdr hdr;
		char space[CMSG_SPACE(sizeof(int) * kMaxFdsPassed)];
	} ctl;
	iovec iov = {buf.data(), buf.size()};
	msghdr mh;
	memset(&mh, 0, sizeof mh);
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = ctl.space;
	mh.msg_controllen = sizeof ctl.space;
	ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	/* Whatever came along is ours to close; one socket at most is used. */
	int passed = -1;
	bool extra = (mh.msg_flags & MSG_CTRUNC) != 0;
	for (cmsghdr *cm = CMSG_FIRSTHDR(&mh); n >= 0 && cm != nullptr;
	    cm = CMSG_NXTHDR(&mh, cm)) {
		if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
			continue;
		size_t k = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
		int fds[kMaxFdsPassed];
		memcpy(fds, CMSG_DATA(cm), k * sizeof(int));
		for (size_t i = 0; i < k; i++) {
			if (passed < 0 && !extra)
				passed = fds[i];
			else {
				close(fds[i]);
				extra = true;
			}
		}
	}
	if (n <= 0) {
		if (passed >= 0)
			close(passed);
		close_conn(fd);
		return;
	}
	if (extra || static_cast<size_t>(n) > NGSIM_MAX_PACKET) {
		if (passed >= 0)
			close(passed);
		respond(c, EINVAL, 0);
		return;
	}
	request(c, buf.data(), n, passed);
	if (passed >= 0)
		close(passed);
}

void Daemon::request(Conn &c, const uint8_t *p, size_t n, int passed)
{
	ngsim_req rq;
	if (n < sizeof rq) {
		respond(c, EINVAL, 0);
		return;
	}
	memcpy(&rq, p, sizeof rq);
	if (rq.len != n - sizeof rq) {
		respond(c, EINVAL, 0);
		return;
	}
	if (rq.op == NGSIM_OP_ADMIN) {
		/* Root on the host only: not other users, not jailed root. */
		if (c.uid != 0 || c.vnet != 0) {
			respond(c, EPERM, 0);
			return;
		}
		c.admin = true;
		admin_request(c, p + sizeof rq, rq.len);
		return;
	}
	program_request(c, rq, p + sizeof rq, rq.len, passed);
}

int Daemon::run()
{
	ep_ = epoll_create1(EPOLL_CLOEXEC);
	if (ep_ < 0)
		return 1;
	spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
	k_.on_watch = [this](int fd, std::function<void()> fn) {
		watch(fd, [fn](uint32_t) { fn(); });
	};
	k_.on_unwatch = [this](int fd) { unwatch(fd); };
	k_.on_wire_out = [this](Node &e, const uint8_t *d, size_t n) {
		wire_out(e, d, n);
	};
	register_builtin_types(k_);
	if (ngsim_register_pcap)
		ngsim_register_pcap(k_);
	if (ngsim_register_wormhole)
		ngsim_register_wormhole(k_);
	/* The socket file is ours now; at the end, only ours is removed. */
	struct stat bound;
	bool have_path = stat(path_.c_str(), &bound) == 0;
	fcntl(lfd_, F_SETFL, O_NONBLOCK);
	watch(lfd_, [this](uint32_t) { accept_one(); });
	while (!halting_) {
		epoll_event evs[64];
		int n = epoll_wait(ep_, evs, 64, -1);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < n && !halting_; i++) {
			int fd = static_cast<int>(evs[i].data.u64 & 0xffffffffu);
			uint32_t gen = static_cast<uint32_t>(evs[i].data.u64 >> 32);
			auto w = watches_.find(fd);
			if (w == watches_.end() || w->second.gen != gen)
				continue;	/* closed earlier in this batch */
			std::function<void(uint32_t)> fn = w->second.fn;
			fn(evs[i].events);
			k_.reap();
		}
	}
	/* Answers already given reach their readers before we go. */
	for (auto &p : conns_) {
		int fl = fcntl(p.first, F_GETFL);
		fcntl(p.first, F_SETFL, fl & ~O_NONBLOCK);
		for (const std::string &pkt : p.second->out)
			send(p.first, pkt.data(), pkt.size(), MSG_NOSIGNAL);
	}
	struct stat now;
	if (have_path && stat(path_.c_str(), &now) == 0 &&
	    now.st_dev == bound.st_dev && now.st_ino == bound.st_ino)
		unlink(path_.c_str());
	close(lfd_);
	return 0;
}

int run_kernel(Kernel &k, int lfd, const std::string &path)
{
	signal(SIGPIPE, SIG_IGN);
	/* Room for every connection the bounds allow, and the devices. */
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
		rl.rlim_cur = rl.rlim_max;
		setrlimit(RLIMIT_NOFILE, &rl);
	}
	Daemon *d = new Daemon(k, lfd, path);	/* lives until the process ends */
	return d->run();
}

} // namespace ngsim
