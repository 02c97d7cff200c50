// libFuzzer over riftlink's whole command line: main runs in this process
// against a fake platform (every call it makes is wrapped with --wrap), and
// each report, usage or exit jumps back here instead of ending the process.
//
// Input: byte 0 and byte 1 choose how the fake platform behaves (below);
// the rest is the argument vector, words separated by NUL bytes.
//
// What counts as a finding, besides the sanitizers' own: an assertion of
// the program, a control message whose argument has a byte that is not
// defined as zero after a field's string, or a field without its NUL.
#include <sys/param.h>
#include <sys/module.h>

#include <netgraph/ng_message.h>

#include <errno.h>
#include <getopt.h>
#include <jail.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

// The program's main.cc, with all it keeps to itself, is compiled into
// this file, its main renamed.
#define main riftlink_main
#include "main.cc"
#undef main

namespace {

jmp_buf g_back;
bool g_in_target = false;
void (*g_hook)(int) = nullptr;

struct Config {
  int fork_mode = 0;   // 0 child ok, 1 child fails, 2 run the child, 3 fork fails
  int fail_send = 0;   // 1..15: that send fails; 0: none
  int fail_errno = EINVAL;
  uint8_t mangle = 0;  // see kShort... below
  int sends = 0;
  ng_ID_t next_id = 12;
  std::deque<std::string> replies;
};
Config g_cfg;

constexpr uint8_t kShortInfo = 0x01, kShortList = 0x02, kTwinFirst = 0x04,
                  kTwinZero = 0x08, kNodeZero = 0x10, kAttachFails = 0x20,
                  kLoadFails = 0x40, kSockFails = 0x80;

[[noreturn]] void back(void) {
  g_in_target = false;
  longjmp(g_back, 1);
}

// A string field: NUL within its width, and nothing but zeros after it.
void check_field(const char* f, size_t width) {
  const char* nul = static_cast<const char*>(memchr(f, '\0', width));
  if (nul == nullptr) __builtin_trap();
  for (const char* p = nul; p < f + width; p++)
    if (*p != '\0') __builtin_trap();
}

void check_arg(uint32_t cmd, const void* arg, size_t len) {
  const char* a = static_cast<const char*>(arg);
  switch (cmd) {
    case NGM_MKPEER:
      if (len != sizeof(ngm_mkpeer)) __builtin_trap();
      check_field(a, NG_TYPESIZ);
      check_field(a + NG_TYPESIZ, NG_HOOKSIZ);
      check_field(a + NG_TYPESIZ + NG_HOOKSIZ, NG_HOOKSIZ);
      break;
    case NGM_CONNECT: {
      if (len != sizeof(ngm_connect)) __builtin_trap();
      check_field(a, NG_PATHSIZ);
      size_t n = strlen(a);
      if (n < 2 || a[n - 1] != ':') __builtin_trap();
      check_field(a + NG_PATHSIZ, NG_HOOKSIZ);
      check_field(a + NG_PATHSIZ + NG_HOOKSIZ, NG_HOOKSIZ);
      break;
    }
    case NGM_NAME:
    case NGM_RMHOOK:
      if (len != NG_NODESIZ) __builtin_trap();
      check_field(a, NG_NODESIZ);
      break;
    default:
      break;
  }
}

std::string reply(const void* body, size_t len, size_t cut) {
  std::string r(sizeof(ng_mesg) + len, '\0');
  ng_mesg h{};
  h.header.version = NG_VERSION;
  h.header.arglen = static_cast<uint32_t>(len - cut);
  memcpy(&r[0], &h, sizeof(h));
  memcpy(&r[sizeof(h)], body, len);
  r.resize(r.size() - cut);
  return r;
}

}  // namespace

extern "C" {

[[noreturn]] void __real_exit(int);
pid_t __real_fork(void);
pid_t __real_waitpid(pid_t, int*, int);
int __real_close(int);

[[noreturn]] void __wrap_exit(int status) {
  if (!g_in_target) __real_exit(status);
  back();
}

void __wrap_err_set_exit(void (*f)(int)) { g_hook = f; }

static void sink(const char* fmt, va_list ap) {
  char buf[4096];
  if (fmt != nullptr) vsnprintf(buf, sizeof(buf), fmt, ap);
}

[[noreturn]] void __wrap_err(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sink(fmt, ap);
  va_end(ap);
  if (g_hook) g_hook(status);
  back();
}

[[noreturn]] void __wrap_errx(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sink(fmt, ap);
  va_end(ap);
  if (g_hook) g_hook(status);
  back();
}

void __wrap_warnx(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sink(fmt, ap);
  va_end(ap);
}

int __wrap_jail_getid(const char* name) {
  size_t n = strlen(name);
  if (strcmp(name, "0") == 0) return 0;
  if (n > 0 && n <= 2 && strspn(name, "0123456789") == n) return atoi(name);
  if (strncmp(name, "vj", 2) == 0) return 1 + static_cast<int>(n % 8);
  snprintf(jail_errmsg, JAIL_ERRMSGLEN, "jail \"%s\" not found", name);
  errno = ENOENT;
  return -1;
}

int __wrap_jail_attach(int jid) {
  if (jid < 0) __builtin_trap();
  if (jid == 0 || (g_cfg.mangle & kAttachFails)) {
    errno = EPERM;
    return -1;
  }
  return 0;
}

int __wrap_kldnext(int) { return 0; }
int __wrap_kldfirstmod(int) { return 0; }
int __wrap_modfnext(int) { return 0; }
int __wrap_modstat(int, struct module_stat*) { return -1; }
int __wrap_kldload(const char*) {
  if (g_cfg.mangle & kLoadFails) {
    errno = ENOENT;
    return -1;
  }
  return 2;
}

int __wrap_NgMkSockNode(const char* name, int* csp, int* dsp) {
  if (name == nullptr || strlen(name) >= NG_NODESIZ || dsp != nullptr) __builtin_trap();
  if (g_cfg.mangle & kSockFails) {
    errno = EPERM;
    return -1;
  }
  *csp = 1000;
  return 0;
}

int __wrap_NgSendMsg(int cs, const char* path, int cookie, int cmd, const void* arg,
                     size_t arglen) {
  if (cs < 0 || path == nullptr || strlen(path) >= NG_PATHSIZ) __builtin_trap();
  (void)cookie;
  check_arg(static_cast<uint32_t>(cmd), arg, arglen);
  if (++g_cfg.sends == g_cfg.fail_send) {
    errno = g_cfg.fail_errno;
    return -1;
  }
  if (static_cast<uint32_t>(cmd) == NGM_NODEINFO) {
    nodeinfo ni{};
    snprintf(ni.type, sizeof(ni.type), "wormhole");
    ni.id = (g_cfg.mangle & kNodeZero) ? 0 : g_cfg.next_id++;
    ni.hooks = 1;
    g_cfg.replies.push_back(reply(&ni, sizeof(ni), (g_cfg.mangle & kShortInfo) ? 1 : 0));
  } else if (static_cast<uint32_t>(cmd) == NGM_LISTHOOKS) {
    unsigned self = 0;
    sscanf(path, "[%x]:", &self);
    struct {
      nodeinfo ni;
      linkinfo l[2];
    } hl{};
    hl.ni.id = self;
    hl.ni.hooks = 2;
    int twin = (g_cfg.mangle & kTwinFirst) ? 0 : 1;
    snprintf(hl.l[1 - twin].nodeinfo.type, NG_TYPESIZ, "socket");
    snprintf(hl.l[twin].nodeinfo.type, NG_TYPESIZ, "wormhole");
    hl.l[twin].nodeinfo.id = (g_cfg.mangle & kTwinZero) ? 0 : self + 0x100;
    g_cfg.replies.push_back(
        reply(&hl, sizeof(hl), (g_cfg.mangle & kShortList) ? sizeof(linkinfo) : 0));
  }
  return 1;
}

int __wrap_NgAllocRecvMsg(int, struct ng_mesg** rep, char*) {
  if (g_cfg.replies.empty()) {
    errno = EIO;
    return -1;
  }
  const std::string& r = g_cfg.replies.front();
  // Exactly the bytes received, so that reading past them is a finding.
  void* buf = malloc(r.size());
  memcpy(buf, r.data(), r.size());
  int len = static_cast<int>(r.size());
  g_cfg.replies.pop_front();
  *rep = static_cast<ng_mesg*>(buf);
  return len;
}

pid_t __wrap_fork(void) {
  if (!g_in_target) return __real_fork();
  switch (g_cfg.fork_mode) {
    case 2:
      return 0;
    case 3:
      errno = EAGAIN;
      return -1;
    default:
      return 4242;
  }
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
  if (!g_in_target) return __real_waitpid(pid, status, options);
  if (pid != 4242) __builtin_trap();  // only the child it forked
  *status = g_cfg.fork_mode == 1 ? (71 << 8) : 0;
  return 4242;
}

int __wrap_close(int fd) {
  if (!g_in_target) return __real_close(fd);
  if (fd != 1000) __builtin_trap();  // only the fake control socket is ours
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  g_cfg = Config();
  g_cfg.fork_mode = data[0] & 3;
  g_cfg.fail_send = (data[0] >> 2) & 15;
  static const int errnos[] = {EINVAL, EDOOFUS, EPERM, ENOENT};
  g_cfg.fail_errno = errnos[data[0] >> 6];
  g_cfg.mangle = data[1];

  std::vector<std::string> words{"riftlink"};
  std::string cur;
  for (size_t i = 2; i < size && words.size() < 8; i++) {
    if (data[i] == '\0') {
      words.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (words.size() < 8 && !cur.empty()) words.push_back(cur);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  optind = 0;  // a full reset of getopt's state
  G = decltype(G){-1, 0, 0};
  g_hook = nullptr;
  // The usage text and hints go nowhere; sanitizer reports still reach
  // descriptor 2, and libFuzzer keeps the stream it took at start.
  static FILE* quiet = fopen("/dev/null", "w");
  FILE* saved = stderr;
  stderr = quiet;
  g_in_target = true;
  if (setjmp(g_back) == 0) riftlink_main(static_cast<int>(words.size()), argv.data());
  g_in_target = false;
  stderr = saved;
  return 0;
}

}  // extern "C"
