#!/bin/sh
# The host layer's headers give what FreeBSD 15's give, and no more: a
# header that wants <sys/types.h> or <sys/param.h> first fails without it,
# and a name FreeBSD lacks is not there.
#
#   as_freebsd.sh COMPILER INCLUDE_DIR
#
# Each row: "ok" or "fails", then the lines of a translation unit, "|"
# standing for a line break.
set -u
cxx=$1 inc=$2
status=0
while IFS=' ' read -r want code; do
	case $want in ''|\#*) continue ;; esac
	if printf '%s\n' "$code" | tr '|' '\n' |
	    "$cxx" -fsyntax-only -I "$inc" -x c++ - 2>/dev/null; then
		got=ok
	else
		got=fails
	fi
	if [ "$got" != "$want" ]; then
		echo "expected to be $want, $got: $code"
		status=1
	fi
done <<'ROWS'
# The old *LEN names are gone from FreeBSD.
fails #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_NODELEN;
fails #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_HOOKLEN;
fails #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_TYPELEN;
fails #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_PATHLEN;
fails #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_CMDSTRLEN;
ok    #include <sys/types.h>|#include <netgraph/ng_message.h>|int n = NG_NODESIZ + NG_HOOKSIZ + NG_TYPESIZ + NG_PATHSIZ + NG_CMDSTRSIZ;
# <sys/types.h> first.
fails #include <netgraph/ng_message.h>
fails #include <netgraph/ng_socket.h>
ok    #include <sys/types.h>|#include <netgraph/ng_socket.h>
ok    #include <netgraph.h>|ng_ID_t id; uint32_t n;
# <sys/param.h> first.
fails #include <sys/types.h>|#include <sys/linker.h>
fails #include <sys/types.h>|#include <sys/module.h>
fails #include <sys/types.h>|#include <sys/jail.h>
ok    #include <sys/param.h>|#include <sys/linker.h>|#include <sys/module.h>|#include <sys/jail.h>|#include <jail.h>
# These stand alone, and give nothing beyond their own names.
ok    #include <sys/event.h>|struct kevent kev;
fails #include <sys/event.h>|uint64_t n;
ok    #include <sys/cdefs.h>|void f(const char *, ...) __printflike(1, 2) __dead2;
ROWS
exit $status
