/* `ngsim kernel`: starting the emulated kernel. */
#ifndef NGSIM_START_H
#define NGSIM_START_H

namespace ngsim {

/*
 * Starts a kernel at the socket path: returns once it accepts clients,
 * serving them from a child; or serves them itself until halted
 * (`foreground`). Ends the program on failure.
 */
int start_kernel(bool foreground);

} // namespace ngsim

#endif /* NGSIM_START_H */
