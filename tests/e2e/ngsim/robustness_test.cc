// Bad input from clients: the kernel refuses it and keeps its graph.
#include <gtest/gtest.h>

#include <errno.h>
#include <netgraph/ng_message.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "proto.h"
#include "sock.h"

using e2e::Sock;

using e2e::json;

namespace {

// Sends one packet, with a socket passed along when `pass` is not -1, and
// returns the error of the response (or -1 if none).
int roundtrip(int fd, const std::string& pkt, std::string* payload = nullptr,
              int pass = -1) {
  if (e2e::send_with_fd(fd, pkt, pass) < 0) return -1;
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 2000) <= 0) return -1;
  char buf[65536];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n < static_cast<ssize_t>(sizeof(ngsim_rsp))) return -1;
  ngsim_rsp r;
  memcpy(&r, buf, sizeof r);
  if (payload) payload->assign(buf + sizeof r, n - sizeof r);
  return r.error;
}

std::string request(uint32_t op, const std::string& payload, int32_t lenfix = 0) {
  ngsim_req r{};
  r.op = op;
  r.pid = getpid();
  r.len = static_cast<uint32_t>(payload.size() + lenfix);
  return std::string(reinterpret_cast<char*>(&r), sizeof r) + payload;
}

TEST(BadInput, GarbageAndHalfMessagesLeaveTheGraphIntact) {
  e2e::Kernel k;
  k.iface("em0");
  k.jail("vj1");
  Sock s("keeper");
  ASSERT_EQ(s.mkpeer(".", "hub", "h", "x"), 0);
  // Names are bytes: one that is not UTF-8 still shows in the graph.
  ASSERT_EQ(s.name("h", "hub\xff\xfe"), 0);
  ASSERT_EQ(s.mkpeer("h", "echo", "\xc3(", "x"), 0);
  const json before = k.graph();
  ASSERT_EQ(before["nodes"].size(), 4u);
  EXPECT_EQ(k.trace().size(), 3u);

  int fd = e2e::raw_connect(k.socket());
  ASSERT_GE(fd, 0);
  // Shorter than a request header, a length that lies, an unknown op.
  EXPECT_EQ(roundtrip(fd, "xy"), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_KLDNEXT, "abcd", 10)), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_KLDNEXT, "abcd", -2)), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(999, "")), EOPNOTSUPP);
  // Arguments of the wrong size or without their NUL.
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_KLDNEXT, "ab")), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_KLDLOAD, "ng_socket")), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_MKSOCK, "short")), EINVAL);
  // Calls about a socket node without one of its sockets, or with another.
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_SENDMSG, std::string(600, 'a'))), ENOTSOCK);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_SENDMSG, std::string(600, 'a')), nullptr, fd),
            ENOTCONN);
  // Admin text that is not JSON, or JSON that is not a command.
  std::string out;
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_ADMIN, "{not json"), &out), EINVAL);
  EXPECT_NE(out.find("malformed admin request"), std::string::npos) << out;
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_ADMIN, "[1,2]")), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_ADMIN, R"({"cmd":"graph","jail":7})")), EINVAL);
  EXPECT_EQ(roundtrip(fd, request(NGSIM_OP_ADMIN, R"({"cmd":"kld_add","file":"x"})")), EINVAL);
  // Random bytes of every size.
  srand(7);
  for (int i = 0; i < 200; i++) {
    std::string junk(rand() % 200, '\0');
    for (char& c : junk) c = static_cast<char>(rand());
    send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
  }
  close(fd);

  // Broken control messages from a socket node, and its data socket in
  // place of its control socket.
  Sock b("broken");
  ASSERT_EQ(b.error(), 0);
  auto from_b = [&](const std::string& payload, int pass) {
    int c = e2e::raw_connect(k.socket());
    int e = roundtrip(c, request(NGSIM_OP_SENDMSG, payload), nullptr, pass);
    close(c);
    return e;
  };
  std::string path(512, '\0');
  path.replace(0, 3, "em0");
  EXPECT_EQ(from_b(path + "tiny", b.cs()), EINVAL);
  ng_mesg m{};
  m.header.version = NG_VERSION;
  m.header.typecookie = NGM_GENERIC_COOKIE;
  m.header.cmd = NGM_NODEINFO;
  m.header.arglen = 100;  // more than follows
  std::string ms(reinterpret_cast<char*>(&m), sizeof m);
  EXPECT_EQ(from_b(path + ms, b.cs()), EINVAL);
  m.header.arglen = 0;
  m.header.version = 3;
  ms.assign(reinterpret_cast<char*>(&m), sizeof m);
  EXPECT_EQ(from_b(path + ms, b.cs()), EINVAL);
  EXPECT_EQ(from_b(std::string(512, 'p') + ms, b.cs()), EINVAL) << "a path without its NUL";
  m.header.version = NG_VERSION;
  ms.assign(reinterpret_cast<char*>(&m), sizeof m);
  EXPECT_EQ(from_b(path + ms, b.ds()), EINVAL) << "not the control socket";
  // Half a request, then the client hangs up while waiting.
  fd = e2e::raw_connect(k.socket());
  send(fd, ms.data(), 10, MSG_NOSIGNAL);
  close(fd);
  // Whatever a process writes into its control socket is ignored.
  ASSERT_EQ(write(b.cs(), "junk", 4), 4);
  b.close_all();

  // A data socket that writes items while its node has no hook, or too big.
  Sock d("dirty");
  ASSERT_EQ(d.error(), 0);
  ASSERT_EQ(write(d.ds(), "abc", 3), 3);
  std::string huge(NGSIM_MAX_ITEM + 100, 'h');
  (void)write(d.ds(), huge.data(), huge.size());
  std::string nonul(40, 'q');
  ASSERT_EQ(write(d.ds(), nonul.data(), nonul.size()), 40);
  d.close_all();

  // Everything as it was, and the kernel still works.
  json after;
  for (int i = 0; i < 50; i++) {
    after = k.graph();
    if (after == before) break;
    usleep(20000);
  }
  EXPECT_EQ(after, before);
  EXPECT_EQ(k.graph("vj1")["nodes"].size(), 0u);
  Sock again;
  EXPECT_EQ(again.error(), 0);
  EXPECT_EQ(again.connect(".", "keeper:h", "y", "z"), 0);
}

TEST(BadInput, ManyClientsHangingUpAtOnce) {
  e2e::Kernel k;
  std::vector<pid_t> kids;
  for (int i = 0; i < 8; i++) {
    pid_t pid = fork();
    if (pid == 0) {
      Sock s;
      for (int j = 0; j < 20; j++) s.mkpeer(".", "hub", "h" + std::to_string(j), "x");
      _exit(0);  // sockets left open to the end
    }
    kids.push_back(pid);
  }
  for (pid_t p : kids) waitpid(p, nullptr, 0);
  json g;
  for (int i = 0; i < 100; i++) {
    g = k.graph();
    if (g["nodes"].empty()) break;
    usleep(20000);
  }
  EXPECT_TRUE(g["nodes"].empty()) << g.dump();
}

}  // namespace
