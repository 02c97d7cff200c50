#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace e2e {
namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void set_cloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// A program run as another user may lie where that user cannot enter (a
// checkout under /root): it runs from a copy in the test kernel's folder,
// which every user may enter.
std::vector<std::string> reachable(std::vector<std::string> argv) {
  const char* sock = getenv("NGSIM_SOCKET");
  size_t slash = argv[0].rfind('/');
  if (sock == nullptr || slash == std::string::npos) return argv;
  std::string copy = std::string(sock).substr(0, std::string(sock).rfind('/')) +
                     argv[0].substr(slash);
  if (copy != argv[0]) {
    std::filesystem::copy_file(argv[0], copy,
                               std::filesystem::copy_options::overwrite_existing);
    chmod(copy.c_str(), 0755);
  }
  argv[0] = copy;
  return argv;
}

// Starts argv with the three standard streams on fresh pipes. in_fd, out_fd
// and err_fd receive the parent's ends.
pid_t spawn(const std::vector<std::string>& args, const RunOpts& opts,
            int* in_fd, int* out_fd, int* err_fd) {
  const std::vector<std::string> argv = opts.as_nobody ? reachable(args) : args;
  int in[2], out[2], errp[2];
  if (pipe(in) < 0 || pipe(out) < 0 || pipe(errp) < 0)
    throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(errp[1], 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto& kv : opts.env) putenv(strdup(kv.c_str()));
    if (opts.as_nobody) {
      if (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0)
        _exit(126);
    }
    std::vector<char*> av;
    for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    execvp(av[0], av.data());
    fprintf(stderr, "exec %s: %s\n", av[0], strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(errp[1]);
  set_cloexec(in[1]);
  set_cloexec(out[0]);
  set_cloexec(errp[0]);
  *in_fd = in[1];
  *out_fd = out[0];
  *err_fd = errp[0];
  return pid;
}

void decode_status(int wstatus, Proc* p) {
  if (WIFEXITED(wstatus)) {
    p->status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    p->signaled = true;
    p->sig = WTERMSIG(wstatus);
    p->status = 128 + p->sig;
  }
}

void put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<char*>(&v), 4); }
void put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<char*>(&v), 2); }

}  // namespace

std::string bin_path(const std::string& prog) {
  return std::string(NG_BIN_DIR) + "/" + prog;
}

Proc run(const std::vector<std::string>& argv, const RunOpts& opts) {
  int in, out, err;
  pid_t pid = spawn(argv, opts, &in, &out, &err);
  Proc p;
  size_t off = 0;
  if (opts.input.empty()) {
    close(in);
    in = -1;
  } else {
    fcntl(in, F_SETFL, O_NONBLOCK);
  }
  double deadline = now() + opts.timeout;
  bool out_open = true, err_open = true;
  while (out_open || err_open || in >= 0) {
    pollfd fds[3];
    int n = 0;
    int io = -1, ie = -1, ii = -1;
    if (out_open) { io = n; fds[n++] = {out, POLLIN, 0}; }
    if (err_open) { ie = n; fds[n++] = {err, POLLIN, 0}; }
    if (in >= 0) { ii = n; fds[n++] = {in, POLLOUT, 0}; }
    double left = deadline - now();
    if (left <= 0) {
      p.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    int r = poll(fds, n, static_cast<int>(left * 1000) + 1);
    if (r < 0 && errno == EINTR) continue;
    char buf[65536];
    if (io >= 0 && fds[io].revents) {
      ssize_t k = read(out, buf, sizeof(buf));
      if (k > 0) p.out.append(buf, k); else out_open = false;
    }
    if (ie >= 0 && fds[ie].revents) {
      ssize_t k = read(err, buf, sizeof(buf));
      if (k > 0) p.err.append(buf, k); else err_open = false;
    }
    if (ii >= 0 && fds[ii].revents) {
      ssize_t k = write(in, opts.input.data() + off, opts.input.size() - off);
      if (k > 0) off += k;
      if (k < 0 || off == opts.input.size()) { close(in); in = -1; }
    }
  }
  if (in >= 0) close(in);
  close(out);
  close(err);
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {}
  decode_status(ws, &p);
  return p;
}

Proc sh(const std::string& command, const RunOpts& opts) {
  return run({"/bin/sh", "-c", command}, opts);
}

Background::Background(const std::vector<std::string>& argv, const RunOpts& opts) {
  int in;
  pid_ = spawn(argv, opts, &in, &out_fd_, &err_fd_);
  if (!opts.input.empty()) {
    ssize_t k = write(in, opts.input.data(), opts.input.size());
    (void)k;
  }
  close(in);
  fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

Background::~Background() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int ws;
    while (waitpid(pid_, &ws, 0) < 0 && errno == EINTR) {}
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void Background::pump(double timeout, size_t want) {
  double deadline = now() + timeout;
  for (;;) {
    char buf[65536];
    bool any = false;
    for (;;) {
      ssize_t k = out_fd_ >= 0 ? read(out_fd_, buf, sizeof(buf)) : -1;
      if (k > 0) { out_.append(buf, k); any = true; continue; }
      if (k == 0) { close(out_fd_); out_fd_ = -1; }
      break;
    }
    for (;;) {
      ssize_t k = err_fd_ >= 0 ? read(err_fd_, buf, sizeof(buf)) : -1;
      if (k > 0) { err_.append(buf, k); any = true; continue; }
      if (k == 0) { close(err_fd_); err_fd_ = -1; }
      break;
    }
    if (out_.size() >= want) return;
    double left = deadline - now();
    if (left <= 0) return;
    if (out_fd_ < 0 && err_fd_ < 0) return;
    if (!any) {
      pollfd fds[2];
      int n = 0;
      if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
      if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
      poll(fds, n, static_cast<int>(left * 1000) + 1);
    }
  }
}

const std::string& Background::read_out(size_t n, double timeout) {
  pump(timeout, n);
  return out_;
}

const std::string& Background::read_err() {
  pump(0, 0);
  return err_;
}

void Background::signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

bool Background::running() {
  if (reaped_) return false;
  int ws;
  pid_t r = waitpid(pid_, &ws, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    decode_status(ws, &result_);
    return false;
  }
  return true;
}

Proc Background::wait(double timeout) {
  double deadline = now() + timeout;
  while (running()) {
    pump(0.05, SIZE_MAX);
    if (now() > deadline) {
      kill(pid_, SIGKILL);
      result_.timed_out = true;
    }
  }
  pump(0.2, SIZE_MAX);
  result_.out = out_;
  result_.err = err_;
  return result_;
}

Kernel::Kernel() {
  char tmpl[] = "/tmp/ngsim-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755);  // programs run as another user reach the socket
  socket_ = dir_ + "/kernel.sock";
  setenv("NGSIM_SOCKET", socket_.c_str(), 1);
  Proc p = run({bin_path("ngsim"), "kernel"}, {});
  if (p.status != 0)
    ADD_FAILURE() << "ngsim kernel failed (" << p.status << "): " << p.err;
}

Kernel::~Kernel() {
  run({bin_path("ngsim"), "halt"}, {});
  run({"/bin/rm", "-rf", dir_}, {});
}

Proc Kernel::ngsim(const std::vector<std::string>& args, const RunOpts& opts) {
  std::vector<std::string> argv{bin_path("ngsim")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, opts);
}

std::string Kernel::ok(const std::vector<std::string>& args, const RunOpts& opts) {
  Proc p = ngsim(args, opts);
  std::string cmd;
  for (const auto& a : args) cmd += " " + a;
  EXPECT_EQ(p.status, 0) << "ngsim" << cmd << ": " << p.err;
  return p.out;
}

int Kernel::jail(const std::string& name, const std::string& parent) {
  std::vector<std::string> args{"jail", "create", name};
  if (!parent.empty()) { args.push_back("--parent"); args.push_back(parent); }
  std::string out = ok(args);
  return std::atoi(out.c_str());
}

void Kernel::iface(const std::string& name, const std::string& jail) {
  std::vector<std::string> args{"iface", "create", name};
  if (!jail.empty()) { args.push_back("--jail"); args.push_back(jail); }
  ok(args);
}

json Kernel::graph(const std::string& jail) {
  std::vector<std::string> args{"graph"};
  if (!jail.empty()) { args.push_back("--jail"); args.push_back(jail); }
  args.push_back("--json");
  std::string out = ok(args);
  try {
    return json::parse(out);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "graph output is not JSON: " << out;
    return json::object();
  }
}

std::vector<json> Kernel::trace(bool clear) {
  std::vector<std::string> args{"trace"};
  if (clear) args.push_back("--clear");
  args.push_back("--json");
  std::istringstream in(ok(args));
  std::vector<json> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    try {
      lines.push_back(json::parse(line));
    } catch (const std::exception&) {
      ADD_FAILURE() << "trace line is not JSON: " << line;
    }
  }
  return lines;
}

void Kernel::fault(const std::vector<std::string>& args) {
  std::vector<std::string> a{"fault", "add"};
  a.insert(a.end(), args.begin(), args.end());
  ok(a);
}

json Kernel::kld() {
  std::string out = ok({"kld", "list", "--json"});
  try {
    return json::parse(out);
  } catch (const std::exception&) {
    ADD_FAILURE() << "kld output is not JSON: " << out;
    return json::array();
  }
}

std::vector<json> nodes_of_type(const json& graph, const std::string& type) {
  std::vector<json> v;
  if (!graph.contains("nodes")) return v;
  for (const auto& n : graph["nodes"])
    if (n.value("type", "") == type) v.push_back(n);
  return v;
}

const json* node_named(const json& graph, const std::string& name) {
  if (!graph.contains("nodes")) return nullptr;
  for (const auto& n : graph["nodes"])
    if (n.contains("name") && n["name"].is_string() && n["name"] == name) return &n;
  return nullptr;
}

const json* node_with_id(const json& graph, uint32_t id) {
  if (!graph.contains("nodes")) return nullptr;
  for (const auto& n : graph["nodes"])
    if (n.value("id", 0u) == id) return &n;
  return nullptr;
}

const json* hook_of(const json& node, const std::string& hook) {
  if (!node.contains("hooks")) return nullptr;
  for (const auto& h : node["hooks"])
    if (h.value("hook", "") == hook) return &h;
  return nullptr;
}

std::string ether_frame(size_t len, uint8_t seed) {
  std::string f;
  const unsigned char dst[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const unsigned char src[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  f.append(reinterpret_cast<const char*>(dst), 6);
  f.append(reinterpret_cast<const char*>(src), 6);
  f.push_back(static_cast<char>(0x88));  // local experimental ethertype
  f.push_back(static_cast<char>(0xb5));
  for (size_t i = f.size(); i < len; i++)
    f.push_back(static_cast<char>((seed * 131 + i * 7) & 0xff));
  f.resize(len);
  return f;
}

std::string pcap_file(const std::vector<std::string>& frames, uint32_t linktype,
                      uint32_t snaplen) {
  std::string s;
  put32(s, 0xa1b2c3d4);
  put16(s, 2);
  put16(s, 4);
  put32(s, 0);
  put32(s, 0);
  put32(s, snaplen);
  put32(s, linktype);
  uint32_t t = 1700000000;
  for (size_t i = 0; i < frames.size(); i++) {
    put32(s, t);
    put32(s, static_cast<uint32_t>(i));
    put32(s, static_cast<uint32_t>(frames[i].size()));
    put32(s, static_cast<uint32_t>(frames[i].size()));
    s += frames[i];
  }
  return s;
}

std::vector<Packet> read_pcap(const std::string& bytes, uint32_t* linktype) {
  std::vector<Packet> v;
  if (bytes.size() < 24) return v;
  uint32_t magic;
  memcpy(&magic, bytes.data(), 4);
  bool swap = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
  auto get32 = [&](size_t off) {
    uint32_t x;
    memcpy(&x, bytes.data() + off, 4);
    return swap ? __builtin_bswap32(x) : x;
  };
  if (linktype) *linktype = get32(20);
  size_t off = 24;
  while (off + 16 <= bytes.size()) {
    Packet p;
    p.caplen = get32(off + 8);
    p.origlen = get32(off + 12);
    if (off + 16 + p.caplen > bytes.size()) break;
    p.data = bytes.substr(off + 16, p.caplen);
    v.push_back(p);
    off += 16 + p.caplen;
  }
  return v;
}

int raw_connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

ssize_t send_with_fd(int fd, const std::string& bytes, int pass) {
  iovec iov = {const_cast<char*>(bytes.data()), bytes.size()};
  union {
    cmsghdr h;
    char space[CMSG_SPACE(sizeof(int))];
  } ctl;
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  if (pass >= 0) {
    mh.msg_control = ctl.space;
    mh.msg_controllen = sizeof ctl.space;
    cmsghdr* cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &pass, sizeof(int));
  }
  return sendmsg(fd, &mh, MSG_NOSIGNAL);
}

int recv_fd(int fd, std::string* bytes) {
  char buf[65536];
  iovec iov = {buf, sizeof buf};
  union {
    cmsghdr h;
    char space[CMSG_SPACE(sizeof(int) * 2)];
  } ctl;
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = ctl.space;
  mh.msg_controllen = sizeof ctl.space;
  ssize_t n = recvmsg(fd, &mh, 0);
  if (n < 0) return -1;
  if (bytes) bytes->assign(buf, n);
  cmsghdr* cm = CMSG_FIRSTHDR(&mh);
  if (cm == nullptr || cm->cmsg_type != SCM_RIGHTS) return -1;
  int got;
  memcpy(&got, CMSG_DATA(cm), sizeof got);
  return got;
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace e2e
