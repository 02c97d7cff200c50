// The kernel's state machine on its own: nodes and hooks with their
// callbacks, generic messages and replies, jails, the linker, fault rules.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "../../../compat/include/netgraph/ng_message.h"
#include "kernel.h"

namespace ngsim {
namespace {

// A type that records what the kernel tells it and refuses hooks named "no".
struct Log {
  std::vector<std::string> events;
};

class Probe : public NodeOps {
 public:
  explicit Probe(Log& log) : log_(log) {}
  int newhook(Node&, const std::string& name, Node&, const std::string&) override {
    log_.events.push_back("newhook " + name);
    return name == "no" ? EINVAL : 0;
  }
  void connected(Node&, Hook& h) override { log_.events.push_back("connected " + h.name); }
  void disconnect(Node&, Hook& h) override {
    log_.events.push_back("disconnect " + h.name + " from " + h.peer_hook);
  }
  bool shutdown(Node&) override {
    log_.events.push_back("shutdown");
    return true;
  }
  int rcvdata(Node&, Hook& h, const uint8_t* d, size_t n) override {
    log_.events.push_back("data " + h.name + " " + std::string(reinterpret_cast<const char*>(d), n));
    return 0;
  }
  void queue_reply(Node&, ng_id from, const std::vector<uint8_t>& m) override {
    replies.emplace_back(from, m);
  }
  std::vector<std::pair<ng_id, std::vector<uint8_t>>> replies;

 private:
  Log& log_;
};

class KernelTest : public ::testing::Test {
 protected:
  KernelTest() {
    register_builtin_types(k);
    k.register_type({"probe", "netgraph", [this](KernelApi&, Node&) {
                       return std::unique_ptr<NodeOps>(new Probe(log));
                     }});
  }
  Node* make(const std::string& type, int vnet = 0, const std::string& name = "") {
    int e;
    Node* n = k.make_node_in(type, vnet, e);
    EXPECT_NE(n, nullptr) << type << ": " << e;
    if (n && !name.empty()) {
      EXPECT_EQ(k.name_node(*n, name), 0);
    }
    return n;
  }
  // A generic message from `from`; 0 or the verdict.
  int send(Node& from, const std::string& path, uint32_t cmd, const void* arg = nullptr,
           size_t len = 0, uint32_t cookie = NGM_GENERIC_COOKIE) {
    std::vector<uint8_t> m(sizeof(ng_mesg) + len);
    ng_mesg* h = reinterpret_cast<ng_mesg*>(m.data());
    h->header.version = NG_VERSION;
    h->header.arglen = len;
    h->header.cmd = cmd;
    h->header.token = 77;
    h->header.typecookie = cookie;
    if (len) memcpy(m.data() + sizeof(ng_mesg), arg, len);
    Caller c;
    c.pid = 42;
    c.jail = from.vnet;
    int e = k.sendmsg(from, c, path, m.data(), m.size());
    k.reap();
    return e;
  }
  int mkpeer(Node& from, const std::string& path, const char* type, const char* ours,
             const char* theirs) {
    ngm_mkpeer a{};
    strcpy(a.type, type);
    strcpy(a.ourhook, ours);
    strcpy(a.peerhook, theirs);
    return send(from, path, NGM_MKPEER, &a, sizeof a);
  }
  Kernel k;
  Log log;
};

TEST(Names, IdFormsAndNameRules) {
  EXPECT_EQ(decode_id("[2a]"), 0x2au);
  EXPECT_EQ(decode_id("[0000002A]"), 0x2au);
  EXPECT_EQ(decode_id("[ffffffff]"), 0xffffffffu);
  for (const char* bad : {"[]", "[123456789]", "[2g]", "2a", "[2a", "2a]", "[ 2]"})
    EXPECT_EQ(decode_id(bad), 0u) << bad;
  EXPECT_TRUE(valid_node_name("a-b_c"));
  EXPECT_TRUE(valid_node_name(std::string(31, 'x')));
  EXPECT_FALSE(valid_node_name(std::string(32, 'x')));
  EXPECT_TRUE(valid_hook_name("left2right"));
  EXPECT_TRUE(valid_hook_name("[odd]")) << "brackets are fine in a hook name";
  EXPECT_FALSE(valid_hook_name("a.b"));
  EXPECT_FALSE(valid_hook_name(std::string("a\0b", 3)));
  EXPECT_STREQ(errno_name(1088), "EDOOFUS");
  EXPECT_EQ(errno_by_name("EADDRINUSE"), EADDRINUSE);
  EXPECT_EQ(errno_by_name("ENOPE"), 0);
}

TEST_F(KernelTest, HookCallbacksInOrderAndRefusalChangesNothing) {
  Node* a = make("probe", 0, "a");
  Node* b = make("probe", 0, "b");
  ASSERT_EQ(k.connect(*a, "x", *b, "y"), 0);
  EXPECT_EQ(log.events, (std::vector<std::string>{"newhook x", "newhook y", "connected x",
                                                  "connected y"}));
  log.events.clear();
  EXPECT_EQ(k.connect(*a, "z", *b, "no"), EINVAL);
  EXPECT_EQ(a->hooks.size(), 1u);
  EXPECT_EQ(b->hooks.size(), 1u);
  EXPECT_EQ(k.connect(*a, "x", *b, "w"), EEXIST);
  log.events.clear();

  uint8_t d[] = {'h', 'i'};
  EXPECT_EQ(k.send_data(*a->findhook("x"), d, 2), 0);
  EXPECT_EQ(log.events.back(), "data y hi");
  k.rmhook(*a->findhook("x"));
  EXPECT_EQ(log.events.back(), "disconnect y from x");
  EXPECT_TRUE(a->hooks.empty());
  EXPECT_TRUE(b->hooks.empty());
  // Probes stay without hooks; shutting one down tells its peer.
  ASSERT_EQ(k.connect(*a, "x", *b, "y"), 0);
  log.events.clear();
  k.shutdown(*a);
  k.reap();
  EXPECT_EQ(log.events, (std::vector<std::string>{"shutdown", "disconnect y from x"}));
  EXPECT_EQ(k.node_by_name(0, "a"), nullptr);
  // Removing calls no shutdown.
  log.events.clear();
  k.remove_node(*b);
  k.reap();
  EXPECT_TRUE(log.events.empty());
  EXPECT_TRUE(k.nodes_in(0).empty());
}

TEST_F(KernelTest, TransientTypesGoWithTheirLastHookPersistentOnesStay) {
  Node* p = make("probe");
  ASSERT_EQ(mkpeer(*p, ".", "hub", "h1", "a"), 0);
  ASSERT_EQ(mkpeer(*p, ".:h1", "hole", "b", "c"), 0);
  EXPECT_EQ(k.nodes_in(0).size(), 3u);
  // Shutting the hub down leaves the hole hookless: it goes too.
  ASSERT_EQ(send(*p, "h1", NGM_SHUTDOWN), 0);
  EXPECT_EQ(k.nodes_in(0).size(), 1u);

  Node* hub = make("hub", 0, "keep");
  hub->persistent = true;
  Node* eth = make("ether", 0, "em0");
  ASSERT_EQ(k.connect(*hub, "x", *eth, "lower"), 0);
  EXPECT_EQ(k.connect(*hub, "y", *eth, "middle"), EINVAL) << "ether's own hooks only";
  k.rmhook(*hub->findhook("x"));
  k.reap();
  EXPECT_NE(k.node_by_name(0, "keep"), nullptr);
  ASSERT_EQ(send(*p, "em0:", NGM_SHUTDOWN), 0);
  EXPECT_NE(k.node_by_name(0, "em0"), nullptr) << "an interface never goes";
}

TEST_F(KernelTest, RepliesCarryTokenCookieAndSender) {
  Node* p = make("probe", 0, "me");
  Probe* sink = static_cast<Probe*>(p->ops.get());
  Node* e = make("echo", 0, "ech");
  ASSERT_EQ(send(*p, "ech:", NGM_NODEINFO), 0);
  ASSERT_EQ(sink->replies.size(), 1u);
  EXPECT_EQ(sink->replies[0].first, e->id);
  const std::vector<uint8_t>& r = sink->replies[0].second;
  ASSERT_EQ(r.size(), sizeof(ng_mesg) + sizeof(nodeinfo));
  ng_mesg h;
  memcpy(&h, r.data(), sizeof h);
  EXPECT_EQ(h.header.token, 77u);
  EXPECT_EQ(h.header.flags, static_cast<uint32_t>(NGF_RESP));
  EXPECT_EQ(h.header.cmd, static_cast<uint32_t>(NGM_NODEINFO));
  nodeinfo ni;
  memcpy(&ni, r.data() + sizeof h, sizeof ni);
  EXPECT_STREQ(ni.name, "ech");
  EXPECT_STREQ(ni.type, "echo");
  EXPECT_EQ(ni.id, e->id);
  // The echo returns its own messages; a message that fails queues nothing.
  ASSERT_EQ(send(*p, "ech:", 5, "abc", 3, 999), 0);
  ASSERT_EQ(sink->replies.size(), 2u);
  EXPECT_EQ(sink->replies[1].second.size(), sizeof(ng_mesg) + 3);
  EXPECT_EQ(send(*p, "nobody:", NGM_NODEINFO), ENOENT);
  EXPECT_EQ(sink->replies.size(), 2u);
  // Every attempt is in the trace, the refused ones with their errno.
  ASSERT_EQ(k.trace().size(), 3u);
  EXPECT_EQ(k.trace()[1].arg, "abc");
  EXPECT_EQ(k.trace()[2].error, ENOENT);
  EXPECT_EQ(k.trace()[2].pid, 42);
  // The trace keeps the latest messages and counts those it dropped.
  for (size_t i = 0; i < Kernel::kTraceMax; i++) send(*p, "ech:", 5, "abc", 3, 999);
  EXPECT_EQ(k.trace().size(), Kernel::kTraceMax);
  EXPECT_EQ(k.trace_dropped(), 3u);
  EXPECT_EQ(k.trace().front().cookie, 999u);
  k.clear_trace();
  EXPECT_TRUE(k.trace().empty());
  EXPECT_EQ(k.trace_dropped(), 0u);
}

TEST_F(KernelTest, TwinLinksCrossVnetsButPathsDoNot) {
  int jid;
  std::string msg;
  ASSERT_EQ(k.vnets.create("vj1", 0, jid, msg), 0);
  Node* a = make("probe", 0, "a");
  Node* b = make("probe", jid, "b");
  EXPECT_EQ(k.connect(*a, "x", *a, "x"), EEXIST);
  ASSERT_EQ(k.link_twin(*a, *b), 0);
  EXPECT_EQ(k.link_twin(*a, *b), EEXIST);
  Hook* t = a->findhook("twin");
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->twin);
  EXPECT_EQ(t->peer->node, b);
  Node* out = nullptr;
  EXPECT_EQ(k.resolve(*a, ".:twin", out), ENOENT);
  EXPECT_EQ(k.resolve(*a, "b:", out), ENOENT);
  char id[16];
  snprintf(id, sizeof id, "[%x]:", b->id);
  EXPECT_EQ(k.resolve(*a, id, out), ENOENT);
  ASSERT_EQ(k.resolve(*b, id, out), 0);
  EXPECT_EQ(out, b);
  // A twin link is not removed by NGM_RMHOOK.
  ngm_rmhook rm{};
  strcpy(rm.ourhook, "twin");
  EXPECT_EQ(send(*a, ".", NGM_RMHOOK, &rm, sizeof rm), EINVAL);
  EXPECT_NE(a->findhook("twin"), nullptr);
}

TEST_F(KernelTest, JailsNestAndResolveOnlyBelow) {
  int a, b, c, d;
  std::string msg;
  ASSERT_EQ(k.vnets.create("a", 0, a, msg), 0);
  ASSERT_EQ(k.vnets.create("b", a, b, msg), 0);
  ASSERT_EQ(k.vnets.create("c", b, c, msg), 0);
  ASSERT_EQ(k.vnets.create("d", 0, d, msg), 0);
  EXPECT_EQ(k.vnets.create("b", a, b, msg), EEXIST);
  EXPECT_EQ(k.vnets.create("42", 0, b, msg), EINVAL) << "a number would be ambiguous";
  int j;
  EXPECT_EQ(k.resolve_jail(0, "a.b.c", j), 0);
  EXPECT_EQ(j, c);
  EXPECT_EQ(k.resolve_jail(a, "b.c", j), 0);
  EXPECT_EQ(j, c);
  EXPECT_EQ(k.resolve_jail(a, std::to_string(c), j), 0) << "any depth";
  EXPECT_EQ(k.resolve_jail(a, std::to_string(d), j), ENOENT) << "a sibling";
  EXPECT_EQ(k.resolve_jail(b, std::to_string(a), j), ENOENT) << "a parent";
  EXPECT_EQ(k.resolve_jail(b, std::to_string(b), j), ENOENT) << "itself";
  EXPECT_EQ(k.resolve_jail(a, "a.b", j), ENOENT);
  EXPECT_EQ(k.resolve_jail(0, "a..b", j), ENOENT);
  EXPECT_EQ(k.resolve_jail(c, "0", j), 0);
  EXPECT_EQ(j, 0);
  EXPECT_EQ(k.vnets.name_of(c, 0), "a.b.c");
  EXPECT_EQ(k.vnets.name_of(c, a), "b.c");
  EXPECT_EQ(k.vnets.getid(0, "c", j, msg), ENOENT);
  EXPECT_EQ(msg, "jail \"c\" not found");
  EXPECT_EQ(k.vnets.getid(0, "0099", j, msg), ENOENT);
  EXPECT_EQ(msg, "jail 99 not found");

  EXPECT_EQ(k.vnets.attach_check(0, b, a), EINVAL) << "not below";
  EXPECT_EQ(k.vnets.attach_check(0, b, 0), EINVAL);
  EXPECT_EQ(k.vnets.attach_check(0, 0, c), 0);
  EXPECT_EQ(k.vnets.attach_check(65534, 0, a), EPERM);
}

TEST_F(KernelTest, LinkerWalksLoadedFilesAndTheirModules) {
  int f, m, id;
  ASSERT_EQ(k.kldnext(0, f), 0);
  EXPECT_EQ(f, 1);
  ASSERT_EQ(k.kldnext(1, f), 0);
  EXPECT_EQ(f, 0) << "only the kernel is loaded";
  EXPECT_EQ(k.kldnext(9, f), ENOENT);
  std::vector<std::string> names;
  ASSERT_EQ(k.kldfirstmod(1, m), 0);
  while (m != 0) {
    std::string n;
    int refs;
    ASSERT_EQ(k.modstat(m, n, refs), 0);
    names.push_back(n);
    ASSERT_EQ(k.modfnext(m, m), 0);
  }
  EXPECT_EQ(names.size(), 7u);
  EXPECT_EQ(names[0], "netgraph");
  Caller root;
  EXPECT_EQ(k.kldload(root, "/boot/kernel/ng_pcap.ko", id), 0);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(k.kldload(root, "ng_pcap", id), EEXIST);
  EXPECT_EQ(k.kldload(root, "ng_nothing", id), ENOENT);
  EXPECT_EQ(k.kldfind("ng_pcap.ko", f), 0);
  EXPECT_EQ(f, 2);
  EXPECT_EQ(k.modfind("ng_pcap", m), 0);
  EXPECT_EQ(k.modfind("ng_socket", m), ENOENT) << "not loaded";
  EXPECT_FALSE(k.type_loaded("socket"));
  // Adding a loaded file is the admin's doing: fault rules do not apply.
  k.faults.push_back({FaultOp::kldload, {}, {}, {}, 0, 0, EIO});
  EXPECT_EQ(k.kld_add("extra.ko", {"a/ng_x", "b"}, true), 0);
  EXPECT_EQ(k.kldload(root, "ng_socket", id), EIO);
  EXPECT_EQ(k.faults[0].seen, 1);
  ASSERT_EQ(k.kldnext(2, f), 0);
  EXPECT_EQ(f, 3);
  Caller jailed;
  jailed.jail = 1;
  EXPECT_EQ(k.kldload(jailed, "ng_socket", id), EPERM);
}

TEST_F(KernelTest, FaultRulesCountFromTheirOwnStart) {
  Node* p = make("probe");
  k.faults.push_back({FaultOp::msg, {}, 2u, {}, 3, 0, EDOM});
  EXPECT_EQ(mkpeer(*p, ".", "hub", "a", "x"), 0);
  EXPECT_EQ(send(*p, ".", NGM_NODEINFO), 0) << "another command";
  EXPECT_EQ(mkpeer(*p, ".", "hub", "b", "x"), 0);
  k.faults.push_back({FaultOp::msg, {}, {}, std::string("a"), 1, 0, EIO});
  EXPECT_EQ(mkpeer(*p, ".", "hub", "c", "x"), EDOM) << "third mkpeer of the first rule";
  EXPECT_EQ(mkpeer(*p, "a", "hub", "c", "x"), EIO);
  EXPECT_EQ(mkpeer(*p, "a", "hub", "c", "x"), 0) << "each rule fires once with --nth";
  EXPECT_EQ(k.faults[0].seen, 5);
  EXPECT_EQ(k.faults[1].seen, 2);
}

}  // namespace
}  // namespace ngsim
