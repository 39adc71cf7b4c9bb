"""IGMP querier end to end: a router namespace running `ostrel -f -D 3` bridges
host A to a dynamic outbound interface towards host B, whose kernel is the
IGMP host; scapy crafts foreign queriers and malformed frames on B's link;
tcpdump on B's side captures what goes over the link, both for timing (one
clock for reports, queries and datagrams) and for byte-for-byte checks.

Topology: ha: h-a 10.8.1.2/24 -- r-a 10.8.1.1/24 (router, static inbound)
          hb: h-b 10.8.2.2/24 -- r-b 10.8.2.100/24 (router, dynamic outbound)
"""
import os
import signal
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from netlab import Capture, inject, read_log, wait_until  # noqa: E402

PY = "/usr/bin/python3"
GROUP = "239.0.76.0"
PORT = 7600
ROUTER = "10.8.2.100"
ROUTER_MAC = "02:00:00:00:76:01"
HOST = "10.8.2.2"
HOST_MAC = "02:00:00:00:76:02"

CONF = """[7600]
ipv4-address = 239.0.76.0
static-inbound-interfaces = r-a
outbound-interfaces = r-b
"""

# Sends to the group every 50 ms until killed.
SENDER = r"""
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[3]))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 5)
while True:
    s.sendto(b"ostrel-igmp-test", (sys.argv[1], int(sys.argv[2])))
    time.sleep(0.05)
"""

# Joins the group on one interface (the kernel reports it) and holds it
# until killed (the kernel then leaves it).
LISTENER = r"""
import socket, struct, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             socket.inet_aton(sys.argv[1]) + bytes(4) +
             struct.pack("@i", socket.if_nametoindex(sys.argv[2])))
print("READY", flush=True)
time.sleep(3600)
"""

# Sends raw Ethernet frames, given in hex, out of one interface.
def inet_sum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def with_checksum(msg, at=2):
    msg = bytearray(msg)
    msg[at:at + 2] = b"\0\0"
    msg[at:at + 2] = struct.pack("!H", inet_sum(bytes(msg)))
    return bytes(msg)


def mac(text):
    return bytes(int(x, 16) for x in text.split(":"))


def ip4(text):
    return bytes(int(x) for x in text.split("."))


def router_frame(dst, igmp):
    """A frame as the daemon builds it: 24-byte IPv4 header with Router
    Alert, TOS 0xc0, DF, TTL 1, from r-b."""
    d = ip4(dst)
    eth = bytes([1, 0, 0x5E, d[1] & 0x7F, d[2], d[3]]) + mac(ROUTER_MAC) + b"\x08\x00"
    ip = bytearray(struct.pack("!BBHHHBBH4s4s", 0x46, 0xC0, 24 + len(igmp), 0, 0x4000, 1, 2,
                               0, ip4(ROUTER), d) + b"\x94\x04\x00\x00")
    ip[10:12] = struct.pack("!H", inet_sum(bytes(ip)))
    return eth + bytes(ip) + with_checksum(igmp)


def general_query():
    return router_frame("224.0.0.1", bytes([0x11, 100, 0, 0, 0, 0, 0, 0, 0x02, 125, 0, 0]))


def group_query(group, s_flag):
    return router_frame(group, bytes([0x11, 10, 0, 0]) + ip4(group) +
                        bytes([0x0A if s_flag else 0x02, 125, 0, 0]))


def advertisement():
    return router_frame("224.0.0.106", bytes([0x30, 20, 0, 0, 0, 125, 0, 2]))


def foreign(src, igmp, dst="224.0.0.1", options=None, fix=True):
    """A frame from another node on B's link, built by scapy."""
    from scapy.all import Ether, IP, IPOption_Router_Alert, Raw
    opts = [IPOption_Router_Alert()] if options is None else options
    pkt = Ether(src=HOST_MAC, dst="01:00:5e:00:00:01") / \
        IP(src=src, dst=dst, ttl=1, tos=0xC0, proto=2, options=opts) / \
        Raw(with_checksum(igmp) if fix else igmp)
    return bytes(pkt)


def is_udp(f):
    return len(f) > 23 and f[12:14] == b"\x08\x00" and f[23] == 17


def igmp_of(f, src):
    """The IGMP message of a frame from src, or None."""
    if len(f) < 34 or f[12:14] != b"\x08\x00" or f[23] != 2 or f[26:30] != ip4(src):
        return None
    h = (f[14] & 0x0F) * 4
    return f[14 + h:14 + struct.unpack("!H", f[16:18])[0]]


class Net:
    def __init__(self, lab, tmp_path, host_version=0):
        self.lab, self.tmp = lab, tmp_path
        self.r, self.a, self.b = lab.ns("r"), lab.ns("ha"), lab.ns("hb")
        lab.link(self.r, "r-a", self.a, "h-a", addr_a="10.8.1.1/24", addr_b="10.8.1.2/24")
        lab.link(self.r, "r-b", self.b, "h-b", addr_a=ROUTER + "/24", addr_b=HOST + "/24",
                 mac_a=ROUTER_MAC, mac_b=HOST_MAC)
        lab.run(self.b, "sysctl", "-qw",
                "net.ipv4.conf.h-b.force_igmp_version=%d" % host_version)
        self.cap = Capture(lab, self.b, "h-b", str(tmp_path / "h-b.pcap"),
                           "igmp or udp port %d" % PORT)
        self.listener = None

    def daemon(self, mode="quick", level="3"):
        self.d = self.lab.daemon(self.r, CONF, "-D", level, "-I", mode, tmpdir=self.tmp)
        assert self.d.poll() is None, read_log(self.d)
        return self.d

    def log(self):
        return read_log(self.d)

    def wait_log(self, text, timeout=10, count=1):
        assert wait_until(lambda: self.log().count(text) >= count, timeout), \
            "%r not logged:\n%s" % (text, self.log())

    def send_forever(self):
        self.lab.popen(self.a, PY, "-c", SENDER, GROUP, str(PORT), "10.8.1.2")

    def join(self):
        self.listener = self.lab.popen(self.b, PY, "-c", LISTENER, GROUP, "h-b")
        assert self.listener.stdout.readline() == "READY\n"

    def leave(self):
        self.lab.stop(self.listener, signal.SIGKILL)

    def inject(self, *frames):
        inject(self.lab, self.b, "h-b", *frames)

    def udp_times(self):
        return [t for t, f in self.cap.frames() if is_udp(f)]


def decoded(path):
    """tcpdump's own reading of the IGMP frames captured, checksums verified
    (-vv). Forwarded UDP is left out: veth hands it over with the checksum
    still to be completed by the (absent) hardware."""
    return subprocess.run(["tcpdump", "-vv", "-n", "-r", path, "igmp"], capture_output=True,
                          text=True, check=True).stdout


REPORT = {0: (0x22, "received v3 report type 4 [group %s]" % GROUP),
          2: (0x16, "received v2 report [group %s]" % GROUP),
          1: (0x12, "received v1 report [group %s]" % GROUP)}


@pytest.mark.parametrize("version", [0, 2, 1], ids=["v3-host", "v2-host", "v1-host"])
def test_join_starts_forwarding(lab, tmp_path, version):
    """Nothing is forwarded to B until its kernel reports the group; the
    first datagram follows the report within a second."""
    net = Net(lab, tmp_path, version)
    net.daemon()
    net.send_forever()
    time.sleep(1.5)
    assert net.udp_times() == []
    assert "Activating outbound interface r-b" not in net.log()

    net.join()
    assert wait_until(lambda: net.udp_times(), 10), net.log()
    frames = net.cap.stop()
    itype, line = REPORT[version]
    reports = [t for t, f in frames if (igmp_of(f, HOST) or b"\0")[0] == itype]
    assert reports, "no report of type 0x%x captured" % itype
    first_udp = min(t for t, f in frames if is_udp(f))
    assert 0 <= first_udp - reports[0] < 1.0
    log = net.log()
    assert "IGMP(r-b) [%s]: %s\n" % (HOST, line) in log
    assert "Bridge(IPv4/7600): Activating outbound interface r-b (dynamic)\n" in log


def test_leave_while_querier_queries_twice_then_stops(lab, tmp_path):
    """A v2 host's leave: group-specific queries at once (S clear) and one
    second later (S set), byte for byte; forwarding stops 2.01 s after the
    leave."""
    net = Net(lab, tmp_path, 2)
    net.daemon()
    net.send_forever()
    net.join()
    assert wait_until(lambda: net.udp_times(), 10), net.log()
    time.sleep(0.5)
    net.leave()
    net.wait_log("Deactivating outbound interface r-b")
    time.sleep(1.0)  # the sender goes on: nothing more may come through
    frames = net.cap.stop()

    leaves = [t for t, f in frames if (igmp_of(f, HOST) or b"\0")[0] == 0x17]
    assert len(leaves) == 1
    t0 = leaves[0]
    queries = [(t, f) for t, f in frames
               if t >= t0 and (igmp_of(f, ROUTER) or b"")[:1] == b"\x11" and f[30:34] == ip4(GROUP)]
    assert [f for t, f in queries] == [group_query(GROUP, False), group_query(GROUP, True)]
    assert queries[0][0] - t0 < 0.5
    assert 0.8 < queries[1][0] - queries[0][0] < 1.4
    after = [t - t0 for t, f in frames if is_udp(f) and t > t0]
    assert after and 1.85 < max(after) < 2.5, after

    log = net.log()
    for text in ("IGMP(r-b) [%s]: received v2 leave [group %s]\n" % (HOST, GROUP),
                 "IGMP(r-b) [%s]: Group membership timeout\n" % GROUP,
                 "Bridge(IPv4/7600): Deactivating outbound interface r-b\n"):
        assert text in log
    assert log.count("IGMP(r-b) [%s]: sending query [group %s]\n" % (ROUTER, GROUP)) == 2

    text = decoded(net.cap.path)
    assert "bad" not in text
    assert text.count("gaddr %s" % GROUP) >= 2


def test_start_frames_byte_for_byte(lab, tmp_path):
    """At start: an advertisement and a general query as documented, then two
    more advertisements within about 4 s; tcpdump decodes them with valid
    checksums."""
    net = Net(lab, tmp_path)
    net.daemon()
    adverts = lambda: [f for t, f in net.cap.frames()
                       if (igmp_of(f, ROUTER) or b"")[:1] == b"\x30"]
    assert wait_until(lambda: len(adverts()) >= 3, 6), net.log()
    frames = net.cap.stop()
    # Only queries and advertisements: the router's kernel may send its own
    # reports from the same address.
    mine = [(t, f) for t, f in frames if (igmp_of(f, ROUTER) or b"\0")[0] in (0x11, 0x30)]
    assert mine[0][1] == advertisement()
    assert mine[1][1] == general_query()
    times = [t for t, f in mine if f == advertisement()]
    assert times[2] - times[0] < 4.5

    text = decoded(net.cap.path)
    assert "bad" not in text
    assert "%s > 224.0.0.1: igmp query v3" % ROUTER in text
    assert "%s > 224.0.0.106: igmp-48" % ROUTER in text  # MRD advertisement
    log = net.log()
    assert "IGMP(r-b) [%s]: Querier mode activated\n" % ROUTER in log
    assert "IGMP(r-b) [%s]: sending general query\n" % ROUTER in log


def v3_query(qrv, qqic, mrc=10, group="0.0.0.0"):
    return bytes([0x11, mrc, 0, 0]) + ip4(group) + bytes([qrv, qqic, 0, 0])


@pytest.mark.parametrize("mode", ["quick", "defer"])
def test_foreign_queriers(lab, tmp_path, mode):
    """A lower querier takes over and its QRV and QQIC are used: with QRV 1
    and QQIC 1 it is presumed gone after 1 s, not 255 s, and the daemon takes
    the role back with a general query. Then a higher querier: ignored in
    quick mode, followed in defer mode (and given up 2 s later)."""
    net = Net(lab, tmp_path)
    net.daemon(mode)
    if mode == "defer":
        assert "Querier mode activated" not in net.log()
    lower, higher = "10.8.2.50", "10.8.2.200"
    activated = net.log().count("Querier mode activated")

    t = time.time()
    net.inject(foreign(lower, v3_query(1, 1)))
    net.wait_log("IGMP(r-b) [%s]: New querier elected\n" % lower)
    net.wait_log("IGMP(r-b) [%s]: Querier timeout\n" % lower)
    net.wait_log("IGMP(r-b) [%s]: Querier mode activated\n" % ROUTER, count=activated + 1)
    assert 0.8 < time.time() - t < 4
    assert wait_until(lambda: [f for ft, f in net.cap.frames()
                               if ft > t and f == general_query()], 5)

    t = time.time()
    net.inject(foreign(higher, v3_query(1, 2)))
    if mode == "quick":
        time.sleep(3)
        assert "[%s]: New querier elected" % higher not in net.log()
        assert net.log().count("Querier timeout") == 1
    else:
        net.wait_log("IGMP(r-b) [%s]: New querier elected\n" % higher)
        net.wait_log("IGMP(r-b) [%s]: Querier timeout\n" % higher)
        assert 1.8 < time.time() - t < 5
    assert net.d.poll() is None


MALFORMED = [
    (lambda: foreign("10.8.2.77", bytes([0x16, 0, 0, 0]) + ip4(GROUP), options=[]),
     "IP header too short to contain a Router Alert option"),
    (lambda: foreign("10.8.2.77", bytes([0x16, 0, 0, 1]) + ip4(GROUP), fix=False),
     "IGMP checksum error"),
    (lambda: foreign("10.8.2.77", bytes([0x13, 0, 0, 0]) + ip4(GROUP)),
     "Unknown IGMP type received"),
    (lambda: foreign("10.8.2.77", bytes([0x22, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 2]) + ip4(GROUP) +
                     bytes(4)),
     "Group record data overrun in IGMP v3 report"),
]


def test_malformed_frames_are_reported_and_dropped(lab, tmp_path):
    """Each malformed frame gives its diagnostic and changes nothing; a valid
    report afterwards still switches forwarding on."""
    from scapy.all import IPOption_NOP, IPOption_Router_Alert
    net = Net(lab, tmp_path)
    net.daemon(level="2")
    frames = [make() for make, _ in MALFORMED]
    frames.append(foreign("10.8.2.77", bytes([0x16, 0, 0, 0]) + ip4(GROUP),
                          options=[IPOption_NOP(), IPOption_Router_Alert()]))
    net.inject(*frames)
    for _, text in MALFORMED:
        net.wait_log("IGMP(r-b) [10.8.2.77]: %s\n" % text)
    net.wait_log("IGMP(r-b) [10.8.2.77]: Packet does not contain a Router Alert option\n")
    assert "Activating outbound" not in net.log()

    net.inject(foreign("10.8.2.77", bytes([0x16, 0, 0, 0]) + ip4(GROUP), dst=GROUP))
    net.wait_log("Bridge(IPv4/7600): Activating outbound interface r-b (dynamic)\n")
    assert net.d.poll() is None
