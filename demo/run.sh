#!/bin/sh
# Builds both programs and the emulated kernel, then shows them at work, as a
# transcript that can be replayed line by line: two jails whose stacks cannot
# reach each other, riftlink joining them, the ping that then goes through,
# hooktap watching it from inside a jail, and the graph clean after hooktap.
set -eu
cd "$(dirname "$0")/.."
sh tools/deps.sh

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

step "building (programs in build/bin)"
sh tools/build.sh

PATH=$PWD/build/bin:$PATH
work=$(mktemp -d)
chmod 755 "$work"
NGSIM_SOCKET=$work/kernel.sock
export PATH NGSIM_SOCKET
cleanup() {
	if [ -s "$work/hooktap.pid" ]; then
		kill -KILL "$(cat "$work/hooktap.pid")" 2>/dev/null || true
	fi
	ngsim halt >/dev/null 2>&1 || true
	cd /
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
cd "$work"

# Waits up to five seconds until the graph of jail $1 does ($2 = yes) or does
# not ($2 = no) hold a node of type $3.
await_type() {
	i=0
	while [ "$i" -lt 50 ]; do
		if ngsim graph --jail "$1" --json | grep -q "\"type\": *\"$3\""; then
			[ "$2" = yes ] && return 0
		else
			[ "$2" = no ] && return 0
		fi
		sleep 0.1
		i=$((i + 1))
	done
	echo "demo: no change in jail $1's graph after 5 s" >&2
	exit 1
}

step "the emulated kernel, on a socket of this demonstration's own"
show ngsim kernel

step "two jails, each a network stack with one Ethernet interface"
show ngsim jail create vj1
show ngsim jail create vj2
show ngsim iface create em0 --jail vj1
show ngsim iface create em1 --jail vj2
show ngsim jexec vj1 ip addr add 169.254.1.1/16 dev em0
show ngsim jexec vj1 ip addr add fe80::1/64 dev em0 nodad
show ngsim jexec vj2 ip addr add 169.254.1.2/16 dev em1
show ngsim jexec vj2 ip addr add fe80::2/64 dev em1 nodad
show ngsim jexec vj1 ip -br addr show em0
show ngsim jexec vj2 ip -br addr show em1

step "nothing joins the two jails yet, so vj1 cannot reach vj2"
show ngsim jexec vj1 ping -c 3 -W 1 169.254.1.2 || true

step "in vj1, a tee on em0's upper hook, to watch the traffic later"
echo "# ngctl in a jail may not load modules: load ng_socket from the host first"
show ngsim kld load ng_socket
show ngsim jexec vj1 ngctl mkpeer em0: tee upper left
show ngsim jexec vj1 ngctl name em0:upper t0

step "riftlink joins the tee in vj1 to em1's upper hook in vj2"
show riftlink vj1:a:t0:right vj2:b:em1:upper
echo "# nothing of the passage stays on the host:"
show ngsim graph
show ngsim graph --jail vj2

step "the same ping now goes through the passage, and IPv6 too"
show ngsim jexec vj1 ping -c 3 -W 1 169.254.1.2
show ngsim jexec vj1 ping -6 -c 2 -W 1 fe80::2%em0

step "hooktap in vj1 taps both directions of the tee; tshark reads its stream"
echo '$ hooktap -j vj1 ether:t0:left2right ether:t0:right2left' \
	'| tshark -r - >capture.txt 2>tshark.err &'
# A shell script starts background commands with SIGINT ignored; give it back
# to hooktap, as an interactive shell would.
{
	env --default-signal=INT \
		hooktap -j vj1 ether:t0:left2right ether:t0:right2left &
	echo $! >hooktap.pid
	wait $!
} | tshark -r - >capture.txt 2>tshark.err &
reader=$!
await_type vj1 yes pcap
show ngsim jexec vj1 ping -q -c 2 -W 1 169.254.1.2
show ngsim jexec vj1 ping -6 -q -c 2 -W 1 fe80::2%em0
show ngsim graph --jail vj1

step "hooktap stopped with SIGINT: its capture node goes with it"
pid=$(cat hooktap.pid)
show kill -INT "$pid"
i=0
while kill -0 "$pid" 2>/dev/null; do
	i=$((i + 1))
	if [ "$i" -gt 50 ]; then
		echo "demo: hooktap still runs 5 s after SIGINT" >&2
		exit 1
	fi
	sleep 0.1
done
: >hooktap.pid
wait "$reader" || true
await_type vj1 no pcap
show cat capture.txt
if ! grep -q ICMP capture.txt; then
	cat tshark.err >&2
	echo "demo: tshark saw no ICMP" >&2
	exit 1
fi
show ngsim graph --jail vj1

step "done"
