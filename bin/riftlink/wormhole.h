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

#ifndef RIFTLINK_WORMHOLE_H
#define	RIFTLINK_WORMHOLE_H

#include <sys/types.h>

#include <netgraph/ng_message.h>

/* FreeBSD's <netgraph/ng_message.h> gives only the *SIZ limits now. */
#ifndef NG_NODELEN
#define	NG_NODELEN	(NG_NODESIZ - 1)
#endif

/*
 * The wormhole node type: a portal between two vnets. A wormhole accepts
 * the hook "evthorizon" from outside; once opened into a jail it has a
 * twin of the same type in that jail's vnet, and data into one end's
 * evthorizon comes out of the twin's.
 */
#define	NG_WORMHOLE_NODE_TYPE	"wormhole"
#define	NG_WORMHOLE_HOOK	"evthorizon"
#define	NGM_WORMHOLE_COOKIE	1742462349
#define	NGM_WORMHOLE_OPEN	1	/* argument: jail reference, with NUL */

/* The near end's hook on our socket node while it is being opened. */
#define	WH_TMP_HOOK		"tmp"

/*
 * Drive wormhole nodes over a control socket. Each routine reports and
 * exits when the kernel refuses it; a return always means success.
 */
ng_ID_t	wh_create(int ctrl);
ng_ID_t	wh_open(int ctrl, ng_ID_t wh, const char *jail);
void	wh_name(int ctrl, ng_ID_t wh, const char *name);
void	wh_connect(int ctrl, ng_ID_t wh, const char *peer,
	    const char *peerhook);

#endif /* RIFTLINK_WORMHOLE_H */
