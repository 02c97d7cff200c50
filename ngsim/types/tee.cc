/*
 * ng_tee(4): left and right pass to each other, and each direction is
 * copied out of left2right or right2left; what comes into those goes on
 * towards left or right. Statistics count each hook's traffic. Shut down
 * between left and right, it steps out and leaves them joined.
 */
#include "builtin.h"
#include "transient.h"
#include "../msgs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ngsim {

namespace {

const char *const kHooks[] = {"right", "left", "right2left", "left2right"};

class Tee : public Transient {
public:
	using Transient::Transient;
	int newhook(Node &, const std::string &name, Node &,
	    const std::string &) override
	{
		return index(name) < 0 ? EINVAL : 0;
	}
	int rcvdata(Node &self, Hook &in, const uint8_t *d, size_t n) override
	{
		ng_tee_hookstat *s = stat(in.name);
		s->inOctets += n;
		s->inFrames++;
		if (in.name == "left") {
			out(self, "left2right", d, n);
			out(self, "right", d, n);
		} else if (in.name == "right") {
			out(self, "right2left", d, n);
			out(self, "left", d, n);
		} else if (in.name == "right2left") {
			out(self, "right", d, n);
		} else {
			out(self, "left", d, n);
		}
		return 0;
	}
	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		if (m.cookie != NGM_TEE_COOKIE || m.arglen != 0)
			return EINVAL;
		switch (m.cmd) {
		case NGM_TEE_GET_STATS:
		case NGM_TEE_GETCLR_STATS:
			k_.reply(self, m, &stats_, sizeof stats_);
			if (m.cmd == NGM_TEE_GET_STATS)
				return 0;
			/* FALLTHROUGH */
		case NGM_TEE_CLR_STATS:
			memset(&stats_, 0, sizeof stats_);
			return 0;
		default:
			return EINVAL;
		}
	}
	int status(Node &, std::string &text) override
	{
		char line[160];
		for (const char *h : kHooks) {
			const ng_tee_hookstat *s = stat(h);
			snprintf(line, sizeof line, "%s: in %llu frames, %llu bytes; "
			    "out %llu frames, %llu bytes\n", h,
			    static_cast<unsigned long long>(s->inFrames),
			    static_cast<unsigned long long>(s->inOctets),
			    static_cast<unsigned long long>(s->outFrames),
			    static_cast<unsigned long long>(s->outOctets));
			text += line;
		}
		return 0;
	}
	bool shutdown(Node &self) override
	{
		Hook *l = self.findhook("left"), *r = self.findhook("right");
		if (l != nullptr && r != nullptr)
			k_.bypass(*l, *r);
		return true;
	}

private:
	static int index(const std::string &h)
	{
		for (int i = 0; i < 4; i++)
			if (h == kHooks[i])
				return i;
		return -1;
	}
	ng_tee_hookstat *stat(const std::string &h)
	{
		ng_tee_hookstat *s[] = {&stats_.right, &stats_.left,
		    &stats_.right2left, &stats_.left2right};
		return s[index(h)];
	}
	void out(Node &self, const char *hook, const uint8_t *d, size_t n)
	{
		Hook *x = self.findhook(hook);
		if (x == nullptr || k_.send_data(*x, d, n) != 0)
			return;
		stat(hook)->outOctets += n;
		stat(hook)->outFrames++;
	}

	ng_tee_stats stats_ = {};
};

} // namespace

void register_tee(KernelApi &k)
{
	k.register_type({"tee", "ng_tee", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Tee(kk));
	}});
}

} // namespace ngsim
