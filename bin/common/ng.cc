/*-
 * SPDX-License-Identifier: BSD-2-Clause
 *
 * Copyright (c) 2026 The hooktap and riftlink authors
 *
 * Redistribution and use in source and binary forms, with or without
 * modification, are permitted provided that the following conditions
 * are met:
 * 1. Redistributions of source code must retain the above copyright
 *    notice, this list of conditions and the following disclaimer.
 * 2. Redistributions in binary form must reproduce the above copyright
 *    notice, this list of conditions and the following disclaimer in the
 *    documentation and/or other materials provided with the distribution.
 *
 * THIS SOFTWARE IS PROVIDED BY THE AUTHOR AND CONTRIBUTORS ``AS IS'' AND
 * ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 * IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 * ARE DISCLAIMED.  IN NO EVENT SHALL THE AUTHOR OR CONTRIBUTORS BE LIABLE
 * FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR CONSEQUENTIAL
 * DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF SUBSTITUTE GOODS
 * OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS INTERRUPTION)
 * HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN CONTRACT, STRICT
 * LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE) ARISING IN ANY WAY
 * OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE POSSIBILITY OF
 * SUCH DAMAGE.
 */

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
	return (errno == EPERM ? EX_NOPERM : EX_OSERR);
}

int
ng_status_nohost(void)
{
	return (errno == EPERM ? EX_NOPERM : EX_NOHOST);
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

	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_SHUTDOWN, NULL,
	    0) < 0)
		fprintf(stderr,
		    "Failed to shutdown node.\ntry:\n\tngctl shutdown %s\n",
		    path);
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
