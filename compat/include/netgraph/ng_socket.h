/*
 * Netgraph socket nodes: the node type through which a process joins a
 * graph. As FreeBSD's, this header wants <sys/types.h> first.
 */
#ifndef _NETGRAPH_NG_SOCKET_H_
#define _NETGRAPH_NG_SOCKET_H_

#define NG_SOCKET_NODE_TYPE	"socket"
#define NGM_SOCKET_COOKIE	851601233

/* FreeBSD's <sys/socket.h> has these; the host's does not. */
#define AF_NETGRAPH	32
#define PF_NETGRAPH	AF_NETGRAPH

#define NG_DATA		1
#define NG_CONTROL	2

/*
 * FreeBSD's sa_family_t is one byte and the host's two: the family field
 * takes FreeBSD's width, so that the record has FreeBSD's 16 bytes.
 */
struct sockaddr_ng {
	u_char	sg_len;
	u_char	sg_family;	/* sa_family_t */
	char	sg_data[14];
};

#ifdef __cplusplus
static_assert(sizeof(struct sockaddr_ng) == 16, "struct sockaddr_ng is 16 bytes");
#else
_Static_assert(sizeof(struct sockaddr_ng) == 16, "struct sockaddr_ng is 16 bytes");
#endif

#endif /* _NETGRAPH_NG_SOCKET_H_ */
