// hooktap on the hooks of real network stacks in a jail: what an
// interface's stack sends, and what a point-to-point interface carries,
// decoded by tshark.
#include <gtest/gtest.h>

#include <signal.h>

#include "harness.h"
#include "hooktap_e2e.h"

namespace {

using e2e::Background;
using e2e::Kernel;

// What tshark makes of a capture, one line of protocols per packet.
std::string decoded(Kernel& k, const std::string& bytes) {
  e2e::write_file(k.path("capture"), bytes);
  e2e::Proc p = e2e::run({"tshark", "-r", k.path("capture"), "-T", "fields", "-e",
                          "frame.protocols"});
  EXPECT_EQ(p.status, 0) << p.err;
  return p.out;
}

// Captures in jail vj1 while `traffic` runs there, until `n` packets came.
hk::Stream capture(Kernel& k, const std::string& spec,
                   const std::vector<std::vector<std::string>>& traffic, size_t n,
                   std::string* bytes) {
  Background bg({hk::hooktap(), "-j", "vj1", spec});
  EXPECT_NE(hk::wait_relaying(k, "vj1"), 0u) << bg.read_err();
  for (const auto& cmd : traffic) {
    std::vector<std::string> argv{"jexec", "vj1"};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    k.ngsim(argv);
  }
  hk::Stream st = hk::read_packets(bg, n, 5);
  *bytes = bg.read_out(0, 0);
  bg.signal(SIGTERM);
  bg.wait();
  return st;
}

TEST(Stack, WhatTheStackSendsOnUpperIsArpAndIcmp) {
  Kernel k;
  k.jail("vj1");
  k.iface("em0", "vj1");
  k.ok({"jexec", "vj1", "ip", "addr", "add", "169.254.1.1/16", "dev", "em0"});
  // One neighbour known, so that its ping goes out at once; another asked for.
  k.ok({"jexec", "vj1", "ip", "neigh", "add", "169.254.1.2", "lladdr", "02:00:00:00:00:02",
        "dev", "em0"});
  std::string bytes;
  hk::Stream st = capture(k, "ether:em0:upper",
                          {{"ping", "-c", "1", "-W", "1", "169.254.1.2"},
                           {"ping", "-c", "1", "-W", "1", "169.254.1.9"}},
                          2, &bytes);
  ASSERT_TRUE(st.valid);
  ASSERT_GE(st.packets.size(), 2u);
  EXPECT_EQ(st.ifaces[0].linktype, 1);
  std::string protocols = decoded(k, bytes);
  EXPECT_NE(protocols.find("eth:ethertype:ip:icmp"), std::string::npos) << protocols;
  EXPECT_NE(protocols.find("eth:ethertype:arp"), std::string::npos) << protocols;
}

TEST(Stack, APingOnAnIfaceIsRawIpv4) {
  Kernel k;
  k.jail("vj1");
  k.ok({"iface", "create", "ng0", "--type", "iface", "--jail", "vj1"});
  k.ok({"jexec", "vj1", "ip", "addr", "add", "169.254.5.1", "peer", "169.254.5.2", "dev", "ng0"});
  std::string bytes;
  hk::Stream st = capture(k, "inet:ng0:inet", {{"ping", "-c", "1", "-W", "1", "169.254.5.2"}},
                          1, &bytes);
  ASSERT_TRUE(st.valid);
  ASSERT_EQ(st.packets.size(), 1u);
  EXPECT_EQ(st.ifaces[0].linktype, 228);
  EXPECT_EQ(st.packets[0].data[0], 0x45) << "an IPv4 header, no link layer";
  EXPECT_NE(decoded(k, bytes).find("ip:icmp"), std::string::npos);
}

}  // namespace
