/*
 * ng_iface(4): a node that is also a point-to-point interface of its vnet's
 * stack, a Linux TUN device of the same name. What the stack sends through
 * it leaves on hook inet (IPv4) or inet6 (IPv6), and is dropped while that
 * hook is free; what is written to those hooks reaches the stack. Made by
 * `ngsim iface create NAME --type iface`, or by NGM_MKPEER, which names it
 * after the first free ngN of its vnet. It stays when its hooks go, and
 * takes its interface with it when shut down.
 */
#include "builtin.h"
#include "../msgs.h"
#include "../netdev.h"

#include <cerrno>
#include <map>
#include <set>

#include <net/if.h>
#include <unistd.h>

namespace ngsim {

namespace {

constexpr size_t kMaxPacket = 65536;
constexpr int kBatch = 64;

/* Interface names in use, by vnet. */
std::map<int, std::set<std::string>> g_names;

class Iface : public NodeOps {
public:
	explicit Iface(KernelApi &k) : k_(k) {}
	~Iface() override { release(); }

	int start(Node &self) override
	{
		std::string name = self.name;
		if (name.empty()) {
			for (int i = 0; name.empty() ||
			    g_names[self.vnet].count(name) != 0; i++)
				name = "ng" + std::to_string(i);
		}
		int e = k_.open_netdev(self.vnet, name, true, self.id, fd_);
		if (e == ENOTSUP)
			e = 0;
		if (e != 0)
			return e;
		vnet_ = self.vnet;
		ifname_ = name;
		g_names[vnet_].insert(name);
		/* The node takes its interface's name unless another has it. */
		if (self.name.empty() && k_.node_by_name(self.vnet, name) == nullptr)
			self.name = name;
		if (fd_ >= 0) {
			ng_id id = self.id;
			k_.watch(fd_, [this, id]() { from_stack(id); });
		}
		return 0;
	}

	int newhook(Node &, const std::string &name, Node &,
	    const std::string &) override
	{
		return name == "inet" || name == "inet6" ? 0 : EINVAL;
	}

	int rcvdata(Node &, Hook &, const uint8_t *d, size_t n) override
	{
		if (fd_ >= 0 && write(fd_, d, n) < 0)
			return ENOBUFS;
		return 0;
	}

	bool shutdown(Node &) override
	{
		release();
		return true;
	}

	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		if (m.cookie != NGM_IFACE_COOKIE || m.arglen != 0)
			return EINVAL;
		switch (m.cmd) {
		case NGM_IFACE_GET_IFNAME:
			k_.reply(self, m, ifname_.c_str(), ifname_.size() + 1);
			return 0;
		case NGM_IFACE_GET_IFINDEX: {
			int idx = 0;
			int e = in_stack([&] { return netdev_ifindex(ifname_, idx); });
			int32_t v = idx;
			if (e == 0)
				k_.reply(self, m, &v, sizeof v);
			return e;
		}
		case NGM_IFACE_POINT2POINT:
		case NGM_IFACE_BROADCAST: {
			/* The mode may change only while the interface is down. */
			int flags = 0;
			int e = in_stack([&] { return netdev_flags(ifname_, flags); });
			if (e != 0)
				return e;
			if (flags & IFF_UP)
				return EBUSY;
			broadcast_ = m.cmd == NGM_IFACE_BROADCAST;
			return 0;
		}
		default:
			return EINVAL;
		}
	}

private:
	int in_stack(const std::function<int()> &fn)
	{
		return fd_ < 0 ? ENXIO : k_.in_vnet(vnet_, fn);
	}

	void release()
	{
		if (fd_ >= 0) {
			k_.unwatch(fd_);
			close(fd_);
			fd_ = -1;
		}
		if (!ifname_.empty())
			g_names[vnet_].erase(ifname_);
		ifname_.clear();
	}

	void from_stack(ng_id id)
	{
		static uint8_t buf[kMaxPacket];
		for (int i = 0; i < kBatch && fd_ >= 0; i++) {
			ssize_t n = read(fd_, buf, sizeof buf);
			if (n <= 0)
				return;
			Node *self = k_.node_by_id(id);
			if (self == nullptr)
				return;
			const char *hook = (buf[0] >> 4) == 6 ? "inet6" :
			    (buf[0] >> 4) == 4 ? "inet" : nullptr;
			if (hook == nullptr)
				continue;
			if (Hook *h = self->findhook(hook))
				k_.send_data(*h, buf, n);
		}
	}

	KernelApi &k_;
	int fd_ = -1;
	int vnet_ = 0;
	std::string ifname_;
	bool broadcast_ = false;	/* kept; the device stays point-to-point */
};

} // namespace

void register_iface(KernelApi &k)
{
	k.register_type({"iface", "ng_iface", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Iface(kk));
	}});
}

} // namespace ngsim
