"""Soak: concurrent sessions relay their own verified byte streams both ways
while clients drop out at random; then descriptors and threads are back at
their baseline and resident memory within 10 % of it (plain build only, not
under an emulator; the short run allows 2 MiB more). Size:
SSHAPI_SOAK_SESSIONS and SSHAPI_SOAK_SECONDS (CI: 20 for 10 s;
bench/resilience/run.sh --long: 200 for 60 s)."""

import os
import random
import socket
import struct
import threading
import time
import unittest

import sshapi_harness as h

SESSIONS = int(os.environ.get("SSHAPI_SOAK_SESSIONS") or 20)
SECONDS = int(os.environ.get("SSHAPI_SOAK_SECONDS") or 10)
SEED = int(os.environ.get("SSHAPI_SOAK_SEED") or 20240607)
STEP_TIMEOUT = 60.0  # one step of one round, under load


class SoakTest(h.RelayCase):
    @classmethod
    def setUpClass(cls):
        h.raise_nofile(4 * SESSIONS + 256)
        super().setUpClass()

    def cycle(self, rng, tag, deadline):
        """One connection with a shell and a few rounds against the device CLI:
        the client's own text X (no CR, LF or NUL) in random pieces, echoed
        exactly; a lone CR, echoed CR LF, then "% unknown command: X" (X
        reached telnet intact); "send N", echoed, then N pattern bytes. At
        random the client leaves (FIN or RST) in the middle of a step."""
        with h.connect(self.port, timeout=STEP_TIMEOUT) as client:
            chan = h.open_shell(client, pty=rng.random() < 0.5, timeout=STEP_TIMEOUT)
            self.assertEqual(h.recv_until(chan, h.PROMPT, timeout=STEP_TIMEOUT), h.PROMPT)
            rounds = rng.randint(1, 4)
            drop_at = (rng.randrange(rounds), rng.randrange(3)) if rng.random() < 0.3 else None
            for rnd in range(rounds):
                if rnd > 0 and time.monotonic() > deadline:
                    break
                x = tag + b"R%d:" % rnd + bytes(b if b not in (0, 10, 13) else 0x40 + b % 16
                                                for b in rng.randbytes(rng.randint(1, 16384)))
                n = rng.randint(1, 262144)
                cmd = b"send %d\r" % n
                steps = [(x, x), (b"\r", b"\r\n% unknown command: " + x + b"\r\n" + h.PROMPT),
                         (cmd, cmd + h.pattern(n) + h.PROMPT)]
                for step, (data, expect) in enumerate(steps):
                    if drop_at == (rnd, step):  # part of the data, then gone: RST or FIN
                        chan.sendall(data[:rng.randint(0, len(data))])
                        if rng.random() < 0.5:
                            client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                   struct.pack("ii", 1, 0))
                        else:
                            client.sock.shutdown(socket.SHUT_RDWR)
                        return client.sock.close()
                    pos = 0
                    while pos < len(data):  # in random pieces
                        chan.sendall(data[pos:pos + (size := rng.randint(2, 8192))])
                        pos += size
                    got = h.recv_until(chan, len(expect), timeout=STEP_TIMEOUT,
                                       max_bytes=len(expect) + 65536)
                    # a command whose CR arrived in a packet of its own (the
                    # window split it) is echoed CR LF, by the lone-CR rule
                    alone = cmd[:-1] + b"\r\n" + expect[len(cmd):]
                    if step == 2 and got == alone[:-1]:
                        got += h.recv_until(chan, 1, timeout=STEP_TIMEOUT)
                    if got != expect and not (step == 2 and got == alone):
                        bad = next((i for i, (a, b) in enumerate(zip(got, expect)) if a != b),
                                   min(len(got), len(expect)))
                        raise AssertionError(f"round {rnd} step {step}: at {bad}: "
                                             f"{got[bad:bad + 40]!r} vs {expect[bad:bad + 40]!r}")

    def run_sessions(self, seconds):
        """Every session runs cycles until the deadline; returns their count."""
        deadline = time.monotonic() + seconds
        cycles, errors = [0] * SESSIONS, []

        def session(index):
            rng = random.Random(SEED * 1000 + index)
            while time.monotonic() < deadline and cycles[index] < 10000:
                try:
                    self.cycle(rng, b"S%dC%d:" % (index, cycles[index]), deadline)
                except Exception as exc:  # shown below
                    return errors.append(f"session {index} cycle {cycles[index]}: {exc!r}")
                cycles[index] += 1
        workers = [threading.Thread(target=session, args=(i,), daemon=True)
                   for i in range(SESSIONS)]
        for w in workers:
            w.start()
        for w in workers:  # a running round ends after the deadline, bounded by its steps
            w.join(max(0.1, deadline + 4 * STEP_TIMEOUT - time.monotonic()))
        self.assertFalse([w for w in workers if w.is_alive()], "sessions still running")
        self.assertEqual(errors[:10], [])
        return sum(cycles)

    def test_soak(self):
        # the warm-up puts into the baseline what the allocator keeps for
        # reuse once the service has carried this load
        self.run_sessions(max(3, SECONDS // 5))
        fds, threads = self.settle(timeout=60)
        rss = self.svc.rss_kib()
        self.assertGreater(self.run_sessions(SECONDS), SESSIONS)
        self.assert_alive()
        self.assert_back_to(fds, threads, timeout=60)
        if self.svc.sanitizer() is None and not os.environ.get("SSHAPI_EMULATOR"):
            # a small base moves by a megabyte with the allocator's arenas alone
            slack_kib = 0 if SESSIONS >= 100 else 2048
            self.assertLessEqual(self.svc.rss_kib(), rss * 1.10 + slack_kib,
                                 "resident memory grew by more than 10 %")


if __name__ == "__main__":
    unittest.main()
