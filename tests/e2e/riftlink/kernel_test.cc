// riftlink against a private emulated kernel: the passages it leaves, the
// frames that cross them, and what a failed run leaves behind (nothing).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "riftlink_e2e.h"

namespace {

using e2e::json;
using e2e::Proc;

class RiftlinkKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    vj1_ = k_.jail("vj1");
    vj2_ = k_.jail("vj2");
    k_.iface("em0", "vj1");
    k_.iface("em1", "vj2");
    k_.iface("em2");
  }

  std::vector<json> wormholes(const std::string& jail) {
    return e2e::nodes_of_type(k_.graph(jail), "wormhole");
  }

  // A failed run leaves no wormhole in any vnet, and every interface free.
  void expect_nothing_left() {
    for (const std::string jail : {"", "vj1", "vj2"}) {
      json g = k_.graph(jail);
      EXPECT_TRUE(e2e::nodes_of_type(g, "wormhole").empty()) << "jail '" << jail << "': " << g;
      for (const auto& n : e2e::nodes_of_type(g, "ether"))
        EXPECT_TRUE(n["hooks"].empty()) << "jail '" << jail << "': " << n;
      EXPECT_TRUE(e2e::nodes_of_type(g, "socket").empty()) << g;
    }
  }

  bool loaded(const std::string& module) {
    for (const auto& f : k_.kld())
      if (f["loaded"].get<bool>())
        for (const auto& m : f["modules"])
          if (m == module) return true;
    return false;
  }

  // Frames that leave `iface`'s wire while `send` runs.
  std::vector<e2e::Packet> crossing(const std::string& iface, const std::string& jail,
                                    const std::vector<std::string>& send,
                                    const std::string& file) {
    std::vector<std::string> listen{e2e::bin_path("ngsim"), "wire", "listen", iface};
    if (!jail.empty()) listen.insert(listen.end(), {"--jail", jail});
    // `ngsim wire inject` puts an empty frame on the wire before the file's
    // (its check that the interface exists): wait for two, keep real ones.
    bool from_wire = send[0] == "wire";
    listen.insert(listen.end(), {"--count", from_wire ? "2" : "1", "--timeout", "3"});
    e2e::Background l(listen);
    l.read_out(24, 3);  // the file header: it listens
    std::string cmd = "'" + e2e::bin_path("ngsim") + "'";
    for (const auto& a : send) cmd += " '" + a + "'";
    Proc in = e2e::sh(cmd + " < '" + file + "'");
    EXPECT_EQ(in.status, 0) << in.err;
    Proc out = l.wait(5);
    std::vector<e2e::Packet> got;
    for (const auto& pk : e2e::read_pcap(out.out))
      if (!pk.data.empty()) got.push_back(pk);
    return got;
  }

  std::string frame_file(const std::string& name, const std::string& frame) {
    std::string path = k_.path(name);
    e2e::write_file(path, e2e::pcap_file({frame}));
    return path;
  }

  static std::string addr(uint32_t id) {
    char b[16];
    snprintf(b, sizeof(b), "[%08x]", id);
    return b;
  }

  e2e::Kernel k_;
  int vj1_ = 0, vj2_ = 0;
};

TEST_F(RiftlinkKernel, JoinsAnInterfaceInAJailToTheHost) {
  Proc p = riftlink({"vj1:gw:em0:lower"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");

  // The far end: named gw in vj1 and joined to em0's lower.
  json g1 = k_.graph("vj1");
  const json* gw = e2e::node_named(g1, "gw");
  ASSERT_NE(gw, nullptr) << g1;
  EXPECT_EQ((*gw)["type"], "wormhole");
  const json* eh = e2e::hook_of(*gw, "evthorizon");
  ASSERT_NE(eh, nullptr) << *gw;
  EXPECT_EQ((*eh)["peer"], (*e2e::node_named(g1, "em0"))["id"]);
  EXPECT_EQ((*eh)["peerhook"], "lower");

  // The near end: unnamed, unconnected, held by its twin only.
  auto host = wormholes("");
  ASSERT_EQ(host.size(), 1u);
  EXPECT_TRUE(host[0]["name"].is_null());
  ASSERT_EQ(host[0]["hooks"].size(), 1u);
  EXPECT_EQ(host[0]["hooks"][0]["peer"], (*gw)["id"]);
  EXPECT_EQ(host[0]["hooks"][0]["peerjail"], vj1_);
  EXPECT_TRUE(e2e::nodes_of_type(k_.graph(""), "socket").empty());
  EXPECT_TRUE(loaded("ng_socket"));
  EXPECT_TRUE(loaded("ng_wormhole"));

  // A frame sent into the host's side leaves em0 on vj1's wire.
  std::string frame = e2e::ether_frame(90, 7);
  auto got = crossing("em0", "vj1",
                      {"inject", addr(host[0]["id"].get<uint32_t>()) + ":evthorizon"},
                      frame_file("host.pcap", frame));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, frame);
}

TEST_F(RiftlinkKernel, TwoJailsCollapseIntoOnePassage) {
  Proc p = riftlink({"vj1:a:em0:lower", "vj2:b:em1:lower"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.err, "");
  EXPECT_TRUE(wormholes("").empty()) << k_.graph("");

  json g1 = k_.graph("vj1"), g2 = k_.graph("vj2");
  const json* a = e2e::node_named(g1, "a");
  const json* b = e2e::node_named(g2, "b");
  ASSERT_NE(a, nullptr) << g1;
  ASSERT_NE(b, nullptr) << g2;
  EXPECT_EQ((*e2e::hook_of(*a, "evthorizon"))["peerhook"], "lower");
  EXPECT_EQ((*e2e::hook_of(*b, "evthorizon"))["peerhook"], "lower");
  EXPECT_EQ((*e2e::hook_of(*a, "twin"))["peer"], (*b)["id"]);
  EXPECT_EQ((*e2e::hook_of(*b, "twin"))["peer"], (*a)["id"]);

  // vj1's wire to vj2's and back.
  std::string there = e2e::ether_frame(64, 1), back = e2e::ether_frame(200, 2);
  auto got = crossing("em1", "vj2", {"wire", "inject", "em0", "--jail", "vj1"},
                      frame_file("there.pcap", there));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, there);
  got = crossing("em0", "vj1", {"wire", "inject", "em1", "--jail", "vj2"},
                 frame_file("back.pcap", back));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, back);
}

TEST_F(RiftlinkKernel, SpecWithoutJailNamesTheNearEndHere) {
  k_.trace(true);
  Proc p = riftlink({":gw", "vj1"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.err, "");
  json g0 = k_.graph("");
  const json* gw = e2e::node_named(g0, "gw");
  ASSERT_NE(gw, nullptr) << g0;
  EXPECT_EQ((*gw)["type"], "wormhole");
  EXPECT_EQ((*gw)["hooks"].size(), 1u);
  auto far = wormholes("vj1");
  ASSERT_EQ(far.size(), 1u);
  EXPECT_TRUE(far[0]["name"].is_null());
  // Nothing to do inside vj1: no child ever spoke from there.
  for (const auto& t : k_.trace()) EXPECT_EQ(t["jail"], 0) << t;

  // A jail component that is empty in a field of its own: vj1:gw:: names
  // the far end and connects nothing.
  p = riftlink({"vj2:gw::", ":host2:em2:lower"});
  ASSERT_EQ(p.status, 0) << p.err;
  json g2 = k_.graph("vj2");
  const json* far2 = e2e::node_named(g2, "gw");
  ASSERT_NE(far2, nullptr);
  EXPECT_EQ((*far2)["hooks"].size(), 1u);
  json g = k_.graph("");
  const json* near2 = e2e::node_named(g, "host2");
  ASSERT_NE(near2, nullptr) << g;
  EXPECT_EQ((*e2e::hook_of(*near2, "evthorizon"))["peer"], (*e2e::node_named(g, "em2"))["id"]);
}

TEST_F(RiftlinkKernel, DuplicateJailsByNameAndByNumber) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"vj1", "vj1"}, {"vj1:a", std::to_string(vj1_) + ":b"}, {"vj2", std::to_string(vj2_)}}) {
    Proc p = riftlink(args);
    EXPECT_EQ(p.status, 64) << args[0];
    EXPECT_EQ(p.err, "riftlink: duplicate jail reference detected\n\n" + kUsage);
  }
  Proc p = riftlink({":gw"});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.err, "riftlink: duplicate (default) jail reference detected\n\n" + kUsage);
  // The host's own jail number is no foreign jail.
  p = riftlink({"0:gw", "vj1"});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.err, "riftlink: `0' is not a foreign jail\n\n" + kUsage);
  // spec B naming jail 0 stands for the host itself.
  p = riftlink({"vj1", "0:here"});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(e2e::node_named(k_.graph(""), "here"), nullptr);
}

TEST_F(RiftlinkKernel, RefusedRunsMakeAndLoadNothing) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"nosuch:gw"}, 68, "riftlink: jail \"nosuch\" not found\n"},
      {{"vj1", "99"}, 68, "riftlink: jail 99 not found\n"},
      {{"-j", "nosuch"}, 68, "riftlink: jail \"nosuch\" not found\n"},
      {{"vj1", "vj1"}, 64, "riftlink: duplicate jail reference detected\n\n" + kUsage},
  };
  for (const auto& c : cases) {
    Proc p = riftlink(c.args);
    EXPECT_EQ(p.status, c.status) << c.args[0];
    EXPECT_EQ(p.err, c.err);
  }
  // A jail reference of 256 characters parses, and is refused once it
  // resolves (here: vj1's number with leading zeros), for the wormhole
  // takes 255.
  std::string j256 = std::string(255, '0') + std::to_string(vj1_);
  Proc p = riftlink({j256});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.err, "riftlink: `" + j256 + "' exceeds 255 characters\n\n" + kUsage);

  EXPECT_FALSE(loaded("ng_socket"));
  EXPECT_FALSE(loaded("ng_wormhole"));
  expect_nothing_left();
}

TEST_F(RiftlinkKernel, ChildThatCannotEnterItsJail) {
  k_.fault({"--op", "jail_attach", "--errno", "EINVAL"});
  Proc p = riftlink({"vj1:gw:em0:lower"});
  EXPECT_EQ(p.status, 71);
  std::string first = "riftlink: cannot attach to jail (jid=" + std::to_string(vj1_) + ")\n";
  EXPECT_EQ(p.err.substr(0, first.size()), first);
  EXPECT_TRUE(std::regex_match(p.err.substr(first.size()),
                               std::regex("riftlink: child failed its mission: [^\n]*\n")))
      << p.err;
  expect_nothing_left();

  // Refused for want of privilege, the child ends with 77; the parent still 71.
  k_.ok({"fault", "clear"});
  k_.fault({"--op", "jail_attach", "--errno", "EPERM"});
  p = riftlink({"vj1:a:em0:lower", "vj2:b:em1:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err.substr(0, first.size()), first);
  expect_nothing_left();
}

// The process ID of this test's kernel daemon.
pid_t kernel_pid(const std::string& socket) {
  DIR* d = opendir("/proc");
  pid_t found = -1;
  for (dirent* e; d && (e = readdir(d)) != nullptr;) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string env = e2e::read_file("/proc/" + std::string(e->d_name) + "/environ");
    std::string cmd = e2e::read_file("/proc/" + std::string(e->d_name) + "/cmdline");
    if (env.find("NGSIM_SOCKET=" + socket + '\0') != std::string::npos &&
        cmd.find(std::string("kernel") + '\0') != std::string::npos &&
        cmd.find("ngsim") != std::string::npos) {
      found = pid;
      break;
    }
  }
  if (d) closedir(d);
  return found;
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> out;
  std::istringstream in(
      e2e::read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t c; in >> c;) out.push_back(c);
  return out;
}

// Waits, for at most a second, until a process that was sent SIGSTOP has
// stopped.
void wait_stopped(pid_t pid) {
  for (int i = 0; i < 10000; i++) {
    std::string stat = e2e::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'T')
      return;
    usleep(100);
  }
}

TEST_F(RiftlinkKernel, ChildKilledByASignal) {
  pid_t kpid = kernel_pid(k_.socket());
  ASSERT_GT(kpid, 0);
  // The kernel is held stopped and let run only in short slices, during
  // and after each of which the test looks for the child: the child needs
  // several kernel round trips, so it is seen, and killed, before it can
  // finish. Bounded to a few seconds.
  kill(kpid, SIGSTOP);
  wait_stopped(kpid);
  e2e::Background rl({e2e::bin_path("riftlink"), "vj1:gw:em0:lower"});
  bool killed = false;
  auto kill_child = [&] {
    for (pid_t c : children_of(rl.pid())) {
      kill(c, SIGKILL);
      killed = true;
    }
  };
  for (int i = 0; i < 50000 && !killed && rl.running(); i++) {
    kill(kpid, SIGCONT);
    for (int look = 0; look < 4 && !killed; look++) kill_child();
    kill(kpid, SIGSTOP);
    wait_stopped(kpid);
    if (!killed) kill_child();
  }
  kill(kpid, SIGCONT);
  Proc p = rl.wait(10);
  ASSERT_TRUE(killed) << "the child was never seen; " << p.err;
  EXPECT_EQ(p.status, 71);
  EXPECT_TRUE(std::regex_match(p.err, std::regex("riftlink: child failed its mission: [^\n]*\n")))
      << p.err;
  expect_nothing_left();
}

// What the process that started riftlink left it: a child that has ended
// unreaped (a shell's exec leaves it so), or SIGCHLD ignored. Only
// riftlink's own child counts, and it is always waited for.
TEST_F(RiftlinkKernel, InheritedChildrenAndSignals) {
  struct Case {
    std::string start, spec;
    int status;
  } cases[] = {
      {"(exit 0) & exec", "vj1:gw:nosuch:lower", 71},
      {"(exit 3) & exec", "vj1:gw:em0:lower", 0},
      {"exec env --ignore-signal=CHLD", "vj2:gw:em1:lower", 0},
  };
  for (const auto& c : cases) {
    Proc p = e2e::sh(c.start + " '" + e2e::bin_path("riftlink") + "' " + c.spec);
    EXPECT_EQ(p.status, c.status) << c.start << ": " << p.err;
    if (c.status != 0) {
      EXPECT_TRUE(std::regex_search(p.err, std::regex("child failed its mission"))) << p.err;
      expect_nothing_left();
      continue;
    }
    EXPECT_EQ(p.err, "");
    const json g = k_.graph(c.spec.substr(0, 3));
    const json* gw = e2e::node_named(g, "gw");
    ASSERT_NE(gw, nullptr) << g;
    EXPECT_NE(e2e::hook_of(*gw, "evthorizon"), nullptr);
  }
}

TEST_F(RiftlinkKernel, FailureWhileTheSecondWormholeOpens) {
  k_.fault({"--op", "msg", "--cookie", "1742462349", "--cmd", "1", "--nth", "2", "--errno",
            "ENOENT"});
  k_.trace(true);
  Proc p = riftlink({"vj1:a:em0:lower", "vj2:b:em1:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "riftlink: unable to open wormhole in `vj2'\n");
  // Both near ends were shut down from the host.
  int shutdowns = 0;
  for (const auto& t : k_.trace())
    if (t["cmd"] == 1 && t["cookie"] == 1137070366 && t["jail"] == 0 && t["errno"].is_null())
      shutdowns++;
  EXPECT_EQ(shutdowns, 2);
  expect_nothing_left();
}

TEST_F(RiftlinkKernel, RefusedConnectionsAreDataErrors) {
  // The far end's connect fails in the child: the parent reports the child.
  Proc p = riftlink({"vj1:gw:nosuch:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_TRUE(std::regex_match(
      p.err, std::regex("riftlink: unable to connect `\\[[0-9a-f]{8}\\]:evthorizon' to "
                        "`nosuch:lower': No such file or directory\n"
                        "riftlink: child failed its mission: [^\n]*\n")))
      << p.err;
  expect_nothing_left();

  // The near end's connect fails here: 65, and the near end goes.
  p = riftlink({"vj1", ":gw:em2:nosuch"});
  EXPECT_EQ(p.status, 65);
  EXPECT_TRUE(std::regex_match(
      p.err, std::regex("riftlink: unable to connect `\\[[0-9a-f]{8}\\]:evthorizon' to "
                        "`em2:nosuch': Invalid argument\n")))
      << p.err;
  expect_nothing_left();

  // The collapse refused as the wormhole type refuses it.
  k_.fault({"--op", "msg", "--cmd", "3", "--errno", "EDOOFUS"});
  p = riftlink({"vj1", "vj2"});
  EXPECT_EQ(p.status, 65);
  EXPECT_EQ(p.err,
            "riftlink: forbidden: collapse would result in connected wormholes in the same "
            "vnet: Programming error\n");
  expect_nothing_left();
  k_.ok({"fault", "clear"});
  k_.fault({"--op", "msg", "--cmd", "3", "--errno", "EINVAL"});
  p = riftlink({"vj1", "vj2"});
  EXPECT_EQ(p.status, 65);
  EXPECT_TRUE(std::regex_match(
      p.err, std::regex("riftlink: unable to connect to `\\[[0-9a-f]{8}\\]:evthorizon', "
                        "not opened: Invalid argument\n")))
      << p.err;
  expect_nothing_left();
}

TEST_F(RiftlinkKernel, DashNLoadsNothingItself) {
  // With ng_socket present and every load refused, only riftlink's own
  // loading of ng_wormhole tells -n apart.
  k_.ok({"kld", "load", "ng_socket"});
  k_.fault({"--op", "kldload", "--errno", "EPERM"});
  Proc p = riftlink({"vj1"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err,
            "riftlink: kld_ensure_load: unable to load kernel module \"ng_wormhole\": "
            "Operation not permitted\n");
  p = riftlink({"vj1", "-n"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "riftlink: unable to create wormhole: Operation not permitted\n");
  EXPECT_FALSE(loaded("ng_wormhole"));
  expect_nothing_left();
}

TEST_F(RiftlinkKernel, DashJEntersTheJailAndLoadsNothing) {
  k_.jail("inner", "vj1");
  k_.iface("em5", "vj1.inner");
  // Nothing loaded: the socket node's own load is tried, refused in a jail.
  Proc p = riftlink({"-j", "vj1", "inner:gw:em5:lower"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err,
            "riftlink: ng_create_context: failed to initialize netgraph(4): Operation not "
            "permitted\n");
  EXPECT_FALSE(loaded("ng_socket"));
  EXPECT_FALSE(loaded("ng_wormhole"));

  // Loaded beforehand, the same run works from inside vj1.
  k_.ok({"kld", "load", "ng_socket"});
  k_.ok({"kld", "load", "ng_wormhole"});
  p = riftlink({"-j", "vj1", "inner:gw:em5:lower"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(wormholes("vj1").size(), 1u);
  EXPECT_TRUE(wormholes("").empty());
  json inner = k_.graph("vj1.inner");
  const json* gw = e2e::node_named(inner, "gw");
  ASSERT_NE(gw, nullptr);
  EXPECT_NE(e2e::hook_of(*gw, "evthorizon"), nullptr);

  // References are resolved inside the jail: vj2 is not below vj1.
  p = riftlink({"-j", "vj1", "vj2"});
  EXPECT_EQ(p.status, 68);
  EXPECT_EQ(p.err, "riftlink: jail \"vj2\" not found\n");
}

TEST_F(RiftlinkKernel, RunByAnotherUser) {
  e2e::RunOpts nobody;
  nobody.as_nobody = true;
  Proc p = riftlink({"vj1:gw:em0:lower"}, nobody);
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err,
            "riftlink: kld_ensure_load: unable to load kernel module \"ng_socket\": "
            "Operation not permitted\n");
  p = riftlink({"-n", "vj1:gw:em0:lower"}, nobody);
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err,
            "riftlink: ng_create_context: failed to initialize netgraph(4): Operation not "
            "permitted\n");
  p = riftlink({"-j", "vj1", "x"}, nobody);
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "riftlink: cannot attach to jail\n");
  expect_nothing_left();
}

}  // namespace
