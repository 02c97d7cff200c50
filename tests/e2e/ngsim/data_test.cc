// Data items between nodes, socket nodes and interface wires.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/time.h>
#include <unistd.h>

#include "harness.h"
#include "sock.h"

using e2e::Sock;

using e2e::json;

namespace {

double now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

std::string item(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

TEST(Data, ItemsPassWholeOnePerReadWithinFreeBSDsBufferSpace) {
  e2e::Kernel k;
  EXPECT_EQ(k.ok({"sysctl", "net.graph.recvspace"}), "net.graph.recvspace: 20480\n");
  EXPECT_EQ(k.ok({"sysctl", "net.graph.maxdgram"}), "net.graph.maxdgram: 20480\n");
  Sock a("a"), b("b");
  ASSERT_EQ(a.error(), 0);
  ASSERT_EQ(b.error(), 0);
  ASSERT_EQ(a.connect(".", "b:", "out", "in"), 0);
  std::string hook;
  for (size_t n : {size_t(1), size_t(1500), size_t(20480)}) {
    std::string x = item(n, static_cast<char>(n));
    ASSERT_EQ(a.send("out", x), 0) << n;
    EXPECT_TRUE(b.recv(2, &hook) == x) << n;
    EXPECT_EQ(hook, "in") << "the hook it came in on";
  }
  EXPECT_EQ(a.send("out", item(20481, 1)), EMSGSIZE) << "larger than maxdgram";
  // Two items are two reads, each whole; both ways.
  ASSERT_EQ(a.send("out", "first"), 0);
  ASSERT_EQ(a.send("out", "second"), 0);
  EXPECT_EQ(b.recv(), "first");
  EXPECT_EQ(b.recv(), "second");
  ASSERT_EQ(b.send("in", "back"), 0);
  EXPECT_EQ(a.recv(), "back");
  EXPECT_EQ(a.send("nohook", "lost"), EHOSTUNREACH) << "a hook that leads nowhere";
  EXPECT_EQ(b.recv(0.2), "");

  // New limits hold for the sockets made afterwards.
  EXPECT_EQ(k.ok({"sysctl", "net.graph.maxdgram=262144"}),
            "net.graph.maxdgram: 20480 -> 262144\n");
  k.ok({"sysctl", "net.graph.recvspace=524288"});
  EXPECT_EQ(a.send("out", item(65536, 2)), EMSGSIZE);
  Sock c("c"), d("d");
  ASSERT_EQ(c.connect(".", "d:", "out", "in"), 0);
  std::string big = item(262144, 3);
  ASSERT_EQ(c.send("out", big), 0);
  EXPECT_TRUE(d.recv() == big);
}

TEST(Data, ReaderFullDropsWholeItemsAndNeverBlocks) {
  e2e::Kernel k;
  Sock a("a"), b("b");
  ASSERT_EQ(a.connect(".", "b:", "out", "in"), 0);
  // b reads nothing: 20 items of 1000 bytes fit in 20480, the next does not,
  // and its sender is told.
  double t0 = now();
  for (size_t i = 0; i < 20; i++) {
    std::string x = item(1000, static_cast<char>(i));
    memcpy(&x[0], &i, sizeof i);
    ASSERT_EQ(a.send("out", x), 0) << i;
  }
  EXPECT_EQ(a.send("out", item(1000, 9)), ENOBUFS);
  EXPECT_EQ(a.send("out", item(480, 9)), 0) << "what still fits goes";
  // The kernel still answers while b is full.
  json g = k.graph();
  EXPECT_EQ(g["nodes"].size(), 2u);
  EXPECT_LT(now() - t0, 5.0);
  std::vector<std::string> got = b.drain(0.3);
  ASSERT_EQ(got.size(), 21u);
  for (size_t i = 0; i < 20; i++) {
    ASSERT_EQ(got[i].size(), 1000u);
    size_t seq;
    memcpy(&seq, got[i].data(), sizeof seq);
    ASSERT_EQ(seq, i) << "the first ones are kept, in order";
  }
  // Once read, there is room again; tiny items count too, a room of 20480
  // bytes holds at most 320 of them.
  size_t sent = 0;
  while (sent < 400 && a.send("out", "x") == 0) sent++;
  EXPECT_EQ(sent, 320u);
  EXPECT_EQ(b.drain(0.3).size(), 320u);
  ASSERT_EQ(a.send("out", "again"), 0);
  EXPECT_EQ(b.recv(), "again");
}

TEST(Data, HubTeeEchoAndHoleMoveItemsAsTheirPagesSay) {
  e2e::Kernel k;
  Sock s("s"), l("l"), r("r"), tap("tap");
  ASSERT_EQ(s.error(), 0);
  // A hub repeats to every other hook.
  ASSERT_EQ(s.mkpeer(".", "hub", "hub", "0"), 0);
  ASSERT_EQ(s.connect("hub", "l:", "1", "h"), 0);
  ASSERT_EQ(s.connect("hub", "r:", "2", "h"), 0);
  ASSERT_EQ(s.send("hub", "to all"), 0);
  EXPECT_EQ(l.recv(), "to all");
  EXPECT_EQ(r.recv(), "to all");
  EXPECT_EQ(s.recv(0.2), "") << "not back to the sender";

  // A tee: left to right with a copy on left2right, and the other way.
  ASSERT_EQ(s.mkpeer(".", "tee", "tee", "left"), 0);
  ASSERT_EQ(s.connect("tee", "r:", "right", "t"), 0);
  ASSERT_EQ(s.connect("tee", "tap:", "left2right", "l2r"), 0);
  ASSERT_EQ(s.send("tee", "rightwards"), 0);
  EXPECT_EQ(r.recv(), "rightwards");
  EXPECT_EQ(tap.recv(), "rightwards");
  ASSERT_EQ(r.send("t", "leftwards"), 0);
  EXPECT_EQ(s.recv(), "leftwards");
  EXPECT_EQ(tap.recv(0.2), "") << "right2left is not connected";

  // An echo sends back what comes in; a hole swallows it.
  ASSERT_EQ(s.mkpeer(".", "echo", "echo", "e"), 0);
  ASSERT_EQ(s.send("echo", "ping"), 0);
  EXPECT_EQ(s.recv(), "ping");
  ASSERT_EQ(s.mkpeer(".", "hole", "hole", "x"), 0);
  ASSERT_EQ(s.send("hole", "gone"), 0);
  EXPECT_EQ(s.recv(0.2), "");

  // Echoes on a hub make loops that grow with every round; the kernel
  // cuts them short and goes on answering.
  ASSERT_EQ(s.mkpeer(".", "hub", "loop", "in"), 0);
  for (const char* e : {"e1", "e2", "e3"}) ASSERT_EQ(s.mkpeer("loop", "echo", e, "x"), 0);
  double t0 = now();
  ASSERT_EQ(s.send("loop", "round"), 0);
  size_t n = s.drain(0.3).size();
  EXPECT_GT(n, 0u);
  EXPECT_LE(n, 4096u);
  EXPECT_EQ(k.graph()["nodes"].size(), 12u) << k.graph().dump();
  EXPECT_LT(now() - t0, 5.0);
}

TEST(Wire, InjectedFramesReachLowerAndLowerReachesTheWire) {
  e2e::Kernel k;
  k.iface("em0");
  std::vector<std::string> frames = {e2e::ether_frame(60, 1),
                                     e2e::ether_frame(1514, 2)};
  // Nothing on lower: the stack takes the frames and drops them.
  e2e::Proc p = k.ngsim({"wire", "inject", "em0"}, e2e::with_input(e2e::pcap_file(frames)));
  ASSERT_EQ(p.status, 0) << p.err;

  Sock s("s");
  ASSERT_EQ(s.connect(".", "em0:", "lower", "lower"), 0);
  p = k.ngsim({"wire", "inject", "em0"}, e2e::with_input(e2e::pcap_file(frames)));
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(s.recv() == frames[0]);
  EXPECT_TRUE(s.recv() == frames[1]);
  EXPECT_EQ(s.recv(0.2).size(), 0u);

  e2e::Background listen({e2e::bin_path("ngsim"), "wire", "listen", "em0",
                          "--count", "2", "--timeout", "5"});
  ASSERT_EQ(listen.read_out(24, 5).size(), 24u)
      << "the file header comes before any frame";
  ASSERT_EQ(s.send("lower", frames[1]), 0);
  ASSERT_EQ(s.send("lower", frames[0]), 0);
  e2e::Proc l = listen.wait(5);
  EXPECT_EQ(l.status, 0) << l.err;
  uint32_t lt = 0;
  std::vector<e2e::Packet> got = e2e::read_pcap(l.out, &lt);
  EXPECT_EQ(lt, 1u);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].data == frames[1]);
  EXPECT_EQ(got[0].origlen, 1514u);
  EXPECT_TRUE(got[1].data == frames[0]);

  // Upper leads into the stack, never onto the wire.
  ASSERT_EQ(s.connect(".", "em0:", "upper", "upper"), 0);
  e2e::Background quiet({e2e::bin_path("ngsim"), "wire", "listen", "em0",
                         "--timeout", "0.5"});
  ASSERT_EQ(quiet.read_out(24, 5).size(), 24u);
  ASSERT_EQ(s.send("upper", frames[0]), 0);
  e2e::Proc q = quiet.wait(5);
  EXPECT_EQ(q.status, 0);
  EXPECT_TRUE(e2e::read_pcap(q.out).empty());
}

TEST(Wire, InjectCommandSendsEachPacketThroughItsOwnSocketNode) {
  e2e::Kernel k;
  Sock s("sink");
  ASSERT_EQ(s.error(), 0);
  std::vector<std::string> frames = {e2e::ether_frame(100, 3),
                                     e2e::ether_frame(200, 4),
                                     e2e::ether_frame(300, 5)};
  e2e::Proc p = k.ngsim({"inject", "sink:in"}, e2e::with_input(e2e::pcap_file(frames)));
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(s.drain(0.3) == frames);
  // It went through libnetgraph, so the kernel traced its connect.
  std::vector<json> t = k.trace();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back()["cmd"], 3);
  EXPECT_EQ(t.back()["path"], ".");
  EXPECT_TRUE(t.back()["errno"].is_null());
  // Its node went when it finished.
  json g = k.graph();
  EXPECT_EQ(g["nodes"].size(), 1u) << g.dump();

  p = k.ngsim({"inject", "nosuch:in"}, e2e::with_input(e2e::pcap_file(frames)));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngsim: cannot connect to nosuch:in: No such file or directory\n");
  p = k.ngsim({"inject", "sink"}, e2e::with_input(e2e::pcap_file(frames)));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngsim: bad hook address \"sink\" (NODE:HOOK)\n");
}

}  // namespace
