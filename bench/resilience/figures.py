#!/usr/bin/env python3
"""Resilience figures of sshapi, measured on loopback (the assertions are
the e2e tests'): connections held in the handshake and what each costs,
a garbage flood, and many sessions relaying at once.

    figures.py --flood N --sessions N --seconds S --out FILE

Started by run.sh, which sets what the e2e harness reads (SSHAPI_BIN,
FAKETELNET_BIN, SSHAPI_TEST_ROOT, SSHAPI_TEST_TMP). Each figure is printed
and appended to FILE as one JSON object per line.
"""

import argparse
import json
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))
import sshapi_harness as h  # noqa: E402


def snapshot(svc):
    return {"fds": svc.count_fds(), "threads": svc.threads(), "rss_kib": svc.rss_kib()}


def timed_login(port):
    start = time.monotonic()
    with h.connect(port, timeout=60) as client:
        h.ping(h.open_shell(client, timeout=60), timeout=60)
    return round(time.monotonic() - start, 3)


def back_to_base(svc, base, timeout=120):
    """Seconds until every session is reaped and fds and threads are at base."""
    start = time.monotonic()
    h.wait_until(lambda: svc.settled() and svc.count_fds() == base["fds"]
                 and svc.threads() == base["threads"], timeout, "the baseline", interval=0.1)
    return round(time.monotonic() - start, 3)


def silent_flood(svc, port, count):
    """Silent connections opened in batches, each once the service has taken
    the previous one, so that all of them are held at once."""
    base, socks = snapshot(svc), []
    start = time.monotonic()
    while len(socks) < count and time.monotonic() - start < 120:
        socks += [socket.create_connection(("127.0.0.1", port))
                  for _ in range(min(8, count - len(socks)))]
        h.wait_until(lambda: svc.threads() >= base["threads"] + len(socks), 30, "the batch held",
                     interval=0.01)
    held, peak = svc.threads() - base["threads"], snapshot(svc)
    logins = [timed_login(port) for _ in range(3)]
    for s in socks:
        s.close()
    return dict(held=held, open_s=round(time.monotonic() - start, 3), base=base, peak=peak,
                rss_per_conn_kib=round((peak["rss_kib"] - base["rss_kib"]) / max(1, held), 1),
                login_s=logins, reap_s=back_to_base(svc, base))


def garbage_flood(svc, port, count):
    """An identification line, then a packet length the service cannot take."""
    base, keys = snapshot(svc), svc.log_count(r"new session key:")
    errors, socks = svc.log_count(r"key exchange err"), []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"SSH-2.0-flood_0.1\r\n\xff\xff\xff\xf0" + os.urandom(252))
        socks.append(s)
    logins = [timed_login(port) for _ in range(3)]
    reap = back_to_base(svc, base)
    for s in socks:
        s.close()
    return dict(accepted=svc.log_count(r"new session key:") - keys - len(logins),
                kex_refused=svc.log_count(r"key exchange err") - errors, login_s=logins,
                reap_s=reap)


def sessions(svc, port, count, seconds):
    """count sessions asking the device CLI for 16 KiB at a time for seconds."""
    base, rounds, cpu = snapshot(svc), [0] * count, svc.cpu_time()
    peak = dict(base)
    deadline = time.monotonic() + seconds

    def run(i):
        with h.connect(port, timeout=60) as client:
            chan = h.open_shell(client, timeout=60)
            for _ in range(1000000):
                if time.monotonic() > deadline:
                    return
                chan.sendall(b"send 16384\r")
                h.recv_until(chan, lambda d: d.endswith(h.PROMPT) and len(d) > 16384, 60)
                rounds[i] += 1
    workers = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
    for w in workers:
        w.start()
    while any(w.is_alive() for w in workers) and time.monotonic() < deadline + 120:
        now = snapshot(svc)
        peak = {k: max(peak[k], now[k]) for k in peak}
        time.sleep(0.5)
    return dict(sessions=count, seconds=seconds, rounds=sum(rounds),
                cpu_s=round(svc.cpu_time() - cpu, 2), base=base, peak=peak,
                reap_s=back_to_base(svc, base), after=snapshot(svc))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--flood", type=int, default=300)
    ap.add_argument("--sessions", type=int, default=20)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    h.ensure_host_keys()
    h.raise_nofile(args.flood + 4 * args.sessions + 512)
    workdir = h.make_test_dir("figures")
    cleanups = []
    try:
        telnet, port, svc = h.start_relay(cleanups.append, workdir, cli=True, log_level="INFO")
        h.wait_until(svc.settled, 30, "start-up complete")
        for name, figure in (("silent-flood", lambda: silent_flood(svc, port, args.flood)),
                             ("garbage-flood", lambda: garbage_flood(svc, port, args.flood)),
                             ("sessions", lambda: sessions(svc, port, args.sessions,
                                                           args.seconds))):
            record = {"figure": name, "time": time.time(), **figure(),
                      "sanitizer": svc.sanitizer()}
            print(json.dumps(record), flush=True)
            with open(args.out, "a") as f:
                f.write(json.dumps(record) + "\n")
        svc.check_no_crash()
    finally:
        for cleanup in reversed(cleanups):
            cleanup()


if __name__ == "__main__":
    main()
