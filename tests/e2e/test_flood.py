"""Connection flood: many TCP connections opened at once and left silent
in the SSH handshake, then the same with garbage after a valid
identification line. The service must stay up, let a legitimate client log
in and relay meanwhile, and reap every flood connection once it is gone.

Size: SSHAPI_FLOOD_CONNECTIONS (CI: 300; bench/resilience/run.sh --long:
2000). The figures (connections held, memory per connection, setup time of
the legitimate client, reaping time) go to standard error as "flood: ...".

Where the number of connections the service can hold comes from: each one
is a descriptor and a thread (1.5 MiB of reserved stack, a few pages of it
touched). The test also starts a service whose descriptor limit is lower
than the flood: accepts then fail, the listener pauses between attempts
instead of spinning, and the service serves again once the flood is gone.
"""

import errno
import logging
import os
import resource
import select
import socket
import time
import unittest

import resilience as r
import sshapi_harness as h

logging.getLogger("paramiko").addHandler(logging.NullHandler())

CONNECTIONS = r.env_int("SSHAPI_FLOOD_CONNECTIONS", 300)
VERSION = b"SSH-2.0-flood_0.1\r\n"
# A packet length far above what the service accepts, then random bytes.
GARBAGE = b"\xff\xff\xff\xf0" + b"\x00" * 4
LISTEN_BACKLOG = 128  # the service widens the 10 of libssh


def open_flood(port, count, payload=None, timeout=60.0):
    """Open `count` non-blocking connections at once; when payload is given
    send it on each as soon as it is connected. Returns (sockets connected,
    refused or failed count, seconds until all were connected)."""
    socks = []
    failed = 0
    start = time.monotonic()
    pending = {}
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        err = s.connect_ex(("127.0.0.1", port))
        if err not in (0, errno.EINPROGRESS):
            s.close()
            failed += 1
            continue
        pending[s.fileno()] = s
    poller = select.poll()
    for fd in pending:
        poller.register(fd, select.POLLOUT)
    deadline = start + timeout
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(500):
            s = pending.pop(fd)
            poller.unregister(fd)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                s.close()
                failed += 1
                continue
            if payload is not None:
                try:
                    s.send(payload)
                except OSError:
                    pass
            socks.append(s)
    for s in pending.values():
        s.close()
        failed += 1
    return socks, failed, time.monotonic() - start


def peer_states(socks):
    """(closed by the peer, reset, still open) over the sockets."""
    closed = reset = still = 0
    for s in socks:
        s.setblocking(False)
        try:
            while s.recv(65536):
                pass
            closed += 1
        except BlockingIOError:
            still += 1
        except OSError:
            reset += 1
    return closed, reset, still


def close_all(socks):
    for s in socks:
        try:
            s.close()
        except OSError:
            pass


def timed_login(port, timeout=60.0):
    """Seconds for a client to connect, log in, open a shell and get a
    command answered through the relay."""
    start = time.monotonic()
    client = h.connect(port, timeout=timeout)
    try:
        chan = h.open_shell(client, timeout=timeout)
        h.recv_until(chan, b"device> ", timeout=timeout)
        h.ping(chan, timeout=timeout)
        return time.monotonic() - start
    finally:
        client.close()


class FloodCase(r.ResilienceCase):
    NOFILE = None  # descriptor limit of the service; None: the test's own

    @classmethod
    def setUpClass(cls):
        cls.limits = r.raise_nofile(CONNECTIONS + 512)
        cls.dir = h.make_test_dir(cls.__name__)
        preexec = None
        if cls.NOFILE is not None:
            # Soft and hard limit, in the service only: it raises its soft
            # limit to the hard one at start.
            nofile = cls.NOFILE

            def preexec():
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        cls.telnet, cls.port, cls.svc = h.start_relay(cls.addClassCleanup, cls.dir, cli=True,
                                                      log_level="INFO", preexec_fn=preexec)


def open_paced(port, count, svc, base_threads, batch=8, timeout=60.0):
    """Open `count` silent connections in batches, each batch once the
    service has taken the previous one (so none is left in the listen
    queue). Returns the sockets."""
    socks = []
    deadline = time.monotonic() + timeout
    while len(socks) < count and time.monotonic() < deadline:
        for _ in range(min(batch, count - len(socks))):
            socks.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        want = base_threads + len(socks)
        try:
            h.wait_until(lambda: svc.threads() >= want, max(0.1, deadline - time.monotonic()),
                         f"{want} threads", interval=0.01)
        except AssertionError:
            break
    return socks


def wait_steady(svc, quiet=2.0, timeout=60.0):
    """Wait until the thread count has not changed for `quiet` seconds;
    returns it."""
    last = svc.threads()
    since = time.monotonic()
    deadline = since + timeout
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = svc.threads()
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
    return last


class FloodTest(FloodCase):
    def logins(self):
        times = [timed_login(self.port) for _ in range(3)]
        self.assert_alive()
        self.assertLess(max(times), 10.0)
        return times

    def finish(self, kind, base, socks, text, **figures):
        close_all(socks)
        reap_s = r.wait_back_to("flood", self.svc, base, timeout=60)
        self.assert_alive()
        after = r.snapshot(self.svc)
        r.report("flood", f"{kind}: {text}; back to fds {after['fds']} threads {after['threads']} "
                 f"{reap_s:.2f}s after the flood closed",
                 kind=kind, connections=CONNECTIONS, base=base, after=after,
                 reap_s=round(reap_s, 3), **figures)

    def test_silent_connections_at_once(self):
        """Opened at once. What does not fit the listen queue is answered
        by SYN cookies, and the service never sees those until they send
        something (with libssh's own queue of 10, only 23 to 59 of 300)."""
        svc = self.svc
        base = self.baseline()
        socks, failed, connect_s = open_flood(self.port, CONNECTIONS, None)
        held = wait_steady(svc) - base["threads"]
        peak = r.snapshot(svc)
        login_s = self.logins()
        self.finish("silent-at-once", base, socks,
                    f"{len(socks)} of {CONNECTIONS} connected on the client side in "
                    f"{connect_s:.2f}s ({failed} failed); the service held {held} of them "
                    f"(listen queue {LISTEN_BACKLOG}); legitimate login + shell + answer: "
                    f"{', '.join(f'{t:.3f}s' for t in login_s)}",
                    established=len(socks), failed=failed, held=held, peak=peak,
                    login_s=[round(t, 3) for t in login_s])
        self.assertGreaterEqual(held, min(CONNECTIONS, LISTEN_BACKLOG))

    def test_silent_connections_held(self):
        """Paced so that every connection reaches the service: all are held
        at the same time, each a session thread waiting in the key exchange."""
        svc = self.svc
        base = self.baseline()
        start = time.monotonic()
        socks = open_paced(self.port, CONNECTIONS, svc, base["threads"])
        open_s = time.monotonic() - start
        held = svc.threads() - base["threads"]
        peak = r.snapshot(svc)
        per_conn = (peak["rss_kib"] - base["rss_kib"]) / max(1, held)
        login_s = self.logins()
        self.finish("silent-held", base, socks,
                    f"{held} of {CONNECTIONS} silent connections held at once after "
                    f"{open_s:.2f}s; threads {base['threads']} -> {peak['threads']}, fds "
                    f"{base['fds']} -> {peak['fds']}, rss {base['rss_kib']} -> "
                    f"{peak['rss_kib']} KiB ({per_conn:.1f} KiB per connection); legitimate "
                    f"login + shell + answer: {', '.join(f'{t:.3f}s' for t in login_s)}; "
                    f"service limits: open files {r.proc_limit(svc, 'Max open files')}, "
                    f"processes {r.proc_limit(svc, 'Max processes')}",
                    held=held, open_s=round(open_s, 3), peak=peak,
                    rss_per_conn_kib=round(per_conn, 1), login_s=[round(t, 3) for t in login_s])
        self.assertEqual(held, CONNECTIONS)

    def test_garbage_after_identification(self):
        """Identification line, then a packet the service cannot accept:
        it drops each one by itself, although the clients stay."""
        svc = self.svc
        base = self.baseline()
        keys = svc.log_count(r"new session key:")
        errs = svc.log_count(r"key exchange err")
        socks, failed, connect_s = open_flood(self.port, CONNECTIONS,
                                              VERSION + GARBAGE + os.urandom(248))
        login_s = self.logins()
        # A connection whose handshake overflowed the listen queue reaches
        # the service only when a retransmission of its bytes finds room.
        start = time.monotonic()
        count = {"n": -1, "since": start}

        def steady():
            n = svc.log_count(r"new session key:")
            if n != count["n"]:
                count["n"], count["since"] = n, time.monotonic()
            return n >= keys + len(socks) + len(login_s) or time.monotonic() - count["since"] > 5
        h.wait_until(steady, 90, "flood connections accepted", interval=0.2)
        accepted = count["n"] - keys - len(login_s)
        dropped_s = r.wait_back_to("flood", svc, base, timeout=60)
        dropped = svc.log_count(r"key exchange err") - errs
        closed, reset, still = peer_states(socks)
        self.finish("garbage", base, socks,
                    f"{len(socks)} of {CONNECTIONS} connected in {connect_s:.2f}s ({failed} "
                    f"failed); legitimate login + shell + answer: "
                    f"{', '.join(f'{t:.3f}s' for t in login_s)}; {accepted} reached the "
                    f"service, which refused {dropped} key exchanges and had ended every flood "
                    f"session {dropped_s:.2f}s after the logins; on the client side {closed} "
                    f"closed by the service, {reset} reset, {still} still open (never accepted)",
                    established=len(socks), failed=failed, login_s=[round(t, 3) for t in login_s],
                    accepted=accepted, kex_refused=dropped, dropped_s=round(dropped_s, 3),
                    client_closed=closed, client_reset=reset, client_open=still)
        self.assertEqual(failed, 0)


class DescriptorLimitTest(FloodCase):
    """The service's descriptor limit below the size of the flood."""
    NOFILE = 64

    def test_flood_beyond_descriptor_limit(self):
        svc = self.svc
        count = min(CONNECTIONS, 200)
        base = self.baseline()
        mark = len(svc.log_text())
        socks, failed, _ = open_flood(self.port, count, None)
        try:
            h.wait_until(lambda: "Too many open files" in svc.log_text()[mark:], 30,
                         "an accept that failed for want of descriptors")
            held = svc.threads() - base["threads"]
            # while the limit is reached the listener must not spin
            cpu = svc.cpu_time()
            time.sleep(2.0)
            busy = svc.cpu_time() - cpu
            self.assert_alive()
            errors = svc.log_text()[mark:].count("Too many open files")
        finally:
            close_all(socks)
        # the queued connections are accepted and dropped in turn; then a
        # legitimate client is served again
        reap_s = r.wait_back_to("flood", svc, base, timeout=120)
        login = timed_login(self.port)
        r.wait_back_to("flood", svc, base, timeout=30)
        r.report("flood", f"descriptor limit 64: {len(socks)} of {count} connections "
                 f"established ({failed} failed), the service held {held} sessions, logged "
                 f"{errors} failed accepts, used {busy:.2f}s of CPU in 2s at the limit; back to "
                 f"baseline {reap_s:.2f}s after the flood closed, then a login took {login:.3f}s",
                 kind="nofile-64", held=held, accept_errors=errors, cpu_2s=round(busy, 3),
                 reap_s=round(reap_s, 3), login_s=round(login, 3))
        self.assertLess(busy, 0.5, "the listener spins while descriptors are exhausted")
        self.assertLess(login, 10.0)


if __name__ == "__main__":
    unittest.main()
