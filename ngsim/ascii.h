/*
 * Control messages in netgraph's ASCII form (NGM_BINARY2ASCII and
 * NGM_ASCII2BINARY): the generic messages, which every node type
 * understands, and those of the kernel's node types. Pure functions: no
 * kernel state, no I/O.
 */
#ifndef NGSIM_ASCII_H
#define NGSIM_ASCII_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ngsim {

/*
 * NGM_BINARY2ASCII: `in` is a whole struct ng_mesg (56-byte header, then
 * header.arglen argument bytes) of a message for a node of type `type`.
 * `out` receives a whole struct ng_mesg: the same header fields, cmdstr set
 * to the command's ASCII name, and as arguments the NUL-terminated ASCII
 * form (arglen counts the NUL). A response (header.flags & NGF_RESP) is
 * converted with the command's reply format, a request with its argument
 * format. Returns 0 or an errno: ENOSYS when the type has no ASCII form for
 * that cookie and command, EINVAL for malformed input. `out` is left alone
 * on failure.
 */
int binary_to_ascii(const std::string &type, const uint8_t *in, size_t len,
    std::vector<uint8_t> &out);

/*
 * NGM_ASCII2BINARY: `in` is a whole struct ng_mesg whose cmdstr names the
 * command and whose arguments are a NUL-terminated ASCII string (possibly
 * empty: then the binary message has no argument bytes). The conversion
 * fills in version, typecookie and cmd from the table and produces the
 * binary argument; the other header fields are kept. Returns 0, ENOSYS
 * (unknown command name for that type) or EINVAL (text that does not
 * parse); `out` is left alone on failure.
 */
int ascii_to_binary(const std::string &type, const uint8_t *in, size_t len,
    std::vector<uint8_t> &out);

/* The ASCII name of a command of a node of type `type`, or nullptr. */
const char *ascii_cmdname(const std::string &type, uint32_t cookie,
    uint32_t cmd);

} // namespace ngsim

#endif /* NGSIM_ASCII_H */
