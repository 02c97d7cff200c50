// The control messages that build the capture graph: destinations, command
// words and argument bytes in the order sent, and every refusal's report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fake_netgraph.h"
#include "pcap.h"

using ::testing::Eq;
using ::testing::ExitedWithCode;

namespace {

constexpr int kCtrl = 5;
constexpr int kGeneric = 1137070366;
constexpr int kPcapCookie = 1751984553;

std::string padded(const std::string& s, size_t width) {
  return s + std::string(width - s.size(), '\0');
}

uint32_t u32_at(const std::string& arg, size_t off) {
  uint32_t v;
  memcpy(&v, arg.data() + off, sizeof(v));
  return v;
}

// Fills the stack below the caller's frame with 0xa5, so that a byte of an
// argument that the code leaves unset shows in what it sends.
__attribute__((noinline)) void poison_stack() {
  volatile unsigned char junk[16384];
  for (auto& b : junk) b = 0xa5;
}

// Builds the graph as the program does for `n` specifications.
struct Spec {
  const char* node;
  const char* hook;
  int layer;
};

ng_ID_t build(const Spec* specs, int n, uint32_t snaplen) {
  ng_ID_t pcap = 0;
  for (int i = 0; i < n; i++) {
    poison_stack();
    pcap = hkt_connect_src(kCtrl, pcap, static_cast<uint8_t>(i), specs[i].node,
                           specs[i].hook);
    poison_stack();
    hkt_set_type(kCtrl, pcap, static_cast<uint8_t>(i), specs[i].layer);
  }
  poison_stack();
  hkt_set_snaplen(kCtrl, pcap, snaplen);
  poison_stack();
  hkt_connect_snp(kCtrl, pcap, ".", "pcap");
  return pcap;
}

void expect_mkpeer(const fake_ng::Msg& m, const std::string& dst,
                   const std::string& ourhook, const std::string& peerhook) {
  EXPECT_EQ(m.cs, kCtrl);
  EXPECT_EQ(m.path, dst);
  EXPECT_EQ(m.cookie, kGeneric);
  EXPECT_EQ(m.cmd, 2);
  // The whole record is cleared before it is filled.
  EXPECT_EQ(m.arg, padded("pcap", 32) + padded(ourhook, 32) + padded(peerhook, 32));
}

void expect_nodeinfo(const fake_ng::Msg& m, const std::string& path) {
  EXPECT_EQ(m.path, path);
  EXPECT_EQ(m.cookie, kGeneric);
  EXPECT_EQ(static_cast<uint32_t>(m.cmd), 0x30000006u);
  EXPECT_EQ(m.arg.size(), 0u);
}

void expect_connect(const fake_ng::Msg& m, const std::string& dst,
                    const std::string& path, const std::string& ourhook,
                    const std::string& peerhook) {
  EXPECT_EQ(m.cs, kCtrl);
  EXPECT_EQ(m.path, dst);
  EXPECT_EQ(m.cookie, kGeneric);
  EXPECT_EQ(m.cmd, 3);
  // Every byte behind each string is zero.
  EXPECT_EQ(m.arg, padded(path, 512) + padded(ourhook, 32) + padded(peerhook, 32));
}

void expect_set_type(const fake_ng::Msg& m, const std::string& dst,
                     const std::string& hook, const std::string& type) {
  EXPECT_EQ(m.path, dst);
  EXPECT_EQ(m.cookie, kPcapCookie);
  EXPECT_EQ(m.cmd, 4);
  EXPECT_EQ(m.arg, padded(hook, 32) + padded(type, 8));
}

void expect_snaplen(const fake_ng::Msg& m, const std::string& dst, uint32_t len) {
  EXPECT_EQ(m.path, dst);
  EXPECT_EQ(m.cookie, kPcapCookie);
  EXPECT_EQ(m.cmd, 2);
  // Byte 0 and the padding behind it are zero.
  ASSERT_EQ(m.arg.size(), 8u);
  EXPECT_EQ(m.arg.substr(0, 4), std::string(4, '\0'));
  EXPECT_EQ(u32_at(m.arg, 4), len);
}

class PcapControl : public ::testing::Test {
 protected:
  void SetUp() override { fake_ng::reset(); }
};

TEST_F(PcapControl, OneSpecificationSendsTheWholeGraphInOrder) {
  const Spec specs[] = {{"em0", "lower", 0}};
  EXPECT_EQ(build(specs, 1, 262144), 42u);

  const auto& s = fake_ng::sent;
  ASSERT_EQ(s.size(), 5u);
  expect_mkpeer(s[0], "em0:", "lower", "source0");
  expect_nodeinfo(s[1], "em0:lower");
  expect_set_type(s[2], "[0000002a]:", "source0", "ether");
  expect_snaplen(s[3], "[0000002a]:", 262144);
  EXPECT_EQ(s[3].arg.substr(4, 4), std::string("\x00\x00\x04\x00", 4));
  expect_connect(s[4], ".:", "[0000002a]:", "pcap", "snoop");
}

TEST_F(PcapControl, FurtherSpecificationsJoinTheirSourceHooks) {
  const Spec specs[] = {
      {"em0", "lower", 0}, {"em1", "lower", 1}, {"ng0", "a", 2},
      {"ng1", "b", 0},     {"ng2", "c", 1},     {"ng3", "d", 2},
      {"ng4", "e", 0},     {"ng5", "f", 2},
  };
  fake_ng::script.reply_id = 0xabcdef01;
  EXPECT_EQ(build(specs, 2, 128), 0xabcdef01u);
  {
    const auto& s = fake_ng::sent;
    ASSERT_EQ(s.size(), 7u);
    expect_mkpeer(s[0], "em0:", "lower", "source0");
    expect_nodeinfo(s[1], "em0:lower");
    expect_set_type(s[2], "[abcdef01]:", "source0", "ether");
    expect_connect(s[3], "em1:", "[abcdef01]:", "lower", "source1");
    expect_set_type(s[4], "[abcdef01]:", "source1", "inet");
    expect_snaplen(s[5], "[abcdef01]:", 128);
    expect_connect(s[6], ".:", "[abcdef01]:", "pcap", "snoop");
  }

  fake_ng::reset();
  build(specs, 8, 9000);
  const auto& s = fake_ng::sent;
  ASSERT_EQ(s.size(), 2u + 1 + 7 * 2 + 2);
  // Only the first creates; one NODEINFO in all.
  auto is_mkpeer = [](const fake_ng::Msg& m) { return m.cookie == kGeneric && m.cmd == 2; };
  EXPECT_TRUE(is_mkpeer(s[0]));
  for (size_t i = 1; i < s.size(); i++) EXPECT_FALSE(is_mkpeer(s[i])) << i;
  for (int i = 1; i < 8; i++) {
    const std::string src = "source" + std::to_string(i);
    expect_connect(s[3 + 2 * (i - 1)], std::string(specs[i].node) + ":",
                   "[0000002a]:", specs[i].hook, src);
    expect_set_type(s[4 + 2 * (i - 1)], "[0000002a]:", src,
                    i == 7 ? "inet6" : hkt_layer_names[specs[i].layer]);
  }
  expect_snaplen(s[17], "[0000002a]:", 9000);
  expect_connect(s[18], ".:", "[0000002a]:", "pcap", "snoop");
}

TEST_F(PcapControl, NodeByBracketedIdAndLongestNames) {
  const Spec byid[] = {{"[1f]", "lower", 0}};
  build(byid, 1, 262144);
  expect_mkpeer(fake_ng::sent[0], "[1f]:", "lower", "source0");
  expect_nodeinfo(fake_ng::sent[1], "[1f]:lower");

  fake_ng::reset();
  const std::string node(31, 'n'), hook(31, 'h');
  const Spec longest[] = {{"em0", "lower", 0}, {node.c_str(), hook.c_str(), 1}};
  // Created on the longest names: the info path is 63 characters.
  hkt_connect_src(kCtrl, 0, 0, node.c_str(), hook.c_str());
  expect_mkpeer(fake_ng::sent[0], node + ":", hook, "source0");
  expect_nodeinfo(fake_ng::sent[1], node + ":" + hook);
  EXPECT_EQ(fake_ng::sent[1].path.size(), 63u);

  fake_ng::reset();
  build(longest, 2, 262144);
  expect_connect(fake_ng::sent[3], node + ":", "[0000002a]:", hook, "source1");
}

// Each refusal: its report after the program's name, and its status. A
// capture node made but never known by its ID is shut down by the path
// that leads to it, em0:lower, before the report.
struct Refusal {
  const char* name;
  int fail_send;       // which send fails; 0: the reply
  int err;
  uint32_t reply_id;
  int reply_len, reply_arglen;
  const char* report;  // what follows "<program>: "
  int status;
  bool abandoned = false;  // the new node is shut down by its path
};

class PcapRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PcapRefusal, ReportsAndExits) {
  const Refusal& r = GetParam();
  const Spec specs[] = {{"em0", "lower", 0}, {"em1", "lower", 1}};
  auto run = [&] {
    fake_ng::reset();
    fake_ng::script.fail_send = r.fail_send;
    fake_ng::script.send_errno = r.err;
    fake_ng::script.fail_recv = r.fail_send == 0 && r.err != 0;
    fake_ng::script.recv_errno = r.err;
    fake_ng::script.reply_id = r.reply_id;
    fake_ng::script.reply_len = r.reply_len;
    fake_ng::script.reply_arglen = r.reply_arglen;
    build(specs, 2, 262144);
    exit(0);
  };
  const std::string before = r.abandoned ? "shutdown em0:lower\n" : "";
  EXPECT_EXIT(run(), ExitedWithCode(r.status),
              Eq(before + program_invocation_short_name + ": " + r.report));
}

const Refusal kRefusals[] = {
    {"MkpeerRefused", 1, EINVAL, 42, -1, -1, "unable to create pcap: Invalid argument\n", 71},
    {"MkpeerNotPermitted", 1, EPERM, 42, -1, -1,
     "unable to create pcap: Operation not permitted\n", 77},
    {"NodeinfoNotSent", 2, ENOENT, 42, -1, -1, "unable to request pcap info, presumed dead\n", 71,
     true},
    {"NodeinfoNotPermitted", 2, EPERM, 42, -1, -1,
     "unable to request pcap info, presumed dead\n", 77, true},
    {"ReplyNotReceived", 0, ENOENT, 42, -1, -1,
     "unable to retrieve pcap info, presumed dead: No such file or directory\n", 71, true},
    {"ReplyNotPermitted", 0, EPERM, 42, -1, -1,
     "unable to retrieve pcap info, presumed dead: Operation not permitted\n", 77, true},
    // A reply one byte short of a node information record, and one whose
    // header claims one byte less than it holds: each check on its own.
    {"ReplyShort", 0, 0, 42, 71, 72, "unable to retrieve pcap info, presumed dead\n", 71, true},
    {"ReplyClaimsShort", 0, 0, 42, 72, 71, "unable to retrieve pcap info, presumed dead\n", 71,
     true},
    {"ReplyIdZero", 0, 0, 0, -1, -1, "unable to retrieve pcap info, presumed dead\n", 71, true},
    {"FirstTypeRefused", 3, EINVAL, 42, -1, -1,
     "unable to set `[0000002a]:source0' to `ether': Invalid argument\n", 65},
    {"ConnectRefused", 4, ENOENT, 42, -1, -1,
     "unable to connect `em1:lower' to `[0000002a]:source1': No such file or directory\n", 65},
    {"ConnectRefusedEvenIfNotPermitted", 4, EPERM, 42, -1, -1,
     "unable to connect `em1:lower' to `[0000002a]:source1': Operation not permitted\n", 65},
    {"SecondTypeRefused", 5, EINVAL, 42, -1, -1,
     "unable to set `[0000002a]:source1' to `inet': Invalid argument\n", 65},
    {"SnaplenRefused", 6, EINVAL, 42, -1, -1, "[0000002a]: unable to set snaplen=262144\n", 71},
    {"SnaplenNotPermitted", 6, EPERM, 42, -1, -1, "[0000002a]: unable to set snaplen=262144\n",
     77},
    {"SnoopRefused", 7, EEXIST, 42, -1, -1,
     "unable to connect `.:pcap' to `[0000002a]:snoop': File exists\n", 65},
};

INSTANTIATE_TEST_SUITE_P(Table, PcapRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
