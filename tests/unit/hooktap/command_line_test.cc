// The command line, checked on the built program: every rejection writes
// its message and the usage text to standard error, byte for byte, and
// exits 64 before any call into the kernel. No kernel runs here, so an
// accepted command line goes on to fail at its first kernel call instead.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string kUsage =
    "USAGE: hooktap [-n] [-j jail] [-s snaplen] <spec> [spec ...]\n"
    "-n\t\tDisable automatic loading of netgraph(4) kernel modules.\n"
    "-j jail\t\tSwitch to jail for all references.\n"
    "-s snaplen\tSnarf snaplen bytes of data from each packet rather than\n"
    "\t\tthe default of 262144 bytes.\n"
    "\n"
    "You provide up to 16 pcap specifications to snoop. Specifications have 3\n"
    "components separated by colon:\n"
    "\tlayer\tone of the strings `ether', `inet4', or `inet6'.\n"
    "\tnode\ta valid netgraph(4) node name or ID (not path).\n"
    "\thook\ta valid netgraph(4) hook name for the node.\n";

struct Result {
  int status = -1;
  std::string out, err;
};

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

Result hooktap(const std::vector<std::string>& args) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    std::string prog = HOOKTAP_BIN;
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A kernel that does not exist: nothing here may reach one.
    char env[] = "NGSIM_SOCKET=/nonexistent/ngsim.sock";
    char* envp[] = {env, nullptr};
    execve(prog.c_str(), argv.data(), envp);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Result r;
  r.out = drain(out[0]);
  r.err = drain(err[0]);
  int st;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

void expect_usage(const std::vector<std::string>& args, const std::string& msg) {
  Result r = hooktap(args);
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(r.err, msg + kUsage);
  EXPECT_EQ(r.out, "");
}

// Past the command line: not a usage error.
void expect_accepted(const std::vector<std::string>& args) {
  Result r = hooktap(args);
  EXPECT_NE(r.status, 64) << r.err;
  EXPECT_EQ(r.err.find("USAGE"), std::string::npos) << r.err;
  // Its first kernel call finds none, which is said once, before its report.
  const std::string advice = "ngsim: no emulated kernel at /nonexistent/ngsim.sock; "
                             "start one with `ngsim kernel`\n";
  EXPECT_EQ(r.err.compare(0, advice.size(), advice), 0) << r.err;
  EXPECT_EQ(r.err.find("hooktap: ", advice.size()), advice.size()) << r.err;
}

std::vector<std::string> specs(int n) {
  std::vector<std::string> v = {"-n"};
  for (int i = 0; i < n; i++) v.push_back("ether:em" + std::to_string(i) + ":lower");
  return v;
}

TEST(CommandLine, SpecificationCount) {
  expect_usage({}, "hooktap: must minimally provide one pcap specification\n\n");
  expect_usage({"-n"}, "hooktap: must minimally provide one pcap specification\n\n");
  expect_usage({"-n", "--"}, "hooktap: must minimally provide one pcap specification\n\n");
  expect_usage(specs(9), "hooktap: can have at most 8 pcap specifications\n\n");
  expect_accepted(specs(8));
  expect_accepted(specs(1));
}

TEST(CommandLine, SnapshotLength) {
  const std::string gt = "hooktap: snaplen > 262144\n\n";
  const std::string lt = "hooktap: snaplen < 128\n\n";
  for (const char* ok : {"262144", "128", "1500", " 200", "+9000"})
    expect_accepted({"-n", "-s", ok, "ether:em0:lower"});
  expect_usage({"-s", "262145", "ether:em0:lower"}, gt);
  expect_usage({"-s", "127", "ether:em0:lower"}, lt);
  expect_usage({"-s", "", "ether:em0:lower"}, lt);
  expect_usage({"-s", "0", "ether:em0:lower"}, lt);
  expect_usage({"-s", "12k", "ether:em0:lower"}, "hooktap: snaplen must be integer: \"12k\"\n\n");
  expect_usage({"-s", "-12k", "ether:em0:lower"}, "hooktap: snaplen must be integer: \"-12k\"\n\n");
  expect_usage({"-s", "1500 ", "ether:em0:lower"}, "hooktap: snaplen must be integer: \"1500 \"\n\n");
  expect_usage({"-s", "-", "ether:em0:lower"}, "hooktap: snaplen must be integer: \"-\"\n\n");
  // Too large for 32 or 64 bits is too large, never its low bits.
  expect_usage({"-s", "4294967424", "ether:em0:lower"}, gt);
  expect_usage({"-s", "2147483648", "ether:em0:lower"}, gt);
  expect_usage({"-s", "18446744073709551744", "ether:em0:lower"}, gt);
  expect_usage({"-s", "99999999999999999999999999", "ether:em0:lower"}, gt);
  // A minus sign is too small, whatever follows it.
  expect_usage({"-s", "-5", "ether:em0:lower"}, lt);
  expect_usage({"-s", "-4294967296", "ether:em0:lower"}, lt);
  expect_usage({"-s", "-18446744073709551488", "ether:em0:lower"}, lt);
  expect_usage({"-s", "-99999999999999999999999999", "ether:em0:lower"}, lt);
  // Each -s is tested; the last one counts.
  expect_usage({"-s", "100", "-s", "200", "ether:em0:lower"}, lt);
  expect_usage({"-s", "200", "-s", "300000", "ether:em0:lower"}, gt);
  // The options are all read before the specifications are looked at.
  expect_usage({"bad", "-s", "1"}, lt);
}

TEST(CommandLine, JailName) {
  const std::string j256(256, 'j'), j257(257, 'j');
  expect_usage({"-j", j257, "ether:em0:lower"},
               "hooktap: `" + j257 + "' exceeds 256 characters\n\n");
  expect_usage({"-j", "a", "-j", j257, "ether:em0:lower"},
               "hooktap: `" + j257 + "' exceeds 256 characters\n\n");
  expect_accepted({"-n", "-j", j256, "ether:em0:lower"});
  expect_accepted({"-n", "-j", "", "ether:em0:lower"});
}

TEST(CommandLine, UnrecognizedOptions) {
  expect_usage({"ether:em0:lower", "-j"}, "hooktap: unrecognized option `-j'\n\n");
  expect_usage({"ether:em0:lower", "-s"}, "hooktap: unrecognized option `-s'\n\n");
  expect_usage({"-x", "ether:em0:lower"}, "hooktap: unrecognized option `-x'\n\n");
  // The word that holds the letter, also while the library is inside it.
  for (const char* word : {"-nx", "-xn", "-nxs1", "--snaplen=5", "--foo"}) {
    expect_usage({word, "ether:em0:lower"},
                 "hooktap: unrecognized option `" + std::string(word) + "'\n\n");
    expect_usage({"ether:em0:lower", word},
                 "hooktap: unrecognized option `" + std::string(word) + "'\n\n");
  }
  // The first fault ends the run; the rest is not read.
  expect_usage({"-x", "-s", "1", "ether:em0:lower"}, "hooktap: unrecognized option `-x'\n\n");
}

TEST(CommandLine, OptionsAfterSpecificationsCountTheSame) {
  Result before = hooktap({"-n", "ether:em0:lower"});
  Result after = hooktap({"ether:em0:lower", "-n"});
  EXPECT_NE(before.status, 64);
  EXPECT_EQ(after.status, before.status);
  EXPECT_EQ(after.err, before.err);
  // Without -n the first kernel call is a module load; with it, it is not.
  Result loading = hooktap({"ether:em0:lower"});
  EXPECT_NE(loading.status, 64);
  EXPECT_NE(loading.err, before.err);
  EXPECT_NE(loading.err.find("kld_ensure_load"), std::string::npos) << loading.err;
}

TEST(CommandLine, LayerWords) {
  const std::string notone = "' is not one of `ether', `inet', or `inet6'\n";
  expect_usage({"inet4:em0:lower"}, "hooktap: layer `inet4" + notone + "\n\n");
  expect_usage({"Ether:em0:lower"}, "hooktap: layer `Ether" + notone + "\n\n");
  expect_usage({"ETHER:em0:lower"}, "hooktap: layer `ETHER" + notone + "\n\n");
  expect_accepted({"-n", "ether:a:b", "inet:c:d", "inet6:e:f"});
  // Eight characters are looked up; nine are too long.
  expect_usage({"inet6666:em0:lower"}, "hooktap: layer `inet6666" + notone + "\n\n");
  expect_usage({"inet66666:em0:lower"},
               "hooktap: `layer': name too long: `inet66666'\n"
               "hooktap: spec `inet66666:em0:lower': layer is missing\n\n\n");
}

TEST(CommandLine, MissingComponents) {
  expect_usage({"ether:em0"}, "hooktap: spec `ether:em0:(null)': hook is missing\n\n\n");
  expect_usage({"ether"},
               "hooktap: spec `ether:(null):(null)': node is missing\n"
               "hooktap: spec `ether:(null):(null)': hook is missing\n\n\n");
  expect_usage({"ether::lower"}, "hooktap: spec `ether::lower': node is missing\n\n\n");
  expect_usage({"ether:em0:"}, "hooktap: spec `ether:em0:': hook is missing\n\n\n");
  expect_usage({":em0:lower"}, "hooktap: spec `:em0:lower': layer is missing\n\n\n");
  expect_usage({""},
               "hooktap: spec `:(null):(null)': layer is missing\n"
               "hooktap: spec `:(null):(null)': node is missing\n"
               "hooktap: spec `:(null):(null)': hook is missing\n\n\n");
}

TEST(CommandLine, ExtraComponents) {
  expect_usage({"ether:em0:lower:"},
               "hooktap: unrecognized components pcap specification: `'\n\n\n");
  expect_usage({"ether:em0:lower:x:y"},
               "hooktap: unrecognized components pcap specification: `x:y'\n\n\n");
}

TEST(CommandLine, NameLengths) {
  const std::string n31(31, 'n'), n32(32, 'n'), h31(31, 'h'), h32(32, 'h');
  expect_accepted({"-n", "ether:" + n31 + ":" + h31});
  expect_usage({"ether:" + n32 + ":lower"},
               "hooktap: `node': name too long: `" + n32 + "'\n"
               "hooktap: spec `ether:" + n32 + ":lower': node is missing\n\n\n");
  expect_usage({"ether:em0:" + h32},
               "hooktap: `hook': name too long: `" + h32 + "'\n"
               "hooktap: spec `ether:em0:" + h32 + "': hook is missing\n\n\n");
}

TEST(CommandLine, WarningsComeInOrderAndForEverySpecification) {
  const std::string n32(32, 'n'), h32(32, 'h');
  const std::string spec = "etherether:" + n32 + ":" + h32 + ":x";
  const std::string shown = "etherether:" + n32 + ":" + h32;
  expect_usage({spec},
               "hooktap: unrecognized components pcap specification: `x'\n"
               "hooktap: `layer': name too long: `etherether'\n"
               "hooktap: `node': name too long: `" + n32 + "'\n"
               "hooktap: `hook': name too long: `" + h32 + "'\n"
               "hooktap: spec `" + shown + "': layer is missing\n"
               "hooktap: spec `" + shown + "': node is missing\n"
               "hooktap: spec `" + shown + "': hook is missing\n\n\n");
  expect_usage({"-n", "inet4:em0:lower", "ether:em1:lower", "ether:em0"},
               "hooktap: layer `inet4' is not one of `ether', `inet', or `inet6'\n"
               "hooktap: spec `ether:em0:(null)': hook is missing\n\n\n");
  expect_usage({"xx::", "-n"},
               "hooktap: layer `xx' is not one of `ether', `inet', or `inet6'\n"
               "hooktap: spec `xx::': node is missing\n"
               "hooktap: spec `xx::': hook is missing\n\n\n");
}

}  // namespace
