/*
 * ngsim(8)'s side of the admin protocol: reaching the kernel, asking it, and
 * reporting.
 */
#ifndef NGSIM_CLI_H
#define NGSIM_CLI_H

#include <nlohmann/json.hpp>

#include <string>

namespace ngsim {

using json = nlohmann::ordered_json;

[[noreturn]] void die(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/* $NGSIM_SOCKET, else the default. */
std::string socket_path();

/*
 * A connection to the kernel at the socket path, -1 when none answers
 * (`quiet`) or else the end: only a kernel run by root counts.
 */
int connect_kernel(bool quiet = false);

/*
 * One admin request on `fd` and its answer, with any descriptor it passes
 * in `passed`. A refusal ends the program with the kernel's words, prefixed
 * by `what` when given.
 */
json admin_on(int fd, const json &rq, const void *bin = nullptr,
    size_t binlen = 0, int *passed = nullptr, const char *what = nullptr);
/* The same on a connection of its own. */
json admin(const json &rq, int *passed = nullptr);

/* The next packet of a wire listener: false at the end. */
bool next_packet(int fd, std::string &payload);

} // namespace ngsim

#endif /* NGSIM_CLI_H */
