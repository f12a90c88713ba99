"""Faults around the service: the telnet service killed and restarted in
the middle of sessions, a client killed in the middle of a bulk transfer,
a client whose host vanishes (its packets stop), a log file that cannot be
written, and the parameter and credentials files replaced by garbage or
truncated while the service runs.

Figures go to standard error as "faults: ..." lines.
"""

import fcntl
import json
import logging
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import paramiko

import resilience as r
import sshapi_harness as h

logging.getLogger("paramiko").addHandler(logging.NullHandler())

PROMPT = b"device> "
RELOAD_DONE = r"\[INFO\] -----------sshapipublicpw\.cur "


def shell(port, timeout=10.0):
    client = h.connect(port, timeout=timeout)
    chan = h.open_shell(client, timeout=timeout)
    h.recv_until(chan, PROMPT, timeout=timeout)
    return client, chan


def session_key(svc, mark):
    """Key of the first session accepted after log offset mark."""
    return int(svc.wait_log(r"new session key:(\d+)", start=mark).group(1))


class ServiceCase(r.ResilienceCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir, cli=True)
        self.port = h.free_port()
        self.svc = h.SshApi(self.dir)
        self.addCleanup(self.svc.__exit__, None, None, None)

    def start_service(self, args=None, **kw):
        self.svc.start(args or h.standard_args(self.port, self.telnet.port),
                       log_level=kw.pop("log_level", "INFO"), **kw)


# ------------------------------------------------------------ telnet service

class TelnetRestartTest(ServiceCase):
    def test_telnet_killed_and_restarted(self):
        self.start_service()
        svc = self.svc
        base = self.baseline()
        clients = []
        chans = []
        for _ in range(3):
            client, chan = shell(self.port)
            clients.append(client)
            chans.append(chan)
            h.ping(chan)
        two_channels = clients[0].get_transport().open_session(timeout=10)
        two_channels.invoke_shell()
        h.recv_until(two_channels, PROMPT)
        chans.append(two_channels)
        mark = len(svc.log_text())

        self.telnet.proc.kill()  # SIGKILL: the sockets are closed by the kernel
        self.telnet.proc.wait(10)
        self.telnet.proc = None
        h.wait_until(lambda: svc.log_count(r"closed by the telnet service, channel stays open")
                     >= len(chans), 10, "every telnet socket seen closed")
        cpu = svc.cpu_time()
        time.sleep(1.0)
        idle_cpu = svc.cpu_time() - cpu
        # the channels stay open; input still gets its echo
        for chan in chans:
            self.assertFalse(chan.closed)
            chan.sendall(b"typed")
            self.assertEqual(h.recv_until(chan, 5), b"typed")
        # while it is down a new channel is refused, the connection stays
        with self.assertRaises(paramiko.ChannelException):
            clients[1].get_transport().open_session(timeout=10)
        self.assertTrue(clients[1].get_transport().is_active())
        self.assertIn("Failed to connect telnet server", svc.log_text()[mark:])

        # back on the same port: new channels, on old and new connections
        self.telnet = h.start_telnet(self.addCleanup, self.dir, cli=True, port=self.telnet.port)
        again = clients[1].get_transport().open_session(timeout=10)
        again.invoke_shell()
        h.recv_until(again, PROMPT)
        h.ping(again)
        fresh_client, fresh = shell(self.port)
        h.ping(fresh)
        for chan in chans:  # the old ones are still open, without a telnet side
            self.assertFalse(chan.closed)
        self.assert_alive()
        for client in clients + [fresh_client]:
            client.close()
        settle = r.wait_back_to("faults", svc, base, timeout=30)
        r.report("faults", f"telnet service killed under {len(chans)} channels: all stayed open, "
                 f"echo kept working, {idle_cpu:.2f}s of CPU in the idle second after; new "
                 f"channels refused while down and relaying once it was back; descriptors and "
                 f"threads at baseline {settle:.2f}s after the clients left",
                 kind="telnet-restart", channels=len(chans), idle_cpu_s=round(idle_cpu, 3))
        self.assertLess(idle_cpu, 0.3, "the session loops spin on closed telnet sockets")


# ------------------------------------------------------------ clients killed

class ClientKilledTest(ServiceCase):
    def kill_mid_transfer(self, direction):
        svc = self.svc
        base = self.baseline()
        mark = len(svc.log_text())
        proc = h.ssh_cmd(self.port, workdir=self.dir)
        self.addCleanup(h.end_process, proc)
        key = session_key(svc, mark)
        h.read_until(proc.stdout, PROMPT, timeout=20)
        stop = threading.Event()
        if direction == "to-client":
            proc.stdin.write(b"send 4000000000\r")
            proc.stdin.flush()
            h.read_until(proc.stdout, 4 << 20, timeout=20)
        else:
            conn = self.telnet.conn_count()

            def feed():
                block = b"x" * 65536
                for _ in range(1 << 16):  # bounded: 4 GiB
                    if stop.is_set():
                        return
                    try:
                        proc.stdin.write(block)
                        proc.stdin.flush()
                    except (BrokenPipeError, OSError, ValueError):
                        return
            def drain():  # the echo: a client that does not read it gets its input held
                while not stop.is_set() and proc.stdout.read1(65536):
                    pass
            for target in (feed, drain):
                threading.Thread(target=target, daemon=True).start()
            self.telnet.wait_received(conn, 4 << 20, timeout=20)
        os.killpg(proc.pid, signal.SIGKILL)
        killed = time.monotonic()
        proc.wait(10)
        stop.set()
        svc.wait_log(rf"erase session key:{key} ", timeout=30, start=mark)
        erased = time.monotonic() - killed
        reap = r.wait_back_to("faults", svc, base, timeout=30)
        why = re.findall(r"\[ERROR\] (poll error[^\n]*|poll err [^\n]*)", svc.log_text()[mark:])
        r.report("faults", f"client SIGKILLed during a bulk transfer {direction}: session "
                 f"erased {erased:.2f}s later ({why[0] if why else 'no poll error logged'}), "
                 f"descriptors and threads at baseline after {reap:.2f}s",
                 kind=f"sigkill-{direction}", erase_s=round(erased, 3))
        self.assertLess(erased, 10.0)
        self.assert_alive()

    def test_client_killed_during_download(self):
        self.start_service()
        self.kill_mid_transfer("to-client")

    def test_client_killed_during_upload(self):
        self.start_service()
        self.kill_mid_transfer("to-telnet")


# ------------------------------------------------------------ vanished peer

SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1


def set_loopback(up):
    """Bring the loopback interface of this network namespace up or down."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        req = struct.pack("16sh22x", b"lo", 0)
        flags = struct.unpack("16sh22x", fcntl.ioctl(sock, SIOCGIFFLAGS, req))[1]
        flags = (flags | IFF_UP) if up else (flags & ~IFF_UP)
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack("16sh22x", b"lo", flags))


def vanish_scenario(mode, workdir):
    """Runs inside a private network namespace: a client logs in, then the
    loopback interface goes down, so that nothing the service sends is
    answered any more, as when the client's host is cut off. Returns the
    seconds until the service erased the session (None: not within the
    bound) and what it logged."""
    set_loopback(True)
    telnet = h.FakeTelnet(workdir).start(cli=True)
    port = h.free_port()
    svc = h.SshApi(workdir)
    try:
        svc.start(h.standard_args(port, telnet.port), log_level="INFO")
        mark = len(svc.log_text())
        client = h.connect(port)
        chan = h.open_shell(client)
        h.recv_until(chan, PROMPT)
        key = session_key(svc, mark)
        if mode == "bulk":
            chan.sendall(b"send 4000000000\r")
            h.recv_until(chan, 1 << 20, timeout=20)
        else:
            h.ping(chan)
            time.sleep(0.5)
        set_loopback(False)
        gone = time.monotonic()
        erased = None
        try:
            svc.wait_log(rf"erase session key:{key} ", timeout=VANISH_BOUND, start=mark)
            erased = time.monotonic() - gone
        except AssertionError:
            pass
        tail = re.findall(r"\[ERROR\] ([^\n]*)", svc.log_text()[mark:])[:3]
        set_loopback(True)
        client.close()
        svc.check_no_crash()
        return {"mode": mode, "erase_s": erased, "errors": tail}
    finally:
        svc.stop()
        telnet.stop()


VANISH_BOUND = 30.0


def run_in_netns(mode, workdir):
    """Run vanish_scenario in a new user and network namespace (no root
    needed where user namespaces are allowed); returns its result or None
    when namespaces are not available."""
    try:
        probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if probe.returncode != 0:
        return None
    out = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                          "vanish", mode, workdir], capture_output=True, text=True,
                         timeout=VANISH_BOUND + 60)
    if out.returncode != 0:
        raise AssertionError(f"vanish scenario failed: {out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


class VanishedClientTest(unittest.TestCase):
    def vanish(self, mode, what, note, limit):
        """Run the scenario in mode, report it, and check that the session
        was erased within limit seconds."""
        res = run_in_netns(mode, h.make_test_dir(self.id()))
        if res is None:
            self.skipTest("no user and network namespaces here")
        r.report("faults", f"{what}: session erased after {res['erase_s']}s ({note}); "
                 f"logged {res['errors']}", kind=f"vanish-{mode}", **res)
        self.assertIsNotNone(res["erase_s"], f"not erased within {VANISH_BOUND}s")
        self.assertLess(res["erase_s"], limit)

    def test_idle_client_vanishes(self):
        """Keep-alive (idle 1 s, interval 1 s, 5 probes) ends the session."""
        self.vanish("idle", "idle client cut off", "keep-alive idle 1 s, interval 1 s, 5 probes",
                    10.0)

    def test_client_vanishes_mid_download(self):
        """Data in flight: TCP does not send keep-alive probes while
        unacknowledged data is outstanding; the retransmission timeout
        decides."""
        self.vanish("bulk", "client cut off during a bulk transfer",
                    f"bound {VANISH_BOUND:.0f}s", 15.0)


# ------------------------------------------------------------ log file

class LogFileTest(ServiceCase):
    def serve_without_log(self, file_name):
        conf = h.write_log_config(os.path.join(self.dir, "unwritable.conf"), file_name,
                                  pattern="%m%n")
        self.svc.start(["-c", conf] + h.standard_args(self.port, self.telnet.port), conf=False)
        base = r.snapshot(self.svc)
        # DEBUG: every relayed byte is a log line that cannot be written
        for _ in range(5):
            client, chan = shell(self.port)
            for _ in range(20):
                h.ping(chan)
            chan.sendall(b"send 300000\r")
            h.recv_until(chan, 300000, timeout=20)
            client.close()
        self.assert_alive()
        h.wait_until(lambda: r.snapshot(self.svc)["threads"] == base["threads"], 20,
                     "sessions reaped")
        return base

    def test_log_device_full(self):
        self.serve_without_log("/dev/full")
        r.report("faults", "log file /dev/full (every write fails with ENOSPC): 5 sessions "
                 "with 20 commands and 300000 bytes each served, no crash", kind="log-full")

    def test_log_directory_missing(self):
        missing = os.path.join(self.dir, "no-such-dir", "sshapi.log")
        self.serve_without_log(missing)
        self.assertFalse(os.path.exists(missing))
        r.report("faults", "log file in a directory that does not exist: served, no crash",
                 kind="log-missing-dir")


# ------------------------------------------------------------ config files

class ConfigFilesTest(ServiceCase):
    """The public password mode: the credentials file is watched and
    reloaded; the parameter file is read at start."""

    def setUp(self):
        super().setUp()
        for path in (h.credentials_file_path(), h.param_file_path()):
            h.restore_at_cleanup(self, path)
        h.use_param_file(self, service_sshapi="true", telnetapi_port="23",
                         sshapi_port=str(self.port))
        h.write_in_place(h.credentials_file_path(),
                         f"alice:{h.md5hex('a-pw')}\nbob:{h.md5hex('b-pw')}\n")
        self.addCleanup(h.remove_console_pipes, self.port)
        self.svc.start(["-w", "public", "-p", str(self.port), "-t", str(self.telnet.port),
                        "--ed25519", h.host_key_path("ed25519")], log_level="INFO")
        self.svc.wait_log(r"erase svrchn key:1 ")

    def rewrite(self, path, data):
        reloads = self.svc.log_count(RELOAD_DONE)
        mark = len(self.svc.log_text())
        h.write_in_place(path, data, lock=path == h.param_file_path())
        if path == h.credentials_file_path():
            h.wait_until(lambda: self.svc.log_count(RELOAD_DONE) > reloads, 5, "reload")
        else:
            self.svc.wait_log(r"-----------param\.xml ", start=mark)
        return mark

    def test_garbage_and_truncated_files(self):
        svc = self.svc
        client, chan = h.connect(self.port, "alice", "a-pw"), None
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        h.recv_until(chan, PROMPT)
        creds = h.credentials_file_path()
        good = f"alice:{h.md5hex('a-pw')}\nbob:{h.md5hex('b-pw')}\n"
        cases = [
            ("binary garbage", os.urandom(4096).replace(b":", b";")),
            ("garbage lines with one colon", b"".join(
                os.urandom(12).replace(b":", b"_").replace(b"\n", b"_") + b":" +
                os.urandom(20).replace(b":", b"_").replace(b"\n", b"_") + b"\n"
                for _ in range(50))),
            ("truncated inside the first entry", good.encode()[:12]),
            ("truncated to nothing", b""),
        ]
        results = {}
        for name, data in cases:
            with self.subTest(case=name):
                h.write_in_place(creds, good)  # back to a known table
                h.wait_until(lambda: h.try_login(self.port, "bob", "b-pw"), 5, "good table")
                mark = self.rewrite(creds, data)
                ok = {u: h.try_login(self.port, u, u[0] + "-pw") for u in ("alice", "bob")}
                results[name] = ok
                self.assert_alive()
                h.ping(chan)  # the session logged in before goes on
                self.assertEqual(ok, {"alice": True, "bob": True},
                                 f"after '{name}': {svc.log_text()[mark:][-1500:]}")
                self.assertRegex(svc.log_text()[mark:], r"sshapipublicpw\.cur")

        # the parameter file is read at start only: garbage while running
        # changes nothing, and nothing crashes
        param = h.param_file_path()
        for name, data in (("garbage", os.urandom(2048)),
                           ("truncated", h.param_xml(service_sshapi="true")[:40].encode())):
            with self.subTest(param=name):
                self.rewrite(param, data)
                self.assertTrue(h.try_login(self.port, "alice", "a-pw"))
                h.ping(chan)
                self.assert_alive()
        r.report("faults", f"credentials file garbage/truncated while running: logins {results}; "
                 "parameter file garbage/truncated while running: logins and the open session "
                 "unaffected", kind="config-files", results=results)


if __name__ == "__main__":
    if sys.argv[1:2] == ["vanish"]:
        print(json.dumps(vanish_scenario(sys.argv[2], sys.argv[3])), flush=True)
        sys.exit(0)
    unittest.main()
