"""Interface lookup and address selection against real interfaces.

Each test builds veth interfaces in a namespace, starts the daemon in the
foreground and reads either the "Bridges:" listing on standard output or
the fatal message on standard error. What the daemon does after the listing
is not looked at: it is stopped as soon as the listing is complete.
"""

import pytest

import netlab

GOOD = "veth-ok"  # up, multicast, 192.0.2.1 and 2001:db8:ff::1


def veth(lab, ns, name, v4=(), v6=(), link_local=True, up=True, multicast=True):
    """A veth pair inside ns; only the end `name` gets addresses and flags."""
    peer = "p" + name[1:] if name[0] != "p" else "q" + name[1:]
    netlab.sh("ip", "netns", "exec", ns, "ip", "link", "add", name, "type", "veth",
              "peer", "name", peer)
    if not link_local:
        lab.run(ns, "ip", "link", "set", name, "addrgenmode", "none")
    for a in v4:
        lab.run(ns, "ip", "addr", "add", a, "dev", name)
    for a in v6:
        lab.run(ns, "ip", "-6", "addr", "add", a, "dev", name, "nodad")
    if not multicast:
        lab.run(ns, "ip", "link", "set", name, "multicast", "off")
    lab.run(ns, "ip", "link", "set", peer, "up")
    if up:
        lab.run(ns, "ip", "link", "set", name, "up")


def good_ns(lab):
    ns = lab.ns("cfg")
    veth(lab, ns, GOOD, v4=["192.0.2.1/24"], v6=["2001:db8:ff::1/64"])
    return ns


def read(path):
    with open(path) as f:
        return f.read()


def start(lab, ns, tmp_path, text):
    conf = str(tmp_path / "ostrel.conf")
    with open(conf, "w") as f:
        f.write(text)
    out, err = conf + ".out", conf + ".err"
    p = lab.popen(ns, netlab.OSTREL, "-f", "-c", conf,
                  stdout=open(out, "w"), stderr=open(err, "w"))
    return p, conf, out, err


def expect_fatal(lab, ns, tmp_path, text, message):
    """The daemon ends with status 1, prints nothing and logs exactly message
    ("{conf}" stands for the file name)."""
    p, conf, out, err = start(lab, ns, tmp_path, text)
    p.wait(30)
    assert read(err) == message.replace("{conf}", conf)
    assert p.returncode == 1
    assert read(out) == ""


def expect_listing(lab, ns, tmp_path, text, listing):
    p, conf, out, err = start(lab, ns, tmp_path, text)
    netlab.wait_until(lambda: listing in read(out) or p.poll() is not None, 30)
    lab.stop(p)
    got = read(out)
    assert got.startswith(listing), "stdout:\n%s\nstderr:\n%s" % (got, read(err))
    # The listing is flushed in one piece: another bridge would follow at once.
    assert not got[len(listing):].startswith("  IPv")


def section(port, group, inbound, outbound=GOOD, key="inbound-interfaces"):
    fam = "ipv6-address" if ":" in group else "ipv4-address"
    return "[%d]\n%s = %s\n%s = %s\noutbound-interfaces = %s\n" % (
        port, fam, group, key, inbound, outbound)


def bridge_lines(family, port, group, inbound, outbound):
    s = "  IPv%d, port %d, address %s\n    Inbound interfaces:\n" % (family, port, group)
    s += "".join("      %s, %s, address %s\n" % x for x in inbound)
    s += "    Outbound interfaces:\n"
    s += "".join("      %s, %s, address %s\n" % x for x in outbound)
    return s + "\n"


def test_sample_file_gives_three_bridges(lab, tmp_path):
    ns = lab.ns("cfg")
    for name, a4, a6 in (("em0", "192.0.2.10/24", "2001:db8::10/64"),
                         ("em1", "198.51.100.1/24", "2001:db8:1::1/64"),
                         ("em2", "203.0.113.1/24", "2001:db8:2::1/64")):
        veth(lab, ns, name, v4=[a4], v6=[a6])
    conf = ("[5000]\n"
            "ipv4-address = 239.1.1.1\n"
            "inbound-interfaces = em0\n"
            "outbound-interfaces = em1, em2\n"
            "\n"
            "[ 6000 ]\n"
            "ipv4-address=239.2.2.2\n"
            "ipv6-address = ff15::1:2\n"
            "static-inbound-interfaces = em1\n"
            "outbound-interfaces = em0\n"
            "static-outbound-interfaces = em2\n")
    expect_listing(lab, ns, tmp_path, conf, (
        "Bridges:\n"
        "  IPv4, port 5000, address 239.1.1.1\n"
        "    Inbound interfaces:\n"
        "      em0, dynamic, address 192.0.2.10\n"
        "    Outbound interfaces:\n"
        "      em1, dynamic, address 198.51.100.1\n"
        "      em2, dynamic, address 203.0.113.1\n"
        "\n"
        "  IPv4, port 6000, address 239.2.2.2\n"
        "    Inbound interfaces:\n"
        "      em1, static, address 198.51.100.1\n"
        "    Outbound interfaces:\n"
        "      em0, dynamic, address 192.0.2.10\n"
        "      em2, static, address 203.0.113.1\n"
        "\n"
        "  IPv6, port 6000, address ff15::1:2\n"
        "    Inbound interfaces:\n"
        "      em1, static, address 2001:db8:1::1\n"
        "    Outbound interfaces:\n"
        "      em0, dynamic, address 2001:db8::10\n"
        "      em2, static, address 2001:db8:2::1\n"
        "\n"))


# (interface, IPv4 addresses in order, IPv6 addresses in order, group, shown)
ADDRESS_CASES = [
    ("t-ll4", ["169.254.10.20/16"], [], "239.1.1.1", "169.254.10.20"),
    ("t-ll4-first", ["169.254.10.21/16", "192.0.2.21/24"], [], "239.1.1.1", "192.0.2.21"),
    ("t-ll4-last", ["192.0.2.22/24", "169.254.10.22/16"], [], "239.1.1.1", "192.0.2.22"),
    ("t-ll6", [], ["fe80::1/64"], "ff05::1", "fe80::1"),
    ("t-ula", [], ["fe80::2/64", "fd00::1/64"], "ff05::1", "fd00::1"),
    ("t-global", [], ["fe80::3/64", "fd00::3/64", "2001:db8::1/64"], "ff05::1", "2001:db8::1"),
    ("t-global-first", [], ["2001:db8::4/64", "fd00::4/64", "fe80::4/64"], "ff05::1",
     "2001:db8::4"),
]


def test_address_selection(lab, tmp_path):
    """The first address of each class wins; link-local, then unique-local
    are taken only when nothing better exists."""
    ns = good_ns(lab)
    conf, listing = "", "Bridges:\n"
    for i, (name, v4, v6, group, shown) in enumerate(ADDRESS_CASES):
        veth(lab, ns, name, v4=v4, v6=v6, link_local=False)
        port = 1000 + i
        conf += section(port, group, name)
        family = 6 if ":" in group else 4
        good = "2001:db8:ff::1" if family == 6 else "192.0.2.1"
        listing += bridge_lines(family, port, group, [(name, "dynamic", shown)],
                                [(GOOD, "dynamic", good)])
    expect_listing(lab, ns, tmp_path, conf, listing)


def test_second_name_of_an_interface(lab, tmp_path):
    """Linux alternative names resolve to the same index: the address list is
    matched by the system's name, and both names are one interface."""
    ns = good_ns(lab)
    veth(lab, ns, "t-main", v4=["198.51.100.7/24"])
    if lab.run(ns, "ip", "link", "property", "add", "dev", "t-main", "altname", "t-alias",
               check=False).returncode != 0:
        pytest.skip("no alternative interface names")
    veth(lab, ns, "t-other", v4=["203.0.113.7/24"])
    expect_listing(lab, ns, tmp_path, section(4000, "239.4.4.4", "t-alias"),
                   "Bridges:\n" + bridge_lines(4, 4000, "239.4.4.4",
                                               [("t-alias", "dynamic", "198.51.100.7")],
                                               [(GOOD, "dynamic", "192.0.2.1")]))
    # t-main and t-alias are one inbound interface, also outbound.
    expect_fatal(lab, ns, tmp_path,
                 "[4001]\nipv4-address = 239.4.4.4\ninbound-interfaces = t-main\n"
                 "outbound-interfaces = t-alias, t-other\n",
                 "Bridge 4001 has a single inbound interface (t-main) which is also "
                 "declared as an outbound interface\n")


@pytest.mark.parametrize("kind,message", [
    ("down", 'Interface "t-bad" is not up'),
    ("nomulticast", 'Interface "t-bad" does not support multicast'),
    ("noaddress", 'Interface "t-bad" does not have an IP address'),
    ("loopback", 'Interface "lo" does not support multicast'),
    ("missing", 'Interface "t-none" does not exist'),
])
def test_interface_rejected(lab, tmp_path, kind, message):
    ns = good_ns(lab)
    name = {"loopback": "lo", "missing": "t-none"}.get(kind, "t-bad")
    if kind == "down":
        veth(lab, ns, name, v4=["192.0.2.50/24"], up=False)
    elif kind == "nomulticast":
        veth(lab, ns, name, v4=["192.0.2.50/24"], multicast=False)
    elif kind == "noaddress":
        # Only the link-level entry: it passes the up and multicast tests.
        veth(lab, ns, name, link_local=False)
    # The outbound line comes first: the failing element of the inbound
    # list, on line 4, stops the reading.
    conf = ("[5000]\nipv4-address = 239.1.1.1\noutbound-interfaces = %s\n"
            "inbound-interfaces = %s, t-never-looked-up\n" % (GOOD, name))
    expect_fatal(lab, ns, tmp_path, conf, "{conf} line 4: %s\n" % message)


def test_sixty_four_interfaces_a_section(lab, tmp_path):
    ns = lab.ns("cfg")
    # 33 pairs: both ends of each are used, 66 interfaces.
    cmds = []
    for i in range(33):
        cmds.append("link add xa%d type veth peer name xb%d" % (i, i))
        cmds.append("addr add 10.%d.0.1/24 dev xa%d" % (i, i))
        cmds.append("addr add 10.%d.0.2/24 dev xb%d" % (i, i))
        cmds.append("link set xa%d up" % i)
        cmds.append("link set xb%d up" % i)
    batch = tmp_path / "links.batch"
    batch.write_text("\n".join(cmds) + "\n")
    lab.run(ns, "ip", "-batch", str(batch))
    names = ["xa%d" % i for i in range(33)] + ["xb%d" % i for i in range(33)]
    addr = {n: "10.%s.0.%d" % (n[2:], 1 if n[1] == "a" else 2) for n in names}

    # 64 distinct interfaces, then a further mention of a known one: accepted.
    outbound = names[1:64]
    conf = ("[5000]\nipv4-address = 239.1.1.1\ninbound-interfaces = %s\n"
            "outbound-interfaces = %s\noutbound-interfaces = %s\n"
            % (names[0], ", ".join(outbound), names[1]))
    expect_listing(lab, ns, tmp_path, conf, "Bridges:\n" + bridge_lines(
        4, 5000, "239.1.1.1", [(names[0], "dynamic", addr[names[0]])],
        [(n, "dynamic", addr[n]) for n in outbound]))

    # The 65th distinct one ends the reading on its line.
    conf = ("[5000]\nipv4-address = 239.1.1.1\ninbound-interfaces = %s\n"
            "outbound-interfaces = %s\n\noutbound-interfaces = %s, %s\n"
            % (names[0], ", ".join(outbound), names[5], names[64]))
    expect_fatal(lab, ns, tmp_path, conf,
                 "{conf} line 6: Maximum number of interfaces (64) exceeded\n")


def test_section_rules_with_real_interfaces(lab, tmp_path):
    """An IPv4 group over IPv6-only interfaces, and the forced rule in the listing."""
    ns = good_ns(lab)
    veth(lab, ns, "t-v6a", v6=["2001:db8:1::a/64"])
    veth(lab, ns, "t-v6b", v6=["2001:db8:1::b/64"])
    expect_fatal(lab, ns, tmp_path,
                 "[7000]\nipv4-address = 239.7.7.7\ninbound-interfaces = t-v6a\n"
                 "outbound-interfaces = t-v6b\n",
                 "Bridge 7000 has an IPv4 multicast group address, but does not have an IPv4 "
                 "enabled inbound interface\n")

    # The forced rule is per bridge: t-v4c (IPv4 only) is static outbound
    # in the IPv4 bridge alone; t-v6a and t-v6b are in the IPv6 bridge alone.
    veth(lab, ns, "t-v4c", v4=["198.51.100.9/24"], link_local=False)
    conf = ("[7001]\nipv4-address = 239.7.7.8\nipv6-address = ff05::7\n"
            "inbound-interfaces = t-v6a, %s\nstatic-outbound-interfaces = t-v4c\n"
            "outbound-interfaces = t-v6b\n" % GOOD)
    expect_listing(lab, ns, tmp_path, conf, "Bridges:\n" + bridge_lines(
        4, 7001, "239.7.7.8", [(GOOD, "forced", "192.0.2.1")],
        [("t-v4c", "static", "198.51.100.9")]) + bridge_lines(
        6, 7001, "ff05::7",
        [("t-v6a", "dynamic", "2001:db8:1::a"), (GOOD, "dynamic", "2001:db8:ff::1")],
        [("t-v6b", "dynamic", "2001:db8:1::b")]))
