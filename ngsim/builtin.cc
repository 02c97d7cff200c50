/*
 * The node types built into file 1 ("kernel"): ether, hub, tee, echo, hole.
 */
#include "kernel.h"

#include <cerrno>
#include <cstring>

namespace ngsim {

namespace {

/* A node that goes away with its last hook, unless made persistent. */
class Transient : public NodeOps {
public:
	explicit Transient(KernelApi &k) : k_(k) {}
	void disconnect(Node &self, Hook &) override
	{
		if (self.hooks.empty() && !self.persistent)
			k_.shutdown(self);
	}

protected:
	KernelApi &k_;
};

class Hub : public Transient {
public:
	using Transient::Transient;
	int rcvdata(Node &self, Hook &in, const uint8_t *d, size_t n) override
	{
		std::vector<Hook *> out(self.hooks);
		for (Hook *h : out)
			if (h != &in && h->alive)
				k_.send_data(*h, d, n);
		return 0;
	}
};

class Tee : public Transient {
public:
	using Transient::Transient;
	int newhook(Node &, const std::string &name, Node &,
	    const std::string &) override
	{
		if (name == "left" || name == "right" || name == "left2right" ||
		    name == "right2left")
			return 0;
		return EINVAL;
	}
	int rcvdata(Node &self, Hook &in, const uint8_t *d, size_t n) override
	{
		auto out = [&](const char *h) {
			if (Hook *x = self.findhook(h))
				k_.send_data(*x, d, n);
		};
		if (in.name == "left") {
			out("left2right");
			out("right");
		} else if (in.name == "right") {
			out("right2left");
			out("left");
		} else if (in.name == "right2left") {
			out("right");
		} else if (in.name == "left2right") {
			out("left");
		}
		return 0;
	}
};

class Echo : public Transient {
public:
	using Transient::Transient;
	int rcvdata(Node &, Hook &in, const uint8_t *d, size_t n) override
	{
		k_.send_data(in, d, n);
		return 0;
	}
	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		k_.reply(self, m, m.arg, m.arglen);
		return 0;
	}
};

class Hole : public Transient {
public:
	using Transient::Transient;
};

/*
 * One emulated interface. Frames from the wire go to lower (or orphans)
 * when connected, else into the stack, where they are counted and dropped.
 * Frames into lower or orphans go out on the wire; into upper, the stack.
 */
class Ether : public NodeOps {
public:
	Ether(Kernel &k) : k_(k) {}
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
			if (k_.wire_out)
				k_.wire_out(self, d, n);
		} else {
			k_.stack_drops[self.id]++;
		}
		return 0;
	}
	bool shutdown(Node &) override { return false; }

private:
	Kernel &k_;
};

} // namespace

/* A frame arriving on an interface's wire. */
void ether_from_wire(Kernel &k, Node &ether, const uint8_t *d, size_t n)
{
	Hook *h = ether.findhook("lower");
	if (h == nullptr)
		h = ether.findhook("orphans");
	if (h == nullptr || k.send_data(*h, d, n) == ENOTCONN)
		k.stack_drops[ether.id]++;
}

void register_builtin_types(Kernel &k)
{
	k.register_type({"ether", "ng_ether",
	    [](KernelApi &kk, Node &) { return std::unique_ptr<NodeOps>(new Ether(static_cast<Kernel &>(kk))); }});
	k.register_type({"hub", "ng_hub",
	    [](KernelApi &kk, Node &) { return std::unique_ptr<NodeOps>(new Hub(kk)); }});
	k.register_type({"tee", "ng_tee",
	    [](KernelApi &kk, Node &) { return std::unique_ptr<NodeOps>(new Tee(kk)); }});
	k.register_type({"echo", "ng_echo",
	    [](KernelApi &kk, Node &) { return std::unique_ptr<NodeOps>(new Echo(kk)); }});
	k.register_type({"hole", "ng_hole",
	    [](KernelApi &kk, Node &) { return std::unique_ptr<NodeOps>(new Hole(kk)); }});
}

} // namespace ngsim
