/* The kernel daemon's entry point. */
#ifndef NGSIM_DAEMON_H
#define NGSIM_DAEMON_H

#include <string>

namespace ngsim {

/* Serves the kernel on the listening socket `lfd` (bound at `path`) until halted. */
int run_kernel(int lfd, const std::string &path);

} // namespace ngsim

#endif
