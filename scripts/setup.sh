#!/bin/sh
# Installs what ostrel needs to build and test (Debian/Ubuntu, as root), then
# builds it into build/ (or the directory given as $1, with extra cmake args).
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
	echo "setup.sh: run as root (network namespaces and apt-get need it)" >&2
	exit 1
fi

packages="build-essential cmake g++ pkg-config libpcap-dev libgtest-dev googletest
	python3 python3-pytest python3-scapy tcpdump iproute2 nftables procps mandoc"
missing=""
for p in $packages; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -q || true
	# shellcheck disable=SC2086
	apt-get install -y -q --no-install-recommends $missing
fi

build=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
