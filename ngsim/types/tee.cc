/*
 * ng_tee(4): left and right pass to each other, and each direction is
 * copied out of left2right or right2left.
 */
#include "builtin.h"
#include "transient.h"

#include <cerrno>

namespace ngsim {

namespace {

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

} // namespace

void register_tee(KernelApi &k)
{
	k.register_type({"tee", "ng_tee", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Tee(kk));
	}});
}

} // namespace ngsim
