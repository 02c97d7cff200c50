/* Every node type the emulated kernel knows without loadable code of its own. */
#include "../kernel.h"
#include "builtin.h"

namespace ngsim {

void register_builtin_types(KernelApi &k)
{
	register_ether(k);
	register_iface(k);
	register_hub(k);
	register_tee(k);
	register_echo(k);
	register_hole(k);
	register_socket(k);
}

} // namespace ngsim
