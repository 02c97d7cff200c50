// The portal node between vnets: opening into a jail, the twin and its
// listing, data through the passage, refusals, collapse and lifetime.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "ngclient.h"

using namespace types_test;

namespace {

constexpr uint32_t kWhCookie = 1742462349;
constexpr uint32_t kOpen = 1;

template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 100; i++) {
    if (cond()) return true;
    usleep(20000);
  }
  return cond();
}

struct Ends {
  uint32_t near = 0, far = 0;
};

class Wormhole : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(c.ok());
    vj1 = k.jail("vj1");
    vj2 = k.jail("vj2");
    ASSERT_GT(vj1, 0);
    ASSERT_GT(vj2, 0);
  }

  // A new end joined to the test's socket node through its hook `tmp`.
  uint32_t create(const std::string& tmp = "tmp") {
    EXPECT_EQ(c.mkpeer(".", "wormhole", tmp, "evthorizon"), 0);
    return c.node_id(".:" + tmp);
  }
  int open(uint32_t wh, const std::string& ref) {
    return c.msg(addr(wh), kWhCookie, kOpen, ref.c_str(), ref.size() + 1);
  }
  // An end opened into `jail`, its hook "evthorizon" left free, as the
  // portal program leaves it.
  Ends opened(const std::string& jail, const std::string& tmp = "tmp") {
    Ends e;
    e.near = create(tmp);
    EXPECT_NE(e.near, 0u);
    EXPECT_EQ(open(e.near, jail), 0);
    e.far = twin_of(e.near);
    EXPECT_EQ(c.rmhook(addr(e.near), "evthorizon"), 0);
    return e;
  }

  // The peer of an end's "twin" hook, 0 when it has none.
  uint32_t twin_of(uint32_t wh) {
    HookList l = c.listhooks(addr(wh));
    const Link* t = l.find("twin");
    return t == nullptr ? 0 : t->peer;
  }

  static const e2e::json* twin_entry(const e2e::json& g, uint32_t id) {
    const e2e::json* n = e2e::node_with_id(g, id);
    return n == nullptr ? nullptr : e2e::hook_of(*n, "twin");
  }

  e2e::Kernel k;
  Client c;
  int vj1 = 0, vj2 = 0;
};

TEST_F(Wormhole, OpenMakesALinkedTwinInTheJail) {
  uint32_t near = create();
  ASSERT_NE(near, 0u);
  uint32_t me = c.node_id(".");
  ASSERT_EQ(open(near, "vj1"), 0);

  HookList l = c.listhooks(addr(near));
  ASSERT_EQ(l.error, 0);
  EXPECT_EQ(l.type, "wormhole");
  ASSERT_EQ(l.hooks, 2u);
  ASSERT_EQ(l.links.size(), 2u);
  const Link* ev = l.find("evthorizon");
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev->peer, me);
  EXPECT_EQ(ev->peerhook, "tmp");
  const Link* tw = l.find("twin");
  ASSERT_NE(tw, nullptr);
  EXPECT_EQ(tw->peertype, "wormhole");
  EXPECT_EQ(tw->peerhook, "twin");
  uint32_t far = tw->peer;
  EXPECT_NE(far, near);

  // The twin lives in vj1's vnet, not in the host's.
  EXPECT_EQ(e2e::node_with_id(k.graph(), far), nullptr);
  e2e::json g1 = k.graph("vj1");
  const e2e::json* t = twin_entry(g1, far);
  ASSERT_NE(t, nullptr) << g1.dump();
  EXPECT_EQ((*t)["peer"], near);
  EXPECT_EQ((*t)["peerhook"], "twin");
  EXPECT_EQ((*t)["peerjail"], 0);
  EXPECT_EQ(e2e::node_with_id(g1, far)->at("type"), "wormhole");

  // From inside the jail the listed ID reaches the twin, itself opened.
  int r = in_jail(vj1, [&] {
    Client j(false);
    HookList fl = j.listhooks(addr(far));
    if (fl.error != 0) return 100 + fl.error;
    const Link* back = fl.find("twin");
    return fl.hooks == 1 && back != nullptr && back->peer == near ? 0 : 1;
  });
  EXPECT_EQ(r, 0);

  EXPECT_EQ(open(near, "vj2"), EISCONN);
  EXPECT_EQ(open(near, "vj1"), EISCONN);
  EXPECT_EQ(c.listhooks(addr(near)).hooks, 2u);
}

TEST_F(Wormhole, OpenResolvesJailsBelowItsOwn) {
  int inner = k.jail("inner", "vj1");
  ASSERT_GT(inner, 0);
  Ends byname = opened("vj1.inner", "a");
  EXPECT_NE(byname.far, 0u);
  EXPECT_NE(twin_entry(k.graph("vj1.inner"), byname.far), nullptr);
  Ends bynum = opened(std::to_string(vj2), "b");
  EXPECT_NE(twin_entry(k.graph("vj2"), bynum.far), nullptr);

  // From inside vj1 its own child jail is "inner".
  int r = in_jail(vj1, [&] {
    Client j(false);
    if (j.mkpeer(".", "wormhole", "tmp", "evthorizon") != 0) return -2;
    uint32_t w = j.node_id(".:tmp");
    std::string ref = "inner";
    int e1 = j.msg(addr(w), kWhCookie, kOpen, ref.c_str(), ref.size() + 1);
    if (e1 != 0) return e1;
    uint32_t w2 = (j.mkpeer(".", "wormhole", "tmp2", "evthorizon"), j.node_id(".:tmp2"));
    ref = "vj2";  // a sibling, not below
    return j.msg(addr(w2), kWhCookie, kOpen, ref.c_str(), ref.size() + 1) == ENOENT ? 0 : -3;
  });
  EXPECT_EQ(r, 0);
}

TEST_F(Wormhole, OpenRefusalsLeaveTheEndUnopened) {
  uint32_t w = create();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(open(w, "nosuch"), ENOENT);
  EXPECT_EQ(open(w, "99"), ENOENT);
  EXPECT_EQ(open(w, "0"), EINVAL) << "its own vnet";
  EXPECT_EQ(open(w, ""), EINVAL);
  EXPECT_EQ(c.msg(addr(w), kWhCookie, kOpen, "vj1", 3), EINVAL) << "no NUL";
  EXPECT_EQ(c.msg(addr(w), kWhCookie, kOpen, nullptr, 0), EINVAL);
  EXPECT_EQ(c.msg(addr(w), kWhCookie, 2, "vj1", 4), EINVAL);
  EXPECT_EQ(c.msg(addr(w), kWhCookie + 1, kOpen, "vj1", 4), EINVAL);
  HookList l = c.listhooks(addr(w));
  EXPECT_EQ(l.hooks, 1u);
  EXPECT_EQ(l.find("twin"), nullptr);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj1"), "wormhole").empty());
  // Still able to open after all that.
  EXPECT_EQ(open(w, "vj1"), 0);
}

TEST_F(Wormhole, AcceptsOnlyEvthorizonAndOnlyWhenOpened) {
  EXPECT_EQ(c.mkpeer(".", "wormhole", "x", "other"), EINVAL);
  EXPECT_EQ(c.mkpeer(".", "wormhole", "x", "twin"), EINVAL);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "wormhole").empty());

  Ends e = opened("vj1");
  EXPECT_EQ(c.connect(".", addr(e.near), "x", "Evthorizon"), EINVAL);
  EXPECT_EQ(c.connect(".", addr(e.near), "x", "upper"), EINVAL);
  // A new end is not opened: joining an opened end's "evthorizon" to it is
  // refused, and the new end does not stay.
  EXPECT_EQ(c.mkpeer(addr(e.near), "wormhole", "evthorizon", "evthorizon"), EINVAL);
  EXPECT_EQ(e2e::nodes_of_type(k.graph(), "wormhole").size(), 1u);
  // Any other node may join an opened end.
  EXPECT_EQ(c.connect(".", addr(e.near), "x", "evthorizon"), 0);
}

TEST_F(Wormhole, DataPassesBothWays) {
  k.iface("e1", "vj1");
  uint32_t near = create();
  ASSERT_EQ(open(near, "vj1"), 0);
  uint32_t far = twin_of(near);
  ASSERT_NE(far, 0u);
  int r = in_jail(vj1, [&] {
    Client j(false);
    return j.connect("e1:", addr(far), "lower", "evthorizon");
  });
  ASSERT_EQ(r, 0);

  e2e::Background listen({e2e::bin_path("ngsim"), "wire", "listen", "e1", "--jail", "vj1",
                          "--count", "2", "--timeout", "5"});
  ASSERT_EQ(listen.read_out(24, 5).size(), 24u) << "listening";
  std::string f1 = e2e::ether_frame(60, 1), f2 = e2e::ether_frame(1514, 2);
  ASSERT_EQ(c.send("tmp", f1), 0);
  ASSERT_EQ(c.send("tmp", f2), 0);
  e2e::Proc p = listen.wait(10);
  std::vector<e2e::Packet> out = e2e::read_pcap(p.out);
  ASSERT_EQ(out.size(), 2u) << p.err;
  EXPECT_EQ(out[0].data, f1);
  EXPECT_EQ(out[1].data, f2);

  // The other way: into the far end's "evthorizon", from inside the jail.
  ASSERT_EQ(in_jail(vj1, [] { return Client(false).rmhook("e1:", "lower"); }), 0);
  std::string into = addr(far) + "evthorizon";
  std::string f3 = e2e::ether_frame(100, 3), f4 = e2e::ether_frame(64, 4);
  e2e::RunOpts in;
  in.input = e2e::pcap_file({f3, f4});
  k.ok({"inject", into, "--jail", "vj1"}, in);
  EXPECT_EQ(c.recv(), f3);
  EXPECT_EQ(c.recv(), f4);

  // While the near end's "evthorizon" is free, what comes through is
  // dropped, not kept for later.
  ASSERT_EQ(c.rmhook(".", "tmp"), 0);
  k.ok({"inject", into, "--jail", "vj1"}, in);
  // The injecting socket node goes once the kernel has read all it sent.
  ASSERT_TRUE(eventually([&] { return e2e::nodes_of_type(k.graph("vj1"), "socket").empty(); }));
  ASSERT_EQ(c.connect(".", addr(near), "back", "evthorizon"), 0);
  std::string f5 = e2e::ether_frame(70, 5);
  in.input = e2e::pcap_file({f5});
  k.ok({"inject", into, "--jail", "vj1"}, in);
  EXPECT_EQ(c.recv(), f5);
  EXPECT_EQ(c.recv(0.2), "");
}

TEST_F(Wormhole, JoiningTwoOpenedEndsCollapsesThem) {
  k.iface("e2", "vj2");
  Ends a = opened("vj1", "t1");
  Ends b = opened("vj2", "t2");
  ASSERT_NE(a.far, 0u);
  ASSERT_NE(b.far, 0u);
  ASSERT_EQ(c.connect(addr(a.near), addr(b.near), "evthorizon", "evthorizon"), 0);

  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "wormhole").empty()) << "near ends removed";
  e2e::json g1 = k.graph("vj1"), g2 = k.graph("vj2");
  const e2e::json* t1 = twin_entry(g1, a.far);
  const e2e::json* t2 = twin_entry(g2, b.far);
  ASSERT_NE(t1, nullptr) << g1.dump();
  ASSERT_NE(t2, nullptr) << g2.dump();
  EXPECT_EQ((*t1)["peer"], b.far);
  EXPECT_EQ((*t1)["peerjail"], vj2);
  EXPECT_EQ((*t2)["peer"], a.far);
  EXPECT_EQ((*t2)["peerjail"], vj1);

  // One passage from vj1 to vj2's e2.
  ASSERT_EQ(in_jail(vj2, [&] { return Client(false).connect("e2:", addr(b.far), "lower",
                                                           "evthorizon"); }), 0);
  e2e::Background listen({e2e::bin_path("ngsim"), "wire", "listen", "e2", "--jail", "vj2",
                          "--count", "1", "--timeout", "5"});
  ASSERT_EQ(listen.read_out(24, 5).size(), 24u);
  std::string f = e2e::ether_frame(80, 9);
  e2e::RunOpts in;
  in.input = e2e::pcap_file({f});
  k.ok({"inject", addr(a.far) + "evthorizon", "--jail", "vj1"}, in);
  std::vector<e2e::Packet> out = e2e::read_pcap(listen.wait(10).out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, f);

  // The new twins hold each other: shutting one down takes the other.
  ASSERT_EQ(in_jail(vj1, [&] { return Client(false).shutdown(addr(a.far)); }), 0);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj1"), "wormhole").empty());
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj2"), "wormhole").empty());
}

TEST_F(Wormhole, CollapseIntoOneVnetIsRefusedAndChangesNothing) {
  Ends a = opened("vj1", "t1");
  Ends b = opened("vj1", "t2");
  e2e::json host = k.graph(), g1 = k.graph("vj1");
  EXPECT_EQ(c.connect(addr(a.near), addr(b.near), "evthorizon", "evthorizon"), EDOOFUS);
  EXPECT_EQ(k.graph(), host);
  EXPECT_EQ(k.graph("vj1"), g1);
  EXPECT_EQ(twin_of(a.near), a.far);
  EXPECT_EQ(twin_of(b.near), b.far);
}

TEST_F(Wormhole, LifetimeFollowsTheTwin) {
  // Never opened: goes with its last hook.
  create("t0");
  ASSERT_EQ(c.rmhook(".", "t0"), 0);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "wormhole").empty());

  // Opened: survives losing "evthorizon", even with its maker gone.
  uint32_t near, far;
  {
    Client maker;
    ASSERT_EQ(maker.mkpeer(".", "wormhole", "tmp", "evthorizon"), 0);
    near = maker.node_id(".:tmp");
    ASSERT_EQ(maker.msg(addr(near), kWhCookie, kOpen, "vj1", 4), 0);
    const Link* t = maker.listhooks(addr(near)).find("twin");
    ASSERT_NE(t, nullptr);
    far = t->peer;
  }
  ASSERT_TRUE(eventually([&] { return c.listhooks(addr(near)).hooks == 1; }));
  EXPECT_NE(twin_entry(k.graph("vj1"), far), nullptr);

  // Shutting one end down shuts its twin down, from either side.
  ASSERT_EQ(c.shutdown(addr(near)), 0);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj1"), "wormhole").empty());
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "wormhole").empty());

  Ends e = opened("vj2");
  ASSERT_EQ(in_jail(vj2, [&] { return Client(false).shutdown(addr(e.far)); }), 0);
  EXPECT_TRUE(e2e::nodes_of_type(k.graph(), "wormhole").empty());
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj2"), "wormhole").empty());
}

}  // namespace
