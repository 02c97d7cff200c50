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

/* Descriptors an answer may carry. */
#define NGSIM_MAX_FDS	2

/* What came back: the header, the payload (malloc'd, may be NULL) and descriptors. */
struct ngsim_reply {
	struct ngsim_rsp rsp;
	void		*payload;	/* rsp.len bytes and a NUL, or NULL when rsp.len is 0 */
	int		 fds[NGSIM_MAX_FDS];	/* passed descriptors, or -1 */
};

/* Set while a call may find no kernel without anyone being told. */
extern int ngsim_quiet;

/*
 * Connect to the kernel, close-on-exec. Only a kernel run by root is one:
 * anything else listening at the path is refused. When nothing answers,
 * says so once on standard error. Returns the descriptor, or -1 with errno.
 */
int	ngsim_connect(void);

/*
 * A call on its own connection: send one request of `op` with the payload
 * pieces and, when `pass` is not -1, that descriptor along; wait for the
 * response. Returns 0 when a response arrived (its verdict is in
 * reply->rsp.error), -1 with errno when the exchange itself failed. The
 * caller frees reply->payload and closes reply->fds.
 */
int	ngsim_call(uint32_t op, const struct ngsim_iov *iov, int niov, int pass,
	    struct ngsim_reply *reply);

/* Frees the payload and closes the descriptors of a reply. */
void	ngsim_reply_free(struct ngsim_reply *reply);

/*
 * As ngsim_call, for calls whose answer is a value: returns rsp.value on
 * success; -1 with errno set to the verdict or to the transport's error
 * otherwise. When `payload` is not NULL it receives the response payload
 * (the caller frees it), also on a refusal.
 */
int	ngsim_oneshot(uint32_t op, const void *arg, size_t arglen, int pass,
	    void **payload, uint32_t *paylen);

#endif
