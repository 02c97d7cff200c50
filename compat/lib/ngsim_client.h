/*
 * Plumbing shared by the calls that the emulated kernel answers: finding and
 * reaching it, and one request with its response on a SEQPACKET connection.
 */
#ifndef COMPAT_NGSIM_CLIENT_H
#define COMPAT_NGSIM_CLIENT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "proto.h"

struct ngsim_iov {
	const void	*base;
	size_t		 len;
};

/* What came back: the header, the payload (malloc'd, may be NULL) and a descriptor. */
struct ngsim_reply {
	struct ngsim_rsp rsp;
	void		*payload;	/* rsp.len bytes, or NULL when rsp.len is 0 */
	int		 fd;		/* passed descriptor, or -1 */
};

/*
 * Connect to the kernel. The descriptor is close-on-exec only when `cloexec`
 * is set: a control socket behaves like any other socket across exec.
 * Returns the descriptor, or -1 with errno.
 */
int	ngsim_connect(int cloexec);

/*
 * Send one request of `op` with the payload pieces, then wait for its
 * response. Returns 0 when a response arrived (its verdict is in
 * reply->rsp.error), -1 with errno when the exchange itself failed.
 * The caller frees reply->payload and closes reply->fd.
 */
int	ngsim_call(int fd, uint32_t op, const struct ngsim_iov *iov, int niov,
	    struct ngsim_reply *reply);

/*
 * A one-shot call: connect, call, close. Returns rsp.value on success;
 * -1 with errno set to the verdict or to the transport's error otherwise.
 * When `payload` is not NULL it receives the response payload (the caller
 * frees it), also on a refusal.
 */
int	ngsim_oneshot(uint32_t op, const void *arg, size_t arglen,
	    void **payload, uint32_t *paylen);

/* Send one packet made of the pieces (MSG_NOSIGNAL, waits on a non-blocking socket). */
ssize_t	ngsim_send_packet(int fd, const struct ngsim_iov *iov, int niov);

/* Receive one packet into a new malloc'd buffer; returns its length or -1. */
ssize_t	ngsim_recv_packet(int fd, void **buf);

/* Make a send buffer big enough for packets of `bytes` (best effort). */
void	ngsim_grow_sndbuf(int fd, size_t bytes);

#endif
