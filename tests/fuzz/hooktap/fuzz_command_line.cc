// libFuzzer over hooktap's command line: options and specifications, as the
// real main reads them. The input is split at NUL bytes into argument
// words. The run ends at the first call into the kernel (loading a module,
// resolving a jail or creating the socket node), or where usage or err
// would end the process: each of those jumps back here instead.
#include <fcntl.h>
#include <getopt.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <netgraph/ng_message.h>

extern "C" void __sanitizer_set_report_fd(void* fd);

int hooktap_main(int argc, char** argv);

namespace {
jmp_buf seam;
bool inside = false;
void (*exit_hook)(int) = nullptr;
int saved_stderr = -1;
int devnull = -1;

[[noreturn]] void leave(int code) {
  inside = false;
  dup2(saved_stderr, 2);
  longjmp(seam, code);
}

// The process's exit hook runs where err(3) would run it.
[[noreturn]] void leave_through_hook(int status) {
  if (exit_hook != nullptr) exit_hook(status);
  leave(1000 + status);
}
}  // namespace

// The shared helpers: the first kernel calls.
void kld_ensure_load(const char*) { leave(2); }
void ng_create_context(int*, int*) { leave_through_hook(71); }
void ng_shutdown_node(int, ng_ID_t) {}
void ng_shutdown_path(int, const char*) {}
int ng_status_oserr(void) { return 71; }
int ng_status_nohost(void) { return 68; }

extern "C" {
void __real_exit(int) __attribute__((noreturn));
void __real_err_set_exit(void (*)(int));
void __real___assert_fail(const char*, const char*, unsigned int, const char*)
    __attribute__((noreturn));

void __wrap_exit(int status) {
  if (inside) leave(1000 + status);
  __real_exit(status);
}

void __wrap_err_set_exit(void (*f)(int)) {
  exit_hook = f;
  __real_err_set_exit(f);
}

int __wrap_jail_getid(const char*) { leave(3); }
int __wrap_jail_attach(int) { leave(4); }

// A failed assertion is a finding: let its message through.
void __wrap___assert_fail(const char* a, const char* f, unsigned int l, const char* fn) {
  dup2(saved_stderr, 2);
  __real___assert_fail(a, f, l, fn);
}

int LLVMFuzzerInitialize(int*, char***) {
  saved_stderr = dup(2);
  devnull = open("/dev/null", O_WRONLY);
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved_stderr)));
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"hooktap"};
  std::string cur;
  for (size_t i = 0; i < size && words.size() < 24; i++) {
    if (data[i] == 0) {
      words.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (!cur.empty() && words.size() < 24) words.push_back(cur);

  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  optind = 0;  // a full reinitialisation of getopt
  opterr = 1;
  exit_hook = nullptr;
  __real_err_set_exit(nullptr);

  if (setjmp(seam) == 0) {
    dup2(devnull, 2);
    inside = true;
    hooktap_main(static_cast<int>(words.size()), argv.data());
    // main never returns.
    inside = false;
    dup2(saved_stderr, 2);
    __builtin_trap();
  }
  return 0;
}
}
