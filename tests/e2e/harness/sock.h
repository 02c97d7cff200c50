// A socket node of the test's own, through libnetgraph: verdicts, replies
// and data items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct Info {
  std::string name, type;
  uint32_t id = 0, hooks = 0;
};

struct Link {
  std::string ourhook, peerhook;
  Info peer;
};

class Sock {
 public:
  // Makes a socket node named `name` ("" for none), with a data socket.
  explicit Sock(const std::string& name = "", bool data = true);
  ~Sock();
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  int error() const { return error_; }  // errno of NgMkSockNode, or 0
  int cs() const { return cs_; }
  int ds() const { return ds_; }
  void close_all();

  // Each returns 0 or the kernel's errno.
  int msg(const std::string& path, uint32_t cookie, uint32_t cmd,
          const void* arg = nullptr, size_t arglen = 0);
  int mkpeer(const std::string& path, const std::string& type,
             const std::string& ourhook, const std::string& peerhook);
  int connect(const std::string& path, const std::string& peer,
              const std::string& ourhook, const std::string& peerhook);
  int name(const std::string& path, const std::string& name);
  int rmhook(const std::string& path, const std::string& hook);
  int shutdown(const std::string& path);

  // NGM_NODEINFO / NGM_LISTHOOKS / NGM_LISTNODES with their replies.
  int info(const std::string& path, Info& out);
  int hooks(const std::string& path, Info& node, std::vector<Link>& links);
  int list(bool names_only, std::vector<Info>& out);

  int send(const std::string& hook, const std::string& bytes);
  // The next item, or "" after `timeout` seconds; `hook` gets the hook it
  // came in on.
  std::string recv(double timeout = 2, std::string* hook = nullptr);
  // Items until none comes for `quiet` seconds.
  std::vector<std::string> drain(double quiet = 0.3, size_t max = 100000);

 private:
  int reply(std::vector<uint8_t>& out);
  int cs_ = -1, ds_ = -1, error_ = 0;
};

}  // namespace e2e
