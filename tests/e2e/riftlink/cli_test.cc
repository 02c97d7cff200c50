// riftlink's command line as a user meets it: every rejection that comes
// before the kernel is asked anything, byte for byte, with status 64.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "riftlink_e2e.h"

namespace {

using e2e::Proc;

// No kernel runs for these: a command line that got as far as asking one
// would fail differently.
Proc cli(const std::vector<std::string>& args) {
  e2e::RunOpts opts;
  opts.env = {"NGSIM_SOCKET=/nonexistent/riftlink-cli.sock"};
  return riftlink(args, opts);
}

TEST(RiftlinkCli, UsageTextIsWrittenWhole) {
  EXPECT_EQ(kUsage.size(), 940u);
  Proc p = cli({});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "riftlink: must minimally provide `jail' of one spec\n\n" + kUsage);
}

TEST(RiftlinkCli, WordCountAndOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string msg;
  } cases[] = {
      {{"vj1", "vj2", "vj3"}, "riftlink: too many arguments provided\n\n"},
      {{"-n", "-n"}, "riftlink: must minimally provide `jail' of one spec\n\n"},
      {{"-n", "--"}, "riftlink: must minimally provide `jail' of one spec\n\n"},
      // After "--" even an option letter is a specification word.
      {{"--", "-x", "-n", "vj1"}, "riftlink: too many arguments provided\n\n"},
      {{"vj1", "-j"}, "riftlink: unrecognized option `-j'\n\n"},
      {{"-x"}, "riftlink: unrecognized option `-x'\n\n"},
      // Options after the specifications are read too, and the first fault
      // in the options wins over the count of words.
      {{"vj1", "vj2", "vj3", "-x"}, "riftlink: unrecognized option `-x'\n\n"},
      {{"vj1", "-n", "-q", "vj2"}, "riftlink: unrecognized option `-q'\n\n"},
      // The word that holds the letter, also while the library is inside it.
      {{"-xn", "vj1"}, "riftlink: unrecognized option `-xn'\n\n"},
      {{"vj1", "-nxj", "vj2"}, "riftlink: unrecognized option `-nxj'\n\n"},
      {{"vj1", "--foo"}, "riftlink: unrecognized option `--foo'\n\n"},
      {{"-j", std::string(257, 'j')},
       "riftlink: `" + std::string(257, 'j') + "' exceeds 256 characters\n\n"},
  };
  for (const auto& c : cases) {
    Proc p = cli(c.args);
    EXPECT_EQ(p.status, 64) << c.msg;
    EXPECT_EQ(p.err, c.msg + kUsage);
  }
}

TEST(RiftlinkCli, BadSpecificationsWarnSecondFirstThenOneUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string warnings;
  } cases[] = {
      {{"vj1:gw:em0"}, "riftlink: node: `em0': set but missing hook\n"},
      {{"vj1:gw:"}, "riftlink: node: `': set but missing hook\n"},
      {{"vj1:gw:em0:"}, "riftlink: node: `em0': set but missing hook\n"},
      {{"vj1:gw::lower"}, "riftlink: hook: `lower': set but missing node\n"},
      {{"vj1:gw:em0:lower:x:y"},
       "riftlink: unrecognized components after wormhole spec: `x:y'\n"},
      {{"vj1:gw:em0:lower:"},
       "riftlink: unrecognized components after wormhole spec: `'\n"},
      {{"vj1:" + std::string(32, 'n')},
       "riftlink: `name': name too long: `" + std::string(32, 'n') + "'\n"},
      {{std::string(257, 'j')},
       "riftlink: `jail': name too long: `" + std::string(257, 'j') + "'\n"},
      // Too long a node without a hook: both faults, in that order.
      {{"vj1:gw:" + std::string(32, 'o')},
       "riftlink: `node': name too long: `" + std::string(32, 'o') +
           "'\nriftlink: node: `" + std::string(32, 'o') + "': set but missing hook\n"},
      // Every fault of one word, in order; the pair test still applies.
      {{std::string(257, 'j') + ":" + std::string(32, 'n') + ":" + std::string(32, 'o') +
        ":" + std::string(32, 'h') + ":z"},
       "riftlink: unrecognized components after wormhole spec: `z'\n"
       "riftlink: `jail': name too long: `" + std::string(257, 'j') + "'\n"
       "riftlink: `name': name too long: `" + std::string(32, 'n') + "'\n"
       "riftlink: `node': name too long: `" + std::string(32, 'o') + "'\n"
       "riftlink: `hook': name too long: `" + std::string(32, 'h') + "'\n"},
      {{"vj1::" + std::string(32, 'o') + ":"},
       "riftlink: `node': name too long: `" + std::string(32, 'o') +
           "'\nriftlink: node: `" + std::string(32, 'o') + "': set but missing hook\n"},
      // Two bad words: the second's warnings come first, one usage text.
      {{"vj1:gw:em0", "vj2:b::lower:q"},
       "riftlink: unrecognized components after wormhole spec: `q'\n"
       "riftlink: hook: `lower': set but missing node\n"
       "riftlink: node: `em0': set but missing hook\n"},
      {{"vj1", "vj2:b:em1"}, "riftlink: node: `em1': set but missing hook\n"},
  };
  for (const auto& c : cases) {
    Proc p = cli(c.args);
    EXPECT_EQ(p.status, 64) << c.args[0];
    EXPECT_EQ(p.err, c.warnings + "\n\n" + kUsage) << c.args[0];
  }
}

TEST(RiftlinkCli, ComponentsLongerThanAWormholeTakes) {
  // 31 characters parse, but a netgraph name holds 30: refused before any
  // jail is looked up (no kernel is running for this test).
  std::string n31(31, 'n');
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"vj1:" + n31}, {"vj1::em0:" + n31}, {"vj1", ":" + n31 + ":em0:lower"}}) {
    Proc p = cli(args);
    EXPECT_EQ(p.status, 64);
    EXPECT_EQ(p.err, "riftlink: `" + n31 + "' exceeds 30 characters\n\n" + kUsage);
  }
  // Without any jail it is the duplicate default that is refused.
  Proc p = cli({":gw", ":gw2"});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.err, "riftlink: duplicate (default) jail reference detected\n\n" + kUsage);
  p = cli({"::em0:lower"});
  EXPECT_EQ(p.err, "riftlink: duplicate (default) jail reference detected\n\n" + kUsage);
}

}  // namespace
