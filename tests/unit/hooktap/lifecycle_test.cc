// hooktap's start-up after the capture graph and its relay loop, run in
// process against fakes of libnetgraph, fcntl, kqueue and kevent (put in
// place with --wrap): the arming rule pass by pass, EINTR, and the reports,
// statuses and capture node shutdown of the steps that no kernel can make
// fail from outside.
#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

int hooktap_main(int argc, char** argv);

namespace {

// What the fakes are to do; set by a test before it runs the program.
struct Script {
  int fail_getfl_fd = -2;   // fcntl(F_GETFL) of this descriptor fails
  int fail_setfl_fd = -2;   // fcntl(F_SETFL) of this descriptor fails
  int fail_errno = EIO;
  bool fail_kqueue = false;
  int fail_register = 0;    // errno of the registration, after one EINTR
  bool relay = false;       // play the relay loop script below
};
Script script;

int data_peer = -1;   // the kernel's end of the data socket
int out_read = -1;    // the read end of standard output
int kevent_calls = 0;

std::string describe(const struct kevent* list, int n) {
  std::string s = std::to_string(n);
  for (int i = 0; i < n; i++) {
    char buf[64];
    snprintf(buf, sizeof(buf), " %s 0x%x",
             list[i].filter == EVFILT_READ ? "read" : "write", list[i].flags);
    s += buf;
  }
  return s;
}

void send_datagram(size_t len) {
  std::string d(len, 'x');
  if (send(data_peer, d.data(), d.size(), 0) != static_cast<ssize_t>(len)) abort();
}

}  // namespace

extern "C" {

int __real_fcntl(int fd, int cmd, ...);

int __wrap_NgMkSockNode(const char*, int* csp, int* dsp) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) < 0) abort();
  data_peer = sv[1];
  *csp = open("/dev/null", O_RDWR);
  *dsp = sv[0];
  return 0;
}

int __wrap_NgSendMsg(int, const char* path, int cookie, int cmd, const void*, size_t) {
  if (cookie == NGM_GENERIC_COOKIE && cmd == NGM_SHUTDOWN)
    fprintf(stderr, "shutdown %s\n", path);
  return 1;
}

int __wrap_NgAllocRecvMsg(int, struct ng_mesg** rep, char*) {
  size_t len = sizeof(struct ng_mesg) + sizeof(struct nodeinfo);
  *rep = static_cast<struct ng_mesg*>(calloc(1, len));
  (*rep)->header.arglen = sizeof(struct nodeinfo);
  reinterpret_cast<struct nodeinfo*>((*rep)->data)->id = 42;
  return static_cast<int>(len);
}

int __wrap_fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  long arg = va_arg(ap, long);
  va_end(ap);
  if ((cmd == F_GETFL && fd == script.fail_getfl_fd) ||
      (cmd == F_SETFL && fd == script.fail_setfl_fd)) {
    errno = script.fail_errno;
    return -1;
  }
  return __real_fcntl(fd, cmd, arg);
}

int __wrap_kqueue(void) {
  if (script.fail_kqueue) {
    errno = EMFILE;
    return -1;
  }
  return open("/dev/null", O_RDONLY);
}

/*
 * Each call prints the changes it was given. The relay script, pass by
 * pass: the empty ring arms reading alone; a datagram of 100 bytes arrives;
 * now both are armed and the wait is interrupted once; standard output
 * takes the bytes; the empty ring arms reading alone again; 4000 bytes
 * leave less than a snapshot length free, so only writing is armed; then
 * the wait fails.
 */
int __wrap_kevent(int, const struct kevent* changes, int nchanges, struct kevent* events,
                  int nevents, const struct timespec*) {
  kevent_calls++;
  fprintf(stderr, "kevent %s%s\n", nevents == 0 ? "reg " : "",
          describe(changes, nchanges).c_str());
  if (nevents == 0) {
    if (script.fail_register != 0) {
      errno = kevent_calls == 1 ? EINTR : script.fail_register;
      return -1;
    }
    return 0;
  }
  if (!script.relay) {
    errno = EBADF;
    return -1;
  }
  auto event = [&](int i) {
    events[0] = changes[i];
    events[0].flags = 0;
    return 1;
  };
  switch (kevent_calls) {
  case 2:
    send_datagram(100);
    return event(0);
  case 3:
    errno = EINTR;
    return -1;
  case 4:
    return event(1);
  case 5:
    send_datagram(4000);
    return event(0);
  default:
    errno = EBADF;
    return -1;
  }
}

}  // extern "C"

namespace {

using ::testing::ExitedWithCode;

std::string prog() { return program_invocation_short_name; }

[[noreturn]] void run_hooktap() {
  int out[2];
  if (pipe(out) < 0 || dup2(out[1], 1) < 0) abort();
  out_read = out[0];
  char a0[] = "hooktap", a1[] = "-n", a2[] = "-s", a3[] = "128",
       a4[] = "ether:em0:lower";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  hooktap_main(5, argv);
  abort();  // the relay loop never returns
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    kevent_calls = 0;
  }
};

TEST_F(Lifecycle, ArmingFollowsTheRingAndRidesOnEachWait) {
  script.relay = true;
  // 0x89 is EV_ADD|EV_DISABLE|EV_DISPATCH, 0x84 EV_ENABLE|EV_DISPATCH.
  EXPECT_EXIT(run_hooktap(), ExitedWithCode(71),
              "^kevent reg 2 read 0x89 write 0x89\n"
              "kevent 1 read 0x84\n"
              "kevent 2 read 0x84 write 0x84\n"
              "kevent 2 read 0x84 write 0x84\n"
              "kevent 1 read 0x84\n"
              "kevent 1 write 0x84\n" +
                  prog() + ": : kevent loop failed: Bad file descriptor\n"
                  "shutdown \\[0000002a\\]:\n$");
}

TEST_F(Lifecycle, FlagFailuresShutTheCaptureNodeDown) {
  // Standard output's flags are set after the data socket's.
  script.fail_setfl_fd = 1;
  EXPECT_EXIT(run_hooktap(), ExitedWithCode(71),
              "^" + prog() + ": fcntl: can't set flags: Input/output error\n"
              "shutdown \\[0000002a\\]:\n$");
  script = Script{};
  script.fail_getfl_fd = 1;
  script.fail_errno = EPERM;
  EXPECT_EXIT(run_hooktap(), ExitedWithCode(77),
              "^" + prog() + ": fcntl: can't retrieve flags: Operation not permitted\n"
              "shutdown \\[0000002a\\]:\n$");
}

TEST_F(Lifecycle, NoKqueueAndRefusedRegistration) {
  script.fail_kqueue = true;
  EXPECT_EXIT(run_hooktap(), ExitedWithCode(71),
              "^" + prog() + ": kqueue: unable to create: Too many open files\n"
              "shutdown \\[0000002a\\]:\n$");
  // EINTR is tried again with the same changes; the refusal then ends it.
  script = Script{};
  script.fail_register = EPERM;
  EXPECT_EXIT(run_hooktap(), ExitedWithCode(77),
              "^kevent reg 2 read 0x89 write 0x89\n"
              "kevent reg 2 read 0x89 write 0x89\n" +
                  prog() + ": : kevent failed to register events: "
                  "Operation not permitted\n"
                  "shutdown \\[0000002a\\]:\n$");
}

}  // namespace
