#!/bin/bash
# Throughput of hooktap beside a plain relay (one blocking write per 64 KiB
# read, as nghook(8) does), on the same traffic in the same run: frames put
# on an emulated interface's wire, captured by a pcap node, relayed to a
# reader. Reports packets and bytes per second, the ratio hooktap/plain,
# system calls per packet, and the bytes each loses while its reader stalls
# for 100 ms at a time.
#   bench/run.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
B=$(realpath "${1:-build}")
BIN=$B/bin
T=$B/bench
N_SMALL=${N_SMALL:-200000}
N_LARGE=${N_LARGE:-100000}
N_STRACE=${N_STRACE:-20000}

work=$(mktemp -d /tmp/ngsim-bench-XXXXXX)
chmod 755 "$work"
export NGSIM_SOCKET=$work/kernel.sock
trap '"$BIN/ngsim" halt >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

"$BIN/ngsim" kernel
"$BIN/ngsim" iface create em0
"$BIN/ngsim" kld load ng_socket >/dev/null
"$BIN/ngsim" kld load ng_pcap >/dev/null

relay_cmd() {
	case $1 in
	hooktap) echo "$BIN/hooktap -n ether:em0:lower" ;;
	plain) echo "$T/bench_plain_relay em0 lower" ;;
	esac
}

# Waits until a capture node's snoop hook is connected.
wait_snoop() {
	for _ in $(seq 100); do
		"$BIN/ngsim" graph --json | grep -q '"snoop"' && return 0
		sleep 0.05
	done
	echo "capture never came up" >&2
	return 1
}

wait_gone() {
	for _ in $(seq 100); do
		"$BIN/ngsim" graph --json | grep -q '"pcap"' || return 0
		sleep 0.05
	done
}

# run RELAY PCAP EXPECTED [PERIOD STALL] -> "bytes seconds"
run_once() {
	local relay=$1 file=$2 expected=$3
	shift 3
	rm -f "$work/fifo"
	mkfifo "$work/fifo"
	"$T/bench_reader" "$expected" 1500 "$@" <"$work/fifo" >"$work/reader.out" &
	local reader=$!
	$(relay_cmd "$relay") >"$work/fifo" 2>"$work/relay.err" &
	local relay_pid=$!
	wait_snoop
	"$BIN/ngsim" wire inject em0 <"$file"
	# The reader ends once it has everything or the stream stays quiet;
	# the relay never ends by itself.
	wait "$reader" || true
	kill "$relay_pid" 2>/dev/null || true
	wait "$relay_pid" 2>/dev/null || true
	wait_gone
	cat "$work/reader.out"
}

# syscalls RELAY PCAP -> the relay's reads, writes and waits while it moves
# the file: the calls the program itself makes per packet (on this host a
# kevent call is an epoll_wait plus the epoll_ctl calls that emulate its
# changes; only the wait is counted, as FreeBSD makes one call of it).
syscalls() {
	local relay=$1 file=$2
	rm -f "$work/fifo"
	mkfifo "$work/fifo"
	"$T/bench_reader" 999999999999 1500 <"$work/fifo" >"$work/reader.out" &
	local reader=$!
	strace -c -o "$work/strace.out" $(relay_cmd "$relay") >"$work/fifo" 2>/dev/null &
	local relay_pid=$!
	wait_snoop
	"$BIN/ngsim" wire inject em0 <"$file"
	wait "$reader" || true
	# strace writes its table once the relay it traces is gone.
	pkill -P "$relay_pid" 2>/dev/null || true
	wait "$relay_pid" 2>/dev/null || true
	wait_gone
	local calls got
	calls=$(awk '$NF ~ /^(read|write|epoll_wait|epoll_pwait)$/ { n += $4 } END { print n + 0 }' \
		"$work/strace.out")
	read -r got _ <"$work/reader.out"
	echo "$calls $got"
}

printf '%-6s %-8s %12s %14s %9s %10s %12s\n' size relay pkt/s bytes/s ratio sys/pkt lost/stalled
for spec in "64 $N_SMALL" "1500 $N_LARGE"; do
	set -- $spec
	size=$1 count=$2
	"$T/bench_mkpcap" "$count" "$size" >"$work/frames.pcap"
	"$T/bench_mkpcap" 1 "$size" >"$work/one.pcap"
	"$T/bench_mkpcap" "$N_STRACE" "$size" >"$work/strace.pcap"
	epb=$((32 + (size + 3) / 4 * 4))
	header=$(( $(run_once hooktap "$work/one.pcap" 999999 | cut -d' ' -f1) - epb ))
	expected=$((header + count * epb))
	declare -A pps bps sys lost
	for relay in hooktap plain; do
		read -r got secs < <(run_once "$relay" "$work/frames.pcap" "$expected")
		pkts=$(( (got - header) / epb ))
		pps[$relay]=$(awk -v p="$pkts" -v s="$secs" 'BEGIN { printf "%.0f", (s > 0 ? p / s : 0) }')
		bps[$relay]=$(awk -v b="$got" -v s="$secs" 'BEGIN { printf "%.0f", (s > 0 ? b / s : 0) }')
		# Per packet that reached the reader: a relay slowed down by strace
		# loses packets in the kernel, and those cost it nothing.
		read -r calls got < <(syscalls "$relay" "$work/strace.pcap")
		sys[$relay]=$(awk -v c="$calls" -v n="$(( (got - header) / epb ))" \
			'BEGIN { printf "%.2f", (n > 0 ? c / n : 0) }')
		read -r got _ < <(run_once "$relay" "$work/frames.pcap" "$expected" 200 100)
		lost[$relay]=$((expected - got))
	done
	for relay in hooktap plain; do
		ratio=$(awk -v a="${pps[hooktap]}" -v b="${pps[plain]}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
		[ "$relay" = plain ] && ratio=1.00
		printf '%-6s %-8s %12s %14s %9s %10s %12s\n' "$size" "$relay" "${pps[$relay]}" \
			"${bps[$relay]}" "$ratio" "${sys[$relay]}" "${lost[$relay]}"
	done
done
echo "ratio: hooktap packets per second over the plain relay's, same traffic, same run"
echo "lost/stalled: bytes missing at a reader that stalls 100 ms after every 200 ms of reading"
