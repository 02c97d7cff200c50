// libFuzzer over the ASCII form of control messages. The first byte picks
// the node type and the direction (bit 7: ASCII to binary); the rest is
// the whole message. Whatever converts must convert back, and a second
// round trip must give exactly what the first gave.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "ascii.h"

namespace {

const char* const kTypes[] = {"hub",    "tee",  "hole",     "ether", "iface",
                              "socket", "pcap", "wormhole", "echo"};

using Conv = int (*)(const std::string&, const uint8_t*, size_t, std::vector<uint8_t>&);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string type = kTypes[(data[0] & 0x7f) % (sizeof kTypes / sizeof kTypes[0])];
  Conv there = (data[0] & 0x80) ? ngsim::ascii_to_binary : ngsim::binary_to_ascii;
  Conv back = (data[0] & 0x80) ? ngsim::binary_to_ascii : ngsim::ascii_to_binary;
  std::vector<uint8_t> one, two, three, four;
  if (there(type, data + 1, size - 1, one) != 0) return 0;
  if (back(type, one.data(), one.size(), two) != 0) __builtin_trap();
  if (there(type, two.data(), two.size(), three) != 0) __builtin_trap();
  if (back(type, three.data(), three.size(), four) != 0) __builtin_trap();
  if (four != two) __builtin_trap();
  return 0;
}
