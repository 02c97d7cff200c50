/* ng_hole(4): a black hole for data. */
#include "builtin.h"
#include "transient.h"

namespace ngsim {

void register_hole(KernelApi &k)
{
	k.register_type({"hole", "ng_hole", [](KernelApi &kk, Node &) {
		return std::unique_ptr<NodeOps>(new Transient(kk));
	}});
}

} // namespace ngsim
