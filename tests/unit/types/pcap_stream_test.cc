// The capture stream against a reader that can be made to refuse blocks:
// what is owed to the stream is written before anything that depends on it.
#include "pcap.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace ngpcap;

namespace {

struct Seen {
  uint32_t type;
  uint32_t a;  // IDB: link type; EPB: interface ID
  std::string name_or_data;
};

class Reader {
 public:
  bool full = false;
  size_t room = SIZE_MAX;  // largest block taken
  std::vector<Seen> got;
  int refused = 0;

  PcapStream::Deliver deliver() {
    return [this](const std::vector<uint8_t>& b) {
      if (full || b.size() > room) {
        refused++;
        return false;
      }
      uint32_t type, a = 0;
      memcpy(&type, b.data(), 4);
      std::string s;
      if (type == block::kInterfaceDescription) {
        uint16_t lt, n;
        memcpy(&lt, &b[8], 2);
        memcpy(&n, &b[18], 2);
        a = lt;
        s.assign(reinterpret_cast<const char*>(&b[20]), n);
      } else if (type == block::kEnhancedPacket) {
        uint32_t cap;
        memcpy(&a, &b[8], 4);
        memcpy(&cap, &b[20], 4);
        s.assign(reinterpret_cast<const char*>(&b[28]), cap);
      }
      got.push_back({type, a, s});
      return true;
    };
  }
};

void send(PcapStream& s, int src, const std::string& p) {
  s.packet(src, reinterpret_cast<const uint8_t*>(p.data()), p.size());
}

int set_type(PcapStream& s, const char* hook, const char* word) {
  uint8_t a[40] = {};
  strcpy(reinterpret_cast<char*>(a), hook);
  strcpy(reinterpret_cast<char*>(a + 32), word);
  return s.control(kCookie, kCmdSetType, a, sizeof a);
}

int set_snaplen(PcapStream& s, uint32_t v) {
  uint8_t a[8] = {};
  memcpy(a + 4, &v, 4);
  return s.control(kCookie, kCmdSetSnaplen, a, sizeof a);
}

TEST(PcapStream, ReaderFullAtConnectDefersTheWholeHeader) {
  Reader r;
  PcapStream s(r.deliver(), [] { return uint64_t(1); });
  s.hook_connected(2);
  s.hook_connected(0);
  r.full = true;
  s.hook_connected(kSnoop);
  send(s, 2, "lost");
  EXPECT_TRUE(r.got.empty());
  EXPECT_EQ(s.dropped(), 1u);

  r.full = false;
  // Nothing may precede the section header, not even a new description.
  ASSERT_EQ(set_type(s, "source2", "inet"), 0);
  EXPECT_TRUE(r.got.empty());
  send(s, 2, "p2");
  // Section first, then every source in number order, then the packet.
  ASSERT_EQ(r.got.size(), 4u);
  EXPECT_EQ(r.got[0].type, block::kSectionHeader);
  EXPECT_EQ(r.got[1].name_or_data, "source0");
  EXPECT_EQ(r.got[2].name_or_data, "source2");
  EXPECT_EQ(r.got[2].a, 228u);
  EXPECT_EQ(r.got[3].type, block::kEnhancedPacket);
  EXPECT_EQ(r.got[3].a, 1u);
  send(s, 0, "p0");
  EXPECT_EQ(r.got.back().a, 0u);
  EXPECT_EQ(r.got.size(), 5u);
}

TEST(PcapStream, RetypeThatFindsTheReaderFullIsWrittenWithTheNextPacket) {
  Reader r;
  PcapStream s(r.deliver());
  s.hook_connected(0);
  s.hook_connected(1);
  s.hook_connected(kSnoop);
  ASSERT_EQ(r.got.size(), 3u);
  r.full = true;
  ASSERT_EQ(set_type(s, "source1", "inet6"), 0);
  r.full = false;
  send(s, 0, "a");  // the other source is not held up
  EXPECT_EQ(r.got.back().a, 0u);
  send(s, 1, "b");
  ASSERT_EQ(r.got.size(), 6u);
  EXPECT_EQ(r.got[4].type, block::kInterfaceDescription);
  EXPECT_EQ(r.got[4].a, 229u);
  EXPECT_EQ(r.got[4].name_or_data, "source1");
  EXPECT_EQ(r.got[5].a, 2u) << "the ID counts descriptions written, not attempted";
  // Setting the type it already has writes nothing.
  ASSERT_EQ(set_type(s, "source1", "inet6"), 0);
  EXPECT_EQ(r.got.size(), 6u);
}

// An empty packet's block (32 bytes) is smaller than a description (36):
// room for the one but not the other must not let the packet through.
TEST(PcapStream, PacketWaitsForItsDescriptionEvenWhenItWouldFit) {
  Reader r;
  PcapStream s(r.deliver());
  s.hook_connected(kSnoop);
  r.room = 32;
  s.hook_connected(4);
  send(s, 4, "");
  EXPECT_EQ(r.got.size(), 1u) << "only the section header";
  EXPECT_EQ(s.dropped(), 1u);
  r.room = SIZE_MAX;
  send(s, 4, "");
  ASSERT_EQ(r.got.size(), 3u);
  EXPECT_EQ(r.got[1].type, block::kInterfaceDescription);
  EXPECT_EQ(r.got[2].type, block::kEnhancedPacket);
  EXPECT_EQ(r.got[2].a, 0u);
}

TEST(PcapStream, NewSnapshotLengthRedescribesAndCuts) {
  Reader r;
  PcapStream s(r.deliver());
  s.hook_connected(0);
  s.hook_connected(kSnoop);
  ASSERT_EQ(set_snaplen(s, 128), 0);
  ASSERT_EQ(r.got.size(), 3u);
  EXPECT_EQ(r.got[2].type, block::kInterfaceDescription);
  send(s, 0, std::string(200, 'z'));
  EXPECT_EQ(r.got.back().a, 1u);
  EXPECT_EQ(r.got.back().name_or_data.size(), 96u);

  // A second reader gets a stream of its own: a new section, IDs from 0.
  s.hook_disconnected(kSnoop);
  send(s, 0, "nobody");
  s.hook_connected(kSnoop);
  send(s, 0, "x");
  ASSERT_EQ(r.got.size(), 7u);
  EXPECT_EQ(r.got[4].type, block::kSectionHeader);
  EXPECT_EQ(r.got[6].a, 0u);
  EXPECT_EQ(r.got[6].name_or_data, "x");
}

TEST(PcapStream, BlockLayout) {
  std::vector<uint8_t> b = block::interface_description(228, 96, "source7");
  // type, length, link type, reserved, snap length, if_name "source7"
  // padded to 8, end of options, length again.
  const uint8_t want[] = {1, 0, 0, 0, 36, 0,   0,   0,   228, 0,   0,   0,
                          96, 0, 0, 0, 2, 0,   7,   0,   's', 'o', 'u', 'r',
                          'c', 'e', '7', 0, 0, 0, 0, 0, 36,  0,   0,   0};
  ASSERT_EQ(b.size(), sizeof want);
  EXPECT_EQ(memcmp(b.data(), want, sizeof want), 0);

  const uint8_t data[5] = {1, 2, 3, 4, 5};
  b = block::enhanced_packet(3, (uint64_t(7) << 32) | 9, data, 5, 1500);
  ASSERT_EQ(b.size(), 40u);
  uint32_t w[10];
  memcpy(w, b.data(), 40);
  EXPECT_EQ(w[0], block::kEnhancedPacket);
  EXPECT_EQ(w[1], 40u);
  EXPECT_EQ(w[2], 3u);
  EXPECT_EQ(w[3], 7u);
  EXPECT_EQ(w[4], 9u);
  EXPECT_EQ(w[5], 5u);
  EXPECT_EQ(w[6], 1500u);
  EXPECT_EQ(memcmp(&w[7], data, 5), 0);
  EXPECT_EQ(b[33] | b[34] | b[35], 0);
  EXPECT_EQ(w[9], 40u);
}

}  // namespace
