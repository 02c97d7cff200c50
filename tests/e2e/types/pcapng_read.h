// Reading the capture node's blocks back: each data item is expected to be
// one whole pcapng block.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace types_test {

struct Block {
  bool ok = false;     // a well-formed block filling the item exactly
  std::string why;     // what was wrong, when not ok
  uint32_t type = 0;
  // Section Header
  uint32_t magic = 0;
  uint16_t major = 0, minor = 0;
  uint64_t section_len = 0;
  // Interface Description
  uint16_t linktype = 0;
  uint32_t snaplen = 0;
  std::string if_name;
  bool end_of_options = false;
  // Enhanced Packet
  uint32_t if_id = 0, caplen = 0, origlen = 0;
  uint64_t ts = 0;
  std::string data;
  std::string pad;     // the bytes after data up to the trailer
};

inline uint32_t rd32(const std::string& s, size_t o) {
  uint32_t v;
  memcpy(&v, s.data() + o, 4);
  return v;
}
inline uint16_t rd16(const std::string& s, size_t o) {
  uint16_t v;
  memcpy(&v, s.data() + o, 2);
  return v;
}

inline bool read_options(const std::string& s, size_t o, size_t end, Block& b) {
  while (o + 4 <= end) {
    uint16_t code = rd16(s, o), len = rd16(s, o + 2);
    o += 4;
    if (code == 0) {
      b.end_of_options = len == 0;
      return o == end;
    }
    size_t padded = (len + 3u) & ~3u;
    if (o + padded > end) return false;
    if (code == 2) b.if_name.assign(s, o, len);
    o += padded;
  }
  return o == end;
}

inline Block parse_block(const std::string& s) {
  Block b;
  if (s.size() < 12 || s.size() % 4 != 0) {
    b.why = "size " + std::to_string(s.size());
    return b;
  }
  b.type = rd32(s, 0);
  uint32_t total = rd32(s, 4);
  if (total != s.size() || rd32(s, s.size() - 4) != total) {
    b.why = "total length does not match the item";
    return b;
  }
  size_t end = s.size() - 4;
  switch (b.type) {
    case 0x0A0D0D0A:
      if (s.size() < 28) break;
      b.magic = rd32(s, 8);
      b.major = rd16(s, 12);
      b.minor = rd16(s, 14);
      memcpy(&b.section_len, s.data() + 16, 8);
      b.ok = read_options(s, 24, end, b);
      break;
    case 1:
      if (s.size() < 20) break;
      b.linktype = rd16(s, 8);
      b.snaplen = rd32(s, 12);
      b.ok = rd16(s, 10) == 0 && read_options(s, 16, end, b);
      break;
    case 6: {
      if (s.size() < 32) break;
      b.if_id = rd32(s, 8);
      b.ts = (uint64_t(rd32(s, 12)) << 32) | rd32(s, 16);
      b.caplen = rd32(s, 20);
      b.origlen = rd32(s, 24);
      size_t padded = (b.caplen + 3u) & ~3u;
      if (28 + padded != end) {
        b.why = "captured length does not fill the block";
        return b;
      }
      b.data.assign(s, 28, b.caplen);
      b.pad.assign(s, 28 + b.caplen, padded - b.caplen);
      b.ok = true;
      break;
    }
    default:
      b.why = "unknown block type";
      return b;
  }
  if (!b.ok && b.why.empty()) b.why = "malformed body";
  return b;
}

}  // namespace types_test
