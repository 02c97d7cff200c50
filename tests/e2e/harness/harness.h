// Drives the built programs the way a user does: each test gets a private
// emulated kernel, runs commands with their standard streams captured, and
// looks at the kernel's graph and trace through the admin command.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace e2e {

using json = nlohmann::json;

// Absolute path of a program built into the build's bin/ folder.
std::string bin_path(const std::string& prog);

struct RunOpts {
  std::string input;              // written to standard input, then closed
  std::vector<std::string> env;   // extra "NAME=VALUE" entries
  double timeout = 20;            // seconds, then SIGKILL
  bool as_nobody = false;         // run with uid and gid 65534, no groups
};

// Options that only give standard input.
inline RunOpts with_input(std::string input) {
  RunOpts o;
  o.input = std::move(input);
  return o;
}

struct Proc {
  int status = -1;         // exit status, or 128 + signal number
  bool signaled = false;
  int sig = 0;
  bool timed_out = false;
  std::string out, err;
};

Proc run(const std::vector<std::string>& argv, const RunOpts& opts = {});
// /bin/sh -c COMMAND, for pipelines such as "hooktap ... | tshark -r -".
Proc sh(const std::string& command, const RunOpts& opts = {});

// A process that keeps running while the test works beside it; standard
// output and standard error go to pipes that the test reads.
class Background {
 public:
  explicit Background(const std::vector<std::string>& argv,
                      const RunOpts& opts = {});
  ~Background();  // SIGKILL if still running
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }
  int out_fd() const { return out_fd_; }  // read end of standard output
  // Reads standard output until `n` bytes have come in all, or `timeout`
  // seconds have passed; returns everything read so far.
  const std::string& read_out(size_t n, double timeout);
  // Collects whatever standard error holds now.
  const std::string& read_err();
  void signal(int sig);
  bool running();
  // Waits for the end (SIGKILL after `timeout`), collecting both streams.
  Proc wait(double timeout = 10);

 private:
  void pump(double timeout, size_t want);
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  bool reaped_ = false;
  Proc result_;
};

// A private emulated kernel for one test. NGSIM_SOCKET is exported to this
// process, so every command the test runs talks to this kernel.
class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& socket() const { return socket_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  Proc ngsim(const std::vector<std::string>& args, const RunOpts& opts = {});
  // Runs ngsim, fails the test unless it exits 0, returns its standard output.
  std::string ok(const std::vector<std::string>& args, const RunOpts& opts = {});

  int jail(const std::string& name, const std::string& parent = "");
  void iface(const std::string& name, const std::string& jail = "");
  json graph(const std::string& jail = "");
  std::vector<json> trace(bool clear = false);
  void fault(const std::vector<std::string>& args);  // ngsim fault add ARGS
  json kld();                                       // ngsim kld list --json

 private:
  std::string dir_, socket_;
};

// Graph helpers over `ngsim graph --json`.
std::vector<json> nodes_of_type(const json& graph, const std::string& type);
const json* node_named(const json& graph, const std::string& name);
const json* node_with_id(const json& graph, uint32_t id);
// The peer of hook `hook` of `node`, or nullptr.
const json* hook_of(const json& node, const std::string& hook);

// Frames and capture files.
std::string ether_frame(size_t len, uint8_t seed);  // dst, src, type 0x88b5, payload
std::string pcap_file(const std::vector<std::string>& frames,
                      uint32_t linktype = 1, uint32_t snaplen = 262144);
struct Packet {
  uint32_t caplen = 0, origlen = 0;
  std::string data;
};
// Classic pcap (as `ngsim wire listen` writes it); stops at a truncated record.
std::vector<Packet> read_pcap(const std::string& bytes, uint32_t* linktype = nullptr);

// Raw connections to the kernel, for tests of what a client may send: a
// SEQPACKET connection to `path` (-1 on failure); one message sent with a
// descriptor along (`pass`, -1 for none); one message received with the
// descriptor it carries (-1 when none).
int raw_connect(const std::string& path);
ssize_t send_with_fd(int fd, const std::string& bytes, int pass);
int recv_fd(int fd, std::string* bytes = nullptr);

std::string hex(const std::string& bytes);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);

}  // namespace e2e
