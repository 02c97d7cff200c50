/*
 * The emulated kernel's graph, jails, linker, trace and faults.
 */
#include "kernel.h"
#include "proto.h"

#include "../compat/include/netgraph/ng_message.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace ngsim {

static constexpr uint32_t kCmdFlags = NGM_READONLY | NGM_HASREPLY;
static constexpr int kMaxDataDepth = 64;
static constexpr long kMaxFanout = 4096;

/* ---------------------------------------------------------------- names */

bool field_string(const char *p, size_t width, std::string &out)
{
	const void *z = memchr(p, '\0', width);
	if (z == nullptr)
		return false;
	out.assign(p, static_cast<const char *>(z) - p);
	return true;
}

bool valid_node_name(const std::string &s)
{
	if (s.empty() || s.size() >= NG_NODESIZ)
		return false;
	for (char c : s)
		if (c == '.' || c == ':' || c == '[' || c == ']' || c == '\0')
			return false;
	return true;
}

bool valid_hook_name(const std::string &s)
{
	if (s.empty() || s.size() >= NG_HOOKSIZ)
		return false;
	for (char c : s)
		if (c == '.' || c == ':' || c == '\0')
			return false;
	return true;
}

ng_id decode_id(const std::string &s)
{
	if (s.size() < 3 || s.size() > 10 || s.front() != '[' || s.back() != ']')
		return 0;
	uint32_t v = 0;
	for (size_t i = 1; i + 1 < s.size(); i++) {
		char c = s[i];
		int d;
		if (c >= '0' && c <= '9')
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			d = c - 'A' + 10;
		else
			return 0;
		v = v * 16 + d;
	}
	return v;
}

struct ErrName { int e; const char *name; };
static const ErrName kErrNames[] = {
	{EPERM, "EPERM"}, {ENOENT, "ENOENT"}, {ESRCH, "ESRCH"},
	{EINTR, "EINTR"}, {EIO, "EIO"}, {ENXIO, "ENXIO"}, {E2BIG, "E2BIG"},
	{EBADF, "EBADF"}, {ECHILD, "ECHILD"}, {EAGAIN, "EAGAIN"},
	{ENOMEM, "ENOMEM"}, {EACCES, "EACCES"}, {EFAULT, "EFAULT"},
	{EBUSY, "EBUSY"}, {EEXIST, "EEXIST"}, {ENODEV, "ENODEV"},
	{ENOTDIR, "ENOTDIR"}, {EISDIR, "EISDIR"}, {EINVAL, "EINVAL"},
	{ENFILE, "ENFILE"}, {EMFILE, "EMFILE"}, {ENOSPC, "ENOSPC"},
	{EPIPE, "EPIPE"}, {EDOM, "EDOM"}, {ERANGE, "ERANGE"},
	{ENOSYS, "ENOSYS"}, {ELOOP, "ELOOP"}, {ENAMETOOLONG, "ENAMETOOLONG"},
	{EMSGSIZE, "EMSGSIZE"}, {EPROTONOSUPPORT, "EPROTONOSUPPORT"},
	{EOPNOTSUPP, "EOPNOTSUPP"}, {EADDRINUSE, "EADDRINUSE"},
	{EADDRNOTAVAIL, "EADDRNOTAVAIL"}, {ENETDOWN, "ENETDOWN"},
	{ENOBUFS, "ENOBUFS"}, {EISCONN, "EISCONN"}, {ENOTCONN, "ENOTCONN"},
	{ETIMEDOUT, "ETIMEDOUT"}, {ECONNREFUSED, "ECONNREFUSED"},
	{EHOSTUNREACH, "EHOSTUNREACH"}, {EALREADY, "EALREADY"},
	{EINPROGRESS, "EINPROGRESS"}, {ENOTSOCK, "ENOTSOCK"},
	{EDESTADDRREQ, "EDESTADDRREQ"}, {EPROTOTYPE, "EPROTOTYPE"},
	{ECANCELED, "ECANCELED"}, {EDEADLK, "EDEADLK"}, {ENOTEMPTY, "ENOTEMPTY"},
	{EROFS, "EROFS"}, {ESPIPE, "ESPIPE"}, {ENOEXEC, "ENOEXEC"},
	{NGSIM_EDOOFUS, "EDOOFUS"},
};

const char *errno_name(int e)
{
	for (const ErrName &n : kErrNames)
		if (n.e == e)
			return n.name;
	return nullptr;
}

int errno_by_name(const std::string &name)
{
	for (const ErrName &n : kErrNames)
		if (name == n.name)
			return n.e;
	return 0;
}

/* ---------------------------------------------------------------- kernel */

Kernel::Kernel()
{
	KldFile k;
	k.file = "kernel";
	k.modules = {"netgraph", "ng_ether", "ng_hub", "ng_tee", "ng_echo",
	    "ng_hole"};
	files_.push_back(k);
	int id;
	Caller root;
	kldload(root, "kernel", id);
	files_.push_back({"ng_socket.ko", 0, {"ng_socket"}, {}});
	files_.push_back({"ng_pcap.ko", 0, {"ng_pcap"}, {}});
	files_.push_back({"ng_wormhole.ko", 0, {"ng_wormhole"}, {}});
}

Kernel::~Kernel() = default;

void Kernel::register_type(const NodeTypeInfo &t)
{
	for (NodeTypeInfo &x : types_)
		if (x.name == t.name) {
			x = t;
			return;
		}
	types_.push_back(t);
}

const NodeTypeInfo *Kernel::find_type(const std::string &type) const
{
	for (const NodeTypeInfo &t : types_)
		if (t.name == type)
			return &t;
	return nullptr;
}

bool Kernel::type_loaded(const std::string &type) const
{
	const NodeTypeInfo *t = find_type(type);
	if (t == nullptr)
		return false;
	for (const KldFile &f : files_)
		if (f.id != 0 && std::find(f.modules.begin(), f.modules.end(),
		    t->module) != f.modules.end())
			return true;
	return false;
}

Node *Kernel::node_by_id(ng_id id)
{
	auto it = nodes_.find(id);
	return it == nodes_.end() ? nullptr : it->second.get();
}

Node *Kernel::node_by_name(int vnet, const std::string &name)
{
	for (auto &p : nodes_)
		if (p.second->vnet == vnet && p.second->name == name)
			return p.second.get();
	return nullptr;
}

std::vector<Node *> Kernel::nodes_in(int vnet)
{
	std::vector<Node *> v;
	for (auto &p : nodes_)
		if (p.second->vnet == vnet)
			v.push_back(p.second.get());
	return v;
}

Node *Kernel::make_node_in(const std::string &type, int vnet, int &err)
{
	const NodeTypeInfo *t = find_type(type);
	if (t == nullptr || !type_loaded(type)) {
		err = ENXIO;
		return nullptr;
	}
	if (vnet != 0 && jails_.count(vnet) == 0) {
		err = ENOENT;
		return nullptr;
	}
	auto n = std::make_unique<Node>();
	n->id = next_id_++;
	n->type = type;
	n->vnet = vnet;
	Node *raw = n.get();
	nodes_[raw->id] = std::move(n);
	raw->ops = t->make(*this, *raw);
	if (!raw->ops) {
		nodes_.erase(raw->id);
		err = ENOMEM;
		return nullptr;
	}
	err = 0;
	return raw;
}

Node *Kernel::make_node(const std::string &type, int vnet, int &err)
{
	return make_node_in(type, vnet, err);
}

int Kernel::name_node(Node &n, const std::string &name)
{
	if (!valid_node_name(name))
		return EINVAL;
	Node *o = node_by_name(n.vnet, name);
	if (o != nullptr && o != &n)
		return EADDRINUSE;
	n.name = name;
	return 0;
}

int Kernel::resolve(Node &here, const std::string &path, Node *&out,
    Hook **lasthook)
{
	if (path.empty() || path.size() >= NG_PATHSIZ)
		return EINVAL;
	size_t colon = path.find(':');
	if (colon != std::string::npos &&
	    path.find(':', colon + 1) != std::string::npos)
		return EINVAL;
	Node *cur = &here;
	std::string hooks;
	if (colon == std::string::npos) {
		if (path == ".")
			hooks.clear();
		else
			hooks = path;
	} else {
		std::string np = path.substr(0, colon);
		hooks = path.substr(colon + 1);
		if (np.empty())
			return EINVAL;
		if (np == ".") {
			cur = &here;
		} else if (np.front() == '[') {
			ng_id id = decode_id(np);
			if (id == 0) {
				/* "[0]:" is well formed but names no node */
				if (np.size() >= 3 && np.size() <= 10 &&
				    np.back() == ']' &&
				    np.find_first_not_of("0", 1) == np.size() - 1)
					return ENOENT;
				return EINVAL;
			}
			cur = node_by_id(id);
			if (cur == nullptr || cur->vnet != here.vnet)
				return ENOENT;
		} else {
			if (!valid_node_name(np))
				return EINVAL;
			cur = node_by_name(here.vnet, np);
			if (cur == nullptr)
				return ENOENT;
		}
	}
	Hook *last = nullptr;
	if (!hooks.empty()) {
		size_t pos = 0;
		for (;;) {
			size_t dot = hooks.find('.', pos);
			std::string seg = hooks.substr(pos, dot == std::string::npos ?
			    std::string::npos : dot - pos);
			if (!valid_hook_name(seg))
				return EINVAL;
			Hook *h = cur->findhook(seg);
			if (h == nullptr || h->peer == nullptr || h->twin)
				return ENOENT;
			last = h;
			cur = h->peer->node;
			if (dot == std::string::npos)
				break;
			pos = dot + 1;
		}
	}
	out = cur;
	if (lasthook != nullptr)
		*lasthook = last;
	return 0;
}

int Kernel::connect(Node &a, const std::string &ahook, Node &b,
    const std::string &bhook, bool)
{
	if (!valid_hook_name(ahook) || !valid_hook_name(bhook))
		return EINVAL;
	if (a.findhook(ahook) != nullptr || b.findhook(bhook) != nullptr)
		return EEXIST;
	if (&a == &b && ahook == bhook)
		return EEXIST;
	int e = a.ops->newhook(a, ahook, b, bhook);
	if (e != 0)
		return e;
	if (!a.alive || !b.alive)
		return ENOENT;
	e = b.ops->newhook(b, bhook, a, ahook);
	if (e != 0)
		return e;
	if (!a.alive || !b.alive)
		return ENOENT;
	Hook *ha = new Hook;
	Hook *hb = new Hook;
	ha->name = ahook;
	ha->node = &a;
	ha->peer = hb;
	ha->peer_id = b.id;
	ha->peer_hook = bhook;
	hb->name = bhook;
	hb->node = &b;
	hb->peer = ha;
	hb->peer_id = a.id;
	hb->peer_hook = ahook;
	a.hooks.push_back(ha);
	b.hooks.push_back(hb);
	a.ops->connected(a, *ha);
	if (b.alive && hb->alive)
		b.ops->connected(b, *hb);
	return 0;
}

int Kernel::link_twin(Node &a, Node &b)
{
	if (&a == &b || a.findhook("twin") != nullptr ||
	    b.findhook("twin") != nullptr)
		return EEXIST;
	Hook *ha = new Hook;
	Hook *hb = new Hook;
	ha->name = hb->name = "twin";
	ha->twin = hb->twin = true;
	ha->node = &a;
	hb->node = &b;
	ha->peer = hb;
	hb->peer = ha;
	ha->peer_id = b.id;
	hb->peer_id = a.id;
	ha->peer_hook = hb->peer_hook = "twin";
	a.hooks.push_back(ha);
	b.hooks.push_back(hb);
	return 0;
}

void Kernel::unlink_hook(Hook &h, std::vector<std::pair<Node *, Hook *>> &gone)
{
	Hook *pair[2] = {&h, h.peer};
	for (Hook *x : pair) {
		if (x == nullptr || !x->alive)
			continue;
		x->alive = false;
		Node *n = x->node;
		n->hooks.erase(std::remove(n->hooks.begin(), n->hooks.end(), x),
		    n->hooks.end());
		dead_hooks_.emplace_back(x);
		gone.emplace_back(n, x);
	}
	for (Hook *x : pair)
		if (x != nullptr)
			x->peer = nullptr;
}

void Kernel::notify(std::vector<std::pair<Node *, Hook *>> &gone)
{
	for (auto &g : gone)
		if (g.first->alive)
			g.first->ops->disconnect(*g.first, *g.second);
}

void Kernel::rmhook(Hook &h)
{
	if (!h.alive)
		return;
	std::vector<std::pair<Node *, Hook *>> gone;
	unlink_hook(h, gone);
	notify(gone);
}

static std::set<ng_id> g_shutting;

void Kernel::free_node_now(Node &n)
{
	std::vector<std::pair<Node *, Hook *>> gone;
	while (!n.hooks.empty())
		unlink_hook(*n.hooks.front(), gone);
	/* The node itself hears nothing of its own hooks going. */
	gone.erase(std::remove_if(gone.begin(), gone.end(),
	    [&](const std::pair<Node *, Hook *> &g) { return g.first == &n; }),
	    gone.end());
	n.alive = false;
	auto it = nodes_.find(n.id);
	if (it != nodes_.end()) {
		dead_nodes_.push_back(std::move(it->second));
		nodes_.erase(it);
	}
	sinks.erase(n.id);
	notify(gone);
}

void Kernel::shutdown(Node &n)
{
	if (!n.alive || g_shutting.count(n.id))
		return;
	g_shutting.insert(n.id);
	bool go = n.ops->shutdown(n);
	if (go) {
		free_node_now(n);
	} else {
		std::vector<std::pair<Node *, Hook *>> gone;
		while (!n.hooks.empty())
			unlink_hook(*n.hooks.front(), gone);
		gone.erase(std::remove_if(gone.begin(), gone.end(),
		    [&](const std::pair<Node *, Hook *> &g) {
			    return g.first == &n; }), gone.end());
		notify(gone);
	}
	g_shutting.erase(n.id);
}

void Kernel::remove_node(Node &n)
{
	if (!n.alive)
		return;
	g_shutting.insert(n.id);
	free_node_now(n);
	g_shutting.erase(n.id);
}

void Kernel::reap()
{
	dead_hooks_.clear();
	dead_nodes_.clear();
}

int Kernel::send_data(Hook &h, const uint8_t *data, size_t len)
{
	if (!h.alive || h.peer == nullptr || !h.peer->node->alive)
		return ENOTCONN;
	/*
	 * Loops in the graph (echoes on a hub) would repeat an item without
	 * end; the depth and the number of deliveries one item may cause are
	 * bounded, so the kernel stays responsive.
	 */
	if (depth_ == 0)
		fanout_ = 0;
	if (depth_ >= kMaxDataDepth || ++fanout_ > kMaxFanout)
		return ELOOP;
	depth_++;
	Hook *p = h.peer;
	int r = p->node->ops->rcvdata(*p->node, *p, data, len);
	depth_--;
	return r;
}

void Kernel::reply(Node &self, const CtlMsg &m, const void *data, size_t len)
{
	auto it = sinks.find(m.sender);
	if (it == sinks.end())
		return;
	std::vector<uint8_t> buf(sizeof(ng_mesg) + len);
	ng_mesg *r = reinterpret_cast<ng_mesg *>(buf.data());
	r->header.version = NG_VERSION;
	r->header.arglen = static_cast<uint32_t>(len);
	r->header.cmd = m.cmd;
	r->header.flags = NGF_RESP;
	r->header.token = m.token;
	r->header.typecookie = m.cookie;
	if (len > 0)
		memcpy(buf.data() + sizeof(ng_mesg), data, len);
	it->second->queue_reply(self.id, buf);
}

/* ---------------------------------------------------------------- messages */

static void fill_nodeinfo(const Node &n, nodeinfo &ni)
{
	memset(&ni, 0, sizeof ni);
	snprintf(ni.name, sizeof ni.name, "%s", n.name.c_str());
	snprintf(ni.type, sizeof ni.type, "%s", n.type.c_str());
	ni.id = n.id;
	ni.hooks = static_cast<uint32_t>(n.hooks.size());
}

int Kernel::sendmsg(Node &from, const Caller &c, const std::string &path,
    const uint8_t *m, size_t len)
{
	TraceEntry te{c.pid, from.vnet, path, 0, 0, std::string(), 0};
	int e = 0;
	ng_mesg hdr;
	if (len < sizeof(ng_mesg)) {
		memset(&hdr, 0, sizeof hdr);
		if (len > 0)
			memcpy(&hdr, m, std::min(len, sizeof hdr));
		e = EINVAL;
	} else {
		memcpy(&hdr, m, sizeof hdr);
		if (hdr.header.arglen != len - sizeof(ng_mesg) ||
		    hdr.header.version != NG_VERSION)
			e = EINVAL;
		te.arg.assign(reinterpret_cast<const char *>(m) + sizeof(ng_mesg),
		    len - sizeof(ng_mesg));
	}
	te.cookie = hdr.header.typecookie;
	te.cmd = hdr.header.cmd;
	if (e == 0)
		e = fault(FaultOp::msg, hdr.header.typecookie,
		    hdr.header.cmd & ~kCmdFlags, &path);
	Node *target = nullptr;
	if (e == 0)
		e = resolve(from, path, target);
	if (e == 0) {
		CtlMsg cm{hdr.header.typecookie, hdr.header.cmd,
		    hdr.header.flags, hdr.header.token,
		    m + sizeof(ng_mesg), len - sizeof(ng_mesg), from.id};
		cur_caller_ = c;
		if (cm.cookie == NGM_GENERIC_COOKIE)
			e = generic(from, *target, cm, path);
		else
			e = target->ops->rcvmsg(*target, cm);
	}
	te.error = e;
	trace.push_back(std::move(te));
	return e;
}

int Kernel::generic(Node &from, Node &target, const CtlMsg &m,
    const std::string &)
{
	(void)from;
	switch (m.cmd) {
	case NGM_SHUTDOWN:
		shutdown(target);
		return 0;
	case NGM_MKPEER: {
		if (m.arglen != sizeof(ngm_mkpeer))
			return EINVAL;
		const ngm_mkpeer *a = reinterpret_cast<const ngm_mkpeer *>(m.arg);
		std::string type, ours, peers;
		if (!field_string(a->type, sizeof a->type, type) ||
		    !field_string(a->ourhook, sizeof a->ourhook, ours) ||
		    !field_string(a->peerhook, sizeof a->peerhook, peers))
			return EINVAL;
		if (type.empty() || !valid_hook_name(ours) ||
		    !valid_hook_name(peers))
			return EINVAL;
		if (target.findhook(ours) != nullptr)
			return EEXIST;
		if (!type_loaded(type)) {
			int fid;
			int e = kldload(cur_caller_, "ng_" + type, fid, true);
			if (e == EPERM)
				return EPERM;
			if (e != 0 && e != EEXIST) {
				/* a rule's errno stands; a missing file is ENXIO */
				return e == ENOENT ? ENXIO : e;
			}
			if (!type_loaded(type))
				return ENXIO;
		}
		int e;
		Node *n = make_node_in(type, target.vnet, e);
		if (n == nullptr)
			return e;
		e = connect(target, ours, *n, peers, true);
		if (e != 0 && n->alive)
			remove_node(*n);
		return e;
	}
	case NGM_CONNECT: {
		if (m.arglen != sizeof(ngm_connect))
			return EINVAL;
		const ngm_connect *a = reinterpret_cast<const ngm_connect *>(m.arg);
		std::string path, ours, peers;
		if (!field_string(a->path, sizeof a->path, path) ||
		    !field_string(a->ourhook, sizeof a->ourhook, ours) ||
		    !field_string(a->peerhook, sizeof a->peerhook, peers))
			return EINVAL;
		if (!valid_hook_name(ours) || !valid_hook_name(peers))
			return EINVAL;
		Node *peer = nullptr;
		int e = resolve(target, path, peer);
		if (e != 0)
			return e;
		return connect(target, ours, *peer, peers);
	}
	case NGM_NAME: {
		if (m.arglen != sizeof(ngm_name))
			return EINVAL;
		const ngm_name *a = reinterpret_cast<const ngm_name *>(m.arg);
		std::string name;
		if (!field_string(a->name, sizeof a->name, name))
			return EINVAL;
		return name_node(target, name);
	}
	case NGM_RMHOOK: {
		if (m.arglen != sizeof(ngm_rmhook))
			return EINVAL;
		const ngm_rmhook *a = reinterpret_cast<const ngm_rmhook *>(m.arg);
		std::string hook;
		if (!field_string(a->ourhook, sizeof a->ourhook, hook))
			return EINVAL;
		Hook *h = target.findhook(hook);
		if (h != nullptr) {
			if (h->twin)
				return EINVAL;
			rmhook(*h);
		}
		return 0;
	}
	case NGM_NODEINFO: {
		nodeinfo ni;
		fill_nodeinfo(target, ni);
		reply(target, m, &ni, sizeof ni);
		return 0;
	}
	case NGM_LISTHOOKS: {
		std::vector<uint8_t> buf(sizeof(hooklist) +
		    target.hooks.size() * sizeof(linkinfo));
		hooklist *hl = reinterpret_cast<hooklist *>(buf.data());
		fill_nodeinfo(target, hl->nodeinfo);
		size_t i = 0;
		for (Hook *h : target.hooks) {
			linkinfo li;
			memset(&li, 0, sizeof li);
			snprintf(li.ourhook, sizeof li.ourhook, "%s", h->name.c_str());
			if (h->peer != nullptr) {
				snprintf(li.peerhook, sizeof li.peerhook, "%s",
				    h->peer->name.c_str());
				fill_nodeinfo(*h->peer->node, li.nodeinfo);
			}
			memcpy(buf.data() + sizeof(hooklist) + i * sizeof li, &li,
			    sizeof li);
			i++;
		}
		reply(target, m, buf.data(), buf.size());
		return 0;
	}
	case NGM_LISTNAMES:
	case NGM_LISTNODES: {
		std::vector<Node *> v = nodes_in(target.vnet);
		if (m.cmd == NGM_LISTNAMES)
			v.erase(std::remove_if(v.begin(), v.end(),
			    [](Node *n) { return n->name.empty(); }), v.end());
		std::vector<uint8_t> buf(sizeof(namelist) + v.size() *
		    sizeof(nodeinfo));
		uint32_t cnt = static_cast<uint32_t>(v.size());
		memcpy(buf.data(), &cnt, sizeof cnt);
		for (size_t i = 0; i < v.size(); i++) {
			nodeinfo ni;
			fill_nodeinfo(*v[i], ni);
			memcpy(buf.data() + sizeof(namelist) + i * sizeof ni, &ni,
			    sizeof ni);
		}
		reply(target, m, buf.data(), buf.size());
		return 0;
	}
	case NGM_LISTTYPES: {
		struct typeinfo { char name[NG_TYPESIZ]; uint32_t numnodes; };
		static_assert(sizeof(typeinfo) == 36, "typeinfo is 36 bytes");
		std::vector<typeinfo> ti;
		for (const NodeTypeInfo &t : types_) {
			if (!type_loaded(t.name))
				continue;
			typeinfo x;
			memset(&x, 0, sizeof x);
			snprintf(x.name, sizeof x.name, "%s", t.name.c_str());
			for (auto &p : nodes_)
				if (p.second->type == t.name)
					x.numnodes++;
			ti.push_back(x);
		}
		std::vector<uint8_t> buf(4 + ti.size() * sizeof(typeinfo));
		uint32_t cnt = static_cast<uint32_t>(ti.size());
		memcpy(buf.data(), &cnt, 4);
		if (!ti.empty())
			memcpy(buf.data() + 4, ti.data(), ti.size() * sizeof(typeinfo));
		reply(target, m, buf.data(), buf.size());
		return 0;
	}
	default:
		return EINVAL;
	}
}

/* ---------------------------------------------------------------- faults */

int Kernel::fault(FaultOp op, uint32_t cookie, uint32_t cmd,
    const std::string *path)
{
	int e = 0;
	for (FaultRule &r : faults) {
		if (r.op != op)
			continue;
		if (r.cookie && *r.cookie != cookie)
			continue;
		if (r.cmd && *r.cmd != cmd)
			continue;
		if (r.path && (path == nullptr || *r.path != *path))
			continue;
		r.seen++;
		if (e == 0 && (r.nth == 0 || r.seen == r.nth))
			e = r.error;
	}
	return e;
}

/* ---------------------------------------------------------------- linker */

static bool file_matches(const std::string &have, const std::string &want)
{
	std::string w = want;
	size_t slash = w.rfind('/');
	if (slash != std::string::npos)
		w = w.substr(slash + 1);
	if (have == w || have == w + ".ko")
		return true;
	if (w.size() > 3 && w.compare(w.size() - 3, 3, ".ko") == 0 &&
	    have == w.substr(0, w.size() - 3))
		return true;
	return false;
}

int Kernel::kldload(const Caller &c, const std::string &file, int &fileid,
    bool)
{
	if (c.uid != 0 || c.jail != 0)
		return EPERM;
	int e = fault(FaultOp::kldload, 0, 0, &file);
	if (e != 0)
		return e;
	if (file.empty())
		return EINVAL;
	for (KldFile &f : files_) {
		if (!file_matches(f.file, file))
			continue;
		if (f.id != 0)
			return EEXIST;
		f.id = next_fileid_++;
		f.modids.clear();
		for (size_t i = 0; i < f.modules.size(); i++)
			f.modids.push_back(next_modid_++);
		fileid = f.id;
		return 0;
	}
	return ENOENT;
}

int Kernel::kld_add(const std::string &file,
    const std::vector<std::string> &modules, bool loaded)
{
	if (file.empty())
		return EINVAL;
	for (const KldFile &f : files_)
		if (f.file == file)
			return EEXIST;
	files_.push_back({file, 0, modules, {}});
	if (loaded) {
		int id;
		Caller root;
		faults.swap(saved_faults_);
		int e = kldload(root, file, id);
		faults.swap(saved_faults_);
		return e;
	}
	return 0;
}

int Kernel::kldnext(int fileid, int &next)
{
	std::vector<int> ids;
	for (const KldFile &f : files_)
		if (f.id != 0)
			ids.push_back(f.id);
	std::sort(ids.begin(), ids.end());
	if (fileid == 0) {
		next = ids.empty() ? 0 : ids.front();
		return 0;
	}
	auto it = std::find(ids.begin(), ids.end(), fileid);
	if (it == ids.end())
		return ENOENT;
	++it;
	next = it == ids.end() ? 0 : *it;
	return 0;
}

int Kernel::kldfirstmod(int fileid, int &modid)
{
	for (const KldFile &f : files_)
		if (f.id != 0 && f.id == fileid) {
			modid = f.modids.empty() ? 0 : f.modids.front();
			return 0;
		}
	return ENOENT;
}

int Kernel::modfnext(int modid, int &next)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modids.size(); i++)
			if (f.modids[i] == modid) {
				next = i + 1 < f.modids.size() ? f.modids[i + 1] : 0;
				return 0;
			}
	}
	return ENOENT;
}

int Kernel::modstat(int modid, std::string &name, int &refs)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modids.size(); i++)
			if (f.modids[i] == modid) {
				name = f.modules[i];
				refs = 1;
				return 0;
			}
	}
	return ENOENT;
}

int Kernel::kldfind(const std::string &file, int &fileid)
{
	for (const KldFile &f : files_)
		if (f.id != 0 && file_matches(f.file, file)) {
			fileid = f.id;
			return 0;
		}
	return ENOENT;
}

int Kernel::modfind(const std::string &mod, int &modid)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modules.size(); i++)
			if (f.modules[i] == mod) {
				modid = f.modids[i];
				return 0;
			}
	}
	return ENOENT;
}

/* ---------------------------------------------------------------- jails */

const Jail *Kernel::jail(int jid) const
{
	auto it = jails_.find(jid);
	return it == jails_.end() ? nullptr : &it->second;
}

bool Kernel::jail_below(int jid, int ancestor) const
{
	if (jid == ancestor)
		return false;
	const Jail *j = jail(jid);
	while (j != nullptr) {
		if (j->parent == ancestor)
			return true;
		j = jail(j->parent);
	}
	return false;
}

std::string Kernel::jail_name(int jid, int from) const
{
	std::string name;
	const Jail *j = jail(jid);
	while (j != nullptr && j->jid != from) {
		name = name.empty() ? j->name : j->name + "." + name;
		j = jail(j->parent);
	}
	return name;
}

int Kernel::jail_create(const std::string &name, int parent, int &jid,
    std::string &errmsg)
{
	if (name.empty() || name.find('.') != std::string::npos ||
	    name.size() >= 256 ||
	    name.find_first_not_of("0123456789") == std::string::npos) {
		errmsg = "invalid jail name \"" + name + "\"";
		return EINVAL;
	}
	if (parent != 0 && jail(parent) == nullptr) {
		errmsg = "jail " + std::to_string(parent) + " not found";
		return ENOENT;
	}
	for (auto &p : jails_)
		if (p.second.parent == parent && p.second.name == name) {
			errmsg = "jail \"" + name + "\" already exists";
			return EEXIST;
		}
	jid = next_jid_++;
	jails_[jid] = Jail{jid, name, parent};
	return 0;
}

int Kernel::resolve_jail(int from, const std::string &ref, int &jid)
{
	if (ref.empty())
		return ENOENT;
	if (ref.find_first_not_of("0123456789") == std::string::npos) {
		unsigned long n = strtoul(ref.c_str(), nullptr, 10);
		if (n == 0) {
			jid = 0;
			return 0;
		}
		if (n > 0x7fffffff || !jail_below(static_cast<int>(n), from))
			return ENOENT;
		jid = static_cast<int>(n);
		return 0;
	}
	int cur = from;
	size_t pos = 0;
	for (;;) {
		size_t dot = ref.find('.', pos);
		std::string seg = ref.substr(pos, dot == std::string::npos ?
		    std::string::npos : dot - pos);
		int found = -1;
		for (auto &p : jails_)
			if (p.second.parent == cur && p.second.name == seg)
				found = p.first;
		if (found < 0)
			return ENOENT;
		cur = found;
		if (dot == std::string::npos)
			break;
		pos = dot + 1;
	}
	jid = cur;
	return 0;
}

int Kernel::jail_getid(int from, const std::string &ref, int &jid,
    std::string &errmsg)
{
	int e = resolve_jail(from, ref, jid);
	if (e == 0)
		return 0;
	if (!ref.empty() &&
	    ref.find_first_not_of("0123456789") == std::string::npos)
		errmsg = "jail " + std::to_string(static_cast<int>(
		    strtoul(ref.c_str(), nullptr, 10))) + " not found";
	else
		errmsg = "jail \"" + ref + "\" not found";
	return ENOENT;
}

/* Parent pid and start time of a process, from /proc. */
static bool proc_stat(int pid, int &ppid, unsigned long long &start)
{
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/stat", pid);
	FILE *f = fopen(path, "r");
	if (f == nullptr)
		return false;
	char buf[1024];
	size_t n = fread(buf, 1, sizeof buf - 1, f);
	fclose(f);
	buf[n] = '\0';
	char *p = strrchr(buf, ')');
	if (p == nullptr)
		return false;
	/* after ") ": state ppid pgrp session tty tpgid flags minflt cminflt
	 * majflt cmajflt utime stime cutime cstime priority nice threads
	 * itrealvalue starttime */
	char state;
	unsigned long long v[19];
	int got = sscanf(p + 1, " %c %llu %llu %llu %llu %llu %llu %llu %llu "
	    "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &state,
	    &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9],
	    &v[10], &v[11], &v[12], &v[13], &v[14], &v[15], &v[16], &v[17],
	    &v[18]);
	if (got < 20)
		return false;
	ppid = static_cast<int>(v[0]);
	start = v[18];
	return true;
}

void Kernel::attach_pid(int pid, int jid)
{
	int ppid;
	unsigned long long start = 0;
	proc_stat(pid, ppid, start);
	attached_[pid] = {jid, start};
}

int Kernel::jail_of_pid(int pid)
{
	for (int p = pid, hops = 0; p > 0 && hops < 4096; hops++) {
		int ppid;
		unsigned long long start;
		if (!proc_stat(p, ppid, start))
			return 0;
		auto it = attached_.find(p);
		if (it != attached_.end()) {
			if (it->second.second == start) {
				if (it->second.first == 0 ||
				    jail(it->second.first) != nullptr)
					return it->second.first;
			} else {
				attached_.erase(it);
			}
		}
		if (p == 1)
			break;
		p = ppid;
	}
	return 0;
}

int Kernel::jail_attach(const Caller &c, int jid)
{
	if (c.uid != 0)
		return EPERM;
	int e = fault(FaultOp::jail_attach);
	if (e != 0)
		return e;
	if (jid <= 0 || jail(jid) == nullptr || !jail_below(jid, c.jail))
		return EINVAL;
	attach_pid(c.pid, jid);
	return 0;
}

} // namespace ngsim
