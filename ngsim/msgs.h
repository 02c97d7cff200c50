/*
 * Control messages of the emulated kernel's node types: each type's cookie,
 * command numbers and argument and reply records, and the generic messages
 * that <netgraph/ng_message.h> does not give yet. Plain C, so that node
 * types and programs alike can include it.
 *
 * A type's cookie is the time its messages were first written down, in
 * seconds since the Epoch, as netgraph(4) recommends. Command numbers of a
 * type count from 1 in the order its manual page lists them.
 */
#ifndef NGSIM_MSGS_H
#define NGSIM_MSGS_H

#include "../compat/include/netgraph/ng_message.h"

#include <stdint.h>

#ifdef __cplusplus
#define NGSIM_STATIC_ASSERT static_assert
#else
#define NGSIM_STATIC_ASSERT _Static_assert
#endif

/* NGM_TEXT_STATUS, NGM_BINARY2ASCII, NGM_ASCII2BINARY and struct typelist
 * come with <netgraph/ng_message.h>. */

/* ---- socket (module ng_socket) */

#ifndef NGM_SOCKET_COOKIE
#define NGM_SOCKET_COOKIE	851601233
#endif
#define NGM_SOCK_CMD_NOLINGER	1	/* no argument */
#define NGM_SOCK_CMD_LINGER	2	/* no argument */

/* ---- ether (built in) */

#define NGM_ETHER_COOKIE	1796857156
#define NGM_ETHER_GET_IFNAME	1	/* reply: the interface name, NUL-terminated */
#define NGM_ETHER_GET_IFINDEX	2	/* reply: int32_t */
#define NGM_ETHER_GET_ENADDR	3	/* reply: u_char[ETHER_ADDR_LEN] */
#define NGM_ETHER_SET_ENADDR	4	/* argument: u_char[ETHER_ADDR_LEN] */
#define NGM_ETHER_SET_PROMISC	5	/* argument: int32_t, non-zero enables */
#define NGM_ETHER_GET_PROMISC	6	/* reply: int32_t, 0 or 1 */
#define NGM_ETHER_SET_AUTOSRC	7	/* argument: int32_t */
#define NGM_ETHER_GET_AUTOSRC	8	/* reply: int32_t, 0 or 1 */
#define NGM_ETHER_ADD_MULTI	9	/* argument: u_char[ETHER_ADDR_LEN] */
#define NGM_ETHER_DEL_MULTI	10	/* argument: u_char[ETHER_ADDR_LEN] */
#define NGM_ETHER_DETACH	11	/* no argument */

#define NG_ETHER_ADDRLEN	6

/* ---- iface (built in) */

#define NGM_IFACE_COOKIE	1796857163
#define NGM_IFACE_GET_IFNAME	1	/* reply: the interface name, NUL-terminated */
#define NGM_IFACE_GET_IFINDEX	2	/* reply: int32_t */
#define NGM_IFACE_POINT2POINT	3	/* no argument */
#define NGM_IFACE_BROADCAST	4	/* no argument */

/* ---- hub (built in) */

#define NGM_HUB_COOKIE		1796857171
#define NGM_HUB_SET_PERSISTENT	1	/* no argument */

/* ---- tee (built in) */

#define NGM_TEE_COOKIE		1796857178
#define NGM_TEE_GET_STATS	1	/* reply: struct ng_tee_stats */
#define NGM_TEE_CLR_STATS	2	/* no argument */
#define NGM_TEE_GETCLR_STATS	3	/* reply: struct ng_tee_stats, then cleared */

/* Traffic through one hook of a tee. */
struct ng_tee_hookstat {
	uint64_t	inOctets;
	uint64_t	inFrames;
	uint64_t	outOctets;
	uint64_t	outFrames;
};

struct ng_tee_stats {
	struct ng_tee_hookstat	right;
	struct ng_tee_hookstat	left;
	struct ng_tee_hookstat	right2left;
	struct ng_tee_hookstat	left2right;
};

NGSIM_STATIC_ASSERT(sizeof(struct ng_tee_hookstat) == 32, "struct ng_tee_hookstat is 32 bytes");
NGSIM_STATIC_ASSERT(sizeof(struct ng_tee_stats) == 128, "struct ng_tee_stats is 128 bytes");

/* ---- hole (built in) */

#define NGM_HOLE_COOKIE		1796857186
/* Each takes the hook's name as a NUL-terminated string. */
#define NGM_HOLE_GET_STATS	1	/* reply: struct ng_hole_hookstat */
#define NGM_HOLE_CLR_STATS	2	/* no reply */
#define NGM_HOLE_GETCLR_STATS	3	/* reply: struct ng_hole_hookstat, then cleared */

struct ng_hole_hookstat {
	uint64_t	frames;
	uint64_t	octets;
};

NGSIM_STATIC_ASSERT(sizeof(struct ng_hole_hookstat) == 16, "struct ng_hole_hookstat is 16 bytes");

/* ---- pcap (module ng_pcap), the capture node */

#define NGM_PCAP_COOKIE		1751984553
#define NGM_PCAP_SET_SNAPLEN	2	/* argument: struct ngm_pcap_snaplen */
#define NGM_PCAP_SET_TYPE	4	/* argument: struct ngm_pcap_type */

struct ngm_pcap_snaplen {
	uint8_t		flags;		/* ignored */
	uint32_t	snaplen;	/* 128 to 262144 */
};

struct ngm_pcap_type {
	char		hook[NG_HOOKSIZ];	/* source0 ... source7 */
	char		type[8];		/* "ether", "inet" or "inet6" */
};

NGSIM_STATIC_ASSERT(sizeof(struct ngm_pcap_snaplen) == 8, "struct ngm_pcap_snaplen is 8 bytes");
NGSIM_STATIC_ASSERT(sizeof(struct ngm_pcap_type) == 40, "struct ngm_pcap_type is 40 bytes");

/* ---- wormhole (module ng_wormhole), the portal node */

#define NGM_WORMHOLE_COOKIE	1742462349
#define NGM_WORMHOLE_OPEN	1	/* argument: jail reference, NUL-terminated */

#undef NGSIM_STATIC_ASSERT

#endif /* NGSIM_MSGS_H */
