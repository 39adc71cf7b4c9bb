"""MLD querier end to end: a router namespace running `ostrel -f -D 3` bridges
host A to a dynamic outbound interface towards host B, whose kernel is the
MLD host (MLDv2, or MLDv1 through force_mld_version); scapy crafts foreign
queriers and malformed frames on B's link; tcpdump on B's side captures the
link for timing and for byte-for-byte checks, and decodes it independently.

Topology: ha: h-a fd08:1::2/64 -- r-a fd08:1::1/64 (router, static inbound)
          hb: h-b fd08:2::2/64 -- r-b fd08:2::1/64 (router, dynamic outbound)
The daemon speaks from r-b's link-local address, read from the kernel.
"""
import ipaddress
import os
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from netlab import Capture, inject, read_log, wait_until  # noqa: E402

PY = "/usr/bin/python3"
GROUP = "ff05::7800"
PORT = 7800
ROUTER_MAC = "02:00:00:00:78:01"
HOST_MAC = "02:00:00:00:78:02"
LOWER = "fe80::1"          # below any EUI-64 address
HIGHER = "fe80::1:0:0:1"   # above fe80::ff:fe00:7801: the ninth byte decides

CONF = """[7800]
ipv6-address = ff05::7800
static-inbound-interfaces = r-a
outbound-interfaces = r-b
"""

# Sends to the group every 50 ms until killed.
SENDER = r"""
import socket, sys, time
idx = socket.if_nametoindex(sys.argv[3])
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, idx)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 5)
while True:
    try:
        s.sendto(b"ostrel-mld-test", (sys.argv[1], int(sys.argv[2]), 0, idx))
    except OSError:  # no carrier yet
        pass
    time.sleep(0.05)
"""

# Joins the group on one interface (the kernel reports it) and holds it
# until killed (the kernel then reports the leave).
LISTENER = r"""
import socket, struct, sys, time
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
             socket.inet_pton(socket.AF_INET6, sys.argv[1]) +
             struct.pack("@I", socket.if_nametoindex(sys.argv[2])))
print("READY", flush=True)
time.sleep(3600)
"""

# Sends raw Ethernet frames, given in hex, out of one interface.
def a6(text):
    return ipaddress.IPv6Address(text).packed


def mac(text):
    return bytes(int(x, 16) for x in text.split(":"))


def icmp6_sum(src, dst, msg):
    data = a6(src) + a6(dst) + struct.pack("!I3xB", len(msg), 58) + msg
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def router_frame(src, dst, msg):
    """A frame as the daemon builds it: Hop-by-Hop with Router Alert and
    PadN, Hop Limit 1, from r-b."""
    msg = bytearray(msg)
    msg[2:4] = struct.pack("!H", icmp6_sum(src, dst, bytes(msg)))
    d = a6(dst)
    eth = b"\x33\x33" + d[12:] + mac(ROUTER_MAC) + b"\x86\xdd"
    ip6 = struct.pack("!IHBB", 0x60000000, 8 + len(msg), 0, 1) + a6(src) + d
    return eth + ip6 + bytes([58, 0, 5, 2, 0, 0, 1, 0]) + bytes(msg)


def general_query(src):
    return router_frame(src, "ff02::1", bytes([130, 0, 0, 0]) + struct.pack("!HH", 10000, 0) +
                        bytes(16) + bytes([0x02, 125, 0, 0]))


def group_query(src, group, s_flag):
    return router_frame(src, group, bytes([130, 0, 0, 0]) + struct.pack("!HH", 1000, 0) +
                        a6(group) + bytes([0x0A if s_flag else 0x02, 125, 0, 0]))


def advertisement(src):
    return router_frame(src, "ff02::6a", bytes([151, 20, 0, 0, 0, 125, 0, 2]))


def foreign(src, icmp, dst="ff02::1", hbh=None, hlim=1):
    """A frame from another node on B's link, built by scapy (checksum
    computed by scapy unless the message sets one)."""
    from scapy.all import Ether, IPv6, IPv6ExtHdrHopByHop, RouterAlert, PadN
    opts = [RouterAlert(value=0), PadN(optdata=b"")] if hbh is None else hbh
    pkt = Ether(src=HOST_MAC, dst="33:33:00:00:00:01") / \
        IPv6(src=src, dst=dst, hlim=hlim) / IPv6ExtHdrHopByHop(nh=58, options=opts) / icmp
    return bytes(pkt)


def v2_query(qrv, qqic, mrd=0, group="::", s=0):
    from scapy.all import ICMPv6MLQuery2
    return ICMPv6MLQuery2(mrd=mrd, mladdr=group, S=s, QRV=qrv, QQIC=qqic)


def link_local(lab, ns, dev):
    out = lab.run(ns, "ip", "-6", "-o", "addr", "show", "dev", dev, "scope", "link").stdout
    m = re.search(r"inet6 (fe80::[0-9a-f:]+)/", out)
    return m.group(1) if m else None


def is_udp(f):
    return len(f) > 54 and f[12:14] == b"\x86\xdd" and f[20] == 17


def mld_of(f, src):
    """The ICMPv6 message behind an 8-byte Hop-by-Hop header of a frame from
    src, or None."""
    if len(f) < 66 or f[12:14] != b"\x86\xdd" or f[20] != 0 or f[54] != 58 or \
            f[22:38] != a6(src):
        return None
    return f[62:54 + struct.unpack("!H", f[18:20])[0]]


class Net:
    def __init__(self, lab, tmp_path, host_version=0):
        self.lab, self.tmp = lab, tmp_path
        self.r, self.a, self.b = lab.ns("r"), lab.ns("ha"), lab.ns("hb")
        lab.link(self.r, "r-a", self.a, "h-a", addr6_a="fd08:1::1/64", addr6_b="fd08:1::2/64")
        lab.run(self.b, "sysctl", "-qw", "net.ipv6.conf.all.force_mld_version=%d" % host_version)
        lab.link(self.r, "r-b", self.b, "h-b", addr6_a="fd08:2::1/64", addr6_b="fd08:2::2/64",
                 mac_a=ROUTER_MAC, mac_b=HOST_MAC)
        lab.run(self.b, "sysctl", "-qw",
                "net.ipv6.conf.h-b.force_mld_version=%d" % host_version)
        # Link-local addresses appear once both ends of a veth have carrier.
        for ns, dev in ((self.r, "r-a"), (self.a, "h-a"), (self.r, "r-b"), (self.b, "h-b")):
            assert wait_until(lambda: link_local(lab, ns, dev), 10), dev
        self.router = link_local(lab, self.r, "r-b")
        self.host = link_local(lab, self.b, "h-b")
        self.cap = Capture(lab, self.b, "h-b", str(tmp_path / "h-b.pcap"), "ip6")
        self.listener = None

    def daemon(self, mode="quick", level="3"):
        self.d = self.lab.daemon(self.r, CONF, "-D", level, "-M", mode, tmpdir=self.tmp)
        assert self.d.poll() is None, read_log(self.d)
        return self.d

    def log(self):
        return read_log(self.d)

    def wait_log(self, text, timeout=10, count=1):
        assert wait_until(lambda: self.log().count(text) >= count, timeout), \
            "%r not logged:\n%s" % (text, self.log())

    def send_forever(self):
        self.lab.popen(self.a, PY, "-c", SENDER, GROUP, str(PORT), "h-a")

    def join(self):
        self.listener = self.lab.popen(self.b, PY, "-c", LISTENER, GROUP, "h-b")
        assert self.listener.stdout.readline() == "READY\n"

    def leave(self):
        # The socket closes with the process and the kernel reports the leave.
        self.lab.stop(self.listener, signal.SIGKILL)

    def inject(self, *frames):
        inject(self.lab, self.b, "h-b", *frames)

    def udp_times(self):
        return [t for t, f in self.cap.frames() if is_udp(f)]


def decoded(path):
    """tcpdump's own reading of the MLD frames captured (-vv: checksums
    verified). Forwarded UDP is left out: veth leaves its checksum to the
    (absent) hardware."""
    return subprocess.run(["tcpdump", "-vv", "-n", "-r", path, "ip6 and not udp"],
                          capture_output=True, text=True, check=True).stdout


# What the kernel host sends when it joins, and when its listener goes:
# (ICMPv6 type, MLDv2 record type or None), and the daemon's line for it.
JOIN = {0: ((143, 4), "received v2 report type 4 [group %s]" % GROUP),
        1: ((131, None), "received v1 report [group %s]" % GROUP)}
LEAVE = {0: ((143, 3), "received v2 report type 3 [group %s]" % GROUP),
         1: ((132, None), "received v1 done [group %s]" % GROUP)}


def host_says(f, host, what):
    """Whether frame f is host's MLD message of the kind `what` about GROUP."""
    icmp_type, record_type = what
    msg = mld_of(f, host)
    if not msg or msg[0] != icmp_type:
        return False
    if record_type is None:
        return msg[8:24] == a6(GROUP)
    off = 8
    for _ in range(struct.unpack("!H", msg[6:8])[0]):
        rtype, aux, n = struct.unpack("!BBH", msg[off:off + 4])
        if rtype == record_type and msg[off + 4:off + 20] == a6(GROUP):
            return True
        off += 20 + 16 * n + 4 * aux
    return False


@pytest.mark.parametrize("version", [0, 1], ids=["v2-host", "v1-host"])
def test_forwards_exactly_while_a_listener_has_joined(lab, tmp_path, version):
    """Nothing reaches B before its kernel reports the group; the first
    datagram follows the report within a second. When the listener goes,
    two address-specific queries (S clear, then S set) go out byte for byte
    and forwarding stops 2.01 s after the leave."""
    net = Net(lab, tmp_path, version)
    net.daemon()
    net.send_forever()
    time.sleep(1.5)
    assert net.udp_times() == []
    assert "Activating outbound interface r-b" not in net.log()

    net.join()
    assert wait_until(lambda: net.udp_times(), 10), net.log()
    time.sleep(0.5)
    net.wait_log("MLD(r-b) [%s]: %s\n" % (net.host, JOIN[version][1]))
    net.wait_log("Bridge(IPv6/7800): Activating outbound interface r-b (dynamic)\n")

    net.leave()
    net.wait_log("Bridge(IPv6/7800): Deactivating outbound interface r-b\n")
    time.sleep(1.0)  # the sender goes on: nothing more may come through
    frames = net.cap.stop()

    joins = [t for t, f in frames if host_says(f, net.host, JOIN[version][0])]
    first_udp = min(t for t, f in frames if is_udp(f))
    assert joins and 0 <= first_udp - joins[0] < 1.0

    leave_line = LEAVE[version][1]
    last_udp = max(t for t, f in frames if is_udp(f))
    leaves = [t for t, f in frames if host_says(f, net.host, LEAVE[version][0])]
    assert leaves, "no leave captured"
    t0 = leaves[0]
    queries = [(t, f) for t, f in frames
               if t >= t0 and (mld_of(f, net.router) or b"")[:1] == b"\x82" and f[38:54] == a6(GROUP)]
    assert [f for t, f in queries[:2]] == [group_query(net.router, GROUP, False),
                                           group_query(net.router, GROUP, True)]
    assert queries[0][0] - t0 < 0.5
    assert 0.8 < queries[1][0] - queries[0][0] < 1.4
    assert 1.85 < last_udp - t0 < 2.6, last_udp - t0

    log = net.log()
    for text in ("MLD(r-b) [%s]: %s\n" % (net.host, leave_line),
                 "MLD(r-b) [%s]: sending query [group %s]\n" % (net.router, GROUP),
                 "MLD(r-b) [%s]: Group membership timeout\n" % GROUP):
        assert text in log

    text = decoded(net.cap.path)
    assert "bad" not in text
    queries = re.findall(r"%s > %s: HBH \(rtalert: 0x0000\) \(padn\) \[icmp6 sum ok\] ICMP6, "
                         r"multicast listener query v2 \[max resp delay=1000\] "
                         r"\[gaddr %s .*robustness=2 qqi=125\]" % (net.router, GROUP, GROUP), text)
    assert len(queries) >= 2, text


def test_start_frames_byte_for_byte(lab, tmp_path):
    """At start: an advertisement and a general query as documented, then two
    more advertisements within about 4 s; tcpdump decodes them with valid
    checksums."""
    net = Net(lab, tmp_path)
    net.daemon()
    adverts = lambda: [f for t, f in net.cap.frames() if f == advertisement(net.router)]
    assert wait_until(lambda: len(adverts()) >= 3, 6), net.log()
    frames = net.cap.stop()
    # The router's kernel sends its own MLD reports from the same link-local
    # address; the daemon sends only queries (130) and advertisements (151).
    mine = [(t, f) for t, f in frames
            if (mld_of(f, net.router) or b"\0")[0] in (130, 151)]
    assert len(mine[0][1]) == 70 and len(mine[1][1]) == 90
    assert mine[0][1] == advertisement(net.router)
    assert mine[1][1] == general_query(net.router)
    times = [t for t, f in mine if f == advertisement(net.router)]
    assert times[2] - times[0] < 4.5

    text = decoded(net.cap.path)
    assert "bad" not in text
    mine = [line for line in text.splitlines() if " %s > " % net.router in line]
    assert mine and all("[icmp6 sum ok]" in line for line in mine), text
    assert "%s > ff02::1: HBH (rtalert: 0x0000) (padn) [icmp6 sum ok] ICMP6, multicast " \
           "listener query v2 [max resp delay=10000] [gaddr :: robustness=2 qqi=125]" \
           % net.router in text
    # tcpdump names no MRD types; it still checks the checksum and length.
    assert "%s > ff02::6a: HBH (rtalert: 0x0000) (padn) [icmp6 sum ok] ICMP6, " \
           "unknown icmp6 type (151), length 8" % net.router in text
    log = net.log()
    assert "MLD(r-b) [%s]: Querier mode activated\n" % net.router in log
    assert "MLD(r-b) [%s]: sending general query\n" % net.router in log
    assert "MLD(r-b) [%s]: sending Multicast Router Discovery advertisement\n" % net.router in log


@pytest.mark.parametrize("mode", ["quick", "defer"])
def test_foreign_queriers(lab, tmp_path, mode):
    """fe80::1 takes over and its QRV and QQIC are used: with QRV 1 and
    QQIC 1 it is presumed gone after 1 s, not 255 s, and the daemon takes the
    role back with a general query. Then a higher address: ignored in quick
    mode, followed in defer mode (and given up 2 s later)."""
    net = Net(lab, tmp_path)
    net.daemon(mode)
    if mode == "defer":
        assert "Querier mode activated" not in net.log()
    activated = net.log().count("Querier mode activated")

    t = time.time()
    net.inject(foreign(LOWER, v2_query(1, 1)))
    net.wait_log("MLD(r-b) [%s]: New querier elected\n" % LOWER)
    net.wait_log("MLD(r-b) [%s]: Querier timeout\n" % LOWER)
    net.wait_log("MLD(r-b) [%s]: Querier mode activated\n" % net.router, count=activated + 1)
    assert 0.8 < time.time() - t < 4
    assert wait_until(lambda: [f for ft, f in net.cap.frames()
                               if ft > t and f == general_query(net.router)], 5)

    t = time.time()
    net.inject(foreign(HIGHER, v2_query(1, 2)))
    if mode == "quick":
        time.sleep(3)
        assert "[%s]: New querier elected" % HIGHER not in net.log()
        assert net.log().count("Querier timeout") == 1
    else:
        net.wait_log("MLD(r-b) [%s]: New querier elected\n" % HIGHER)
        net.wait_log("MLD(r-b) [%s]: Querier timeout\n" % HIGHER)
        assert 1.8 < time.time() - t < 5
    assert net.d.poll() is None


def malformed(host):
    from scapy.all import ICMPv6MLReport, ICMPv6MLReport2, ICMPv6MLDMultAddrRec, Raw
    from scapy.all import PadN, RouterAlert
    report = ICMPv6MLReport(mladdr=GROUP)
    bad_sum = ICMPv6MLReport(mladdr=GROUP, cksum=0x1234)
    # A second record that claims one source more than the frame holds.
    v2 = bytearray(bytes(ICMPv6MLReport2(records=[
        ICMPv6MLDMultAddrRec(rtype=4, dst="ff05::1"),
        ICMPv6MLDMultAddrRec(rtype=4, dst=GROUP)])))
    v2[6:8] = b"\0\2"
    v2[28 + 2:28 + 4] = b"\0\1"
    # 16-byte Hop-by-Hop header whose ninth byte passes the capture filter.
    hbh16 = [RouterAlert(value=0), PadN(optdata=bytes([131]) + bytes(8))]
    short = bytes([131, 0, 0, 0]) + bytes(16)
    overrun = bytearray(foreign(host, report))
    overrun[18:20] = struct.pack("!H", struct.unpack("!H", overrun[18:20])[0] + 8)
    return [
        (foreign(host, report, hbh=hbh16), "Packet does not contain a Router Alert option"),
        (foreign(host, bad_sum), "ICMP6/MLD checksum error"),
        (foreign(host, Raw(with_sum(host, "ff02::1", short))),
         "Packet too short to contain an MLD v1 report"),
        (foreign(host, Raw(with_sum(host, "ff02::1", bytes(v2)))),
         "Group record data overrun in MLD v2 report"),
        (bytes(overrun), "IP packet overrun"),
    ]


def with_sum(src, dst, msg):
    msg = bytearray(msg)
    msg[2:4] = b"\0\0"
    msg[2:4] = struct.pack("!H", icmp6_sum(src, dst, bytes(msg)))
    return bytes(msg)


def test_malformed_and_foreign_frames_change_nothing(lab, tmp_path):
    """Each malformed frame gives its diagnostic; a report from a global
    source or with Hop Limit 255 is dropped silently; the first record of a
    broken v2 report still counts, but none of this switches the bridge
    group on. A valid report with PadN before the Router Alert then does."""
    from scapy.all import ICMPv6MLReport, PadN, RouterAlert
    net = Net(lab, tmp_path)
    net.daemon(level="3")
    host = "fe80::77"
    cases = malformed(host)
    report = ICMPv6MLReport(mladdr=GROUP)
    net.inject(*[f for f, _ in cases],
               foreign("fd08:2::2", report), foreign(host, report, hlim=255))
    for _, text in cases:
        net.wait_log("MLD(r-b) [%s]: %s\n" % (host, text))
    time.sleep(0.5)
    log = net.log()
    assert "Activating outbound" not in log
    assert "fd08:2::2" not in log
    assert log.count("received v1 report") == 0
    # The broken v2 report's first record (a learned group) took effect.
    assert "MLD(r-b) [%s]: received v2 report type 4 [group ff05::1]\n" % host in log

    net.inject(foreign(host, report, hbh=[PadN(optdata=b""), RouterAlert(value=0)]))
    net.wait_log("Bridge(IPv6/7800): Activating outbound interface r-b (dynamic)\n")
    net.wait_log("MLD(r-b) [%s]: received v1 report [group %s]\n" % (host, GROUP))
    assert net.d.poll() is None


def test_solicitation_is_answered_at_once(lab, tmp_path):
    """A Multicast Router Solicitation (type 152) gets an advertisement within
    half a second, also in mode never."""
    from scapy.all import Raw
    net = Net(lab, tmp_path)
    net.daemon("never")
    assert wait_until(lambda: len([f for t, f in net.cap.frames()
                                   if f == advertisement(net.router)]) >= 3, 6), net.log()
    time.sleep(0.2)
    t = time.time()
    net.inject(foreign(net.host, Raw(with_sum(net.host, "ff02::2", bytes([152, 0, 0, 0]))),
                       dst="ff02::2"))
    net.wait_log("MLD(r-b) [%s]: received Multicast Router Solicitation\n" % net.host, 5)
    assert wait_until(lambda: [ft for ft, f in net.cap.frames()
                               if ft > t and f == advertisement(net.router)], 2)
    answers = [ft for ft, f in net.cap.frames() if ft > t and f == advertisement(net.router)]
    assert answers[0] - t < 0.5 + 0.3
    assert "general query" not in net.log()
