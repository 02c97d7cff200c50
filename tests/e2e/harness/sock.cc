#include "sock.h"

#include <netgraph.h>
#include <netgraph/ng_message.h>

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace e2e {

// Room for the largest data item and then some, so that none is cut.
constexpr size_t NGSIM_ITEM_ROOM = 300000;

// A fixed-width, NUL-padded field as netgraph's records hold them.
static void put(char* field, size_t width, const std::string& s) {
  memset(field, 0, width);
  memcpy(field, s.data(), s.size() < width ? s.size() : width);
}

Sock::Sock(const std::string& name, bool data) {
  if (NgMkSockNode(name.empty() ? nullptr : name.c_str(), &cs_,
                   data ? &ds_ : nullptr) < 0) {
    error_ = errno;
    cs_ = ds_ = -1;
  }
}

Sock::~Sock() { close_all(); }

void Sock::close_all() {
  if (ds_ >= 0) close(ds_);
  if (cs_ >= 0) close(cs_);
  cs_ = ds_ = -1;
}

int Sock::msg(const std::string& path, uint32_t cookie, uint32_t cmd,
              const void* arg, size_t arglen) {
  if (NgSendMsg(cs_, path.c_str(), static_cast<int>(cookie),
                static_cast<int>(cmd), arg, arglen) < 0)
    return errno;
  return 0;
}

int Sock::mkpeer(const std::string& path, const std::string& type,
                 const std::string& ourhook, const std::string& peerhook) {
  ngm_mkpeer m;
  put(m.type, sizeof m.type, type);
  put(m.ourhook, sizeof m.ourhook, ourhook);
  put(m.peerhook, sizeof m.peerhook, peerhook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_MKPEER, &m, sizeof m);
}

int Sock::connect(const std::string& path, const std::string& peer,
                  const std::string& ourhook, const std::string& peerhook) {
  ngm_connect m;
  put(m.path, sizeof m.path, peer);
  put(m.ourhook, sizeof m.ourhook, ourhook);
  put(m.peerhook, sizeof m.peerhook, peerhook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_CONNECT, &m, sizeof m);
}

int Sock::name(const std::string& path, const std::string& name) {
  ngm_name m;
  put(m.name, sizeof m.name, name);
  return msg(path, NGM_GENERIC_COOKIE, NGM_NAME, &m, sizeof m);
}

int Sock::rmhook(const std::string& path, const std::string& hook) {
  ngm_rmhook m;
  put(m.ourhook, sizeof m.ourhook, hook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_RMHOOK, &m, sizeof m);
}

int Sock::shutdown(const std::string& path) {
  return msg(path, NGM_GENERIC_COOKIE, NGM_SHUTDOWN);
}

int Sock::reply(std::vector<uint8_t>& out) {
  ng_mesg* rep = nullptr;
  char path[NG_PATHSIZ];
  int n = NgAllocRecvMsg(cs_, &rep, path);
  if (n < 0) return errno;
  out.assign(reinterpret_cast<uint8_t*>(rep->data),
             reinterpret_cast<uint8_t*>(rep->data) + rep->header.arglen);
  free(rep);
  return 0;
}

static Info to_info(const nodeinfo& ni) {
  Info i;
  i.name = std::string(ni.name, strnlen(ni.name, sizeof ni.name));
  i.type = std::string(ni.type, strnlen(ni.type, sizeof ni.type));
  i.id = ni.id;
  i.hooks = ni.hooks;
  return i;
}

int Sock::info(const std::string& path, Info& out) {
  int e = msg(path, NGM_GENERIC_COOKIE, NGM_NODEINFO);
  if (e != 0) return e;
  std::vector<uint8_t> r;
  if ((e = reply(r)) != 0) return e;
  if (r.size() != sizeof(nodeinfo)) return EPROTO;
  nodeinfo ni;
  memcpy(&ni, r.data(), sizeof ni);
  out = to_info(ni);
  return 0;
}

int Sock::hooks(const std::string& path, Info& node, std::vector<Link>& links) {
  int e = msg(path, NGM_GENERIC_COOKIE, NGM_LISTHOOKS);
  if (e != 0) return e;
  std::vector<uint8_t> r;
  if ((e = reply(r)) != 0) return e;
  if (r.size() < sizeof(hooklist)) return EPROTO;
  hooklist hl;
  memcpy(&hl, r.data(), sizeof hl);
  node = to_info(hl.nodeinfo);
  links.clear();
  for (size_t off = sizeof hl; off + sizeof(linkinfo) <= r.size();
       off += sizeof(linkinfo)) {
    linkinfo li;
    memcpy(&li, r.data() + off, sizeof li);
    Link l;
    l.ourhook = li.ourhook;
    l.peerhook = li.peerhook;
    l.peer = to_info(li.nodeinfo);
    links.push_back(l);
  }
  return 0;
}

int Sock::list(bool names_only, std::vector<Info>& out) {
  int e = msg(".", NGM_GENERIC_COOKIE, names_only ? NGM_LISTNAMES : NGM_LISTNODES);
  if (e != 0) return e;
  std::vector<uint8_t> r;
  if ((e = reply(r)) != 0) return e;
  uint32_t n;
  memcpy(&n, r.data(), 4);
  out.clear();
  for (uint32_t i = 0; i < n; i++) {
    nodeinfo ni;
    memcpy(&ni, r.data() + 4 + i * sizeof ni, sizeof ni);
    out.push_back(to_info(ni));
  }
  return 0;
}

int Sock::send(const std::string& hook, const std::string& bytes) {
  if (NgSendData(ds_, hook.c_str(),
                 reinterpret_cast<const u_char*>(bytes.data()),
                 bytes.size()) < 0)
    return errno;
  return 0;
}

std::string Sock::recv(double timeout, std::string* hook) {
  static char buf[NGSIM_ITEM_ROOM];
  for (;;) {
    pollfd p = {ds_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout * 1000));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    char name[NG_HOOKSIZ] = "";
    ssize_t n = hook ? NgRecvData(ds_, reinterpret_cast<u_char*>(buf), sizeof buf, name)
                     : read(ds_, buf, sizeof buf);
    if (hook) *hook = name;
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? std::string(buf, n) : "";
  }
}

std::vector<std::string> Sock::drain(double quiet, size_t max) {
  std::vector<std::string> v;
  while (v.size() < max) {
    std::string s = recv(quiet);
    if (s.empty()) break;
    v.push_back(std::move(s));
  }
  return v;
}

}  // namespace e2e
