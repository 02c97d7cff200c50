// What a user sees of a running capture: the stream on standard output,
// read back by tshark and tcpdump, and the graph while and after it runs.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "hooktap_e2e.h"

using e2e::Background;
using e2e::Kernel;

namespace {

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) v.push_back(l);
  return v;
}

std::string put16be(uint16_t v) {
  return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

// An IPv4 or IPv6 UDP datagram with `payload` bytes.
std::string ip_packet(bool v6, size_t payload, uint8_t seed) {
  std::string udp = put16be(4000) + put16be(5000) +
                    put16be(static_cast<uint16_t>(8 + payload)) + put16be(0);
  for (size_t i = 0; i < payload; i++) udp.push_back(static_cast<char>(seed + i));
  std::string h;
  if (!v6) {
    h = std::string("\x45\x00", 2) + put16be(static_cast<uint16_t>(20 + udp.size())) +
        std::string("\x00\x01\x00\x00\x40\x11\x00\x00", 8) +
        std::string("\x0a\x00\x00\x01\x0a\x00\x00\x02", 8);
  } else {
    h = std::string("\x60\x00\x00\x00", 4) + put16be(static_cast<uint16_t>(udp.size())) +
        std::string("\x11\x40", 2) + std::string(15, '\0') + "\x01" +
        std::string(15, '\0') + "\x02";
  }
  return h + udp;
}

void inject_wire(Kernel& k, const std::string& iface, const std::vector<std::string>& frames) {
  e2e::RunOpts o;
  o.input = e2e::pcap_file(frames);
  k.ok({"wire", "inject", iface}, o);
}

void inject_hook(Kernel& k, const std::string& nodehook, const std::vector<std::string>& pkts,
                 uint32_t linktype) {
  e2e::RunOpts o;
  o.input = e2e::pcap_file(pkts, linktype);
  k.ok({"inject", nodehook}, o);
}

void expect_same(const hk::Stream& st, const std::vector<std::string>& frames) {
  ASSERT_EQ(st.packets.size(), frames.size());
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(st.packets[i].origlen, frames[i].size()) << i;
    EXPECT_EQ(st.packets[i].caplen, frames[i].size()) << i;
    EXPECT_TRUE(st.packets[i].data == frames[i]) << "packet " << i << " differs";
  }
}

TEST(Capture, EthernetFramesComeOutUnchangedAndTheNodeGoesOnTerm) {
  Kernel k;
  k.iface("em0");
  Background bg({hk::hooktap(), "ether:em0:lower"});
  uint32_t id = hk::wait_relaying(k);
  ASSERT_NE(id, 0u) << bg.read_err();

  // The capture node hangs off em0's lower through source0.
  e2e::json g = k.graph();
  const e2e::json* lower = e2e::hook_of(*e2e::node_named(g, "em0"), "lower");
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ((*lower)["peer"], id);
  EXPECT_EQ((*lower)["peerhook"], "source0");

  std::vector<std::string> frames;
  for (size_t len : {60u, 61u, 64u, 1514u, 9014u, 63u})
    frames.push_back(e2e::ether_frame(len, static_cast<uint8_t>(len)));
  inject_wire(k, "em0", frames);
  hk::Stream st = hk::read_packets(bg, frames.size());
  ASSERT_TRUE(st.valid);
  EXPECT_EQ(st.sections, 1);
  ASSERT_EQ(st.ifaces.size(), 1u);
  EXPECT_EQ(st.ifaces[0].linktype, 1);
  EXPECT_EQ(st.ifaces[0].name, "source0");
  expect_same(st, frames);

  const std::string bytes = bg.read_out(0, 0).substr(0, st.used);
  e2e::RunOpts in;
  in.input = bytes;
  e2e::Proc ts = e2e::sh("tshark -r - -T fields -e frame.len -e frame.cap_len -e eth.type 2>/dev/null", in);
  EXPECT_EQ(ts.status, 0);
  std::vector<std::string> want;
  for (const auto& f : frames)
    want.push_back(std::to_string(f.size()) + "\t" + std::to_string(f.size()) + "\t0x88b5");
  EXPECT_EQ(lines(ts.out), want);
  e2e::Proc td = e2e::sh("tcpdump -nn -r - 2>/dev/null | grep -c '^[0-9]'", in);
  EXPECT_EQ(td.out, std::to_string(frames.size()) + "\n");

  bg.signal(SIGTERM);
  e2e::Proc p = bg.wait();
  EXPECT_TRUE(p.signaled);
  EXPECT_EQ(p.sig, SIGTERM);
  EXPECT_EQ(p.err, "");
  EXPECT_TRUE(hk::wait_no_capture_node(k));
  g = k.graph();
  EXPECT_TRUE(e2e::nodes_of_type(g, "socket").empty());
  EXPECT_EQ(e2e::hook_of(*e2e::node_named(g, "em0"), "lower"), nullptr);
}

TEST(Capture, ThroughAPipeIntoTshark) {
  Kernel k;
  k.iface("em0");
  const std::string ts = k.path("tshark.txt");
  Background bg({"/bin/sh", "-c",
                 hk::hooktap() + " ether:em0:lower | tshark -r - -T fields -e frame.len"
                 " -e frame.cap_len -e frame.interface_name > " + ts + " 2>/dev/null"});
  ASSERT_NE(hk::wait_relaying(k), 0u);
  int pid = -1;
  for (const auto& t : k.trace())
    if (t["cmd"] == 2 && t["path"] == "em0:") pid = t["pid"].get<int>();
  ASSERT_GT(pid, 0);

  std::vector<std::string> frames = {e2e::ether_frame(100, 1), e2e::ether_frame(1500, 2)};
  inject_wire(k, "em0", frames);
  // tshark reads to the end of the stream, which comes when hooktap ends.
  usleep(500000);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  e2e::Proc p = bg.wait();
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(e2e::read_file(ts), "100\t100\tsource0\n1500\t1500\tsource0\n");
}

TEST(Capture, EachSourceHasItsLinkType) {
  Kernel k;
  k.iface("em0");
  k.ok({"node", "create", "hub", "h4"});
  k.ok({"node", "create", "hub", "h6"});
  Background bg({hk::hooktap(), "ether:em0:lower", "inet:h4:tap", "inet6:h6:tap"});
  uint32_t id = hk::wait_relaying(k);
  ASSERT_NE(id, 0u) << bg.read_err();
  e2e::json g = k.graph();
  EXPECT_EQ((*e2e::hook_of(*e2e::node_named(g, "h4"), "tap"))["peerhook"], "source1");
  EXPECT_EQ((*e2e::hook_of(*e2e::node_named(g, "h6"), "tap"))["peerhook"], "source2");

  const std::string v4 = ip_packet(false, 30, 1), v6 = ip_packet(true, 50, 2);
  const std::string eth = e2e::ether_frame(80, 3);
  inject_hook(k, "h4:feed", {v4}, 228);
  inject_hook(k, "h6:feed", {v6}, 229);
  inject_wire(k, "em0", {eth});
  hk::Stream st = hk::read_packets(bg, 3);
  ASSERT_TRUE(st.valid);
  ASSERT_EQ(st.ifaces.size(), 3u);
  EXPECT_EQ(st.ifaces[0].linktype, 1);
  EXPECT_EQ(st.ifaces[1].linktype, 228);
  EXPECT_EQ(st.ifaces[2].linktype, 229);
  EXPECT_EQ(st.ifaces[0].name, "source0");
  EXPECT_EQ(st.ifaces[1].name, "source1");
  EXPECT_EQ(st.ifaces[2].name, "source2");
  ASSERT_EQ(st.packets.size(), 3u);
  EXPECT_EQ(st.packets[0].ifid, 1u);
  EXPECT_TRUE(st.packets[0].data == v4);
  EXPECT_EQ(st.packets[1].ifid, 2u);
  EXPECT_TRUE(st.packets[1].data == v6);
  EXPECT_EQ(st.packets[2].ifid, 0u);
  EXPECT_TRUE(st.packets[2].data == eth);

  e2e::RunOpts in;
  in.input = bg.read_out(0, 0).substr(0, st.used);
  e2e::Proc ts = e2e::sh("tshark -r - -T fields -e frame.len -e ip.dst -e ipv6.dst -e eth.type 2>/dev/null", in);
  EXPECT_EQ(lines(ts.out), (std::vector<std::string>{
                               std::to_string(v4.size()) + "\t10.0.0.2\t\t",
                               std::to_string(v6.size()) + "\t\t::2\t",
                               "80\t\t\t0x88b5"}));
  bg.signal(SIGTERM);
  bg.wait();
  EXPECT_TRUE(hk::wait_no_capture_node(k));
}

TEST(Capture, SnapshotLengthCutsAndKeepsTheOriginalLength) {
  Kernel k;
  k.iface("em0");
  const std::vector<size_t> lens = {60, 96, 97, 100, 1514};
  std::vector<std::string> frames;
  for (size_t l : lens) frames.push_back(e2e::ether_frame(l, static_cast<uint8_t>(l)));

  for (auto [snaplen, cut] : {std::pair<int, size_t>{128, 96}, {1001, 968}}) {
    Background bg({hk::hooktap(), "-s", std::to_string(snaplen), "ether:em0:lower"});
    ASSERT_NE(hk::wait_relaying(k), 0u) << bg.read_err();
    inject_wire(k, "em0", frames);
    hk::Stream st = hk::read_packets(bg, frames.size());
    ASSERT_TRUE(st.valid);
    ASSERT_EQ(st.ifaces.size(), 1u);
    EXPECT_EQ(st.ifaces[0].snaplen, cut);
    ASSERT_EQ(st.packets.size(), frames.size());
    for (size_t i = 0; i < frames.size(); i++) {
      size_t want = std::min(frames[i].size(), cut);
      EXPECT_EQ(st.packets[i].caplen, want) << snaplen << " " << i;
      EXPECT_EQ(st.packets[i].origlen, frames[i].size());
      EXPECT_TRUE(st.packets[i].data == frames[i].substr(0, want));
    }
    e2e::RunOpts in;
    in.input = bg.read_out(0, 0).substr(0, st.used);
    e2e::Proc td = e2e::sh("tcpdump -nn -r - 2>/dev/null | grep -c '^[0-9]'", in);
    EXPECT_EQ(td.out, std::to_string(frames.size()) + "\n");
    bg.signal(SIGTERM);
    bg.wait();
    ASSERT_TRUE(hk::wait_no_capture_node(k));
  }
}

TEST(Capture, RedirectedToAFile) {
  Kernel k;
  k.iface("em0");
  const std::string file = k.path("capture.pcapng");
  Background bg({"/bin/sh", "-c", "exec " + hk::hooktap() + " ether:em0:lower > " + file});
  ASSERT_NE(hk::wait_relaying(k), 0u) << bg.read_err();
  std::vector<std::string> frames;
  for (int i = 0; i < 20; i++) frames.push_back(e2e::ether_frame(60 + i * 71, static_cast<uint8_t>(i)));
  inject_wire(k, "em0", frames);
  hk::Stream st;
  for (int i = 0; i < 100 && st.packets.size() < frames.size(); i++) {
    usleep(20000);
    st = hk::parse_pcapng(e2e::read_file(file));
  }
  bg.signal(SIGTERM);
  bg.wait();
  ASSERT_TRUE(st.valid);
  expect_same(st, frames);
  EXPECT_EQ(st.used, e2e::read_file(file).size());
  e2e::Proc ts = e2e::sh("tshark -r " + file + " 2>/dev/null | wc -l");
  EXPECT_EQ(ts.out, "20\n");
}

TEST(Capture, ASlowReaderLosesNothing) {
  Kernel k;
  k.iface("em0");
  // A reader that stops for a while: the ring (a megabyte), not the data
  // socket's 20480 bytes, takes what comes meanwhile.
  Background bg({hk::hooktap(), "ether:em0:lower"});
  ASSERT_NE(hk::wait_relaying(k), 0u) << bg.read_err();
  std::vector<std::string> frames;
  for (int i = 0; i < 300; i++) frames.push_back(e2e::ether_frame(1000 + i % 7, static_cast<uint8_t>(i)));
  // In bursts that the data socket holds, so that only the reader is slow.
  for (size_t i = 0; i < frames.size(); i += 10) {
    inject_wire(k, "em0", std::vector<std::string>(frames.begin() + i, frames.begin() + i + 10));
    usleep(5000);
  }
  usleep(800000);
  hk::Stream st = hk::read_packets(bg, frames.size(), 10);
  ASSERT_TRUE(st.valid);
  EXPECT_EQ(st.ifaces.size(), 1u);
  expect_same(st, frames);
  EXPECT_TRUE(bg.running());
  bg.signal(SIGTERM);
  bg.wait();
}

TEST(Capture, NothingCapturedWritesNothingAndRunsOn) {
  Kernel k;
  k.iface("em0");
  Background bg({hk::hooktap(), "ether:em0:lower"});
  ASSERT_NE(hk::wait_relaying(k), 0u) << bg.read_err();
  hk::Stream st = hk::read_packets(bg, 1, 0.5);
  EXPECT_TRUE(st.packets.empty());
  EXPECT_EQ(st.ifaces.size(), 1u);
  EXPECT_TRUE(bg.running());
  bg.signal(SIGTERM);
  bg.wait();
}

}  // namespace
