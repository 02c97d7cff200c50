// The emulated kernel as a local user and a jailed process would try it:
// jails that cannot be left, an admin command for root on the host only, a
// socket no one else can have placed, and bounds that hold.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netgraph/ng_message.h>
#include <sys/param.h>
#include <sys/jail.h>

#include <fstream>
#include <sstream>

#include "harness.h"
#include "proto.h"
#include "sock.h"

using e2e::Proc;
using e2e::Sock;

namespace {

const char kRootOnly[] = "ngsim: the emulated kernel takes orders from root on the host only\n";

// User plus system time of a process, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream in(s.substr(s.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// The kernel's process, from where its namespaces are to be found.
pid_t kernel_pid(e2e::Kernel& k) {
  std::string path = k.ok({"netns", "0"});  // /proc/PID/fd/N
  return std::atoi(path.c_str() + 6);
}

TEST(Jails, NeitherOrphansNorTheirConnectionsLeaveTheJail) {
  e2e::Kernel k;
  k.jail("vj1");
  k.iface("hostonly");
  k.iface("em0", "vj1");
  k.ok({"kld", "load", "ng_socket"});
  // A child left behind by its jailed shell is still in the jail.
  Proc p = k.ngsim({"jexec", "vj1", "/bin/sh", "-c",
                    "( sleep 0.3; " + e2e::bin_path("ngctl") + " list ) & exit 0"});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("Name: em0"), std::string::npos) << p.out;
  EXPECT_EQ(p.out.find("hostonly"), std::string::npos) << p.out;

  // A connection made inside the jail by a process that is gone belongs to
  // the jail, in whoever's hands it is: its socket node lands there.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  pid_t pid = fork();
  if (pid == 0) {
    if (jail_attach(1) != 0) _exit(1);
    e2e::send_with_fd(sv[1], "f", e2e::raw_connect(k.socket()));
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  int conn = e2e::recv_fd(sv[0]);
  ASSERT_GE(conn, 0);
  ngsim_req rq{};
  rq.op = NGSIM_OP_MKSOCK;
  rq.len = sizeof(ngsim_mksock);
  ngsim_mksock mk{};
  strcpy(mk.name, "carried");
  std::string pkt = std::string(reinterpret_cast<char*>(&rq), sizeof rq) +
                    std::string(reinterpret_cast<char*>(&mk), sizeof mk);
  ASSERT_EQ(send(conn, pkt.data(), pkt.size(), 0), static_cast<ssize_t>(pkt.size()));
  int cs = e2e::recv_fd(conn);  // the answer brings the control socket
  ASSERT_GE(cs, 0);
  EXPECT_NE(e2e::node_named(k.graph("vj1"), "carried"), nullptr);
  EXPECT_EQ(e2e::node_named(k.graph(), "carried"), nullptr);
  close(cs);
  close(conn);
}

TEST(Admin, OnlyRootOnTheHostGivesOrders) {
  e2e::Kernel k;
  k.jail("vj1");
  k.iface("em0");
  k.ok({"kld", "load", "ng_socket"});
  k.ok({"kld", "load", "ng_pcap"});
  const std::string ngsim = e2e::bin_path("ngsim");
  const e2e::json before = k.graph();
  const e2e::json kld = k.kld();
  e2e::RunOpts nobody;
  nobody.as_nobody = true;
  nobody.input = e2e::pcap_file({e2e::ether_frame(60, 1)});
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"halt"}, {"jail", "create", "x"}, {"iface", "create", "e9"},
           {"node", "create", "hub", "h9"}, {"fault", "add", "--op", "msg", "--errno", "EIO"},
           {"wire", "inject", "em0"}, {"wire", "listen", "em0", "--count", "1"},
           {"trace", "--json"}, {"kld", "add", "f.ko", "ng_socket", "--loaded"},
           {"kld", "load", "ng_wormhole"}, {"graph", "--json"}, {"jexec", "vj1", "true"},
           {"netns", "vj1"}, {"sysctl", "net.graph.recvspace=1"}}) {
    std::vector<std::string> argv{ngsim};
    argv.insert(argv.end(), args.begin(), args.end());
    Proc a = e2e::run(argv, nobody);
    EXPECT_EQ(a.status, 1) << args[0];
    EXPECT_EQ(a.err, kRootOnly) << args[0];
    std::vector<std::string> jailed{"jexec", "vj1"};
    jailed.insert(jailed.end(), argv.begin(), argv.end());
    Proc j = k.ngsim(jailed, e2e::with_input(nobody.input));
    EXPECT_EQ(j.status, 1) << args[0];
    EXPECT_EQ(j.err, kRootOnly) << args[0];
  }
  // Nothing changed, and nothing but built-in types is made by hand.
  EXPECT_EQ(k.graph(), before);
  EXPECT_EQ(k.kld(), kld);
  EXPECT_TRUE(k.trace().empty());
  EXPECT_EQ(k.ok({"sysctl", "net.graph.recvspace"}), "net.graph.recvspace: 20480\n");
  Proc p = k.ngsim({"node", "create", "pcap", "p0"});
  EXPECT_EQ(p.err, "ngsim: no built-in node type \"pcap\"\n");
}

TEST(SocketPath, OneAnotherUserCouldHavePlacedIsRefused) {
  e2e::Kernel k;
  // Another user listens first, in a directory of their own.
  std::string dir = k.path("squat");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t squatter = fork();
  if (squatter == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s/kernel.sock", dir.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0)
      _exit(2);
    if (write(ready[1], "r", 1) != 1) _exit(3);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char r;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  std::string squat = dir + "/kernel.sock";
  e2e::RunOpts there;
  there.env = {"NGSIM_SOCKET=" + squat};
  struct Case {
    std::vector<std::string> argv;
    std::string err;
  };
  const std::string none =
      "ngsim: no emulated kernel at " + squat + "; start one with `ngsim kernel`\n";
  for (const Case& c : std::vector<Case>{
           {{e2e::bin_path("ngsim"), "kernel"},
            "ngsim: refusing the socket path " + squat + ": " + dir +
                " belongs to another user\n"},
           {{e2e::bin_path("ngsim"), "graph"}, none},
           {{e2e::bin_path("ngctl"), "list"}, none + "ngctl: can't create node: Connection refused\n"},
           // A directory others may write to is no better.
           {{e2e::bin_path("ngsim"), "kernel"}, ""},
       }) {
    Proc p = e2e::run(c.argv, c.err.empty() ? e2e::RunOpts{{}, {"NGSIM_SOCKET=/tmp/k.sock"}}
                                            : there);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, c.err.empty()
                         ? "ngsim: refusing the socket path /tmp/k.sock: /tmp is writable by other users\n"
                         : c.err);
  }
  kill(squatter, SIGKILL);
  waitpid(squatter, nullptr, 0);
  // The kernel's own socket: made with every user's right to connect, no more.
  struct stat st;
  ASSERT_EQ(stat(k.socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(Bounds, AnAnswerOfAnySizeComesOutWhole) {
  e2e::Kernel k;
  // Two senders at once: some 20 MB of trace, far more than one packet takes.
  const int kEach = 16000;
  std::vector<pid_t> kids;
  for (int i = 0; i < 2; i++) {
    pid_t pid = fork();
    if (pid == 0) {
      Sock s;
      std::string arg(300, 'a');
      for (int j = 0; j < kEach; j++) s.msg("nowhere:", 99, 1, arg.data(), arg.size());
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) waitpid(pid, nullptr, 0);
  Proc p = k.ngsim({"trace", "--json"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(std::count(p.out.begin(), p.out.end(), '\n'), 2 * kEach);
  // The pid is the sender's, as the Linux kernel tells it.
  e2e::json last = e2e::json::parse(p.out.substr(p.out.rfind('\n', p.out.size() - 2) + 1));
  EXPECT_TRUE(last["pid"] == kids[0] || last["pid"] == kids[1]) << last.dump();
  EXPECT_EQ(last["arg"].get<std::string>().size(), 600u);
}

TEST(Bounds, IdleConnectionsAndUnreadAnswersCostTheKernelNothing) {
  e2e::Kernel k;
  k.iface("em0");
  k.ok({"kld", "load", "ng_socket"});
  pid_t kernel = kernel_pid(k);
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // Another user opens all the connections it may and reads nothing.
    rlimit rl = {20000, 20000};
    setrlimit(RLIMIT_NOFILE, &rl);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    // One connection asks and asks without ever reading an answer.
    int fd = e2e::raw_connect(k.socket());
    fcntl(fd, F_SETFL, O_NONBLOCK);
    ngsim_req rq{};
    rq.op = NGSIM_OP_KLDNEXT;
    rq.len = 4;
    std::string pkt = std::string(reinterpret_cast<char*>(&rq), sizeof rq) + std::string(4, '\0');
    int asked = 0;
    while (asked < 1000000 && send(fd, pkt.data(), pkt.size(), 0) > 0) asked++;
    // The others just stay.
    int opened = 0;
    for (int i = 0; i < 19000; i++)
      if (e2e::raw_connect(k.socket()) >= 0) opened++;
    char msg[64];
    int n = snprintf(msg, sizeof msg, "%d %d", opened, asked);
    if (write(done[1], msg, n) != n) _exit(2);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    _exit(0);
  }
  char buf[64] = {};
  ASSERT_GT(read(done[0], buf, sizeof buf - 1), 0);
  int opened = 0, asked = 0;
  sscanf(buf, "%d %d", &opened, &asked);
  EXPECT_GT(opened, 18000) << "connecting succeeds; the kernel hangs up past its bound";
  EXPECT_LT(asked, 1000000) << "the kernel stops reading whoever does not read it";
  double before = cpu_seconds(kernel);
  usleep(1000000);
  EXPECT_LT(cpu_seconds(kernel) - before, 0.2) << "the kernel idles";
  // Root is served meanwhile.
  Proc p = e2e::run({e2e::bin_path("ngctl"), "list"});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(k.graph()["nodes"].size(), 1u);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  waitpid(pid, nullptr, 0);
}

}  // namespace
