/*
 * The emulated kernel's state: the graph (nodes, hooks, paths and the generic
 * messages), the vnets and jails, the kernel linker, the trace of control
 * messages and the fault rules. No I/O with clients happens here; the daemon
 * (daemon.cc) feeds it requests, and hands it the few services that need the
 * daemon (watching descriptors, the wire's listeners).
 */
#ifndef NGSIM_KERNEL_H
#define NGSIM_KERNEL_H

#include "node.h"
#include "vnet.h"

#include <sys/types.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ngsim {

/* Who sends a request: from the connection, as the Linux kernel tells it. */
struct Caller {
	uid_t		uid = 0;
	pid_t		pid = 0;
	int		jail = 0;
};

struct KldFile {
	std::string	file;
	int		id = 0;		/* 0 while not loaded */
	std::vector<std::string> modules;
	std::vector<int> modids;	/* module IDs while loaded */
};

struct TraceEntry {
	pid_t		pid;
	int		jail;
	std::string	path;
	uint32_t	cookie;
	uint32_t	cmd;
	std::string	arg;		/* raw bytes */
	int		error;
};

enum class FaultOp { msg, recv, mksock, kldload, jail_attach };

struct FaultRule {
	FaultOp		op;
	std::optional<uint32_t> cookie;
	std::optional<uint32_t> cmd;	/* without flag bits */
	std::optional<std::string> path;
	long		nth = 0;	/* 0: every matching one */
	long		seen = 0;
	int		error;
};

/* Settable with `ngsim sysctl`. */
struct Sysctl {
	const char	*name;
	size_t		value;
	size_t		min, max;
};

class Kernel : public KernelApi {
public:
	/* The trace keeps this many of the latest messages. */
	static constexpr size_t kTraceMax = 100000;

	Kernel();
	~Kernel() override;

	/* KernelApi */
	void register_type(const NodeTypeInfo &t) override;
	int send_data(Hook &h, const uint8_t *data, size_t len) override;
	void reply(Node &self, const CtlMsg &m, const void *data,
	    size_t len) override;
	Node *make_node(const std::string &type, int vnet, int &err) override;
	int resolve_jail(int from, const std::string &ref, int &jid) override;
	int link_twin(Node &a, Node &b) override;
	void rmhook(Hook &h) override;
	void shutdown(Node &n) override;
	void remove_node(Node &n) override;
	Node *node_by_id(ng_id id) override;
	int open_netdev(int vnet, const std::string &name, bool tun,
	    uint32_t tag, int &fd) override;
	int in_vnet(int vnet, const std::function<int()> &fn) override;
	void bypass(Hook &a, Hook &b) override;
	void watch(int fd, std::function<void()> readable) override;
	void unwatch(int fd) override;
	void wire_out(Node &ether, const uint8_t *data, size_t len) override;
	int recv_fault(uint32_t cookie, uint32_t cmd) override;
	size_t recvspace() const override { return sysctls_[0].value; }
	size_t maxdgram() const override { return sysctls_[1].value; }

	/* Frees what went away during the last event. */
	void reap();

	/* ---- vnets and jails (vnet.h) ---- */
	Vnets vnets;

	/* ---- nodes ---- */
	/* A node of `type` named `name` ("" for none); null and `err` if not. */
	Node *make_node_in(const std::string &type, int vnet, int &err,
	    const std::string &name = "");
	int name_node(Node &n, const std::string &name) override;
	Node *node_by_name(int vnet, const std::string &name) override;
	/* Resolves `path` as seen from node `here`; 0 or an errno. */
	int resolve(Node &here, const std::string &path, Node *&out);
	int connect(Node &a, const std::string &ahook, Node &b,
	    const std::string &bhook);
	std::vector<Node *> nodes_in(int vnet);
	bool type_loaded(const std::string &type) const;
	const NodeTypeInfo *find_type(const std::string &type) const;
	const std::vector<NodeTypeInfo> &types() const { return types_; }

	/*
	 * A control message from socket node `from` (the caller's), with the
	 * message bytes `m` (a whole ng_mesg). Records it in the trace and
	 * applies fault rules. Returns the verdict.
	 */
	int sendmsg(Node &from, const Caller &c, const std::string &path,
	    const uint8_t *m, size_t len);

	/* ---- kernel linker (linker.cc) ---- */
	int kldload(const Caller &c, const std::string &file, int &fileid);
	int kld_add(const std::string &file,
	    const std::vector<std::string> &modules, bool loaded);
	const std::vector<KldFile> &kld_files() const { return files_; }
	int kldnext(int fileid, int &next);
	int kldfirstmod(int fileid, int &modid);
	int modfnext(int modid, int &next);
	int modstat(int modid, std::string &name, int &refs);
	int kldfind(const std::string &file, int &fileid);
	int modfind(const std::string &mod, int &modid);

	/* ---- trace and faults (trace.cc) ---- */
	void record(TraceEntry &&e);
	const std::deque<TraceEntry> &trace() const { return trace_; }
	uint64_t trace_dropped() const { return trace_dropped_; }
	void clear_trace();
	std::vector<FaultRule> faults;
	/* 0, or the errno of a fault rule that fires for this operation. */
	int fault(FaultOp op, uint32_t cookie = 0, uint32_t cmd = 0,
	    const std::string *path = nullptr);

	/* ---- sysctls ---- */
	/* 0, ENOENT (no such name) or EINVAL (a value out of range). */
	int sysctl_get(const std::string &name, size_t &value) const;
	int sysctl_set(const std::string &name, size_t value);

	/* ---- what the daemon provides ---- */
	std::function<void(int, std::function<void()>)> on_watch;
	std::function<void(int)> on_unwatch;
	std::function<void(Node &, const uint8_t *, size_t)> on_wire_out;

private:
	int generic(Node &from, Node &target, const CtlMsg &m);
	void unlink_hook(Hook &h, std::vector<std::pair<Node *, Hook *>> &gone);
	void notify(std::vector<std::pair<Node *, Hook *>> &gone);
	void free_node_now(Node &n);
	void strip_hooks(Node &n);
	void boot_linker();

	std::vector<NodeTypeInfo> types_;
	std::map<ng_id, std::unique_ptr<Node>> nodes_;
	std::vector<std::unique_ptr<Node>> dead_nodes_;
	std::vector<std::unique_ptr<Hook>> dead_hooks_;
	ng_id next_id_ = 1;
	int depth_ = 0;
	long fanout_ = 0;
	std::vector<ng_id> shutting_;

	std::vector<KldFile> files_;
	int next_fileid_ = 1;
	int next_modid_ = 1;
	Caller cur_caller_;

	std::deque<TraceEntry> trace_;
	uint64_t trace_dropped_ = 0;

	Sysctl sysctls_[2] = {
		{"net.graph.recvspace", 20480, 1, 2 * 1024 * 1024},
		{"net.graph.maxdgram", 20480, 1, 2 * 1024 * 1024},
	};
};

/* Error names for the trace and the admin command. */
const char *errno_name(int e);
int errno_by_name(const std::string &name);

/* Name checks as netgraph does them. */
bool valid_node_name(const std::string &s);
bool valid_hook_name(const std::string &s);
/* "[1a]" -> 0x1a; 0 when not an ID form */
ng_id decode_id(const std::string &s);
/* Extract a NUL-terminated string from a fixed field; false if no NUL. */
bool field_string(const char *p, size_t width, std::string &out);

/* The types built into file 1, "kernel". */
void register_builtin_types(KernelApi &k);

} // namespace ngsim

#endif /* NGSIM_KERNEL_H */
