#!/bin/bash
# Live demo: a router namespace running ostrel between three host namespaces.
# Shows a static bridge forwarding from the start, and a dynamic bridge that
# forwards to host C only while a listener there has joined the group.
# Needs root; removes every namespace and process it made on exit or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--no-setup" ]; then
	./scripts/setup.sh build
fi
OSTREL=$PWD/build/ostrel
PROBE=$PWD/build/ostrel-probe
CONF=$PWD/examples/demo.conf

P=ostrel-demo-$$
R=$P-router A=$P-a B=$P-b C=$P-c
pids=()
work=$(mktemp -d)

cleanup() {
	trap - EXIT INT TERM
	for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
	wait 2>/dev/null || true
	for ns in "$R" "$A" "$B" "$C"; do ip netns del "$ns" 2>/dev/null || true; done
	rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

say() { printf '\n=== %s\n' "$*"; }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }
# Runs a command in a namespace in the background, its lines prefixed with a
# tag; the command's own pid goes to $last (ip netns exec and stdbuf exec it).
show() {
	local ns=$1 tag=$2 pf
	shift 2
	pf=$(mktemp "$work/pid.XXXXXX")
	(sh -c 'echo $$ >"$0"; exec "$@"' "$pf" ip netns exec "$ns" stdbuf -oL "$@" 2>&1 |
		sed -u "s/^/$(printf '%-10s' "$tag")| /") &
	while [ ! -s "$pf" ]; do sleep 0.05; done
	last=$(cat "$pf")
	pids+=("$last")
}

say "Building the network: router with r-a (host A), r-b (host B), r-c (host C)"
n=0
for ns in "$R" "$A" "$B" "$C"; do
	ip netns add "$ns"
	in_ns "$ns" ip link set lo up
	in_ns "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
done
for h in a b c; do
	n=$((n + 1))
	host=$P-$h
	ip link add "r-$h" netns "$R" type veth peer name "h-$h" netns "$host"
	in_ns "$R" ip addr add "10.0.$n.1/24" dev "r-$h"
	in_ns "$R" ip -6 addr add "fd00:$n::1/64" dev "r-$h" nodad
	in_ns "$host" ip addr add "10.0.$n.2/24" dev "h-$h"
	in_ns "$host" ip -6 addr add "fd00:$n::2/64" dev "h-$h" nodad
	in_ns "$R" ip link set "r-$h" up
	in_ns "$host" ip link set "h-$h" up
	in_ns "$host" ip route add default via "10.0.$n.1"
	in_ns "$host" ip -6 route add default via "fd00:$n::1"
done
sleep 1

say "Configuration (examples/demo.conf) and the daemon's start-up listing"
grep -v '^#' "$CONF" | sed '/^$/d'
echo
show "$R" ostrel "$OSTREL" -f -D 1 -c "$CONF"
sleep 2

say "Host A sends to both bridges, IPv4 and IPv6, one datagram a second"
for g in 239.0.50.0:5000 239.0.75.0:7500; do
	show "$A" "A send" "$PROBE" -s -i h-a -p "${g#*:}" "${g%:*}"
done
for g in ff05::5000/5000 ff05::7500/7500; do
	show "$A" "A send6" "$PROBE" -6 -s -i h-a -p "${g#*/}" "${g%/*}"
done
say "Host B listens to the static bridge: datagrams arrive at once"
show "$B" "B listen" "$PROBE" -n -i h-b -p 5000 239.0.50.0
show "$B" "B listen6" "$PROBE" -6 -n -i h-b -p 5000 ff05::5000
say "Host C watches its wire for port 7500: nothing, nobody on C has joined"
show "$C" "C wire" tcpdump -l -n -q -i h-c udp port 7500
sleep 6

say "A listener on host C joins 239.0.75.0 and ff05::7500: forwarding to C starts"
show "$C" "C listen" "$PROBE" -n -i h-c
lc4=$last
show "$C" "C listen6" "$PROBE" -6 -n -i h-c
lc6=$last
sleep 8

say "The listeners on C leave: ostrel queries, then switches C off about 2 s later"
kill -INT "$lc4" "$lc6"
sleep 7

say "Done: B got the static bridge all along, C only while it listened"
