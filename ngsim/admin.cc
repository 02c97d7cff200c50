/*
 * The admin protocol of ngsim(8), for root on the host only (daemon.cc
 * refuses everyone else before a request gets here).
 *
 * A request carries a JSON object {"cmd": ..., ...}, optionally followed by
 * a NUL and binary bytes (a frame for wire_inject). The answer is one JSON
 * object; {"error": TEXT} with EINVAL in the response header when refused.
 * Commands: halt; jail_create {name, parent}; jail_netns {jail} (answers
 * {path} and passes the namespace); iface_create {name, type, jail};
 * node_create {type, name, jail}; wire_inject {iface, jail}; wire_listen
 * {iface, jail} (the connection then receives one packet per frame: the
 * response header, a 32-bit seconds and microseconds stamp, the frame);
 * graph {jail}; trace {clear} (answers {trace, dropped}); fault_add {op,
 * cookie, cmd_num, path, nth, errno}; fault_clear; kld_list; kld_add {file,
 * modules, loaded}; kld_load {file}; sysctl {name, value}. A jail is given
 * as a reference resolved from the host.
 */
#include "daemon.h"
#include "netdev.h"
#include "types/builtin.h"

#include <sys/types.h>

#include "../compat/include/netgraph/ng_message.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>

namespace ngsim {

using json = nlohmann::ordered_json;

namespace {

/* What `ngsim node create` makes: built-in types that need no device. */
const char *const kPlainTypes[] = {"hub", "tee", "echo", "hole"};

json node_json(const Node &n)
{
	json hooks = json::array();
	for (const Hook *h : n.hooks) {
		if (h->peer == nullptr)
			continue;
		json e = {{"hook", h->name}, {"peer", h->peer->node->id},
		    {"peerhook", h->peer->name}};
		if (h->twin)
			e["peerjail"] = h->peer->node->vnet;
		hooks.push_back(e);
	}
	return {{"id", n.id},
	    {"name", n.name.empty() ? json(nullptr) : json(n.name)},
	    {"type", n.type}, {"hooks", hooks}};
}

std::string hexstr(const std::string &s)
{
	static const char *d = "0123456789abcdef";
	std::string o;
	for (unsigned char ch : s) {
		o += d[ch >> 4];
		o += d[ch & 15];
	}
	return o;
}

json error(const std::string &text)
{
	return {{"error", text}};
}

class Admin {
public:
	Admin(Kernel &k, const json &rq) : k_(k), rq_(rq) {}

	std::string str(const char *key) const
	{
		if (rq_.contains(key) && rq_[key].is_string())
			return rq_[key].get<std::string>();
		return std::string();
	}

	/* The request's "jail", resolved from the host; 0 when absent. */
	bool jail(int &jid, json &err) const
	{
		jid = 0;
		if (!rq_.contains("jail") || rq_["jail"].is_null())
			return true;
		std::string msg;
		if (k_.vnets.getid(0, rq_["jail"].get<std::string>(), jid,
		    msg) != 0) {
			err = error(msg);
			return false;
		}
		return true;
	}

	json jail_create()
	{
		int parent = 0, jid = 0;
		std::string msg;
		if (rq_.contains("parent") && !rq_["parent"].is_null() &&
		    k_.vnets.getid(0, rq_["parent"].get<std::string>(), parent,
		    msg) != 0)
			return error(msg);
		if (k_.vnets.create(str("name"), parent, jid, msg) != 0)
			return error(msg);
		return {{"jid", jid}};
	}

	json make_node(bool iface)
	{
		int jid;
		json err;
		if (!jail(jid, err))
			return err;
		std::string name = str("name");
		std::string type = str("type");
		if (iface && type.empty())
			type = "ether";
		if (!valid_node_name(name))
			return error("invalid node name \"" + name + "\"");
		if (k_.node_by_name(jid, name) != nullptr)
			return error("node name \"" + name + "\" is in use");
		if (iface) {
			if (type != "ether" && type != "iface")
				return error("no interface type \"" + type + "\"");
			if (name.size() > kMaxIfName)
				return error("interface name \"" + name +
				    "\" is longer than " +
				    std::to_string(kMaxIfName) + " characters");
		} else {
			bool plain = false;
			for (const char *t : kPlainTypes)
				plain = plain || type == t;
			if (!plain)
				return error("no built-in node type \"" + type +
				    "\"");
		}
		int e;
		Node *n = k_.make_node_in(type, jid, e, name);
		if (n == nullptr)
			return error(std::string("cannot make the node: ") +
			    strerror(e));
		n->persistent = true;
		return {{"id", n->id}};
	}

	json graph()
	{
		int jid;
		json err;
		if (!jail(jid, err))
			return err;
		json nodes = json::array();
		for (Node *n : k_.nodes_in(jid))
			nodes.push_back(node_json(*n));
		return {{"jail", jid}, {"nodes", nodes}};
	}

	json trace()
	{
		json lines = json::array();
		for (const TraceEntry &t : k_.trace()) {
			const char *en = errno_name(t.error);
			json e = t.error == 0 ? json(nullptr) :
			    en ? json(en) : json(std::to_string(t.error));
			lines.push_back({{"pid", t.pid}, {"jail", t.jail},
			    {"path", t.path}, {"cookie", t.cookie},
			    {"cmd", t.cmd}, {"arg", hexstr(t.arg)},
			    {"errno", e}});
		}
		json rs = {{"trace", lines}, {"dropped", k_.trace_dropped()}};
		if (rq_.value("clear", false))
			k_.clear_trace();
		return rs;
	}

	json fault_add()
	{
		static const std::pair<const char *, FaultOp> ops[] = {
			{"msg", FaultOp::msg}, {"recv", FaultOp::recv},
			{"mksock", FaultOp::mksock},
			{"kldload", FaultOp::kldload},
			{"jail_attach", FaultOp::jail_attach},
		};
		FaultRule r;
		std::string op = str("op");
		bool known = false;
		for (const auto &o : ops)
			if (op == o.first) {
				r.op = o.second;
				known = true;
			}
		if (!known)
			return error("unknown operation \"" + op + "\"");
		if (rq_.contains("cookie"))
			r.cookie = rq_["cookie"].get<uint32_t>();
		if (rq_.contains("cmd_num"))
			r.cmd = rq_["cmd_num"].get<uint32_t>() &
			    ~static_cast<uint32_t>(NGM_READONLY | NGM_HASREPLY);
		if (rq_.contains("path"))
			r.path = rq_["path"].get<std::string>();
		r.nth = rq_.value("nth", 0L);
		r.error = rq_.value("errno", 0);
		if (r.error == 0)
			return error("no errno");
		k_.faults.push_back(r);
		return json::object();
	}

	json kld_list()
	{
		json files = json::array();
		for (const KldFile &f : k_.kld_files())
			files.push_back({{"file", f.file},
			    {"id", f.id ? json(f.id) : json(nullptr)},
			    {"loaded", f.id != 0}, {"modules", f.modules}});
		return {{"files", files}};
	}

	json kld_add()
	{
		std::vector<std::string> mods =
		    rq_.at("modules").get<std::vector<std::string>>();
		int e = k_.kld_add(str("file"), mods, rq_.value("loaded", false));
		if (e == EEXIST)
			return error("kernel file \"" + str("file") +
			    "\" already exists");
		if (e != 0)
			return error(strerror(e));
		return json::object();
	}

	json kld_load()
	{
		int id = 0;
		int e = k_.kldload(Caller(), str("file"), id);
		if (e != 0)
			return {{"error", strerror(e)}, {"errno", e}};
		return {{"id", id}};
	}

	json sysctl()
	{
		std::string name = str("name");
		size_t v = 0;
		if (rq_.contains("value")) {
			int e = k_.sysctl_set(name, rq_["value"].get<size_t>());
			if (e == EINVAL)
				return error("value out of range for " + name);
		}
		if (k_.sysctl_get(name, v) != 0)
			return error("unknown oid '" + name + "'");
		return {{"name", name}, {"value", v}};
	}

private:
	Kernel &k_;
	const json &rq_;
};

} // namespace

void Daemon::admin_request(Conn &c, const uint8_t *p, size_t n)
{
	const uint8_t *z = static_cast<const uint8_t *>(memchr(p, '\0', n));
	size_t jlen = z ? static_cast<size_t>(z - p) : n;
	const uint8_t *bin = z ? z + 1 : p + n;
	size_t binlen = z ? n - jlen - 1 : 0;
	json rq = json::parse(p, p + jlen, nullptr, false);
	json rs;
	int nsfd = -1;
	if (rq.is_discarded() || !rq.is_object() || !rq.contains("cmd") ||
	    !rq["cmd"].is_string()) {
		rs = error("malformed admin request");
	} else try {
		Admin a(k_, rq);
		const std::string cmd = rq["cmd"];
		int jid = 0;
		if (cmd == "halt") {
			halting_ = true;
			rs = json::object();
		} else if (cmd == "jail_create") {
			rs = a.jail_create();
		} else if (cmd == "jail_netns") {
			if (a.jail(jid, rs)) {
				nsfd = k_.vnets.nsfd(jid);
				rs = {{"path", k_.vnets.ns_path(jid)}};
			}
		} else if (cmd == "iface_create" || cmd == "node_create") {
			rs = a.make_node(cmd == "iface_create");
		} else if (cmd == "wire_inject" || cmd == "wire_listen") {
			if (a.jail(jid, rs)) {
				std::string name = a.str("iface");
				Node *e = k_.node_by_name(jid, name);
				if (e == nullptr || e->type != "ether")
					rs = error("no interface \"" + name + "\"");
				else if (cmd == "wire_listen") {
					c.listen_iface = e->id;
					rs = json::object();
				} else if (binlen > NGSIM_MAX_ITEM) {
					rs = error("frame too long");
				} else {
					/* Without a frame it only checks. */
					if (z != nullptr)
						ether_from_wire(*e, bin, binlen);
					rs = json::object();
				}
			}
		} else if (cmd == "graph") {
			rs = a.graph();
		} else if (cmd == "trace") {
			rs = a.trace();
		} else if (cmd == "fault_add") {
			rs = a.fault_add();
		} else if (cmd == "fault_clear") {
			k_.faults.clear();
			rs = json::object();
		} else if (cmd == "kld_list") {
			rs = a.kld_list();
		} else if (cmd == "kld_add") {
			rs = a.kld_add();
		} else if (cmd == "kld_load") {
			rs = a.kld_load();
		} else if (cmd == "sysctl") {
			rs = a.sysctl();
		} else {
			rs = error("unknown admin command \"" + cmd + "\"");
		}
	} catch (const std::exception &ex) {
		rs = error(std::string("malformed admin request: ") + ex.what());
	}
	/* Names and paths are bytes, not always UTF-8. */
	std::string out = rs.dump(-1, ' ', false, json::error_handler_t::replace);
	bool refused = rs.contains("error");
	respond(c, refused ? EINVAL : 0, 0, out.data(), out.size(),
	    !refused && nsfd >= 0 ? &nsfd : nullptr, !refused && nsfd >= 0);
}

} // namespace ngsim
