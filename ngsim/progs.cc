/*
 * The programs' protocol (proto.h): socket nodes and what goes through
 * them, the kernel linker's calls and the jail calls, each answered for the
 * caller the Linux kernel vouches for.
 */
#include "daemon.h"
#include "types/socket.h"

#include <sys/types.h>

#include "../compat/include/netgraph/ng_message.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_COOKIE
#define SO_COOKIE 57
#endif

namespace ngsim {

namespace {

bool as_i32(const uint8_t *p, size_t n, int32_t &v)
{
	if (n != sizeof v)
		return false;
	memcpy(&v, p, sizeof v);
	return true;
}

bool as_str(const uint8_t *p, size_t n, std::string &s)
{
	if (n == 0 || memchr(p, '\0', n) == nullptr)
		return false;
	s.assign(reinterpret_cast<const char *>(p));
	return true;
}

} // namespace

void Daemon::program_request(Conn &c, const ngsim_req &rq, const uint8_t *p,
    size_t n, int passed)
{
	Caller cl;
	cl.uid = c.uid;
	cl.pid = c.pid;
	cl.jail = c.vnet;
	int32_t v = 0;
	std::string s;
	int e, out = 0;

	switch (rq.op) {
	case NGSIM_OP_MKSOCK:
		op_mksock(c, p, n);
		return;
	case NGSIM_OP_SENDMSG:
	case NGSIM_OP_SENDDATA:
	case NGSIM_OP_SOCKNAME:
	case NGSIM_OP_DATAHOOK:
		op_socket(c, rq, p, n, passed);
		return;
	case NGSIM_OP_KLDLOAD:
		if (!as_str(p, n, s))
			break;
		e = k_.kldload(cl, s, out);
		respond(c, e, out);
		return;
	case NGSIM_OP_KLDNEXT:
		if (!as_i32(p, n, v))
			break;
		e = k_.kldnext(v, out);
		respond(c, e, out);
		return;
	case NGSIM_OP_KLDFIRSTMOD:
		if (!as_i32(p, n, v))
			break;
		e = k_.kldfirstmod(v, out);
		respond(c, e, out);
		return;
	case NGSIM_OP_MODFNEXT:
		if (!as_i32(p, n, v))
			break;
		e = k_.modfnext(v, out);
		respond(c, e, out);
		return;
	case NGSIM_OP_MODSTAT: {
		if (!as_i32(p, n, v))
			break;
		std::string name;
		int refs = 0;
		e = k_.modstat(v, name, refs);
		if (e != 0) {
			respond(c, e, 0);
			return;
		}
		ngsim_modstat ms;
		memset(&ms, 0, sizeof ms);
		snprintf(ms.name, sizeof ms.name, "%s", name.c_str());
		ms.refs = refs;
		ms.id = v;
		respond(c, 0, 0, &ms, sizeof ms);
		return;
	}
	case NGSIM_OP_KLDFIND:
	case NGSIM_OP_MODFIND:
		if (!as_str(p, n, s))
			break;
		e = rq.op == NGSIM_OP_KLDFIND ? k_.kldfind(s, out) :
		    k_.modfind(s, out);
		respond(c, e, out);
		return;
	case NGSIM_OP_JAIL_GETID: {
		if (!as_str(p, n, s))
			break;
		std::string msg;
		e = k_.vnets.getid(cl.jail, s, out, msg);
		if (e != 0)
			respond(c, e, 0, msg.c_str(), msg.size() + 1);
		else
			respond(c, 0, out);
		return;
	}
	case NGSIM_OP_JAIL_ATTACH: {
		if (!as_i32(p, n, v))
			break;
		e = c.uid != 0 ? EPERM : k_.fault(FaultOp::jail_attach);
		if (e == 0)
			e = k_.vnets.attach_check(c.uid, cl.jail, v);
		int ns = k_.vnets.nsfd(v);
		if (e == 0 && ns < 0)
			e = EINVAL;
		/* The caller enters the namespace; the Linux kernel checks it may. */
		respond(c, e, 0, nullptr, 0, e == 0 ? &ns : nullptr, e == 0);
		return;
	}
	case NGSIM_OP_JAIL_GETNAME:
		if (!as_i32(p, n, v))
			break;
		if (v != 0 && !k_.vnets.below(v, cl.jail)) {
			respond(c, ENOENT, 0);
			return;
		}
		s = k_.vnets.name_of(v, cl.jail);
		respond(c, 0, 0, s.c_str(), s.size() + 1);
		return;
	default:
		respond(c, EOPNOTSUPP, 0);
		return;
	}
	respond(c, EINVAL, 0);
}

void Daemon::op_mksock(Conn &c, const uint8_t *p, size_t n)
{
	ngsim_mksock mk;
	std::string name;
	if (n != sizeof mk) {
		respond(c, EINVAL, 0);
		return;
	}
	memcpy(&mk, p, sizeof mk);
	if (!k_.type_loaded("socket")) {
		respond(c, EPROTONOSUPPORT, 0);
		return;
	}
	if (c.uid != 0) {
		respond(c, EPERM, 0);
		return;
	}
	int e = k_.fault(FaultOp::mksock);
	if (e != 0) {
		respond(c, e, 0);
		return;
	}
	if (!field_string(mk.name, sizeof mk.name, name) ||
	    (!name.empty() && !valid_node_name(name))) {
		respond(c, EINVAL, 0);
		return;
	}
	if (!name.empty() && k_.node_by_name(c.vnet, name) != nullptr) {
		respond(c, EADDRINUSE, 0);
		return;
	}
	Node *node = k_.make_node_in("socket", c.vnet, e, name);
	if (node == nullptr) {
		respond(c, e, 0);
		return;
	}
	int fds[2] = {-1, -1};
	bool data = (mk.flags & NGSIM_MKSOCK_DATA) != 0;
	e = socket_open(*node, data, fds[0], fds[1]);
	if (e != 0) {
		k_.remove_node(*node);
		respond(c, e, 0);
		return;
	}
	/*
	 * Once the process holds the sockets, their closing ends the node;
	 * if the answer never reaches it, our copies' closing does.
	 */
	respond(c, 0, static_cast<int>(node->id), nullptr, 0, fds, data ? 2 : 1);
	close(fds[0]);
	if (fds[1] >= 0)
		close(fds[1]);
}

/* Calls that come with one of a socket node's sockets. */
void Daemon::op_socket(Conn &c, const ngsim_req &rq, const uint8_t *p,
    size_t n, int passed)
{
	uint64_t cookie = 0;
	socklen_t len = sizeof cookie;
	if (passed < 0 || getsockopt(passed, SOL_SOCKET, SO_COOKIE, &cookie,
	    &len) < 0) {
		respond(c, ENOTSOCK, 0);
		return;
	}
	SockRef ref = socket_by_cookie(cookie);
	Node *node = ref.node != 0 ? k_.node_by_id(ref.node) : nullptr;
	if (node == nullptr) {
		/* A socket of a node that is gone, or of none. */
		respond(c, rq.op == NGSIM_OP_SOCKNAME ? ENOTSOCK : ENOTCONN, 0);
		return;
	}
	switch (rq.op) {
	case NGSIM_OP_SENDMSG: {
		ngsim_sendmsg sm;
		std::string path;
		if (ref.data || n < sizeof sm) {
			respond(c, EINVAL, 0);
			return;
		}
		memcpy(&sm, p, sizeof sm);
		if (!field_string(sm.path, sizeof sm.path, path)) {
			respond(c, EINVAL, 0);
			return;
		}
		const uint8_t *m = p + sizeof sm;
		size_t mlen = n - sizeof sm;
		if (mlen > k_.maxdgram() + sizeof(ng_mesg)) {
			respond(c, EMSGSIZE, 0);
			return;
		}
		Caller cl;
		cl.uid = c.uid;
		cl.pid = c.pid;
		cl.jail = node->vnet;
		uint32_t token = 0;
		if (mlen >= sizeof(ng_mesg))
			memcpy(&token, m + offsetof(ng_mesg, header.token), 4);
		int e = k_.sendmsg(*node, cl, path, m, mlen);
		respond(c, e, e == 0 ? static_cast<int>(token) : 0);
		return;
	}
	case NGSIM_OP_SENDDATA: {
		ngsim_data_hdr h;
		std::string hook;
		if (!ref.data || n < sizeof h) {
			respond(c, EINVAL, 0);
			return;
		}
		memcpy(&h, p, sizeof h);
		if (!field_string(h.hook, sizeof h.hook, hook)) {
			respond(c, EINVAL, 0);
			return;
		}
		respond(c, socket_send(k_, *node, hook, p + sizeof h,
		    n - sizeof h), 0);
		return;
	}
	case NGSIM_OP_SOCKNAME: {
		std::string sa = socket_name(*node);
		respond(c, 0, 0, sa.data(), sa.size());
		return;
	}
	case NGSIM_OP_DATAHOOK: {
		if (!ref.data) {
			respond(c, EINVAL, 0);
			return;
		}
		std::string hook = socket_last_hook(*node);
		respond(c, 0, 0, hook.c_str(), hook.size() + 1);
		return;
	}
	}
}

} // namespace ngsim
