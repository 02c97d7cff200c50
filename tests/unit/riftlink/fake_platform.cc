#include "fake_platform.h"

#include <sys/param.h>
#include <sys/module.h>

#include <jail.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace fake {
namespace {

State g_state;
std::deque<std::string> g_replies;

void note(const std::string& line) {
  g_state.log.push_back(line);
  if (g_state.echo_fd >= 0) {
    std::string l = line + "\n";
    ssize_t r = write(g_state.echo_fd, l.data(), l.size());
    (void)r;
  }
}

std::string reply_of(const Sent& req, const void* body, size_t len) {
  std::string out(sizeof(ng_mesg) + len, '\0');
  ng_mesg hdr{};
  hdr.header.version = NG_VERSION;
  hdr.header.arglen = static_cast<uint32_t>(len);
  hdr.header.cmd = req.cmd;
  hdr.header.flags = NGF_RESP;
  hdr.header.typecookie = req.cookie;
  memcpy(&out[0], &hdr, sizeof(hdr));
  memcpy(&out[sizeof(hdr)], body, len);
  return out;
}

ng_ID_t id_of_path(const std::string& path) {
  unsigned id = 0;
  if (sscanf(path.c_str(), "[%x]:", &id) != 1) return 0;
  return id;
}

}  // namespace

State& state() { return g_state; }

void reset() {
  g_state = State();
  g_replies.clear();
}

std::vector<std::string> sends() {
  std::vector<std::string> out;
  for (const auto& s : g_state.sent)
    out.push_back(s.path + " " + std::to_string(s.cmd));
  return out;
}

std::vector<std::string> log_of(const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : g_state.log)
    if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
  return out;
}

std::string nodeinfo_reply(const char* type, ng_ID_t id, uint32_t hooks) {
  nodeinfo ni{};
  snprintf(ni.type, sizeof(ni.type), "%s", type);
  ni.id = id;
  ni.hooks = hooks;
  return std::string(reinterpret_cast<const char*>(&ni), sizeof(ni));
}

std::string hooklist_reply(ng_ID_t self, ng_ID_t sock, ng_ID_t twin,
                           bool twin_first) {
  nodeinfo ni{};
  snprintf(ni.type, sizeof(ni.type), "wormhole");
  ni.id = self;
  ni.hooks = 2;
  linkinfo to_sock{}, to_twin{};
  snprintf(to_sock.ourhook, sizeof(to_sock.ourhook), "evthorizon");
  snprintf(to_sock.peerhook, sizeof(to_sock.peerhook), "tmp");
  snprintf(to_sock.nodeinfo.type, sizeof(to_sock.nodeinfo.type), "socket");
  to_sock.nodeinfo.id = sock;
  to_sock.nodeinfo.hooks = 1;
  snprintf(to_twin.ourhook, sizeof(to_twin.ourhook), "twin");
  snprintf(to_twin.peerhook, sizeof(to_twin.peerhook), "twin");
  snprintf(to_twin.nodeinfo.type, sizeof(to_twin.nodeinfo.type), "wormhole");
  to_twin.nodeinfo.id = twin;
  to_twin.nodeinfo.hooks = 1;
  auto bytes = [](const auto& rec) {
    return std::string(reinterpret_cast<const char*>(&rec), sizeof(rec));
  };
  const linkinfo& first = twin_first ? to_twin : to_sock;
  const linkinfo& second = twin_first ? to_sock : to_twin;
  return bytes(ni) + bytes(first) + bytes(second);
}

}  // namespace fake

using fake::g_state;

extern "C" {

pid_t __real_fork(void);
pid_t __real_waitpid(pid_t, int*, int);
int __real_close(int);

int __wrap_NgMkSockNode(const char* name, int* csp, int* dsp) {
  fake::note(std::string("mksock ") + (name ? name : "(null)") +
             (dsp ? " data" : ""));
  if (g_state.mksock_errno) {
    errno = g_state.mksock_errno;
    return -1;
  }
  *csp = g_state.next_ctrl++;
  if (dsp) *dsp = g_state.next_ctrl++;
  return 0;
}

int __wrap_NgSendMsg(int cs, const char* path, int cookie, int cmd,
                     const void* arg, size_t arglen) {
  fake::Sent s{cs, path, static_cast<uint32_t>(cookie),
               static_cast<uint32_t>(cmd),
               std::string(static_cast<const char*>(arg), arg ? arglen : 0)};
  g_state.sent.push_back(s);
  fake::note("send " + s.path + " " + std::to_string(s.cmd));
  for (auto& f : g_state.send_faults) {
    if (f.cmd != s.cmd) continue;
    f.seen++;
    if (f.nth == 0 || f.nth == f.seen) {
      errno = f.err;
      return -1;
    }
  }
  std::string body;
  if (s.cmd == NGM_NODEINFO) {
    body = fake::nodeinfo_reply("wormhole", g_state.next_node_id++, 1);
  } else if (s.cmd == NGM_LISTHOOKS) {
    ng_ID_t self = fake::id_of_path(s.path);
    body = fake::hooklist_reply(self, 1, self + g_state.twin_offset,
                                g_state.twin_first);
  } else {
    return 1;
  }
  std::string rep = fake::reply_of(s, body.data(), body.size());
  if (g_state.edit_reply) g_state.edit_reply(s, rep);
  fake::g_replies.push_back(rep);
  return 1;
}

int __wrap_NgAllocRecvMsg(int cs, struct ng_mesg** rep, char* path) {
  (void)cs;
  (void)path;
  fake::note("recv");
  if (g_state.recv_errno) {
    errno = g_state.recv_errno;
    return -1;
  }
  if (fake::g_replies.empty()) {
    errno = EAGAIN;
    return -1;
  }
  std::string r = fake::g_replies.front();
  fake::g_replies.pop_front();
  // At least a header's worth, so that a short reply is short only in
  // what the returned length says.
  void* buf = calloc(1, r.size() + sizeof(ng_mesg));
  memcpy(buf, r.data(), r.size());
  *rep = static_cast<ng_mesg*>(buf);
  return static_cast<int>(r.size());
}

int __wrap_jail_getid(const char* name) {
  fake::note(std::string("jail_getid ") + name);
  for (const auto& j : g_state.jails)
    if (j.first == name) return j.second;
  bool numeric = name[0] != '\0' && strspn(name, "0123456789") == strlen(name);
  if (numeric)
    snprintf(jail_errmsg, JAIL_ERRMSGLEN, "jail %s not found", name);
  else
    snprintf(jail_errmsg, JAIL_ERRMSGLEN, "jail \"%s\" not found", name);
  errno = g_state.jail_getid_errno;
  return -1;
}

int __wrap_jail_attach(int jid) {
  fake::note("jail_attach " + std::to_string(jid));
  if (g_state.jail_attach_errno) {
    errno = g_state.jail_attach_errno;
    return -1;
  }
  return 0;
}

// No kernel file is loaded: every module has to be loaded.
int __wrap_kldnext(int) { return 0; }
int __wrap_kldfirstmod(int) { return 0; }
int __wrap_modfnext(int) { return 0; }
int __wrap_modstat(int, struct module_stat*) { return -1; }

int __wrap_kldload(const char* file) {
  fake::note(std::string("kldload ") + file);
  if (g_state.kldload_errno) {
    errno = g_state.kldload_errno;
    return -1;
  }
  return 2;
}

pid_t __wrap_fork(void) {
  switch (g_state.fork_mode) {
    case fake::ForkMode::kReal:
      return __real_fork();
    case fake::ForkMode::kParent:
      fake::note("fork");
      return g_state.child_pid;
    case fake::ForkMode::kChild:
      fake::note("fork");
      return 0;
    case fake::ForkMode::kFail:
      fake::note("fork");
      errno = g_state.fork_errno;
      return -1;
  }
  return -1;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
  if (g_state.fork_mode == fake::ForkMode::kReal) return __real_waitpid(pid, status, options);
  fake::note("wait " + std::to_string(pid));
  if (!g_state.wait_errors.empty()) {
    errno = g_state.wait_errors.front();
    g_state.wait_errors.erase(g_state.wait_errors.begin());
    return -1;
  }
  *status = g_state.child_status;
  return g_state.child_pid;
}

int __wrap_close(int fd) {
  if (fd >= fake::kCtrlBase && fd < fake::kCtrlBase + 100) {
    fake::note("close " + std::to_string(fd));
    return 0;
  }
  return __real_close(fd);
}

}  // extern "C"
