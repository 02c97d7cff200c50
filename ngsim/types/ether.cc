/*
 * ng_ether(4): one persistent node per emulated Ethernet interface, named
 * after it, with hooks lower, upper and orphans. The interface's stack is a
 * TAP device of the same name in the vnet's network namespace; its wire is
 * what `ngsim wire inject` puts on it and `ngsim wire listen` hears.
 *
 * - From the wire: to lower when it is connected; else to the stack, or to
 *   orphans when the stack would not recognise the frame and orphans is
 *   connected.
 * - Into lower or orphans: out on the wire.
 * - From the stack: to upper when it is connected, else out on the wire.
 * - Into upper: to the stack as if received; a frame the stack would not
 *   recognise goes back out of orphans when that is connected.
 *
 * Its messages act on the TAP device: its name and index, its Ethernet
 * address, promiscuous mode and multicast groups; with autosrc set, frames
 * into lower leave with the device's address as their source. NGM_SHUTDOWN
 * only takes the hooks away; NGM_ETHER_DETACH takes the node, and the
 * device with it.
 */
#include "builtin.h"
#include "../msgs.h"
#include "../netdev.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <net/if.h>
#include <unistd.h>

namespace ngsim {

namespace {

constexpr size_t kMaxFrame = 65536;
/* Frames taken from the stack per turn, so that no device starves others. */
constexpr int kBatch = 64;

/* Ethernet types the stack handles: IPv4, ARP, VLAN, IPv6. */
bool recognised(const uint8_t *f, size_t n)
{
	if (n < 14)
		return false;
	unsigned type = f[12] << 8 | f[13];
	return type == 0x0800 || type == 0x0806 || type == 0x8100 ||
	    type == 0x86dd;
}

class Ether : public NodeOps {
public:
	explicit Ether(KernelApi &k) : k_(k) {}
	~Ether() override
	{
		if (fd_ >= 0) {
			k_.unwatch(fd_);
			close(fd_);
		}
	}

	int start(Node &self) override
	{
		int e = k_.open_netdev(self.vnet, self.name, false, self.id, fd_);
		/* Without network stacks (unit tests) the stack drops all. */
		if (e == ENOTSUP)
			return 0;
		if (e != 0)
			return e;
		ng_id id = self.id;
		k_.watch(fd_, [this, id]() { from_stack(id); });
		return 0;
	}

	int newhook(Node &, const std::string &name, Node &,
	    const std::string &) override
	{
		if (name == "lower" || name == "upper" || name == "orphans")
			return 0;
		return EINVAL;
	}

	int rcvdata(Node &self, Hook &in, const uint8_t *d, size_t n) override
	{
		if (in.name == "lower" || in.name == "orphans") {
			uint8_t mac[6];
			if (autosrc_ && n >= 14 && enaddr(self, mac) == 0) {
				std::vector<uint8_t> f(d, d + n);
				memcpy(&f[6], mac, sizeof mac);
				k_.wire_out(self, f.data(), f.size());
			} else {
				k_.wire_out(self, d, n);
			}
			return 0;
		}
		if (!recognised(d, n))
			if (Hook *o = self.findhook("orphans"))
				return k_.send_data(*o, d, n);
		return to_stack(d, n);
	}

	bool shutdown(Node &) override { return detaching_; }

	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		if (m.cookie != NGM_ETHER_COOKIE)
			return EINVAL;
		int32_t v = 0;
		uint8_t mac[6];
		bool i32 = m.arglen == sizeof v, addr = m.arglen == sizeof mac;
		if (i32)
			memcpy(&v, m.arg, sizeof v);
		if (addr)
			memcpy(mac, m.arg, sizeof mac);
		switch (m.cmd) {
		case NGM_ETHER_GET_IFNAME:
			k_.reply(self, m, self.name.c_str(), self.name.size() + 1);
			return 0;
		case NGM_ETHER_GET_IFINDEX: {
			int idx = 0;
			int e = in_stack(self, [&] {
				return netdev_ifindex(self.name, idx);
			});
			v = idx;
			if (e == 0)
				k_.reply(self, m, &v, sizeof v);
			return e;
		}
		case NGM_ETHER_GET_ENADDR: {
			int e = enaddr(self, mac);
			if (e == 0)
				k_.reply(self, m, mac, sizeof mac);
			return e;
		}
		case NGM_ETHER_SET_ENADDR:
			if (!addr || (mac[0] & 1))
				return EINVAL;
			return in_stack(self, [&] {
				return netdev_set_enaddr(self.name, mac);
			});
		case NGM_ETHER_SET_PROMISC:
		case NGM_ETHER_SET_AUTOSRC: {
			if (!i32)
				return EINVAL;
			if (m.cmd == NGM_ETHER_SET_AUTOSRC) {
				autosrc_ = v != 0;
				return 0;
			}
			int e = in_stack(self, [&] {
				return netdev_set_flag(self.name, IFF_PROMISC, v != 0);
			});
			if (e == 0)
				promisc_ = v != 0;
			return e;
		}
		case NGM_ETHER_GET_PROMISC:
		case NGM_ETHER_GET_AUTOSRC:
			v = m.cmd == NGM_ETHER_GET_PROMISC ? promisc_ : autosrc_;
			k_.reply(self, m, &v, sizeof v);
			return 0;
		case NGM_ETHER_ADD_MULTI:
		case NGM_ETHER_DEL_MULTI:
			if (!addr || !(mac[0] & 1))
				return EINVAL;
			return in_stack(self, [&] {
				return netdev_multi(self.name, mac,
				    m.cmd == NGM_ETHER_ADD_MULTI);
			});
		case NGM_ETHER_DETACH:
			detaching_ = true;
			k_.shutdown(self);
			return 0;
		default:
			return EINVAL;
		}
	}

	int status(Node &self, std::string &text) override
	{
		char b[160];
		snprintf(b, sizeof b, "interface %s: %s; %llu frames the stack "
		    "could not take\n", self.name.c_str(), fd_ >= 0 ? "up" :
		    "without a stack", static_cast<unsigned long long>(drops_));
		text = b;
		return 0;
	}

	void from_wire(Node &self, const uint8_t *d, size_t n)
	{
		if (Hook *l = self.findhook("lower")) {
			k_.send_data(*l, d, n);
			return;
		}
		if (!recognised(d, n))
			if (Hook *o = self.findhook("orphans")) {
				k_.send_data(*o, d, n);
				return;
			}
		to_stack(d, n);
	}

private:
	/* `fn` inside the interface's namespace; ENXIO without a device. */
	int in_stack(Node &self, const std::function<int()> &fn)
	{
		return fd_ < 0 ? ENXIO : k_.in_vnet(self.vnet, fn);
	}

	int enaddr(Node &self, uint8_t mac[6])
	{
		return in_stack(self, [&] { return netdev_enaddr(self.name, mac); });
	}

	int to_stack(const uint8_t *d, size_t n)
	{
		if (fd_ < 0 || write(fd_, d, n) < 0) {
			drops_++;
			return fd_ < 0 ? 0 : ENOBUFS;
		}
		return 0;
	}

	void from_stack(ng_id id)
	{
		static uint8_t buf[kMaxFrame];
		for (int i = 0; i < kBatch; i++) {
			ssize_t n = read(fd_, buf, sizeof buf);
			if (n <= 0)
				return;
			Node *self = k_.node_by_id(id);
			if (self == nullptr)
				return;
			if (Hook *u = self->findhook("upper"))
				k_.send_data(*u, buf, n);
			else
				k_.wire_out(*self, buf, n);
		}
	}

	KernelApi &k_;
	int fd_ = -1;
	uint64_t drops_ = 0;
	bool promisc_ = false, autosrc_ = false, detaching_ = false;
};

} // namespace

bool ether_from_wire(Node &ether, const uint8_t *frame, size_t len)
{
	Ether *e = ether.type == "ether" ?
	    dynamic_cast<Ether *>(ether.ops.get()) : nullptr;
	if (e == nullptr)
		return false;
	e->from_wire(ether, frame, len);
	return true;
}

void register_ether(KernelApi &k)
{
	k.register_type({"ether", "ng_ether", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Ether(kk));
	}});
}

} // namespace ngsim
