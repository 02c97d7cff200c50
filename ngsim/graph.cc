/*
 * The graph: nodes and hooks, paths, data between nodes, and the generic
 * control messages that every node understands.
 */
#include "kernel.h"

#include "ascii.h"
#include "msgs.h"
#include "netdev.h"

#include <sys/types.h>

#include "../compat/include/netgraph/ng_message.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ngsim {

namespace {

constexpr uint32_t kCmdFlags = NGM_READONLY | NGM_HASREPLY;
constexpr int kMaxDataDepth = 64;
constexpr long kMaxFanout = 4096;

void fill_nodeinfo(const Node &n, nodeinfo &ni)
{
	memset(&ni, 0, sizeof ni);
	snprintf(ni.name, sizeof ni.name, "%s", n.name.c_str());
	snprintf(ni.type, sizeof ni.type, "%s", n.type.c_str());
	ni.id = n.id;
	ni.hooks = static_cast<uint32_t>(n.hooks.size());
}

} // namespace

Kernel::Kernel()
{
	boot_linker();
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

Node *Kernel::make_node_in(const std::string &type, int vnet, int &err,
    const std::string &name)
{
	const NodeTypeInfo *t = find_type(type);
	if (t == nullptr || !type_loaded(type)) {
		err = ENXIO;
		return nullptr;
	}
	if (vnet != 0 && vnets.jail(vnet) == nullptr) {
		err = ENOENT;
		return nullptr;
	}
	auto n = std::make_unique<Node>();
	n->id = next_id_++;
	n->type = type;
	n->vnet = vnet;
	n->name = name;
	Node *raw = n.get();
	nodes_[raw->id] = std::move(n);
	raw->ops = t->make(*this, *raw);
	err = raw->ops ? raw->ops->start(*raw) : ENOMEM;
	if (err != 0) {
		raw->alive = false;
		dead_nodes_.push_back(std::move(nodes_[raw->id]));
		nodes_.erase(raw->id);
		return nullptr;
	}
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

int Kernel::resolve(Node &here, const std::string &path, Node *&out)
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
		if (path != ".")
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
	size_t pos = 0;
	while (!hooks.empty()) {
		size_t dot = hooks.find('.', pos);
		std::string seg = hooks.substr(pos, dot == std::string::npos ?
		    std::string::npos : dot - pos);
		if (!valid_hook_name(seg))
			return EINVAL;
		Hook *h = cur->findhook(seg);
		if (h == nullptr || h->peer == nullptr || h->twin)
			return ENOENT;
		cur = h->peer->node;
		if (dot == std::string::npos)
			break;
		pos = dot + 1;
	}
	out = cur;
	return 0;
}

int Kernel::connect(Node &a, const std::string &ahook, Node &b,
    const std::string &bhook)
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

/* Every hook of `n` goes; only its peers hear of it. */
void Kernel::strip_hooks(Node &n)
{
	std::vector<std::pair<Node *, Hook *>> gone;
	while (!n.hooks.empty())
		unlink_hook(*n.hooks.front(), gone);
	gone.erase(std::remove_if(gone.begin(), gone.end(),
	    [&](const std::pair<Node *, Hook *> &g) { return g.first == &n; }),
	    gone.end());
	notify(gone);
}

void Kernel::free_node_now(Node &n)
{
	n.alive = false;
	auto it = nodes_.find(n.id);
	if (it != nodes_.end()) {
		dead_nodes_.push_back(std::move(it->second));
		nodes_.erase(it);
	}
	strip_hooks(n);
}

void Kernel::shutdown(Node &n)
{
	if (!n.alive || std::count(shutting_.begin(), shutting_.end(), n.id))
		return;
	shutting_.push_back(n.id);
	if (n.ops->shutdown(n))
		free_node_now(n);
	else
		strip_hooks(n);
	shutting_.erase(std::remove(shutting_.begin(), shutting_.end(), n.id),
	    shutting_.end());
}

void Kernel::remove_node(Node &n)
{
	if (!n.alive)
		return;
	shutting_.push_back(n.id);
	free_node_now(n);
	shutting_.erase(std::remove(shutting_.begin(), shutting_.end(), n.id),
	    shutting_.end());
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
	Node *to = node_by_id(m.sender);
	if (to == nullptr)
		return;
	std::vector<uint8_t> buf(sizeof(ng_mesg) + len);
	ng_mesg *r = reinterpret_cast<ng_mesg *>(buf.data());
	if (m.whole != nullptr && m.wholelen >= sizeof(ng_mesg))
		memcpy(r->header.cmdstr, reinterpret_cast<const ng_mesg *>(
		    m.whole)->header.cmdstr, sizeof r->header.cmdstr);
	r->header.version = NG_VERSION;
	r->header.arglen = static_cast<uint32_t>(len);
	r->header.cmd = m.cmd;
	r->header.flags = NGF_RESP;
	r->header.token = m.token;
	r->header.typecookie = m.cookie;
	if (len > 0)
		memcpy(buf.data() + sizeof(ng_mesg), data, len);
	to->ops->queue_reply(*to, self.id, buf);
}

int Kernel::open_netdev(int vnet, const std::string &name, bool tun,
    uint32_t tag, int &fd)
{
	return vnets.in_vnet(vnet, [&]() {
		return netdev_open(name, tun, tag, fd);
	});
}

int Kernel::in_vnet(int vnet, const std::function<int()> &fn)
{
	return vnets.in_vnet(vnet, fn);
}

void Kernel::bypass(Hook &a, Hook &b)
{
	Hook *pa = a.peer, *pb = b.peer;
	if (pa == nullptr || pb == nullptr || &a == &b || a.twin || b.twin)
		return;
	pa->peer = pb;
	pb->peer = pa;
	pa->peer_id = pb->node->id;
	pa->peer_hook = pb->name;
	pb->peer_id = pa->node->id;
	pb->peer_hook = pa->name;
	for (Hook *x : {&a, &b}) {
		x->peer = nullptr;
		x->alive = false;
		Node *n = x->node;
		n->hooks.erase(std::remove(n->hooks.begin(), n->hooks.end(), x),
		    n->hooks.end());
		dead_hooks_.emplace_back(x);
	}
}

void Kernel::watch(int fd, std::function<void()> readable)
{
	if (on_watch)
		on_watch(fd, std::move(readable));
}

void Kernel::unwatch(int fd)
{
	if (on_unwatch)
		on_unwatch(fd);
}

void Kernel::wire_out(Node &ether, const uint8_t *data, size_t len)
{
	if (on_wire_out)
		on_wire_out(ether, data, len);
}

int Kernel::resolve_jail(int from, const std::string &ref, int &jid)
{
	return vnets.resolve(from, ref, jid);
}

int Kernel::sysctl_get(const std::string &name, size_t &value) const
{
	for (const Sysctl &s : sysctls_)
		if (name == s.name) {
			value = s.value;
			return 0;
		}
	return ENOENT;
}

int Kernel::sysctl_set(const std::string &name, size_t value)
{
	for (Sysctl &s : sysctls_)
		if (name == s.name) {
			if (value < s.min || value > s.max)
				return EINVAL;
			s.value = value;
			return 0;
		}
	return ENOENT;
}

/* ---------------------------------------------------------------- messages */

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
		    m + sizeof(ng_mesg), len - sizeof(ng_mesg), from.id, m, len};
		cur_caller_ = c;
		if (cm.cookie == NGM_GENERIC_COOKIE)
			e = generic(from, *target, cm);
		else
			e = target->ops->rcvmsg(*target, cm);
	}
	te.error = e;
	record(std::move(te));
	return e;
}

int Kernel::generic(Node &from, Node &target, const CtlMsg &m)
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
			int e = kldload(cur_caller_, "ng_" + type, fid);
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
		e = connect(target, ours, *n, peers);
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
		std::vector<typeinfo> ti;
		for (const NodeTypeInfo &t : types_) {
			if (!type_loaded(t.name))
				continue;
			typeinfo x;
			memset(&x, 0, sizeof x);
			snprintf(x.type_name, sizeof x.type_name, "%s",
			    t.name.c_str());
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
	case NGM_TEXT_STATUS: {
		std::string text;
		int e = target.ops->status(target, text);
		if (e != 0)
			return e;
		text.resize(std::min<size_t>(text.size(), NG_TEXTRESPONSE - 1));
		reply(target, m, text.c_str(), text.size() + 1);
		return 0;
	}
	case NGM_BINARY2ASCII:
	case NGM_ASCII2BINARY: {
		/* The target's type knows its own messages, and the generic ones. */
		std::vector<uint8_t> out;
		int e = m.cmd == NGM_BINARY2ASCII ?
		    binary_to_ascii(target.type, m.arg, m.arglen, out) :
		    ascii_to_binary(target.type, m.arg, m.arglen, out);
		if (e != 0)
			return e;
		reply(target, m, out.data(), out.size());
		return 0;
	}
	default:
		return EINVAL;
	}
}

} // namespace ngsim
