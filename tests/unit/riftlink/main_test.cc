// riftlink's orchestration: the roles of the two specifications, the order
// of the kernel calls, the jailed child, the exit hook, and the reports that
// only a seam can bring about.

// The program's main.cc, with all it keeps to itself, is compiled into this
// test, its main renamed.
#define main riftlink_main
#include "main.cc"
#undef main

#include <err.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_util.h"

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using fake::state;

namespace {

using State = decltype(G);

const std::string kInfo = std::to_string(NGM_NODEINFO);
const std::string kList = std::to_string(NGM_LISTHOOKS);

// Runs riftlink's main on a fresh getopt and a fresh G.
int run_main(std::vector<std::string> args) {
  static std::vector<std::string> keep;
  keep = std::move(args);
  keep.insert(keep.begin(), "riftlink");
  std::vector<char*> argv;
  for (auto& a : keep) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  optind = 0;
  G = State{-1, 0, 0};
  return riftlink_main(static_cast<int>(keep.size()), argv.data());
}

// The log of a statement that ends its process, read back afterwards.
class EchoLog {
 public:
  EchoLog() {
    char tmpl[] = "/tmp/riftlink-unit-XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    state().echo_fd = fd_;
  }
  ~EchoLog() {
    close(fd_);
    unlink(path_.c_str());
  }
  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

std::vector<std::string> sends_in(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const auto& l : log)
    if (l.rfind("send ", 0) == 0) out.push_back(l.substr(5));
  return out;
}

// A usage report: the message, then the 940 characters of the usage text.
::testing::Matcher<const std::string&> usage_with(const std::string& msg) {
  return AllOf(StartsWith(msg + "USAGE: riftlink [-n] [-j jail] spec1 [spec2]\n"),
               EndsWith("ngctl(8).\n"),
               ::testing::SizeIs(msg.size() + 940));
}

// Every test starts from a clean fake and a fresh G.
class MainTest : public FakeTest {
 protected:
  void SetUp() override {
    FakeTest::SetUp();
    G = State{-1, 0, 0};
  }
};
class JailNameConnect : public MainTest {};
class ErrCleanup : public MainTest {};
class Main : public MainTest {};

TEST_F(JailNameConnect, NothingToDoMakesNoChild) {
  jail_name_connect(7, 0x10c, nullptr, nullptr, nullptr);
  EXPECT_TRUE(state().log.empty());
}

TEST_F(JailNameConnect, ParentWaitsAndRetriesInterruptedWait) {
  state().fork_mode = fake::ForkMode::kParent;
  jail_name_connect(7, 0x10c, "gw", nullptr, nullptr);
  EXPECT_THAT(state().log, ElementsAre("fork", "wait 4242"));

  fake::reset();
  state().fork_mode = fake::ForkMode::kParent;
  state().wait_errors = {EINTR, EINTR};
  jail_name_connect(7, 0x10c, nullptr, "em0", "lower");
  EXPECT_THAT(state().log, ElementsAre("fork", "wait 4242", "wait 4242", "wait 4242"));
}

TEST_F(JailNameConnect, ParentReportsForkWaitAndChildFailures) {
  auto run = [](fake::ForkMode mode) {
    state().fork_mode = mode;
    errno = EDOM;
    jail_name_connect(7, 0x10c, "gw", "em0", "lower");
    exit(0);
  };
  state().fork_errno = EAGAIN;
  EXPECT_EXIT(run(fake::ForkMode::kFail), ExitedWithCode(EX_OSERR),
              Eq(err_line("jail_name_connect: fork()", EAGAIN)));
  state().fork_errno = EPERM;
  EXPECT_EXIT(run(fake::ForkMode::kFail), ExitedWithCode(EX_NOPERM),
              Eq(err_line("jail_name_connect: fork()", EPERM)));

  state().wait_errors = {EINTR, ECHILD};
  EXPECT_EXIT(run(fake::ForkMode::kParent), ExitedWithCode(EX_OSERR),
              Eq(err_line("failed to wait for child in prison", ECHILD)));
  state().wait_errors = {EPERM};
  EXPECT_EXIT(run(fake::ForkMode::kParent), ExitedWithCode(EX_OSERR),
              Eq(err_line("failed to wait for child in prison", EPERM)));
  state().wait_errors.clear();

  // A child's own status is not passed on: exit 77, signals, core dumps.
  for (int status : {77 << 8, 1 << 8, SIGKILL, SIGSEGV | 0x80}) {
    state().child_status = status;
    EXPECT_EXIT(run(fake::ForkMode::kParent), ExitedWithCode(EX_OSERR),
                Eq(err_line("child failed its mission", EDOM)))
        << "status " << status;
  }
}

TEST_F(JailNameConnect, ChildEntersJailThenNamesAndConnects) {
  EchoLog echo;
  G = State{fake::kCtrlBase, 12, 13};
  state().next_ctrl = fake::kCtrlBase + 1;
  EXPECT_EXIT(
      {
        state().fork_mode = fake::ForkMode::kChild;
        jail_name_connect(7, 0x10c, "gw", "em0", "lower");
      },
      ExitedWithCode(0), Eq(""));
  auto log = echo.lines();
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[0], "fork");
  EXPECT_EQ(log[1], "close 1000");  // the parent's socket, before anything else
  EXPECT_EQ(log[2], "jail_attach 7");
  // Its own socket node, named after the child, not after this process.
  EXPECT_THAT(log[3], StartsWith("mksock ngctl"));
  EXPECT_NE(log[3], "mksock ngctl" + std::to_string(getpid()));
  EXPECT_EQ(log[4], "send [0000010c]: 4");
  EXPECT_EQ(log[5], "send [0000010c]: 3");
  EXPECT_EQ(log[6], "close 1001");
}

TEST_F(JailNameConnect, FailingChildShutsNothingDown) {
  G = State{fake::kCtrlBase, 12, 13};
  state().next_ctrl = fake::kCtrlBase + 1;
  {
    EchoLog echo;
    state().jail_attach_errno = EPERM;
    EXPECT_EXIT(
        {
          state().fork_mode = fake::ForkMode::kChild;
          err_set_exit(err_cleanup);
          jail_name_connect(7, 0x10c, "gw", "em0", "lower");
        },
        ExitedWithCode(EX_NOPERM), Eq(errx_line("cannot attach to jail (jid=7)")));
    EXPECT_THAT(echo.lines(), ElementsAre("fork", "close 1000", "jail_attach 7"));
  }
  state().jail_attach_errno = EINVAL;
  EXPECT_EXIT(
      {
        state().fork_mode = fake::ForkMode::kChild;
        jail_name_connect(7, 0x10c, "gw", "em0", "lower");
      },
      ExitedWithCode(EX_OSERR), Eq(errx_line("cannot attach to jail (jid=7)")));

  state().jail_attach_errno = 0;
  state().send_faults = {{NGM_NAME, EADDRINUSE}};
  EchoLog echo;
  EXPECT_EXIT(
      {
        state().fork_mode = fake::ForkMode::kChild;
        err_set_exit(err_cleanup);
        jail_name_connect(7, 0x10c, "gw", "em0", "lower");
      },
      ExitedWithCode(EX_OSERR), Eq(err_line("failed to name `[0000010c]:'", EADDRINUSE)));
  auto log = echo.lines();
  EXPECT_THAT(sends_in(log), ElementsAre("[0000010c]: 4"));
  EXPECT_EQ(log.back(), "close 1001");
}

TEST_F(ErrCleanup, ShutsDownNearEndsThenCloses) {
  G = State{fake::kCtrlBase, 12, 13};
  err_cleanup(71);
  EXPECT_THAT(state().log,
              ElementsAre("send [0000000c]: 1", "send [0000000d]: 1", "close 1000"));
  for (const auto& s : state().sent) {
    EXPECT_EQ(s.cookie, uint32_t(NGM_GENERIC_COOKIE));
    EXPECT_EQ(s.arg, "");
  }

  // A failed shutdown prints its hint and the hook goes on.
  fake::reset();
  state().send_faults = {{NGM_SHUTDOWN, ENOENT, 1}};
  G = State{fake::kCtrlBase, 12, 13};
  ::testing::internal::CaptureStderr();
  err_cleanup(71);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to shutdown node.\ntry:\n\tngctl shutdown [0000000c]:\n");
  EXPECT_THAT(state().log,
              ElementsAre("send [0000000c]: 1", "send [0000000d]: 1", "close 1000"));

  fake::reset();
  G = State{fake::kCtrlBase, 12, 0};
  err_cleanup(71);
  EXPECT_THAT(state().log, ElementsAre("send [0000000c]: 1", "close 1000"));

  fake::reset();
  G = State{-1, 12, 13};
  err_cleanup(71);
  EXPECT_TRUE(state().log.empty());
}

// Whether descriptor `fd` is open on /dev/null.
bool on_dev_null(int fd) {
  struct stat null, st;
  return stat("/dev/null", &null) == 0 && fstat(fd, &st) == 0 && st.st_rdev == null.st_rdev &&
         S_ISCHR(st.st_mode);
}

TEST_F(Main, ClosedStandardDescriptorsAreOpenedOnDevNull) {
  EXPECT_EXIT(
      {
        close(0);
        close(2);
        int rc = run_main({"vj1"});
        exit(rc == 0 && on_dev_null(0) && on_dev_null(2) ? 0 : 1);
      },
      ExitedWithCode(0), "");
}

TEST_F(Main, OneForeignJailNamedAndConnectedByChild) {
  state().fork_mode = fake::ForkMode::kParent;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_main({"vj1:gw:em0:lower"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(state().log,
              ElementsAre("jail_getid vj1", "kldload ng_socket", "kldload ng_wormhole",
                          "mksock ngctl" + std::to_string(getpid()), "send . 2",
                          "send .:tmp " + kInfo, "recv", "send [0000000c]: 1",
                          "send [0000000c]: " + kList, "recv", "send [0000000c]: 5", "fork",
                          "wait 4242"));
  EXPECT_EQ(state().sent[2].arg, std::string("vj1", 4));
  EXPECT_EQ(G.wh1, 12u);
  EXPECT_EQ(G.wh2, 0u);
}

TEST_F(Main, SpecWithoutJailDescribesTheNearEnd) {
  // spec A is the second word; the near end is named here, no child.
  EXPECT_EQ(run_main({":gw", "vj1"}), 0);
  EXPECT_THAT(sends_in(state().log),
              ElementsAre(". 2", ".:tmp " + kInfo, "[0000000c]: 1", "[0000000c]: " + kList,
                          "[0000000c]: 5", "[0000000c]: 4"));
  EXPECT_TRUE(fake::log_of("fork").empty());
  EXPECT_EQ(state().sent.back().arg, field("gw", 32));

  // The near end connected here; a jail that resolves to 0 counts as none.
  fake::reset();
  EXPECT_EQ(run_main({"vj1", "0::em0:lower"}), 0);
  EXPECT_EQ(sends_in(state().log).back(), "[0000000c]: 3");
  EXPECT_EQ(state().sent.back().arg,
            field("em0:", 512) + field("evthorizon", 32) + field("lower", 32));
  EXPECT_EQ(fake::log_of("mksock").size(), 1u);

  // Only a jail: one wormhole, left unnamed and unconnected on both sides.
  fake::reset();
  EXPECT_EQ(run_main({"vj1"}), 0);
  EXPECT_EQ(sends_in(state().log).back(), "[0000000c]: 5");
  EXPECT_TRUE(fake::log_of("fork").empty());
}

TEST_F(Main, TwoForeignJailsCollapse) {
  state().fork_mode = fake::ForkMode::kParent;
  EXPECT_EQ(run_main({"vj1:a:em0:lower", "vj2:b:em1:lower"}), 0);
  std::vector<std::string> rest;
  for (const auto& l : state().log)
    if (l.rfind("jail_getid", 0) == 0 || l == "fork" || l.rfind("send", 0) == 0)
      rest.push_back(l);
  EXPECT_THAT(rest, ElementsAre("jail_getid vj1", "jail_getid vj2", "send . 2",
                                "send .:tmp " + kInfo, "send [0000000c]: 1",
                                "send [0000000c]: " + kList, "send [0000000c]: 5", "fork",
                                "send . 2", "send .:tmp " + kInfo, "send [0000000d]: 1",
                                "send [0000000d]: " + kList, "send [0000000d]: 5", "fork",
                                "send [0000000c]: 3"));
  EXPECT_EQ(state().sent[7].arg, std::string("vj2", 4));
  EXPECT_EQ(state().sent.back().arg,
            field("[0000000d]:", 512) + field("evthorizon", 32) + field("evthorizon", 32));
  EXPECT_EQ(G.wh1, 12u);
  EXPECT_EQ(G.wh2, 13u);
}

TEST_F(Main, LoadingTurnedOffByNAndJ) {
  EXPECT_EQ(run_main({"vj1", "-n"}), 0);
  EXPECT_TRUE(fake::log_of("kldload").empty());

  fake::reset();
  EXPECT_EQ(run_main({"-n", "-n", "vj1"}), 0);
  EXPECT_TRUE(fake::log_of("kldload").empty());

  // -j enters each jail at once, in order, before the specifications.
  fake::reset();
  EXPECT_EQ(run_main({"-j", "vj1", "vj2", "-j", "7"}), 0);
  std::vector<std::string> head(state().log.begin(), state().log.begin() + 5);
  EXPECT_THAT(head, ElementsAre("jail_getid vj1", "jail_attach 7", "jail_getid 7",
                                "jail_attach 7", "jail_getid vj2"));
  EXPECT_TRUE(fake::log_of("kldload").empty());
}

TEST_F(Main, JailResolutionFailures) {
  {
    EchoLog echo;
    EXPECT_EXIT(run_main({"nosuch:gw"}), ExitedWithCode(EX_NOHOST),
                Eq(errx_line("jail \"nosuch\" not found")));
    EXPECT_THAT(echo.lines(), ElementsAre("jail_getid nosuch"));
  }
  {
    // spec B's jail is resolved after spec A's.
    EchoLog echo;
    EXPECT_EXIT(run_main({"vj1", "99"}), ExitedWithCode(EX_NOHOST),
                Eq(errx_line("jail 99 not found")));
    EXPECT_THAT(echo.lines(), ElementsAre("jail_getid vj1", "jail_getid 99"));
  }
  // 77 in place of 68 or 71 when errno is EPERM.
  struct Row {
    std::vector<std::string> args;
    int getid_errno, attach_errno, status;
    std::string report;
  } rows[] = {
      {{"nosuch"}, EPERM, 0, EX_NOPERM, "jail \"nosuch\" not found"},
      {{"-j", "nosuch"}, EPERM, 0, EX_NOPERM, "jail \"nosuch\" not found"},
      {{"-j", "nosuch"}, ENOENT, 0, EX_NOHOST, "jail \"nosuch\" not found"},
      {{"-j", "vj1", "vj2"}, ENOENT, EPERM, EX_NOPERM, "cannot attach to jail"},
      {{"-j", "vj1", "vj2"}, ENOENT, EINVAL, EX_OSERR, "cannot attach to jail"},
  };
  for (const Row& r : rows) {
    state().jail_getid_errno = r.getid_errno;
    state().jail_attach_errno = r.attach_errno;
    EXPECT_EXIT(run_main(r.args), ExitedWithCode(r.status), Eq(errx_line(r.report)));
  }
}

TEST_F(Main, RefusedBeforeAnythingIsMade) {
  EchoLog echo;
  // Jails are compared by ID: a name and its number are one jail.
  EXPECT_EXIT(run_main({"vj1", "7"}), ExitedWithCode(EX_USAGE),
              usage_with("riftlink: duplicate jail reference detected\n\n"));
  EXPECT_EXIT(run_main({":gw", ":gw2"}), ExitedWithCode(EX_USAGE),
              usage_with("riftlink: duplicate (default) jail reference detected\n\n"));
  EXPECT_EXIT(run_main({"0:gw"}), ExitedWithCode(EX_USAGE),
              usage_with("riftlink: `0' is not a foreign jail\n\n"));
  EXPECT_THAT(echo.lines(), Not(Contains(HasSubstr("mksock"))));
  EXPECT_THAT(echo.lines(), Not(Contains(HasSubstr("kldload"))));
}

TEST_F(Main, ComponentsLongerThanTheWormholeTakes) {
  std::string n31(31, 'n'), j256(256, 'j');
  EchoLog echo;
  // Names and hooks are refused before any jail is looked up.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"vj1:" + n31}, {"vj1::em0:" + n31}, {"vj1", ":" + n31}})
    EXPECT_EXIT(run_main(args), ExitedWithCode(EX_USAGE),
                usage_with("riftlink: `" + n31 + "' exceeds 30 characters\n\n"));
  EXPECT_THAT(echo.lines(), Not(Contains(HasSubstr("jail_getid"))));

  // A 31-character node is a path, and fits.
  fake::reset();
  EXPECT_EQ(run_main({"vj1", "::" + n31 + ":lower"}), 0);

  // A jail reference of 256 characters, once it resolves.
  state().jails.push_back({j256, 9});
  for (const auto& args : std::vector<std::vector<std::string>>{{j256}, {"vj1", j256}})
    EXPECT_EXIT(run_main(args), ExitedWithCode(EX_USAGE),
                usage_with("riftlink: `" + j256 + "' exceeds 255 characters\n\n"));
}

TEST_F(Main, KernelFailuresBeforeAndAfterTheExitHook) {
  state().kldload_errno = ENOENT;
  EXPECT_EXIT(run_main({"vj1"}), ExitedWithCode(EX_OSERR),
              Eq(err_line("kld_ensure_load: unable to load kernel module \"ng_socket\"", ENOENT)));
  state().kldload_errno = 0;
  state().mksock_errno = EPERM;
  EXPECT_EXIT(run_main({"vj1"}), ExitedWithCode(EX_NOPERM),
              Eq(err_line("ng_create_context: failed to initialize netgraph(4)", EPERM)));
  state().mksock_errno = 0;

  {
    // The second open fails: both near ends go, then the socket.
    EchoLog echo;
    state().send_faults = {{NGM_WORMHOLE_OPEN, ENOENT, 2}};
    EXPECT_EXIT(run_main({"vj1", "vj2"}), ExitedWithCode(EX_OSERR),
                Eq(errx_line("unable to open wormhole in `vj2'")));
    auto s = sends_in(echo.lines());
    ASSERT_GE(s.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(s.end() - 3, s.end()),
                ElementsAre("[0000000d]: 1", "[0000000c]: 1", "[0000000d]: 1"));
    EXPECT_EQ(echo.lines().back(), "close 1000");
  }
  {
    // The first child fails: only the first near end exists.
    EchoLog echo;
    state().send_faults.clear();
    state().child_status = 71 << 8;
    errno = 0;
    EXPECT_EXIT(
        {
          state().fork_mode = fake::ForkMode::kParent;
          run_main({"vj1:gw", "vj2:b"});
        },
        ExitedWithCode(EX_OSERR), StartsWith(prog() + ": child failed its mission: "));
    auto l = echo.lines();
    ASSERT_GE(l.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(l.end() - 3, l.end()),
                ElementsAre("wait 4242", "send [0000000c]: 1", "close 1000"));
  }
}

}  // namespace
