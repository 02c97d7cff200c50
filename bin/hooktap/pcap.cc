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
 * The capture graph: the kernel capture node on the first specification's
 * hook, the further hooks joined to its source hooks, each source's packet
 * type, the snapshot length, and its output joined to our socket node.
 */

#include <sys/types.h>

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
#include "pcap.h"

static void
hkt_source_hook(char *buf, size_t len, uint8_t snum)
{
	snprintf(buf, len, "%s%u", NG_PCAP_HOOK_SOURCE, (unsigned int)snum);
}

/*
 * A capture node that hangs on path but whose ID was not learnt would keep
 * the tapped hook for good: shut it down by that path before the report.
 * errno stays that of the failure being reported.
 */
static void
hkt_abandon(int ctrl, const char *path)
{
	int saved;

	saved = errno;
	ng_shutdown_path(ctrl, path);
	errno = saved;
}

/*
 * Create the capture node on peer's hook peerhook, its own end being
 * pcaphook, and learn its ID from a NODEINFO through that hook.
 */
static ng_ID_t
hkt_create(int ctrl, const char *peer, const char *peerhook,
    const char *pcaphook)
{
	struct ngm_mkpeer mkp;
	struct nodeinfo ni;
	struct ng_mesg *resp;
	char path[NG_NODESIZ + NG_HOOKSIZ];
	size_t len;
	ng_ID_t id;
	int rlen;

	memset(&mkp, 0, sizeof(mkp));
	strcpy(mkp.type, NG_PCAP_NODE_TYPE);
	strcpy(mkp.ourhook, peerhook);
	strcpy(mkp.peerhook, pcaphook);

	snprintf(path, sizeof(path), "%s:", peer);
	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_MKPEER, &mkp,
	    sizeof(mkp)) < 0)
		err(ng_status_oserr(), "unable to create %s",
		    NG_PCAP_NODE_TYPE);

	len = strlen(path);
	snprintf(path + len, sizeof(path) - len, "%s", peerhook);
	if (NgSendMsg(ctrl, path, NGM_GENERIC_COOKIE, NGM_NODEINFO, NULL,
	    0) < 0) {
		hkt_abandon(ctrl, path);
		errx(ng_status_oserr(),
		    "unable to request %s info, presumed dead",
		    NG_PCAP_NODE_TYPE);
	}

	rlen = NgAllocRecvMsg(ctrl, &resp, NULL);
	if (rlen < 0) {
		hkt_abandon(ctrl, path);
		err(ng_status_oserr(),
		    "unable to retrieve %s info, presumed dead",
		    NG_PCAP_NODE_TYPE);
	}

	/*
	 * A short reply would be read past its end, and ID 0 names no node:
	 * either way the node cannot be addressed.
	 */
	id = 0;
	if ((size_t)rlen >= sizeof(struct ng_mesg) + sizeof(ni) &&
	    resp->header.arglen >= sizeof(ni)) {
		memcpy(&ni, resp->data, sizeof(ni));
		id = ni.id;
	}
	free(resp);
	if (id == 0) {
		hkt_abandon(ctrl, path);
		errx(EX_OSERR, "unable to retrieve %s info, presumed dead",
		    NG_PCAP_NODE_TYPE);
	}
	return (id);
}

ng_ID_t
hkt_connect(int ctrl, ng_ID_t pcap, const char *peer, const char *peerhook,
    const char *pcaphook)
{
	struct ngm_connect con;
	char dst[NG_NODESIZ + 1];

	if (pcap == 0)
		return (hkt_create(ctrl, peer, peerhook, pcaphook));

	/* Every byte the kernel sees is defined: zeros behind each string. */
	memset(&con, 0, sizeof(con));
	snprintf(con.path, sizeof(con.path), NG_ADDR_FMT, pcap);
	strcpy(con.ourhook, peerhook);
	strncpy(con.peerhook, pcaphook, sizeof(con.peerhook) - 1);

	snprintf(dst, sizeof(dst), "%s:", peer);
	if (NgSendMsg(ctrl, dst, NGM_GENERIC_COOKIE, NGM_CONNECT, &con,
	    sizeof(con)) < 0)
		err(EX_DATAERR, "unable to connect `%s%s' to `%s%s'", dst,
		    peerhook, con.path, pcaphook);
	return (pcap);
}

ng_ID_t
hkt_connect_src(int ctrl, ng_ID_t pcap, uint8_t snum, const char *peer,
    const char *peerhook)
{
	char pcaphook[NG_HOOKSIZ];

	assert(snum < NG_PCAP_PKT_TYPE_LENGTH);
	assert(ctrl >= 0);
	assert(peer != NULL);
	assert(strlen(peer) < NG_NODESIZ);
	assert(peerhook !=NULL);
	assert(strlen(peerhook) < NG_HOOKSIZ);

	hkt_source_hook(pcaphook, sizeof(pcaphook), snum);
	return (hkt_connect(ctrl, pcap, peer, peerhook, pcaphook));
}

ng_ID_t
hkt_connect_snp(int ctrl, ng_ID_t pcap, const char *peer,
    const char *peerhook)
{
	assert(ctrl >= 0);
	assert(peer != NULL);
	assert(strlen(peer) < NG_NODESIZ);
	assert(peerhook !=NULL);
	assert(strlen(peerhook) < NG_HOOKSIZ);

	return (hkt_connect(ctrl, pcap, peer, peerhook, NG_PCAP_HOOK_SNOOP));
}

void
hkt_set_type(int ctrl, ng_ID_t pcap, uint8_t snum, int layer)
{
	struct ngm_pcap_type arg;
	char path[NG_NODESIZ + 1];
	const char *type;

	assert(snum < NG_PCAP_PKT_TYPE_LENGTH);
	assert(ctrl >= 0);
	assert(pcap > 0);

	snprintf(path, sizeof(path), NG_ADDR_FMT, pcap);
	memset(&arg, 0, sizeof(arg));
	hkt_source_hook(arg.hook, sizeof(arg.hook), snum);
	type = hkt_layer_names[layer];
	memcpy(arg.type, type, strlen(type) + 1);

	if (NgSendMsg(ctrl, path, NGM_PCAP_COOKIE, NGM_PCAP_SET_TYPE, &arg,
	    sizeof(arg)) < 0)
		err(EX_DATAERR, "unable to set `%s%s' to `%s'", path,
		    arg.hook, type);
}

void
hkt_set_snaplen(int ctrl, ng_ID_t pcap, uint32_t snaplen)
{
	struct ngm_pcap_snaplen arg;
	char path[NG_NODESIZ + 1];

	/* Byte 0, and the padding behind it, are zero. */
	memset(&arg, 0, sizeof(arg));
	arg.snaplen = snaplen;
	snprintf(path, sizeof(path), NG_ADDR_FMT, pcap);

	if (NgSendMsg(ctrl, path, NGM_PCAP_COOKIE, NGM_PCAP_SET_SNAPLEN, &arg,
	    sizeof(arg)) < 0)
		errx(ng_status_oserr(), "%s unable to set snaplen=%d", path,
		    (int)snaplen);
}
