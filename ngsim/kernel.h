/*
 * The emulated kernel's state: jails and their vnets, nodes and hooks, the
 * kernel linker, the trace of control messages and the fault rules. No I/O
 * happens here; the daemon (daemon.cc) feeds it requests.
 */
#ifndef NGSIM_KERNEL_H
#define NGSIM_KERNEL_H

#include "node.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ngsim {

/* Who sends a request: from the connection's credentials. */
struct Caller {
	uint32_t	uid = 0;
	int		pid = 0;
	int		jail = 0;
};

struct Jail {
	int		jid;
	std::string	name;		/* its own short name */
	int		parent;		/* 0: the host */
};

struct KldFile {
	std::string	file;
	int		id = 0;		/* 0 while not loaded */
	std::vector<std::string> modules;
	std::vector<int> modids;	/* module IDs while loaded */
};

struct TraceEntry {
	int		pid;
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

/* A node that a control message's reply is queued on (a socket node). */
class ReplySink {
public:
	virtual ~ReplySink() = default;
	virtual void queue_reply(ng_id from, const std::vector<uint8_t> &msg) = 0;
};

class Kernel : public KernelApi {
public:
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

	/* Frees what went away during the last event. */
	void reap();

	/* ---- jails ---- */
	int jail_create(const std::string &name, int parent, int &jid,
	    std::string &errmsg);
	const Jail *jail(int jid) const;
	bool jail_below(int jid, int ancestor) const; /* strictly below */
	std::string jail_name(int jid, int from) const;
	/* jail_getid: ENOENT with the message in errmsg */
	int jail_getid(int from, const std::string &ref, int &jid,
	    std::string &errmsg);
	void attach_pid(int pid, int jid);
	int jail_of_pid(int pid);
	int jail_attach(const Caller &c, int jid);

	/* ---- nodes ---- */
	Node *make_node_in(const std::string &type, int vnet, int &err);
	int name_node(Node &n, const std::string &name);
	Node *node_by_name(int vnet, const std::string &name);
	/* Resolves `path` as seen from node `here`; 0 or an errno. */
	int resolve(Node &here, const std::string &path, Node *&out,
	    Hook **lasthook = nullptr);
	int connect(Node &a, const std::string &ahook, Node &b,
	    const std::string &bhook, bool b_is_new = false);
	std::vector<Node *> nodes_in(int vnet);
	bool type_loaded(const std::string &type) const;
	const NodeTypeInfo *find_type(const std::string &type) const;

	/*
	 * A control message from socket node `from` (the caller's), with the
	 * message bytes `m` (a whole ng_mesg). Records it in the trace and
	 * applies fault rules. Returns the verdict.
	 */
	int sendmsg(Node &from, const Caller &c, const std::string &path,
	    const uint8_t *m, size_t len);

	/* ---- kernel linker ---- */
	int kldload(const Caller &c, const std::string &file, int &fileid,
	    bool on_demand = false);
	int kld_add(const std::string &file,
	    const std::vector<std::string> &modules, bool loaded);
	const std::vector<KldFile> &kld_files() const { return files_; }
	int kldnext(int fileid, int &next);
	int kldfirstmod(int fileid, int &modid);
	int modfnext(int modid, int &next);
	int modstat(int modid, std::string &name, int &refs);
	int kldfind(const std::string &file, int &fileid);
	int modfind(const std::string &mod, int &modid);

	/* ---- trace and faults ---- */
	std::vector<TraceEntry> trace;
	std::vector<FaultRule> faults;
	/* 0, or the errno of a fault rule that fires for this operation. */
	int fault(FaultOp op, uint32_t cookie = 0, uint32_t cmd = 0,
	    const std::string *path = nullptr);
	/* Whether some rule for `op` could fire without message details. */

	/* Reply queues of socket nodes, by node ID. */
	std::map<ng_id, ReplySink *> sinks;

	/* Counters of frames an ether node's stack dropped. */
	std::map<ng_id, uint64_t> stack_drops;
	/* Frames ether nodes send out on their wire, to the listeners. */
	std::function<void(Node &ether, const uint8_t *, size_t)> wire_out;

private:
	int generic(Node &from, Node &target, const CtlMsg &m,
	    const std::string &path);
	void unlink_hook(Hook &h, std::vector<std::pair<Node *, Hook *>> &gone);
	void notify(std::vector<std::pair<Node *, Hook *>> &gone);
	void free_node_now(Node &n);

	std::vector<NodeTypeInfo> types_;
	std::map<ng_id, std::unique_ptr<Node>> nodes_;
	std::vector<std::unique_ptr<Node>> dead_nodes_;
	std::vector<std::unique_ptr<Hook>> dead_hooks_;
	ng_id next_id_ = 1;
	int depth_ = 0;
	long fanout_ = 0;

	std::map<int, Jail> jails_;
	int next_jid_ = 1;
	/* pid -> (jail, start time) */
	std::map<int, std::pair<int, unsigned long long>> attached_;

	std::vector<KldFile> files_;
	int next_fileid_ = 1;
	Caller cur_caller_;
	std::vector<FaultRule> saved_faults_;
	int next_modid_ = 1;
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

void register_builtin_types(Kernel &k);

} // namespace ngsim

#endif /* NGSIM_KERNEL_H */
