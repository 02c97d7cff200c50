/*
 * The node types of file 1, "kernel" (ether, iface, hub, tee, echo, hole),
 * and the socket node type of ng_socket. register_builtin_types() in
 * kernel.h registers them all.
 */
#ifndef NGSIM_TYPES_BUILTIN_H
#define NGSIM_TYPES_BUILTIN_H

#include "../node.h"

namespace ngsim {

void register_ether(KernelApi &k);
void register_iface(KernelApi &k);
void register_hub(KernelApi &k);
void register_tee(KernelApi &k);
void register_echo(KernelApi &k);
void register_hole(KernelApi &k);
void register_socket(KernelApi &k);

/*
 * A frame that arrives on interface `ether` from its wire (`ngsim wire
 * inject`). False when `ether` is no interface.
 */
bool ether_from_wire(Node &ether, const uint8_t *frame, size_t len);

} // namespace ngsim

#endif /* NGSIM_TYPES_BUILTIN_H */
