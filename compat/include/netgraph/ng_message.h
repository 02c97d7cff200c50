/*
 * Netgraph control messages: the message header, the generic commands and
 * their argument and reply records, with FreeBSD's values and layouts.
 *
 * As FreeBSD's, this header includes nothing: <sys/types.h> comes first.
 * Only the *SIZ limits exist; the old *LEN names are gone from FreeBSD, and
 * a program that wants one defines it itself.
 */
#ifndef _NETGRAPH_NG_MESSAGE_H_
#define _NETGRAPH_NG_MESSAGE_H_

#define NG_TYPESIZ	32
#define NG_HOOKSIZ	32
#define NG_NODESIZ	32
#define NG_PATHSIZ	512
#define NG_CMDSTRSIZ	32
#define NG_TEXTRESPONSE	1024

typedef uint32_t ng_ID_t;

struct ng_mesg {
	struct ng_msghdr {
		u_char		version;	/* NG_VERSION */
		u_char		spare;
		uint16_t	spare2;
		uint32_t	arglen;		/* bytes of data */
		uint32_t	cmd;
		uint32_t	flags;
		uint32_t	token;		/* a reply carries its request's */
		uint32_t	typecookie;
		u_char		cmdstr[NG_CMDSTRSIZ];
	} header;
	char	data[];
};

#define NG_VERSION	8

#define NGF_ORIG	0x00000000
#define NGF_RESP	0x00000001

#define NGM_READONLY	0x10000000
#define NGM_HASREPLY	0x20000000

#define NGM_GENERIC_COOKIE	1137070366

#define NGM_SHUTDOWN	1
#define NGM_MKPEER	2
#define NGM_CONNECT	3
#define NGM_NAME	4
#define NGM_RMHOOK	5
#define NGM_NODEINFO	(6 | NGM_READONLY | NGM_HASREPLY)
#define NGM_LISTHOOKS	(7 | NGM_READONLY | NGM_HASREPLY)
#define NGM_LISTNAMES	(8 | NGM_READONLY | NGM_HASREPLY)
#define NGM_LISTNODES	(9 | NGM_READONLY | NGM_HASREPLY)
#define NGM_LISTTYPES	(10 | NGM_READONLY | NGM_HASREPLY)
#define NGM_TEXT_STATUS	(11 | NGM_READONLY | NGM_HASREPLY)
#define NGM_BINARY2ASCII	(12 | NGM_READONLY | NGM_HASREPLY)
#define NGM_ASCII2BINARY	(13 | NGM_READONLY | NGM_HASREPLY)

struct ngm_mkpeer {
	char	type[NG_TYPESIZ];
	char	ourhook[NG_HOOKSIZ];
	char	peerhook[NG_HOOKSIZ];
};

struct ngm_connect {
	char	path[NG_PATHSIZ];
	char	ourhook[NG_HOOKSIZ];
	char	peerhook[NG_HOOKSIZ];
};

struct ngm_name {
	char	name[NG_NODESIZ];
};

struct ngm_rmhook {
	char	ourhook[NG_HOOKSIZ];
};

struct nodeinfo {
	char		name[NG_NODESIZ];
	char		type[NG_TYPESIZ];
	ng_ID_t		id;
	uint32_t	hooks;
};

struct linkinfo {
	char		ourhook[NG_HOOKSIZ];
	char		peerhook[NG_HOOKSIZ];
	struct nodeinfo	nodeinfo;
};

struct hooklist {
	struct nodeinfo	nodeinfo;
	struct linkinfo	link[];
};

struct namelist {
	uint32_t	numnames;
	struct nodeinfo	nodeinfo[];
};

struct typeinfo {
	char		type_name[NG_TYPESIZ];
	uint32_t	numnodes;
};

struct typelist {
	uint32_t	numtypes;
	struct typeinfo	typeinfo[];
};

#ifdef __cplusplus
#define NG_STATIC_ASSERT static_assert
#else
#define NG_STATIC_ASSERT _Static_assert
#endif
NG_STATIC_ASSERT(sizeof(struct ng_mesg) == 56, "struct ng_mesg is 56 bytes");
NG_STATIC_ASSERT(sizeof(struct ngm_mkpeer) == 96, "struct ngm_mkpeer is 96 bytes");
NG_STATIC_ASSERT(sizeof(struct ngm_connect) == 576, "struct ngm_connect is 576 bytes");
NG_STATIC_ASSERT(sizeof(struct ngm_name) == 32, "struct ngm_name is 32 bytes");
NG_STATIC_ASSERT(sizeof(struct ngm_rmhook) == 32, "struct ngm_rmhook is 32 bytes");
NG_STATIC_ASSERT(sizeof(struct nodeinfo) == 72, "struct nodeinfo is 72 bytes");
NG_STATIC_ASSERT(sizeof(struct linkinfo) == 136, "struct linkinfo is 136 bytes");
NG_STATIC_ASSERT(sizeof(struct hooklist) == 72, "struct hooklist is 72 bytes before its links");
NG_STATIC_ASSERT(sizeof(struct namelist) == 4, "struct namelist is 4 bytes before its entries");
NG_STATIC_ASSERT(sizeof(struct typeinfo) == 36, "struct typeinfo is 36 bytes");
NG_STATIC_ASSERT(sizeof(struct typelist) == 4, "struct typelist is 4 bytes before its entries");
#undef NG_STATIC_ASSERT

#endif /* _NETGRAPH_NG_MESSAGE_H_ */
