"""Hostile clients: random bytes after the SSH identification, thousands of
channels on one connection, and oversized or malformed pty and
window-change requests. None of them may crash the service or hold up the
other users, and whatever they leave behind is released when they go.

One sshapi and one fake telnet service (command mode) per class. A witness
session, opened before the attack, must keep relaying during and after it;
measured figures go to standard error as "hostile: ..." lines.
"""

import logging
import os
import socket
import struct
import sys
import threading
import time
import unittest

import paramiko
from paramiko.common import (cMSG_CHANNEL_OPEN, cMSG_CHANNEL_REQUEST, cMSG_CHANNEL_WINDOW_ADJUST,
                             cMSG_SERVICE_REQUEST, cMSG_USERAUTH_REQUEST)
from paramiko.message import Message

import resilience as r
import sshapi_harness as h

logging.getLogger("paramiko").addHandler(logging.NullHandler())

VERSION = b"SSH-2.0-hostile_0.1\r\n"
INT_MAX = 0x7FFFFFFF
UINT_MAX = 0xFFFFFFFF


def report(text):
    print(f"hostile: {text}", file=sys.stderr, flush=True)


def leave(chan):
    """Close the client that a channel belongs to (the service then ends
    that session at once instead of waiting for the client to go)."""
    chan.get_transport().close()


# ---------------------------------------------------------------- raw SSH

def kexinit_with_huge_namelist():
    """A KEXINIT packet whose first name-list claims almost 4 GiB."""
    payload = b"\x14" + os.urandom(16) + struct.pack(">I", 0xFFFFFF00) + b"curve25519-sha256"
    padding = 8 - (len(payload) + 5) % 8 + 8
    return struct.pack(">IB", len(payload) + padding + 1, padding) + payload + bytes(padding)


# name -> bytes sent on a fresh TCP connection
GARBAGE_VARIANTS = {
    "random-64k": lambda: VERSION + os.urandom(64 * 1024),
    "length-uint-max": lambda: VERSION + struct.pack(">IB", UINT_MAX, 4) + os.urandom(4096),
    "length-int-max": lambda: VERSION + struct.pack(">IB", INT_MAX, 4) + os.urandom(4096),
    "zero-length-packets": lambda: VERSION + bytes(4096),
    "kexinit-huge-namelist": lambda: VERSION + kexinit_with_huge_namelist(),
    "version-line-70k": lambda: b"SSH-2.0-" + b"A" * 70000 + b"\r\n" + os.urandom(1024),
    "1000-lines-before-version": lambda: (b"x" * 200 + b"\r\n") * 1000 + VERSION + os.urandom(1024),
    "nul-and-ctrl-in-version": lambda: b"SSH-2.0-\x00\x1b[2J\r\n" + os.urandom(1024),
}


def send_garbage(port, data, linger=3.0):
    """Connect, send data, and wait (bounded) for the service to hang up.
    Returns 'closed' when it did, 'open' when it was still waiting."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        try:
            sock.sendall(data)
        except OSError:
            return "closed"  # hung up while we were still sending
        deadline = time.monotonic() + linger
        while time.monotonic() < deadline:
            sock.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                if not sock.recv(65536):
                    return "closed"
            except socket.timeout:
                break
            except OSError:
                return "closed"
    return "open"


def send_raw(chan, build):
    """Send a hand-built message on the channel's transport."""
    m = Message()
    build(m)
    chan.transport._send_user_message(m)


def channel_request(chan, name, want_reply, *fields):
    """Send a channel request with hand-made fields; with want_reply, wait
    (bounded) for the answer and return 'success', 'failure' or 'no reply'."""
    def build(m):
        m.add_byte(cMSG_CHANNEL_REQUEST)
        m.add_int(chan.remote_chanid)
        m.add_string(name)
        m.add_boolean(want_reply)
        for f in fields:
            if isinstance(f, int):
                m.add_int(f)
            else:
                m.add_bytes(f)  # raw: the caller writes lengths as it likes
    if not want_reply:
        send_raw(chan, build)
        return "not asked"
    chan._event_pending()
    send_raw(chan, build)
    if not chan.event.wait(3.0):
        return "no reply"
    return "success" if chan.event_ready else "failure"


def lstring(data, claimed=None):
    """An SSH string, optionally with a false length field."""
    return struct.pack(">I", len(data) if claimed is None else claimed) + data


def login_messages(chanid=0):
    """The password login and a session channel open, as raw messages."""
    service = Message()
    service.add_byte(cMSG_SERVICE_REQUEST)
    service.add_string("ssh-userauth")
    auth = Message()
    auth.add_byte(cMSG_USERAUTH_REQUEST)
    auth.add_string(h.DEFAULT_USER)
    auth.add_string("ssh-connection")
    auth.add_string("password")
    auth.add_boolean(False)
    auth.add_string(h.DEFAULT_PASSWORD)
    chan_open = Message()
    chan_open.add_byte(cMSG_CHANNEL_OPEN)
    chan_open.add_string("session")
    chan_open.add_int(chanid)
    chan_open.add_int(2 ** 21)
    chan_open.add_int(32768)
    return service, auth, chan_open


class HeldSocket:
    """A socket whose sends can be held back and then go out in one write."""

    def __init__(self, sock):
        self.sock = sock
        self.held = None

    def __getattr__(self, name):
        return getattr(self.sock, name)

    def send(self, data):
        if self.held is None:
            return self.sock.send(data)
        self.held += data
        return len(data)

    def release(self):
        data, self.held = self.held, None
        self.sock.sendall(data)


class PipeliningTransport(paramiko.Transport):
    """Holds back what it sends from its NEWKEYS on, so that the end of the
    key exchange, the login and a channel open reach the server in one
    write, as several Java SSH libraries send them."""

    def _activate_outbound(self):
        self.sock.held = b""
        super()._activate_outbound()


def pipelined_shell(port):
    """A session whose login and channel open were pipelined behind the key
    exchange; returns (transport, channel with a shell, socket)."""
    sock = HeldSocket(socket.create_connection(("127.0.0.1", port), timeout=10))
    transport = PipeliningTransport(sock)
    transport.start_client(timeout=10)
    for m in login_messages():
        transport._send_message(m)
    # the channel as paramiko's open_session would register it
    chan = paramiko.Channel(0)
    transport._channels.put(0, chan)
    transport.channel_events[0] = threading.Event()
    transport.channels_seen[0] = True
    chan._set_transport(transport)
    chan._set_window(2 ** 21, 32768)
    sock.release()
    return transport, chan, sock


def source_socket(port, source):
    """A TCP connection to the service from a loopback address of its own."""
    return socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))


def login_from(port, source, password=h.DEFAULT_PASSWORD):
    """Log in from source and relay one command; the transport is closed."""
    transport = paramiko.Transport(source_socket(port, source))
    try:
        transport.start_client(timeout=10)
        transport.auth_password(h.DEFAULT_USER, password)
        chan = transport.open_session(timeout=10)
        chan.invoke_shell()
        h.ping(chan)
    finally:
        transport.close()


# ---------------------------------------------------------------- tests

class HostileCase(h.ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = h.make_test_dir(cls.__name__)
        cls.telnet, cls.port, cls.svc = h.start_relay(cls.addClassCleanup, cls.dir, cli=True,
                                                      log_level="INFO")

    def witness(self):
        """A logged-in client with a relaying shell."""
        client = h.connect(self.port)
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        h.ping(chan)
        return chan

    def timed_login(self):
        """Seconds for a fresh client to log in, open a shell and get an answer."""
        start = time.monotonic()
        client = h.connect(self.port)
        try:
            h.ping(h.open_shell(client))
        finally:
            client.close()
        return time.monotonic() - start


class GarbageAfterVersionTest(HostileCase):
    def test_each_variant_leaves_service_serving(self):
        fds, threads = self.settle()
        chan = self.witness()
        for name, make in GARBAGE_VARIANTS.items():
            with self.subTest(variant=name):
                outcome = send_garbage(self.port, make())
                self.assert_alive()
                h.ping(chan)
                report(f"garbage variant {name}: connection {outcome} after the bytes")
        leave(chan)
        self.assert_back_to(fds, threads)

    def test_login_and_relay_during_garbage_flood(self):
        fds, threads = self.settle()
        chan = self.witness()
        stop = threading.Event()
        counts = {"connections": 0}
        lock = threading.Lock()
        variants = list(GARBAGE_VARIANTS.values())

        def attacker(index):
            for i in range(100):  # bounded per attacker
                if stop.is_set():
                    return
                try:
                    send_garbage(self.port, variants[(index + i) % len(variants)](), linger=0.2)
                except OSError:
                    pass
                with lock:
                    counts["connections"] += 1

        workers = [threading.Thread(target=attacker, args=(i,), daemon=True) for i in range(8)]
        for w in workers:
            w.start()
        try:
            times = []
            peak_threads = 0
            deadline = time.monotonic() + 6.0
            while time.monotonic() < deadline and len(times) < 20:
                peak_threads = max(peak_threads, self.svc.threads())
                times.append(self.timed_login())
                h.ping(chan)
        finally:
            stop.set()
            for w in workers:
                w.join(30)
        self.assert_alive()
        report(f"garbage flood: {counts['connections']} connections from 8 clients; "
               f"{len(times)} logins during it took max {max(times):.3f}s, "
               f"mean {sum(times) / len(times):.3f}s; service threads peaked at {peak_threads}")
        self.assertLess(max(times), 10.0)
        h.ping(chan)
        leave(chan)
        self.assert_back_to(fds, threads)
        report(f"garbage flood: descriptors {fds} -> {self.svc.count_fds()}, "
               f"threads {threads} -> {self.svc.threads()}")

    def test_garbage_in_established_session_ends_only_that_session(self):
        """Bytes that are no valid encrypted packet, once the key exchange is
        done: before the login, and with a logged-in shell. The service drops
        that session at once (it used to keep it, buffering all the client
        sent, up to 256 MiB) and the witness relays on."""
        fds, threads = self.settle()
        chan = self.witness()
        for logged_in in (False, True):
            with self.subTest(logged_in=logged_in):
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
                transport = paramiko.Transport(sock)
                try:
                    transport.start_client(timeout=10)
                    if logged_in:
                        transport.auth_password(h.DEFAULT_USER, h.DEFAULT_PASSWORD)
                        victim = transport.open_session(timeout=10)
                        victim.invoke_shell()
                        h.ping(victim)
                    start = time.monotonic()
                    try:
                        sock.sendall(os.urandom(64 * 1024))
                    except OSError:
                        pass  # hung up while we were still sending
                    h.wait_until(lambda: not transport.is_active(), 5,
                                 "the service to drop the corrupted session")
                    report(f"garbage in an established session (logged in: {logged_in}): "
                           f"dropped after {time.monotonic() - start:.3f}s")
                finally:
                    transport.close()
                self.assert_alive()
                h.ping(chan)
        leave(chan)
        self.assert_back_to(fds, threads)


class ChannelFloodTest(HostileCase):
    def test_thousands_of_channels_on_one_connection(self):
        # Every channel is a telnet connection, and the fake telnet service
        # runs two threads for each: a sanitizer build gets a smaller flood.
        max_channels = 500 if self.svc.sanitizer() else 2000
        fds, threads = self.settle()
        chan = self.witness()
        fds_witness, threads_witness = self.svc.count_fds(), self.svc.threads()

        attacker = h.connect(self.port)
        self.addCleanup(attacker.close)
        transport = attacker.get_transport()
        channels = []
        refused = None
        start = time.monotonic()
        login_times = []
        while len(channels) < max_channels and time.monotonic() - start < 60:
            try:
                channels.append(transport.open_session(timeout=10))
            except (paramiko.ChannelException, paramiko.SSHException) as exc:
                refused = exc
                break
            if len(channels) % 32 == 0:
                h.ping(chan)  # the other session relays during the flood
                login_times.append(self.timed_login())
        opened_in = time.monotonic() - start
        fds_peak, threads_peak = self.svc.count_fds(), self.svc.threads()
        self.assert_alive()
        report(f"channel flood: {len(channels)} channels open in {opened_in:.1f}s "
               f"({'refused: ' + str(refused) if refused else 'none refused'}); "
               f"service descriptors {fds_witness} -> {fds_peak}, threads {threads_peak}; "
               f"logins during it: {', '.join(f'{t:.3f}s' for t in login_times)}")
        # Each connection gets at most 64 channels (each one is a telnet
        # connection), so one client cannot take every descriptor.
        self.assertIsNotNone(refused)
        self.assertEqual(len(channels), 64)
        self.svc.wait_log(r"has 64 channels open, channel refused")

        # The flood connection itself still relays, on its newest channel.
        last = channels[-1]
        last.invoke_shell()
        h.ping(last)
        h.ping(chan)
        login_times.append(self.timed_login())

        start = time.monotonic()
        attacker.close()
        self.assert_back_to(fds_witness, threads_witness, timeout=60, all_reaped=False)
        report(f"channel flood: after the client left, descriptors back to "
               f"{self.svc.count_fds()} in {time.monotonic() - start:.1f}s")
        h.ping(chan)
        leave(chan)
        self.assert_back_to(fds, threads)

    def test_channels_opened_one_after_another_are_freed(self):
        """Automation that opens a channel per command: the session must not
        grow (a closed channel used to keep about 0.4 KiB until the end)."""
        client = h.connect(self.port)
        self.addCleanup(client.close)
        transport = client.get_transport()
        keep = transport.open_session(timeout=10)  # keeps the session up
        rss = {}
        retired = self.svc.log_count(r"erase err channel")
        for phase, count in (("warm", 300), ("measured", 1500)):
            for _ in range(count):
                transport.open_session(timeout=10).close()
            retired += count
            h.wait_until(lambda: self.svc.log_count(r"erase err channel") >= retired, 10,
                         "the channels retired")
            rss[phase] = r.rss_kib(self.svc)
        report(f"1500 channels opened and closed: service grew {rss['measured'] - rss['warm']} KiB")
        if not self.svc.sanitizer():
            self.assertLess(rss["measured"] - rss["warm"], 300)
        keep.close()

    def test_channel_opened_while_session_ends_is_refused(self):
        """Once the last channel is closed the session ends; a channel opened
        in that moment is refused instead of being left with a telnet
        connection that nothing would close."""
        fds, threads = self.settle()
        mark = len(self.svc.log_text())
        client = h.connect(self.port)
        self.addCleanup(client.close)
        transport = client.get_transport()
        transport.open_session(timeout=10).close()
        self.svc.wait_log(r"close ssh client connection", start=mark)
        opened = 0
        for _ in range(20):
            try:
                transport.open_session(timeout=5)
                opened += 1
            except (paramiko.ChannelException, paramiko.SSHException, EOFError):
                break
        self.assertEqual(opened, 0)
        client.close()
        self.assert_back_to(fds, threads)

    def test_login_channel_and_garbage_in_one_burst(self):
        """Login, channel open and garbage sent back to back: whichever poll
        sees the error, the channel's telnet connection is closed."""
        fds, threads = self.settle()
        for _ in range(5):
            sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
            transport = paramiko.Transport(sock)
            try:
                transport.start_client(timeout=10)
                auth = Message()
                auth.add_byte(cMSG_USERAUTH_REQUEST)
                auth.add_string(h.DEFAULT_USER)
                auth.add_string("ssh-connection")
                auth.add_string("password")
                auth.add_boolean(False)
                auth.add_string(h.DEFAULT_PASSWORD)
                chan_open = Message()
                chan_open.add_byte(cMSG_CHANNEL_OPEN)
                chan_open.add_string("session")
                chan_open.add_int(0)
                chan_open.add_int(2 ** 21)
                chan_open.add_int(32768)
                transport._send_user_message(auth)
                transport._send_user_message(chan_open)
                sock.sendall(os.urandom(4096))
                h.wait_until(lambda: not transport.is_active(), 5, "the service to hang up")
            except OSError:
                pass
            finally:
                transport.close()
        self.assert_alive()
        self.assert_back_to(fds, threads)


class OversizedPtyTest(HostileCase):
    def test_huge_pty_and_window_change_values(self):
        fds, threads = self.settle()
        witness = self.witness()
        client = h.connect(self.port)
        self.addCleanup(client.close)
        chan = client.get_transport().open_session(timeout=10)
        chan.settimeout(10)
        chan.get_pty(term="x" * 30000, width=INT_MAX, height=INT_MAX,
                     width_pixels=UINT_MAX, height_pixels=UINT_MAX)
        for i in range(100):
            chan.resize_pty(width=UINT_MAX - i, height=INT_MAX + i,
                            width_pixels=UINT_MAX, height_pixels=0)
        chan.invoke_shell()
        h.ping(chan)
        h.ping(witness)
        self.assert_alive()
        client.close()
        leave(witness)
        self.assert_back_to(fds, threads)

    def test_malformed_channel_requests(self):
        fds, threads = self.settle()
        witness = self.witness()
        cases = {
            "pty-req term length uint max": ("pty-req", True, lstring(b"xterm", UINT_MAX)),
            "pty-req term only": ("pty-req", True, lstring(b"xterm")),
            "pty-req modes length past end": ("pty-req", True, lstring(b"vt100"), 80, 24, 0, 0,
                                              lstring(b"\x01\x00\x00\x00", 0x7FFFFFF0)),
            "pty-req 200k term": ("pty-req", True, lstring(b"t" * 200000), 80, 24, 0, 0,
                                  lstring(b"")),
            "window-change two fields": ("window-change", False, 80, 24),
            "window-change trailing bytes": ("window-change", False, 80, 24, 0, 0,
                                             os.urandom(5000)),
            "window-change no fields": ("window-change", False),
            "exec 200k command": ("exec", True, lstring(b"\x1b[2J\r\n" * 40000)),
            "exec length past end": ("exec", True, lstring(b"id", UINT_MAX)),
            "subsystem empty": ("subsystem", True, lstring(b"")),
            "unknown request": ("x" * 1000, True, os.urandom(100)),
        }
        for name, (request, reply, *fields) in cases.items():
            with self.subTest(request=name):
                client = h.connect(self.port)
                try:
                    h.keep_channels_open_on_failure(client.get_transport())
                    chan = client.get_transport().open_session(timeout=10)
                    answer = channel_request(chan, request, reply, *fields)
                    # The service answers or drops this connection; either
                    # way the next request on it shows it was handled.
                    try:
                        chan.get_pty()
                        chan.invoke_shell()
                        h.ping(chan)
                        outcome = "session goes on"
                    except (paramiko.SSHException, EOFError, OSError, AssertionError):
                        outcome = "session dropped"
                finally:
                    client.close()
                self.assert_alive()
                h.ping(witness)
                report(f"malformed request {name}: answer {answer}, {outcome}")
        leave(witness)
        self.assert_back_to(fds, threads)

    def test_window_adjust_overflow(self):
        fds, threads = self.settle()
        witness = self.witness()
        client = h.connect(self.port)
        self.addCleanup(client.close)
        chan = h.open_shell(client)
        for _ in range(3):
            send_raw(chan, lambda m: (m.add_byte(cMSG_CHANNEL_WINDOW_ADJUST),
                                      m.add_int(chan.remote_chanid), m.add_int(UINT_MAX)))
        try:
            h.ping(chan)
            outcome = "session goes on"
        except (paramiko.SSHException, EOFError, OSError, AssertionError):
            outcome = "session dropped"
        report(f"window adjust past 4 GiB: {outcome}")
        client.close()
        self.assert_alive()
        h.ping(witness)
        leave(witness)
        self.assert_back_to(fds, threads)


class PipelinedLoginTest(HostileCase):
    def test_login_right_behind_the_key_exchange_is_served_at_once(self):
        """libssh authenticates such a client inside its key exchange call,
        which then used to wait out its whole 100 s bound."""
        fds, threads = self.settle()
        transport, chan, _ = pipelined_shell(self.port)
        try:
            h.wait_until(lambda: chan.active, 10, "the channel open to be confirmed")
            chan.settimeout(10)
            chan.invoke_shell()
            start = time.monotonic()
            h.ping(chan, timeout=20)
            report(f"pipelined login: first answer {time.monotonic() - start:.3f}s after the shell")
        finally:
            transport.close()
        self.assert_back_to(fds, threads)

    def test_client_gone_right_after_a_pipelined_channel_open(self):
        """The channel's telnet connection is made inside the key exchange;
        the exchange then fails, and that connection is closed all the same."""
        fds, threads = self.settle()
        for _ in range(3):
            transport, chan, sock = pipelined_shell(self.port)
            h.wait_until(lambda: chan.active, 10, "the channel open to be confirmed")
            sock.sock.shutdown(socket.SHUT_RDWR)
            transport.close()
        self.assert_alive()
        self.assert_back_to(fds, threads)


class FlowControlTest(HostileCase):
    """Clients that do not read: the service holds their input back instead
    of their output (figure: growth of its resident memory)."""

    def flood(self, chan, ignore_window=False, seconds=6.0, mib=64):
        """Send up to mib MiB on chan for at most seconds, without reading;
        with ignore_window, past the window the service granted."""
        block = b"x" * 32000 + b"\r"
        sent = 0
        deadline = time.monotonic() + seconds
        chan.settimeout(0.5)
        while sent < mib << 20 and time.monotonic() < deadline:
            if ignore_window:
                chan.out_window_size = 1 << 30
            try:
                sent += chan.send(block)
            except socket.timeout:
                pass
            except (OSError, EOFError):  # the service closed the channel (and the session)
                break
        return sent

    def test_client_that_reads_nothing_is_held_back(self):
        fds, threads = self.settle()
        witness = self.witness()
        rss = r.rss_kib(self.svc)
        for ignore_window in (False, True):
            with self.subTest(ignore_window=ignore_window):
                mark = len(self.svc.log_text())
                client = h.connect(self.port)
                chan = h.open_shell(client)
                sent = self.flood(chan, ignore_window)
                grown = (r.rss_kib(self.svc) - rss) / 1024
                report(f"client not reading (ignoring its window: {ignore_window}): "
                       f"{sent / 2**20:.1f} MiB taken, service grew {grown:.1f} MiB")
                if not self.svc.sanitizer():
                    self.assertLess(grown, 16)
                if ignore_window:
                    self.svc.wait_log(r"\[WARN\] channel 0x[0-9a-f]+: client sent \d+ bytes "
                                      r"beyond the window it was granted, channel closed",
                                      start=mark)
                    h.wait_until(lambda: chan.closed or not client.get_transport().is_active(),
                                 10, "the channel to be closed")
                else:
                    self.assertLess(sent, 16 << 20)
                h.ping(witness)
                client.close()
        leave(witness)
        self.assert_back_to(fds, threads)

    def test_stalled_telnet_service_holds_up_only_its_session(self):
        """A telnet service that stops reading: the session takes input up
        to its bounds, and still ends when its client goes."""
        stalled = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(stalled.close)
        held = []
        threading.Thread(target=lambda: [held.append(stalled.accept()) for _ in range(4)],
                         daemon=True).start()
        svc = h.SshApi(h.make_test_dir(self.id()))
        self.addCleanup(svc.__exit__, None, None, None)
        port = h.free_port()
        svc.start(h.standard_args(port, stalled.getsockname()[1]), log_level="INFO")
        h.wait_until(svc.sessions_reaped, 20, "the readiness probe reaped")
        fds, threads = svc.count_fds(), svc.threads()
        client = h.connect(port)
        chan = h.open_shell(client)
        sent = self.flood(chan, mib=32)
        report(f"telnet service not reading: {sent / 2**20:.1f} MiB taken from the client")
        self.assertLess(sent, 16 << 20)
        client.close()
        svc.wait_log(r"erase session key:2 ", timeout=15)
        h.wait_until(svc.sessions_reaped, 15, "the session reaped")
        svc.wait_fds(lambda n: n == fds, 15, f"descriptor count back to {fds}")
        self.assertEqual(svc.threads(), threads)


class PreLoginLimitTest(h.ServiceTestCase):
    """The default limits: 8 connections not logged in per source address,
    and a hold on a source whose logins failed three times."""

    @classmethod
    def setUpClass(cls):
        cls.dir = h.make_test_dir(cls.__name__)
        cls.telnet = h.start_telnet(cls.addClassCleanup, cls.dir, cli=True)
        cls.port = h.free_port()
        cls.svc = h.SshApi(cls.dir)
        cls.addClassCleanup(cls.svc.__exit__, None, None, None)
        cls.svc.start(h.standard_args(cls.port, cls.telnet.port, lenient=False)
                      + ["--login-penalty", "20"], log_level="INFO")

    @staticmethod
    def admitted(sock):
        """True when the service sends its identification, False when it
        closes the connection at once."""
        try:
            return sock.recv(64).startswith(b"SSH-2.0")
        except OSError:
            return False

    def test_one_address_flood_costs_the_others_nothing(self):
        fds, threads = self.settle()
        flood = [source_socket(self.port, "127.0.0.2") for _ in range(100)]
        try:
            verdicts = [self.admitted(sock) for sock in flood]
            peak = self.svc.threads()
            report(f"one-address flood: {verdicts.count(True)} of {len(flood)} stalled "
                   f"connections admitted, service threads {threads} -> {peak}")
            self.assertEqual(verdicts.count(True), 8)
            self.assertLessEqual(peak, threads + 8)
            login_from(self.port, "127.0.0.3")
            self.svc.wait_log(r"\[WARN\] connection from 127\.0\.0\.2 refused: too many "
                              r"connections not logged in from this source")
        finally:
            for sock in flood:
                sock.close()
        h.wait_until(lambda: self.svc.threads() == threads, 15, "the stalled sessions gone")
        login_from(self.port, "127.0.0.2")
        self.assert_back_to(fds, threads)

    def test_source_with_failed_logins_is_held_off(self):
        for _ in range(3):
            with self.assertRaises(paramiko.AuthenticationException):
                login_from(self.port, "127.0.0.4", password="wrong")
        self.svc.wait_log(r"\[WARN\] connections from 127\.0\.0\.4 refused for 20 s")
        with source_socket(self.port, "127.0.0.4") as sock:
            self.assertFalse(self.admitted(sock))
        login_from(self.port, "127.0.0.5")  # no one else is held off


if __name__ == "__main__":
    unittest.main()
