// The node types' tests' view of a socket node of their own (e2e::Sock):
// node IDs, hook listings with the peers' types, and data items.
#pragma once

#include <netgraph.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sock.h"

namespace types_test {

struct Link {
  std::string ourhook, peerhook, peertype;
  uint32_t peer = 0;
};

struct HookList {
  int error = 0;  // 0, or the errno of the request
  std::string type;
  uint32_t id = 0;
  uint32_t hooks = 0;
  std::vector<Link> links;
  const Link* find(const std::string& ourhook) const;
};

class Client {
 public:
  explicit Client(bool data = true);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const { return sock_.cs() >= 0; }
  int ds() const { return sock_.ds(); }

  // Each returns 0 or the errno of the kernel's verdict.
  int msg(const std::string& path, uint32_t cookie, uint32_t cmd, const void* arg,
          size_t arglen);
  int mkpeer(const std::string& path, const std::string& type, const std::string& ourhook,
             const std::string& peerhook);
  int connect(const std::string& path, const std::string& peer, const std::string& ourhook,
              const std::string& peerhook);
  int rmhook(const std::string& path, const std::string& hook);
  int shutdown(const std::string& path);

  // The ID of the node at `path`, 0 when it cannot be had.
  uint32_t node_id(const std::string& path);
  HookList listhooks(const std::string& path);

  int send(const std::string& hook, const std::string& bytes);
  // The next data item, or "" after `timeout` seconds without one.
  std::string recv(double timeout = 2);
  // Every item that arrives until none has come for `quiet` seconds.
  std::vector<std::string> drain(double quiet = 0.3, size_t max = 100000);

 private:
  e2e::Sock sock_;
};

// "[%08x]:"
std::string addr(uint32_t id);

// Runs `fn` in a forked child that has entered jail `jid`; returns what `fn`
// returned (passed back whole), or -1 when the child could not enter the
// jail or died.
int in_jail(int jid, const std::function<int()>& fn);

}  // namespace types_test
