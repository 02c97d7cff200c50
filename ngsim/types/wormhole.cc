#include "wormhole.h"

#include <cerrno>
#include <cstring>

#include "../node.h"
#include "../proto.h"

namespace ngwormhole {

int parse_open_arg(const uint8_t* arg, size_t arglen, std::string& ref) {
  if (arg == nullptr || arglen == 0) return EINVAL;
  const void* nul = memchr(arg, '\0', arglen);
  if (nul == nullptr) return EINVAL;
  size_t n = size_t(static_cast<const uint8_t*>(nul) - arg);
  if (n == 0 || n > kMaxJailRef) return EINVAL;
  ref.assign(reinterpret_cast<const char*>(arg), n);
  return 0;
}

}  // namespace ngwormhole

namespace {

using ngsim::Hook;
using ngsim::KernelApi;
using ngsim::Node;
using namespace ngwormhole;

class WormholeNode;

WormholeNode* as_wormhole(Node* n);

class WormholeNode : public ngsim::NodeOps {
 public:
  explicit WormholeNode(KernelApi& k) : k_(k) {}

  // The far end, or null while this end is not opened.
  static Node* twin_of(const Node& self) {
    Hook* h = self.findhook(kTwinHook);
    return h != nullptr && h->peer != nullptr ? h->peer->node : nullptr;
  }

  int newhook(Node& self, const std::string& name, Node& peer,
              const std::string& peerhook) override {
    if (name != kEvtHorizon) return EINVAL;
    Node* twin = twin_of(self);
    // A node that has never had a hook is being made by MKPEER, with its
    // "evthorizon" joined to the node that asked for it. Afterwards only an
    // opened end takes a connection there.
    if (twin == nullptr && (had_hook_ || self.numhooks() != 0)) return EINVAL;
    if (peer.type == kTypeName && peerhook == kEvtHorizon) {
      // Joining two ends: both must be opened, and collapsing them must
      // not leave two linked ends in one vnet.
      Node* peer_twin = twin_of(peer);
      if (twin == nullptr || peer_twin == nullptr) return EINVAL;
      if (twin->vnet == peer_twin->vnet) return NGSIM_EDOOFUS;
    }
    return 0;
  }

  void connected(Node& self, Hook& h) override {
    had_hook_ = true;
    if (!self.alive || h.name != kEvtHorizon || h.peer == nullptr) return;
    Node& peer = *h.peer->node;
    if (peer.type != kTypeName || h.peer->name != kEvtHorizon) return;
    collapse(self, peer);
  }

  int rcvmsg(Node& self, const ngsim::CtlMsg& m) override {
    if (m.cookie != kCookie || m.cmd != kCmdOpen) return EINVAL;
    return open(self, m.arg, m.arglen);
  }

  int rcvdata(Node& self, Hook& h, const uint8_t* data, size_t len) override {
    // Into "evthorizon": through the passage. From the twin: out of our
    // "evthorizon", or dropped while that hook is free.
    Hook* out = h.name == kEvtHorizon ? self.findhook(kTwinHook) : self.findhook(kEvtHorizon);
    if (out == nullptr || out->peer == nullptr) return 0;
    return k_.send_data(*out, data, len);
  }

  void disconnect(Node& self, Hook& h) override {
    if (!self.alive || dying_ || rewiring_) return;
    if (h.name == kTwinHook) {
      // The passage is gone (its far end shut down, or the link was cut):
      // this end has nothing left to be.
      k_.shutdown(self);
      return;
    }
    // An opened end is held by its twin; one that never was goes with its
    // last hook.
    if (twin_of(self) == nullptr && live_hooks(self, h) == 0) k_.shutdown(self);
  }

  bool shutdown(Node& self) override {
    dying_ = true;
    // Removing our hooks cuts the twin link; the far end sees that and
    // shuts itself down in turn.
    (void)self;
    return true;
  }

  bool rewiring_ = false;
  bool dying_ = false;

 private:
  static size_t live_hooks(const Node& n, const Hook& gone) {
    size_t c = 0;
    for (const Hook* k : n.hooks)
      if (k->alive && k != &gone) c++;
    return c;
  }

  int open(Node& self, const uint8_t* arg, size_t arglen) {
    if (twin_of(self) != nullptr) return EISCONN;
    std::string ref;
    if (int e = parse_open_arg(arg, arglen, ref)) return e;
    int jid = -1;
    if (int e = k_.resolve_jail(self.vnet, ref, jid)) return e;
    if (jid == self.vnet) return EINVAL;
    // "0" names the host, which lies below no jail.
    if (jid == 0) return ENOENT;
    int err = 0;
    Node* twin = k_.make_node(kTypeName, jid, err);
    if (twin == nullptr) return err != 0 ? err : ENOMEM;
    if (int e = k_.link_twin(self, *twin)) {
      k_.remove_node(*twin);
      return e;
    }
    return 0;
  }

  // `a` and `b` are the near ends, just joined by their "evthorizon" hooks;
  // newhook made sure both are opened and their twins lie in two vnets.
  void collapse(Node& a, Node& b) {
    Node* ta = twin_of(a);
    Node* tb = twin_of(b);
    if (ta == nullptr || tb == nullptr) return;
    WormholeNode* oa = as_wormhole(ta);
    WormholeNode* ob = as_wormhole(tb);
    WormholeNode* na = as_wormhole(&a);
    WormholeNode* nb = as_wormhole(&b);
    if (oa == nullptr || ob == nullptr || na == nullptr || nb == nullptr) return;
    // The near ends go without shutting their twins down.
    oa->rewiring_ = ob->rewiring_ = true;
    na->dying_ = nb->dying_ = true;
    k_.remove_node(a);
    k_.remove_node(b);
    int e = k_.link_twin(*ta, *tb);
    oa->rewiring_ = ob->rewiring_ = false;
    if (e != 0) {
      // Nothing holds either far end any more.
      k_.shutdown(*ta);
      k_.shutdown(*tb);
    }
  }

  KernelApi& k_;
  bool had_hook_ = false;
};

WormholeNode* as_wormhole(Node* n) {
  if (n == nullptr || !n->alive || n->type != kTypeName) return nullptr;
  return dynamic_cast<WormholeNode*>(n->ops.get());
}

}  // namespace

void ngsim_register_wormhole(ngsim::KernelApi& k) {
  k.register_type({kTypeName, "ng_wormhole", [](KernelApi& kk, Node&) {
                     return std::unique_ptr<ngsim::NodeOps>(new WormholeNode(kk));
                   }});
}
