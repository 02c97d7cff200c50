// libnetgraph and the node types as FreeBSD has them: a control socket that
// is readable while a reply waits, socket addresses, messages passed up,
// ASCII messages, and the built-in types' own messages.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>

#include <errno.h>
#include <netgraph.h>
#include <netgraph/ng_message.h>
#include <netgraph/ng_socket.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "harness.h"
#include "msgs.h"
#include "sock.h"

using e2e::Info;
using e2e::Proc;
using e2e::Sock;

namespace {

bool readable(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

Proc ngctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{e2e::bin_path("ngctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::run(argv);
}

TEST(Control, ReadableExactlyWhileAReplyWaits) {
  e2e::Kernel k;
  Sock s("me");
  ASSERT_EQ(s.error(), 0);
  EXPECT_FALSE(readable(s.cs()));
  int kq = kqueue();
  struct kevent ev;
  EV_SET(&ev, s.cs(), EVFILT_READ, EV_ADD, 0, 0, nullptr);
  ASSERT_EQ(kevent(kq, &ev, 1, nullptr, 0, nullptr), 0);
  timespec zero = {0, 0};
  EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &zero), 0);

  errno = EIO;
  ASSERT_GT(NgSendMsg(s.cs(), ".", NGM_GENERIC_COOKIE, NGM_NODEINFO, nullptr, 0), 0);
  EXPECT_EQ(errno, 0) << "a success clears errno";
  EXPECT_TRUE(readable(s.cs()));
  ASSERT_EQ(kevent(kq, nullptr, 0, &ev, 1, &zero), 1);
  EXPECT_EQ(ev.ident, static_cast<uintptr_t>(s.cs()));
  ng_mesg* rep;
  char from[NG_PATHSIZ];
  ASSERT_GT(NgAllocRecvMsg(s.cs(), &rep, from), 0);
  free(rep);
  EXPECT_FALSE(readable(s.cs()));
  EXPECT_EQ(kevent(kq, nullptr, 0, &ev, 1, &zero), 0);
  close(kq);

  // Both sockets are the node's: getsockname gives its sockaddr_ng.
  for (int fd : {s.cs(), s.ds()}) {
    sockaddr_ng sg;
    memset(&sg, 0x55, sizeof sg);
    socklen_t len = sizeof sg;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sg), &len), 0);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(sg.sg_len, 16);
    EXPECT_EQ(sg.sg_family, AF_NETGRAPH);
    EXPECT_EQ(std::string(sg.sg_data, sizeof sg.sg_data), std::string("me") + std::string(12, '\0'));
  }
}

TEST(Control, ForeignMessagesGoUpAndNolingerEndsTheNodeWithItsLastHook) {
  e2e::Kernel k;
  Sock a("a"), b("b");
  ASSERT_EQ(b.error(), 0);
  // A message of a cookie the socket node does not know reaches its process.
  ASSERT_EQ(a.msg("b:", 12345, 7, "hello", 6), 0);
  ng_mesg* m;
  char from[NG_PATHSIZ];
  ASSERT_EQ(NgAllocRecvMsg(b.cs(), &m, from), static_cast<int>(sizeof(ng_mesg) + 6));
  EXPECT_EQ(m->header.typecookie, 12345u);
  EXPECT_EQ(m->header.cmd, 7u);
  EXPECT_STREQ(m->data, "hello");
  Info ai;
  ASSERT_EQ(a.info(".", ai), 0);
  char want[32];
  snprintf(want, sizeof want, "[%x]:", ai.id);
  EXPECT_STREQ(from, want);
  free(m);
  EXPECT_EQ(a.msg("b:", NGM_SOCKET_COOKIE, 99), EINVAL) << "an unknown socket command";

  // By default a socket node outlives its hooks; with nolinger it does not.
  ASSERT_EQ(b.connect(".", "a:", "x", "x"), 0);
  ASSERT_EQ(b.rmhook(".", "x"), 0);
  EXPECT_NE(e2e::node_named(k.graph(), "b"), nullptr);
  ASSERT_EQ(b.msg(".", NGM_SOCKET_COOKIE, NGM_SOCK_CMD_NOLINGER), 0);
  ASSERT_EQ(b.connect(".", "a:", "x", "x"), 0);
  ASSERT_EQ(a.rmhook(".", "x"), 0);
  EXPECT_EQ(e2e::node_named(k.graph(), "b"), nullptr);
  EXPECT_EQ(b.msg(".", NGM_GENERIC_COOKIE, NGM_NODEINFO), ENOTCONN) << "its sockets are dead";
}

TEST(Ascii, MessagesInTheirAsciiForm) {
  e2e::Kernel k;
  k.ok({"kld", "load", "ng_socket"});
  k.iface("em0");
  k.ok({"iface", "create", "ng0", "--type", "iface"});
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"msg", "em0:", "getifname"}, 0,
       "Rec'd response \"getifname\" (1) from \"[1]:\":\nArgs:\t\"em0\"\n", ""},
      {{"msg", "em0:", "getenaddr"}, 0,
       "Rec'd response \"getenaddr\" (3) from \"[1]:\":\nArgs:\t02:6e:67:00:00:01\n", ""},
      {{"msg", "em0:", "setautosrc", "1"}, 0, "", ""},
      {{"msg", "em0:", "getautosrc"}, 0,
       "Rec'd response \"getautosrc\" (8) from \"[1]:\":\nArgs:\t1\n", ""},
      {{"msg", "ng0:", "getifname"}, 0,
       "Rec'd response \"getifname\" (1) from \"[2]:\":\nArgs:\t\"ng0\"\n", ""},
      {{"msg", "ng0:", "broadcast"}, 1, "", "ngctl: send msg: Device busy\n"},
      {{"msg", "em0:", "mkpeer", "{", "type=\"hub\"", "ourhook=\"upper\"", "peerhook=\"in\"", "}"},
       0, "", ""},
      {{"msg", "em0:upper", "setpersistent"}, 0, "", ""},
      {{"msg", "em0:", "rmhook", "{", "hook=\"upper\"", "}"}, 0, "", ""},
      {{"msg", "em0:", "nosuch"}, 1, "", "ngctl: send msg: Function not implemented\n"},
      {{"msg", "em0:", "setpromisc", "{", "x=1", "}"}, 1, "", "ngctl: send msg: Invalid argument\n"},
      {{"status", "em0:"}, 0,
       "Status for \"em0:\":\ninterface em0: up; 0 frames the stack could not take\n", ""},
      {{"status", "ng0:"}, 0, "No status available for \"ng0:\"\n", ""},
  };
  for (const Case& c : cases) {
    Proc p = ngctl(c.args);
    EXPECT_EQ(p.status, c.status) << c.args[2];
    EXPECT_EQ(p.out, c.out) << c.args[2];
    EXPECT_EQ(p.err, c.err) << c.args[2];
  }
  // The hub outlived its last hook: setpersistent held.
  EXPECT_EQ(e2e::nodes_of_type(k.graph(), "hub").size(), 1u);
}

TEST(Types, TeeCountsAndStepsOutHoleCounts) {
  e2e::Kernel k;
  Sock l("l"), r("r");
  ASSERT_EQ(l.mkpeer(".", "tee", "t", "left"), 0);
  ASSERT_EQ(l.name("t", "t0"), 0);
  ASSERT_EQ(r.connect(".", "t0:", "t", "right"), 0);
  ASSERT_EQ(l.send("t", "abcd"), 0);
  EXPECT_EQ(r.recv(), "abcd");
  Proc p = ngctl({"msg", "t0:", "getclrstats"});
  EXPECT_EQ(p.out.substr(p.out.find('\n') + 1),
            "Args:\t{ right={ outOctets=4 outFrames=1 } left={ inOctets=4 inFrames=1 } }\n");
  p = ngctl({"msg", "t0:", "getstats"});
  EXPECT_EQ(p.out.substr(p.out.find('\n') + 1), "Args:\t{}\n") << "cleared";
  // Shut down between left and right, it leaves them joined.
  ASSERT_EQ(l.shutdown("t0:"), 0);
  ASSERT_EQ(l.send("t", "direct"), 0);
  EXPECT_EQ(r.recv(), "direct");

  ASSERT_EQ(l.mkpeer(".", "hole", "h", "in"), 0);
  ASSERT_EQ(l.send("h", "12345"), 0);
  ASSERT_EQ(l.send("h", "678"), 0);
  p = ngctl({"msg", "l:h", "getstats", "\"in\""});
  EXPECT_EQ(p.out.substr(p.out.find('\n') + 1), "Args:\t{ frames=2 octets=8 }\n");
  p = ngctl({"msg", "l:h", "getstats", "\"out\""});
  EXPECT_EQ(p.err, "ngctl: send msg: No such file or directory\n");
}

}  // namespace
