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
 */
#include "builtin.h"

#include <cerrno>
#include <cstring>

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
			k_.wire_out(self, d, n);
			return 0;
		}
		if (!recognised(d, n))
			if (Hook *o = self.findhook("orphans"))
				return k_.send_data(*o, d, n);
		return to_stack(d, n);
	}

	bool shutdown(Node &) override { return false; }

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
