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

/*
 * The wormhole node type, as riftlink drives it: make a near end, open it
 * into a jail, name it and connect its evthorizon.
 */

#include <sys/param.h>

#include <netgraph/ng_message.h>
#include <netgraph.h>

#include <assert.h>
#include <err.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>

#include "ng.h"
#include "wormhole.h"

/*
 * Argument records start from these constants, so that every byte the
 * kernel sees is defined: all bytes after each string are zero.
 */
static constexpr struct ngm_mkpeer wh_mkpeer_msg = {
	NG_WORMHOLE_NODE_TYPE, WH_TMP_HOOK, NG_WORMHOLE_HOOK
};
static constexpr struct ngm_connect wh_connect_msg = {
	"", NG_WORMHOLE_HOOK, ""
};
static constexpr struct ngm_rmhook wh_rmhook_msg = { NG_WORMHOLE_HOOK };
static constexpr struct ngm_name wh_name_msg = { "" };

static_assert(sizeof(wh_mkpeer_msg) == 96, "ngm_mkpeer is 96 bytes");
static_assert(sizeof(wh_connect_msg) == 576, "ngm_connect is 576 bytes");
static_assert(sizeof(wh_rmhook_msg) == 32, "ngm_rmhook is 32 bytes");
static_assert(sizeof(wh_name_msg) == 32, "ngm_name is 32 bytes");

/* A hook listing after an open: the node itself, evthorizon and the twin. */
static constexpr size_t WH_LISTING_LEN = sizeof(struct ng_mesg) +
    sizeof(struct hooklist) + 2 * sizeof(struct linkinfo);
static constexpr size_t WH_NODEINFO_LEN =
    sizeof(struct ng_mesg) + sizeof(struct nodeinfo);

/* Does a reply of len bytes hold at least need bytes, header included? */
static bool
wh_reply_holds(const struct ng_mesg *resp, int len, size_t need)
{
	if (len < 0 || (size_t)len < need)
		return (false);
	return (sizeof(struct ng_mesg) + resp->header.arglen >= need);
}

ng_ID_t
wh_create(int ctrl)
{
	struct ngm_mkpeer mkp;
	struct ng_mesg *resp;
	ng_ID_t id;
	int len;

	assert(ctrl >= 0);

	mkp = wh_mkpeer_msg;
	if (NgSendMsg(ctrl, ".", NGM_GENERIC_COOKIE, NGM_MKPEER, &mkp,
	    sizeof(mkp)) < 0)
		err(ng_status_oserr(), "unable to create %s",
		    NG_WORMHOLE_NODE_TYPE);

	if (NgSendMsg(ctrl, ".:" WH_TMP_HOOK, NGM_GENERIC_COOKIE, NGM_NODEINFO,
	    NULL, 0) < 0)
		errx(ng_status_oserr(),
		    "unable to request %s info, presumed dead",
		    NG_WORMHOLE_NODE_TYPE);

	if ((len = NgAllocRecvMsg(ctrl, &resp, NULL)) < 0)
		err(ng_status_oserr(),
		    "unable to retrieve %s info, presumed dead",
		    NG_WORMHOLE_NODE_TYPE);
	if (!wh_reply_holds(resp, len, WH_NODEINFO_LEN)) {
		free(resp);
		errx(EX_OSERR, "unable to retrieve %s info, presumed dead",
		    NG_WORMHOLE_NODE_TYPE);
	}

	id = ((const struct nodeinfo *)(const void *)resp->data)->id;
	free(resp);

	if (id == 0)
		err(ng_status_oserr(),
		    "invalid node id for wormhole, presumed dead");
	return (id);
}

ng_ID_t
wh_open(int ctrl, ng_ID_t wh, const char *jail)
{
	char path[32];
	struct ngm_rmhook rmh;
	struct ng_mesg *resp;
	const struct hooklist *hlist;
	const struct nodeinfo *ninfo;
	ng_ID_t far;
	int len;

	assert(ctrl >= 0);
	assert(wh > 0);
	assert(jail != NULL);
	assert(strlen(jail) < MAXHOSTNAMELEN);

	snprintf(path, sizeof(path), NG_ADDR_FMT, wh);

	if (NgSendMsg(ctrl, path, NGM_WORMHOLE_COOKIE, NGM_WORMHOLE_OPEN, jail,
	    strlen(jail) + 1) < 0)
		errx(ng_status_oserr(), "unable to open wormhole in `%s'",
		    jail);

	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_LISTHOOKS, NULL,
	    0) < 0)
		errx(ng_status_oserr(),
		    "unable to request wormhole node list, presumed dead");

	if ((len = NgAllocRecvMsg(ctrl, &resp, NULL)) < 0)
		errx(ng_status_oserr(), "unable to get response for wormhole "
		    "node list, presumed dead");
	if (!wh_reply_holds(resp, len, WH_LISTING_LEN)) {
		free(resp);
		errx(EX_OSERR, "unable to get response for wormhole node "
		    "list, presumed dead");
	}

	hlist = (const struct hooklist *)(const void *)resp->data;
	ninfo = &hlist->nodeinfo;
	assert(ninfo->hooks == 2);

	/* One link leads to our socket node, the other to the twin. */
	if (strcmp(hlist->link[0].nodeinfo.type, NG_WORMHOLE_NODE_TYPE) == 0)
		far = hlist->link[0].nodeinfo.id;
	else {
		assert(strcmp(hlist->link[1].nodeinfo.type,
		    NG_WORMHOLE_NODE_TYPE) == 0);
		far = hlist->link[1].nodeinfo.id;
	}
	free(resp);

	if (far == 0)
		errx(EX_OSERR, "invalid node id for wormhole, presumed dead");

	/* Free evthorizon for wh_connect, our tmp for the next wh_create. */
	rmh = wh_rmhook_msg;
	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_RMHOOK, &rmh,
	    sizeof(rmh)) < 0)
		errx(ng_status_oserr(), "unable to rmhook `%s' from `%s'",
		    NG_WORMHOLE_HOOK, path);

	return (far);
}

void
wh_name(int ctrl, ng_ID_t wh, const char *name)
{
	char path[32];
	struct ngm_name nm;

	assert(ctrl >= 0);
	assert(wh > 0);

	if (name == NULL)
		return;
	assert(strlen(name) < NG_NODELEN);

	nm = wh_name_msg;
	memcpy(nm.name, name, strlen(name));
	snprintf(path, sizeof(path), NG_ADDR_FMT, wh);

	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_NAME, &nm,
	    sizeof(nm)) < 0)
		err(ng_status_oserr(), "failed to name `%s'", path);
}

void
wh_connect(int ctrl, ng_ID_t wh, const char *peer, const char *peerhook)
{
	char path[32];
	struct ngm_connect msg;

	assert(ctrl >= 0);
	assert(wh > 0);

	if (peer == NULL)
		return;
	assert(peerhook != NULL);
	assert(strlen(peer) < sizeof(msg.path) - 2);
	assert(strlen(peerhook) < sizeof(msg.peerhook) - 1);

	snprintf(path, sizeof(path), NG_ADDR_FMT, wh);
	msg = wh_connect_msg;
	snprintf(msg.path, sizeof(msg.path), "%s:", peer);
	memcpy(msg.peerhook, peerhook, strlen(peerhook));

	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_CONNECT, &msg,
	    sizeof(msg)) >= 0)
		return;

	/* A peer hook of evthorizon: the peer is taken to be a wormhole. */
	if (strcmp(peerhook, NG_WORMHOLE_HOOK) == 0 && errno == EINVAL)
		err(EX_DATAERR, "unable to connect to `%s%s', not opened",
		    msg.path, peerhook);
	if (strcmp(peerhook, NG_WORMHOLE_HOOK) == 0 && errno == EDOOFUS)
		err(EX_DATAERR, "forbidden: collapse would result in connected "
		    "wormholes in the same vnet");
	err(EX_DATAERR, "unable to connect `%s%s' to `%s%s'", path,
	    NG_WORMHOLE_HOOK, msg.path, peerhook);
}
