#ifndef RIFTLINK_WORMHOLE_H
#define RIFTLINK_WORMHOLE_H

#include <sys/types.h>

#include <netgraph/ng_message.h>

/* FreeBSD's <netgraph/ng_message.h> gives only the *SIZ limits now. */
#ifndef NG_NODELEN
#define NG_NODELEN	(NG_NODESIZ - 1)
#endif

/*
 * The wormhole node type: a portal between two vnets. A wormhole accepts
 * the hook "evthorizon" from outside; once opened into a jail it has a twin
 * of the same type in that jail's vnet, and data into one end's evthorizon
 * comes out of the twin's.
 */
#define NG_WORMHOLE_NODE_TYPE	"wormhole"
#define NG_WORMHOLE_HOOK	"evthorizon"
#define NGM_WORMHOLE_COOKIE	1742462349
#define NGM_WORMHOLE_OPEN	1	/* argument: jail reference, NUL included */

/* The near end's hook on our socket node while it is being opened. */
#define WH_TMP_HOOK		"tmp"

/*
 * Drive wormhole nodes over a control socket. Each routine reports and
 * exits when the kernel refuses it; a return always means success.
 */
ng_ID_t	wh_create(int ctrl);
ng_ID_t	wh_open(int ctrl, ng_ID_t wh, const char *jail);
void	wh_name(int ctrl, ng_ID_t wh, const char *name);
void	wh_connect(int ctrl, ng_ID_t wh, const char *peer, const char *peerhook);

/*
 * One wormhole specification, [jail][:name][:node:hook], split in place:
 * the fields point into the argument vector; an absent or empty component
 * is NULL. node and hook are either both set or both NULL.
 */
struct wh_spec {
	char	*jail;
	char	*name;
	char	*node;
	char	*hook;
};

/* What riftlink's exit hook gives back: its control socket and near ends. */
struct riftlink_state {
	int	fd;
	ng_ID_t	wh1;
	ng_ID_t	wh2;
};

extern struct riftlink_state G;

int	parse_spec(char *arg, struct wh_spec *whs);
[[noreturn]] void usage(const char *fmt, ...)
	    __attribute__((format(printf, 1, 2)));
void	jail_name_connect(int jid, ng_ID_t wh, const char *name,
	    const char *node, const char *hook);
void	err_cleanup(int status);

#endif
