#ifndef COMMON_NG_H
#define COMMON_NG_H

#include <netgraph.h>

/*
 * The absolute address of a node by its ID, valid from any node of the same
 * vnet: "[%08x]:" gives 11 characters, such as [000000ab]: for ID 171.
 */
#define NG_ADDR_FMT	"[%08x]:"

/* Create this process's socket node, named ngctl<pid>; data may be NULL. */
void	ng_create_context(int *ctrl, int *data);

/*
 * Ask the kernel to shut down a node, given by its ID or by a path that
 * leads to it; on failure print a hint and return.
 */
void	ng_shutdown_node(int ctrl, ng_ID_t nd);
void	ng_shutdown_path(int ctrl, const char *path);

/* Exit statuses: EX_OSERR or EX_NOHOST, each EX_NOPERM when errno is EPERM. */
int	ng_status_oserr(void);
int	ng_status_nohost(void);

#endif
