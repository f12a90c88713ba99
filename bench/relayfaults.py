#!/usr/bin/python3
"""Eight relay and admission faults, reproduced against one or more sshapi
binaries side by side (before and after a change), one figure per fault.

  python3 bench/relayfaults.py --sshapi OLD=build-old/service/sshapi \\
      --sshapi NEW=build/service/sshapi --faketelnet build/tools/faketelnet \\
      [--rows 1,2,...] [--reps 2] [--json out.json]

Needs SSHAPI_TEST_ROOT (the prefix whose etc/ssh holds the host keys; the
keys are passed with -r, -e and --ed25519, so binaries built with another
path prefix use the same ones) and SSHAPI_TEST_TMP (scratch). Uses the
end-to-end harness and paramiko; all traffic on loopback, every wait and
loop bounded, every row in about a minute at most. A row that fails reports
its error and the next one runs.

Rows (LENIENT: the e2e tests' lifted pre-login limits; DEFAULT: none given):
  1 close drain       24 MiB on a shell into a telnet service reading 4 MB/s,
                      echo drained; end of file and close at once: bytes the
                      telnet service got after the preview line, vs sent
  2 vanished client   the same, the connection closed right after the last
                      send: bytes delivered vs sent (and taken, when the
                      service logs its end line)
  3 unread replies    a logged-in client stops reading and sends messages of
                      an unknown type for 5 s: RSS growth, messages sent,
                      whether the session still answers a ping afterwards
  4 honest stderr     12 MiB on the data stream, a byte on the extended
                      stream every 2 MiB, telnet reading 1 MB/s, then close:
                      bytes delivered, whether the client was cut off
                      ("beyond the window" in the log)
  5 stalled telnet    one session, as many channels as it gets (up to 64),
                      4 MiB sent on each (unread) into a telnet service that
                      never accepts: channels opened, RSS growth
  6 squatters         (DEFAULT) 8 addresses hold 8 silent connections each
                      and reconnect when dropped; a ninth address logs in 5
                      times: logins that got through
  7 connect spam      (DEFAULT) 10 s of connect-and-close from one address:
                      connections, log growth at INFO
  8 mistyping user    (DEFAULT, login penalty 30 s) from one address: two
                      connections with three wrong passwords each, then a
                      good login, four times: whether a hold started
"""

import argparse
import contextlib
import json
import os
import random
import re
import select
import socket
import stat
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sshapi_harness as h  # noqa: E402  (services, fake telnet, clients, waits)

import paramiko  # noqa: E402

MiB = 1 << 20
FNV_OFFSET, FNV_PRIME = 0xCBF29CE484222325, 0x100000001B3
HOLD_RX = r"refused for \d+ s"
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)
BEYOND_RX = r"beyond the window"


class RowError(Exception):
    pass


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- data

def bulk_data(size, seed):
    """size bytes without NUL and CR (the echo then mirrors the input) and
    without '!' (the marker sent on the extended stream)."""
    block = random.Random(seed).randbytes(1 << 16).translate(
        bytes(b if b not in (0, 13, 33) else b + 1 for b in range(256)))
    return (block * (size // len(block) + 1))[:size]


def fnv1a64(chunks):
    value = FNV_OFFSET
    for chunk in chunks:
        for byte in chunk:
            value = ((value ^ byte) * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return value


_fnv_cache = {}


def cached_fnv(key, chunks):
    if key not in _fnv_cache:
        _fnv_cache[key] = fnv1a64(chunks)
    return _fnv_cache[key]


# ---------------------------------------------------------------- running one binary

class Run:
    """What one row runs against one binary: a scratch directory, the fake
    telnet service and sshapi, stopped (and checked for a crash) at the end."""

    def __init__(self, binary, name):
        self.binary, self.workdir = binary, h.make_test_dir(name)
        self.stack = contextlib.ExitStack()
        self.svc = None
        self.crash = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stack.close()
        if self.svc is not None:
            try:
                self.svc.finish()
            except AssertionError as err:  # a crash is a result, not a row failure
                self.crash = str(err).splitlines()[0]
            remove_own_pipes(self.svc)
        return False

    def telnet(self, **mode):
        telnet = h.FakeTelnet(self.workdir)
        self.stack.callback(telnet.stop)
        return telnet.start(port=h.free_port(), **mode)

    def service(self, telnet_port, lenient=True, extra=()):
        args = ["-p", str(h.free_port()), "-t", str(telnet_port), "-U", h.USER,
                "-P", h.md5hex(h.PASSWORD), "-r", h.host_key_path("rsa"),
                "-e", h.host_key_path("ecdsa"), "--ed25519", h.host_key_path("ed25519")]
        args += list(h.LENIENT_ARGS if lenient else ()) + list(extra)
        os.environ["SSHAPI_BIN"] = self.binary  # read by the harness when it starts sshapi
        self.svc = h.SshApi(self.workdir)
        self.svc.start(args, log_level="INFO")
        # figures from a service whose start-up is complete (its console
        # thread and inotify watch come about 2 s after the listener)
        with contextlib.suppress(AssertionError):
            h.wait_until(self.svc.settled, 10, "start-up complete")
        return self.svc

    def later(self, fn, *args):
        self.stack.callback(fn, *args)


def remove_own_pipes(svc):
    """The console pipes of svc's port under the binary's own path prefix
    (the harness removes those under SSHAPI_TEST_ROOT only)."""
    m = re.search(r"config file (/\S+)/config/param\.xml", svc.log_text())
    if not m or not svc.port:
        return
    for kind in ("request", "response"):
        path = f"{m[1]}/var/{kind}{svc.port}"
        with contextlib.suppress(OSError):
            if stat.S_ISFIFO(os.lstat(path).st_mode):
                os.unlink(path)


def hang_up(transport):
    """Shut the socket, then close: a sender blocked on it is released."""
    with contextlib.suppress(OSError):
        transport.sock.shutdown(socket.SHUT_RDWR)
    with contextlib.suppress(Exception):
        transport.close()


def drain(chan, stop, seconds):
    """Read and drop what chan receives, in a thread, until it ends, stop is
    set or seconds have passed; returns the thread and a byte counter."""
    got = [0]

    def read():
        deadline = time.monotonic() + seconds
        while not stop.is_set() and time.monotonic() < deadline:
            try:
                if not select.select([chan], [], [], 0.5)[0]:
                    continue
                data = chan.recv(1 << 18)
            except (OSError, EOFError):
                return
            if not data:
                return
            got[0] += len(data)
    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    return thread, got


def end_line(svc, port, timeout):
    """(bytes from client, reason) of the end line of the session of the
    client's source port, or None (a service that writes no such line)."""
    rx = (rf"ended: user \[[^\]]*\] from 127\.0\.0\.1 port {port}, [\d.]+ s, (\d+) bytes from "
          r"client, \d+ bytes to client, \d+ channels, ([a-z ]+)")
    try:
        m = svc.wait_log(rx, timeout=timeout)
    except AssertionError:
        return None
    return int(m[1]), m[2].strip()


def telnet_closed(telnet, timeout):
    """Whether the service closed the first telnet connection within timeout."""
    try:
        telnet.wait_done(1, timeout=timeout)
        return True
    except AssertionError:
        return False


def delivered(telnet, n=1):
    """Bytes telnet connection n got after the preview line, and its hash."""
    summary = telnet.summary(n)
    if not summary:
        return None, None
    return summary["bytes"] - len(telnet.received(n)), summary.get("fnv1a64")


def reading_shell(run, **telnet_mode):
    """(telnet, svc, transport, chan): a shell on a new service whose client
    reads (and drops) all it receives until the run ends."""
    telnet = run.telnet(**telnet_mode)
    svc = run.service(telnet.port)
    transport = h.connect(svc.port)
    run.later(hang_up, transport)
    chan = h.open_shell(transport)
    chan.settimeout(60)
    stop = threading.Event()
    run.later(stop.set)
    drain(chan, stop, 120)
    return telnet, svc, transport, chan


# ---------------------------------------------------------------- rows

def row_close_drain(binary, name, vanish=False):
    data = bulk_data(24 * MiB, 1)
    with Run(binary, name) as run:
        telnet, svc, transport, chan = reading_shell(run, read_rate=4000000, sink=True)
        t0 = time.monotonic()
        sent, error = 0, None
        try:
            for off in range(0, len(data), MiB):
                chan.sendall(data[off:off + MiB])
                sent = off + MiB
        except (OSError, EOFError) as err:
            error = f"send failed after {sent} bytes: {err!r}"
        send_s = time.monotonic() - t0
        port = transport.sock.getsockname()[1]
        if vanish:
            transport.close()
        else:
            with contextlib.suppress(OSError, EOFError):
                chan.shutdown_write()
            chan.close()
        ended = telnet_closed(telnet, 60)
        got, fnv = delivered(telnet)
        taken = end_line(svc, port, 5 if ended else 1)
        out = dict(sent=sent, delivered=got, send_s=round(send_s, 1),
                   telnet_closed=ended, taken=taken[0] if taken else None,
                   end_reason=taken[1] if taken else None, send_error=error)
        if got is not None and got == sent == len(data):
            out["content_ok"] = fnv == cached_fnv(("data", 1), [data])
        out["beyond_window"] = bool(re.search(BEYOND_RX, svc.log_text()))
    out["crash"] = run.crash
    if not ended:
        out["summary"] = f"{sent} sent, telnet connection still open after 60 s"
    else:
        out["summary"] = f"{got} of {sent} delivered" + (
            f" ({got - sent:+d})" if got != sent else "") + (
            " content ok" if out.get("content_ok") else " CONTENT DIFFERS"
            if out.get("content_ok") is False else "")
        if taken:
            out["summary"] += f"; service took {taken[0]} ({taken[1]})"
            if got < taken[0]:
                out["summary"] += f", {taken[0] - got} of it LOST"
    return out


def row_vanish(binary, name):
    return row_close_drain(binary, name, vanish=True)


def row_unread_replies(binary, name):
    with Run(binary, name) as run:
        telnet = run.telnet(cli=True)
        svc = run.service(telnet.port)
        proxy = h.PausableProxy(svc.port)
        run.later(proxy.close)
        client = h.connect(proxy.port)
        run.later(hang_up, client)
        chan = h.open_shell(client)
        h.ping(chan)
        rss0 = svc.rss_kib()
        proxy.flowing.clear()
        count, stop = [0], threading.Event()

        def send():
            deadline = time.monotonic() + 5.0
            with contextlib.suppress(Exception):  # the connection may end meanwhile
                while time.monotonic() < deadline and not stop.is_set():
                    client.packetizer.send_message(h.message(bytes([200])))
                    count[0] += 1
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        sender.join(5.0)
        rss5, sent5 = svc.rss_kib(), count[0]
        stop.set()
        proxy.flowing.set()
        served, why = True, None
        t0 = time.monotonic()
        try:
            h.ping(chan, timeout=45)
        except (AssertionError, OSError, EOFError) as err:
            served, why = False, str(err).splitlines()[0][:120]
        ping_s = time.monotonic() - t0
        sender.join(10)
        rss_after = svc.rss_kib()
        out = dict(rss_growth_kib=rss5 - rss0, messages=sent5, served=served,
                   ping_after_s=round(ping_s, 1), rss_growth_after_kib=rss_after - rss0,
                   alive=client.is_active(), why=why)
    out["crash"] = run.crash
    out["summary"] = (f"+{rss5 - rss0} KiB after 5 s, {sent5} messages, "
                      + (f"served (ping {ping_s:.1f} s)" if served else "NOT served"))
    return out


def row_honest_stderr(binary, name):
    chunk, chunks = 2 * MiB, 6
    data = bulk_data(chunk * chunks, 2)
    with Run(binary, name) as run:
        # recorded: the '!' may overtake queued data
        telnet, svc, transport, chan = reading_shell(run, read_rate=1000000)
        sent, error = 0, None
        t0 = time.monotonic()
        try:
            for i in range(chunks):
                for off in range(i * chunk, (i + 1) * chunk, 256 << 10):
                    chan.sendall(data[off:off + (256 << 10)])
                    sent += 256 << 10
                if time.monotonic() - t0 > 50:
                    raise RowError("not sent in 50 s")
                chan.sendall_stderr(b"!")
                sent += 1
        except (OSError, EOFError, RowError) as err:
            error = f"send failed after {sent} bytes: {err!r}"
        chan.close()
        ended = telnet_closed(telnet, 40)
        got = telnet.received(1)
        body = got[len(h.PREVIEW):] if got.startswith(h.PREVIEW) else got
        full = chunk * chunks + chunks
        out = dict(sent=sent, delivered=len(body), expected=full, telnet_closed=ended,
                   lost=max(sent - len(body), 0),
                   send_error=error, beyond_window=bool(re.search(BEYOND_RX, svc.log_text())),
                   markers=body.count(b"!"))
        stripped = body.replace(b"!", b"")
        out["content_ok"] = stripped == data[:len(stripped)]  # an intact prefix
        out["markers_in_place"] = body == b"".join(
            data[i * chunk:(i + 1) * chunk] + b"!" for i in range(chunks))
        del got, body, stripped
    out["crash"] = run.crash
    out["summary"] = (f"{out['delivered']} of {full} delivered, "
                      + ("CUT OFF (beyond the window)" if out["beyond_window"] else "not cut off")
                      + ("" if ended else ", telnet connection still open")
                      + (f", {sent - out['delivered']} of what was sent LOST"
                         if out["delivered"] < sent else "")
                      + ("" if out["content_ok"] else ", DATA CHANGED")
                      + (f", {out['markers']}/{chunks} stderr bytes"
                         + ("" if out["markers_in_place"] else " (reordered)")))
    return out


def row_stalled_telnet(binary, name):
    stalled = socket.create_server(("127.0.0.1", h.free_port()), backlog=256)
    try:
        with Run(binary, name) as run:
            svc = run.service(stalled.getsockname()[1])
            rss0 = svc.rss_kib()
            transport = h.connect(svc.port)
            run.later(hang_up, transport)
            chans, refusal = [], None
            for _ in range(64):
                try:
                    chans.append(h.open_shell(transport, timeout=10))
                except (paramiko.SSHException, EOFError, OSError) as err:
                    refusal = type(err).__name__
                    break
            sent = [0] * len(chans)

            def send(i, chan):
                deadline = time.monotonic() + 15
                chan.settimeout(0.5)
                while sent[i] < 4 * MiB and time.monotonic() < deadline:
                    try:
                        sent[i] += chan.send(b"x" * 32000 + b"\r")
                    except socket.timeout:
                        pass
                    except (OSError, EOFError):
                        break
            threads = [threading.Thread(target=send, args=(i, c), daemon=True)
                       for i, c in enumerate(chans)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(20)
            time.sleep(1)  # what is on its way lands
            rss1 = svc.rss_kib()
            out = dict(channels=len(chans), refusal=refusal, taken=sum(sent),
                       rss_growth_mib=round((rss1 - rss0) / 1024, 1), alive=transport.is_active())
        out["crash"] = run.crash
    finally:
        stalled.close()
    out["summary"] = (f"{out['channels']} channels, +{out['rss_growth_mib']} MiB RSS, "
                      f"{out['taken'] / MiB:.1f} MiB taken")
    return out


class Squatters:
    """per_addr silent connections from each address, kept up by a thread
    that reconnects whenever one is dropped."""

    def __init__(self, port, addrs, per_addr, seconds):
        self.port, self.seconds = port, seconds
        self.slots = [[addr, None, False] for addr in addrs for _ in range(per_addr)]
        self.stop = threading.Event()
        self.drops = self.connects = self.failed = 0
        self.thread = threading.Thread(target=self._keep, daemon=True)
        self.thread.start()

    def admitted(self):
        return sum(1 for _, sock, banner in self.slots if sock is not None and banner)

    def _keep(self):
        deadline = time.monotonic() + self.seconds
        while not self.stop.is_set() and time.monotonic() < deadline:
            for slot in self.slots:
                if slot[1] is None and not self.stop.is_set():
                    try:
                        slot[1] = socket.create_connection(
                            ("127.0.0.1", self.port), timeout=2, source_address=(slot[0], 0))
                        slot[2] = False
                        self.connects += 1
                    except OSError:
                        self.failed += 1
            live = [slot for slot in self.slots if slot[1] is not None]
            if not live:
                time.sleep(0.05)
                continue
            ready = select.select([slot[1] for slot in live], [], [], 0.05)[0]
            for slot in live:
                if slot[1] in ready:
                    try:
                        data = slot[1].recv(4096)
                    except OSError:
                        data = b""
                    if data:
                        slot[2] = True  # the identification: admitted
                    else:
                        slot[1].close()
                        slot[1], slot[2] = None, False
                        self.drops += 1
        self.close()

    def close(self):
        self.stop.set()
        for slot in self.slots:
            if slot[1] is not None:
                with contextlib.suppress(OSError):
                    slot[1].close()
                slot[1] = None


def login_and_ping(port, source, timeout=8.0):
    """A login from source, a shell and a ping; None, or why it failed."""
    transport = None
    try:
        transport = h.connect(port, source=(source, 0), timeout=timeout)
        h.ping(h.open_shell(transport, timeout=timeout), timeout=timeout)
        return None
    except (paramiko.SSHException, EOFError, OSError, AssertionError) as err:
        return f"{type(err).__name__}: {str(err).splitlines()[0][:80] if str(err) else ''}"
    finally:
        if transport is not None:
            hang_up(transport)


def row_squatters(binary, name):
    with Run(binary, name) as run:
        telnet = run.telnet(cli=True)
        svc = run.service(telnet.port, lenient=False)
        squat = Squatters(svc.port, [f"127.0.0.{10 + i}" for i in range(8)], 8, 55)
        run.later(squat.close)
        with contextlib.suppress(AssertionError):
            h.wait_until(lambda: squat.admitted() == 64, 15, "64 squatters admitted")
        held = squat.admitted()
        results = []
        for _ in range(5):
            results.append(login_and_ping(svc.port, "127.0.0.20"))
            time.sleep(0.5)
        logins = results.count(None)
        out = dict(logins=logins, tries=5, squatters_held=held, squatter_drops=squat.drops,
                   squatter_connects=squat.connects,
                   failures=sorted({r for r in results if r}))
        squat.close()
    out["crash"] = run.crash
    out["summary"] = (f"{logins}/5 logins ({held} squatting, {squat.drops} drops)"
                      + (f"; {out['failures'][0]}" if out["failures"] else ""))
    return out


def row_connect_spam(binary, name):
    with Run(binary, name) as run:
        telnet = run.telnet(cli=True)
        svc = run.service(telnet.port, lenient=False)
        time.sleep(0.5)
        size0 = len(h.read_file(svc.log_path))
        made = failed = 0
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and made + failed < 200000:
            sock = socket.socket()
            try:
                # the source port is picked at connect, for this destination: the
                # TIME_WAIT left by an earlier run does not slow the bind down
                sock.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
                sock.settimeout(2)
                sock.bind(("127.0.0.30", 0))
                sock.connect(("127.0.0.1", svc.port))
                made += 1
            except OSError:
                failed += 1
                time.sleep(0.01)
            finally:
                sock.close()
        time.sleep(2)  # the service logs the last of them
        text = h.read_file(svc.log_path)[size0:].decode("utf-8", "replace")
        out = dict(connections=made, failed=failed, log_growth_kib=round(len(text) / 1024, 1),
                   log_lines=text.count("\n"),
                   log_bytes_per_connection=round(len(text) / max(made, 1), 1))
    out["crash"] = run.crash
    out["summary"] = (f"{made} connections, log +{out['log_growth_kib']} KiB "
                      f"({out['log_lines']} lines, {out['log_bytes_per_connection']} B a "
                      "connection)")
    return out


def wrong_passwords(port, source, count=3):
    """A connection from source trying count wrong passwords: (attempts
    answered, refused before its login)."""
    try:
        transport = h.connect(port, None, timeout=8, source=(source, 0))
    except (paramiko.SSHException, EOFError, OSError):
        return 0, True
    tried = 0
    try:
        for i in range(count):
            try:
                transport.auth_password(h.USER, f"wrong-{i}")
            except paramiko.AuthenticationException:
                tried += 1
            except (paramiko.SSHException, EOFError, OSError):
                break
    finally:
        hang_up(transport)
    return tried, False


def row_mistyping(binary, name):
    with Run(binary, name) as run:
        telnet = run.telnet(cli=True)
        svc = run.service(telnet.port, lenient=False)
        src, refused, logins, rounds = "127.0.0.40", 0, 0, []
        for _ in range(4):
            wrong = [wrong_passwords(svc.port, src) for _ in range(2)]
            refused += sum(r for _, r in wrong)
            why = login_and_ping(svc.port, src)
            logins += why is None
            rounds.append(dict(wrong_attempts=[t for t, _ in wrong], login=why or "ok"))
        time.sleep(0.5)
        holds = re.findall(r"\[WARN\] connections from 127\.0\.0\.40 " + HOLD_RX,
                           svc.log_text())
        out = dict(hold=bool(holds) or refused > 0, hold_lines=len(holds),
                   refused_connections=refused, good_logins=logins, rounds=rounds)
    out["crash"] = run.crash
    out["summary"] = (("HOLD started" if out["hold"] else "no hold")
                      + f" ({len(holds)} hold lines, {refused} refused), {logins}/4 good logins")
    return out


ROWS = {
    1: ("close drain 24 MiB", row_close_drain),
    2: ("vanished client 24 MiB", row_vanish),
    3: ("unread replies 5 s", row_unread_replies),
    4: ("honest stderr 12 MiB", row_honest_stderr),
    5: ("stalled telnet, channels", row_stalled_telnet),
    6: ("64 squatters, 9th address", row_squatters),
    7: ("connect spam 10 s", row_connect_spam),
    8: ("mistyping user", row_mistyping),
}


# ---------------------------------------------------------------- main

def parse_binary(text):
    label, sep, path = text.partition("=")
    if not sep:
        label, path = text, text
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        raise SystemExit(f"not an executable: {path}")
    return label, path


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 1)[1])
    ap.add_argument("--sshapi", action="append", required=True, metavar="[NAME=]PATH",
                    help="an sshapi binary (repeat for several; labelled NAME or its path)")
    ap.add_argument("--faketelnet", required=True, help="tools/faketelnet binary")
    ap.add_argument("--rows", default=",".join(map(str, ROWS)), help="comma list of rows")
    ap.add_argument("--reps", type=int, default=1, help="runs of each row on each binary")
    ap.add_argument("--json", help="write the results as JSON to this file")
    args = ap.parse_args()

    for var in ("SSHAPI_TEST_ROOT", "SSHAPI_TEST_TMP"):
        if not os.environ.get(var):
            raise SystemExit(f"{var} is not set (the host keys' prefix; a scratch directory)")
    for kind in ("rsa", "ecdsa", "ed25519"):
        if not os.path.exists(h.host_key_path(kind)):
            raise SystemExit(f"no host key {h.host_key_path(kind)} "
                             "(tests/e2e/sshapi_harness.py hostkeys makes them)")
    os.environ["FAKETELNET_BIN"] = os.path.abspath(args.faketelnet)
    os.environ.setdefault("SSHAPI_EMULATOR", "")
    binaries = [parse_binary(b) for b in args.sshapi]
    rows = [int(r) for r in args.rows.split(",") if r.strip()]
    unknown = [r for r in rows if r not in ROWS]
    if unknown:
        raise SystemExit(f"unknown rows {unknown}; rows are {list(ROWS)}")
    h.raise_nofile(4096)

    results = []
    print("| # | fault | binary | run | figure | s |")
    print("|---|---|---|---|---|---|", flush=True)
    for row in rows:
        title, fn = ROWS[row]
        for rep in range(1, args.reps + 1):
            order = binaries if rep % 2 else binaries[::-1]  # drift hits all alike
            for label, path in order:
                log(f"row {row} ({title}) on {label}, run {rep}")
                t0 = time.monotonic()
                try:
                    out = fn(path, f"relayfaults-{row}-{label}-{rep}")
                    error = None
                except Exception as err:  # noqa: BLE001  (reported; the next row runs)
                    frames = traceback.extract_tb(err.__traceback__)
                    ours = [f for f in frames if f.filename == os.path.abspath(__file__)]
                    where = f" (at {ours[-1].name}:{ours[-1].lineno})" if ours else ""
                    out, error = {}, (f"{type(err).__name__}: {err}".splitlines()[0][:200]
                                      + where)
                    log(traceback.format_exc())
                seconds = round(time.monotonic() - t0, 1)
                summary = out.pop("summary", "") if not error else f"ERROR {error}"
                if out.get("crash"):
                    summary += f"; CRASH: {out['crash']}"
                print(f"| {row} | {title} | {label} | {rep} | {summary} | {seconds} |",
                      flush=True)
                results.append(dict(row=row, fault=title, label=label, binary=path, run=rep,
                                    seconds=seconds, error=error, summary=summary, figures=out))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(loadavg=h.read_file("/proc/loadavg", "r").split()[:3],
                           results=results), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
