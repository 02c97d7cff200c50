// The capture node as a reader on "snoop" sees it: its pcapng stream, its
// settings and refusals, and its lifetime.
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "ngclient.h"
#include "pcapng_read.h"

using namespace types_test;

namespace {

constexpr uint32_t kPcapCookie = 1751984553;

// Polls `cond` for up to two seconds: the kernel learns of closed sockets
// on its own time.
template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 100; i++) {
    if (cond()) return true;
    usleep(20000);
  }
  return cond();
}

uint64_t now_us() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
}

std::string snaplen_arg(uint32_t v, uint8_t byte0 = 0) {
  std::string a(8, '\x55');  // padding left as garbage on purpose
  a[0] = char(byte0);
  memcpy(&a[4], &v, 4);
  return a;
}

std::string type_arg(const std::string& hook, const std::string& word) {
  std::string a(40, '\x7f');  // bytes behind each NUL carry no value
  memcpy(&a[0], hook.c_str(), std::min<size_t>(hook.size() + 1, 32));
  memcpy(&a[32], word.c_str(), std::min<size_t>(word.size() + 1, 8));
  return a;
}

// A capture node hanging off the test's socket node: its hook "in0" is the
// node's source0.
class PcapNode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.mkpeer(".", "pcap", "in0", "source0"), 0);
    id = c.node_id(".:in0");
    ASSERT_NE(id, 0u);
    at = addr(id);
  }

  int set_snaplen(uint32_t v, uint8_t byte0 = 0) {
    std::string a = snaplen_arg(v, byte0);
    return c.msg(at, kPcapCookie, 2, a.data(), a.size());
  }
  int set_type(const std::string& hook, const std::string& word) {
    std::string a = type_arg(hook, word);
    return c.msg(at, kPcapCookie, 4, a.data(), a.size());
  }
  int attach_snoop() { return c.connect(".", at, "tap", "snoop"); }

  Block next(double timeout = 2) {
    std::string item = c.recv(timeout);
    Block b = parse_block(item);
    EXPECT_TRUE(b.ok) << b.why << " in item of " << item.size() << " bytes";
    return b;
  }

  void expect_idb(const Block& b, uint16_t linktype, uint32_t snaplen, const std::string& name) {
    EXPECT_EQ(b.type, 1u);
    EXPECT_EQ(b.linktype, linktype);
    EXPECT_EQ(b.snaplen, snaplen);
    EXPECT_EQ(b.if_name, name);
    EXPECT_TRUE(b.end_of_options);
  }

  e2e::Kernel k;
  Client c;
  uint32_t id = 0;
  std::string at;
};

TEST_F(PcapNode, StreamDescribesEachSourceBeforeItsPackets) {
  ASSERT_EQ(c.connect(".", at, "in3", "source3"), 0);
  ASSERT_EQ(set_type("source3", "inet"), 0);
  ASSERT_EQ(set_snaplen(1000), 0);
  ASSERT_EQ(attach_snoop(), 0);

  Block shb = next();
  EXPECT_EQ(shb.type, 0x0A0D0D0Au);
  EXPECT_EQ(shb.magic, 0x1A2B3C4Du);
  EXPECT_EQ(shb.major, 1);
  EXPECT_EQ(shb.minor, 0);
  EXPECT_EQ(shb.section_len, ~uint64_t(0));
  // Source-number order; the snap length is the largest captured length.
  expect_idb(next(), 1, 968, "source0");
  expect_idb(next(), 228, 968, "source3");

  std::string f = e2e::ether_frame(60, 1), ip(40, '\x45');
  uint64_t before = now_us();
  ASSERT_EQ(c.send("in0", f), 0);
  Block p = next();
  uint64_t after = now_us();
  EXPECT_EQ(p.type, 6u);
  EXPECT_EQ(p.if_id, 0u);
  EXPECT_EQ(p.caplen, 60u);
  EXPECT_EQ(p.origlen, 60u);
  EXPECT_EQ(p.data, f);
  EXPECT_GE(p.ts, before);  // microseconds since the epoch
  EXPECT_LE(p.ts, after);

  ASSERT_EQ(c.send("in3", ip), 0);
  p = next();
  EXPECT_EQ(p.if_id, 1u);
  EXPECT_EQ(p.data, ip);

  // A source joined later, and a source given a new type, are described
  // at that moment; interface IDs count descriptions as written.
  ASSERT_EQ(c.connect(".", at, "in5", "source5"), 0);
  expect_idb(next(), 1, 968, "source5");
  ASSERT_EQ(set_type("source0", "inet6"), 0);
  expect_idb(next(), 229, 968, "source0");
  ASSERT_EQ(c.send("in0", f), 0);
  EXPECT_EQ(next().if_id, 3u);
  ASSERT_EQ(c.send("in5", f), 0);
  EXPECT_EQ(next().if_id, 2u);
  EXPECT_EQ(c.recv(0.2), "") << "nothing beyond one block per event";
}

// The captured length is the packet's, cut to what a block of the snapshot
// length can carry; data is padded with zeros to 4 bytes.
TEST_F(PcapNode, PacketsAreCutToTheSnapshotLength) {
  struct Case {
    uint32_t snaplen;
    size_t pktlen;
    uint32_t caplen;
  } cases[] = {
      {128, 200, 96},   {128, 96, 96},   {128, 95, 95},       {131, 200, 96},
      {132, 200, 100},  {1000, 1001, 968}, {262144, 101, 101}, {262144, 20000, 20000},
  };
  ASSERT_EQ(attach_snoop(), 0);
  ASSERT_EQ(next().type, 0x0A0D0D0Au);
  expect_idb(next(), 1, 262112, "source0");
  uint32_t want_if = 0, current = 262144;
  for (const Case& cs : cases) {
    SCOPED_TRACE("snaplen " + std::to_string(cs.snaplen) + ", packet " +
                 std::to_string(cs.pktlen));
    ASSERT_EQ(set_snaplen(cs.snaplen), 0);
    // A new snapshot length describes the source anew.
    if (cs.snaplen != current) {
      expect_idb(next(), 1, (cs.snaplen - 32) & ~3u, "source0");
      want_if++;
      current = cs.snaplen;
    }
    std::string pkt = e2e::ether_frame(cs.pktlen, uint8_t(cs.pktlen));
    ASSERT_EQ(c.send("in0", pkt), 0);
    std::string item = c.recv();
    Block b = parse_block(item);
    ASSERT_TRUE(b.ok) << b.why;
    EXPECT_LE(item.size(), cs.snaplen);
    EXPECT_EQ(b.if_id, want_if);
    EXPECT_EQ(b.caplen, cs.caplen);
    EXPECT_EQ(b.origlen, cs.pktlen);
    EXPECT_EQ(b.data, pkt.substr(0, cs.caplen));
    EXPECT_EQ(b.pad, std::string(b.pad.size(), '\0'));
  }
}

TEST_F(PcapNode, RefusesMalformedSettingsAndKeepsTheLastGoodOne) {
  ASSERT_EQ(set_snaplen(128, 0xff), 0) << "byte 0 carries nothing";
  for (uint32_t bad : {0u, 127u, 262145u, 0xffffffffu})
    EXPECT_EQ(set_snaplen(bad), EINVAL) << bad;
  std::string a = snaplen_arg(1000);
  EXPECT_EQ(c.msg(at, kPcapCookie, 2, a.data(), 7), EINVAL);
  a += '\0';
  EXPECT_EQ(c.msg(at, kPcapCookie, 2, a.data(), 9), EINVAL);
  EXPECT_EQ(c.msg(at, kPcapCookie, 2, nullptr, 0), EINVAL);

  EXPECT_EQ(set_type("source8", "inet"), EINVAL);
  EXPECT_EQ(set_type("snoop", "inet"), EINVAL);
  EXPECT_EQ(set_type("Source0", "inet"), EINVAL);
  EXPECT_EQ(set_type("source0", "ETHER"), EINVAL);
  EXPECT_EQ(set_type("source0", "inet4"), EINVAL);
  EXPECT_EQ(set_type("source0", ""), EINVAL);
  std::string t = type_arg("source0", "inet");
  memset(&t[0], 'x', 32);  // hook name without its NUL
  EXPECT_EQ(c.msg(at, kPcapCookie, 4, t.data(), t.size()), EINVAL);
  t = type_arg("source0", "inet");
  memcpy(&t[32], "inet6xyz", 8);  // type word without its NUL
  EXPECT_EQ(c.msg(at, kPcapCookie, 4, t.data(), t.size()), EINVAL);
  t = type_arg("source0", "inet");
  EXPECT_EQ(c.msg(at, kPcapCookie, 4, t.data(), 39), EINVAL);
  t += '\0';
  EXPECT_EQ(c.msg(at, kPcapCookie, 4, t.data(), 41), EINVAL);

  for (uint32_t cmd : {0u, 1u, 3u, 5u, 2u | 0x20000000u}) {
    a = snaplen_arg(1000);
    EXPECT_EQ(c.msg(at, kPcapCookie, cmd, a.data(), a.size()), EINVAL) << cmd;
  }
  a = snaplen_arg(1000);
  EXPECT_EQ(c.msg(at, kPcapCookie + 1, 2, a.data(), a.size()), EINVAL);

  for (const char* hook : {"source8", "source", "source00", "snoop0", "Snoop", "sink"})
    EXPECT_EQ(c.connect(".", at, "x", hook), EINVAL) << hook;

  // A type set for a source not yet joined holds when it joins.
  ASSERT_EQ(set_type("source2", "inet6"), 0);
  ASSERT_EQ(c.connect(".", at, "in2", "source2"), 0);
  ASSERT_EQ(attach_snoop(), 0);
  ASSERT_EQ(next().type, 0x0A0D0D0Au);
  expect_idb(next(), 1, 96, "source0");
  expect_idb(next(), 229, 96, "source2");
}

// Every packet names a described interface, even when the reader was too
// full to take a description when it was due.
TEST_F(PcapNode, DescriptionThatFindsTheReaderFullComesBeforeAnyPacket) {
  ASSERT_EQ(set_snaplen(128), 0);
  ASSERT_EQ(attach_snoop(), 0);
  // The kernel works through data items in the order each data socket sent
  // them: once an item sent last through another hook has come out at a
  // second socket node, every item before it has been dealt with.
  Client witness;
  ASSERT_TRUE(witness.ok());
  uint32_t wid = witness.node_id(".");
  ASSERT_EQ(c.connect(".", addr(wid), "sync", "sync"), 0);
  auto barrier = [&] {
    ASSERT_EQ(c.send("sync", "sync"), 0);
    ASSERT_EQ(witness.recv(10), "sync");
  };
  // Fill the reader with blocks as large as a description (36 bytes) and
  // more than its 20480 bytes hold: the sender hears of the overflow.
  std::string tiny(4, 'a');
  int full = 0;
  for (int i = 0; i < 2000; i++) {
    int e = c.send("in0", tiny);
    ASSERT_TRUE(e == 0 || e == ENOBUFS) << e;
    full += e == ENOBUFS;
  }
  EXPECT_GT(full, 0);
  barrier();
  ASSERT_EQ(c.connect(".", at, "in1", "source1"), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(c.send("in1", "lost"), ENOBUFS);
  barrier();

  std::vector<std::string> items = c.drain(0.5, 40000);
  ASSERT_GT(items.size(), 100u);
  EXPECT_LT(items.size(), 2002u) << "the reader never filled up";
  uint32_t described = 0;
  for (const std::string& it : items) {
    Block b = parse_block(it);
    ASSERT_TRUE(b.ok) << b.why;
    if (b.type == 1) described++;
    if (b.type == 6) {
      EXPECT_LT(b.if_id, described);
      EXPECT_EQ(b.data, tiny);
    }
  }
  EXPECT_EQ(described, 1u) << "source1's description found no room";

  ASSERT_EQ(c.send("in1", "kept"), 0);
  expect_idb(next(), 1, 96, "source1");
  Block p = next();
  EXPECT_EQ(p.if_id, 1u);
  EXPECT_EQ(p.data, "kept");
  ASSERT_EQ(c.send("in1", "more"), 0);
  p = next();
  EXPECT_EQ(p.type, 6u) << "described once only";
  EXPECT_EQ(p.if_id, 1u);
}

TEST_F(PcapNode, LivesWhileHeldAndGoesWithItsReader) {
  ASSERT_EQ(c.connect(".", at, "in3", "source3"), 0);
  // Before a reader ever came, sources hold the node.
  ASSERT_EQ(c.rmhook(".", "in3"), 0);
  ASSERT_EQ(e2e::nodes_of_type(k.graph(), "pcap").size(), 1u);
  {
    Client reader;
    ASSERT_TRUE(reader.ok());
    ASSERT_EQ(reader.connect(".", at, "tap", "snoop"), 0);
    ASSERT_EQ(parse_block(reader.recv()).type, 0x0A0D0D0Au);
    ASSERT_EQ(c.send("in0", "x"), 0);
    ASSERT_EQ(parse_block(reader.recv()).type, 1u);
  }  // the reader's sockets close, and its node goes with them
  EXPECT_TRUE(eventually([&] { return e2e::nodes_of_type(k.graph(), "pcap").empty(); }));
  EXPECT_EQ(c.node_id(".:in0"), 0u) << "the tapped hook is free again";

  // Removing the reader's hook does the same.
  ASSERT_EQ(c.mkpeer(".", "pcap", "in0", "source0"), 0);
  uint32_t second = c.node_id(".:in0");
  ASSERT_NE(second, 0u);
  ASSERT_EQ(c.connect(".", addr(second), "tap", "snoop"), 0);
  ASSERT_EQ(c.rmhook(".", "tap"), 0);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "pcap").empty());
}

TEST_F(PcapNode, TsharkReadsTheStream) {
  ASSERT_EQ(c.connect(".", at, "in1", "source1"), 0);
  ASSERT_EQ(set_type("source1", "inet"), 0);
  ASSERT_EQ(set_snaplen(128), 0);
  ASSERT_EQ(attach_snoop(), 0);
  // An IPv4 header of a 40-byte UDP datagram from 127.0.0.1 to 127.0.0.2.
  std::string ip = std::string("\x45\x00\x00\x28\x00\x00\x00\x00\x40\x11\x00\x00"
                               "\x7f\x00\x00\x01\x7f\x00\x00\x02", 20) +
                   std::string("\x30\x39\x30\x3a\x00\x14\x00\x00", 8) + std::string(12, 'u');
  ASSERT_EQ(c.send("in0", e2e::ether_frame(200, 3)), 0);
  ASSERT_EQ(c.send("in1", ip), 0);
  std::string stream;
  for (const std::string& it : c.drain(0.3)) stream += it;
  std::string file = k.path("cap.pcapng");
  e2e::write_file(file, stream);
  e2e::Proc p = e2e::run({"tshark", "-r", file, "-T", "fields", "-e", "frame.interface_id",
                          "-e", "frame.interface_name", "-e", "frame.len", "-e", "frame.cap_len",
                          "-e", "ip.dst"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out, "0\tsource0\t200\t96\t\n1\tsource1\t40\t40\t127.0.0.2\n");
}

}  // namespace
