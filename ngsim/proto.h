/*
 * The wire protocol between the host layer (compat/lib) and the emulated
 * kernel (ngsim). Both sides are built from this one header.
 *
 * Transport: AF_UNIX, SOCK_SEQPACKET, at $NGSIM_SOCKET, else
 * NGSIM_DEFAULT_SOCKET. Every message is one packet: a request is a
 * struct ngsim_req followed by `len` payload bytes; every request gets
 * exactly one response, a struct ngsim_rsp followed by `len` payload bytes,
 * except where noted. Integers are in host byte order.
 *
 * Errors travel as host errno values; EDOOFUS travels as NGSIM_EDOOFUS
 * (compat's <errno.h> gives EDOOFUS that same value).
 *
 * Who is calling: the kernel takes the caller's uid and pid from the
 * connection's peer credentials (SO_PEERCRED) at connect time, and the
 * caller's jail from the pid (the jail the process attached to, else that
 * of its nearest ancestor that attached, else the host). The `pid` field of
 * a request is the sender's getpid() at the moment of sending, used for the
 * trace (a forked child may send on its parent's control socket).
 *
 * Connection roles:
 *  - One-shot calls (kernel linker, jails): connect, one request, one
 *    response, close.
 *  - A control socket: the connection whose first request is
 *    NGSIM_OP_MKSOCK. From then on it carries SENDMSG and RECVMSG for the
 *    socket node it made. When every descriptor of it is closed (and the
 *    data socket's too, if any), the socket node is shut down.
 *  - A data socket: one end of a socketpair(AF_UNIX, SOCK_SEQPACKET) that
 *    the kernel makes and passes back with SCM_RIGHTS in the MKSOCK
 *    response. Kernel to process: each packet is one raw data item, nothing
 *    around it. Process to kernel: each packet is a struct ngsim_data_hdr
 *    (the hook to send through) followed by the item.
 *  - An admin connection: first request NGSIM_OP_ADMIN; owned by ngsim(8).
 */
#ifndef NGSIM_PROTO_H
#define NGSIM_PROTO_H

#include <stdint.h>

#define NGSIM_DEFAULT_SOCKET	"/tmp/ngsim-kernel.sock"
#define NGSIM_SOCKET_ENV	"NGSIM_SOCKET"

#define NGSIM_EDOOFUS		1088

/* Largest packet either side sends or accepts on a control connection. */
#define NGSIM_MAX_PACKET	(1024 * 1024)
/* Largest data item. */
#define NGSIM_MAX_ITEM		262144

enum ngsim_op {
	/*
	 * Make a socket node. Payload: struct ngsim_mksock.
	 * Response: value = node ID; when NGSIM_MKSOCK_DATA was asked and the
	 * call succeeded, exactly one descriptor (the data socket) in
	 * SCM_RIGHTS. Errors: EPERM (not uid 0), EPROTONOSUPPORT (ng_socket
	 * not loaded), EADDRINUSE / EINVAL (the name), or a fault rule's.
	 */
	NGSIM_OP_MKSOCK = 1,
	/*
	 * Send a control message from this connection's socket node.
	 * Payload: struct ngsim_sendmsg, then the whole struct ng_mesg
	 * (header and arglen argument bytes). Response: value = token on
	 * success; error = the kernel's verdict otherwise. Replies that the
	 * message causes are queued for RECVMSG before the response is sent.
	 */
	NGSIM_OP_SENDMSG = 2,
	/*
	 * Receive the next queued control message addressed to this socket
	 * node. No payload. The response waits until a message is queued.
	 * Response payload: struct ngsim_recvmsg, then the whole ng_mesg.
	 */
	NGSIM_OP_RECVMSG = 3,

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
	NGSIM_OP_JAIL_ATTACH = 21,	/* payload: int32 jid; moves the caller's pid into the jail */
	NGSIM_OP_JAIL_GETNAME = 22,	/* payload: int32 jid; response payload: the name */

	/* Administration by ngsim(8); payload and responses are JSON text. */
	NGSIM_OP_ADMIN = 100,
};

struct ngsim_req {
	uint32_t	op;
	int32_t		pid;
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

struct ngsim_recvmsg {
	char		path[512];	/* the sender's address, "[%08x]:" */
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
