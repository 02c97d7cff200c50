#include "ngclient.h"

#include <netgraph/ng_message.h>
#include <sys/param.h>
#include <sys/jail.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace types_test {

const Link* HookList::find(const std::string& ourhook) const {
  for (const Link& l : links)
    if (l.ourhook == ourhook) return &l;
  return nullptr;
}

Client::Client(bool data) : sock_("", data) {}

Client::~Client() = default;

int Client::msg(const std::string& path, uint32_t cookie, uint32_t cmd, const void* arg,
                size_t arglen) {
  return sock_.msg(path, cookie, cmd, arg, arglen);
}

int Client::mkpeer(const std::string& path, const std::string& type, const std::string& ourhook,
                   const std::string& peerhook) {
  return sock_.mkpeer(path, type, ourhook, peerhook);
}

int Client::connect(const std::string& path, const std::string& peer, const std::string& ourhook,
                    const std::string& peerhook) {
  return sock_.connect(path, peer, ourhook, peerhook);
}

int Client::rmhook(const std::string& path, const std::string& hook) {
  return sock_.rmhook(path, hook);
}

int Client::shutdown(const std::string& path) { return sock_.shutdown(path); }

uint32_t Client::node_id(const std::string& path) {
  e2e::Info info;
  return sock_.info(path, info) == 0 ? info.id : 0;
}

HookList Client::listhooks(const std::string& path) {
  HookList out;
  e2e::Info node;
  std::vector<e2e::Link> links;
  if ((out.error = sock_.hooks(path, node, links)) != 0) return out;
  out.type = node.type;
  out.id = node.id;
  out.hooks = node.hooks;
  for (size_t i = 0; i < out.hooks && i < links.size(); i++)
    out.links.push_back({links[i].ourhook, links[i].peerhook, links[i].peer.type,
                         links[i].peer.id});
  return out;
}

int Client::send(const std::string& hook, const std::string& bytes) {
  return sock_.send(hook, bytes);
}

std::string Client::recv(double timeout) { return sock_.recv(timeout); }

std::vector<std::string> Client::drain(double quiet, size_t max) {
  return sock_.drain(quiet, max);
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
