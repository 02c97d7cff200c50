/*
 * ngsim: start, stop and drive the emulated kernel from outside.
 */
#include "cli.h"
#include "inject.h"
#include "kernel.h"
#include "proto.h"
#include "start.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace ngsim;

namespace {

const char kUsage[] =
    "usage: ngsim kernel [--foreground]\n"
    "       ngsim halt\n"
    "       ngsim jail create NAME [--parent JAIL]\n"
    "       ngsim jexec JAIL CMD [ARG ...]\n"
    "       ngsim netns JAIL\n"
    "       ngsim iface create NAME [--type ether|iface] [--jail JAIL]\n"
    "       ngsim node create TYPE NAME [--jail JAIL]\n"
    "       ngsim wire inject IFACE [--jail JAIL] < FILE\n"
    "       ngsim wire listen IFACE [--jail JAIL] [--count N] [--timeout S]\n"
    "       ngsim inject NODE:HOOK [--jail JAIL] < FILE\n"
    "       ngsim graph [--jail JAIL] [--json]\n"
    "       ngsim sysctl NAME[=VALUE]\n"
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

void print_json_line(const json &j)
{
	std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
	printf("%s\n", s.c_str());
}

/* Moves this process into the network namespace of a jail (or the host's). */
void enter(const std::string &jail)
{
	int ns = -1;
	admin({{"cmd", "jail_netns"}, {"jail", jail}}, &ns);
	if (ns < 0)
		die("the kernel passed no namespace");
	if (setns(ns, CLONE_NEWNET) < 0)
		die("cannot enter jail \"%s\": %s", jail.c_str(), strerror(errno));
	close(ns);
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
		std::string pl;
		if (!next_packet(fd, pl))
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

/*
 * A vnet's graph as ngctl(8) shows nodes: every node with its hooks, IDs in
 * hex. A twin link's peer lives in another jail, named after the table.
 */
void print_graph(const json &g, const std::string &jail)
{
	std::map<uint32_t, const json *> byid;
	for (const json &n : g["nodes"])
		byid[n["id"].get<uint32_t>()] = &n;
	std::map<int, json> others;
	auto peer_of = [&](const json &h) -> const json * {
		uint32_t id = h["peer"].get<uint32_t>();
		if (!h.contains("peerjail"))
			return byid.count(id) ? byid[id] : nullptr;
		int j = h["peerjail"].get<int>();
		if (!others.count(j))
			others[j] = admin({{"cmd", "graph"},
			    {"jail", std::to_string(j)}});
		for (const json &n : others[j]["nodes"])
			if (n["id"].get<uint32_t>() == id)
				return &n;
		return nullptr;
	};
	size_t count = g["nodes"].size();
	printf("There %s %zu total node%s in %s:\n", count == 1 ? "is" : "are",
	    count, count == 1 ? "" : "s",
	    jail.empty() ? "the host's vnet" : ("jail " + jail).c_str());
	for (const json &n : g["nodes"]) {
		std::string name = n["name"].is_null() ? "<unnamed>" :
		    n["name"].get<std::string>();
		printf("  Name: %-15s Type: %-15s ID: %08x   Num hooks: %zu\n",
		    name.c_str(), n["type"].get<std::string>().c_str(),
		    n["id"].get<uint32_t>(), n["hooks"].size());
		if (n["hooks"].empty())
			continue;
		printf("  Local hook      Peer name       Peer type    Peer ID"
		    "     Peer hook\n");
		printf("  ----------      ---------       ---------    -------"
		    "     ---------\n");
		for (const json &h : n["hooks"]) {
			const json *p = peer_of(h);
			std::string pname = p == nullptr || (*p)["name"].is_null() ?
			    "<unnamed>" : (*p)["name"].get<std::string>();
			std::string ptype = p == nullptr ? "?" :
			    (*p)["type"].get<std::string>();
			std::string where = h.contains("peerjail") ?
			    " (jail " + std::to_string(h["peerjail"].get<int>()) +
			    ")" : "";
			printf("  %-15s %-15s %-12s %08x    %s%s\n",
			    h["hook"].get<std::string>().c_str(), pname.c_str(),
			    ptype.c_str(), h["peer"].get<uint32_t>(),
			    h["peerhook"].get<std::string>().c_str(), where.c_str());
		}
	}
}

int cmd_sysctl(const Opts &o)
{
	if (o.pos.size() != 1)
		usage();
	std::string arg = o.pos[0];
	size_t eq = arg.find('=');
	std::string name = arg.substr(0, eq);
	json rq = {{"cmd", "sysctl"}, {"name", name}};
	if (eq == std::string::npos) {
		json rs = admin(rq);
		printf("%s: %zu\n", name.c_str(), rs["value"].get<size_t>());
		return 0;
	}
	size_t old = admin(rq)["value"].get<size_t>();
	rq["value"] = number(arg.substr(eq + 1), "value");
	json rs = admin(rq);
	printf("%s: %zu -> %zu\n", name.c_str(), old, rs["value"].get<size_t>());
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
	int e = errno_by_name(en);
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
		std::string what = "kldload " + o.pos[0];
		json rs = admin_on(fd, {{"cmd", "kld_load"}, {"file", o.pos[0]}},
		    nullptr, 0, nullptr, what.c_str());
		printf("%d\n", rs["id"].get<int>());
		return 0;
	}
	usage();
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		usage();
	std::string cmd = argv[1];
	if (cmd == "kernel") {
		Opts o = parse(argc, argv, 2, {}, {"--foreground"});
		if (!o.pos.empty())
			usage();
		return start_kernel(o.has("--foreground"));
	}
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
		enter(argv[2]);
		execvp(argv[3], argv + 3);
		die("%s: %s", argv[3], strerror(errno));
	}
	if (cmd == "netns") {
		if (argc != 3)
			usage();
		json rs = admin({{"cmd", "jail_netns"}, {"jail", argv[2]}});
		printf("%s\n", rs["path"].get<std::string>().c_str());
		return 0;
	}
	if (cmd == "iface" || cmd == "node") {
		if (argc < 3 || std::string(argv[2]) != "create")
			usage();
		bool iface = cmd == "iface";
		Opts o = parse(argc, argv, 3, iface ?
		    std::vector<std::string>{"--jail", "--type"} :
		    std::vector<std::string>{"--jail"}, {});
		if (o.pos.size() != (iface ? 1u : 2u))
			usage();
		json rq = {{"cmd", iface ? "iface_create" : "node_create"},
		    {"name", o.pos[iface ? 0 : 1]}, {"jail", jail_of(o)}};
		if (!iface)
			rq["type"] = o.pos[0];
		else if (const std::string *t = o.get("--type"))
			rq["type"] = *t;
		admin(rq);
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
		if (const std::string *j = o.get("--jail"))
			enter(*j);
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
		if (!o.pos.empty())
			usage();
		json g = admin({{"cmd", "graph"}, {"jail", jail_of(o)}});
		if (o.has("--json"))
			print_json_line(g);
		else
			print_graph(g, o.get("--jail") ? *o.get("--jail") : "");
		return 0;
	}
	if (cmd == "sysctl")
		return cmd_sysctl(parse(argc, argv, 2, {}, {}));
	if (cmd == "trace") {
		Opts o = parse(argc, argv, 2, {}, {"--clear", "--json"});
		if (!o.pos.empty() || (!o.has("--json") && !o.has("--clear")))
			usage();
		json rs = admin({{"cmd", "trace"}, {"clear", o.has("--clear")}});
		if (o.has("--json")) {
			if (rs.value("dropped", 0UL) > 0)
				fprintf(stderr, "ngsim: the trace holds the latest %zu "
				    "messages; %lu earlier ones were dropped\n",
				    rs["trace"].size(), rs["dropped"].get<unsigned long>());
			for (const json &l : rs["trace"])
				print_json_line(l);
		}
		return 0;
	}
	if (cmd == "fault")
		return cmd_fault(argc, argv);
	if (cmd == "kld")
		return cmd_kld(argc, argv);
	usage();
}
