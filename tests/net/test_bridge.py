"""Static bridges end to end: a router namespace running `ostrel -f` with veth
links to four host namespaces; senders and receivers in the hosts.

Topology: host namespace hX has interface h-X, linked to r-X in the router;
IPv4 10.9.N.2 (host) / 10.9.N.1 (router), IPv6 fd09:N::2 / fd09:N::1, for
X = a, b, c, d and N = 1, 2, 3, 4.
"""
import hashlib
import os
import queue
import re
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from netlab import PROBE, read_log, wait_until  # noqa: E402

PY = "/usr/bin/python3"
HOSTS = "abcd"

# Receiver: joins the group on its one interface and prints one line per
# datagram: length, TTL or hop limit, source address and port, digest.
RECEIVER = r"""
import hashlib, socket, struct, sys
group, port, dev = sys.argv[1], int(sys.argv[2]), sys.argv[3]
idx = socket.if_nametoindex(dev)
if ":" in group:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IPV6, 29, 0)  # IPV6_MULTICAST_ALL
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVHOPLIMIT, 1)
    s.bind(("::", port))
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                 socket.inet_pton(socket.AF_INET6, group) + struct.pack("@I", idx))
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IP, 49, 0)  # IP_MULTICAST_ALL: this group only
    s.setsockopt(socket.IPPROTO_IP, 12, 1)  # IP_RECVTTL
    s.bind(("0.0.0.0", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(group) + bytes(4) + struct.pack("@i", idx))
print("READY", flush=True)
while True:
    data, anc, flags, src = s.recvmsg(70000, 256)
    ttl = -1
    for level, typ, val in anc:
        if typ in (socket.IP_TTL, socket.IPV6_HOPLIMIT):
            ttl = struct.unpack("@i", val[:4])[0]
    print(len(data), ttl, src[0], src[1], hashlib.sha256(data).hexdigest()[:16], flush=True)
"""

# Sender: one datagram per payload length, each from a new socket (a new
# source port), TTL 5, no loopback to the host's own sockets.
SENDER = r"""
import socket, sys, time
group, port, dev = sys.argv[1], int(sys.argv[2]), sys.argv[3]
idx = socket.if_nametoindex(dev)
for n in map(int, sys.argv[4].split(",")):
    data = bytes((i * 7 + n) & 255 for i in range(n))
    if ":" in group:
        s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, idx)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 5)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_LOOP, 0)
        s.sendto(data, (group, port, 0, idx))
    else:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                     socket.inet_aton(sys.argv[5]))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 5)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        s.sendto(data, (group, port))
    s.close()
    time.sleep(0.002)
"""


def payload_digest(n):
    return hashlib.sha256(bytes((i * 7 + n) & 255 for i in range(n))).hexdigest()[:16]


class Reader:
    """Lines of a process's standard output, gathered by a thread."""

    def __init__(self, p):
        self.p = p
        self.q = queue.Queue()
        self.lines = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.p.stdout:
            self.q.put(line)

    def take(self, count, timeout=15):
        """Wait until `count` lines have come (or the timeout); all lines so far."""
        end = time.time() + timeout
        while len(self.lines) < count:
            try:
                self.lines.append(self.q.get(timeout=max(0.01, end - time.time())))
            except queue.Empty:
                break
        return self.lines

    def settle(self, quiet=0.5):
        """Everything that arrives until nothing has come for `quiet` seconds."""
        while True:
            try:
                self.lines.append(self.q.get(timeout=quiet))
            except queue.Empty:
                return self.lines


class Net:
    def __init__(self, lab):
        self.lab = lab
        self.r = lab.ns("r")
        self.h = {}
        for n, x in enumerate(HOSTS, 1):
            self.h[x] = lab.ns("h" + x)
            lab.link(self.r, "r-" + x, self.h[x], "h-" + x,
                     addr_a="10.9.%d.1/24" % n, addr_b="10.9.%d.2/24" % n,
                     addr6_a="fd09:%d::1/64" % n, addr6_b="fd09:%d::2/64" % n)
        # IPv6 multicast is routable once the link is up for addrconf.
        for ns, dev in [(self.r, "r-" + x) for x in HOSTS] + \
                [(self.h[x], "h-" + x) for x in HOSTS]:
            assert wait_until(lambda: "multicast ff00::/8 dev %s " % dev in lab.run(
                ns, "ip", "-6", "route", "show", "table", "local").stdout, 10), dev

    def receiver(self, x, group, port):
        p = self.lab.popen(self.h[x], PY, "-c", RECEIVER, group, str(port), "h-" + x)
        assert p.stdout.readline() == "READY\n"
        return Reader(p)

    def send(self, x, group, port, lengths):
        n = HOSTS.index(x) + 1
        self.lab.run(self.h[x], PY, "-c", SENDER, group, str(port), "h-" + x,
                     ",".join(map(str, lengths)), "10.9.%d.2" % n)

    def router_groups(self, dev):
        return self.lab.run(self.r, "ip", "maddr", "show", "dev", dev).stdout


def family_of(group):
    return "IPv6" if ":" in group else "IPv4"


# --- one bridge, four kinds of interface -----------------------------------
#
# r-a, r-b: static inbound and static outbound; r-c: outbound only;
# r-d: inbound only.

ROLES = """[{port}]
{key} = {group}
static-inbound-interfaces = r-a, r-b, r-d
static-outbound-interfaces = r-a, r-b, r-c
"""

LENGTHS4 = [1, 11, 100, 1472, 1473, 9000, 65507]   # 65507: the largest over IPv4
LENGTHS6 = [1, 11, 100, 1452, 1453, 9000, 65527]   # 65527: the largest over IPv6


@pytest.fixture(params=["239.9.0.1", "ff05::9:1"], ids=["IPv4", "IPv6"])
def roles(request, lab, tmp_path):
    group = request.param
    net = Net(lab)
    key = "ipv6-address" if ":" in group else "ipv4-address"
    d = lab.daemon(net.r, ROLES.format(port=7700, key=key, group=group), "-D", "1",
                   tmpdir=tmp_path)
    assert d.poll() is None, read_log(d)
    rx = {x: net.receiver(x, group, 7700) for x in HOSTS}
    return net, d, group, rx


def check_copies(rx, expected, lengths, router_addrs, port):
    """Each receiver in `expected` got every length exactly once, with TTL or
    hop limit 1, from the router's own address on its link and the bridge's
    port; every other receiver got nothing."""
    for x in expected:
        rx[x].take(len(lengths))
    for x, r in rx.items():
        r.settle()
    for x, r in rx.items():
        got = sorted(r.lines)
        r.lines.clear()
        if x not in expected:
            assert got == [], x
            continue
        want = sorted("%d 1 %s %d %s\n" % (n, router_addrs[x], port, payload_digest(n))
                      for n in lengths)
        assert got == want, x


def test_copy_rules(roles):
    """Never back out of the arrival interface; an inbound-only interface
    never gets copies; an outbound-only one joins nothing and what arrives
    there is not forwarded; fan-out to three; a target whose link is down
    is skipped without a message; payloads from 1 byte to the
    largest datagram unchanged with TTL/hop limit 1. Exact counts also show
    that no datagram is forwarded twice (an IPv6 socket joined on r-b must
    not see what arrives on r-a)."""
    net, d, group, rx = roles
    v6 = ":" in group
    lengths = LENGTHS6 if v6 else LENGTHS4
    addr = {x: ("fd09:%d::1" if v6 else "10.9.%d.1") % n for n, x in enumerate(HOSTS, 1)}

    # Joined where inbound, nowhere else.
    for x in HOSTS:
        assert (group in net.router_groups("r-" + x)) == (x != "c"), x

    net.send("a", group, 7700, lengths)
    check_copies(rx, "bc", lengths, addr, 7700)
    net.send("b", group, 7700, lengths)
    check_copies(rx, "ac", lengths, addr, 7700)
    net.send("d", group, 7700, lengths)      # fan-out to all three outbound
    check_copies(rx, "abc", lengths, addr, 7700)
    net.send("c", group, 7700, [11, 100])    # outbound only: not forwarded
    check_copies(rx, "", [], addr, 7700)

    # A target whose link is down loses its copies quietly; the others still
    # get theirs.
    net.lab.run(net.r, "ip", "link", "set", "r-c", "down")
    net.send("a", group, 7700, [20, 21, 22])
    check_copies(rx, "b", [20, 21, 22], addr, 7700)

    fam = family_of(group)
    log = read_log(d)
    for x, mode in (("a", "static"), ("b", "static"), ("d", "static")):
        assert "Bridge(%s/7700): Activating inbound interface r-%s (%s)\n" % (fam, x, mode) in log
    for x in "abc":
        assert "Bridge(%s/7700): Activating outbound interface r-%s (static)\n" % (fam, x) in log
    assert "error" not in log


# --- probes on both sides, both families on one port ------------------------

DUAL = """[7500]
ipv4-address = 239.0.75.0
ipv6-address = ff05::7500
static-inbound-interfaces = r-a
static-outbound-interfaces = r-b
"""


def test_probes_through_dual_family_section(lab, tmp_path):
    """One section, an IPv4 and an IPv6 bridge on one port: each probe
    listener hears its own family's sender only; at level 4 every copy is
    logged."""
    net = Net(lab)
    d = lab.daemon(net.r, DUAL, "-D", "4", tmpdir=tmp_path)
    assert d.poll() is None, read_log(d)
    listeners = {}
    for fam in ("-4", "-6"):
        p = lab.popen(net.h["b"], PROBE, fam, "-n", "-i", "h-b")
        assert p.stdout.readline().startswith("Listening to port 7500")
        listeners[fam] = Reader(p)
    for fam in ("-4", "-6"):  # joins follow the start line
        g = "239.0.75.0" if fam == "-4" else "ff05::7500"
        assert wait_until(lambda: (" %s\n" % g) in
                          lab.run(net.h["b"], "ip", "maddr", "show", "dev", "h-b").stdout, 5)
    senders = {}
    for fam in ("-4", "-6"):
        p = lab.popen(net.h["a"], PROBE, fam, "-s", "-i", "h-a")
        assert p.stdout.readline().startswith("Sending to port 7500")
        senders[fam] = Reader(p)
    for fam, source in (("-4", "10.9.2.1"), ("-6", "fd09:2::1")):
        got = listeners[fam].take(3)
        assert len(got) >= 3, got
        for line in got:
            m = re.fullmatch(r"Received 11 bytes from (\S+): (\d{10})\n", line)
            assert m and m.group(1) == source, line
        sent = {re.fullmatch(r"Sent 11 bytes: (\d{10})\n", l).group(1)
                for l in senders[fam].take(3)}
        assert re.fullmatch(r"Received 11 bytes from \S+: (\d{10})\n", got[0]).group(1) in sent
    log = read_log(d)
    assert re.search(r"Bridge\(IPv4/7500\): Forwarded 11 bytes from 10\.9\.1\.2 on r-a to r-b\n", log)
    assert re.search(r"Bridge\(IPv6/7500\): Forwarded 11 bytes from fd09:1::2 on r-a to r-b\n", log)
    assert "error" not in log


# --- two bridges on one port ----------------------------------------------------

TWO = """[7800]
{key} = {g1}
static-inbound-interfaces = r-a
static-outbound-interfaces = r-b

[7800]
{key} = {g2}
static-inbound-interfaces = r-a
static-outbound-interfaces = r-b
"""


@pytest.mark.parametrize("g1, g2", [("239.9.1.1", "239.9.1.2"), ("ff05::9:11", "ff05::9:12")],
                         ids=["IPv4", "IPv6"])
def test_two_bridges_on_one_port_stay_apart(lab, tmp_path, g1, g2):
    """Each bridge forwards its own group only, every datagram once, from
    many source ports (a port-sharing group that balances by flow would hand
    some datagrams to the other bridge's socket)."""
    net = Net(lab)
    key = "ipv6-address" if ":" in g1 else "ipv4-address"
    d = lab.daemon(net.r, TWO.format(key=key, g1=g1, g2=g2), tmpdir=tmp_path)
    assert d.poll() is None, read_log(d)
    rx1, rx2 = net.receiver("b", g1, 7800), net.receiver("b", g2, 7800)
    lengths1 = list(range(10, 50))
    lengths2 = list(range(60, 100))
    net.send("a", g1, 7800, lengths1)
    net.send("a", g2, 7800, lengths2)
    for r, lengths in ((rx1, lengths1), (rx2, lengths2)):
        r.take(len(lengths))
        got = sorted(int(l.split()[0]) for l in r.settle())
        assert got == lengths
    assert read_log(d).count("error") == 0


# --- the forced rule ------------------------------------------------------------

FORCED = """[7900]
{key} = {group}
inbound-interfaces = r-a
static-outbound-interfaces = r-b
"""


@pytest.mark.parametrize("group", ["239.9.2.1", "ff05::9:21"], ids=["IPv4", "IPv6"])
def test_forced_inbound_joins_at_start_up(lab, tmp_path, group):
    """A dynamic inbound interface next to a static outbound one is forced:
    joined from start-up on, no listener needed anywhere."""
    net = Net(lab)
    key = "ipv6-address" if ":" in group else "ipv4-address"
    d = lab.daemon(net.r, FORCED.format(key=key, group=group), "-D", "1", tmpdir=tmp_path)
    assert d.poll() is None, read_log(d)
    fam = family_of(group)
    log = read_log(d)
    assert "Bridge(%s/7900): Activating inbound interface r-a (forced)\n" % fam in log
    assert group in net.router_groups("r-a")
    rx = net.receiver("b", group, 7900)
    net.send("a", group, 7900, [5, 6, 7])
    rx.take(3)
    assert sorted(int(l.split()[0]) for l in rx.settle()) == [5, 6, 7]
