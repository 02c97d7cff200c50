/*
 * ng_hub(4): what comes in on one hook goes out on all the others. It goes
 * with its last hook unless NGM_HUB_SET_PERSISTENT said otherwise.
 */
#include "builtin.h"
#include "transient.h"
#include "../msgs.h"

#include <cerrno>

namespace ngsim {

namespace {

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
	int rcvmsg(Node &self, const CtlMsg &m) override
	{
		if (m.cookie != NGM_HUB_COOKIE || m.cmd != NGM_HUB_SET_PERSISTENT)
			return EINVAL;
		self.persistent = true;
		return 0;
	}
};

} // namespace

void register_hub(KernelApi &k)
{
	k.register_type({"hub", "ng_hub", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Hub(kk));
	}});
}

} // namespace ngsim
