#include <sys/types.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <assert.h>
#include <err.h>
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <sysexits.h>
#include <unistd.h>

#include "ng.h"

int
ng_status_oserr(void)
{
	return errno == EPERM ? EX_NOPERM : EX_OSERR;
}

int
ng_status_nohost(void)
{
	return errno == EPERM ? EX_NOPERM : EX_NOHOST;
}

void
ng_create_context(int *ctrl, int *data)
{
	char name[NG_NODESIZ];

	assert(ctrl != NULL);

	snprintf(name, sizeof(name), "ngctl%d", getpid());
	name[sizeof(name) - 1] = '\0';

	if (NgMkSockNode(name, ctrl, data) < 0)
		err(ng_status_oserr(), "%s: failed to initialize netgraph(4)",
		    __func__);
}

void
ng_shutdown_path(int ctrl, const char *path)
{
	assert(ctrl >= 0);
	assert(path != NULL);

	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_SHUTDOWN, NULL, 0) < 0)
		fprintf(stderr,
		    "Failed to shutdown node.\ntry:\n\tngctl shutdown %s\n", path);
}

void
ng_shutdown_node(int ctrl, ng_ID_t nd)
{
	char path[32];

	assert(ctrl >= 0);
	assert(nd > 0);

	snprintf(path, sizeof(path), NG_ADDR_FMT, nd);
	ng_shutdown_path(ctrl, path);
}
