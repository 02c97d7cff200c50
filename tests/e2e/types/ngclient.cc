#include "ngclient.h"

#include <netgraph/ng_message.h>
#include <poll.h>
#include <sys/jail.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace types_test {

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void copy_field(char* dst, size_t width, const std::string& s) {
  memset(dst, 0, width);
  strncpy(dst, s.c_str(), width - 1);
}

}  // namespace

const Link* HookList::find(const std::string& ourhook) const {
  for (const Link& l : links)
    if (l.ourhook == ourhook) return &l;
  return nullptr;
}

Client::Client(bool data) {
  if (NgMkSockNode(nullptr, &cs_, data ? &ds_ : nullptr) < 0) cs_ = ds_ = -1;
}

Client::~Client() {
  if (ds_ >= 0) close(ds_);
  if (cs_ >= 0) close(cs_);
}

int Client::msg(const std::string& path, uint32_t cookie, uint32_t cmd, const void* arg,
                size_t arglen) {
  return NgSendMsg(cs_, path.c_str(), int(cookie), int(cmd), arg, arglen) < 0 ? errno : 0;
}

int Client::mkpeer(const std::string& path, const std::string& type, const std::string& ourhook,
                   const std::string& peerhook) {
  ngm_mkpeer m;
  copy_field(m.type, sizeof m.type, type);
  copy_field(m.ourhook, sizeof m.ourhook, ourhook);
  copy_field(m.peerhook, sizeof m.peerhook, peerhook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_MKPEER, &m, sizeof m);
}

int Client::connect(const std::string& path, const std::string& peer, const std::string& ourhook,
                    const std::string& peerhook) {
  ngm_connect m;
  copy_field(m.path, sizeof m.path, peer);
  copy_field(m.ourhook, sizeof m.ourhook, ourhook);
  copy_field(m.peerhook, sizeof m.peerhook, peerhook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_CONNECT, &m, sizeof m);
}

int Client::rmhook(const std::string& path, const std::string& hook) {
  ngm_rmhook m;
  copy_field(m.ourhook, sizeof m.ourhook, hook);
  return msg(path, NGM_GENERIC_COOKIE, NGM_RMHOOK, &m, sizeof m);
}

int Client::shutdown(const std::string& path) {
  return msg(path, NGM_GENERIC_COOKIE, NGM_SHUTDOWN, nullptr, 0);
}

uint32_t Client::node_id(const std::string& path) {
  if (msg(path, NGM_GENERIC_COOKIE, NGM_NODEINFO, nullptr, 0) != 0) return 0;
  ng_mesg* rep = nullptr;
  if (NgAllocRecvMsg(cs_, &rep, nullptr) < 0) return 0;
  uint32_t id = 0;
  if (rep->header.arglen >= sizeof(nodeinfo))
    id = reinterpret_cast<const nodeinfo*>(rep->data)->id;
  free(rep);
  return id;
}

HookList Client::listhooks(const std::string& path) {
  HookList out;
  if ((out.error = msg(path, NGM_GENERIC_COOKIE, NGM_LISTHOOKS, nullptr, 0)) != 0) return out;
  ng_mesg* rep = nullptr;
  if (NgAllocRecvMsg(cs_, &rep, nullptr) < 0) {
    out.error = errno;
    return out;
  }
  const hooklist* hl = reinterpret_cast<const hooklist*>(rep->data);
  if (rep->header.arglen >= sizeof(hooklist)) {
    out.type = hl->nodeinfo.type;
    out.id = hl->nodeinfo.id;
    out.hooks = hl->nodeinfo.hooks;
    size_t room = (rep->header.arglen - sizeof(hooklist)) / sizeof(linkinfo);
    for (size_t i = 0; i < out.hooks && i < room; i++)
      out.links.push_back({hl->link[i].ourhook, hl->link[i].peerhook, hl->link[i].nodeinfo.type,
                           hl->link[i].nodeinfo.id});
  }
  free(rep);
  return out;
}

int Client::send(const std::string& hook, const std::string& bytes) {
  return NgSendData(ds_, hook.c_str(), reinterpret_cast<const u_char*>(bytes.data()),
                    bytes.size()) < 0
             ? errno
             : 0;
}

std::string Client::recv(double timeout) {
  static char buf[262144 + 64];
  double end = now() + timeout;
  for (;;) {
    double left = end - now();
    if (left < 0) left = 0;
    pollfd p = {ds_, POLLIN, 0};
    int r = poll(&p, 1, int(left * 1000));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    ssize_t n = read(ds_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    return std::string(buf, size_t(n));
  }
}

std::vector<std::string> Client::drain(double quiet, size_t max) {
  std::vector<std::string> items;
  while (items.size() < max) {
    std::string s = recv(quiet);
    if (s.empty()) break;
    items.push_back(std::move(s));
  }
  return items;
}

std::string addr(uint32_t id) {
  char b[16];
  snprintf(b, sizeof b, "[%08x]:", id);
  return b;
}

int in_jail(int jid, const std::function<int()>& fn) {
  int fds[2];
  if (pipe(fds) < 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    close(fds[0]);
    alarm(10);
    int r = jail_attach(jid) < 0 ? -1 : fn();
    ssize_t w = write(fds[1], &r, sizeof r);
    _exit(w == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  int r = -1;
  if (read(fds[0], &r, sizeof r) != sizeof r) r = -1;
  close(fds[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return -1;
  return r;
}

}  // namespace types_test
