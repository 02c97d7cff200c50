#!/bin/bash
# hooktap beside a plain relay (bench_plain_relay: one blocking write per
# 64 KiB read, as nghook(8) does) on the same traffic in the same run, and
# beside the emulated kernel's own ceiling (bench_drain: the capture node's
# stream read from its data socket and thrown away). Everything is measured
# RUNS times; the tables give each figure's median and its range.
#
#   bench/run.sh [-r RUNS] [-c FRAMES] [-p RATE] [BUILD_DIR]
#
# Traffic, FRAMES frames of 64 and of 1500 bytes per measurement, all on em0
# in jail vj1 (169.254.1.1/16, a static neighbour 169.254.1.2 that is never
# there):
#   wire   put on em0's wire (ngsim wire inject), captured on
#          ether:em0:lower: one admin request per frame, so as fast as the
#          kernel takes them.
#   stack  UDP datagrams sent by vj1's stack at RATE per second (default
#          20000; bench_flood), captured on ether:em0:upper: a steady load
#          below the ceiling, the same in every run. "offered" counts the
#          frames the kernel took from em0's TAP device.
# Per relay, traffic and run: packets delivered to the reader per second as
# a share of the ceiling's, and the CPU time (user + system: the run time in
# /proc/PID/task/*/schedstat) the relay process spends from the moment its
# capture is up until its reader has everything, per delivered packet. Then
# the stack traffic again, whose arrivals per stall are the same every time,
# with the reader stalling 100 ms in every 300 ms, FreeBSD's default buffer
# space (net.graph.recvspace = maxdgram = 20480), at the default snap length
# (hooktap's ring 1 MiB) and at -s 1600 (ring 8 KiB): the packets and bytes
# of the capture stream lost.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=5 FRAMES=60000 RATE=20000
while getopts r:c:p: opt; do
	case $opt in
	r) RUNS=$OPTARG ;;
	c) FRAMES=$OPTARG ;;
	p) RATE=$OPTARG ;;
	*) echo "usage: bench/run.sh [-r RUNS] [-c FRAMES] [-p RATE] [BUILD_DIR]" >&2; exit 64 ;;
	esac
done
shift $((OPTIND - 1))
B=$(realpath "${1:-build}")
NG=$B/bin/ngsim
T=$B/bench
IDLE=500	# ms without a packet that end a measurement

work=$(mktemp -d /tmp/ngsim-bench-XXXXXX)
chmod 755 "$work"
export NGSIM_SOCKET=$work/kernel.sock
trap '"$NG" halt >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

"$NG" kernel
"$NG" sysctl net.graph.recvspace=20480 >/dev/null
"$NG" sysctl net.graph.maxdgram=20480 >/dev/null
"$NG" jail create vj1 >/dev/null
"$NG" iface create em0 --jail vj1 >/dev/null
"$NG" kld load ng_socket >/dev/null
"$NG" kld load ng_pcap >/dev/null
"$NG" jexec vj1 ip addr add 169.254.1.1/16 dev em0
"$NG" jexec vj1 ip neigh add 169.254.1.2 lladdr 02:00:00:00:00:02 dev em0 nud permanent
for size in 64 1500; do
	"$T/bench_mkpcap" "$FRAMES" "$size" >"$work/wire$size.pcap"
done

# relay_cmd RELAY HOOK SNAPLEN
relay_cmd() {
	case $1 in
	hooktap) echo "$B/bin/hooktap -n -j vj1 -s $3 ether:em0:$2" ;;
	plain) echo "$T/bench_plain_relay -j vj1 -s $3 em0 $2" ;;
	drain) echo "$T/bench_drain -j vj1 -s $3 em0 $2 $IDLE" ;;
	esac
}

# Waits until the capture node's snoop hook is connected, or is gone.
wait_graph() {
	for _ in $(seq 200); do
		if "$NG" graph --jail vj1 --json | grep -q '"snoop"'; then
			[ "$1" = up ] && return 0
		else
			[ "$1" = gone ] && return 0
		fi
		sleep 0.02
	done
	echo "bench: capture never $1" >&2
	cat "$work/relay.err" >&2 2>/dev/null
	return 1
}

# Nanoseconds the process has run, in user and system mode.
cpu_ns() {
	cat /proc/"$1"/task/*/schedstat | awk '{ n += $1 } END { printf "%d", n }'
}

# Frames the kernel has taken from vj1's em0 (its TAP device's transmits).
em0_tx() {
	"$NG" jexec vj1 awk -F: '$1 ~ /^ *em0$/ { split($2, f, " "); print f[10] }' /proc/net/dev
}

# send SOURCE SIZE -> the packets offered to the capture node
send() {
	if [ "$1" = wire ]; then
		"$NG" wire inject em0 --jail vj1 <"$work/wire$2.pcap"
		echo "$FRAMES"
		return
	fi
	local before
	before=$(em0_tx)
	"$NG" jexec vj1 "$T/bench_flood" 169.254.1.2 "$FRAMES" "$2" "$RATE" 60 >/dev/null
	echo $(($(em0_tx) - before))
}

# measure RELAY SOURCE SIZE SNAPLEN [PERIOD_MS STALL_MS]
#   -> "offered packets bytes seconds cpu_ns"
measure() {
	local relay=$1 src=$2 size=$3 snap=$4 hook=lower
	shift 4
	[ "$src" = stack ] && hook=upper
	local reader= pid c0=0 c1=0 sent
	if [ "$relay" = drain ]; then
		timeout 120 $(relay_cmd drain $hook "$snap") >"$work/got" &
		pid=$!
	else
		rm -f "$work/fifo"
		mkfifo "$work/fifo"
		timeout 120 "$T/bench_reader" "$FRAMES" "$IDLE" "$@" \
			<"$work/fifo" >"$work/got" &
		reader=$!
		$(relay_cmd "$relay" $hook "$snap") >"$work/fifo" 2>"$work/relay.err" &
		pid=$!
	fi
	wait_graph up
	[ -n "$reader" ] && c0=$(cpu_ns $pid)
	sent=$(send "$src" "$size")
	if [ -n "$reader" ]; then
		wait "$reader" || true
		c1=$(cpu_ns $pid)
		kill "$pid" 2>/dev/null || true
	fi
	wait "$pid" 2>/dev/null || true
	wait_graph gone
	echo "$sent $(cat "$work/got") $((c1 - c0))"
}

# Lines "ROW METRIC VALUE", one value per run; kept beside the tools.
results=$T/results.txt
: >"$results"
# Who goes first changes from run to run, so that no relay always meets the
# machine in the same state.
orders=("drain hooktap plain" "plain drain hooktap" "hooktap plain drain")
declare -A pps cpu lost
start=$(date +%s)
for run in $(seq "$RUNS"); do
	read -r load _ </proc/loadavg
	echo "run $run of $RUNS: load average $load" >&2
	echo "machine load $load" >>"$results"
	order=${orders[$(((run - 1) % 3))]}
	for src in wire stack; do
		for size in 64 1500; do
			row="$src/$size"
			for relay in $order; do
				read -r sent got bytes secs ns < <(measure $relay $src $size 262144)
				pps[$relay]=$(awk -v n="$got" -v s="$secs" 'BEGIN { print (s > 0 ? n / s : 0) }')
				cpu[$relay]=$(awk -v c="$ns" -v n="$got" 'BEGIN { print (n > 0 ? c / n / 1000 : 0) }')
				echo "$row offered_$relay $sent" >>"$results"
				echo "$row delivered_$relay $(awk -v g="$got" -v s="$sent" 'BEGIN { print (s > 0 ? 100 * g / s : 0) }')" >>"$results"
			done
			awk -v row="$row" -v c="${pps[drain]}" -v h="${pps[hooktap]}" -v p="${pps[plain]}" \
				-v ch="${cpu[hooktap]}" -v cp="${cpu[plain]}" 'BEGIN {
				print row, "ceiling", c
				print row, "share_hooktap", (c > 0 ? h / c : 0)
				print row, "share_plain", (c > 0 ? p / c : 0)
				print row, "cpu_hooktap", ch
				print row, "cpu_plain", cp
				print row, "cpu_ratio", (cp > 0 ? ch / cp : 0)
			}' >>"$results"
		done
	done
	for size in 64 1500; do
		for snap in 262144 1600; do
			row="$size/$snap"
			for relay in ${order/drain/}; do
				read -r sent got bytes _ < <(measure $relay stack $size $snap 300 100)
				lost[$relay]=$((sent - got))
				awk -v row="$row" -v r=$relay -v s="$sent" -v g="$got" -v b="$bytes" \
					-v epb=$((32 + (size + 3) / 4 * 4)) 'BEGIN {
					print row, "lostpct_" r, 100 * (s - g) / s
					print row, "lostkib_" r, (s * epb - b) / 1024
				}' >>"$results"
			done
			echo "$row lost_ratio $(awk -v h="${lost[hooktap]}" -v p="${lost[plain]}" \
				'BEGIN { print (p > 0 ? h / p : 0) }')" >>"$results"
		done
	done
done
read -r load _ </proc/loadavg
echo "machine load $load" >>"$results"
elapsed=$(($(date +%s) - start))

# Each figure as "median (min–max)" over the runs.
summary=$work/summary
awk '{ v[$1 " " $2] = v[$1 " " $2] " " $3 }
END {
	for (k in v) {
		n = split(v[k], a, " ")
		for (i = 2; i <= n; i++)	# insertion sort
			for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) {
				t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
			}
		med = n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
		print k, med, a[1], a[n]
	}
}' "$results" >"$summary"

# fig ROW METRIC FORMAT
fig() {
	awk -v k="$1 $2" -v f="$3" '$1 " " $2 == k {
		printf f " (" f "–" f ")", $3, $4, $5
	}' "$summary"
}

echo "Benchmark: $RUNS runs, $FRAMES frames per measurement, stack traffic at $RATE/s," \
	"$(nproc) CPUs, load average $(fig machine load %.1f), $elapsed s."
echo "Each figure: median (min–max) over the runs; every run's figures are in $results."
echo
echo "| traffic | ceiling pkt/s | hooktap / ceiling | plain / ceiling | hooktap CPU µs/pkt | plain CPU µs/pkt | CPU hooktap / plain |"
echo "|---|---|---|---|---|---|---|"
for src in wire stack; do
	for size in 64 1500; do
		r=$src/$size
		echo "| $src, $size B | $(fig $r ceiling %.0f) | $(fig $r share_hooktap %.2f)" \
			"| $(fig $r share_plain %.2f) | $(fig $r cpu_hooktap %.2f)" \
			"| $(fig $r cpu_plain %.2f) | $(fig $r cpu_ratio %.2f) |"
	done
done
echo
echo "Packets delivered to the reader, % of those offered to the capture node:"
echo
echo "| traffic | ceiling | hooktap | plain |"
echo "|---|---|---|---|"
for src in wire stack; do
	for size in 64 1500; do
		r=$src/$size
		echo "| $src, $size B | $(fig $r delivered_drain %.1f) | $(fig $r delivered_hooktap %.1f)" \
			"| $(fig $r delivered_plain %.1f) |"
	done
done
echo
echo "Stack traffic, reader stalling 100 ms in every 300 ms, recvspace 20480:"
echo
echo "| frame | snaplen (ring) | hooktap lost % | hooktap lost KiB | plain lost % | plain lost KiB | lost hooktap / plain |"
echo "|---|---|---|---|---|---|---|"
for size in 64 1500; do
	for snap in 262144 1600; do
		r=$size/$snap
		ring="1 MiB"
		[ $snap = 1600 ] && ring="8 KiB"
		echo "| $size B | $snap ($ring) | $(fig $r lostpct_hooktap %.1f) | $(fig $r lostkib_hooktap %.0f)" \
			"| $(fig $r lostpct_plain %.1f) | $(fig $r lostkib_plain %.0f) | $(fig $r lost_ratio %.2f) |"
	done
done
