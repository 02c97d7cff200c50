/* ng_hole(4): a black hole for data, which counts what it swallows per hook. */
#include "builtin.h"
#include "transient.h"
#include "../kernel.h"
#include "../msgs.h"

#include <cerrno>
#include <cstdio>
#include <map>

namespace ngsim {

namespace {

class Hole : public Transient {
public:
	using Transient::Transient;
	int rcvdata(Node &, Hook &in, const uint8_t *, size_t n) override
	{
		ng_hole_hookstat &s = stats_[in.name];
		s.frames++;
		s.octets += n;
		return 0;
	}
	void disconnect(Node &self, Hook &h) override
	{
		stats_.erase(h.name);
		Transient::disconnect(self, h);
	}
	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		std::string hook;
		if (m.cookie != NGM_HOLE_COOKIE || m.arglen == 0 ||
		    !field_string(reinterpret_cast<const char *>(m.arg),
		    m.arglen, hook))
			return EINVAL;
		if (self.findhook(hook) == nullptr)
			return ENOENT;
		ng_hole_hookstat &s = stats_[hook];
		switch (m.cmd) {
		case NGM_HOLE_GET_STATS:
		case NGM_HOLE_GETCLR_STATS:
			k_.reply(self, m, &s, sizeof s);
			if (m.cmd == NGM_HOLE_GET_STATS)
				return 0;
			/* FALLTHROUGH */
		case NGM_HOLE_CLR_STATS:
			s = {};
			return 0;
		default:
			return EINVAL;
		}
	}
	int status(Node &, std::string &text) override
	{
		char line[128];
		for (const auto &p : stats_) {
			snprintf(line, sizeof line, "%s: %llu frames, %llu bytes\n",
			    p.first.c_str(),
			    static_cast<unsigned long long>(p.second.frames),
			    static_cast<unsigned long long>(p.second.octets));
			text += line;
		}
		return 0;
	}

private:
	std::map<std::string, ng_hole_hookstat> stats_;
};

} // namespace

void register_hole(KernelApi &k)
{
	k.register_type({"hole", "ng_hole", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Hole(kk));
	}});
}

} // namespace ngsim
