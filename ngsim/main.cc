/*
 * ngsim: start, stop and drive the emulated kernel from outside.
 */
#include "daemon.h"
#include "inject.h"
#include "kernel.h"
#include "proto.h"

#include <nlohmann/json.hpp>
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

using json = nlohmann::ordered_json;

namespace {

const char kUsage[] =
    "usage: ngsim kernel [--foreground]\n"
    "       ngsim halt\n"
    "       ngsim jail create NAME [--parent JAIL]\n"
    "       ngsim jexec JAIL CMD [ARG ...]\n"
    "       ngsim iface create NAME [--jail JAIL]\n"
    "       ngsim node create TYPE NAME [--jail JAIL]\n"
    "       ngsim wire inject IFACE [--jail JAIL] < FILE\n"
    "       ngsim wire listen IFACE [--jail JAIL] [--count N] [--timeout S]\n"
    "       ngsim inject NODE:HOOK [--jail JAIL] < FILE\n"
    "       ngsim graph [--jail JAIL] --json\n"
    "       ngsim trace [--clear] --json\n"
    "       ngsim fault add --op OP [--cookie N] [--cmd N] [--path P] [--nth K] --errno NAME\n"
    "       ngsim fault clear\n"
    "       ngsim kld list [--json]\n"
    "       ngsim kld add FILE MODULE ... [--loaded]\n"
    "       ngsim kld load FILE\n";

[[noreturn]] void usage()
{
	fputs(kUsage, stderr);
	exit(64);
}

[[noreturn]] void die(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fputs("ngsim: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
	exit(1);
}

std::string socket_path()
{
	const char *p = getenv(NGSIM_SOCKET_ENV);
	return p != nullptr && *p != '\0' ? p : NGSIM_DEFAULT_SOCKET;
}

int connect_kernel(bool quiet = false)
{
	std::string path = socket_path();
	sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	if (path.size() >= sizeof sa.sun_path)
		die("socket path too long: %s", path.c_str());
	memcpy(sa.sun_path, path.c_str(), path.size());
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0)
		die("socket: %s", strerror(errno));
	if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
		int e = errno;
		close(fd);
		if (quiet)
			return -1;
		die("no kernel at %s: %s", path.c_str(), strerror(e));
	}
	int big = 4 * 1024 * 1024;
	setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
	setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
	return fd;
}

void send_admin(int fd, const json &rq, const void *bin = nullptr,
    size_t binlen = 0)
{
	std::string j = rq.dump(-1, ' ', false, json::error_handler_t::replace);
	ngsim_req r;
	memset(&r, 0, sizeof r);
	r.op = NGSIM_OP_ADMIN;
	r.pid = getpid();
	r.len = static_cast<uint32_t>(j.size() + (bin ? 1 + binlen : 0));
	std::vector<uint8_t> pkt(sizeof r + r.len);
	memcpy(pkt.data(), &r, sizeof r);
	memcpy(pkt.data() + sizeof r, j.data(), j.size());
	if (bin != nullptr) {
		pkt[sizeof r + j.size()] = 0;
		memcpy(pkt.data() + sizeof r + j.size() + 1, bin, binlen);
	}
	if (send(fd, pkt.data(), pkt.size(), MSG_NOSIGNAL) < 0)
		die("send to the kernel: %s", strerror(errno));
}

/* One packet from the kernel: the header and its payload. */
bool recv_packet(int fd, ngsim_rsp &rsp, std::string &payload)
{
	/* A long trace or graph may exceed any fixed buffer: ask its size. */
	char probe;
	ssize_t want = recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC);
	if (want <= 0)
		return false;
	std::vector<uint8_t> buf(static_cast<size_t>(want));
	ssize_t n = recv(fd, buf.data(), buf.size(), 0);
	if (n < static_cast<ssize_t>(sizeof rsp))
		return false;
	memcpy(&rsp, buf.data(), sizeof rsp);
	payload.assign(reinterpret_cast<char *>(buf.data()) + sizeof rsp,
	    n - sizeof rsp);
	return true;
}

json admin_on(int fd, const json &rq, const void *bin = nullptr,
    size_t binlen = 0)
{
	send_admin(fd, rq, bin, binlen);
	ngsim_rsp rsp;
	std::string payload;
	if (!recv_packet(fd, rsp, payload))
		die("the kernel hung up");
	json rs = json::parse(payload, nullptr, false);
	if (rs.is_discarded())
		die("the kernel gave a malformed answer");
	if (rs.contains("error"))
		die("%s", rs["error"].get<std::string>().c_str());
	return rs;
}

json admin(const json &rq)
{
	int fd = connect_kernel();
	json rs = admin_on(fd, rq);
	close(fd);
	return rs;
}

/* Options after the positional arguments. */
struct Opts {
	std::vector<std::string> pos;
	std::vector<std::pair<std::string, std::string>> kv;
	std::vector<std::string> flags;
	bool has(const std::string &f) const
	{
		for (const std::string &x : flags)
			if (x == f)
				return true;
		return false;
	}
	const std::string *get(const std::string &k) const
	{
		for (const auto &p : kv)
			if (p.first == k)
				return &p.second;
		return nullptr;
	}
};

Opts parse(int argc, char **argv, int from,
    const std::vector<std::string> &with_value,
    const std::vector<std::string> &bare)
{
	Opts o;
	for (int i = from; i < argc; i++) {
		std::string a = argv[i];
		if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
			bool known = false;
			for (const std::string &w : with_value)
				if (a == w) {
					if (i + 1 >= argc) {
						fprintf(stderr, "ngsim: option %s needs a value\n",
						    a.c_str());
						usage();
					}
					o.kv.emplace_back(a, argv[++i]);
					known = true;
				}
			for (const std::string &b : bare)
				if (a == b) {
					o.flags.push_back(a);
					known = true;
				}
			if (!known) {
				fprintf(stderr, "ngsim: unknown option %s\n", a.c_str());
				usage();
			}
			continue;
		}
		o.pos.push_back(a);
	}
	return o;
}

json jail_of(const Opts &o)
{
	const std::string *j = o.get("--jail");
	return j ? json(*j) : json(nullptr);
}

unsigned long number(const std::string &s, const char *what)
{
	char *end;
	errno = 0;
	unsigned long v = strtoul(s.c_str(), &end, 0);
	if (s.empty() || *end != '\0' || errno != 0 || s[0] == '-')
		die("bad %s \"%s\"", what, s.c_str());
	return v;
}

int cmd_kernel(const Opts &o)
{
	if (!o.pos.empty())
		usage();
	std::string path = socket_path();
	int probe = connect_kernel(true);
	if (probe >= 0) {
		close(probe);
		die("a kernel is already running at %s", path.c_str());
	}
	sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	if (path.size() >= sizeof sa.sun_path)
		die("socket path too long: %s", path.c_str());
	memcpy(sa.sun_path, path.c_str(), path.size());
	unlink(path.c_str());
	int lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (lfd < 0)
		die("socket: %s", strerror(errno));
	if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
		die("bind %s: %s", path.c_str(), strerror(errno));
	chmod(path.c_str(), 0666);
	if (listen(lfd, 128) < 0)
		die("listen: %s", strerror(errno));
	if (o.has("--foreground"))
		return ngsim::run_kernel(lfd, path);
	/* The socket accepts clients from here on; the child serves them. */
	pid_t pid = fork();
	if (pid < 0)
		die("fork: %s", strerror(errno));
	if (pid > 0)
		return 0;
	setsid();
	int nul = open("/dev/null", O_RDWR);
	if (nul >= 0) {
		dup2(nul, 0);
		dup2(nul, 1);
		dup2(nul, 2);
		if (nul > 2)
			close(nul);
	}
	_exit(ngsim::run_kernel(lfd, path));
}

int cmd_halt()
{
	int fd = connect_kernel();
	admin_on(fd, {{"cmd", "halt"}});
	/* Wait until the kernel has gone. */
	char b;
	while (recv(fd, &b, 1, 0) > 0)
		;
	close(fd);
	for (int i = 0; i < 200; i++) {
		int p = connect_kernel(true);
		if (p < 0)
			break;
		close(p);
		usleep(10000);
	}
	return 0;
}

void print_json_line(const json &j)
{
	std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
	printf("%s\n", s.c_str());
}

int cmd_wire_listen(const Opts &o)
{
	if (o.pos.size() != 1)
		usage();
	long count = -1;
	double timeout = -1;
	if (const std::string *c = o.get("--count"))
		count = static_cast<long>(number(*c, "count"));
	if (const std::string *t = o.get("--timeout")) {
		char *end;
		timeout = strtod(t->c_str(), &end);
		if (t->empty() || *end != '\0' || timeout < 0)
			die("bad timeout \"%s\"", t->c_str());
	}
	int fd = connect_kernel();
	admin_on(fd, {{"cmd", "wire_listen"}, {"iface", o.pos[0]},
	    {"jail", jail_of(o)}});
	struct {
		uint32_t magic = 0xa1b2c3d4;
		uint16_t major = 2, minor = 4;
		int32_t zone = 0;
		uint32_t sigfigs = 0, snaplen = NGSIM_MAX_ITEM, linktype = 1;
	} fh;
	static_assert(sizeof fh == 24, "pcap file header is 24 bytes");
	fwrite(&fh, sizeof fh, 1, stdout);
	fflush(stdout);
	timeval start;
	gettimeofday(&start, nullptr);
	long got = 0;
	while (count < 0 || got < count) {
		int wait = -1;
		if (timeout >= 0) {
			timeval now;
			gettimeofday(&now, nullptr);
			double el = (now.tv_sec - start.tv_sec) +
			    (now.tv_usec - start.tv_usec) / 1e6;
			if (el >= timeout)
				break;
			wait = static_cast<int>((timeout - el) * 1000) + 1;
		}
		pollfd p = {fd, POLLIN, 0};
		int r = poll(&p, 1, wait);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			break;
		ngsim_rsp rsp;
		std::string pl;
		if (!recv_packet(fd, rsp, pl))
			break;
		if (pl.size() < 8)
			continue;
		uint32_t rec[4];
		memcpy(rec, pl.data(), 8);
		rec[2] = rec[3] = static_cast<uint32_t>(pl.size() - 8);
		fwrite(rec, sizeof rec, 1, stdout);
		fwrite(pl.data() + 8, 1, pl.size() - 8, stdout);
		fflush(stdout);
		got++;
	}
	close(fd);
	return 0;
}

int cmd_wire_inject(const Opts &o)
{
	if (o.pos.size() != 1)
		usage();
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *pc = pcap_fopen_offline(stdin, errbuf);
	if (pc == nullptr)
		die("cannot read the capture file: %s", errbuf);
	int fd = connect_kernel();
	json rq = {{"cmd", "wire_inject"}, {"iface", o.pos[0]},
	    {"jail", jail_of(o)}};
	/* Make sure the interface exists even for an empty file. */
	admin_on(fd, rq);
	pcap_pkthdr *h;
	const u_char *data;
	int r;
	while ((r = pcap_next_ex(pc, &h, &data)) == 1)
		admin_on(fd, rq, data, h->caplen);
	if (r == PCAP_ERROR)
		die("cannot read the capture file: %s", pcap_geterr(pc));
	close(fd);
	return 0;
}

int cmd_fault(int argc, char **argv)
{
	if (argc < 3)
		usage();
	std::string sub = argv[2];
	if (sub == "clear") {
		if (argc != 3)
			usage();
		admin({{"cmd", "fault_clear"}});
		return 0;
	}
	if (sub != "add")
		usage();
	Opts o = parse(argc, argv, 3, {"--op", "--cookie", "--cmd", "--path",
	    "--nth", "--errno"}, {});
	if (!o.pos.empty() || !o.get("--op") || !o.get("--errno"))
		usage();
	json rq = {{"cmd", "fault_add"}, {"op", *o.get("--op")}};
	const std::string &en = *o.get("--errno");
	int e = ngsim::errno_by_name(en);
	if (e == 0)
		die("unknown errno name \"%s\"", en.c_str());
	rq["errno"] = e;
	if (const std::string *c = o.get("--cookie"))
		rq["cookie"] = static_cast<uint32_t>(number(*c, "cookie"));
	if (const std::string *c = o.get("--cmd"))
		rq["cmd_num"] = static_cast<uint32_t>(number(*c, "command"));
	if (const std::string *p = o.get("--path"))
		rq["path"] = *p;
	if (const std::string *n = o.get("--nth")) {
		unsigned long k = number(*n, "count");
		if (k == 0)
			die("bad count \"%s\"", n->c_str());
		rq["nth"] = k;
	}
	admin(rq);
	return 0;
}

int cmd_kld(int argc, char **argv)
{
	if (argc < 3)
		usage();
	std::string sub = argv[2];
	if (sub == "list") {
		Opts o = parse(argc, argv, 3, {}, {"--json"});
		if (!o.pos.empty())
			usage();
		json rs = admin({{"cmd", "kld_list"}});
		if (o.has("--json")) {
			print_json_line(rs["files"]);
			return 0;
		}
		printf("%-4s %-6s %s\n", "Id", "Loaded", "File (modules)");
		for (const json &f : rs["files"]) {
			std::string mods;
			for (const json &m : f["modules"])
				mods += (mods.empty() ? "" : ", ") + m.get<std::string>();
			printf("%-4s %-6s %s (%s)\n",
			    f["id"].is_null() ? "-" :
			    std::to_string(f["id"].get<int>()).c_str(),
			    f["loaded"].get<bool>() ? "yes" : "no",
			    f["file"].get<std::string>().c_str(), mods.c_str());
		}
		return 0;
	}
	if (sub == "add") {
		Opts o = parse(argc, argv, 3, {}, {"--loaded"});
		if (o.pos.size() < 2)
			usage();
		std::vector<std::string> mods(o.pos.begin() + 1, o.pos.end());
		admin({{"cmd", "kld_add"}, {"file", o.pos[0]}, {"modules", mods},
		    {"loaded", o.has("--loaded")}});
		return 0;
	}
	if (sub == "load") {
		Opts o = parse(argc, argv, 3, {}, {});
		if (o.pos.size() != 1)
			usage();
		int fd = connect_kernel();
		send_admin(fd, {{"cmd", "kld_load"}, {"file", o.pos[0]}});
		ngsim_rsp rsp;
		std::string payload;
		if (!recv_packet(fd, rsp, payload))
			die("the kernel hung up");
		json rs = json::parse(payload, nullptr, false);
		if (rs.is_discarded())
			die("the kernel gave a malformed answer");
		if (rs.contains("error"))
			die("kldload %s: %s", o.pos[0].c_str(),
			    rs["error"].get<std::string>().c_str());
		printf("%d\n", rs["id"].get<int>());
		return 0;
	}
	usage();
}

void attach_self(const Opts &o)
{
	if (o.get("--jail") == nullptr)
		return;
	admin({{"cmd", "jail_attach"}, {"jail", *o.get("--jail")}});
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		usage();
	std::string cmd = argv[1];
	if (cmd == "kernel")
		return cmd_kernel(parse(argc, argv, 2, {}, {"--foreground"}));
	if (cmd == "halt") {
		if (argc != 2)
			usage();
		return cmd_halt();
	}
	if (cmd == "jail") {
		if (argc < 3 || std::string(argv[2]) != "create")
			usage();
		Opts o = parse(argc, argv, 3, {"--parent"}, {});
		if (o.pos.size() != 1)
			usage();
		const std::string *p = o.get("--parent");
		json rs = admin({{"cmd", "jail_create"}, {"name", o.pos[0]},
		    {"parent", p ? json(*p) : json(nullptr)}});
		printf("%d\n", rs["jid"].get<int>());
		return 0;
	}
	if (cmd == "jexec") {
		if (argc < 4)
			usage();
		admin({{"cmd", "jail_attach"}, {"jail", argv[2]}});
		execvp(argv[3], argv + 3);
		die("%s: %s", argv[3], strerror(errno));
	}
	if (cmd == "iface") {
		if (argc < 3 || std::string(argv[2]) != "create")
			usage();
		Opts o = parse(argc, argv, 3, {"--jail"}, {});
		if (o.pos.size() != 1)
			usage();
		admin({{"cmd", "iface_create"}, {"name", o.pos[0]},
		    {"jail", jail_of(o)}});
		return 0;
	}
	if (cmd == "node") {
		if (argc < 3 || std::string(argv[2]) != "create")
			usage();
		Opts o = parse(argc, argv, 3, {"--jail"}, {});
		if (o.pos.size() != 2)
			usage();
		admin({{"cmd", "node_create"}, {"type", o.pos[0]},
		    {"name", o.pos[1]}, {"jail", jail_of(o)}});
		return 0;
	}
	if (cmd == "wire") {
		if (argc < 3)
			usage();
		std::string sub = argv[2];
		if (sub == "inject")
			return cmd_wire_inject(parse(argc, argv, 3, {"--jail"}, {}));
		if (sub == "listen")
			return cmd_wire_listen(parse(argc, argv, 3,
			    {"--jail", "--count", "--timeout"}, {}));
		usage();
	}
	if (cmd == "inject") {
		Opts o = parse(argc, argv, 2, {"--jail"}, {});
		if (o.pos.size() != 1)
			usage();
		attach_self(o);
		char errbuf[PCAP_ERRBUF_SIZE];
		pcap_t *pc = pcap_fopen_offline(stdin, errbuf);
		if (pc == nullptr)
			die("cannot read the capture file: %s", errbuf);
		std::string err;
		if (ngsim_inject_packets(o.pos[0], pc, err) != 0)
			die("%s", err.c_str());
		return 0;
	}
	if (cmd == "graph") {
		Opts o = parse(argc, argv, 2, {"--jail"}, {"--json"});
		if (!o.pos.empty() || !o.has("--json"))
			usage();
		print_json_line(admin({{"cmd", "graph"}, {"jail", jail_of(o)}}));
		return 0;
	}
	if (cmd == "trace") {
		Opts o = parse(argc, argv, 2, {}, {"--clear", "--json"});
		if (!o.pos.empty() || (!o.has("--json") && !o.has("--clear")))
			usage();
		json rs = admin({{"cmd", "trace"}, {"clear", o.has("--clear")}});
		if (o.has("--json"))
			for (const json &l : rs["trace"])
				print_json_line(l);
		return 0;
	}
	if (cmd == "fault")
		return cmd_fault(argc, argv);
	if (cmd == "kld")
		return cmd_kld(argc, argv);
	usage();
}
