/*
 * The wire protocol between the host layer (compat/lib) and the emulated
 * kernel (ngsim). Both sides are built from this one header.
 *
 * Transport: AF_UNIX, SOCK_SEQPACKET, at $NGSIM_SOCKET, else
 * NGSIM_DEFAULT_SOCKET. A request is one packet: a struct ngsim_req followed
 * by `len` payload bytes, and, for the calls that concern a socket node, the
 * process's control or data socket passed along (SCM_RIGHTS). Every request
 * gets exactly one response: a struct ngsim_rsp and `len` payload bytes, in
 * one packet, or for a long admin answer in several (the first carries the
 * header; the payload continues in the packets that follow, up to `len`
 * bytes in all). Integers are in host byte order.
 *
 * Errors travel as host errno values; EDOOFUS travels as NGSIM_EDOOFUS
 * (compat's <errno.h> gives EDOOFUS that same value).
 *
 * Who is calling is what the Linux kernel says of the connection, never what
 * the request says: the uid and pid from SO_PEERCRED, and the vnet from the
 * network namespace the connecting socket was made in (see vnet.h).
 *
 * A socket node's sockets, both made by the kernel as socket pairs and
 * handed over in the NGSIM_OP_MKSOCK response:
 *  - The control socket carries, from the kernel to the process, the
 *    replies and messages the node receives, one packet each: a struct
 *    ngsim_ctlmsg, then the whole struct ng_mesg. So it is readable exactly
 *    while one waits. A packet with a non-zero `error` and no message stands
 *    for a receive that fails with that error. What the process writes into
 *    it is ignored. Control messages go out through NGSIM_OP_SENDMSG, which
 *    returns the kernel's verdict.
 *  - The data socket carries data items, one packet each and nothing around
 *    them, both ways; an item the process writes goes out of the node's only
 *    hook (and is dropped when it has none or several). NGSIM_OP_SENDDATA
 *    sends through a named hook and returns the verdict.
 * The node goes when the process has closed both (and every copy of them).
 */
#ifndef NGSIM_PROTO_H
#define NGSIM_PROTO_H

#include <stdint.h>

#define NGSIM_DEFAULT_SOCKET	"/run/ngsim/kernel.sock"
#define NGSIM_SOCKET_ENV	"NGSIM_SOCKET"

#define NGSIM_EDOOFUS		1088

/* Largest request packet the kernel accepts. */
#define NGSIM_MAX_PACKET	(1024 * 1024)
/* Largest data item. */
#define NGSIM_MAX_ITEM		262144

enum ngsim_op {
	/*
	 * Make a socket node in the caller's vnet. Payload: struct
	 * ngsim_mksock. Response: value = node ID, and the control socket,
	 * then the data socket when NGSIM_MKSOCK_DATA was asked, in
	 * SCM_RIGHTS. Errors: EPERM (not uid 0), EPROTONOSUPPORT (ng_socket
	 * not loaded), EADDRINUSE / EINVAL (the name), or a fault rule's.
	 */
	NGSIM_OP_MKSOCK = 1,
	/*
	 * With a control socket passed: send a control message from its node.
	 * Payload: struct ngsim_sendmsg, then the whole struct ng_mesg.
	 * Response: value = token on success, else the kernel's verdict. The
	 * replies the message causes are on the control socket before the
	 * response comes.
	 */
	NGSIM_OP_SENDMSG = 2,
	/*
	 * With a data socket passed: send an item out of a hook of its node.
	 * Payload: struct ngsim_data_hdr, then the item. Errors: EHOSTUNREACH
	 * (no such hook), ENOBUFS (the receiver is full), EMSGSIZE (larger than
	 * net.graph.maxdgram), ENOTCONN (the node is gone).
	 */
	NGSIM_OP_SENDDATA = 3,
	/*
	 * With a socket passed: its struct sockaddr_ng as getsockname(2) gives
	 * it, in the payload; ENOTSOCK for a socket that is no node's.
	 */
	NGSIM_OP_SOCKNAME = 4,
	/*
	 * With a data socket passed: the hook the item last read from it came
	 * in on, NUL-terminated, in the payload.
	 */
	NGSIM_OP_DATAHOOK = 5,

	/* Kernel linker. */
	NGSIM_OP_KLDLOAD = 10,		/* payload: file name, NUL-terminated; value = file ID */
	NGSIM_OP_KLDNEXT = 11,		/* payload: int32 file ID; value = next file ID or 0 */
	NGSIM_OP_KLDFIRSTMOD = 12,	/* payload: int32 file ID; value = module ID or 0 */
	NGSIM_OP_MODFNEXT = 13,		/* payload: int32 module ID; value = next module ID or 0 */
	NGSIM_OP_MODSTAT = 14,		/* payload: int32 module ID; response payload: struct ngsim_modstat */
	NGSIM_OP_KLDFIND = 15,		/* payload: file name; value = file ID */
	NGSIM_OP_MODFIND = 16,		/* payload: module name; value = module ID */

	/* Jails. */
	NGSIM_OP_JAIL_GETID = 20,	/* payload: name, NUL-terminated; value = jid; on error, response payload is the jail_errmsg text */
	/*
	 * Payload: int32 jid. Response: the jail's network namespace
	 * (SCM_RIGHTS), which the caller then enters with setns(2).
	 */
	NGSIM_OP_JAIL_ATTACH = 21,
	NGSIM_OP_JAIL_GETNAME = 22,	/* payload: int32 jid; response payload: the name */

	/*
	 * Administration by ngsim(8), for root on the host only; payload and
	 * responses are JSON text (see admin.cc).
	 */
	NGSIM_OP_ADMIN = 100,
};

struct ngsim_req {
	uint32_t	op;
	int32_t		pid;		/* unused: the kernel asks the Linux kernel */
	uint32_t	len;		/* payload bytes that follow */
	uint32_t	spare;
};

struct ngsim_rsp {
	int32_t		error;		/* 0, or a host errno value */
	int32_t		value;
	uint32_t	len;		/* payload bytes that follow */
	uint32_t	spare;
};

#define NGSIM_MKSOCK_DATA	0x1	/* also make a data socket */

struct ngsim_mksock {
	char		name[32];	/* "" for an unnamed node */
	uint32_t	flags;
};

struct ngsim_sendmsg {
	char		path[512];	/* destination, NUL-terminated */
};

/* Before each message on a control socket. */
struct ngsim_ctlmsg {
	int32_t		error;		/* 0, or the error of a failing receive */
	uint32_t	spare;
	char		from[32];	/* the sender's address, "[%x]:" */
};

struct ngsim_modstat {
	char		name[1024];
	int32_t		refs;
	int32_t		id;
};

struct ngsim_data_hdr {
	char		hook[32];
};

#endif /* NGSIM_PROTO_H */
