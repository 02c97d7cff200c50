// The portal node type "wormhole" (module ng_wormhole).
//
// A wormhole end joins a graph through its one outside hook, "evthorizon".
// Opening an end into a jail makes its twin there, linked to it by the
// kernel's cross-vnet hooks named "twin"; what goes into one end's
// "evthorizon" comes out of its twin's. Two opened ends joined by their
// "evthorizon" hooks in one vnet collapse: both go, and their twins become
// each other's twin.
#ifndef NGSIM_TYPES_WORMHOLE_H
#define NGSIM_TYPES_WORMHOLE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ngwormhole {

constexpr uint32_t kCookie = 1742462349;  // NGM_WORMHOLE_COOKIE
constexpr uint32_t kCmdOpen = 1;          // NGM_WORMHOLE_OPEN
constexpr const char* kTypeName = "wormhole";
constexpr const char* kEvtHorizon = "evthorizon";
constexpr const char* kTwinHook = "twin";
// A jail reference is at most a host name long, without its NUL.
constexpr size_t kMaxJailRef = 255;

// The jail reference carried by an open message: a non-empty string whose
// NUL lies within the argument. Returns 0 or EINVAL.
int parse_open_arg(const uint8_t* arg, size_t arglen, std::string& ref);

}  // namespace ngwormhole

namespace ngsim {
class KernelApi;
}
// Registers the type with the kernel (module ng_wormhole).
void ngsim_register_wormhole(ngsim::KernelApi& k);

#endif  // NGSIM_TYPES_WORMHOLE_H
