#include "fake_netgraph.h"

#include <netgraph.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake_ng {

std::vector<Msg> sent;
Script script;

void reset() {
  sent.clear();
  script = Script();
}

}  // namespace fake_ng

using namespace fake_ng;

extern "C" int NgSendMsg(int cs, const char* path, int cookie, int cmd,
                         const void* arg, size_t arglen) {
  sent.push_back({cs, path, cookie, cmd,
                  std::string(static_cast<const char*>(arg), arg ? arglen : 0)});
  if (cookie == NGM_GENERIC_COOKIE && cmd == NGM_SHUTDOWN)
    fprintf(stderr, "shutdown %s\n", path);
  if (script.fail_send == static_cast<int>(sent.size())) {
    errno = script.send_errno;
    return -1;
  }
  return static_cast<int>(sent.size());
}

extern "C" int NgAllocRecvMsg(int, struct ng_mesg** rep, char*) {
  if (script.fail_recv) {
    errno = script.recv_errno;
    return -1;
  }
  size_t body = script.reply_len < 0 ? sizeof(struct nodeinfo)
                                     : static_cast<size_t>(script.reply_len);
  size_t total = sizeof(struct ng_mesg) + body;
  auto* m = static_cast<struct ng_mesg*>(calloc(1, total));
  m->header.version = NG_VERSION;
  m->header.arglen = static_cast<uint32_t>(script.reply_arglen < 0 ? body : script.reply_arglen);
  m->header.cmd = NGM_NODEINFO;
  m->header.flags = NGF_RESP;
  m->header.typecookie = NGM_GENERIC_COOKIE;
  struct nodeinfo ni;
  memset(&ni, 0, sizeof(ni));
  strcpy(ni.type, "pcap");
  ni.id = script.reply_id;
  memcpy(m->data, &ni, body < sizeof(ni) ? body : sizeof(ni));
  *rep = m;
  return static_cast<int>(total);
}

extern "C" int NgMkSockNode(const char*, int* csp, int* dsp) {
  *csp = 3;
  if (dsp) *dsp = 4;
  return 0;
}
