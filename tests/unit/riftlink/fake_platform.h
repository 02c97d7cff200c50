// A stand-in for the platform calls riftlink makes (netgraph, kernel
// linker, jails, fork and wait), linked in with -Wl,--wrap so that a test
// sees every control message byte for byte and can make any call fail.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <netgraph/ng_message.h>

namespace fake {

// First descriptor handed out as a control socket; close() of these is
// recorded instead of passed on.
constexpr int kCtrlBase = 1000;

struct Sent {
  int ctrl;
  std::string path;
  uint32_t cookie;
  uint32_t cmd;
  std::string arg;  // exact argument bytes
};

// Makes the nth (from 1; 0 = every) send of command `cmd` fail with `err`.
struct SendFault {
  uint32_t cmd;
  int err;
  int nth = 0;
  int seen = 0;
};

enum class ForkMode { kReal, kParent, kChild, kFail };

struct State {
  // What happened, in order: "send PATH CMD", "recv", "mksock NAME",
  // "close FD", "jail_getid NAME", "jail_attach JID", "kldload FILE",
  // "fork", "wait PID".
  std::vector<std::string> log;
  std::vector<Sent> sent;
  std::vector<SendFault> send_faults;

  // NGM_NODEINFO replies carry these IDs in turn (12, 13, ... by default).
  ng_ID_t next_node_id = 12;
  // A twin's ID is its near end's plus this.
  ng_ID_t twin_offset = 0x100;
  // The twin is link 1 of the listing (link 0 leads to our socket node).
  bool twin_first = false;
  // Override a reply: gets the message that asked for it and may rewrite
  // the reply bytes (header included) before they are handed out.
  std::function<void(const Sent&, std::string&)> edit_reply;
  int recv_errno = 0;  // NgAllocRecvMsg fails with this when set

  int mksock_errno = 0;
  int next_ctrl = kCtrlBase;

  // jail_getid: name or number -> jid; anything else is not found.
  std::vector<std::pair<std::string, int>> jails = {
      {"vj1", 7}, {"7", 7}, {"vj2", 8}, {"8", 8}, {"0", 0}};
  int jail_getid_errno = ENOENT;
  int jail_attach_errno = 0;

  int kldload_errno = 0;

  ForkMode fork_mode = ForkMode::kReal;
  int fork_errno = 0;
  pid_t child_pid = 4242;
  // waitpid(): the errors it returns first, one per call, then the status.
  std::vector<int> wait_errors;
  int child_status = 0;

  // When >= 0, every log line is also written here, so that what a forked
  // child did can be read after it ended.
  int echo_fd = -1;
};

State& state();
void reset();

// Commands sent, in order, as "PATH CMD" with CMD in decimal.
std::vector<std::string> sends();
// Just the entries of the log that start with `prefix`.
std::vector<std::string> log_of(const std::string& prefix);

std::string nodeinfo_reply(const char* type, ng_ID_t id, uint32_t hooks);
std::string hooklist_reply(ng_ID_t self, ng_ID_t sock, ng_ID_t twin,
                           bool twin_first);

}  // namespace fake
