"""ostrel-probe: argument checks, usage text, and a sender/listener exchange
between two namespaces over a veth link."""
import os
import re
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from netlab import PROBE, wait_until  # noqa: E402

USAGE = """Usage:
  {prog} [-4|-6] [-n] [-s] [-i interface] [-p port] [-t ttl] [multicast address]

  options:
    -4 IP version 4 (default)
    -6 IP version 6
    -n numeric hostnames
    -s sender mode
    -i interface name (default is the system default interface)
    -p UDP port (default is 7500)
    -t Multicast TTL (default is 1)

  the default multicast address for IP version 4 is 239.0.75.0
  the default multicast address for IP version 6 is ff05::7500
"""


def probe(*args):
    return subprocess.run([PROBE] + list(args), capture_output=True, text=True, timeout=10)


# Every case fails before a socket exists, so these need no namespace.
@pytest.mark.parametrize("args, message", [
    (["-p", "0"], 'Invalid port number "0"\n'),
    (["-p", "65536"], 'Invalid port number "65536"\n'),
    (["-p", "abc"], 'Invalid port number "abc"\n'),
    (["-p", ""], 'Invalid port number ""\n'),
    (["-p", "+80"], 'Invalid port number "+80"\n'),
    (["-p", "99999999999999999999"], 'Invalid port number "99999999999999999999"\n'),
    (["-t", "0"], 'Invalid TTL value "0"\n'),
    (["-t", "256"], 'Invalid TTL value "256"\n'),
    (["-t", "x"], 'Invalid TTL value "x"\n'),
    (["-t", "-1"], 'Invalid TTL value "-1"\n'),
    (["-i", "no-such-if0"], 'Interface "no-such-if0" does not exist\n'),
    # The interface is checked at once, before the group argument.
    (["-i", "no-such-if0", "192.0.2.1"], 'Interface "no-such-if0" does not exist\n'),
    (["192.0.2.1"], 'Invalid IPv4 multicast group address "192.0.2.1"\n'),
    (["240.0.0.1"], 'Invalid IPv4 multicast group address "240.0.0.1"\n'),
    (["ff05::1"], 'Invalid IPv4 multicast group address "ff05::1"\n'),
    (["-6", "2001:db8::1"], 'Invalid IPv6 address "2001:db8::1"\n'),
    (["-6", "239.1.1.1"], 'Invalid IPv6 address "239.1.1.1"\n'),
    # The family in force after all options decides.
    (["-6", "-4", "ff02::1"], 'Invalid IPv4 multicast group address "ff02::1"\n'),
    # Options end at the address: a -6 after it is not read.
    (["ff05::1", "-6"], 'Invalid IPv4 multicast group address "ff05::1"\n'),
])
def test_rejected_arguments(args, message):
    r = probe(*args)
    assert (r.returncode, r.stderr, r.stdout) == (1, message, "")


def test_usage():
    for args in (["-h"], ["-x"], ["-p"]):
        r = probe(*args)
        assert r.returncode == 1
        assert r.stderr.endswith(USAGE.format(prog=PROBE)), args
        assert r.stdout == ""
    assert probe("-x").stderr.startswith(PROBE)  # getopt's own complaint first


def start_line(lab, ns, *args):
    p = lab.popen(ns, PROBE, *args)
    line = p.stdout.readline()
    p.kill()
    p.wait()
    return line


def test_start_lines(lab):
    ns = lab.ns("p")
    idx = int(lab.run(ns, "cat", "/sys/class/net/lo/ifindex").stdout)
    assert start_line(lab, ns) == \
        "Listening to port 7500 and multicast group 239.0.75.0 on interface (default) (0)\n"
    assert start_line(lab, ns, "-6") == \
        "Listening to port 7500 and multicast group ff05::7500 on interface (default) (0)\n"
    assert start_line(lab, ns, "-s", "-p", "9", "-t", "255", "-i", "lo", "239.255.255.255") == \
        "Sending to port 9 and multicast group 239.255.255.255 on interface lo (%d)\n" % idx
    full = "ff0e:1234:5678:9abc:def0:1234:5678:9abc"
    assert start_line(lab, ns, "-6", full, "-s") == \
        "Listening to port 7500 and multicast group %s on interface (default) (0)\n" % full


@pytest.fixture
def pair(lab):
    a, b = lab.ns("a"), lab.ns("b")
    lab.link(a, "va", b, "vb", addr_a="10.77.0.1/24", addr_b="10.77.0.2/24",
             addr6_a="fd77::1/64", addr6_b="fd77::2/64")
    return a, b


def joined(lab, ns, dev, group):
    return (" %s\n" % group) in lab.run(ns, "ip", "maddr", "show", "dev", dev).stdout


def lines_of(p, pattern, count):
    """The first `count` stdout lines of p that match pattern (fewer at end of output)."""
    found = []
    while len(found) < count:
        line = p.stdout.readline()
        if not line:
            break
        m = re.fullmatch(pattern, line)
        if m:
            found.append(m)
    return found


@pytest.mark.parametrize("family, group, sender_addr", [
    ("-4", "239.0.75.9", "10.77.0.1"),
    ("-6", "ff05::7509", "fd77::1"),
])
def test_sender_and_listener(lab, pair, family, group, sender_addr):
    a, b = pair
    lis = lab.popen(b, PROBE, family, "-n", "-i", "vb", "-p", "7601", group)
    assert lis.stdout.readline().startswith("Listening to port 7601")
    assert wait_until(lambda: joined(lab, b, "vb", group), 5)
    snd = lab.popen(a, PROBE, family, "-s", "-i", "va", "-p", "7601", group)
    assert snd.stdout.readline().startswith("Sending to port 7601")
    sent = lines_of(snd, r"Sent 11 bytes: (\d{10})\n", 2)
    got = lines_of(lis, r"Received 11 bytes from (\S+): (\d{10})\n", 2)
    assert len(sent) == 2 and len(got) == 2
    assert {m.group(1) for m in got} == {sender_addr}
    # Every digit string received was one the sender reports having sent.
    # The first datagrams may be lost while the new link settles, so read
    # the sender's lines until it has reported each received text.
    sent_texts = {m.group(1) for m in sent}
    while not {m.group(2) for m in got} <= sent_texts:
        more = lines_of(snd, r"Sent 11 bytes: (\d{10})\n", 1)
        assert more, "sender ended"
        sent_texts.add(more[0].group(1))
        assert len(sent_texts) < 10, (got, sent_texts)


PY_SEND = """
import socket, sys, time
fam = socket.AF_INET6 if ':' in sys.argv[1] else socket.AF_INET
s = socket.socket(fam, socket.SOCK_DGRAM)
if fam == socket.AF_INET:
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[3]))
    dest = (sys.argv[1], int(sys.argv[2]))
else:
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex(sys.argv[3]))
    dest = (sys.argv[1], int(sys.argv[2]), 0, socket.if_nametoindex(sys.argv[3]))
for i in range(int(sys.argv[5]) if len(sys.argv) > 5 else 1):
    if i:
        time.sleep(0.2)
    s.sendto(bytes.fromhex(sys.argv[4]), dest)
"""


@pytest.fixture
def hosts_file(pair):
    """`ip netns exec` puts /etc/netns/<ns>/* over /etc: a name for one
    sender, looked up in the hosts file only; returns a function that makes
    later lookups ask a resolver on the namespace's own loopback, where none
    answers."""
    d = "/etc/netns/%s" % pair[1]
    os.makedirs(d)

    def write(name, text):
        with open(d + "/" + name, "w") as f:
            f.write(text)

    def dead_resolver():
        write("nsswitch.conf", "hosts: dns\n")

    try:
        write("hosts", "10.77.0.1 probe-sender\n")
        write("nsswitch.conf", "hosts: files\n")
        write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        yield dead_resolver
    finally:
        for name in ("hosts", "nsswitch.conf", "resolv.conf"):
            if os.path.exists(d + "/" + name):
                os.unlink(d + "/" + name)
        os.rmdir(d)


def test_listener_truncates_and_names_hosts(lab, pair, hosts_file):
    a, b = pair
    lis = lab.popen(b, PROBE, "-i", "vb", "-p", "7602", "239.0.75.7")
    lis.stdout.readline()
    assert wait_until(lambda: joined(lab, b, "vb", "239.0.75.7"), 5)
    payload = b"".join(b"%c" % (0x41 + i % 26) for i in range(100))
    with_nul = b"hello\0world"
    for data in (payload, with_nul, b"x"):
        lab.run(a, "/usr/bin/python3", "-c", PY_SEND, "239.0.75.7", "7602", "10.77.0.1",
                data.hex())
    got = lines_of(lis, r"Received (\d+) bytes from (\S+): (.*)\n", 3)
    assert len(got) == 3
    # 64 bytes read of 100, 63 shown; the text ends at its first zero byte.
    assert (got[0].group(1), got[0].group(3)) == ("64", payload[:63].decode())
    assert (got[1].group(1), got[1].group(3)) == ("11", "hello")
    assert (got[2].group(1), got[2].group(3)) == ("1", "x")
    assert {m.group(2) for m in got} == {"probe-sender"}
    # A sender without a name is printed numerically by the lookup itself.
    lab.run(a, "ip", "addr", "add", "10.77.0.4/24", "dev", "va")
    lab.run(a, "/usr/bin/python3", "-c", PY_SEND, "239.0.75.7", "7602", "10.77.0.4", "41")
    got = lines_of(lis, r"Received (\d+) bytes from (\S+): (.*)\n", 1)
    assert got and got[0].group(2) == "10.77.0.4"
    # A lookup that fails outright prints "[unknown]".
    hosts_file()
    lis2 = lab.popen(b, PROBE, "-i", "vb", "-p", "7603", "239.0.75.7")
    lis2.stdout.readline()
    # Its join may follow the start line by a moment: repeat until heard.
    lab.popen(a, "/usr/bin/python3", "-c", PY_SEND, "239.0.75.7", "7603", "10.77.0.1", "41",
              "50")
    got = lines_of(lis2, r"Received (\d+) bytes from (\S+): (.*)\n", 1)
    assert got and got[0].group(2) == "[unknown]"
