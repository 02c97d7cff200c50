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
 * The kernel capture node (type "pcap", module "ng_pcap") and the routines
 * that build the capture graph around it.
 */
#ifndef HOOKTAP_PCAP_H
#define	HOOKTAP_PCAP_H

#include <sys/types.h>

#include <netgraph/ng_message.h>

#include <stdint.h>

#define	NG_PCAP_NODE_TYPE	"pcap"
#define	NG_PCAP_HOOK_SOURCE	"source"	/* source0 ... source7 */
#define	NG_PCAP_HOOK_SNOOP	"snoop"

#define	NG_PCAP_PKT_TYPE_LENGTH	8	/* number of source hooks */

#define	NGM_PCAP_COOKIE		1751984553
#define	NGM_PCAP_SET_SNAPLEN	2
#define	NGM_PCAP_SET_TYPE	4

#define	NG_PCAP_SNAPLEN_MIN	128
#define	NG_PCAP_SNAPLEN_MAX	262144

/* Packet types of a source hook, indexed by a specification's layer. */
enum { HKT_LAYER_ETHER, HKT_LAYER_INET, HKT_LAYER_INET6, HKT_LAYER_COUNT };
static constexpr const char *hkt_layer_names[HKT_LAYER_COUNT] = {
	"ether", "inet", "inet6",
};

/* Argument of NGM_PCAP_SET_SNAPLEN. */
struct ngm_pcap_snaplen {
	uint8_t		flags;		/* always 0 */
	uint32_t	snaplen;
};
static_assert(sizeof(struct ngm_pcap_snaplen) == 8,
    "the snapshot length argument is 8 bytes");

/* Argument of NGM_PCAP_SET_TYPE. */
struct ngm_pcap_type {
	char		hook[NG_HOOKSIZ];
	char		type[8];
};
static_assert(sizeof(struct ngm_pcap_type) == 40,
    "the packet type argument is 40 bytes");

/*
 * Join peer's hook peerhook to the capture node's source hook snum; with
 * pcap 0 the capture node is created there first. Returns its ID.
 */
ng_ID_t	hkt_connect_src(int ctrl, ng_ID_t pcap, uint8_t snum,
	    const char *peer, const char *peerhook);
/* Join peer's hook peerhook to the capture node's "snoop". */
ng_ID_t	hkt_connect_snp(int ctrl, ng_ID_t pcap, const char *peer,
	    const char *peerhook);
ng_ID_t	hkt_connect(int ctrl, ng_ID_t pcap, const char *peer,
	    const char *peerhook, const char *pcaphook);
void	hkt_set_type(int ctrl, ng_ID_t pcap, uint8_t snum, int layer);
void	hkt_set_snaplen(int ctrl, ng_ID_t pcap, uint32_t snaplen);

#endif /* HOOKTAP_PCAP_H */
