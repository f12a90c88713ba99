"""The systemd unit's sandbox: its exposure score, and a session and the console
under its system call filter and address families, rebuilt with libseccomp."""

import errno
import os
import re
import shutil
import socket
import subprocess
import unittest

import sshapi_harness as h

try:
    import seccomp
except ImportError:  # the test says so and skips
    seccomp = None

UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../examples/sshapi.service")
ANALYZE = shutil.which("systemd-analyze")


def unit_settings(name):
    with open(UNIT) as f:
        return [value.split() for value in re.findall(rf"(?m)^{name}=(.*)$", f.read())]


def unit_filter():
    """The filter systemd makes of the unit: @default and the allow list less
    the ~ lists; socket() only for the listed families (EAFNOSUPPORT for the
    others); any other call kills the process."""
    out = subprocess.run([ANALYZE, "syscall-filter", "--no-pager"], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    groups = {}
    for line in out.splitlines():  # "@group", then its entries indented
        if line.startswith("@"):
            entries = groups.setdefault(line.strip(), [])
        elif line.strip() and not line.strip().startswith("#"):
            entries.append(line.strip())

    def expand(name):
        return set().union(*map(expand, groups[name])) if name.startswith("@") else {name}

    allowed = expand("@default")
    for entries in unit_settings("SystemCallFilter"):
        names = set().union(*(expand(e.lstrip("~")) for e in entries))
        allowed = allowed - names if entries[0].startswith("~") else allowed | names
    families = {getattr(socket, name) for name in unit_settings("RestrictAddressFamilies")[0]}
    filt = seccomp.SyscallFilter(seccomp.KILL_PROCESS)
    for name in allowed - {"socket"}:
        try:
            filt.add_rule(seccomp.ALLOW, name)
        except RuntimeError:  # not a system call of this architecture
            pass
    for family in range(64):
        action = seccomp.ALLOW if family in families else seccomp.ERRNO(errno.EAFNOSUPPORT)
        filt.add_rule(action, "socket", seccomp.Arg(0, seccomp.EQ, family))
    return filt


@unittest.skipIf(ANALYZE is None, "systemd-analyze not installed (Debian package systemd)")
class SandboxTest(unittest.TestCase):
    def test_exposure_is_at_most_2_5(self):
        res = subprocess.run([ANALYZE, "security", "--offline=true", "--threshold=25", UNIT],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(0, res.returncode, res.stdout[-3000:] + res.stderr)

    @unittest.skipIf(seccomp is None, "no python3 seccomp module (Debian package python3-seccomp)")
    def test_session_and_console_under_the_filter(self):
        with open(h.sshapi_bin(), "rb") as f:
            if f.read(2) == b"#!":  # the filter would hold the emulator, not sshapi
                self.skipTest("sshapi runs under an emulator (cross build)")
        # finish() fails after a SIGSYS too; the filter's load sets no_new_privs
        telnet, port, _ = h.start_relay(self.addCleanup, h.make_test_dir(self.id()), cli=True,
                                        preexec_fn=unit_filter().load)
        client = h.connect(port)
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        chan.sendall(b"ping\r")
        telnet.wait_received(1, h.PREVIEW + b"ping\r")
        # the device's answer and the service's echo of the input
        h.recv_until(chan, lambda data: b"pong\r\n" in data and b"ping\r" in data)
        answer = h.console_ask(port, "status\n", b"telnet cli[")
        self.assertIn(f"ssh svr[127.0.0.1:{port}]".encode(), answer)
        self.assertIn(f"telnet svr[127.0.0.1:{telnet.port}]".encode(), answer)
