"""Faults around the service: the telnet service killed and restarted under
live sessions, a client killed or cut off (its host vanishes) in the middle
of a transfer, and a log file that cannot be written."""

import fcntl
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


def shell(add_cleanup, port, client=None):
    """(client, channel) with the device's prompt read; add_cleanup closes it."""
    client = client or h.connect(port)
    add_cleanup(client.close)
    chan = h.open_shell(client)
    h.recv_until(chan, h.PROMPT)
    return client, chan


class LiveSessionTest(h.RelayCase):
    def shell(self, client=None):
        return shell(self.addCleanup, self.port, client)

    def test_telnet_killed_and_restarted(self):
        fds, threads = self.settle()
        clients, chans = zip(*(self.shell() for _ in range(3)))
        chans += (self.shell(clients[0])[1],)  # two channels on one connection
        mark = self.svc.mark()
        self.telnet.proc.kill()  # SIGKILL: the kernel closes its sockets
        self.telnet.stop()
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
        self.telnet.start(cli=True, port=self.telnet.port)
        h.ping(self.shell(clients[1])[1])
        fresh, chan = self.shell()
        h.ping(chan)
        self.assertFalse(any(chan.closed for chan in chans))
        self.assert_alive()
        for client in clients + (fresh,):
            client.close()
        self.assert_back_to(fds, threads)

    def test_client_killed_mid_transfer(self):
        """An OpenSSH client SIGKILLed while bytes flow either way: its
        session is erased within seconds and everything it held released."""
        workdir = h.make_test_dir(self.id())
        for direction in ("download", "upload"):
            with self.subTest(direction=direction):
                fds, threads = self.settle()
                mark, conn = self.svc.mark(), self.telnet.conn_count() + 1
                if direction == "download":
                    proc = h.ssh_cmd(self.addCleanup, self.port, workdir)
                    proc.stdin.write(b"send 4000000000\r")
                    proc.stdin.flush()
                    h.recv_until(proc.stdout, 4 << 20, timeout=20)
                else:  # zeros (their echo is empty: it stops at the first NUL)
                    with open("/dev/zero", "rb") as zero:
                        proc = h.ssh_cmd(self.addCleanup, self.port, workdir, stdin=zero,
                                         stdout=subprocess.DEVNULL)
                    self.telnet.wait_received(conn, 4 << 20, timeout=20)
                key = int(self.svc.wait_log(r"new session key:(\d+)", start=mark).group(1))
                os.killpg(proc.pid, signal.SIGKILL)
                killed = time.monotonic()
                self.svc.wait_log(rf"erase session key:{key} ", timeout=30, start=mark)
                self.assertLess(time.monotonic() - killed, 10.0)
                self.assert_back_to(fds, threads)


def set_loopback(up):
    """Bring this network namespace's loopback interface up or down."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        req = struct.pack("16sh22x", b"lo", 0)
        flags = struct.unpack("16sh22x", fcntl.ioctl(sock, 0x8913, req))[1]  # SIOCGIFFLAGS
        flags = (flags | 1) if up else (flags & ~1)  # IFF_UP
        fcntl.ioctl(sock, 0x8914, struct.pack("16sh22x", b"lo", flags))  # SIOCSIFFLAGS


def vanish_scenarios(workdir):
    """In a private network namespace: a client logs in, then the loopback
    interface goes down, so nothing the service sends is answered, as when
    the client's host is cut off. Idle, keep-alive (1 s idle, 1 s interval,
    5 probes) ends the session within 10 s; with data in flight no probes
    are sent, and the user timeout of the same 6 s ends it within 15 s."""
    set_loopback(True)
    cleanups = []
    try:
        _, port, svc = h.start_relay(cleanups.append, workdir, cli=True, log_level="INFO")
        for key, command, until, limit in ((1, b"ping\r", b"pong\r\n" + h.PROMPT, 10.0),
                                           (2, b"send 4000000000\r", 1 << 20, 15.0)):
            _, chan = shell(cleanups.append, port)
            chan.sendall(command)
            h.recv_until(chan, until, timeout=20)
            set_loopback(False)
            gone = time.monotonic()
            svc.wait_log(rf"erase session key:{key} ", timeout=30)
            assert time.monotonic() - gone < limit, f"{command!r}: {time.monotonic() - gone:.1f}s"
            set_loopback(True)
    finally:
        for cleanup in reversed(cleanups):
            cleanup()


class VanishedClientTest(unittest.TestCase):
    def test_vanished_client_is_dropped(self):
        if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
            self.skipTest("no user and network namespaces here")
        out = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                              "vanish", h.make_test_dir(self.id())],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])


class LogFileTest(h.ServiceTestCase):
    def test_unwritable_log_file(self):
        """/dev/full (every write fails) or a missing directory: the service
        serves all the same, with every relayed byte a DEBUG line."""
        workdir = h.make_test_dir(self.id())
        for log_file in ("/dev/full", os.path.join(workdir, "no-such-dir", "sshapi.log")):
            with self.subTest(log_file=log_file):
                conf = h.write_log_config(os.path.join(workdir, "unwritable.conf"), log_file)
                _, port, self.svc = h.start_relay(self.addCleanup, workdir, ["-c", conf],
                                                  cli=True, conf=False)
                for _ in range(2):
                    client, chan = shell(self.addCleanup, port)
                    h.ping(chan)
                    chan.sendall(b"send 300000\r")
                    h.recv_until(chan, 300000, timeout=20)
                    client.close()
                self.assert_alive()
                self.svc.finish()


if __name__ == "__main__":
    if sys.argv[1:2] == ["vanish"]:
        vanish_scenarios(sys.argv[2])
        sys.exit(0)
    unittest.main()
