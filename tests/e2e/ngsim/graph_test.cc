// Generic messages through socket nodes: paths, names, hooks, refusals,
// socket node lifetime, vnets of jails.
#include <gtest/gtest.h>

#include <errno.h>
#include <netgraph/ng_message.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <jail.h>
#include <sys/param.h>
#include <sys/jail.h>

#include "harness.h"
#include "sock.h"

using e2e::Info;
using e2e::Link;
using e2e::Sock;

using e2e::json;

namespace {

std::string idpath(uint32_t id, int width = 8) {
  char b[32];
  snprintf(b, sizeof b, "[%0*x]:", width, id);
  return b;
}

TEST(Paths, NamesIdsRelativeAndHookWalks) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s("tester");
  ASSERT_EQ(s.error(), 0);
  ASSERT_EQ(s.mkpeer(".", "hub", "h", "up"), 0);
  ASSERT_EQ(s.connect(".:h", "em0:", "lower2", "lower"), 0) << "hub to em0";

  Info self, em0, hub;
  ASSERT_EQ(s.info(".", self), 0);
  EXPECT_EQ(self.name, "tester");
  EXPECT_EQ(self.type, "socket");
  EXPECT_EQ(self.hooks, 1u);
  ASSERT_EQ(s.info("em0:", em0), 0);
  EXPECT_EQ(em0.type, "ether");

  // The same node by every form of address.
  for (const std::string& p : {std::string(".:h"), std::string("h"),
                               std::string("em0:lower"),
                               std::string("tester:h")}) {
    ASSERT_EQ(s.info(p, hub), 0) << p;
    EXPECT_EQ(hub.type, "hub") << p;
  }
  Info byid;
  ASSERT_EQ(s.info(idpath(hub.id), byid), 0);
  EXPECT_EQ(byid.id, hub.id);
  char shortid[16];
  snprintf(shortid, sizeof shortid, "[%x]:", hub.id);
  ASSERT_EQ(s.info(shortid, byid), 0);
  EXPECT_EQ(byid.id, hub.id);
  // Walks over two hooks come back to the start.
  ASSERT_EQ(s.info("em0:lower.up", byid), 0);
  EXPECT_EQ(byid.id, self.id);
  ASSERT_EQ(s.info(".:", byid), 0);
  EXPECT_EQ(byid.id, self.id);

  // A name without a colon is a hook of the sender, not a node.
  EXPECT_EQ(s.info("em0", byid), ENOENT);
  EXPECT_EQ(s.info("nosuch:", byid), ENOENT);
  EXPECT_EQ(s.info("em0:upper", byid), ENOENT);
  EXPECT_EQ(s.info("[0]:", byid), ENOENT);
  EXPECT_EQ(s.info("[7777777]:", byid), ENOENT);
  // Malformed addresses.
  for (const char* p : {"", "[xyz]:", "[123456789]:", "[]:", "a:b:c", ":",
                        "em0:lower..up", "em0:.", "em.0:"}) {
    EXPECT_EQ(s.info(p, byid), EINVAL) << '"' << p << '"';
  }
  EXPECT_EQ(s.info(std::string(600, 'a') + ":", byid), EINVAL);
}

TEST(Hooks, MakeConnectRemoveAndRefuse) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s;
  ASSERT_EQ(s.error(), 0);
  ASSERT_EQ(s.mkpeer(".", "tee", "t", "left"), 0);
  EXPECT_EQ(s.mkpeer(".", "hub", "t", "x"), EEXIST) << "our hook in use";
  EXPECT_EQ(s.mkpeer(".", "nosuchtype", "q", "x"), ENXIO);
  EXPECT_EQ(s.mkpeer(".", "tee", "q", "middle"), EINVAL) << "tee refuses";
  EXPECT_EQ(s.mkpeer(".", "hub", "a.b", "x"), EINVAL);
  EXPECT_EQ(s.mkpeer(".", "hub", "a:b", "x"), EINVAL);
  EXPECT_EQ(s.mkpeer(".", "hub", "", "x"), EINVAL);
  EXPECT_EQ(s.connect("t", "em0:", "left", "lower"), EEXIST) << "tee's left";
  EXPECT_EQ(s.connect("t", "nosuch:", "right", "lower"), ENOENT);
  EXPECT_EQ(s.connect("t", "em0:", "right", "sideways"), EINVAL);
  ASSERT_EQ(s.connect("t", "em0:", "right", "lower"), 0);

  // No node was left behind by the refusals.
  json g = k.graph();
  EXPECT_EQ(g["nodes"].size(), 3u) << g.dump();
  EXPECT_TRUE(e2e::nodes_of_type(g, "hub").empty());

  Info node;
  std::vector<Link> links;
  ASSERT_EQ(s.hooks("t", node, links), 0);
  EXPECT_EQ(node.type, "tee");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].ourhook, "left");
  EXPECT_EQ(links[0].peerhook, "t");
  EXPECT_EQ(links[0].peer.type, "socket");
  EXPECT_EQ(links[1].ourhook, "right");
  EXPECT_EQ(links[1].peerhook, "lower");
  EXPECT_EQ(links[1].peer.name, "em0");

  // The tee goes with its last hook; the interface stays.
  ASSERT_EQ(s.rmhook("t", "right"), 0);
  ASSERT_EQ(s.rmhook(".", "t"), 0);
  EXPECT_EQ(s.rmhook(".", "nohook"), 0) << "absent hook: nothing to do";
  g = k.graph();
  EXPECT_TRUE(e2e::nodes_of_type(g, "tee").empty()) << g.dump();
  ASSERT_NE(e2e::node_named(g, "em0"), nullptr);
  EXPECT_TRUE((*e2e::node_named(g, "em0"))["hooks"].empty());
}

TEST(Names, ValidateAndKeepUnique) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s("me");
  ASSERT_EQ(s.error(), 0);
  ASSERT_EQ(s.mkpeer(".", "hub", "h", "x"), 0);
  EXPECT_EQ(s.name("h", "em0"), EADDRINUSE);
  EXPECT_EQ(s.name("h", "me"), EADDRINUSE);
  for (const std::string& bad : std::vector<std::string>{
           "", "a.b", "a:b", "[1]", "a]", std::string(32, 'n')})
    EXPECT_EQ(s.name("h", bad), EINVAL) << '"' << bad << '"';
  EXPECT_EQ(s.name("h", std::string(31, 'n')), 0) << "31 characters fit";
  EXPECT_EQ(s.name("h", "hub1"), 0) << "renaming";
  EXPECT_EQ(s.name("hub1:", "hub1"), 0) << "its own name again";
  Info i;
  ASSERT_EQ(s.info("hub1:", i), 0);
  EXPECT_EQ(i.type, "hub");
  EXPECT_EQ(s.info(std::string(31, 'n') + ":", i), ENOENT) << "old name freed";

  // A 32-byte name with no NUL in it is refused, not cut short.
  ngm_name raw;
  memset(raw.name, 'z', sizeof raw.name);
  EXPECT_EQ(s.msg("h", NGM_GENERIC_COOKIE, NGM_NAME, &raw, sizeof raw), EINVAL);
  // Arguments of the wrong length.
  EXPECT_EQ(s.msg("h", NGM_GENERIC_COOKIE, NGM_NAME, "ab", 3), EINVAL);
  ngm_mkpeer mp{};
  EXPECT_EQ(s.msg(".", NGM_GENERIC_COOKIE, NGM_MKPEER, &mp, sizeof mp - 1), EINVAL);
  EXPECT_EQ(s.msg(".", NGM_GENERIC_COOKIE, 77, nullptr, 0), EINVAL);
  EXPECT_EQ(s.msg("h", 12345, 1, nullptr, 0), EINVAL) << "hub has no cookie";

  // Socket nodes take their names by the same rules.
  Sock dup("me");
  EXPECT_EQ(dup.error(), EADDRINUSE);
  Sock bad("x.y");
  EXPECT_EQ(bad.error(), EINVAL);

  std::vector<Info> names, all;
  ASSERT_EQ(s.list(true, names), 0);
  ASSERT_EQ(s.list(false, all), 0);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(all.size(), 3u);
}

TEST(Shutdown, NodesAndSocketNodesGoWithTheirProcess) {
  e2e::Kernel k;
  k.iface("em0");
  Sock s;
  ASSERT_EQ(s.error(), 0);
  ASSERT_EQ(s.mkpeer(".", "hub", "h", "a"), 0);
  ASSERT_EQ(s.connect("h", "em0:", "b", "lower"), 0);

  // A child makes a node of its own, joins it to the hub and dies.
  pid_t pid = fork();
  if (pid == 0) {
    Sock c("child");
    if (c.error() != 0 || c.connect(".", "em0:lower", "mine", "c") != 0)
      _exit(1);
    _exit(0);
  }
  int st;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  // The kernel notices the closed sockets on its own time.
  json g;
  for (int i = 0; i < 100; i++) {
    g = k.graph();
    if (!e2e::node_named(g, "child")) break;
    usleep(10000);
  }
  EXPECT_EQ(e2e::node_named(g, "child"), nullptr) << g.dump();
  std::vector<json> hubs = e2e::nodes_of_type(g, "hub");
  ASSERT_EQ(hubs.size(), 1u);
  EXPECT_EQ(hubs[0]["hooks"].size(), 2u) << "the child's hook went with it";

  // An interface survives a shutdown; it loses its hooks, and the hub with
  // only one hook left stays until that one goes as well.
  ASSERT_EQ(s.shutdown("em0:"), 0);
  g = k.graph();
  ASSERT_NE(e2e::node_named(g, "em0"), nullptr);
  EXPECT_TRUE((*e2e::node_named(g, "em0"))["hooks"].empty());
  ASSERT_EQ(e2e::nodes_of_type(g, "hub").size(), 1u);
  ASSERT_EQ(s.shutdown("h"), 0);
  g = k.graph();
  EXPECT_TRUE(e2e::nodes_of_type(g, "hub").empty());
  EXPECT_EQ(g["nodes"].size(), 2u);

  // A socket node that shuts itself down: further messages find no node,
  // and its data socket reads end of file.
  ASSERT_EQ(s.shutdown("."), 0);
  Info i;
  EXPECT_EQ(s.info(".", i), ENOTCONN);
  char b;
  EXPECT_EQ(read(s.ds(), &b, 1), 0);
  EXPECT_EQ(k.graph()["nodes"].size(), 1u);
}

TEST(Shutdown, ControlSocketSharedAcrossForkKeepsTheNode) {
  e2e::Kernel k;
  Sock s("shared", false);
  ASSERT_EQ(s.error(), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // The child holds the same control socket; the parent closes its copy.
    usleep(300000);
    Info i;
    _exit(s.info(".", i) == 0 && i.name == "shared" ? 0 : 1);
  }
  s.close_all();
  usleep(100000);
  EXPECT_NE(e2e::node_named(k.graph(), "shared"), nullptr);
  int st;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(Jails, SocketNodeInsideAJailLivesInItsVnet) {
  e2e::Kernel k;
  int vj1 = k.jail("vj1");
  int inner = k.jail("inner", "vj1");
  EXPECT_EQ(vj1, 1);
  EXPECT_EQ(inner, 2);
  k.iface("em0");
  k.iface("em0", "vj1");  // the same name, another vnet
  // Inside a jail nothing may be loaded, so the socket type must be there.
  k.ok({"kld", "load", "ng_socket"});

  EXPECT_EQ(jail_getid("vj1"), vj1);
  EXPECT_EQ(jail_getid("vj1.inner"), inner);
  EXPECT_EQ(jail_getid("0"), 0);
  EXPECT_EQ(jail_getid("inner"), -1);
  EXPECT_STREQ(jail_errmsg, "jail \"inner\" not found");
  EXPECT_EQ(jail_getid("7"), -1);
  EXPECT_STREQ(jail_errmsg, "jail 7 not found");

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    char r = 'x';
    if (jail_attach(vj1) != 0) r = 'a';
    // Inside vj1 its inner jail is "inner", and the host is out of reach.
    else if (jail_getid("inner") != inner) r = 'n';
    else if (jail_getid("vj1") != -1) r = 'v';
    else if (jail_attach(0) == 0 || errno != EINVAL) r = '0';
    else {
      Sock c("jailed");
      Info i;
      if (c.error() != 0) r = 'm';
      else if (c.connect(".", "em0:", "e", "lower") != 0) r = 'c';
      else if (c.info(idpath(1), i) != ENOENT) r = 'h';  // host's em0
      else r = 'k';
      if (write(fds[1], &r, 1) != 1) _exit(2);
      alarm(20);
      pause();
    }
    if (write(fds[1], &r, 1) != 1) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  char r = 0;
  ASSERT_EQ(read(fds[0], &r, 1), 1);
  EXPECT_EQ(r, 'k');

  json host = k.graph();
  json jailed = k.graph("vj1");
  EXPECT_EQ(host["jail"], 0);
  EXPECT_EQ(jailed["jail"], vj1);
  EXPECT_EQ(e2e::node_named(host, "jailed"), nullptr);
  const json* node = e2e::node_named(jailed, "jailed");
  ASSERT_NE(node, nullptr) << jailed.dump();
  const json* em0 = e2e::node_named(jailed, "em0");
  ASSERT_NE(em0, nullptr);
  EXPECT_EQ((*e2e::hook_of(*node, "e"))["peer"], (*em0)["id"]);
  EXPECT_TRUE((*e2e::node_named(host, "em0"))["hooks"].empty());

  // Neither name nor ID reaches the jailed node from the host.
  Sock h;
  ASSERT_EQ(h.error(), 0);
  Info i;
  EXPECT_EQ(h.info("jailed:", i), ENOENT);
  EXPECT_EQ(h.info(idpath((*node)["id"].get<uint32_t>()), i), ENOENT);

  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(Jails, MembershipPassesAcrossForkAndExec) {
  e2e::Kernel k;
  k.jail("vj1");
  k.ok({"kld", "load", "ng_socket"});
  // jexec runs a command in the jail; a shell there runs a child of its own,
  // which may not load the capture type inside the jail.
  e2e::Proc p = k.ngsim({"jexec", "vj1", "/bin/sh", "-c",
                         e2e::bin_path("ngctl") + " mkpeer . pcap p snoop; exit $?"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngctl: send msg: Operation not permitted\n")
      << "loading from inside a jail is refused";
  EXPECT_FALSE(k.kld()[2]["loaded"].get<bool>());
  e2e::Proc q = k.ngsim({"jexec", "nosuch", "/bin/true"});
  EXPECT_EQ(q.status, 1);
  EXPECT_EQ(q.err, "ngsim: jail \"nosuch\" not found\n");
}

}  // namespace
