// A stand-in for libnetgraph that records every control message sent,
// writes "shutdown PATH" on standard error for each NGM_SHUTDOWN, and
// answers NODEINFO with a reply the test chooses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_ng {

struct Msg {
  int cs;
  std::string path;
  int cookie;
  int cmd;
  std::string arg;  // the argument bytes as sent
};

struct Script {
  int fail_send = 0;         // the n-th NgSendMsg (from 1) fails; 0: none
  int send_errno = 0;
  bool fail_recv = false;    // NgAllocRecvMsg fails with recv_errno
  int recv_errno = 0;
  uint32_t reply_id = 42;    // id in the NODEINFO reply
  int reply_len = -1;        // bytes of reply body; -1: a whole nodeinfo
  int reply_arglen = -1;     // what its header claims; -1: reply_len
};

extern std::vector<Msg> sent;
extern Script script;
void reset();

}  // namespace fake_ng
