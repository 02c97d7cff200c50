/* ng_echo(4): data goes back out the hook it came in on, messages too. */
#include "builtin.h"
#include "transient.h"

namespace ngsim {

namespace {

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

} // namespace

void register_echo(KernelApi &k)
{
	k.register_type({"echo", "ng_echo", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Echo(kk));
	}});
}

} // namespace ngsim
