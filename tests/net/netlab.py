"""Network namespaces, veth links and processes for the network tests.

Every name made here carries a per-run prefix, so that several test files may
run at once and nothing outside the lab is touched. Lab.close() removes all of
it; the fixture in conftest.py calls it even when a test fails.
"""
import os
import signal
import struct
import subprocess
import time

_top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OSTREL = os.path.abspath(os.environ.get("OSTREL_BIN", os.path.join(_top, "build", "ostrel")))
PROBE = os.path.abspath(os.environ.get("OSTREL_PROBE", os.path.join(_top, "build", "ostrel-probe")))


def sh(*args, check=True, **kw):
    return subprocess.run(list(args), check=check, capture_output=True, text=True, **kw)


class Lab:
    _serial = 0

    def __init__(self):
        Lab._serial += 1
        self.prefix = "ot%d%d" % (os.getpid() % 100000, Lab._serial)
        self.namespaces = []
        self.procs = []

    def ns(self, name):
        """Create namespace <prefix>-<name> with loopback up; returns its full name."""
        full = "%s-%s" % (self.prefix, name)
        sh("ip", "netns", "add", full)
        self.namespaces.append(full)
        self.run(full, "ip", "link", "set", "lo", "up")
        # No duplicate address detection: IPv6 addresses are usable at once.
        self.run(full, "sysctl", "-qw", "net.ipv6.conf.all.accept_dad=0")
        self.run(full, "sysctl", "-qw", "net.ipv6.conf.default.accept_dad=0")
        return full

    def link(self, ns_a, if_a, ns_b, if_b, addr_a=None, addr_b=None,
             addr6_a=None, addr6_b=None, mac_a=None, mac_b=None):
        """A veth pair between two namespaces, both ends up, with optional addresses."""
        sh("ip", "link", "add", if_a, "netns", ns_a, "type", "veth",
           "peer", "name", if_b, "netns", ns_b)
        for ns, ifname, a4, a6, mac in ((ns_a, if_a, addr_a, addr6_a, mac_a),
                                        (ns_b, if_b, addr_b, addr6_b, mac_b)):
            if mac:
                self.run(ns, "ip", "link", "set", ifname, "address", mac)
            self.run(ns, "sysctl", "-qw", "net.ipv6.conf.%s.accept_dad=0" % ifname)
            if a4:
                self.run(ns, "ip", "addr", "add", a4, "dev", ifname)
            if a6:
                self.run(ns, "ip", "-6", "addr", "add", a6, "dev", ifname, "nodad")
            self.run(ns, "ip", "link", "set", ifname, "up")

    def run(self, ns, *args, check=True, timeout=60):
        return sh("ip", "netns", "exec", ns, *args, check=check, timeout=timeout)

    def popen(self, ns, *args, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        p = subprocess.Popen(["ip", "netns", "exec", ns] + list(args), text=True, **kw)
        self.procs.append(p)
        return p

    def daemon(self, ns, conf_text, *opts, tmpdir, wait_for="starting"):
        """Start ostrel -f in ns with the given configuration; waits for its start line."""
        conf = os.path.join(str(tmpdir), "ostrel-%d.conf" % len(self.procs))
        with open(conf, "w") as f:
            f.write(conf_text)
        log = open(conf + ".log", "w+")
        p = self.popen(ns, OSTREL, "-f", "-c", conf, *opts, stdout=log, stderr=subprocess.STDOUT)
        p.logfile = log
        if wait_for:
            wait_until(lambda: wait_for in read_log(p) or p.poll() is not None, 10)
            time.sleep(0.3)
        return p

    def stop(self, p, sig=signal.SIGTERM, timeout=10):
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return p.returncode

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    pass
        for ns in reversed(self.namespaces):
            sh("ip", "netns", "del", ns, check=False)
        self.namespaces = []


_INJECT = r"""
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
for f in sys.argv[2:]:
    s.send(bytes.fromhex(f))
"""


def inject(lab, ns, ifname, *frames):
    """Send complete Ethernet frames out of ifname in ns, as they are."""
    lab.run(ns, "/usr/bin/python3", "-c", _INJECT, ifname, *[f.hex() for f in frames])


class Capture:
    """tcpdump on one interface, packet-buffered, into a file read back with scapy."""

    def __init__(self, lab, ns, ifname, path, capture_filter):
        self.lab, self.path = lab, path
        self.p = lab.popen(ns, "tcpdump", "-i", ifname, "-n", "-U", "--immediate-mode",
                           "-w", path, capture_filter)
        line = self.p.stderr.readline()
        assert "listening on %s" % ifname in line, line

    def frames(self):
        from scapy.all import rdpcap
        from scapy.error import Scapy_Exception
        try:
            return [(float(p.time), bytes(p)) for p in rdpcap(self.path)]
        except (Scapy_Exception, EOFError, struct.error):
            return []

    def stop(self):
        self.lab.stop(self.p, signal.SIGINT)
        return self.frames()


def read_log(p):
    p.logfile.flush()
    p.logfile.seek(0)
    return p.logfile.read()


def wait_until(pred, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()
