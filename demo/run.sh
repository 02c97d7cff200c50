#!/bin/sh
# Builds both programs and the emulated kernel, then shows them at work:
# jails with interfaces, a small graph, a capture read by tshark, and a portal
# that carries a frame from one jail's wire to another's.
set -eu
cd "$(dirname "$0")/.."
sh tools/deps.sh
sh tools/build.sh >/dev/null

PATH=$PWD/build/bin:$PATH
work=$(mktemp -d /tmp/ngsim-demo-XXXXXX)
chmod 755 "$work"
NGSIM_SOCKET=$work/kernel.sock
export PATH NGSIM_SOCKET
trap 'ngsim halt >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

# Bytes from hexadecimal words.
bytes() { for h in $*; do printf "\\$(printf %03o 0x$h)"; done; }
le32() { bytes $(printf '%02x %02x %02x %02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
	$(($1 >> 16 & 255)) $(($1 >> 24 & 255))); }

# A capture file of N ARP requests from 169.254.0.1 for 169.254.0.2.. (link-local).
frames() {
	bytes d4 c3 b2 a1 02 00 04 00 00 00 00 00 00 00 00 00 ff ff 00 00 01 00 00 00
	i=1
	while [ "$i" -le "$1" ]; do
		le32 $((1765000000 + i)); le32 0; le32 42; le32 42
		bytes ff ff ff ff ff ff 02 00 00 00 00 01 08 06 00 01 08 00 06 04 00 01
		bytes 02 00 00 00 00 01 a9 fe 00 01 00 00 00 00 00 00 a9 fe 00
		bytes $(printf %02x $((i + 1)))
		i=$((i + 1))
	done
}
frames 3 >"$work/arp.pcap"

step "the emulated kernel"
show ngsim kernel
show ngsim kld list

step "two jails, each with its own vnet and interface; an interface and a hub on the host"
show ngsim jail create vj1
show ngsim jail create vj2
show ngsim iface create em0 --jail vj1
show ngsim iface create em1 --jail vj2
show ngsim iface create em2
show ngsim node create hub hub0
show ngsim graph --json

step "capture: hooktap taps em2's lower hook, tshark reads what it relays"
{ hooktap ether:em2:lower & echo $! >"$work/hooktap.pid"; wait || true; } |
	tshark -r - >"$work/tshark.out" 2>/dev/null &
reader=$!
sleep 1
echo "$ ngsim graph --json    # the capture node hangs off em2:lower"
ngsim graph --json
show ngsim wire inject em2 <"$work/arp.pcap"
sleep 1
kill "$(cat "$work/hooktap.pid")"
wait "$reader" || true
echo "$ hooktap ether:em2:lower | tshark -r -"
cat "$work/tshark.out"

step "portal: riftlink joins em0 in vj1 to em1 in vj2 through two wormholes"
show riftlink vj1:a:em0:lower vj2:b:em1:lower
show ngsim graph --jail vj1 --json
show ngsim graph --jail vj2 --json
ngsim wire listen em1 --jail vj2 --count 3 --timeout 5 >"$work/crossed.pcap" &
listener=$!
sleep 0.5
show ngsim wire inject em0 --jail vj1 <"$work/arp.pcap"
wait "$listener" || true
echo "$ tshark -r crossed.pcap    # what left em1's wire in vj2"
tshark -r "$work/crossed.pcap" 2>/dev/null

step "done"
