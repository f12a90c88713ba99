"""Sessions as a client sees them: the relay between SSH channels and the
telnet service (a telnet service that is down: test_faults; several
channels on one connection: test_console), the OpenSSH client, an IPv6
listener, and the password login. One sshapi per class; in the relay
classes the fake telnet service is started per test on the class's port."""

import contextlib
import random
import re
import socket
import threading
import time
import unittest

import paramiko
from paramiko.common import cMSG_USERAUTH_REQUEST

import sshapi_harness as h

PREVIEW = h.PREVIEW
PASSWORD = "Corr3ct-Horse"  # the login tests' own
DETAIL_RX = r"check user:(\S*)!=(\S*) pwd:(.*),pwd:(.*)!=(.*) fail"


class ServiceCase(h.ServiceTestCase):
    HOST = "127.0.0.1"

    @classmethod
    def setUpClass(cls):
        cls.telnet_port, port = h.free_port(), h.free_port(cls.HOST)
        cls.svc = h.start_service(cls.addClassCleanup, h.make_test_dir(cls.__name__),
                                  h.standard_args(port, cls.telnet_port) + ["-a", cls.HOST])

    def telnet(self, **mode):
        return h.start_telnet(self.addCleanup, h.make_test_dir(self.id()), port=self.telnet_port,
                              **mode)

    def client(self):
        client = h.connect(self.svc.port, host=self.HOST)
        self.addCleanup(client.close)
        return client

    def shell(self, pty=True):
        return h.open_shell(self.client(), pty=pty)

    def assert_nothing_more(self, chan):
        chan.settimeout(0.3)
        self.assertRaises(socket.timeout, chan.recv, 1)

    def drain_echo(self, chan):
        """Reads (and drops) what the channel receives, in a thread, until
        it ends: a client that reads."""
        def read():
            with contextlib.suppress(OSError, EOFError):
                while chan.recv(1 << 16):
                    pass
        chan.settimeout(120)
        threading.Thread(target=read, daemon=True).start()

    def end_line(self, port, timeout=60.0):
        """(bytes from client, bytes to client, channels, reason) of the end
        line of the session of the client's port."""
        m = self.svc.wait_log(rf"session key:\d+ ended: user \[admin\] from 127\.0\.0\.1 port "
                              rf"{port}, [\d.]+ s, (\d+) bytes from client, (\d+) bytes to "
                              r"client, (\d+) channels, ([a-z ]+) --", timeout=timeout)
        return int(m[1]), int(m[2]), int(m[3]), m[4]


class RelayTest(ServiceCase):
    def test_preview_line_then_bytes_both_ways(self):
        telnet = self.telnet(banner="Welcome\r\n")
        mark = self.svc.mark()
        chan = self.shell()
        self.assertEqual(telnet.wait_received(1, len(PREVIEW)), PREVIEW)
        fd = int(self.svc.wait_log(r"open new channel=\S+, telnet fd:(\d+)", start=mark).group(1))
        self.assertTrue(self.svc.fds().get(fd, "").startswith("socket:"), f"telnet fd {fd}")
        self.svc.wait_log(r"ssh cli: \[127\.0\.0\.1\]  ----ssh svr: \[127\.0\.0\.1\]", start=mark)
        self.assertEqual(h.recv_until(chan, 9), b"Welcome\r\n")
        # bulk input without NUL and CR: its echo is then the input itself
        data = bytes(b if b not in (0, 13) else 0x5A for b in random.Random(2).randbytes(1 << 20))
        chan.sendall(data)
        got = telnet.wait_received(1, len(PREVIEW) + len(data), timeout=30)
        self.assertTrue(got == PREVIEW + data, "bytes changed on the way to telnet")
        self.assertTrue(h.recv_until(chan, len(data), timeout=30) == data, "echo differs")
        self.assert_nothing_more(chan)
        port = chan.get_transport().sock.getsockname()[1]
        chan.get_transport().close()
        self.assertEqual(self.end_line(port), (len(data), len(data) + 9, 1, "client closed"))

    def test_what_a_closed_channel_was_sent_reaches_the_telnet_service(self):
        """More than the service and libssh hold, sent into a slower telnet
        service with a byte on the extended stream every MiB (each renews
        libssh's window while the data stream's input waits), then end of
        file and close at once: every byte arrives before the telnet socket
        closes, and the client is not cut off."""
        telnet = self.telnet(read_rate=4 << 20)
        chan = self.shell()
        self.drain_echo(chan)
        data = b"0123456789abcdef" * (8 << 16)  # 8 MiB
        for i in range(8):
            chan.sendall(data[i << 20:(i + 1) << 20])
            chan.sendall_stderr(b"!")
        chan.shutdown_write()
        chan.close()
        telnet.wait_done(1, timeout=90)
        got = telnet.received(1)
        self.assertEqual(got.count(b"!"), 8)
        self.assertTrue(got.replace(b"!", b"") == PREVIEW + data, "bytes lost or changed")
        self.assertNotIn("beyond the window", self.svc.log_text())

    def test_what_a_vanished_connection_left_queued_reaches_the_telnet_service(self):
        """The connection ends at once behind its input: everything the
        service took (its end line counts it) reaches the telnet service."""
        telnet = self.telnet(read_rate=2 << 20)
        chan = self.shell()
        self.drain_echo(chan)
        data = bytes(b % 250 + 3 for b in range(256)) * (6 << 12)  # 6 MiB, no '\r', no NUL
        chan.sendall(data)
        port = chan.get_transport().sock.getsockname()[1]
        chan.get_transport().close()
        taken = self.end_line(port, timeout=90)[0]
        telnet.wait_done(1, timeout=90)
        got = telnet.received(1)
        self.assertTrue(got == PREVIEW + data[:taken], f"{taken} taken, {len(got)} delivered")
        self.assertGreater(taken, len(data) // 2)

    def test_echo_rules(self):
        """A lone CR is echoed CR LF, a CR in a chunk as is; the echo of a
        chunk stops at its first NUL; extended data is relayed and echoed."""
        telnet = self.telnet()
        chan = self.shell()
        sent = PREVIEW
        for data, echo in ((b"\r", b"\r\n"), (b"ab\rcd", b"ab\rcd"), (b"abc\x00def", b""),
                           (b"Z", b"abcZ"), (b"on stderr", b"on stderr")):
            (chan.sendall_stderr if data == b"on stderr" else chan.sendall)(data)
            sent += data
            self.assertEqual(telnet.wait_received(1, sent), sent)
            if echo:  # that of the NUL chunk comes with the next one
                self.assertEqual(h.recv_until(chan, len(echo)), echo, data)
        self.assert_nothing_more(chan)

    def test_pasted_block_echo_comes_before_the_answers(self):
        """The device's answer to a line never overtakes the line's echo."""
        self.telnet(cli=True)
        chan = self.shell()
        chan.sendall(b"ping\r" * 60000)
        got = h.recv_until(chan, lambda d: d.count(b"pong") == 60000, timeout=60)
        seen = {b"ping\r": 0, b"pong": 0}
        for m in re.finditer(rb"ping\r|pong", got):
            seen[m.group()] += 1
            self.assertGreaterEqual(seen[b"ping\r"], seen[b"pong"], "an answer before its echo")

    def test_both_ways_at_once(self):
        """More than the client's window each way: the service goes on
        reading client data while its writes to the client wait."""
        count = 2 << 20
        telnet = self.telnet(send_bytes=count)
        chan = self.shell()
        chan.settimeout(60)
        sender = threading.Thread(target=chan.sendall, args=(b"A" * count,), daemon=True)
        sender.start()
        got, expected = h.recv_until(chan, 2 * count, timeout=90), h.pattern(count)
        sender.join(30)
        self.assertEqual(len(got), 2 * count)  # the telnet output and the echo
        self.assertEqual(got.count(b"A"), count + expected.count(b"A"))
        self.assertTrue(got.replace(b"A", b"") == expected.replace(b"A", b""),
                        "telnet output changed on the way to the client")
        recorded = telnet.wait_received(1, len(PREVIEW) + count, timeout=30)
        self.assertTrue(recorded == PREVIEW + b"A" * count, "client data changed")

    def test_openssh_client(self):
        self.telnet(cli=True)
        proc = h.ssh_cmd(self.addCleanup, self.svc.port, h.make_test_dir(self.id()))
        proc.stdin.write(b"ping\r")
        proc.stdin.flush()
        try:
            self.assertIn(h.PROMPT, h.recv_until(proc.stdout, b"pong\r\n", timeout=20))
        except AssertionError as exc:
            raise AssertionError(f"{exc}\nssh: {h.read_file(proc.stderr_path)}") from None

    def test_channel_requests(self):
        """exec refused, pty, shell and window-change taken on one channel;
        sftp and forwarding refused on its connection."""
        telnet = self.telnet()
        mark = self.svc.mark()
        transport = self.client()
        chan = h.open_session_kept_open(transport)
        chan.get_pty(term="vt100", width=100, height=30)
        with self.assertRaises(paramiko.SSHException):
            chan.exec_command("reboot\r\n[fake] line\x1b[2J")
        chan.invoke_shell()  # on the same channel
        chan.resize_pty(width=120, height=40)
        # the command reaches the log escaped: no client-made log lines
        for line in (r"pty_request 30-100-0-0", re.escape(r"exec_request -1--1-[reboot\r\n[fake] "
                                                          r"line\x1b[2J]"),
                     r"shell_request -1:-1", r"pty_resize 40-120-0-0"):
            self.svc.wait_log(r"#### " + line, start=mark)
        self.assertNotIn("\x1b", self.svc.log_text())
        with self.assertRaises(paramiko.SSHException):
            paramiko.SFTPClient.from_transport(transport)
        # aimed at the telnet port: a forward would be a connection there
        with self.assertRaises(paramiko.ChannelException):
            transport.open_channel("direct-tcpip", dest_addr=("127.0.0.1", self.telnet_port),
                                   src_addr=("127.0.0.1", 40000), timeout=10)
        with self.assertRaises(paramiko.SSHException):
            transport.request_port_forward("127.0.0.1", h.free_port())
        chan.sendall(b"after")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"after"), PREVIEW + b"after")
        self.assertEqual(h.recv_until(chan, 5), b"after")
        telnet.wait_received(2, PREVIEW)  # the sftp channel's, and no other
        self.assertEqual(telnet.conn_count(), 2)

    def test_telnet_closes_its_side(self):
        self.settle()
        self.telnet(close_after_preview=True)
        mark = self.svc.mark()
        chan = self.shell()
        self.svc.wait_log(r"telnet fd:\d+ closed by the telnet service, channel stays open",
                          start=mark)
        cpu = self.svc.cpu_time()  # the session must not spin on the closed socket
        time.sleep(2.0)
        self.assertLess(self.svc.cpu_time() - cpu, 0.3, "sshapi spins while idle")
        # further input: the failed send is logged, the echo still comes back
        for attempt in range(10):
            chan.sendall(b"more\r\n")
            self.assertEqual(h.recv_until(chan, 6), b"more\r\n")
            if "write telnet socket len :-1 less then buf len :6" in self.svc.log_text()[mark:]:
                break
            time.sleep(0.1 * attempt)
        else:
            self.fail("no failed telnet send logged")
        self.assertFalse(chan.closed)


@unittest.skipUnless(" lo\n" in h.read_file("/proc/net/if_inet6", "r"), "no IPv6 loopback")
class IPv6Test(ServiceCase):
    HOST = "::1"

    def test_ipv6_listener_end_to_end(self):
        telnet = self.telnet(banner="v6\r\n")
        mark = self.svc.mark()
        chan = self.shell()
        self.assertEqual(telnet.wait_received(1, 21), b"local_ip_preview:::1\n")
        self.svc.wait_log(r"ssh cli: \[::1\]  ----ssh svr: \[::1\]", start=mark)
        self.assertEqual(h.recv_until(chan, 4), b"v6\r\n")


class AuthTest(h.RelayCase):
    START = dict(password=PASSWORD)

    def setUp(self):
        self.mark = self.svc.mark()
        self.transport = h.connect(self.port, None)
        self.addCleanup(self.transport.close)

    def new_log(self):
        return self.svc.log_text()[self.mark:]

    def test_pipelined_attempts_beyond_three_are_refused(self):
        # one ordinary attempt: the server has then accepted the auth service
        with self.assertRaises(paramiko.AuthenticationException):
            self.transport.auth_password(h.USER, "wrong-0")
        # the rest in one write, the right password last
        self.transport.sock.left = 5
        for password in ("wrong-1", "wrong-2", "wrong-3", "wrong-4", PASSWORD):
            self.transport.packetizer.send_message(h.message(
                cMSG_USERAUTH_REQUEST, h.USER, "ssh-connection", "password", False, password))
        # requests refused unchecked are no attempts
        self.svc.wait_log(r"authorization fail attempts:3 time:\d+ ms", start=self.mark)
        h.wait_until(lambda: not self.transport.is_active(), 10, "the connection dropped")
        self.assertFalse(self.transport.is_authenticated())
        self.assertNotIn("authorization ok", self.new_log())
        self.assertEqual(len(re.findall(DETAIL_RX, self.new_log())), 3, "passwords checked")
        self.assertIn("too many failed attempts (3), request refused", self.new_log())

    def test_two_wrong_then_right_logs_in(self):
        for attempt in range(2):
            with self.assertRaises(paramiko.AuthenticationException):
                self.transport.auth_password(h.USER, f"wrong-{attempt}")
        self.transport.auth_password(h.USER, PASSWORD)
        conn = self.telnet.conn_count() + 1
        h.open_shell(self.transport, pty=False).sendall(b"in")
        self.assertEqual(self.telnet.wait_received(conn, h.PREVIEW + b"in"), h.PREVIEW + b"in")

    def test_user_names_reach_the_log_escaped_and_cut_and_no_secret_does(self):
        # (which names are refused, and the lines of a refusal: the unit test's)
        for user, logged in (("ad\r\nmin\x1b[2J", r"ad\r\nmin\x1b[2J"),
                             ("u" * 5000 + "\x01", "u" * 256 + "...(cut, 5001 bytes)")):
            self.assertFalse(h.try_login(self.port, user, PASSWORD))
            self.svc.wait_log(re.escape(f"check user [{logged}] --"), start=self.mark)
        wrong = "Wr0ng-Secret-Text"
        self.assertFalse(h.try_login(self.port, h.USER, wrong))
        self.svc.wait_log(DETAIL_RX, start=self.mark)
        log = self.svc.log_text()
        for text in ("\x1b", "\nmin", wrong, h.md5hex(wrong), PASSWORD, h.md5hex(PASSWORD)):
            self.assertNotIn(text, log)


if __name__ == "__main__":
    unittest.main()
