/* Netgraph socket nodes: the node type through which a process joins a graph. */
#ifndef _NETGRAPH_NG_SOCKET_H_
#define _NETGRAPH_NG_SOCKET_H_

#include <sys/socket.h>

#define NG_SOCKET_NODE_TYPE	"socket"
#define NGM_SOCKET_COOKIE	851601233

#define AF_NETGRAPH	32
#define PF_NETGRAPH	AF_NETGRAPH

#define NG_DATA		1
#define NG_CONTROL	2

/* FreeBSD's sa_family_t is one byte, so the address is 16 in all. */
struct sockaddr_ng {
	unsigned char	sg_len;
	unsigned char	sg_family;
	char		sg_data[14];
};

#ifdef __cplusplus
static_assert(sizeof(struct sockaddr_ng) == 16, "struct sockaddr_ng is 16 bytes");
#else
_Static_assert(sizeof(struct sockaddr_ng) == 16, "struct sockaddr_ng is 16 bytes");
#endif

#endif /* _NETGRAPH_NG_SOCKET_H_ */
