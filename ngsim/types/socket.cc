/*
 * ng_socket(4): the kernel's side of the programs' socket nodes.
 */
#include "socket.h"

#include "builtin.h"
#include "../msgs.h"
#include "../proto.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_COOKIE
#define SO_COOKIE 57
#endif

namespace ngsim {

namespace {

constexpr uint8_t kAfNetgraph = 32;

/* The process's sockets, by their cookies. */
std::map<uint64_t, SockRef> g_sockets;

uint64_t cookie_of(int fd)
{
	uint64_t c = 0;
	socklen_t len = sizeof c;
	if (getsockopt(fd, SOL_SOCKET, SO_COOKIE, &c, &len) < 0)
		return 0;
	return c;
}

/* Bytes the reader has not taken yet from our end of a socket pair. */
long unread(int fd)
{
	int q = 0;
	return ioctl(fd, SIOCOUTQ, &q) < 0 ? -1 : q;
}

class Sock : public NodeOps {
public:
	explicit Sock(KernelApi &k) : k_(k), space_(k.recvspace()),
	    maxdgram_(k.maxdgram()) {}
	~Sock() override { close_all(); }

	int open(Node &self, bool data, int &cfd, int &dfd)
	{
		int c[2], d[2] = {-1, -1};
		if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, c) < 0)
			return errno;
		if (data && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK,
		    0, d) < 0) {
			int e = errno;
			::close(c[0]);
			::close(c[1]);
			return e;
		}
		/*
		 * The process's ends block as sockets do; ours never do. Our
		 * data end holds recvspace of the smallest items the count
		 * below allows, and the replies of a busy graph.
		 */
		int big = static_cast<int>(space_ * 18 + 262144);
		setsockopt(c[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
		for (int fd : {c[1], d[1]})
			if (fd >= 0) {
				int fl = 0;
				ioctl(fd, FIONBIO, &fl);
			}
		ctl_ = c[0];
		ctl_cookie_ = cookie_of(c[1]);
		g_sockets[ctl_cookie_] = {self.id, false};
		ng_id id = self.id;
		k_.watch(ctl_, [this, id]() { ctl_event(id); });
		if (data) {
			setsockopt(d[0], SOL_SOCKET, SO_SNDBUFFORCE, &big,
			    sizeof big);
			data_ = d[0];
			data_cookie_ = cookie_of(d[1]);
			g_sockets[data_cookie_] = {self.id, true};
			k_.watch(data_, [this, id]() { data_event(id); });
		}
		cfd = c[1];
		dfd = d[1];
		return 0;
	}

	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		if (m.cookie == NGM_SOCKET_COOKIE) {
			if (m.cmd == NGM_SOCK_CMD_NOLINGER)
				linger_ = false;
			else if (m.cmd == NGM_SOCK_CMD_LINGER)
				linger_ = true;
			else
				return EINVAL;
			return 0;
		}
		/* Any other cookie goes up to the process as it came. */
		queue_reply(self, m.sender, std::vector<uint8_t>(m.whole,
		    m.whole + m.wholelen));
		return 0;
	}

	void queue_reply(Node &, ng_id from,
	    const std::vector<uint8_t> &msg) override
	{
		if (ctl_ < 0 || msg.size() < sizeof(ng_mesg))
			return;
		ng_mesg h;
		memcpy(&h, msg.data(), sizeof h);
		ngsim_ctlmsg cm;
		memset(&cm, 0, sizeof cm);
		cm.error = k_.recv_fault(h.header.typecookie, h.header.cmd);
		snprintf(cm.from, sizeof cm.from, "[%x]:", from);
		iovec iov[2] = {{&cm, sizeof cm},
		    {const_cast<uint8_t *>(msg.data()), msg.size()}};
		msghdr mh;
		memset(&mh, 0, sizeof mh);
		mh.msg_iov = iov;
		/* A failing receive loses its message, so none comes late. */
		mh.msg_iovlen = cm.error != 0 ? 1 : 2;
		if (sendmsg(ctl_, &mh, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
		    errno == EMSGSIZE) {
			int big = static_cast<int>(2 * (sizeof cm + msg.size()));
			setsockopt(ctl_, SOL_SOCKET, SO_SNDBUFFORCE, &big,
			    sizeof big);
			sendmsg(ctl_, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
		}
		/* A reader that lets replies pile up loses the newest. */
	}

	int rcvdata(Node &, Hook &h, const uint8_t *d, size_t n) override
	{
		if (data_ < 0)
			return ENOTCONN;
		account();
		if (n > space_ - std::min(space_, bytes_) ||
		    items_.size() >= max_items()) {
			drops_++;
			return ENOBUFS;
		}
		long before = unread(data_);
		if (send(data_, d, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
			drops_++;
			return errno == EAGAIN ? ENOBUFS : errno;
		}
		long charge = unread(data_) - before;
		if (charge <= 0)
			charge = static_cast<long>(n) + 1;
		items_.push_back({n, charge, h.name});
		bytes_ += n;
		charge_ += charge;
		return 0;
	}

	void disconnect(Node &self, Hook &) override
	{
		if (!linger_ && self.hooks.empty())
			k_.shutdown(self);
	}

	bool shutdown(Node &) override
	{
		close_all();
		return true;
	}

	int send_from(Node &self, const std::string &hook, const uint8_t *d,
	    size_t n)
	{
		if (n > maxdgram_)
			return EMSGSIZE;
		Hook *h = self.findhook(hook);
		if (h == nullptr)
			return EHOSTUNREACH;
		return k_.send_data(*h, d, n);
	}

	std::string last_hook()
	{
		account();
		return last_hook_;
	}

private:
	struct Item {
		size_t		bytes;
		long		charge;
		std::string	hook;
	};

	/*
	 * At most one item per 64 bytes of room, as a socket buffer that
	 * counts its mbufs allows: tiny items cannot pile up without end.
	 */
	size_t max_items() const { return space_ / 64 > 0 ? space_ / 64 : 1; }

	/* Forgets the items the reader has taken. */
	void account()
	{
		long left = unread(data_);
		if (left < 0)
			return;
		while (!items_.empty() && charge_ > left) {
			bytes_ -= items_.front().bytes;
			charge_ -= items_.front().charge;
			last_hook_ = items_.front().hook;
			items_.pop_front();
		}
		if (items_.empty())
			charge_ = 0;
	}

	void ctl_event(ng_id id)
	{
		uint8_t b[512];
		ssize_t n;
		while ((n = recv(ctl_, b, sizeof b, MSG_DONTWAIT)) > 0)
			;
		if (n < 0 && errno == EAGAIN)
			return;
		/* The process has closed its control socket. */
		drop_end(ctl_, ctl_cookie_);
		gone(id);
	}

	void data_event(ng_id id)
	{
		static uint8_t buf[NGSIM_MAX_ITEM + 1];
		for (int i = 0; i < 64; i++) {
			ssize_t n = recv(data_, buf, sizeof buf, MSG_DONTWAIT);
			if (n < 0 && errno == EAGAIN)
				return;
			if (n <= 0) {
				drop_end(data_, data_cookie_);
				gone(id);
				return;
			}
			/* A plain write goes out of the only hook, if one. */
			Node *self = k_.node_by_id(id);
			if (self != nullptr && self->hooks.size() == 1 &&
			    static_cast<size_t>(n) <= maxdgram_)
				k_.send_data(*self->hooks.front(), buf, n);
		}
	}

	/* Both sockets closed: the node goes. */
	void gone(ng_id id)
	{
		if (ctl_ >= 0 || data_ >= 0)
			return;
		if (Node *self = k_.node_by_id(id))
			k_.shutdown(*self);
	}

	void drop_end(int &fd, uint64_t cookie)
	{
		if (fd < 0)
			return;
		k_.unwatch(fd);
		::close(fd);
		fd = -1;
		g_sockets.erase(cookie);
	}

	void close_all()
	{
		drop_end(ctl_, ctl_cookie_);
		drop_end(data_, data_cookie_);
	}

	KernelApi &k_;
	size_t space_, maxdgram_;
	int ctl_ = -1, data_ = -1;
	uint64_t ctl_cookie_ = 0, data_cookie_ = 0;
	bool linger_ = true;
	std::deque<Item> items_;
	size_t bytes_ = 0;
	long charge_ = 0;
	uint64_t drops_ = 0;
	std::string last_hook_;
};

Sock *sock_of(Node &n)
{
	return n.alive && n.type == "socket" ?
	    dynamic_cast<Sock *>(n.ops.get()) : nullptr;
}

} // namespace

SockRef socket_by_cookie(uint64_t cookie)
{
	auto it = g_sockets.find(cookie);
	return it == g_sockets.end() ? SockRef() : it->second;
}

int socket_open(Node &n, bool data, int &cfd, int &dfd)
{
	Sock *s = sock_of(n);
	return s != nullptr ? s->open(n, data, cfd, dfd) : EINVAL;
}

int socket_send(KernelApi &, Node &n, const std::string &hook,
    const uint8_t *d, size_t len)
{
	Sock *s = sock_of(n);
	return s != nullptr ? s->send_from(n, hook, d, len) : ENOTCONN;
}

std::string socket_last_hook(Node &n)
{
	Sock *s = sock_of(n);
	return s != nullptr ? s->last_hook() : std::string();
}

std::string socket_name(Node &n)
{
	/*
	 * The node's name follows the family; the address is as long as the
	 * name needs, at least the 16 bytes of struct sockaddr_ng.
	 */
	std::string sa(2, '\0');
	sa += n.name;
	sa.resize(std::max<size_t>(16, sa.size() + 1), '\0');
	sa[0] = static_cast<char>(sa.size());
	sa[1] = static_cast<char>(kAfNetgraph);
	return sa;
}

void register_socket(KernelApi &k)
{
	k.register_type({"socket", "ng_socket", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Sock(kk));
	}});
}

} // namespace ngsim
