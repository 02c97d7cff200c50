// The admin command: its commands, outputs and errors; the kernel linker,
// privilege, the trace and fault rules.
#include <gtest/gtest.h>

#include <errno.h>
#include <netgraph/ng_message.h>
#include <sys/param.h>
#include <sys/linker.h>
#include <sys/module.h>
#include <sys/wait.h>
#include <unistd.h>

#include <jail.h>
#include <sys/jail.h>

#include "harness.h"
#include "sock.h"

using e2e::Info;
using e2e::Sock;

using e2e::json;

namespace {

const char kUsage[] =
    "usage: ngsim kernel [--foreground]\n"
    "       ngsim halt\n"
    "       ngsim jail create NAME [--parent JAIL]\n"
    "       ngsim jexec JAIL CMD [ARG ...]\n"
    "       ngsim netns JAIL\n"
    "       ngsim iface create NAME [--type ether|iface] [--jail JAIL]\n"
    "       ngsim node create TYPE NAME [--jail JAIL]\n"
    "       ngsim wire inject IFACE [--jail JAIL] < FILE\n"
    "       ngsim wire listen IFACE [--jail JAIL] [--count N] [--timeout S]\n"
    "       ngsim inject NODE:HOOK [--jail JAIL] < FILE\n"
    "       ngsim graph [--jail JAIL] [--json]\n"
    "       ngsim sysctl NAME[=VALUE]\n"
    "       ngsim trace [--clear] --json\n"
    "       ngsim fault add --op OP [--cookie N] [--cmd N] [--path P] [--nth K] --errno NAME\n"
    "       ngsim fault clear\n"
    "       ngsim kld list [--json]\n"
    "       ngsim kld add FILE MODULE ... [--loaded]\n"
    "       ngsim kld load FILE\n";

// Runs `fn` in a child as uid 65534 and returns its exit status.
template <typename F>
int as_nobody(F fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    _exit(fn());
  }
  int st;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 100;
}

TEST(Admin, UsageAndErrorsOfTheCommandItself) {
  e2e::Kernel k;
  for (const std::vector<std::string>& a : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"graph", "--json", "extra"}, {"netns"},
           {"jail", "create"}, {"jail", "make", "x"}, {"iface", "create"},
           {"node", "create", "hub"}, {"wire", "listen"}, {"fault", "add"},
           {"fault", "add", "--op", "msg"}, {"kld", "add", "x.ko"},
           {"graph", "--json", "--colour"}, {"jexec", "vj1"}}) {
    e2e::Proc p = k.ngsim(a);
    EXPECT_EQ(p.status, 64) << a.size();
    EXPECT_TRUE(p.err == kUsage || p.err.find("ngsim: ") == 0) << p.err;
    EXPECT_NE(p.err.find(kUsage), std::string::npos);
    EXPECT_EQ(p.out, "");
  }
  e2e::Proc p = k.ngsim({"graph", "--json", "--colour"});
  EXPECT_EQ(p.err, std::string("ngsim: unknown option --colour\n") + kUsage);
  p = k.ngsim({"graph", "--jail"});
  EXPECT_EQ(p.err, std::string("ngsim: option --jail needs a value\n") + kUsage);

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  k.jail("vj1");
  k.iface("em0");
  for (const Case& c : std::vector<Case>{
           {{"jail", "create", "vj1"}, "ngsim: jail \"vj1\" already exists\n"},
           {{"jail", "create", "a.b"}, "ngsim: invalid jail name \"a.b\"\n"},
           {{"jail", "create", "x", "--parent", "nope"}, "ngsim: jail \"nope\" not found\n"},
           {{"iface", "create", "em0"}, "ngsim: node name \"em0\" is in use\n"},
           {{"iface", "create", "e:m"}, "ngsim: invalid node name \"e:m\"\n"},
           {{"iface", "create", "em9", "--jail", "9"}, "ngsim: jail 9 not found\n"},
           {{"node", "create", "bogus", "b"}, "ngsim: no built-in node type \"bogus\"\n"},
           {{"node", "create", "socket", "b"}, "ngsim: no built-in node type \"socket\"\n"},
           {{"node", "create", "pcap", "b"}, "ngsim: no built-in node type \"pcap\"\n"},
           {{"iface", "create", "em0123456789abcd"},
            "ngsim: interface name \"em0123456789abcd\" is longer than 15 characters\n"},
           {{"iface", "create", "t0", "--type", "tun"}, "ngsim: no interface type \"tun\"\n"},
           {{"sysctl", "net.graph.nothing"}, "ngsim: unknown oid 'net.graph.nothing'\n"},
           {{"sysctl", "net.graph.recvspace=0"},
            "ngsim: value out of range for net.graph.recvspace\n"},
           {{"graph", "--jail", "nope", "--json"}, "ngsim: jail \"nope\" not found\n"},
           {{"wire", "listen", "em7"}, "ngsim: no interface \"em7\"\n"},
           {{"wire", "listen", "em0", "--count", "x"}, "ngsim: bad count \"x\"\n"},
           {{"fault", "add", "--op", "msg", "--errno", "EWHAT"},
            "ngsim: unknown errno name \"EWHAT\"\n"},
           {{"fault", "add", "--op", "bogus", "--errno", "EIO"},
            "ngsim: unknown operation \"bogus\"\n"},
           {{"fault", "add", "--op", "msg", "--nth", "0", "--errno", "EIO"},
            "ngsim: bad count \"0\"\n"},
           {{"kld", "load", "nosuch"}, "ngsim: kldload nosuch: No such file or directory\n"},
           {{"kld", "add", "kernel", "m"}, "ngsim: kernel file \"kernel\" already exists\n"},
       }) {
    e2e::Proc q = k.ngsim(c.args);
    EXPECT_EQ(q.status, 1) << c.err;
    EXPECT_EQ(q.err, c.err);
    EXPECT_EQ(q.out, "");
  }
  p = k.ngsim({"wire", "inject", "em0"}, e2e::with_input("not a capture file"));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err.rfind("ngsim: cannot read the capture file: ", 0), 0u) << p.err;

  // Nested jails count up and print their IDs.
  EXPECT_EQ(k.ok({"jail", "create", "inner", "--parent", "vj1"}), "2\n");
  EXPECT_EQ(k.ok({"jail", "create", "deeper", "--parent", "vj1.inner"}), "3\n");
  EXPECT_EQ(k.ok({"jail", "create", "other", "--parent", "3"}), "4\n");
  k.ok({"iface", "create", "em0", "--jail", "vj1.inner.deeper"});
  EXPECT_EQ(k.graph("3")["nodes"].size(), 1u);
  k.ok({"node", "create", "hub", "h", "--jail", "vj1"});
  EXPECT_EQ(k.graph("vj1")["nodes"][0]["type"], "hub");
}

TEST(Admin, KernelStartsOnceAndHaltRemovesEverything) {
  e2e::Kernel k;
  e2e::Proc p = k.ngsim({"kernel"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngsim: a kernel is already running at " + k.socket() + "\n");
  k.iface("em0");
  EXPECT_EQ(k.ngsim({"halt"}).status, 0);
  p = k.ngsim({"graph", "--json"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngsim: no emulated kernel at " + k.socket() +
                       "; start one with `ngsim kernel`\n");
  ASSERT_EQ(k.ngsim({"kernel"}).status, 0);
  EXPECT_TRUE(k.graph()["nodes"].empty()) << "a new kernel starts empty";
}

TEST(Admin, NoKernelWhereNoNetworkStacksCanBeMade) {
  e2e::Kernel k;
  ASSERT_EQ(k.ngsim({"halt"}).status, 0);
  // Root without the right to make network namespaces has no jails to give.
  e2e::Proc p = e2e::run({"setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin",
                          e2e::bin_path("ngsim"), "kernel"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngsim: cannot give jails network stacks: cannot make a network "
                   "namespace: Operation not permitted\n");
  EXPECT_NE(k.ngsim({"graph"}).status, 0) << "nothing listens";
  ASSERT_EQ(k.ngsim({"kernel"}).status, 0);  // for the harness to halt
}

TEST(Admin, ForegroundKernelServesUntilHalted) {
  e2e::Kernel k;
  ASSERT_EQ(k.ngsim({"halt"}).status, 0);
  // In front, the command itself is the kernel: it serves, and halt ends it.
  e2e::Background fg({e2e::bin_path("ngsim"), "kernel", "--foreground"});
  bool up = false;
  for (int i = 0; i < 200 && !up; i++) {
    up = k.ngsim({"graph", "--json"}).status == 0;
    if (!up) usleep(10000);
  }
  ASSERT_TRUE(up) << fg.read_err();
  k.iface("em0");
  EXPECT_NE(e2e::node_named(k.graph(), "em0"), nullptr);
  EXPECT_TRUE(fg.running());
  EXPECT_EQ(k.ngsim({"halt"}).status, 0);
  e2e::Proc p = fg.wait(10);
  EXPECT_FALSE(p.timed_out);
  EXPECT_EQ(p.status, 0) << p.err;
  ASSERT_EQ(k.ngsim({"kernel"}).status, 0);  // for the harness to halt
}

TEST(Linker, FilesModulesAndLoadingOnDemand) {
  e2e::Kernel k;
  EXPECT_EQ(k.ok({"kld", "list", "--json"}),
            "[{\"file\":\"kernel\",\"id\":1,\"loaded\":true,\"modules\":[\"netgraph\","
            "\"ng_ether\",\"ng_iface\",\"ng_hub\",\"ng_tee\",\"ng_echo\",\"ng_hole\"]},"
            "{\"file\":\"ng_socket.ko\",\"id\":null,\"loaded\":false,\"modules\":[\"ng_socket\"]},"
            "{\"file\":\"ng_pcap.ko\",\"id\":null,\"loaded\":false,\"modules\":[\"ng_pcap\"]},"
            "{\"file\":\"ng_wormhole.ko\",\"id\":null,\"loaded\":false,\"modules\":[\"ng_wormhole\"]}]\n");

  // Through the library calls, as kld_ensure_load walks them.
  auto modules = [] {
    std::vector<std::string> v;
    for (int f = kldnext(0); f > 0; f = kldnext(f))
      for (int m = kldfirstmod(f); m > 0; m = modfnext(m)) {
        struct module_stat ms;
        ms.version = sizeof ms;
        if (modstat(m, &ms) == 0) v.push_back(ms.name);
      }
    return v;
  };
  EXPECT_EQ(modules().size(), 7u);
  k.ok({"kld", "add", "odd.ko", "x/ng_socket", "x/y/ng_pcap", "--loaded"});
  k.ok({"kld", "add", "ng_later.ko", "ng_later"});
  EXPECT_EQ(modules(), (std::vector<std::string>{"netgraph", "ng_ether", "ng_iface", "ng_hub",
                                                 "ng_tee", "ng_echo", "ng_hole",
                                                 "x/ng_socket", "x/y/ng_pcap"}));
  EXPECT_EQ(k.ok({"kld", "load", "ng_later"}), "3\n");
  EXPECT_EQ(kldload("ng_later.ko"), -1);
  EXPECT_EQ(errno, EEXIST);
  e2e::Proc p = k.ngsim({"kld", "load", "ng_later.ko"});
  EXPECT_EQ(p.err, "ngsim: kldload ng_later.ko: File exists\n");

  // A module that merely ends in ng_socket provides no socket type:
  // NgMkSockNode loads ng_socket.ko itself.
  Sock s;
  ASSERT_EQ(s.error(), 0);
  json files = k.kld();
  EXPECT_TRUE(files[1]["loaded"].get<bool>());
  EXPECT_EQ(files[1]["id"], 4);
  // NGM_MKPEER of a type that is not loaded loads ng_<type>.
  EXPECT_FALSE(k.kld()[3]["loaded"].get<bool>());
  ASSERT_EQ(s.mkpeer(".", "wormhole", "w", "evthorizon"), 0);
  EXPECT_TRUE(k.kld()[3]["loaded"].get<bool>());
  EXPECT_EQ(s.mkpeer(".", "later", "l", "x"), ENXIO) << "a loaded file without the type";
}

TEST(Privilege, RootOnlyForSocketNodesAttachingAndLoading) {
  e2e::Kernel k;
  k.jail("vj1");
  // ng_socket not loaded: the library's own load attempt is refused too.
  EXPECT_EQ(as_nobody([] {
              Sock s;
              return s.error() == EPERM ? 0 : 1;
            }),
            0);
  EXPECT_FALSE(k.kld()[1]["loaded"].get<bool>());
  k.ok({"kld", "load", "ng_socket"});
  EXPECT_EQ(as_nobody([] {
              Sock s;
              if (s.error() != EPERM) return 1;
              if (jail_attach(1) != -1 || errno != EPERM) return 2;
              if (kldload("ng_pcap") != -1 || errno != EPERM) return 3;
              // Everyone may look.
              if (kldnext(0) != 1 || jail_getid("vj1") != 1) return 4;
              return 0;
            }),
            0);

  // Root inside a jail may make socket nodes but may not load.
  pid_t pid = fork();
  if (pid == 0) {
    if (jail_attach(1) != 0) _exit(1);
    Sock s;
    if (s.error() != 0) _exit(2);
    if (s.mkpeer(".", "pcap", "p", "snoop") != EPERM) _exit(3);
    if (kldload("ng_pcap") != -1 || errno != EPERM) _exit(4);
    if (s.mkpeer(".", "hub", "h", "x") != 0) _exit(5);
    _exit(0);
  }
  int st;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_FALSE(k.kld()[2]["loaded"].get<bool>());
}

TEST(Trace, RecordsEveryControlMessageButNotInspection) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s("t");
  ASSERT_EQ(s.error(), 0);
  ASSERT_EQ(s.name("em0:", "em1"), 0);
  Info i;
  EXPECT_EQ(s.info("gone:", i), ENOENT);
  k.graph();
  k.kld();
  std::string text = k.ok({"trace", "--json"});
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "{\"pid\":" + std::to_string(getpid()) +
                ",\"jail\":0,\"path\":\"em0:\",\"cookie\":1137070366,\"cmd\":4,"
                "\"arg\":\"656d31" + std::string(58, '0') + "\",\"errno\":null}");
  std::vector<json> t = k.trace();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1]["path"], "gone:");
  EXPECT_EQ(t[1]["cmd"], NGM_NODEINFO);
  EXPECT_EQ(t[1]["arg"], "");
  EXPECT_EQ(t[1]["errno"], "ENOENT");
  // A forked child sending on the same socket is traced under its own pid.
  pid_t pid = fork();
  if (pid == 0) _exit(s.info(".", i) == 0 ? 0 : 1);
  waitpid(pid, nullptr, 0);
  t = k.trace(true);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[2]["pid"], pid);
  EXPECT_TRUE(k.trace().empty()) << "cleared";
  EXPECT_EQ(k.ok({"trace", "--clear"}), "");
}

TEST(Trace, ALongTraceComesOutWhole) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s;
  ASSERT_EQ(s.error(), 0);
  // More than a megabyte of JSON lines.
  std::string arg(300, 'a');
  for (int i = 0; i < 2000; i++)
    ASSERT_EQ(s.msg("em0:", 99, 1, arg.data(), arg.size()), EINVAL);
  std::vector<json> t = k.trace();
  ASSERT_EQ(t.size(), 2000u);
  EXPECT_EQ(t[1999]["arg"].get<std::string>().size(), 600u);
}

TEST(Faults, ChosenOperationsFailWithTheChosenErrno) {
  e2e::Kernel k;
  k.iface("em0");
  k.jail("vj1");
  // The second NGM_MKPEER from now fails; the others pass.
  k.fault({"--op", "msg", "--cmd", "2", "--nth", "2", "--errno", "EDOOFUS"});
  Sock s;
  ASSERT_EQ(s.error(), 0);
  EXPECT_EQ(s.mkpeer(".", "hub", "a", "x"), 0);
  EXPECT_EQ(s.mkpeer(".", "hub", "b", "x"), EDOOFUS);
  EXPECT_EQ(s.mkpeer(".", "hub", "c", "x"), 0);
  std::vector<json> t = k.trace();
  EXPECT_EQ(t[1]["errno"], "EDOOFUS");
  EXPECT_EQ(e2e::nodes_of_type(k.graph(), "hub").size(), 2u) << "the failed one did nothing";

  // Matching by path and by cookie; flag bits of the command do not count.
  k.fault({"--op", "msg", "--path", "em0:", "--cmd", "6", "--errno", "EIO"});
  Info i;
  EXPECT_EQ(s.info("em0:", i), EIO);
  EXPECT_EQ(s.info("[1]:", i), 0);
  k.fault({"--op", "msg", "--cookie", "12345", "--errno", "ENOSPC"});
  EXPECT_EQ(s.msg("a", 12345, 1), ENOSPC);
  EXPECT_EQ(s.msg("a", 12346, 1), EINVAL);

  // Receiving a reply.
  k.fault({"--op", "recv", "--errno", "EINTR"});
  EXPECT_EQ(s.info(".", i), EINTR);
  k.ok({"fault", "clear"});
  EXPECT_EQ(s.info("em0:", i), 0);

  // Making socket nodes, loading and attaching.
  k.fault({"--op", "mksock", "--nth", "1", "--errno", "ENOMEM"});
  Sock f1, f2;
  EXPECT_EQ(f1.error(), ENOMEM);
  EXPECT_EQ(f2.error(), 0);
  k.fault({"--op", "kldload", "--errno", "EIO"});
  EXPECT_EQ(kldload("ng_pcap"), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(s.mkpeer(".", "pcap", "p", "snoop"), EIO) << "on demand too";
  k.fault({"--op", "jail_attach", "--errno", "EAGAIN"});
  pid_t pid = fork();
  if (pid == 0) _exit(jail_attach(1) == -1 && errno == EAGAIN ? 0 : 1);
  int st;
  waitpid(pid, &st, 0);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  k.ok({"fault", "clear"});
  EXPECT_EQ(s.mkpeer(".", "pcap", "p", "snoop"), 0);
}

}  // namespace
