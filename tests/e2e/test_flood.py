"""Connection flood: many connections opened at once and left silent in the
handshake. The service must take them all off its listen queue, let a
legitimate client log in and relay meanwhile, and reap every one once it is
gone; with its descriptor limit below the flood, accepts fail without the
listener spinning, and it serves again afterwards.

Size: SSHAPI_FLOOD_CONNECTIONS (CI: 300; bench/resilience/run.sh --long:
2000). Figures of a flood are bench/resilience/figures.py's.
"""

import errno
import os
import resource
import select
import socket
import time
import unittest

import sshapi_harness as h

CONNECTIONS = int(os.environ.get("SSHAPI_FLOOD_CONNECTIONS") or 300)
LISTEN_BACKLOG = 128  # the service widens the 10 of libssh


def open_flood(port, count, timeout=60.0):
    """Open count non-blocking connections at once; returns those connected."""
    pending = {}
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        if s.connect_ex(("127.0.0.1", port)) in (0, errno.EINPROGRESS):
            pending[s.fileno()] = s
        else:
            s.close()
    poller = select.poll()
    for fd in pending:
        poller.register(fd, select.POLLOUT)
    socks, deadline = [], time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(500):
            s = pending.pop(fd)
            poller.unregister(fd)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                socks.append(s)
            else:
                s.close()
    for s in pending.values():
        s.close()
    return socks


def timed_login(port, timeout=60.0):
    """Seconds to log in, open a shell and get a command answered."""
    start = time.monotonic()
    client = h.connect(port, timeout=timeout)
    try:
        h.ping(h.open_shell(client, timeout=timeout), timeout=timeout)
        return time.monotonic() - start
    finally:
        client.close()


def wait_steady(svc, quiet=2.0, timeout=60.0):
    """The thread count once it has not changed for `quiet` seconds."""
    last, since = svc.threads(), time.monotonic()
    deadline = since + timeout
    while time.monotonic() < deadline and time.monotonic() - since < quiet:
        time.sleep(0.1)
        if svc.threads() != last:
            last, since = svc.threads(), time.monotonic()
    return last


class FloodCase(h.ServiceTestCase):
    NOFILE = None  # the service's descriptor limit (soft and hard); None: the test's own

    @classmethod
    def setUpClass(cls):
        h.raise_nofile(CONNECTIONS + 512)
        nofile = cls.NOFILE
        preexec = nofile and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile)))
        cls.telnet, cls.port, cls.svc = h.start_relay(
            cls.addClassCleanup, h.make_test_dir(cls.__name__), cli=True, log_level="INFO",
            preexec_fn=preexec)


class FloodTest(FloodCase):
    def test_silent_connections_at_once(self):
        """What does not fit the listen queue is answered by SYN cookies and
        never reaches the service until it sends something (with libssh's
        own queue of 10, only 23 to 59 of 300 did)."""
        fds, threads = self.settle()
        socks = open_flood(self.port, CONNECTIONS)
        try:
            held = wait_steady(self.svc) - threads
            self.assertGreaterEqual(held, min(CONNECTIONS, LISTEN_BACKLOG))
            for _ in range(3):
                self.assertLess(timed_login(self.port), 10.0)
            self.assert_alive()
        finally:
            for s in socks:
                s.close()
        self.assert_back_to(fds, threads, timeout=60)


class DescriptorLimitTest(FloodCase):
    NOFILE = 64

    def test_flood_beyond_descriptor_limit(self):
        fds, threads = self.settle()
        mark = self.svc.mark()
        socks = open_flood(self.port, min(CONNECTIONS, 200))
        try:
            self.svc.wait_log("Too many open files", timeout=30, start=mark)
            cpu = self.svc.cpu_time()
            time.sleep(2.0)
            busy = self.svc.cpu_time() - cpu
            self.assertLess(busy, 0.5, "the listener spins while descriptors are exhausted")
            self.assert_alive()
        finally:
            for s in socks:
                s.close()
        # the queued connections are accepted and dropped in turn, then a
        # legitimate client is served again
        self.assert_back_to(fds, threads, timeout=120)
        self.assertLess(timed_login(self.port), 10.0)
        self.assert_back_to(fds, threads)


if __name__ == "__main__":
    unittest.main()
