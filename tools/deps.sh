#!/bin/sh
# Installs, from Debian's packages, what building and testing need; does
# nothing when everything is already there. Run as root.
set -eu

pkgs="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
libbenchmark-dev libpcap-dev nlohmann-json3-dev tshark tcpdump mandoc strace
iproute2 iputils-ping"

missing=""
for p in $pkgs; do
	dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" ||
		missing="$missing $p"
done
if [ -n "$missing" ]; then
	echo "installing:$missing"
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -q
	apt-get install -y -q --no-install-recommends $missing
fi
