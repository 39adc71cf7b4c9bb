"""Command line, process id file, detaching and stop signals of the daemon."""
import os
import re
import signal
import subprocess

import pytest

import netlab
from netlab import OSTREL, wait_until

USAGE = """Usage:
  {prog} [-h] [-f] [-s] [-c config_file] [-p pid_file] [-I IGMP_querier_mode] [-M MLD_querier_mode] [-D debug_level]
  Options:
    -h display usage
    -f run in foreground
    -s log notifications via syslog
    -c configuration file name
    -p process id file name
    -I IGMP querier mode
    -M MLD querier mode
    -D debug level

  Available IGMP/MLD querier modes:
    never  Never become a querier
    quick  Become a querier immediately at startup (default, RFC behavior)
    delay  Become a querier after 125 seconds if no other querier has been seen
    defer  Become a querier after 125 seconds if no other querier has been seen
           and always defer to any other queriers that may appear regardless of
           relative IP address
"""

CONF = """[5000]
ipv4-address = 239.1.1.1
static-inbound-interfaces = r-a
static-outbound-interfaces = r-b
"""


@pytest.mark.parametrize("args, before", [
    (["-h"], ""),
    (["-x"], "{prog}: invalid option -- 'x'\n"),
    (["-c"], "{prog}: option requires an argument -- 'c'\n"),
    (["-I", "Never"], 'Unknown IGMP querier mode "Never"\n'),
    (["-M", "bogus"], 'Unknown IGMP querier mode "bogus"\n'),
    (["-f", "-I", "quick", "-M", "defer", "-s", "-h"], ""),
])
def test_usage(args, before, tmp_path):
    # Nothing else may happen: a missing configuration file is never read.
    r = subprocess.run([OSTREL, "-c", str(tmp_path / "absent")] + args,
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == (before + USAGE).format(prog=OSTREL)


# Options end at the first other argument: a -h after it is not read.
@pytest.mark.parametrize("extra", [[], ["stray", "-h"]])
def test_missing_config_file_is_fatal(tmp_path, extra):
    r = subprocess.run([OSTREL, "-f", "-c", "nope.conf"] + extra, capture_output=True,
                       text=True, cwd=tmp_path)
    assert (r.returncode, r.stderr) == (1, 'Unable to open config file "nope.conf"\n')


@pytest.fixture
def router(lab):
    """A router namespace with two links, enough for a valid configuration."""
    r = lab.ns("r")
    h = lab.ns("h")
    lab.link(r, "r-a", h, "h-a", addr_a="192.0.2.1/24", addr_b="192.0.2.2/24")
    lab.link(r, "r-b", h, "h-b", addr_a="198.51.100.1/24", addr_b="198.51.100.2/24")
    return r


STAMP = re.compile(r"^\d+\.\d{6}: Ostrel version 1\.7\.0 starting$", re.M)


@pytest.mark.parametrize("level, stamped", [("3x", True), ("x", False), ("0", False)])
def test_debug_level_and_time_stamps(lab, router, tmp_path, level, stamped):
    p = lab.daemon(router, CONF, "-D", level, tmpdir=tmp_path)
    assert lab.stop(p) == 0
    log = netlab.read_log(p)
    assert bool(STAMP.search(log)) == stamped, log
    assert "Ostrel version 1.7.0 starting\n" in log


def test_first_stop_signal_is_logged_and_pid_file_removed(lab, router, tmp_path):
    pidf = tmp_path / "ostrel.pid"
    p = lab.daemon(router, CONF, "-p", str(pidf), tmpdir=tmp_path)
    pid = int(pidf.read_text())
    assert pidf.read_text() == "%d\n" % pid
    os.kill(pid, signal.SIGTERM)
    os.kill(pid, signal.SIGINT)
    assert p.wait(10) == 0
    assert netlab.read_log(p).endswith("exiting on signal 15\n")
    assert not pidf.exists()


def test_pid_file_of_a_live_process_is_refused(lab, router, tmp_path):
    pidf = tmp_path / "ostrel.pid"
    pidf.write_text("%d\n" % os.getpid())
    conf = tmp_path / "c.conf"
    conf.write_text(CONF)
    r = lab.run(router, OSTREL, "-f", "-c", str(conf), "-p", str(pidf), check=False)
    assert r.returncode == 1
    assert r.stderr == "pid file %s is in use by process %d\n" % (pidf, os.getpid())
    assert pidf.read_text() == "%d\n" % os.getpid()


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


@pytest.mark.parametrize("content", ["", "garbage\n", "-5\n", None])
def test_stale_or_empty_pid_file_is_taken_over(lab, router, tmp_path, content):
    pidf = tmp_path / "ostrel.pid"
    pidf.write_text("%d\n" % dead_pid() if content is None else content)
    p = lab.daemon(router, CONF, "-p", str(pidf), tmpdir=tmp_path)
    assert wait_until(lambda: pidf.read_text().endswith("\n"), 5)
    pid = int(pidf.read_text())
    assert pidf.read_text() == "%d\n" % pid
    assert lab.stop(p) == 0
    assert not pidf.exists()


def test_background_parent_returns_while_child_runs(lab, router, tmp_path):
    pidf = tmp_path / "ostrel.pid"
    conf = tmp_path / "c.conf"
    conf.write_text(CONF)
    # The detached child keeps the standard streams: give it files, not pipes.
    out, err = tmp_path / "out", tmp_path / "err"
    with open(out, "w") as o, open(err, "w") as e:
        rc = subprocess.run(["ip", "netns", "exec", router, OSTREL, "-c", str(conf), "-p",
                             str(pidf), "stray-argument"], stdout=o, stderr=e, timeout=10).returncode
    assert (rc, out.read_text()) == (0, "")
    assert wait_until(lambda: pidf.exists() and pidf.read_text().endswith("\n"), 5)
    pid = int(pidf.read_text())
    try:
        os.kill(pid, 0)  # the detached child is alive and wrote its own id
        assert os.getsid(pid) == pid
    finally:
        os.kill(pid, signal.SIGTERM)
    assert wait_until(lambda: not pidf.exists(), 5)


def test_configuration_error_comes_before_detaching(lab, router, tmp_path):
    conf = tmp_path / "bad.conf"
    conf.write_text("[0]\n")
    r = lab.run(router, OSTREL, "-c", str(conf), check=False, timeout=10)
    assert (r.returncode, r.stderr) == (1, "%s line 1: Invalid port number\n" % conf)
