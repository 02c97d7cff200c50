/*
 * The kernel daemon: one thread, one epoll loop. It owns the listening
 * socket, the connections of the processes (control, one-shot and admin),
 * the data sockets of the socket nodes and the wire listeners.
 *
 * Admin requests (NGSIM_OP_ADMIN) carry a JSON object {"cmd": ..., ...},
 * optionally followed by a NUL and binary bytes (a frame for wire_inject).
 * The answer is one JSON object; {"error": TEXT} with error EINVAL in the
 * response header when refused. Commands: halt, jail_create {name, parent},
 * jail_attach {jail} (the connecting process), iface_create {name, jail},
 * node_create {type, name, jail}, wire_inject {iface, jail}, wire_listen
 * {iface, jail} (the connection then receives one packet per frame: the
 * response header, a 32-bit seconds and microseconds stamp, the frame),
 * graph {jail}, trace {clear}, fault_add {op, cookie, cmd_num, path, nth,
 * errno}, fault_clear, kld_list, kld_add {file, modules, loaded}, kld_load
 * {file}. A jail is given as a reference resolved from the host.
 */
#include "daemon.h"

#include "kernel.h"
#include "proto.h"
#include "../compat/include/netgraph/ng_message.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

/* Node types of their own files; absent from a build without them. */
void ngsim_register_pcap(ngsim::KernelApi &k) __attribute__((weak));
void ngsim_register_wormhole(ngsim::KernelApi &k) __attribute__((weak));

namespace ngsim {

void ether_from_wire(Kernel &k, Node &ether, const uint8_t *d, size_t n);

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kDataQuota = 1024 * 1024;	/* unread bytes per data socket */
constexpr int kBufForce = 8 * 1024 * 1024;
/*
 * The host charges every item in a socket buffer its whole allocation, which
 * for a small item is many times its payload; the data socket's buffer is
 * large enough for kDataQuota of the smallest items, and the kernel's own
 * accounting above is what bounds it.
 */
constexpr int kDataBufForce = 48 * 1024 * 1024;

enum class Role { fresh, control, admin, listener };

struct Conn {
	int		fd = -1;
	uid_t		uid = 0;
	pid_t		pid = 0;
	Role		role = Role::fresh;
	ng_id		node = 0;	/* control: its socket node (0 once gone) */
	ng_id		listen_iface = 0;
};

/* The kernel's side of one socket node. */
struct Sock {
	ng_id		id = 0;
	int		ctl_fd = -1;	/* -1 once the control connection closed */
	int		data_fd = -1;	/* the kernel's end of the data socket */
	bool		had_data = false;
	std::deque<std::pair<ng_id, std::vector<uint8_t>>> replies;
	bool		recv_waiting = false;
	/* unread items on the data socket: (payload bytes, buffer charge) */
	std::deque<std::pair<size_t, long>> inflight;
	size_t		inflight_bytes = 0;
	long		inflight_charge = 0;
	uint64_t	drops = 0;
};

class Daemon;

class SockOps : public NodeOps, public ReplySink {
public:
	SockOps(Daemon *d, ng_id id) : d_(d), id_(id) {}
	int newhook(Node &, const std::string &, Node &,
	    const std::string &) override;
	int rcvdata(Node &self, Hook &h, const uint8_t *d, size_t n) override;
	bool shutdown(Node &self) override;
	void queue_reply(ng_id from, const std::vector<uint8_t> &msg) override;

	Daemon *d_;
	ng_id id_;
};

class Daemon {
public:
	explicit Daemon(int lfd, const std::string &path) : lfd_(lfd), path_(path) {}
	int run();

	Kernel k;
	std::map<ng_id, Sock> socks;
	std::map<int, std::unique_ptr<Conn>> conns;
	std::map<int, ng_id> datafds;	/* kernel end of a data socket -> node */

	int deliver_data(Sock &s, const uint8_t *d, size_t n);
	void sock_gone(ng_id id);
	void try_recv(Sock &s);

private:
	void accept_one();
	void conn_event(Conn &c, uint32_t ev);
	void data_event(int fd, uint32_t ev);
	void close_conn(int fd);
	void handle(Conn &c, const ngsim_req &rq, const uint8_t *p, size_t n);
	void respond(int fd, int error, int value, const void *p = nullptr,
	    size_t n = 0, int passfd = -1);
	void op_mksock(Conn &c, const uint8_t *p, size_t n);
	void op_sendmsg(Conn &c, const ngsim_req &rq, const uint8_t *p, size_t n);
	void op_admin(Conn &c, const uint8_t *p, size_t n);
	json admin(Conn &c, const json &rq, const uint8_t *bin, size_t binlen,
	    bool has_frame);
	Caller caller(const Conn &c, int pid);
	void wire_out(Node &ether, const uint8_t *d, size_t n);
	int jail_arg(const json &rq, int &jid, std::string &err);
	void epoll_add(int fd);

	int lfd_;
	int ep_ = -1;
	uint32_t next_gen_ = 0;
	std::map<int, uint32_t> gens_;
	std::string path_;
	bool halting_ = false;
};

int SockOps::newhook(Node &, const std::string &, Node &, const std::string &)
{
	/* A socket node belongs to a process; none comes from NGM_MKPEER. */
	return d_->socks.count(id_) ? 0 : EINVAL;
}

int SockOps::rcvdata(Node &, Hook &, const uint8_t *d, size_t n)
{
	auto it = d_->socks.find(id_);
	if (it == d_->socks.end())
		return ENOTCONN;
	return d_->deliver_data(it->second, d, n);
}

bool SockOps::shutdown(Node &)
{
	d_->sock_gone(id_);
	return true;
}

void SockOps::queue_reply(ng_id from, const std::vector<uint8_t> &msg)
{
	auto it = d_->socks.find(id_);
	if (it == d_->socks.end())
		return;
	it->second.replies.emplace_back(from, msg);
	d_->try_recv(it->second);
}

/* Payload bytes still unread on a data socket, from the buffer charge. */
static void account(Sock &s)
{
	int outq = 0;
	if (ioctl(s.data_fd, SIOCOUTQ, &outq) < 0)
		return;
	while (!s.inflight.empty() && s.inflight_charge > outq) {
		s.inflight_bytes -= s.inflight.front().first;
		s.inflight_charge -= s.inflight.front().second;
		s.inflight.pop_front();
	}
	if (s.inflight.empty())
		s.inflight_charge = 0;
}

int Daemon::deliver_data(Sock &s, const uint8_t *d, size_t n)
{
	if (s.data_fd < 0) {
		s.drops++;
		return ENOTCONN;
	}
	account(s);
	if (n > NGSIM_MAX_ITEM || s.inflight_bytes + n > kDataQuota) {
		s.drops++;
		return ENOBUFS;
	}
	int before = 0, after = 0;
	ioctl(s.data_fd, SIOCOUTQ, &before);
	ssize_t w = send(s.data_fd, d, n, MSG_DONTWAIT | MSG_NOSIGNAL);
	if (w < 0) {
		s.drops++;
		return errno == EAGAIN || errno == EWOULDBLOCK ? ENOBUFS : errno;
	}
	ioctl(s.data_fd, SIOCOUTQ, &after);
	long charge = after - before;
	if (charge <= 0)
		charge = static_cast<long>(n) + 1;
	s.inflight.emplace_back(n, charge);
	s.inflight_bytes += n;
	s.inflight_charge += charge;
	return 0;
}

void Daemon::sock_gone(ng_id id)
{
	auto it = socks.find(id);
	if (it == socks.end())
		return;
	Sock &s = it->second;
	if (s.data_fd >= 0) {
		epoll_ctl(ep_, EPOLL_CTL_DEL, s.data_fd, nullptr);
		datafds.erase(s.data_fd);
		gens_.erase(s.data_fd);
		close(s.data_fd);
	}
	if (s.ctl_fd >= 0) {
		auto c = conns.find(s.ctl_fd);
		if (c != conns.end()) {
			c->second->node = 0;
			if (s.recv_waiting)
				respond(s.ctl_fd, ENOTCONN, 0);
		}
	}
	k.sinks.erase(id);
	socks.erase(it);
}

void Daemon::try_recv(Sock &s)
{
	if (!s.recv_waiting || s.ctl_fd < 0)
		return;
	if (s.replies.empty()) {
		return;
	}
	const std::vector<uint8_t> &m = s.replies.front().second;
	ng_mesg h;
	memcpy(&h, m.data(), sizeof h);
	int e = k.fault(FaultOp::recv, h.header.typecookie,
	    h.header.cmd & ~(NGM_READONLY | NGM_HASREPLY));
	s.recv_waiting = false;
	if (e != 0) {
		/* The failed receive loses the message, so none comes late. */
		s.replies.pop_front();
		respond(s.ctl_fd, e, 0);
		return;
	}
	std::vector<uint8_t> out(sizeof(ngsim_recvmsg) + m.size());
	ngsim_recvmsg rm;
	memset(&rm, 0, sizeof rm);
	snprintf(rm.path, sizeof rm.path, "[%08x]:", s.replies.front().first);
	memcpy(out.data(), &rm, sizeof rm);
	memcpy(out.data() + sizeof rm, m.data(), m.size());
	s.replies.pop_front();
	respond(s.ctl_fd, 0, 0, out.data(), out.size());
}

void Daemon::epoll_add(int fd)
{
	epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLIN | EPOLLRDHUP;
	/*
	 * The generation tells a descriptor number reused within one batch of
	 * events from the one that was closed earlier in that batch.
	 */
	uint32_t gen = ++next_gen_;
	gens_[fd] = gen;
	ev.data.u64 = static_cast<uint64_t>(gen) << 32 | static_cast<uint32_t>(fd);
	epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
}

void Daemon::respond(int fd, int error, int value, const void *p, size_t n,
    int passfd)
{
	ngsim_rsp r;
	memset(&r, 0, sizeof r);
	r.error = error;
	r.value = value;
	r.len = static_cast<uint32_t>(n);
	iovec iov[2] = {{&r, sizeof r}, {const_cast<void *>(p), n}};
	msghdr mh;
	memset(&mh, 0, sizeof mh);
	mh.msg_iov = iov;
	mh.msg_iovlen = n > 0 ? 2 : 1;
	char cbuf[CMSG_SPACE(sizeof(int))];
	if (passfd >= 0) {
		memset(cbuf, 0, sizeof cbuf);
		mh.msg_control = cbuf;
		mh.msg_controllen = sizeof cbuf;
		cmsghdr *cm = CMSG_FIRSTHDR(&mh);
		cm->cmsg_level = SOL_SOCKET;
		cm->cmsg_type = SCM_RIGHTS;
		cm->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(cm), &passfd, sizeof(int));
	}
	/*
	 * The caller waits for this answer; a full buffer means it stopped
	 * reading. A long admin answer may need a bigger buffer first.
	 */
	if (sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EMSGSIZE) {
		int big = static_cast<int>(sizeof r + n + 65536);
		setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
		sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
	}
}

Caller Daemon::caller(const Conn &c, int pid)
{
	Caller cl;
	cl.uid = c.uid;
	cl.pid = pid;
	cl.jail = k.jail_of_pid(c.pid);
	return cl;
}

void Daemon::accept_one()
{
	int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
	if (fd < 0)
		return;
	auto c = std::make_unique<Conn>();
	c->fd = fd;
	ucred cr;
	socklen_t sl = sizeof cr;
	if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &sl) == 0) {
		c->uid = cr.uid;
		c->pid = cr.pid;
	} else {
		c->uid = 65534;
	}
	int big = kBufForce;
	setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
	setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
	epoll_add(fd);
	conns[fd] = std::move(c);
}

void Daemon::close_conn(int fd)
{
	auto it = conns.find(fd);
	if (it == conns.end())
		return;
	Conn &c = *it->second;
	epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
	gens_.erase(fd);
	close(fd);
	ng_id node = c.role == Role::control ? c.node : 0;
	conns.erase(it);
	if (node != 0) {
		auto s = socks.find(node);
		if (s != socks.end()) {
			s->second.ctl_fd = -1;
			s->second.recv_waiting = false;
			if (s->second.data_fd < 0) {
				if (Node *n = k.node_by_id(node))
					k.shutdown(*n);
				else
					socks.erase(s);
			}
		}
	}
}

void Daemon::conn_event(Conn &c, uint32_t ev)
{
	int fd = c.fd;
	if (ev & EPOLLIN) {
		static std::vector<uint8_t> buf(NGSIM_MAX_PACKET + 1);
		ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
		if (n == 0) {
			close_conn(fd);
			return;
		}
		if (n < 0) {
			if (errno != EAGAIN && errno != EINTR)
				close_conn(fd);
			return;
		}
		if (static_cast<size_t>(n) > NGSIM_MAX_PACKET ||
		    static_cast<size_t>(n) < sizeof(ngsim_req)) {
			respond(fd, EINVAL, 0);
			return;
		}
		ngsim_req rq;
		memcpy(&rq, buf.data(), sizeof rq);
		if (rq.len != static_cast<size_t>(n) - sizeof rq) {
			respond(fd, EINVAL, 0);
			return;
		}
		handle(c, rq, buf.data() + sizeof rq, rq.len);
		return;
	}
	if (ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP))
		close_conn(fd);
}

void Daemon::data_event(int fd, uint32_t ev)
{
	auto it = datafds.find(fd);
	if (it == datafds.end())
		return;
	ng_id id = it->second;
	if (ev & EPOLLIN) {
		static std::vector<uint8_t> buf(NGSIM_MAX_ITEM +
		    sizeof(ngsim_data_hdr) + 1);
		ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
		if (n > 0) {
			if (static_cast<size_t>(n) < sizeof(ngsim_data_hdr) ||
			    static_cast<size_t>(n) > buf.size() - 1)
				return;	/* malformed or oversized: dropped */
			std::string hook;
			if (!field_string(reinterpret_cast<char *>(buf.data()),
			    sizeof(ngsim_data_hdr), hook))
				return;
			Node *node = k.node_by_id(id);
			if (node == nullptr)
				return;
			Hook *h = node->findhook(hook);
			if (h != nullptr)
				k.send_data(*h, buf.data() + sizeof(ngsim_data_hdr),
				    n - sizeof(ngsim_data_hdr));
			return;
		}
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			return;
	} else if (!(ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP))) {
		return;
	}
	/* The process's end is closed everywhere. */
	epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
	gens_.erase(fd);
	close(fd);
	datafds.erase(it);
	auto s = socks.find(id);
	if (s == socks.end())
		return;
	s->second.data_fd = -1;
	if (s->second.ctl_fd < 0) {
		if (Node *n = k.node_by_id(id))
			k.shutdown(*n);
		else
			socks.erase(s);
	}
}

void Daemon::handle(Conn &c, const ngsim_req &rq, const uint8_t *p, size_t n)
{
	switch (rq.op) {
	case NGSIM_OP_MKSOCK:
		op_mksock(c, p, n);
		return;
	case NGSIM_OP_SENDMSG:
		op_sendmsg(c, rq, p, n);
		return;
	case NGSIM_OP_RECVMSG: {
		if (c.role != Role::control || c.node == 0) {
			respond(c.fd, ENOTCONN, 0);
			return;
		}
		Sock &s = socks[c.node];
		if (s.recv_waiting) {
			respond(c.fd, EALREADY, 0);
			return;
		}
		s.recv_waiting = true;
		if (s.replies.empty()) {
			/* A rule without message details fires at once. */
			bool plain = false;
			for (const FaultRule &r : k.faults)
				if (r.op == FaultOp::recv && !r.cookie && !r.cmd &&
				    !r.path)
					plain = true;
			if (plain) {
				int e = k.fault(FaultOp::recv);
				if (e != 0) {
					s.recv_waiting = false;
					respond(c.fd, e, 0);
				}
			}
			return;
		}
		try_recv(s);
		return;
	}
	case NGSIM_OP_ADMIN:
		op_admin(c, p, n);
		return;
	default:
		break;
	}

	/* One-shot calls: the kernel linker and jails. */
	Caller cl = caller(c, rq.pid);
	cl.pid = c.pid;
	auto i32 = [&](int32_t &v) {
		if (n != sizeof(int32_t))
			return false;
		memcpy(&v, p, sizeof v);
		return true;
	};
	auto str = [&](std::string &s) {
		if (n == 0 || memchr(p, '\0', n) == nullptr)
			return false;
		s.assign(reinterpret_cast<const char *>(p));
		return true;
	};
	int32_t v = 0;
	std::string s;
	int e, out = 0;
	switch (rq.op) {
	case NGSIM_OP_KLDLOAD:
		if (!str(s)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = k.kldload(cl, s, out);
		respond(c.fd, e, out);
		return;
	case NGSIM_OP_KLDNEXT:
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = k.kldnext(v, out);
		respond(c.fd, e, out);
		return;
	case NGSIM_OP_KLDFIRSTMOD:
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = k.kldfirstmod(v, out);
		respond(c.fd, e, out);
		return;
	case NGSIM_OP_MODFNEXT:
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = k.modfnext(v, out);
		respond(c.fd, e, out);
		return;
	case NGSIM_OP_MODSTAT: {
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		std::string name;
		int refs = 0;
		e = k.modstat(v, name, refs);
		if (e != 0) {
			respond(c.fd, e, 0);
			return;
		}
		ngsim_modstat ms;
		memset(&ms, 0, sizeof ms);
		snprintf(ms.name, sizeof ms.name, "%s", name.c_str());
		ms.refs = refs;
		ms.id = v;
		respond(c.fd, 0, 0, &ms, sizeof ms);
		return;
	}
	case NGSIM_OP_KLDFIND:
	case NGSIM_OP_MODFIND:
		if (!str(s)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = rq.op == NGSIM_OP_KLDFIND ? k.kldfind(s, out) :
		    k.modfind(s, out);
		respond(c.fd, e, out);
		return;
	case NGSIM_OP_JAIL_GETID: {
		if (!str(s)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		std::string msg;
		e = k.jail_getid(cl.jail, s, out, msg);
		if (e != 0)
			respond(c.fd, e, 0, msg.c_str(), msg.size() + 1);
		else
			respond(c.fd, 0, out);
		return;
	}
	case NGSIM_OP_JAIL_ATTACH:
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		e = k.jail_attach(cl, v);
		respond(c.fd, e, 0);
		return;
	case NGSIM_OP_JAIL_GETNAME: {
		if (!i32(v)) {
			respond(c.fd, EINVAL, 0);
			return;
		}
		if (v != 0 && !k.jail_below(v, cl.jail)) {
			respond(c.fd, ENOENT, 0);
			return;
		}
		std::string name = k.jail_name(v, cl.jail);
		respond(c.fd, 0, 0, name.c_str(), name.size() + 1);
		return;
	}
	default:
		respond(c.fd, EOPNOTSUPP, 0);
		return;
	}
}

void Daemon::op_mksock(Conn &c, const uint8_t *p, size_t n)
{
	if (c.role != Role::fresh) {
		respond(c.fd, EISCONN, 0);
		return;
	}
	ngsim_mksock mk;
	std::string name;
	if (n != sizeof mk) {
		respond(c.fd, EINVAL, 0);
		return;
	}
	memcpy(&mk, p, sizeof mk);
	if (!k.type_loaded("socket")) {
		respond(c.fd, EPROTONOSUPPORT, 0);
		return;
	}
	if (c.uid != 0) {
		respond(c.fd, EPERM, 0);
		return;
	}
	int e = k.fault(FaultOp::mksock);
	if (e != 0) {
		respond(c.fd, e, 0);
		return;
	}
	if (!field_string(mk.name, sizeof mk.name, name) ||
	    (!name.empty() && !valid_node_name(name))) {
		respond(c.fd, EINVAL, 0);
		return;
	}
	int vnet = k.jail_of_pid(c.pid);
	if (!name.empty() && k.node_by_name(vnet, name) != nullptr) {
		respond(c.fd, EADDRINUSE, 0);
		return;
	}
	int sv[2] = {-1, -1};
	if ((mk.flags & NGSIM_MKSOCK_DATA) &&
	    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) {
		respond(c.fd, errno, 0);
		return;
	}
	Node *node = k.make_node_in("socket", vnet, e);
	if (node == nullptr) {
		if (sv[0] >= 0) {
			close(sv[0]);
			close(sv[1]);
		}
		respond(c.fd, e, 0);
		return;
	}
	node->name = name;
	Sock &s = socks[node->id];
	s.id = node->id;
	s.ctl_fd = c.fd;
	SockOps *ops = static_cast<SockOps *>(node->ops.get());
	k.sinks[node->id] = ops;
	c.role = Role::control;
	c.node = node->id;
	if (sv[0] >= 0) {
		int big = kDataBufForce;
		for (int fd : sv) {
			setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
			setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
		}
		fcntl(sv[0], F_SETFL, O_NONBLOCK);
		s.data_fd = sv[0];
		s.had_data = true;
		datafds[sv[0]] = node->id;
		epoll_add(sv[0]);
		respond(c.fd, 0, static_cast<int>(node->id), nullptr, 0, sv[1]);
		close(sv[1]);
	} else {
		respond(c.fd, 0, static_cast<int>(node->id));
	}
}

void Daemon::op_sendmsg(Conn &c, const ngsim_req &rq, const uint8_t *p,
    size_t n)
{
	if (c.role != Role::control || c.node == 0) {
		respond(c.fd, ENOTCONN, 0);
		return;
	}
	Node *node = k.node_by_id(c.node);
	if (node == nullptr) {
		respond(c.fd, ENOTCONN, 0);
		return;
	}
	if (n < sizeof(ngsim_sendmsg)) {
		respond(c.fd, EINVAL, 0);
		return;
	}
	ngsim_sendmsg sm;
	memcpy(&sm, p, sizeof sm);
	std::string path;
	if (!field_string(sm.path, sizeof sm.path, path)) {
		respond(c.fd, EINVAL, 0);
		return;
	}
	Caller cl;
	cl.uid = c.uid;
	cl.pid = rq.pid;
	cl.jail = node->vnet;
	const uint8_t *m = p + sizeof sm;
	size_t mlen = n - sizeof sm;
	uint32_t token = 0;
	if (mlen >= sizeof(ng_mesg))
		memcpy(&token, m + offsetof(ng_mesg, header.token), 4);
	int e = k.sendmsg(*node, cl, path, m, mlen);
	respond(c.fd, e, e == 0 ? static_cast<int>(token) : 0);
}

void Daemon::wire_out(Node &ether, const uint8_t *d, size_t n)
{
	timeval tv;
	gettimeofday(&tv, nullptr);
	uint32_t ts[2] = {static_cast<uint32_t>(tv.tv_sec),
	    static_cast<uint32_t>(tv.tv_usec)};
	std::vector<uint8_t> buf(sizeof ts + n);
	memcpy(buf.data(), ts, sizeof ts);
	memcpy(buf.data() + sizeof ts, d, n);
	for (auto &p : conns)
		if (p.second->role == Role::listener &&
		    p.second->listen_iface == ether.id)
			respond(p.first, 0, 1, buf.data(), buf.size());
}

int Daemon::jail_arg(const json &rq, int &jid, std::string &err)
{
	jid = 0;
	if (!rq.contains("jail") || rq["jail"].is_null())
		return 0;
	std::string ref = rq["jail"].get<std::string>();
	std::string msg;
	if (k.jail_getid(0, ref, jid, msg) != 0) {
		err = msg;
		return ENOENT;
	}
	return 0;
}

void Daemon::op_admin(Conn &c, const uint8_t *p, size_t n)
{
	if (c.role == Role::control) {
		respond(c.fd, EISCONN, 0);
		return;
	}
	c.role = Role::admin;
	const uint8_t *z = static_cast<const uint8_t *>(memchr(p, '\0', n));
	size_t jlen = z ? static_cast<size_t>(z - p) : n;
	const uint8_t *bin = z ? z + 1 : p + n;
	size_t binlen = z ? n - jlen - 1 : 0;
	json rq = json::parse(p, p + jlen, nullptr, false);
	json rs;
	if (rq.is_discarded() || !rq.is_object() || !rq.contains("cmd") ||
	    !rq["cmd"].is_string()) {
		rs = {{"error", "malformed admin request"}};
	} else {
		rs = admin(c, rq, bin, binlen, z != nullptr);
	}
	/* Names and paths are bytes, not always UTF-8. */
	std::string out = rs.dump(-1, ' ', false, json::error_handler_t::replace);
	respond(c.fd, rs.contains("error") ? EINVAL : 0, 0, out.data(), out.size());
}

static json node_json(Kernel &k, Node &n)
{
	json hooks = json::array();
	for (Hook *h : n.hooks) {
		if (h->peer == nullptr)
			continue;
		json e = {{"hook", h->name}, {"peer", h->peer->node->id},
		    {"peerhook", h->peer->name}};
		if (h->twin)
			e["peerjail"] = h->peer->node->vnet;
		hooks.push_back(e);
	}
	(void)k;
	return {{"id", n.id},
	    {"name", n.name.empty() ? json(nullptr) : json(n.name)},
	    {"type", n.type}, {"hooks", hooks}};
}

static std::string hexstr(const std::string &s)
{
	static const char *d = "0123456789abcdef";
	std::string o;
	for (unsigned char ch : s) {
		o += d[ch >> 4];
		o += d[ch & 15];
	}
	return o;
}

json Daemon::admin(Conn &c, const json &rq, const uint8_t *bin, size_t binlen,
    bool has_frame)
{
	const std::string cmd = rq["cmd"];
	std::string err;
	int jid = 0;
	auto getstr = [&](const char *key) -> std::string {
		if (rq.contains(key) && rq[key].is_string())
			return rq[key].get<std::string>();
		return std::string();
	};
	try {
	if (cmd == "halt") {
		halting_ = true;
		return json::object();
	}
	if (cmd == "jail_create") {
		int parent = 0;
		if (rq.contains("parent") && !rq["parent"].is_null()) {
			std::string msg;
			if (k.jail_getid(0, rq["parent"].get<std::string>(), parent,
			    msg) != 0)
				return {{"error", msg}};
		}
		std::string msg;
		if (k.jail_create(getstr("name"), parent, jid, msg) != 0)
			return {{"error", msg}};
		return {{"jid", jid}};
	}
	if (cmd == "jail_attach") {
		if (jail_arg(rq, jid, err) != 0)
			return {{"error", err}};
		if (jid != 0)
			k.attach_pid(c.pid, jid);
		return {{"jid", jid}};
	}
	if (cmd == "iface_create" || cmd == "node_create") {
		if (jail_arg(rq, jid, err) != 0)
			return {{"error", err}};
		std::string name = getstr("name");
		std::string type = cmd == "iface_create" ? "ether" : getstr("type");
		if (!valid_node_name(name))
			return {{"error", "invalid node name \"" + name + "\""}};
		if (k.node_by_name(jid, name) != nullptr)
			return {{"error", "node name \"" + name + "\" is in use"}};
		if (cmd == "node_create" && (type == "socket" || type == "ether" ||
		    !k.type_loaded(type)))
			return {{"error", "no built-in node type \"" + type + "\""}};
		int e;
		Node *n = k.make_node_in(type, jid, e);
		if (n == nullptr)
			return {{"error", std::string("cannot make the node: ") +
			    strerror(e)}};
		n->name = name;
		n->persistent = true;
		return {{"id", n->id}};
	}
	if (cmd == "wire_inject" || cmd == "wire_listen") {
		if (jail_arg(rq, jid, err) != 0)
			return {{"error", err}};
		std::string name = getstr("iface");
		Node *n = k.node_by_name(jid, name);
		if (n == nullptr || n->type != "ether")
			return {{"error", "no interface \"" + name + "\""}};
		if (cmd == "wire_inject") {
			if (binlen > NGSIM_MAX_ITEM)
				return {{"error", "frame too long"}};
			/* A request without a frame only checks the interface. */
			if (has_frame)
				ether_from_wire(k, *n, bin, binlen);
			return json::object();
		}
		c.role = Role::listener;
		c.listen_iface = n->id;
		return json::object();
	}
	if (cmd == "graph") {
		if (jail_arg(rq, jid, err) != 0)
			return {{"error", err}};
		json nodes = json::array();
		for (Node *n : k.nodes_in(jid))
			nodes.push_back(node_json(k, *n));
		return {{"jail", jid}, {"nodes", nodes}};
	}
	if (cmd == "trace") {
		json lines = json::array();
		for (const TraceEntry &t : k.trace) {
			const char *en = errno_name(t.error);
			json e = t.error == 0 ? json(nullptr) :
			    en ? json(en) : json(std::to_string(t.error));
			lines.push_back({{"pid", t.pid}, {"jail", t.jail},
			    {"path", t.path}, {"cookie", t.cookie}, {"cmd", t.cmd},
			    {"arg", hexstr(t.arg)}, {"errno", e}});
		}
		if (rq.value("clear", false))
			k.trace.clear();
		return {{"trace", lines}};
	}
	if (cmd == "fault_add") {
		FaultRule r;
		std::string op = getstr("op");
		if (op == "msg") r.op = FaultOp::msg;
		else if (op == "recv") r.op = FaultOp::recv;
		else if (op == "mksock") r.op = FaultOp::mksock;
		else if (op == "kldload") r.op = FaultOp::kldload;
		else if (op == "jail_attach") r.op = FaultOp::jail_attach;
		else return {{"error", "unknown operation \"" + op + "\""}};
		if (rq.contains("cookie"))
			r.cookie = rq["cookie"].get<uint32_t>();
		if (rq.contains("cmd_num"))
			r.cmd = rq["cmd_num"].get<uint32_t>() &
			    ~static_cast<uint32_t>(NGM_READONLY | NGM_HASREPLY);
		if (rq.contains("path"))
			r.path = rq["path"].get<std::string>();
		r.nth = rq.value("nth", 0L);
		r.error = rq.value("errno", 0);
		if (r.error == 0)
			return {{"error", "no errno"}};
		k.faults.push_back(r);
		return json::object();
	}
	if (cmd == "fault_clear") {
		k.faults.clear();
		return json::object();
	}
	if (cmd == "kld_list") {
		json files = json::array();
		for (const KldFile &f : k.kld_files())
			files.push_back({{"file", f.file},
			    {"id", f.id ? json(f.id) : json(nullptr)},
			    {"loaded", f.id != 0}, {"modules", f.modules}});
		return {{"files", files}};
	}
	if (cmd == "kld_add") {
		std::vector<std::string> mods =
		    rq.at("modules").get<std::vector<std::string>>();
		int e = k.kld_add(getstr("file"), mods, rq.value("loaded", false));
		if (e == EEXIST)
			return {{"error", "kernel file \"" + getstr("file") +
			    "\" already exists"}};
		if (e != 0)
			return {{"error", strerror(e)}};
		return json::object();
	}
	if (cmd == "kld_load") {
		Caller cl = caller(c, c.pid);
		int id = 0;
		int e = k.kldload(cl, getstr("file"), id);
		if (e != 0)
			return {{"error", strerror(e)}, {"errno", e}};
		return {{"id", id}};
	}
	} catch (const std::exception &ex) {
		return {{"error", std::string("malformed admin request: ") +
		    ex.what()}};
	}
	return {{"error", "unknown admin command \"" + cmd + "\""}};
}

int Daemon::run()
{
	ep_ = epoll_create1(EPOLL_CLOEXEC);
	if (ep_ < 0)
		return 1;
	k.wire_out = [this](Node &e, const uint8_t *d, size_t n) {
		wire_out(e, d, n);
	};
	register_builtin_types(k);
	k.register_type({"socket", "ng_socket", [this](KernelApi &, Node &n) {
		return std::unique_ptr<NodeOps>(new SockOps(this, n.id));
	}});
	if (ngsim_register_pcap)
		ngsim_register_pcap(k);
	if (ngsim_register_wormhole)
		ngsim_register_wormhole(k);
	fcntl(lfd_, F_SETFL, O_NONBLOCK);
	epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLIN;
	ev.data.u64 = static_cast<uint32_t>(lfd_);
	epoll_ctl(ep_, EPOLL_CTL_ADD, lfd_, &ev);
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
			if (fd != lfd_) {
				auto g = gens_.find(fd);
				if (g == gens_.end() || g->second != gen)
					continue;	/* closed earlier in this batch */
			}
			if (fd == lfd_)
				accept_one();
			else if (datafds.count(fd))
				data_event(fd, evs[i].events);
			else if (auto it = conns.find(fd); it != conns.end())
				conn_event(*it->second, evs[i].events);
			k.reap();
		}
	}
	unlink(path_.c_str());
	close(lfd_);
	return 0;
}

} // namespace

int run_kernel(int lfd, const std::string &path)
{
	signal(SIGPIPE, SIG_IGN);
	Daemon *d = new Daemon(lfd, path);	/* lives until the process ends */
	return d->run();
}

} // namespace ngsim
