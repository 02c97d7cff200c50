// Every way the program can fail against the kernel: the report on standard
// error to the byte, the exit status, and what is left in the graph.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "hooktap_e2e.h"

using e2e::Kernel;
using e2e::Proc;

namespace {

constexpr const char* kGeneric = "1137070366";
constexpr const char* kPcap = "1751984553";

Proc hooktap(const std::vector<std::string>& args, const e2e::RunOpts& o = {}) {
  std::vector<std::string> argv = {hk::hooktap()};
  argv.insert(argv.end(), args.begin(), args.end());
  e2e::RunOpts opts = o;
  opts.timeout = 10;
  return e2e::run(argv, opts);
}

std::string addr(uint32_t id) {
  char b[32];
  snprintf(b, sizeof(b), "[%08x]:", id);
  return b;
}

// The sender and the capture node's ID as the trace shows them (the
// address of the first message sent to the capture node itself).
struct Seen {
  int pid = -1;
  uint32_t pcap = 0;
};
Seen seen(Kernel& k) {
  Seen s;
  for (const auto& t : k.trace()) {
    if (s.pid < 0) s.pid = t["pid"].get<int>();
    const std::string p = t["path"];
    if (s.pcap == 0 && p.size() == 11 && p[0] == '[')
      s.pcap = static_cast<uint32_t>(std::stoul(p.substr(1, 8), nullptr, 16));
  }
  return s;
}

// Nothing of the program is left: no socket node, no capture node.
void expect_nothing_left(Kernel& k) {
  e2e::json g = k.graph();
  EXPECT_TRUE(e2e::nodes_of_type(g, "socket").empty()) << g.dump();
  EXPECT_TRUE(e2e::nodes_of_type(g, "pcap").empty()) << g.dump();
}

// The exit hook shut the capture node down: the program's own NGM_SHUTDOWN.
void expect_shut_down(Kernel& k, const Seen& s) {
  ASSERT_NE(s.pcap, 0u);
  auto sd = hk::shutdowns_by(k, s.pid);
  ASSERT_EQ(sd.size(), 1u);
  EXPECT_EQ(sd[0]["path"], addr(s.pcap));
  EXPECT_TRUE(sd[0]["errno"].is_null());
  expect_nothing_left(k);
}

TEST(Failure, ModulesAreLoadedSocketFirst) {
  Kernel k;
  k.iface("em0");
  k.fault({"--op", "kldload", "--nth", "1", "--errno", "ENOENT"});
  Proc p = hooktap({"ether:em0:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: kld_ensure_load: unable to load kernel module \"ng_socket\": "
                   "No such file or directory\n");
  EXPECT_TRUE(k.trace().empty());

  k.ok({"fault", "clear"});
  k.fault({"--op", "kldload", "--nth", "2", "--errno", "EPERM"});
  p = hooktap({"ether:em0:lower"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "hooktap: kld_ensure_load: unable to load kernel module \"ng_pcap\": "
                   "Operation not permitted\n");
  bool socket_loaded = false, pcap_loaded = true;
  for (const auto& f : k.kld()) {
    if (f["file"] == "ng_socket.ko") socket_loaded = f["loaded"];
    if (f["file"] == "ng_pcap.ko") pcap_loaded = f["loaded"];
  }
  EXPECT_TRUE(socket_loaded);
  EXPECT_FALSE(pcap_loaded);
  EXPECT_TRUE(k.trace().empty());
}

TEST(Failure, NotRoot) {
  Kernel k;
  k.iface("em0");
  e2e::RunOpts nobody;
  nobody.as_nobody = true;
  Proc p = hooktap({"ether:em0:lower"}, nobody);
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "hooktap: kld_ensure_load: unable to load kernel module \"ng_socket\": "
                   "Operation not permitted\n");
  k.ok({"kld", "load", "ng_socket"});
  k.ok({"kld", "load", "ng_pcap"});
  for (auto args : {std::vector<std::string>{"ether:em0:lower"},
                    std::vector<std::string>{"-n", "ether:em0:lower"}}) {
    p = hooktap(args, nobody);
    EXPECT_EQ(p.status, 77);
    EXPECT_EQ(p.err, "hooktap: ng_create_context: failed to initialize netgraph(4): "
                     "Operation not permitted\n");
  }
  expect_nothing_left(k);
}

TEST(Failure, Jails) {
  Kernel k;
  k.iface("em0");
  Proc p = hooktap({"-j", "nosuch", "ether:em0:lower"});
  EXPECT_EQ(p.status, 68);
  EXPECT_EQ(p.err, "hooktap: jail \"nosuch\" not found\n");
  p = hooktap({"-n", "-j", "99", "ether:em0:lower"});
  EXPECT_EQ(p.status, 68);
  EXPECT_EQ(p.err, "hooktap: jail 99 not found\n");
  EXPECT_TRUE(k.trace().empty());

  k.jail("vj1");
  k.fault({"--op", "jail_attach", "--nth", "1", "--errno", "EINVAL"});
  p = hooktap({"-j", "vj1", "ether:em0:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: cannot attach to jail\n");
  k.fault({"--op", "jail_attach", "--nth", "1", "--errno", "EPERM"});
  p = hooktap({"-j", "vj1", "ether:em0:lower"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "hooktap: cannot attach to jail\n");
  EXPECT_TRUE(k.trace().empty());
  expect_nothing_left(k);
}

TEST(Failure, InsideAJailTheJailsNodesAreTapped) {
  Kernel k;
  k.jail("vj1");
  k.iface("em0", "vj1");
  e2e::Background bg({hk::hooktap(), "-j", "vj1", "ether:em0:lower"});
  ASSERT_NE(hk::wait_relaying(k, "vj1"), 0u) << bg.read_err();
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "pcap").empty());
  e2e::RunOpts in;
  in.input = e2e::pcap_file({e2e::ether_frame(70, 1)});
  k.ok({"wire", "inject", "em0", "--jail", "vj1"}, in);
  hk::Stream st = hk::read_packets(bg, 1);
  ASSERT_EQ(st.packets.size(), 1u);
  EXPECT_EQ(st.packets[0].origlen, 70u);
  bg.signal(SIGTERM);
  bg.wait();
}

// Started with standard output closed, the program stops before it makes
// anything: the capture stream has nowhere to go. Closed standard input
// and error are opened on /dev/null, so no socket of the program lands on
// them.
TEST(Failure, ClosedStandardDescriptors) {
  Kernel k;
  k.iface("em0");
  Proc p = e2e::sh("exec 1>&- " + hk::hooktap() + " ether:em0:lower");
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: standard output is closed\n");
  EXPECT_TRUE(k.trace().empty());
  expect_nothing_left(k);

  e2e::Background bg({"/bin/sh", "-c", "exec 0<&- 2>&- " + hk::hooktap() + " ether:em0:lower"});
  ASSERT_NE(hk::wait_relaying(k), 0u);
  for (int fd : {0, 2}) {
    char target[64] = "";
    const std::string link = "/proc/" + std::to_string(bg.pid()) + "/fd/" + std::to_string(fd);
    EXPECT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
    EXPECT_STREQ(target, "/dev/null") << link;
  }
  e2e::RunOpts in;
  in.input = e2e::pcap_file({e2e::ether_frame(70, 1)});
  k.ok({"wire", "inject", "em0"}, in);
  EXPECT_EQ(hk::read_packets(bg, 1).packets.size(), 1u);
  bg.signal(SIGTERM);
  bg.wait();
}

// A terminal on standard output is refused as the command line's faults
// are, before anything is loaded or made: the relay would leave it
// non-blocking, and a capture stream is of no use there.
TEST(Failure, TerminalOnStandardOutput) {
  Kernel k;
  k.iface("em0");
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  Proc p = e2e::sh("exec " + hk::hooktap() + " ether:em0:lower > " + ptsname(pty));
  close(pty);
  EXPECT_EQ(p.status, 64);
  const std::string msg = "hooktap: refusing to write a capture stream to a terminal\n\n";
  EXPECT_EQ(p.err.substr(0, msg.size() + 15), msg + "USAGE: hooktap ");
  for (const auto& f : k.kld()) EXPECT_FALSE(f["loaded"] && f["file"] == "ng_socket.ko");
  EXPECT_TRUE(k.trace().empty());
}

TEST(Failure, NoRingNoKernelCall) {
  Kernel k;
  k.iface("em0");
  // The smallest address-space limit under which the program gets past its
  // ring, found against a kernel that does not exist; 1 MiB less leaves
  // too little for the default ring's 2 MiB of views.
  e2e::RunOpts nokernel;
  nokernel.env = {"NGSIM_SOCKET=/nonexistent/kernel.sock"};
  int limit = 0;
  for (int kb = 4096; kb <= 65536 && limit == 0; kb += 256) {
    Proc p = e2e::sh("ulimit -v " + std::to_string(kb) + "; exec " + hk::hooktap() +
                         " -n ether:em0:lower", nokernel);
    if (p.err.find("ng_create_context") != std::string::npos) limit = kb;
  }
  ASSERT_NE(limit, 0);
  Proc p = e2e::sh("ulimit -v " + std::to_string(limit - 1024) + "; exec " + hk::hooktap() +
                   " -n ether:em0:lower");
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: unable to initialize buffer: Cannot allocate memory\n");
  EXPECT_TRUE(k.trace().empty());
  expect_nothing_left(k);
}

TEST(Failure, NoSocketNode) {
  Kernel k;
  k.iface("em0");
  k.fault({"--op", "mksock", "--errno", "ENOMEM"});
  Proc p = hooktap({"ether:em0:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: ng_create_context: failed to initialize netgraph(4): "
                   "Cannot allocate memory\n");
  EXPECT_TRUE(k.trace().empty());
  expect_nothing_left(k);
}

TEST(Failure, CaptureNodeNotCreated) {
  Kernel k;
  k.iface("em0");
  Proc p = hooktap({"ether:nosuch:lower"});
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: unable to create pcap: No such file or directory\n");
  k.fault({"--op", "msg", "--cookie", kGeneric, "--cmd", "2", "--errno", "EPERM"});
  p = hooktap({"ether:em0:lower"});
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err, "hooktap: unable to create pcap: Operation not permitted\n");
  expect_nothing_left(k);
}

// The capture node was made but its ID never reached the program: it is
// shut down by the path that leads to it, before the report; when that
// fails too, the hint says how, and the node stays.
TEST(Failure, CaptureNodeWhoseIdIsLostIsShutDownByItsPath) {
  auto fail = [](const char* cmd, const char* err) {
    return std::vector<std::string>{"--op", "msg", "--cookie", kGeneric, "--cmd", cmd,
                                    "--errno", err};
  };
  const std::string hint = "Failed to shutdown node.\ntry:\n\tngctl shutdown em0:lower\n";
  struct Row {
    std::vector<std::vector<std::string>> faults;
    int status;
    std::string err;
    const char* shutdown_errno = nullptr;  // the shutdown went through
  };
  const Row rows[] = {
      {{fail("6", "ENOENT")}, 71, "hooktap: unable to request pcap info, presumed dead\n"},
      {{fail("6", "EPERM")}, 77, "hooktap: unable to request pcap info, presumed dead\n"},
      {{{"--op", "recv", "--errno", "EIO"}}, 71,
       "hooktap: unable to retrieve pcap info, presumed dead: Input/output error\n"},
      {{fail("6", "ENOENT"), fail("1", "EIO")}, 71,
       hint + "hooktap: unable to request pcap info, presumed dead\n", "EIO"},
  };
  for (const Row& r : rows) {
    Kernel k;
    k.iface("em0");
    for (const auto& f : r.faults) k.fault(f);
    Proc p = hooktap({"ether:em0:lower"});
    EXPECT_EQ(p.status, r.status);
    EXPECT_EQ(p.err, r.err);
    auto sd = hk::shutdowns_by(k, seen(k).pid);
    ASSERT_EQ(sd.size(), 1u) << r.err;
    EXPECT_EQ(sd[0]["path"], "em0:lower");
    if (r.shutdown_errno == nullptr) {
      EXPECT_TRUE(sd[0]["errno"].is_null());
      expect_nothing_left(k);
    } else {
      EXPECT_EQ(sd[0]["errno"], r.shutdown_errno);
      EXPECT_EQ(e2e::nodes_of_type(k.graph(), "pcap").size(), 1u);
    }
  }
}

TEST(Failure, RefusalsAfterCreationShutTheNodeDown) {
  struct Row {
    std::vector<std::string> args, fault;
    int status;
    std::string err;  // "%s" stands for the capture node's address
  };
  const Row rows[] = {
      {{"ether:em0:lower"}, {"--op", "msg", "--cookie", kPcap, "--cmd", "4", "--errno", "EINVAL"},
       65, "hooktap: unable to set `%ssource0' to `ether': Invalid argument\n"},
      {{"ether:em0:lower", "inet6:h1:x"},
       {"--op", "msg", "--cookie", kPcap, "--cmd", "4", "--nth", "2", "--errno", "EPERM"},
       65, "hooktap: unable to set `%ssource1' to `inet6': Operation not permitted\n"},
      {{"ether:em0:lower", "ether:nosuch:lower"}, {}, 65,
       "hooktap: unable to connect `nosuch:lower' to `%ssource1': No such file or directory\n"},
      {{"ether:em0:lower", "inet:h1:x", "inet:h1:x"}, {}, 65,
       "hooktap: unable to connect `h1:x' to `%ssource2': File exists\n"},
      {{"ether:em0:lower"}, {"--op", "msg", "--cookie", kPcap, "--cmd", "2", "--errno", "EINVAL"},
       71, "hooktap: %s unable to set snaplen=262144\n"},
      {{"-s", "1500", "ether:em0:lower"},
       {"--op", "msg", "--cookie", kPcap, "--cmd", "2", "--errno", "EPERM"},
       77, "hooktap: %s unable to set snaplen=1500\n"},
      {{"ether:em0:lower"},
       {"--op", "msg", "--cookie", kGeneric, "--cmd", "3", "--path", ".:", "--errno", "EINVAL"},
       65, "hooktap: unable to connect `.:pcap' to `%ssnoop': Invalid argument\n"},
  };
  for (const Row& r : rows) {
    Kernel k;
    k.iface("em0");
    k.ok({"node", "create", "hub", "h1"});
    if (!r.fault.empty()) k.fault(r.fault);
    Proc p = hooktap(r.args);
    Seen s = seen(k);
    std::string want = r.err;
    want.replace(want.find("%s"), 2, addr(s.pcap));
    EXPECT_EQ(p.status, r.status) << want;
    EXPECT_EQ(p.err, want);
    expect_shut_down(k, s);
  }
}

TEST(Failure, NoDescriptorForTheDataSocket) {
  Kernel k;
  k.iface("em0");
  // Room for the standard streams and the control socket only; that a
  // kqueue cannot be made is the unit tests' to show.
  Proc p = e2e::sh("ulimit -n 4; exec " + hk::hooktap() + " ether:em0:lower");
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err,
            "hooktap: ng_create_context: failed to initialize netgraph(4): Too many open files\n");
  expect_nothing_left(k);
}

TEST(Failure, StandardOutputGone) {
  Kernel k;
  k.iface("em0");
  const std::string status = k.path("status"), err = k.path("err");
  e2e::Background bg({"/bin/sh", "-c",
                      "trap '' PIPE; { " + hk::hooktap() + " ether:em0:lower 2>" + err +
                          "; echo $? > " + status + "; } | head -c 1 > /dev/null"});
  ASSERT_NE(hk::wait_relaying(k), 0u);
  // The reader leaves after one byte; the next write finds no reader.
  for (int i = 0; i < 50 && e2e::read_file(status).empty(); i++) {
    e2e::RunOpts in;
    in.input = e2e::pcap_file({e2e::ether_frame(100, 1)});
    k.ok({"wire", "inject", "em0"}, in);
    usleep(20000);
  }
  bg.wait();
  EXPECT_EQ(e2e::read_file(status), "71\n");
  EXPECT_EQ(e2e::read_file(err), "hooktap: unable to write to standard output: Broken pipe\n");
  expect_shut_down(k, seen(k));
}

// Standard output on a device that kqueue cannot watch: registration
// fails, and the capture node is shut down.
TEST(Failure, StandardOutputThatKqueueRefuses) {
  for (const char* dev : {"/dev/null", "/dev/full"}) {
    Kernel k;
    k.iface("em0");
    Proc p = e2e::sh("exec " + hk::hooktap() + " ether:em0:lower > " + dev);
    EXPECT_EQ(p.status, 71) << dev;
    EXPECT_EQ(p.err,
              "hooktap: : kevent failed to register events: Operation not supported by device\n");
    expect_shut_down(k, seen(k));
  }
}

TEST(Failure, KernelGone) {
  Kernel k;
  k.iface("em0");
  e2e::Background bg({hk::hooktap(), "ether:em0:lower"});
  uint32_t id = hk::wait_relaying(k);
  ASSERT_NE(id, 0u);
  k.ok({"halt"});
  // The data socket ends; the shutdown has no kernel left to reach.
  Proc p = bg.wait(5);
  EXPECT_FALSE(p.signaled);
  EXPECT_EQ(p.status, 71);
  EXPECT_EQ(p.err, "hooktap: capture node gone, presumed dead\n"
                   "ngsim: no emulated kernel at " + k.socket() +
                   "; start one with `ngsim kernel`\n"
                   "Failed to shutdown node.\ntry:\n\tngctl shutdown " + addr(id) + "\n");
}

}  // namespace
