// kld_ensure_load, ng_create_context and ng_shutdown_node against a fake
// kernel linker and a fake libnetgraph: which modules count as present, how
// a failing walk ends, what is sent, and every report and status.
#include <sys/param.h>
#include <sys/linker.h>
#include <sys/module.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kld.h"
#include "ng.h"

namespace {

// Kernel files in walk order, each with its module names. A name of "!"
// stands for a module whose modstat fails.
struct File {
  int id;
  std::vector<std::string> modules;
};

struct Linker {
  std::vector<File> files;
  int fail_kldnext_after = -1;     // kldnext(this id) fails
  int fail_kldfirstmod = -1;       // kldfirstmod(this id) fails
  int fail_modfnext_after = -1;    // modfnext(this module id) fails
  int kldload_errno = 0;
  std::vector<std::string> loads;  // kldload calls
};
Linker L;

// Module IDs: file id * 100 + index + 1.
const File* file_of_module(int modid) {
  for (const auto& f : L.files)
    if (modid / 100 == f.id && modid % 100 >= 1 &&
        modid % 100 <= static_cast<int>(f.modules.size()))
      return &f;
  return nullptr;
}

struct Sent {
  int cs;
  std::string path;
  int cookie, cmd;
  size_t arglen;
};
std::vector<Sent> sends;
int send_errno = 0;
std::string mksock_name;
bool mksock_data_null = false;
int mksock_errno = 0;

}  // namespace

extern "C" {

int __wrap_kldnext(int fileid) {
  if (fileid == L.fail_kldnext_after) {
    errno = EINVAL;
    return -1;
  }
  if (fileid == 0) return L.files.empty() ? 0 : L.files[0].id;
  for (size_t i = 0; i < L.files.size(); i++)
    if (L.files[i].id == fileid) return i + 1 < L.files.size() ? L.files[i + 1].id : 0;
  errno = ENOENT;
  return -1;
}

int __wrap_kldfirstmod(int fileid) {
  if (fileid == L.fail_kldfirstmod) {
    errno = ENOENT;
    return -1;
  }
  for (const auto& f : L.files)
    if (f.id == fileid) return f.modules.empty() ? 0 : f.id * 100 + 1;
  errno = ENOENT;
  return -1;
}

int __wrap_modfnext(int modid) {
  if (modid == L.fail_modfnext_after) {
    errno = ENOENT;
    return -1;
  }
  const File* f = file_of_module(modid);
  if (f == nullptr) {
    errno = ENOENT;
    return -1;
  }
  return modid % 100 < static_cast<int>(f->modules.size()) ? modid + 1 : 0;
}

int __wrap_modstat(int modid, struct module_stat* st) {
  const File* f = file_of_module(modid);
  if (f == nullptr || st->version != static_cast<int>(sizeof(*st))) {
    errno = EINVAL;
    return -1;
  }
  const std::string& name = f->modules[modid % 100 - 1];
  if (name == "!") {
    errno = ENOENT;
    return -1;
  }
  snprintf(st->name, sizeof(st->name), "%s", name.c_str());
  st->id = modid;
  return 0;
}

int __wrap_kldload(const char* file) {
  L.loads.push_back(file);
  if (L.kldload_errno != 0) {
    errno = L.kldload_errno;
    return -1;
  }
  return 42;
}

int __wrap_NgMkSockNode(const char* name, int* csp, int* dsp) {
  mksock_name = name;
  mksock_data_null = dsp == nullptr;
  if (mksock_errno != 0) {
    errno = mksock_errno;
    return -1;
  }
  *csp = 5;
  if (dsp) *dsp = 6;
  return 0;
}

int __wrap_NgSendMsg(int cs, const char* path, int cookie, int cmd, const void*,
                     size_t arglen) {
  sends.push_back({cs, path, cookie, cmd, arglen});
  if (send_errno != 0) {
    errno = send_errno;
    return -1;
  }
  return 1;
}

}  // extern "C"

namespace {

using ::testing::ElementsAre;
using ::testing::ExitedWithCode;
using ::testing::IsEmpty;

std::string prog() { return program_invocation_short_name; }

class Helpers : public ::testing::Test {
 protected:
  void SetUp() override {
    L = Linker{};
    L.files = {{1, {"netgraph", "ng_ether", "ng_hub"}}};
    sends.clear();
    send_errno = 0;
    mksock_errno = 0;
    mksock_name.clear();
  }
};

TEST_F(Helpers, ModuleAlreadyPresentIsNotLoadedAgain) {
  kld_ensure_load("ng_ether");  // from the kernel image
  L.files.push_back({3, {"x/ng_socket"}});
  kld_ensure_load("ng_socket");  // the bus prefix is dropped
  L.files.push_back({5, {"ng_hole", "ng_pcap"}});
  kld_ensure_load("ng_pcap");  // not the first module of its file
  EXPECT_THAT(L.loads, IsEmpty());
}

TEST_F(Helpers, OnlyTheWholeNameAfterTheFirstSlashCounts) {
  L.files.push_back({2, {"x/y/ng_socket", "ng_socket2", "Ng_socket", "ng_sock"}});
  kld_ensure_load("ng_socket");
  // The file is named after the module searched for.
  EXPECT_THAT(L.loads, ElementsAre("ng_socket"));
}

TEST_F(Helpers, AFailingWalkCallEndsThatListAsItsEndDoes) {
  // kldnext failing after file 1 hides file 2, so the module is loaded.
  L.files.push_back({2, {"ng_pcap"}});
  L.fail_kldnext_after = 1;
  kld_ensure_load("ng_pcap");
  EXPECT_THAT(L.loads, ElementsAre("ng_pcap"));

  // A file whose module list cannot be had is passed over; the walk goes on.
  L = Linker{};
  L.files = {{1, {"netgraph"}}, {2, {"ng_pcap"}}, {3, {"ng_socket"}}};
  L.fail_kldfirstmod = 2;
  kld_ensure_load("ng_socket");
  kld_ensure_load("ng_pcap");
  EXPECT_THAT(L.loads, ElementsAre("ng_pcap"));

  // modfnext failing ends that file's modules only.
  L = Linker{};
  L.files = {{1, {"netgraph", "ng_pcap"}}, {2, {"ng_socket"}}};
  L.fail_modfnext_after = 101;
  kld_ensure_load("ng_socket");
  kld_ensure_load("ng_pcap");
  EXPECT_THAT(L.loads, ElementsAre("ng_pcap"));

  // A module whose modstat fails is skipped, the next one still counts.
  L = Linker{};
  L.files = {{1, {"!", "ng_socket"}}};
  kld_ensure_load("ng_socket");
  EXPECT_THAT(L.loads, IsEmpty());
}

TEST_F(Helpers, RefusedLoadReportsAndExits) {
  L.kldload_errno = EPERM;
  EXPECT_EXIT(kld_ensure_load("ng_pcap"), ExitedWithCode(77),
              "^" + prog() +
                  ": kld_ensure_load: unable to load kernel module \"ng_pcap\": "
                  "Operation not permitted\n$");
  L.kldload_errno = ENOENT;
  EXPECT_EXIT(kld_ensure_load("ng_wormhole"), ExitedWithCode(71),
              "^" + prog() +
                  ": kld_ensure_load: unable to load kernel module \"ng_wormhole\": "
                  "No such file or directory\n$");
}

TEST_F(Helpers, SocketNodeIsNamedAfterTheProcess) {
  int ctrl = -1, data = -1;
  ng_create_context(&ctrl, &data);
  EXPECT_EQ(mksock_name, "ngctl" + std::to_string(getpid()));
  EXPECT_FALSE(mksock_data_null);
  EXPECT_EQ(ctrl, 5);
  EXPECT_EQ(data, 6);

  ctrl = -1;
  ng_create_context(&ctrl, nullptr);  // control socket only
  EXPECT_TRUE(mksock_data_null);
  EXPECT_EQ(ctrl, 5);

  mksock_errno = EPERM;
  EXPECT_EXIT(ng_create_context(&ctrl, nullptr), ExitedWithCode(77),
              "^" + prog() +
                  ": ng_create_context: failed to initialize netgraph\\(4\\): "
                  "Operation not permitted\n$");
  mksock_errno = EPROTONOSUPPORT;
  EXPECT_EXIT(ng_create_context(&ctrl, nullptr), ExitedWithCode(71),
              "^" + prog() +
                  ": ng_create_context: failed to initialize netgraph\\(4\\): "
                  "Protocol not supported\n$");
}

TEST_F(Helpers, ShutdownAddressesTheNodeByItsID) {
  ng_shutdown_node(3, 1);
  ng_shutdown_node(3, 255);
  ng_shutdown_node(3, 0xdeadbeef);
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(sends[0].path, "[00000001]:");
  EXPECT_EQ(sends[1].path, "[000000ff]:");
  EXPECT_EQ(sends[2].path, "[deadbeef]:");
  for (const auto& s : sends) {
    EXPECT_EQ(s.cs, 3);
    EXPECT_EQ(s.cookie, NGM_GENERIC_COOKIE);
    EXPECT_EQ(s.cmd, NGM_SHUTDOWN);
    EXPECT_EQ(s.arglen, 0u);
  }
}

TEST_F(Helpers, FailedShutdownPrintsItsHintAndReturns) {
  send_errno = ENOENT;
  testing::internal::CaptureStderr();
  ng_shutdown_node(3, 42);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed to shutdown node.\ntry:\n\tngctl shutdown [0000002a]:\n");
}

TEST_F(Helpers, PreconditionsAreAsserted) {
  EXPECT_DEATH(kld_ensure_load(nullptr), "kld_ensure_load.*search != NULL");
  EXPECT_DEATH(ng_create_context(nullptr, nullptr), "ng_create_context.*ctrl != NULL");
  EXPECT_DEATH(ng_shutdown_node(-1, 1), "ng_shutdown_node.*ctrl >= 0");
  EXPECT_DEATH(ng_shutdown_node(0, 0), "ng_shutdown_node.*nd > 0");
}

TEST_F(Helpers, StatusFollowsErrno) {
  errno = EPERM;
  EXPECT_EQ(ng_status_oserr(), 77);
  EXPECT_EQ(ng_status_nohost(), 77);
  errno = ENOENT;
  EXPECT_EQ(ng_status_oserr(), 71);
  EXPECT_EQ(ng_status_nohost(), 68);
}

}  // namespace
