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

#ifndef COMMON_NG_H
#define	COMMON_NG_H

#include <netgraph.h>

/*
 * The absolute address of a node by its ID, valid from any node of the same
 * vnet: "[%08x]:" gives 11 characters, such as [000000ab]: for ID 171.
 */
#define	NG_ADDR_FMT	"[%08x]:"

/* Create this process's socket node, named ngctl<pid>; data may be NULL. */
void	ng_create_context(int *ctrl, int *data);

/*
 * Ask the kernel to shut down a node, given by its ID or by a path that
 * leads to it; on failure print a hint and return.
 */
void	ng_shutdown_node(int ctrl, ng_ID_t nd);
void	ng_shutdown_path(int ctrl, const char *path);

/* Exit statuses: EX_OSERR or EX_NOHOST, EX_NOPERM when errno is EPERM. */
int	ng_status_oserr(void);
int	ng_status_nohost(void);

#endif /* COMMON_NG_H */
