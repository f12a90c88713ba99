"""End-to-end tests of the relay between SSH channels and the telnet
service: the preview line, bytes both ways, the echo rules, channel
requests, a telnet service that is down or closes its side, several
channels on one connection, concurrent sessions and an IPv6 listener.

Each class runs one sshapi. The fake telnet service listens on a port fixed
per class and is started per test in the mode that test needs, so a test
can also run with no telnet service at all.
"""

import logging
import random
import re
import socket
import threading
import time
import unittest

import paramiko

import sshapi_harness as h

logging.getLogger("paramiko").addHandler(logging.NullHandler())

PREVIEW = b"local_ip_preview:127.0.0.1\n"
OPEN_RX = r"open new channel=(\S+), telnet fd:(\d+)"


def log_mark(svc):
    """Offset of the log's end: later waits search only what follows."""
    return len(svc.log_text())


def nul_cr_free(data):
    """data with NUL and CR replaced: its echo is then the data itself."""
    return bytes(b if b not in (0, 13) else 0x5A for b in data)


class ServiceCase(h.ServiceTestCase):
    """One sshapi for the class; the telnet port is reserved for telnet()."""

    LOG_LEVEL = "DEBUG"
    LISTEN = None

    @classmethod
    def setUpClass(cls):
        cls.dir = h.make_test_dir(cls.__name__)
        host = cls.LISTEN or "127.0.0.1"
        cls.telnet_port = h.free_port()
        cls.port = h.free_port(host)
        cls.svc = h.SshApi(cls.dir)
        cls.svc.host = host
        # stops the service and fails the class if it crashed
        cls.addClassCleanup(cls.svc.__exit__, None, None, None)
        cls.svc.start(h.standard_args(cls.port, cls.telnet_port, listen=cls.LISTEN),
                      log_level=cls.LOG_LEVEL)

    def telnet(self, **mode):
        """Start the fake telnet service on the class's telnet port."""
        return h.start_telnet(self.addCleanup, h.make_test_dir(self.id()), port=self.telnet_port,
                              **mode)

    def client(self, user=h.DEFAULT_USER, password=h.DEFAULT_PASSWORD, timeout=10.0):
        client = h.connect(self.port, user, password, host=self.svc.host, timeout=timeout)
        self.addCleanup(client.close)
        return client

    def shell(self, pty=True):
        return h.open_shell(self.client(), pty=pty)


class RelayTest(ServiceCase):
    def test_preview_line_comes_first_then_client_bytes_unchanged(self):
        telnet = self.telnet()
        mark = log_mark(self.svc)
        chan = self.shell()
        self.assertEqual(telnet.wait_received(1, len(PREVIEW)), PREVIEW)
        fd = int(self.svc.wait_log(OPEN_RX, start=mark).group(2))
        self.assertTrue(self.svc.fds().get(fd, "").startswith("socket:"),
                        f"telnet fd {fd} of the log is not an open socket")
        self.svc.wait_log(r"ssh cli: \[127\.0\.0\.1\]  ----ssh svr: \[127\.0\.0\.1\]", start=mark)

        chan.sendall(b"show version\r")
        got = telnet.wait_received(1, PREVIEW + b"show version\r")
        self.assertEqual(got, PREVIEW + b"show version\r")

    def test_client_to_telnet_binary_all_byte_values(self):
        telnet = self.telnet()
        chan = self.shell()
        data = bytes(range(256)) * 8 + random.Random(1).randbytes(64 * 1024)
        chan.sendall(data)
        got = telnet.wait_received(1, len(PREVIEW) + len(data))
        self.assertEqual(len(got), len(PREVIEW) + len(data))
        self.assertTrue(got == PREVIEW + data, "bytes changed on the way to telnet")

    def test_client_to_telnet_bulk_1mib_and_its_echo(self):
        telnet = self.telnet()
        chan = self.shell()
        data = nul_cr_free(random.Random(2).randbytes(1024 * 1024))
        chan.sendall(data)
        got = telnet.wait_received(1, len(PREVIEW) + len(data), timeout=30)
        self.assertEqual(len(got), len(PREVIEW) + len(data))
        self.assertTrue(got == PREVIEW + data, "bulk data changed on the way to telnet")
        # With no NUL and no lone CR the echo is the input itself, in order.
        echo = h.recv_until(chan, len(data), timeout=30)
        self.assertEqual(len(echo), len(data))
        self.assertTrue(echo == data, "echo differs from the input")
        self.assertEqual(h.recv_quiet(chan), b"")

    def test_pasted_block_echo_comes_before_the_answers(self):
        """A pasted block of lines: the device's answer to a line never
        reaches the client before the echo of that line."""
        self.telnet(cli=True)
        chan = self.shell()
        lines = 20000
        chan.sendall(b"ping\r" * lines)
        got = h.recv_until(chan, lambda d: d.count(b"pong") == lines, timeout=60)
        seen = {b"ping\r": 0, b"pong": 0}
        for m in re.finditer(rb"ping\r|pong", got):
            seen[m.group()] += 1
            self.assertGreaterEqual(seen[b"ping\r"], seen[b"pong"], "an answer before its echo")

    def test_telnet_to_client_more_than_256k(self):
        count = 600000  # more than two reads of the 256 KiB relay buffer
        self.telnet(send_bytes=count)
        mark = log_mark(self.svc)
        chan = self.shell()
        got = h.recv_until(chan, count, timeout=30)
        self.assertEqual(len(got), count)
        self.assertTrue(got == h.pattern(count), "telnet output changed on the way to the client")
        self.assertEqual(h.recv_quiet(chan), b"")
        self.assertGreaterEqual(len(re.findall(r"read telnet \[", self.svc.log_text()[mark:])), 3)

    def test_both_ways_at_once(self):
        # more than the client's window in each direction: the service has
        # to go on reading client data while its writes to the client wait
        count = 2 * 1024 * 1024
        telnet = self.telnet(send_bytes=count)
        chan = self.shell()
        chan.settimeout(60)
        data = b"A" * count
        received = bytearray()
        errors = []

        def reader():
            try:
                while len(received) < 2 * count:  # telnet output plus the echo
                    chunk = chan.recv(256 * 1024)
                    if not chunk:
                        break
                    received.extend(chunk)
            except Exception as exc:  # reported below
                errors.append(exc)

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
        chan.sendall(data)
        thread.join(90)
        self.assertFalse(thread.is_alive(), f"only {len(received)} bytes arrived")
        self.assertEqual(errors, [])
        self.assertEqual(len(received), 2 * count)
        expected = h.pattern(count)
        got = bytes(received)
        # the echo ("A"s) interleaves with the telnet output, which stays in order
        self.assertEqual(got.count(b"A"), count + expected.count(b"A"))
        self.assertTrue(got.replace(b"A", b"") == expected.replace(b"A", b""),
                        "telnet output changed on the way to the client")
        recorded = telnet.wait_received(1, len(PREVIEW) + count, timeout=30)
        self.assertTrue(recorded == PREVIEW + data, "client data changed on the way to telnet")

    def test_extended_data_from_client_is_relayed(self):
        telnet = self.telnet()
        chan = self.shell()
        chan.sendall_stderr(b"on stderr")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"on stderr"), PREVIEW + b"on stderr")
        self.assertEqual(h.recv_until(chan, 9), b"on stderr")

    def test_echo_of_carriage_return_and_nul(self):
        telnet = self.telnet()
        chan = self.shell()
        sent = PREVIEW

        # a lone CR: telnet gets one 0x0D, the client CR LF
        chan.sendall(b"\r")
        sent += b"\r"
        self.assertEqual(telnet.wait_received(1, sent), sent)
        self.assertEqual(h.recv_until(chan, 2), b"\r\n")
        self.assertEqual(h.recv_quiet(chan), b"")

        # a CR inside a longer chunk: relayed and echoed unchanged
        chan.sendall(b"ab\rcd")
        sent += b"ab\rcd"
        self.assertEqual(telnet.wait_received(1, sent), sent)
        self.assertEqual(h.recv_until(chan, 5), b"ab\rcd")

        # a NUL inside a chunk: telnet gets every byte, the echo stops before the NUL
        chan.sendall(b"abc\x00def")
        sent += b"abc\x00def"
        self.assertEqual(telnet.wait_received(1, sent), sent)
        chan.sendall(b"Z")
        sent += b"Z"
        self.assertEqual(telnet.wait_received(1, sent), sent)
        self.assertEqual(h.recv_until(chan, b"Z"), b"abcZ")


class ChannelRequestTest(ServiceCase):
    def test_pty_shell_and_window_change_accepted(self):
        telnet = self.telnet()
        mark = log_mark(self.svc)
        chan = self.client().get_transport().open_session(timeout=10)
        chan.settimeout(10)
        chan.get_pty(term="vt100", width=100, height=30)
        chan.invoke_shell()
        chan.resize_pty(width=120, height=40)
        self.svc.wait_log(r"#### pty_request 30-100-0-0", start=mark)
        self.svc.wait_log(r"#### shell_request -1:-1", start=mark)
        self.svc.wait_log(r"#### pty_resize 40-120-0-0", start=mark)
        chan.sendall(b"ping\r")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"ping\r"), PREVIEW + b"ping\r")

    def test_shell_without_pty_accepted(self):
        telnet = self.telnet(banner="hello\r\n")
        mark = log_mark(self.svc)
        chan = self.shell(pty=False)
        self.assertEqual(h.recv_until(chan, 7), b"hello\r\n")
        chan.sendall(b"x")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"x"), PREVIEW + b"x")
        self.svc.wait_log(r"#### shell_request", start=mark)
        self.assertNotIn("pty_request", self.svc.log_text()[mark:])

    def test_exec_refused_and_channel_stays_open(self):
        telnet = self.telnet()
        mark = log_mark(self.svc)
        transport = self.client().get_transport()
        kept = transport.open_session(timeout=10)  # telnet connection 1
        kept.settimeout(10)
        telnet.wait_for_conn(1)

        # paramiko as it is: the request fails and paramiko closes that channel
        closed = transport.open_session(timeout=10)  # telnet connection 2
        with self.assertRaises(paramiko.SSHException):
            closed.exec_command("show version")
        self.svc.wait_log(r"#### exec_request -1--1-\[show version\]", start=mark)
        telnet.wait_done(2)

        # a client that keeps the channel after the refusal can still use it
        h.keep_channels_open_on_failure(transport)
        with self.assertRaises(paramiko.SSHException):
            kept.exec_command("reboot\r\n[fake] line\x1b[2J")
        self.assertFalse(kept.closed)
        # the command reaches the log escaped: no client-made log lines
        self.svc.wait_log(re.escape(r"#### exec_request -1--1-[reboot\r\n[fake] line\x1b[2J]"),
                          start=mark)
        self.assertNotIn("\x1b", self.svc.log_text())
        kept.sendall(b"after")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"after"), PREVIEW + b"after")
        self.assertEqual(h.recv_until(kept, 5), b"after")
        kept.invoke_shell()  # accepted on the same channel
        self.assertFalse(kept.closed)
        self.assertFalse(telnet.is_done(1))

    def test_openssh_exec_refused(self):
        self.telnet()
        proc = h.ssh_cmd(self.port, remote_cmd="show version", workdir=self.dir)
        self.addCleanup(h.end_process, proc)
        code = proc.wait(30)
        err = h.ssh_stderr(proc)
        self.assertEqual(code, 255, err)
        self.assertIn("exec request failed on channel 0", err)

    def test_sftp_subsystem_refused(self):
        self.telnet()
        mark = log_mark(self.svc)
        transport = self.client().get_transport()
        with self.assertRaises(paramiko.SSHException):
            paramiko.SFTPClient.from_transport(transport)
        self.svc.wait_log(r"#### subsystem_request \[sftp\]", start=mark)

    def test_local_forwarding_refused(self):
        telnet = self.telnet()
        transport = self.client().get_transport()
        # aimed at the telnet port: a forward would show up as a connection there
        with self.assertRaises(paramiko.ChannelException):
            transport.open_channel("direct-tcpip", dest_addr=("127.0.0.1", self.telnet_port),
                                   src_addr=("127.0.0.1", 40000), timeout=10)
        # the connection goes on: a session channel still works
        chan = transport.open_session(timeout=10)
        chan.settimeout(10)
        chan.invoke_shell()
        chan.sendall(b"ok")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"ok"), PREVIEW + b"ok")
        self.assertEqual(telnet.conn_count(), 1)

    def test_remote_forwarding_refused(self):
        self.telnet()
        listen_port = h.free_port()
        proc = h.ssh_cmd(self.port, workdir=self.dir, extra_args=[
            "-N", "-o", "ExitOnForwardFailure=yes",
            "-R", f"127.0.0.1:{listen_port}:127.0.0.1:{self.telnet_port}"])
        self.addCleanup(h.end_process, proc)
        code = proc.wait(30)
        err = h.ssh_stderr(proc)
        self.assertEqual(code, 255, err)
        self.assertIn("remote port forwarding failed", err)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", listen_port), timeout=5).close()


class TelnetSideTest(ServiceCase):
    LOG_LEVEL = "INFO"

    def test_telnet_down_channel_refused_paramiko(self):
        fds, threads = self.settle()
        mark = log_mark(self.svc)
        client = self.client()
        with self.assertRaises(paramiko.ChannelException):
            client.get_transport().open_session(timeout=10)
        port = self.telnet_port
        self.svc.wait_log(rf"can't connect to 127\.0\.0\.1\.{port}:Connection refused", start=mark)
        self.svc.wait_log(rf"Failed to connect telnet server: 127\.0\.0\.1:{port}", start=mark)
        self.svc.wait_log(r"init ssh channel fail", start=mark)
        client.close()
        self.assert_back_to(fds, threads)

    def test_telnet_down_channel_refused_openssh(self):
        fds, threads = self.settle()
        # -v: OpenSSH reports the refused open at its INFO level
        proc = h.ssh_cmd(self.port, workdir=self.dir, extra_args=["-v"])
        self.addCleanup(h.end_process, proc)
        code = proc.wait(30)
        err = h.ssh_stderr(proc)
        self.assertEqual(code, 255, err)
        self.assertIn("channel 0: open failed", err)
        self.assert_back_to(fds, threads)

    def test_telnet_closes_its_side(self):
        self.settle()
        self.telnet(close_after_preview=True)
        mark = log_mark(self.svc)
        chan = self.shell()
        self.svc.wait_log(r"telnet fd:\d+ closed by the telnet service, channel stays open",
                          start=mark)

        # the session must not spin on the closed socket
        cpu = self.svc.cpu_time()
        time.sleep(2.0)
        used = self.svc.cpu_time() - cpu
        self.assertLess(used, 0.3, f"sshapi used {used:.2f}s of CPU in 2s while idle")
        self.assertFalse(chan.closed)

        # further input: the failed send is logged, the echo still comes back
        rx = r"write telnet socket len :-1 less then buf len :6"
        for attempt in range(10):
            chan.sendall(b"more\r\n")
            self.assertEqual(h.recv_until(chan, 6), b"more\r\n")
            try:
                self.svc.wait_log(rx, timeout=1.0, start=mark)
                break
            except AssertionError:
                if attempt == 9:
                    raise
        self.assertFalse(chan.closed)
        self.assertTrue(chan.get_transport().is_active())


    def test_client_vanishing_mid_transfer(self):
        fds, threads = self.settle()
        telnet = self.telnet(send_bytes=1 << 30)  # still flowing when the client goes
        client = self.client()
        chan = h.open_shell(client)
        h.recv_until(chan, 1 << 20, timeout=30)
        client.get_transport().close()  # socket closed: no channel close, no disconnect
        telnet.wait_done(1, timeout=15)
        self.assert_back_to(fds, threads)


class MultiChannelTest(ServiceCase):
    """A fresh service: the readiness probe was session key 1."""

    def test_two_channels_on_one_connection(self):
        telnet = self.telnet()
        mark = log_mark(self.svc)
        client = self.client()
        transport = client.get_transport()
        key = int(self.svc.wait_log(r"new session key:(\d+)", start=mark).group(1))
        first = h.open_shell(client)
        telnet.wait_for_conn(1)
        second = h.open_shell(client)
        telnet.wait_for_conn(2)
        opened = h.wait_until(lambda: re.findall(OPEN_RX, self.svc.log_text()[mark:])[1:], 10,
                              "two channel opens in the log")
        fd_first = int(re.findall(OPEN_RX, self.svc.log_text()[mark:])[0][1])
        fd_second = int(opened[0][1])
        self.assertNotEqual(fd_first, fd_second)

        # each channel has its own telnet connection
        first.sendall(b"one")
        second.sendall(b"two")
        self.assertEqual(telnet.wait_received(1, PREVIEW + b"one"), PREVIEW + b"one")
        self.assertEqual(telnet.wait_received(2, PREVIEW + b"two"), PREVIEW + b"two")
        self.assertEqual(h.recv_until(first, 3), b"one")
        self.assertEqual(h.recv_until(second, 3), b"two")

        # closing the first retires only it
        first.close()
        self.svc.wait_log(rf"erase err channel fd:{fd_first} ", start=mark)
        telnet.wait_done(1)
        self.assertFalse(telnet.is_done(2))
        second.sendall(b"still")
        self.assertEqual(telnet.wait_received(2, PREVIEW + b"twostill"), PREVIEW + b"twostill")
        self.assertEqual(h.recv_until(second, 5), b"still")
        self.assertTrue(transport.is_active())
        self.assertNotIn(f"erase err channel fd:{fd_second} ", self.svc.log_text()[mark:])

        # closing the second ends the session; it is reaped
        second.close()
        client.close()
        telnet.wait_done(2)
        self.svc.wait_log(rf"erase session key:{key} ", start=mark)
        self.svc.wait_log(rf"erase svrchn key:{key} ", start=mark, timeout=5)

        # the next connection gets the next key and is reaped in turn; keys
        # count from 1 (the readiness probe) without gaps or repeats
        chan = self.shell()
        telnet.wait_for_conn(3)
        chan.get_transport().close()
        self.svc.wait_log(rf"erase svrchn key:{key + 1} ", start=mark, timeout=5)
        keys = [int(k) for k in re.findall(r"new session key:(\d+)", self.svc.log_text())]
        self.assertEqual(keys, list(range(1, key + 2)))
        self.assertTrue(self.svc.sessions_reaped())


class ConcurrentSessionsTest(ServiceCase):
    LOG_LEVEL = "INFO"
    SESSIONS = 50
    STREAM = 16384

    def stream(self, i):
        tag = b"S%02d:" % i
        return tag + nul_cr_free(random.Random(1000 + i).randbytes(self.STREAM - len(tag)))

    def test_fifty_sessions_each_with_its_own_stream(self):
        telnet = self.telnet()
        fds, threads = self.settle()
        deadline = time.monotonic() + 120
        results = {}
        clients = []
        lock = threading.Lock()

        def run(i):
            try:
                client = h.connect(self.port, timeout=60)
                with lock:
                    clients.append(client)
                chan = h.open_shell(client, pty=(i % 2 == 0), timeout=60)
                data = self.stream(i)
                pieces = [0, 1000, 5000, 12000, len(data)]
                for a, b in zip(pieces, pieces[1:]):
                    chan.sendall(data[a:b])
                echo = h.recv_until(chan, len(data), timeout=max(1, deadline - time.monotonic()))
                results[i] = "ok" if echo == data else f"echo differs ({len(echo)} bytes)"
            except Exception as exc:  # reported per session below
                results[i] = f"{type(exc).__name__}: {exc}"

        workers = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(self.SESSIONS)]
        try:
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join(max(0.1, deadline - time.monotonic()))
            self.assertFalse([w for w in workers if w.is_alive()], "sessions still running at the deadline")
            bad = {i: r for i, r in results.items() if r != "ok"}
            self.assertEqual(bad, {})
            self.assertEqual(len(results), self.SESSIONS)

            # every telnet connection carries exactly one session's stream
            # (the telnet side may still be accepting what the kernel queued)
            h.wait_until(lambda: telnet.conn_count() >= self.SESSIONS, 30, "telnet connections")
            self.assertEqual(telnet.conn_count(), self.SESSIONS)
            seen = set()
            for n in range(1, self.SESSIONS + 1):
                got = telnet.wait_received(n, len(PREVIEW) + self.STREAM)
                self.assertTrue(got.startswith(PREVIEW), got[:40])
                i = int(got[len(PREVIEW) + 1:len(PREVIEW) + 3])
                self.assertTrue(got[len(PREVIEW):] == self.stream(i),
                                f"telnet connection {n} does not carry stream {i} unchanged")
                seen.add(i)
            self.assertEqual(seen, set(range(self.SESSIONS)))
        finally:
            for client in clients:
                client.close()

        # all gone again: sessions reaped, descriptors and threads released
        self.assert_back_to(fds, threads)


def have_ipv6_loopback():
    try:
        h.free_port("::1")
        return True
    except OSError:
        return False


@unittest.skipUnless(have_ipv6_loopback(), "no IPv6 loopback")
class IPv6Test(ServiceCase):
    LISTEN = "::1"

    def test_ipv6_listener_end_to_end(self):
        telnet = self.telnet(banner="v6\r\n")
        mark = log_mark(self.svc)
        chan = self.shell()
        preview = b"local_ip_preview:::1\n"
        self.assertEqual(telnet.wait_received(1, len(preview)), preview)
        self.svc.wait_log(r"ssh cli: \[::1\]  ----ssh svr: \[::1\]", start=mark)
        self.assertEqual(h.recv_until(chan, 4), b"v6\r\n")
        chan.sendall(b"ping\r")
        self.assertEqual(telnet.wait_received(1, preview + b"ping\r"), preview + b"ping\r")
        self.assertEqual(h.recv_until(chan, 5), b"ping\r")


if __name__ == "__main__":
    unittest.main()
