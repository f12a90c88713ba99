"""Hostile clients: garbage, channel floods, malformed channel messages,
pipelined logins, clients that do not read or ignore their window, a telnet
service that stops reading, and the pre-login limits. None may crash the
service or hold up the others (a witness session relays during and after
each attack); what they leave behind is released when they go."""

import contextlib
import os
import re
import socket
import struct
import threading
import time
import unittest

import paramiko
from paramiko.common import (cMSG_CHANNEL_OPEN, cMSG_CHANNEL_REQUEST, cMSG_CHANNEL_WINDOW_ADJUST,
                             cMSG_SERVICE_REQUEST, cMSG_USERAUTH_REQUEST)

import sshapi_harness as h

VERSION = b"SSH-2.0-hostile_0.1\r\n"
INT_MAX, UINT_MAX = 0x7FFFFFFF, 0xFFFFFFFF


def lstring(data, claimed=None):
    """An SSH string, with a false length if claimed."""
    return h.raw(struct.pack(">I", len(data) if claimed is None else claimed) + data)


LOGIN = [h.message(cMSG_SERVICE_REQUEST, "ssh-userauth"),
         h.message(cMSG_USERAUTH_REQUEST, h.USER, "ssh-connection", "password", False, h.PASSWORD),
         h.message(cMSG_CHANNEL_OPEN, "session", 0, 2 ** 21, 32768)]


def kexinit_with_huge_namelist():
    payload = b"\x14" + os.urandom(16) + struct.pack(">I", 0xFFFFFF00) + b"curve25519-sha256"
    padding = 8 - (len(payload) + 5) % 8 + 8
    return struct.pack(">IB", len(payload) + padding + 1, padding) + payload + bytes(padding)


GARBAGE = (VERSION + os.urandom(64 * 1024), VERSION + struct.pack(">IB", UINT_MAX, 4) + bytes(64),
           VERSION + struct.pack(">IB", INT_MAX, 4) + bytes(64), VERSION + bytes(4096),
           VERSION + kexinit_with_huge_namelist(), b"SSH-2.0-" + b"A" * 70000 + b"\r\n",
           (b"x" * 200 + b"\r\n") * 1000 + VERSION + os.urandom(1024),
           b"SSH-2.0-\x00\x1b[2J\r\n" + os.urandom(1024))


def request(name, reply, *fields):
    return lambda cid: [h.message(cMSG_CHANNEL_REQUEST, cid, name, reply, *fields)]


MALFORMED = {
    "pty-req term length uint max": request("pty-req", True, lstring(b"xterm", UINT_MAX)),
    "pty-req term only": request("pty-req", True, lstring(b"xterm")),
    "pty-req modes past end": request("pty-req", True, lstring(b"vt100"), 80, 24, 0, 0,
                                      lstring(b"\x01\x00\x00\x00", 0x7FFFFFF0)),
    "pty-req 200k term": request("pty-req", True, lstring(b"t" * 200000), 80, 24, 0, 0,
                                 lstring(b"")),
    "pty-req huge sizes": request("pty-req", True, lstring(b"x" * 30000), INT_MAX, INT_MAX,
                                  UINT_MAX, UINT_MAX, lstring(b"")),
    "window-change huge sizes": lambda cid: [
        h.message(cMSG_CHANNEL_REQUEST, cid, "window-change", False, UINT_MAX - i, INT_MAX + i,
                  UINT_MAX, 0) for i in range(20)],
    "window-change two fields": request("window-change", False, 80, 24),
    "window-change trailing bytes": request("window-change", False, 80, 24, 0, 0,
                                            h.raw(os.urandom(5000))),
    "window-change no fields": request("window-change", False),
    "exec 200k command": request("exec", True, lstring(b"\x1b[2J\r\n" * 40000)),
    "exec length past end": request("exec", True, lstring(b"id", UINT_MAX)),
    "subsystem empty": request("subsystem", True, lstring(b"")),
    "unknown request": request("x" * 1000, True, h.raw(os.urandom(100))),
    "window adjust past 4 GiB": lambda cid: [h.message(cMSG_CHANNEL_WINDOW_ADJUST, cid,
                                                       UINT_MAX)] * 3,
}


def hang_up_on(target, data):
    """Send data on target (a Transport, or a fresh connection to a port)
    and wait (bounded) for the service to hang up."""
    if isinstance(target, paramiko.Transport):
        with contextlib.suppress(OSError):  # hung up while we were still sending
            target.sock.sendall(data)
        h.wait_until(lambda: not target.is_active(), 10, "the service to hang up")
        return target.close()
    with socket.create_connection(("127.0.0.1", target), timeout=10) as sock, \
            contextlib.suppress(ConnectionError):
        sock.sendall(data)
        assert any(not sock.recv(1 << 16) for _ in range(1000)), "no hang-up"


def pipelined_shell(port):
    """(transport, channel) of a login and a channel open sent in one write
    with the client's NEWKEYS, as several Java SSH libraries send them."""
    transport = h.connect(port, None, held=(4, True))
    for m in LOGIN[:2]:
        transport.packetizer.send_message(m)
    return transport, transport.open_session(timeout=10)  # its open is the fourth


def login_from(port, source, password=h.PASSWORD):
    with h.connect(port, password=password, source=(source, 0)) as transport:
        h.ping(h.open_shell(transport))


def flood(chans, ignore_window=False, seconds=6.0, mib=64):
    """Send on each channel (a thread each) up to mib MiB in at most seconds
    without reading (with ignore_window, past the window granted); returns
    the bytes taken. A send the service holds up stays blocked until its
    socket is shut down (hang_up)."""
    sent = [0] * len(chans)

    def send(i, chan):
        deadline = time.monotonic() + seconds
        chan.settimeout(0.5)
        while sent[i] < mib << 20 and time.monotonic() < deadline:
            if ignore_window:
                chan.out_window_size = 1 << 30
            try:
                sent[i] += chan.send(b"x" * 32000 + b"\r")
            except socket.timeout:
                pass
            except (OSError, EOFError):  # the channel or the connection closed
                break
    threads = [threading.Thread(target=send, args=(i, c), daemon=True) for i, c in enumerate(chans)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(seconds + 2)
    return sum(sent)


@contextlib.contextmanager
def hung_up(transport):
    """The transport, shut down at the end: a thread blocked sending on its
    socket would keep the connection open through a close."""
    try:
        yield transport
    finally:
        with contextlib.suppress(OSError):
            transport.sock.shutdown(socket.SHUT_RDWR)
        transport.close()


class HostileTest(h.RelayCase):
    def setUp(self):
        """A witness session; when the test ends it still relays, and the
        service is back at its descriptors and threads once it goes."""
        fds, threads = self.settle()
        client = h.connect(self.port)
        self.witness = h.open_shell(client)
        h.ping(self.witness)

        def check():
            self.assert_alive()
            h.ping(self.witness)
            client.close()
            self.assert_back_to(fds, threads, timeout=60)
        self.addCleanup(check)

    def test_garbage_ends_only_its_own_session(self):
        """Before the key exchange, before the login and in a logged-in
        shell; after the key exchange the service used to keep the session,
        buffering all the client sent."""
        for data in GARBAGE:
            hang_up_on(self.port, data)
        for logged_in in (False, True):
            transport = h.connect(self.port, h.USER if logged_in else None)
            if logged_in:
                h.ping(h.open_shell(transport))
            hang_up_on(transport, os.urandom(64 * 1024))
        # login and channel open right before the garbage: whichever poll
        # sees the error, the channel's telnet connection is closed
        for _ in range(5):
            transport = h.connect(self.port, None)
            for m in LOGIN[1:]:
                transport.packetizer.send_message(m)
            hang_up_on(transport, os.urandom(4096))
        h.ping(self.witness)

    def test_at_most_ten_channels_per_connection(self):
        fds, threads = self.svc.count_fds(), self.svc.threads()
        attacker = h.connect(self.port)
        self.addCleanup(attacker.close)
        channels = []
        with self.assertRaises((paramiko.ChannelException, paramiko.SSHException)):
            for _ in range(100):
                channels.append(attacker.open_session(timeout=10))
        self.assertEqual(len(channels), 10)
        self.svc.wait_log(r"has 10 channels open, channel refused")
        channels[-1].invoke_shell()  # the flooding connection still relays
        h.ping(channels[-1])
        attacker.close()
        self.assert_back_to(fds, threads, timeout=60, all_reaped=False)

    def test_channels_opened_one_after_another_are_freed(self):
        """Automation opening a channel per command: the session must not
        grow (a closed channel used to keep about 0.4 KiB until the end)."""
        transport = h.connect(self.port)
        self.addCleanup(transport.close)
        self.addCleanup(transport.open_session(timeout=10).close)  # keeps the session up
        rss, retired = [], self.svc.log_count(r"erase err channel")
        for count in (300, 1500):
            for _ in range(count):
                transport.open_session(timeout=10).close()
            retired += count
            h.wait_until(lambda: self.svc.log_count(r"erase err channel") >= retired, 10,
                         "the channels retired")
            rss.append(self.svc.rss_kib())
        if not self.svc.sanitizer():
            self.assertLess(rss[1] - rss[0], 300)

    def test_channel_opened_while_session_ends_is_refused(self):
        """Once the last channel is closed the session ends; a channel opened
        then is refused instead of keeping a telnet connection nothing closes."""
        mark = self.svc.mark()
        client = h.connect(self.port)
        self.addCleanup(client.close)
        client.open_session(timeout=10).close()
        self.svc.wait_log(r"close ssh client connection", start=mark)
        with self.assertRaises((paramiko.ChannelException, paramiko.SSHException, EOFError)):
            client.open_session(timeout=5)

    def test_malformed_and_oversized_channel_requests_are_answered(self):
        for name, build in MALFORMED.items():
            with self.subTest(message=name), h.connect(self.port) as transport:
                chan = h.open_session_kept_open(transport)
                for m in build(chan.remote_chanid):
                    transport.packetizer.send_message(m)
                transport.open_session(timeout=10)  # confirmed after the replies to those
                chan.get_pty()
                chan.invoke_shell()
                h.ping(chan)

    def test_pipelined_login(self):
        """A login right behind the key exchange is served at once (libssh
        logs such a client in inside its key exchange call, which then used
        to wait out its whole 100 s bound)."""
        transport, chan = pipelined_shell(self.port)
        with transport:
            chan.settimeout(10)
            chan.invoke_shell()
            h.ping(chan, timeout=20)
        # gone right after: the channel's telnet connection is made inside
        # the key exchange, which then fails, and is closed all the same
        for _ in range(3):
            transport, _ = pipelined_shell(self.port)
            transport.sock.shutdown(socket.SHUT_RDWR)
            transport.close()

    def test_replies_to_a_client_that_reads_nothing_are_bounded(self):
        """Messages that libssh answers by itself (an unknown type): while
        the client reads nothing, the session reads nothing more from it, so
        the answers cannot pile up in the service; once the client reads
        again (within the 6 s a connection may leave data unacknowledged),
        the session serves as before."""
        native = not self.svc.sanitizer() and not os.environ.get("SSHAPI_EMULATOR")
        proxy = h.PausableProxy(self.port)
        self.addCleanup(proxy.close)
        client = h.connect(proxy.port)
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        h.ping(chan)
        rss = self.svc.rss_kib()
        proxy.flowing.clear()

        def send(count):  # (the old service grew by about 40 bytes an answer)
            with contextlib.suppress(Exception):  # the connection may end meanwhile
                for _ in range(count):
                    client.packetizer.send_message(h.message(bytes([200])))
        sender = threading.Thread(target=send, args=(120000 if native else 20000,), daemon=True)
        sender.start()
        sender.join(2.5)  # well inside the 6 s, also on a loaded machine
        if native:
            self.assertLess(self.svc.rss_kib() - rss, 1 << 10)
        proxy.flowing.set()
        sender.join(120)
        h.ping(chan, timeout=120)

    def test_client_that_reads_nothing_is_held_back(self):
        """Neither a client that reads nothing nor one that also sends past
        its window grows the service: its channel stops taking input, then
        its session stops reading from it. None is cut off (libssh grants
        window afresh on each stream, so an honest client can have more
        waiting than one window)."""
        rss = self.svc.rss_kib()
        for ignore_window in (False, True):
            with hung_up(h.connect(self.port)) as client:
                sent = flood([h.open_shell(client)], ignore_window)
                if not self.svc.sanitizer():
                    self.assertLess(self.svc.rss_kib() - rss, 16 << 10)
                if not ignore_window:  # (past it, the echo it never reads is dropped)
                    self.assertLess(sent, 16 << 20)
            h.ping(self.witness)
        self.assertNotIn("beyond the window", self.svc.log_text())

    def test_stalled_telnet_service_holds_up_only_its_session(self):
        """A telnet service that stops reading (this one never accepts: the
        kernel takes the connections and their data up to the socket
        buffers): the connection's ten channels together take input up to
        its budget, and the session still ends when its client goes. So it
        does for a client that sends past its window until the session
        reads nothing from it: its close waits behind the input it has not
        sent yet, and used to keep the session until TCP gave up."""
        stalled = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(stalled.close)
        svc = h.start_service(self.addCleanup, h.make_test_dir(self.id()), h.standard_args(
            h.free_port(), stalled.getsockname()[1]), log_level="INFO")
        h.wait_until(svc.settled, 20, "start-up complete")
        fds, threads, rss = svc.count_fds(), svc.threads(), svc.rss_kib()
        for channels, ignore_window in ((10, False), (1, True)):
            with hung_up(h.connect(svc.port)) as client:
                flood([h.open_shell(client) for _ in range(channels)], ignore_window, mib=16)
                if not svc.sanitizer() and not os.environ.get("SSHAPI_EMULATOR"):
                    self.assertLess(svc.rss_kib() - rss, 24 << 10)  # 64 channels took 41 MiB
            h.wait_until(lambda: svc.settled() and svc.count_fds() == fds, 60,
                         f"the session reaped, descriptors back to {fds}")
            self.assertEqual(svc.threads(), threads)


class PreLoginLimitTest(h.RelayCase):
    """The default limits: 8 connections not logged in per source address,
    a hold on a source whose logins failed three times; 16 in all here."""
    START = dict(args=["--login-penalty", "20", "--max-startups", "16"], lenient=False, cli=True,
                 log_level="INFO")

    def connect_from(self, source):
        """A connection from source, and whether the service admits it (sends
        its identification) or closes it at once."""
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10,
                                        source_address=(source, 0))
        self.addCleanup(sock.close)
        try:
            return sock, sock.recv(64).startswith(b"SSH-2.0")
        except OSError:
            return sock, False

    def test_one_address_flood_costs_the_others_nothing(self):
        fds, threads = self.settle()
        flood = [self.connect_from("127.0.0.2") for _ in range(100)]
        self.assertEqual([admitted for _, admitted in flood].count(True), 8)
        self.assertLessEqual(self.svc.threads(), threads + 8)
        login_from(self.port, "127.0.0.3")
        # (refusals are logged once a second at most: another may just have been)
        h.wait_until(lambda: self.connect_from("127.0.0.2")[1] is False and re.search(
            r"\[WARN\] connection from 127\.0\.0\.2 refused: too many connections not logged "
            r"in from this source", self.svc.log_text()), 10, "the refusal logged", interval=0.2)
        for sock, _ in flood:
            sock.close()
        h.wait_until(lambda: self.svc.threads() == threads, 15, "the stalled sessions gone")
        login_from(self.port, "127.0.0.2")
        self.assert_back_to(fds, threads)

    def test_source_with_failed_logins_is_held_off(self):
        for _ in range(3):
            with self.assertRaises(paramiko.AuthenticationException):
                login_from(self.port, "127.0.0.4", password="wrong")
        self.svc.wait_log(r"\[WARN\] connections from 127\.0\.0\.4 refused for 20 s")
        self.assertFalse(self.connect_from("127.0.0.4")[1])
        login_from(self.port, "127.0.0.5")  # no one else is held off

    def test_fresh_address_gets_in_while_others_squat(self):
        """Two addresses hold every slot with silent connections: a third
        address's login ends the longest waiting of them, and gets in."""
        squat = [self.connect_from(f"127.0.0.{7 + i % 2}") for i in range(16)]
        self.assertTrue(all(admitted for _, admitted in squat))
        login_from(self.port, "127.0.0.9")
        # (its WARN line shares the once-a-second limit of the refusals, so
        # a refusal of the test before may have taken its second)
        oldest = squat[0][0]
        oldest.settimeout(10)
        self.assertTrue(any(not oldest.recv(1 << 16) for _ in range(100)))  # its session ended

    def test_connect_and_close_spam_leaves_the_log_alone(self):
        """Connections that end before trying to log in are logged in full up
        to 5 a minute per address, the rest not at all (a summary line a
        minute counts them): spam cannot rotate the log history away."""
        mark, spam = self.svc.mark(), 0
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            socket.create_connection(("127.0.0.1", self.port),
                                     source_address=("127.0.0.6", 0)).close()
            spam += 1
        login_from(self.port, "127.0.0.6")  # a login is logged in full
        self.svc.wait_log(r"session key:\d+ ended: user \[admin\] from 127\.0\.0\.6", start=mark)
        log = self.svc.log_text()[mark:]
        self.assertGreater(spam, 20)
        self.assertLessEqual(log.count("new session key"), 6)
        self.assertLess(len(log), 8 << 10)


if __name__ == "__main__":
    unittest.main()
