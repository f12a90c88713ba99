"""Faults around the service: the telnet service killed and restarted under
live sessions, a client killed or cut off (its host vanishes) in the middle
of a transfer, and a log file that cannot be written."""

import fcntl
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

import paramiko

import sshapi_harness as h

VANISH_BOUND = 30.0


class ServiceCase(h.ServiceTestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir, cli=True)
        self.port = h.free_port()
        self.svc = h.SshApi(self.dir)
        self.addCleanup(self.svc.finish)

    def start(self, args=(), **kw):
        self.svc.start(list(args) + h.standard_args(self.port, self.telnet.port), **kw)

    def shell(self, client=None):
        client = client or h.connect(self.port)
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        h.recv_until(chan, h.PROMPT)
        return client, chan


class TelnetRestartTest(ServiceCase):
    def test_telnet_killed_and_restarted(self):
        self.start(log_level="INFO")
        fds, threads = self.settle()
        clients, chans = zip(*(self.shell() for _ in range(3)))
        chans += (self.shell(clients[0])[1],)  # two channels on one connection
        mark = self.svc.mark()
        self.telnet.proc.kill()  # SIGKILL: the kernel closes its sockets
        self.telnet.proc.wait(10)
        self.telnet.proc = None
        h.wait_until(lambda: self.svc.log_count(r"closed by the telnet service, channel stays "
                                                r"open") >= len(chans), 10, "every socket closed")
        for chan in chans:  # the channels stay open; input still gets its echo
            chan.sendall(b"typed")
            self.assertEqual(h.recv_until(chan, 5), b"typed")
        # while it is down a new channel is refused, the connection stays
        with self.assertRaises(paramiko.ChannelException):
            clients[1].open_session(timeout=10)
        self.assertTrue(clients[1].is_active())
        self.assertIn("Failed to connect telnet server", self.svc.log_text()[mark:])
        # back on the same port: new channels, on old and new connections
        self.telnet = h.start_telnet(self.addCleanup, self.dir, cli=True, port=self.telnet.port)
        h.ping(self.shell(clients[1])[1])
        fresh, chan = self.shell()
        h.ping(chan)
        self.assertFalse(any(chan.closed for chan in chans))
        self.assert_alive()
        for client in clients + (fresh,):
            client.close()
        self.assert_back_to(fds, threads)


class ClientKilledTest(ServiceCase):
    def test_client_killed_mid_transfer(self):
        """An OpenSSH client SIGKILLed while bytes flow either way: its
        session is erased within seconds and everything it held released."""
        self.start(log_level="INFO")
        for direction in ("download", "upload"):
            with self.subTest(direction=direction):
                fds, threads = self.settle()
                mark, conn = self.svc.mark(), self.telnet.conn_count() + 1
                if direction == "download":
                    proc = h.ssh_cmd(self.addCleanup, self.port, self.dir)
                    proc.stdin.write(b"send 4000000000\r")
                    proc.stdin.flush()
                    h.recv_until(proc.stdout, 4 << 20, timeout=20)
                else:  # zeros (their echo is empty: it stops at the first NUL)
                    with open("/dev/zero", "rb") as zero:
                        proc = h.ssh_cmd(self.addCleanup, self.port, self.dir, stdin=zero,
                                         stdout=subprocess.DEVNULL)
                    self.telnet.wait_received(conn, 4 << 20, timeout=20)
                key = int(self.svc.wait_log(r"new session key:(\d+)", start=mark).group(1))
                os.killpg(proc.pid, signal.SIGKILL)
                killed = time.monotonic()
                self.svc.wait_log(rf"erase session key:{key} ", timeout=30, start=mark)
                self.assertLess(time.monotonic() - killed, 10.0)
                self.assert_back_to(fds, threads)


# ---------------------------------------------------------------- vanished peer

def set_loopback(up):
    """Bring this network namespace's loopback interface up or down."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        req = struct.pack("16sh22x", b"lo", 0)
        flags = struct.unpack("16sh22x", fcntl.ioctl(sock, 0x8913, req))[1]  # SIOCGIFFLAGS
        flags = (flags | 1) if up else (flags & ~1)  # IFF_UP
        fcntl.ioctl(sock, 0x8914, struct.pack("16sh22x", b"lo", flags))  # SIOCSIFFLAGS


def vanish_scenario(mode, workdir):
    """In a private network namespace: a client logs in, then the loopback
    interface goes down, so nothing the service sends is answered, as when
    the client's host is cut off. Returns the seconds until the service
    erased the session (None: not within the bound)."""
    set_loopback(True)
    telnet = h.FakeTelnet(workdir).start(cli=True)
    port = h.free_port()
    svc = h.SshApi(workdir)
    try:
        svc.start(h.standard_args(port, telnet.port), log_level="INFO")
        client = h.connect(port)
        chan = h.open_shell(client)
        h.recv_until(chan, h.PROMPT)
        if mode == "bulk":
            chan.sendall(b"send 4000000000\r")
            h.recv_until(chan, 1 << 20, timeout=20)
        else:
            h.ping(chan)
            time.sleep(0.5)
        set_loopback(False)
        gone = time.monotonic()
        try:
            svc.wait_log(r"erase session key:2 ", timeout=VANISH_BOUND)
            erased = time.monotonic() - gone
        except AssertionError:
            erased = None
        set_loopback(True)
        client.close()
        svc.check_no_crash()
        return erased
    finally:
        svc.stop()
        telnet.stop()


class VanishedClientTest(unittest.TestCase):
    def test_vanished_client_is_dropped(self):
        """Idle, keep-alive (1 s idle, 1 s interval, 5 probes) ends the
        session; with data in flight no probes are sent, and the user
        timeout of the same 6 s does."""
        if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
            self.skipTest("no user and network namespaces here")
        for mode, limit in (("idle", 10.0), ("bulk", 15.0)):
            with self.subTest(mode=mode):
                out = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                                      "vanish", mode, h.make_test_dir(self.id())],
                                     capture_output=True, text=True, timeout=VANISH_BOUND + 60)
                self.assertEqual(out.returncode, 0, out.stderr[-3000:])
                erased = json.loads(out.stdout.strip().splitlines()[-1])
                self.assertIsNotNone(erased, f"not erased within {VANISH_BOUND}s")
                self.assertLess(erased, limit)


class LogFileTest(ServiceCase):
    def test_unwritable_log_file(self):
        """/dev/full (every write fails) or a missing directory: the service
        serves all the same, with every relayed byte a DEBUG line."""
        for log_file in ("/dev/full", os.path.join(self.dir, "no-such-dir", "sshapi.log")):
            with self.subTest(log_file=log_file):
                conf = h.write_log_config(os.path.join(self.dir, "unwritable.conf"), log_file)
                self.start(["-c", conf], conf=False)
                for _ in range(2):
                    client, chan = self.shell()
                    for _ in range(10):
                        h.ping(chan)
                    chan.sendall(b"send 300000\r")
                    h.recv_until(chan, 300000, timeout=20)
                    client.close()
                self.assert_alive()
                self.svc.finish()


if __name__ == "__main__":
    if sys.argv[1:2] == ["vanish"]:
        print(json.dumps(vanish_scenario(sys.argv[2], sys.argv[3])), flush=True)
        sys.exit(0)
    unittest.main()
