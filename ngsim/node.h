/*
 * What a node type of the emulated kernel implements, and what the kernel
 * offers it.
 *
 * The kernel is single-threaded: every callback runs on the daemon's one
 * thread, to completion. A node or hook that goes away during a callback is
 * unlinked at once (lookups no longer find it, Node::alive / Hook::alive turn
 * false) but its memory stays valid until the current event is finished, so
 * a callback may keep using the pointers it was handed.
 *
 * A type registers itself with register_type(), naming the kernel module
 * that provides it; nodes of it can be made only while that module is
 * loaded (the built-in ones live in file 1, "kernel").
 *
 * Registration entry points of the loadable types kept in ngsim/types/ are
 * called at start-up if they are linked in:
 *     void ngsim_register_pcap(ngsim::KernelApi &k);
 *     void ngsim_register_wormhole(ngsim::KernelApi &k);
 */
#ifndef NGSIM_NODE_H
#define NGSIM_NODE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ngsim {

class KernelApi;
struct Node;
struct Hook;

using ng_id = uint32_t;

/* A control message as a node receives it. */
struct CtlMsg {
	uint32_t	cookie;
	uint32_t	cmd;		/* the whole command word, flag bits included */
	uint32_t	flags;
	uint32_t	token;
	const uint8_t	*arg;
	size_t		arglen;
	ng_id		sender;		/* node that sent it (0: the kernel itself) */
	const uint8_t	*whole;		/* the whole struct ng_mesg */
	size_t		wholelen;
};

/* Behaviour of one node; each node owns one instance, made by its type. */
class NodeOps {
public:
	virtual ~NodeOps() = default;

	/*
	 * Called once the node exists (with its ID, vnet and any name it was
	 * made with), before anyone can reach it. An errno refuses the node,
	 * which then goes without a trace.
	 */
	virtual int start(Node &self) { (void)self; return 0; }

	/*
	 * A hook named `name` is about to be added to `self`; its peer will be
	 * hook `peerhook` of `peer` (already existing, or just made by MKPEER).
	 * Return 0 to accept, or an errno (EINVAL) to refuse; nothing has
	 * changed yet. Hooks made by Kernel::link_twin do not pass here.
	 */
	virtual int newhook(Node &self, const std::string &name, Node &peer,
	    const std::string &peerhook)
	{ (void)self; (void)name; (void)peer; (void)peerhook; return 0; }

	/* Hook `h` of `self` is now linked to its peer, on both sides. */
	virtual void connected(Node &self, Hook &h) { (void)self; (void)h; }

	/*
	 * A control message of a cookie other than the generic one. Return 0 or
	 * an errno; a reply goes out with KernelApi::reply() before returning.
	 */
	virtual int rcvmsg(Node &self, const CtlMsg &m)
	{ (void)self; (void)m; return 22 /* EINVAL */; }

	/*
	 * NGM_TEXT_STATUS: a line or a few on how the node is doing, at most
	 * NG_TEXTRESPONSE - 1 bytes; EINVAL when the type has nothing to say.
	 */
	virtual int status(Node &self, std::string &text)
	{ (void)self; (void)text; return 22 /* EINVAL */; }

	/*
	 * A reply (or a message passed up) for `self`, from node `from`: the
	 * whole struct ng_mesg. Only socket nodes keep what they are sent.
	 */
	virtual void queue_reply(Node &self, ng_id from,
	    const std::vector<uint8_t> &msg)
	{ (void)self; (void)from; (void)msg; }

	/*
	 * A data item arrived on hook `h`. Return 0 when it was taken, or an
	 * errno when it was dropped (ENOBUFS: the reader is full); the sender
	 * learns it from KernelApi::send_data().
	 */
	virtual int rcvdata(Node &self, Hook &h, const uint8_t *data,
	    size_t len)
	{ (void)self; (void)h; (void)data; (void)len; return 0; }

	/*
	 * Hook `h` of `self` went away (it is already unlinked from both
	 * sides; h.name and h.peer_* still tell what it was). A node that
	 * shuts down when it loses hooks calls KernelApi::shutdown(self) here.
	 */
	virtual void disconnect(Node &self, Hook &h) { (void)self; (void)h; }

	/*
	 * `self` is being shut down (NGM_SHUTDOWN, or KernelApi::shutdown).
	 * Called once, before its hooks are removed. Return false to stay in
	 * place (an ether node keeps existing; its hooks still go).
	 */
	virtual bool shutdown(Node &self) { (void)self; return true; }
};

struct Hook {
	std::string	name;
	Node		*node = nullptr;	/* owner */
	Hook		*peer = nullptr;	/* null once unlinked */
	bool		twin = false;		/* a cross-vnet twin link */
	bool		alive = true;
	/* What the peer was, kept for disconnect(). */
	ng_id		peer_id = 0;
	std::string	peer_hook;
};

struct Node {
	ng_id		id = 0;
	std::string	name;			/* "" when unnamed */
	std::string	type;
	int		vnet = 0;		/* == the jail ID owning it; 0 host */
	bool		persistent = false;	/* made by `ngsim node create` */
	bool		alive = true;
	std::vector<Hook *> hooks;		/* in the order made */
	std::unique_ptr<NodeOps> ops;

	Hook *findhook(const std::string &h) const
	{
		for (Hook *k : hooks)
			if (k->alive && k->name == h)
				return k;
		return nullptr;
	}
	size_t numhooks() const { return hooks.size(); }
};

using NodeFactory = std::function<std::unique_ptr<NodeOps>(KernelApi &k,
    Node &n)>;

struct NodeTypeInfo {
	std::string	name;		/* "hub" */
	std::string	module;		/* "ng_hub" */
	NodeFactory	make;
};

/* Services of the kernel, as node types use them (see kernel.h). */
class KernelApi {
public:
	virtual ~KernelApi() = default;

	virtual void register_type(const NodeTypeInfo &t) = 0;

	/*
	 * Send one data item out of hook `h` of its node. Returns 0 when the
	 * receiving node took it, ENOTCONN when the hook is not linked, or the
	 * receiver's errno (ENOBUFS when a socket reader is full).
	 */
	virtual int send_data(Hook &h, const uint8_t *data, size_t len) = 0;

	/* Queue a reply to message `m` from node `self` on its sender. */
	virtual void reply(Node &self, const CtlMsg &m, const void *data,
	    size_t len) = 0;

	/*
	 * Make a node of a registered type in vnet `vnet` (the type's module
	 * must be loaded). Returns null and sets `err` on failure.
	 */
	virtual Node *make_node(const std::string &type, int vnet,
	    int &err) = 0;

	/*
	 * Resolve a jail reference (a name relative to jail `from`, dotted for
	 * nested jails, or a number) among the jails below `from`, at any depth.
	 * Returns 0 and sets `jid`, or ENOENT. "0" always resolves to 0 (the
	 * host), so a caller compares the result with its own vnet.
	 */
	virtual int resolve_jail(int from, const std::string &ref, int &jid) = 0;

	/* Join `a` and `b` with hooks named "twin" on both, bypassing newhook. */
	virtual int link_twin(Node &a, Node &b) = 0;

	/* Remove one hook (and its peer side); both nodes see disconnect(). */
	virtual void rmhook(Hook &h) = 0;

	/* Full shutdown: NodeOps::shutdown, then every hook removed. */
	virtual void shutdown(Node &n) = 0;

	/* Remove a node without calling its shutdown(): hooks go, peers see
	 * disconnect(), the node is gone. */
	virtual void remove_node(Node &n) = 0;

	virtual Node *node_by_id(ng_id id) = 0;
	virtual Node *node_by_name(int vnet, const std::string &name) = 0;
	/* NGM_NAME: 0, EINVAL or EADDRINUSE. */
	virtual int name_node(Node &n, const std::string &name) = 0;

	/*
	 * Network devices of a vnet's stack. Opens a TAP (`tun` false) or TUN
	 * device called `name` in the network namespace of vnet `vnet`, a TAP
	 * with an Ethernet address made from `tag`; the device lives while `fd`
	 * is open. Returns 0 or an errno (ENOTSUP where the kernel runs without
	 * network stacks, as in unit tests).
	 */
	virtual int open_netdev(int vnet, const std::string &name, bool tun,
	    uint32_t tag, int &fd) = 0;
	/*
	 * Runs `fn` inside the network namespace of vnet `vnet` (for ioctls on
	 * its devices); its result, or ENOTSUP without network stacks.
	 */
	virtual int in_vnet(int vnet, const std::function<int()> &fn) = 0;

	/*
	 * Joins the peers of hooks `a` and `b` of one node directly, as if the
	 * node had never been between them; `a` and `b` go without anyone
	 * hearing of it. For a node that steps out of a chain as it goes.
	 */
	virtual void bypass(Hook &a, Hook &b) = 0;

	/* Calls `readable` whenever `fd` has something to read. */
	virtual void watch(int fd, std::function<void()> readable) = 0;
	virtual void unwatch(int fd) = 0;

	/* A frame that interface `ether` puts on its wire. */
	virtual void wire_out(Node &ether, const uint8_t *data, size_t len) = 0;

	/*
	 * The errno of a fault rule for receiving this reply or message, or 0:
	 * the process's next receive then fails with it in place of the message.
	 */
	virtual int recv_fault(uint32_t cookie, uint32_t cmd) = 0;

	/* net.graph.recvspace / net.graph.maxdgram. */
	virtual size_t recvspace() const = 0;
	virtual size_t maxdgram() const = 0;
};

} // namespace ngsim

#endif /* NGSIM_NODE_H */
