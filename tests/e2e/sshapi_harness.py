"""Helpers for the end-to-end tests of sshapi.

Runs under /usr/bin/python3 with the standard library and paramiko only.

CTest sets the environment:
  SSHAPI_BIN        the sshapi executable
  FAKETELNET_BIN    the fake device telnet service (tools/faketelnet)
  SSHAPI_TEST_ROOT  prefix under which the service's device paths live
                    (/config, /var, /etc/ssh, /usr/local/etc)
  SSHAPI_TEST_TMP   directory for per-test temporary directories

Every wait here is bounded in time (and so in count): helpers poll for a
condition and raise AssertionError with what they saw when it never comes.

Run as a script, "sshapi_harness.py hostkeys" creates the host keys under
SSHAPI_TEST_ROOT (the CTest fixture does this).
"""

import errno
import hashlib
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

try:
    import paramiko
except ImportError:  # the OpenSSH-only helpers still work
    paramiko = None

DEFAULT_USER = "admin"
DEFAULT_PASSWORD = "secret"
READY_TIMEOUT = 10.0
POLL_INTERVAL = 0.02

# Signals that mean the process crashed rather than was stopped.
CRASH_SIGNALS = {signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE,
                 signal.SIGILL, signal.SIGTRAP, signal.SIGSYS}
CRASH_MARKERS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer",
                 "runtime error", "UndefinedBehaviorSanitizer")


# ---------------------------------------------------------------- config

def _env(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set (run the e2e tests through ctest)")
    return value


def sshapi_bin():
    return _env("SSHAPI_BIN")


def faketelnet_bin():
    return _env("FAKETELNET_BIN")


def test_root():
    return _env("SSHAPI_TEST_ROOT")


def test_tmp():
    path = _env("SSHAPI_TEST_TMP")
    os.makedirs(path, exist_ok=True)
    return path


def make_test_dir(name):
    """A fresh directory under SSHAPI_TEST_TMP, named after the test."""
    safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[-80:]
    return tempfile.mkdtemp(prefix=safe + "-", dir=test_tmp())


def host_key_path(kind):
    """Path of the host key of one kind: 'rsa', 'ecdsa' or 'ed25519'."""
    return os.path.join(test_root(), "etc", "ssh", f"ssh_host_{kind}_key")


HOST_KEY_KINDS = (("rsa", ["-t", "rsa", "-b", "2048"]),
                  ("ecdsa", ["-t", "ecdsa", "-b", "256"]),
                  ("ed25519", ["-t", "ed25519"]))


def ensure_host_keys():
    """Create the missing host keys under SSHAPI_TEST_ROOT/etc/ssh.

    RSA and ECDSA sit at the service's default paths; the Ed25519 key is
    passed with --ed25519. There is no DSA key: the service skips a key file
    that does not exist. Keys appear by rename, so concurrent callers never
    see half-written files.
    """
    key_dir = os.path.join(test_root(), "etc", "ssh")
    os.makedirs(key_dir, exist_ok=True)
    for kind, args in HOST_KEY_KINDS:
        path = host_key_path(kind)
        if os.path.exists(path):
            continue
        work = tempfile.mkdtemp(prefix="keygen-", dir=key_dir)
        try:
            tmp_key = os.path.join(work, "key")
            subprocess.run(["ssh-keygen", "-q", "-N", "", "-C", "sshapi-test", "-f", tmp_key] + args,
                           check=True, stdin=subprocess.DEVNULL, timeout=60)
            os.rename(tmp_key + ".pub", path + ".pub")
            os.rename(tmp_key, path)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return key_dir


# ---------------------------------------------------------------- small helpers

def free_port(host="127.0.0.1"):
    """A TCP port that was free a moment ago (the caller binds it soon after)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


_PATTERN_PERIOD = bytes((i * 31 + 7) & 0xFF for i in range(256))


def pattern(n):
    """The first n bytes of faketelnet's pattern: byte i is (i*31 + 7) mod 256."""
    reps = n // 256 + 1
    return (_PATTERN_PERIOD * reps)[:n]


def md5hex(text):
    """Lowercase MD5 hex digest of a str (UTF-8) or bytes: the stored password form."""
    if isinstance(text, str):
        text = text.encode()
    return hashlib.md5(text).hexdigest()


def fnv1a64(data, value=0xCBF29CE484222325):
    """FNV-1a 64 (as faketelnet --sink reports it); pass value to continue a hash."""
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def add_user_args(name=DEFAULT_USER, password=DEFAULT_PASSWORD):
    """Command-line arguments that admit one user with that password."""
    return ["-U", name, "-P", md5hex(password)]


def wait_until(predicate, timeout, what="condition", interval=POLL_INTERVAL):
    """Poll predicate() until it returns a true value (returned) or timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def _until_check(until):
    """The test of `until` as the readers take it: int, at least that many
    bytes; bytes, a substring; anything else, a callable taking the data."""
    if isinstance(until, int):
        return lambda data: len(data) >= until
    if isinstance(until, (bytes, bytearray)):
        needle = bytes(until)
        return lambda data: needle in data
    return until


def _wait_for_value(fetch, check, timeout, what, show):
    """wait_until(check(fetch())); a timeout also shows show(the value last
    fetched). Returns (that value, what check returned)."""
    state = {}

    def probe():
        state["value"] = fetch()
        return check(state["value"])

    try:
        found = wait_until(probe, timeout, what)
    except AssertionError as exc:
        raise AssertionError(f"{exc}{show(state.get('value'))}") from None
    return state["value"], found


def _stop_process(proc, timeout):
    """SIGTERM, then SIGKILL after timeout; returns the exit status."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


def _read_file(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if "b" in mode else ""


def _tail(text, lines=40):
    return "\n".join(text.splitlines()[-lines:])


# ---------------------------------------------------------------- fake telnet

class FakeTelnet:
    """The fake device telnet service, one process per test.

    start(banner=..., cli=True, send_bytes=N, close_after_preview=True,
    sink=True, echo=True, record_max=N, listen=ADDR, extra_args=[...]).
    Connection n (1, 2, ...) is recorded to <record_dir>/conn-n.bin; its
    summary appears in conn-n.done when it ends.
    """

    def __init__(self, workdir):
        self.workdir = workdir
        self.proc = None
        self.port = None
        self.record_dir = None

    def start(self, banner=None, cli=False, send_bytes=None, close_after_preview=False,
              sink=False, echo=False, record_max=None, listen="127.0.0.1", port=0,
              extra_args=(), timeout=READY_TIMEOUT):
        assert self.proc is None, "faketelnet already running"
        # a fresh record directory per start; its name also tags the other files
        self.record_dir = tempfile.mkdtemp(prefix="faketelnet-", suffix="-rec", dir=self.workdir)
        tag = os.path.basename(self.record_dir)[:-len("-rec")]
        port_file = os.path.join(self.workdir, tag + ".port")
        args = [faketelnet_bin(), "--listen", listen, "--port", str(port),
                "--port-file", port_file, "--record-dir", self.record_dir]
        if banner is not None:
            args += ["--banner", banner]
        if cli:
            args.append("--cli")
        if send_bytes is not None:
            args += ["--send-bytes", str(send_bytes)]
        if close_after_preview:
            args.append("--close-after-preview")
        if sink:
            args.append("--sink")
        if echo:
            args.append("--echo")
        if record_max is not None:
            args += ["--record-max", str(record_max)]
        args += list(extra_args)
        self.stdout_path = os.path.join(self.workdir, tag + ".out")
        self.stderr_path = os.path.join(self.workdir, tag + ".err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err)

        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"faketelnet exited with {self.proc.returncode}: "
                                     f"{_read_file(self.stderr_path, 'r')}")
            text = _read_file(port_file, "r")
            return text.endswith("\n") and int(text)

        self.port = wait_until(ready, timeout, "faketelnet port file")
        return self

    def bin_path(self, n):
        return os.path.join(self.record_dir, f"conn-{n}.bin")

    def done_path(self, n):
        return os.path.join(self.record_dir, f"conn-{n}.done")

    def received(self, n):
        """Bytes recorded so far on connection n (b'' if it does not exist)."""
        return _read_file(self.bin_path(n))

    def conn_count(self):
        """Connections accepted so far."""
        return sum(1 for name in os.listdir(self.record_dir) if name.endswith(".bin"))

    def wait_for_conn(self, n, timeout=10.0):
        """Wait until connection n was accepted."""
        wait_until(lambda: os.path.exists(self.bin_path(n)), timeout, f"telnet connection {n}")

    def wait_received(self, n, until, timeout=10.0):
        """Wait until connection n has recorded `until` (bytes: a prefix of the
        data or a substring; int: at least that many bytes; callable: true on
        the data). Returns the data."""
        data, _ = _wait_for_value(lambda: self.received(n), _until_check(until), timeout,
                                  f"data on telnet connection {n}",
                                  lambda data: f"; got {(data or b'')[-200:]!r}")
        return data

    def wait_done(self, n, timeout=10.0):
        """Wait until connection n has ended; returns its summary as a dict
        ({'bytes': int, 'fnv1a64': int, ...})."""
        wait_until(lambda: os.path.exists(self.done_path(n)), timeout, f"end of telnet connection {n}")
        summary = {}
        for line in _read_file(self.done_path(n), "r").splitlines():
            key, _, value = line.partition("=")
            summary[key] = int(value, 16) if key == "fnv1a64" else int(value)
        return summary

    def is_done(self, n):
        return os.path.exists(self.done_path(n))

    def stop(self, timeout=10.0):
        """Stop the process (SIGTERM, then SIGKILL); returns its exit status."""
        if self.proc is None:
            return None
        code = _stop_process(self.proc, timeout)
        self.proc = None
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def start_telnet(add_cleanup, workdir, **mode):
    """A FakeTelnet in workdir, started with mode (see FakeTelnet.start);
    add_cleanup (a test's addCleanup or a class's addClassCleanup) stops it."""
    telnet = FakeTelnet(workdir)
    add_cleanup(telnet.stop)
    return telnet.start(**mode)


# ---------------------------------------------------------------- the service

LOG_PATTERN = "%d{%H:%M:%S,%l} [%p] %m%n"


def write_log_config(path, log_file, level="DEBUG", pattern=LOG_PATTERN):
    """A log4cpp property file that sends category CATEGORY to log_file."""
    text = (
        "log4cpp.rootCategory=WARN\n"
        f"log4cpp.category.CATEGORY={level}, A1\n"
        "log4cpp.additivity.CATEGORY=false\n"
        "log4cpp.appender.A1=org.apache.log4cpp.FileAppender\n"
        f"log4cpp.appender.A1.fileName={log_file}\n"
        "log4cpp.appender.A1.layout=org.apache.log4cpp.PatternLayout\n"
        f"log4cpp.appender.A1.layout.ConversionPattern={pattern}\n"
    )
    with open(path, "w") as f:
        f.write(text)
    return path


# Most tests open many connections, or fail many logins, from 127.0.0.1:
# they lift the pre-login limits and the hold on failing sources, which
# tests of those pass lenient=False to see.
LENIENT_ARGS = ["--max-startups", "1000", "--max-startups-per-source", "1000",
                "--login-penalty", "0"]


def standard_args(port, telnet_port, user=DEFAULT_USER, password=DEFAULT_PASSWORD, listen=None,
                  lenient=True):
    """-p, -t, one user, and the Ed25519 key; RSA/ECDSA come from the defaults."""
    args = ["-p", str(port), "-t", str(telnet_port)] + add_user_args(user, password)
    args += ["--ed25519", host_key_path("ed25519")]
    if lenient:
        args += LENIENT_ARGS
    if listen is not None:
        args += ["-a", listen]
    return args


def probe_ssh_banner(port, host="127.0.0.1", timeout=1.0):
    """Connect and read the server's identification; True if it is SSH-2.0."""
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            data = b""
            deadline = time.monotonic() + timeout
            while len(data) < 7 and time.monotonic() < deadline:
                chunk = sock.recv(64)
                if not chunk:
                    break
                data += chunk
            return data.startswith(b"SSH-2.0")
    except OSError:
        return False


class SshApi:
    """One sshapi process: started in the foreground with its log in the
    test directory, checked for crashes when it is stopped.

    The readiness probe of start() is a TCP connection that reads the SSH
    identification and closes: the service counts it as connection (session
    key) 1, so the first real client is key 2.
    """

    def __init__(self, workdir):
        self.workdir = workdir
        self.proc = None
        self.port = None
        self.host = "127.0.0.1"
        self.log_path = os.path.join(workdir, "sshapi.log")
        self.conf_path = os.path.join(workdir, "sshapi-log4cpp.conf")
        self.stdout_path = os.path.join(workdir, "sshapi.out")
        self.stderr_path = os.path.join(workdir, "sshapi.err")
        self.args = None
        self._checked = False

    @staticmethod
    def _port_from_args(args):
        port = ""
        for i, arg in enumerate(args):
            # options repeat by concatenation; only the simple forms are followed
            if arg in ("-p", "--port") and i + 1 < len(args):
                port += args[i + 1]
            elif arg.startswith("--port="):
                port += arg.split("=", 1)[1]
        return int(port) if port.isdigit() else None

    def start(self, args, log_level="DEBUG", expect_ready=True, port=None,
              conf=True, timeout=READY_TIMEOUT, env=None, preexec_fn=None):
        """Run SSHAPI_BIN with `-c <log config>` (unless conf is False) and args.

        With expect_ready, wait until the SSH port answers with "SSH-2.0";
        port defaults to the -p value in args.
        """
        assert self.proc is None, "sshapi already running"
        self.port = port if port is not None else self._port_from_args(args)
        argv = [sshapi_bin()]
        if conf:
            write_log_config(self.conf_path, self.log_path, log_level)
            argv += ["-c", self.conf_path]
        argv += [str(a) for a in args]
        self.args = argv
        self._checked = False
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         cwd=self.workdir, env=env, preexec_fn=preexec_fn)
        if expect_ready:
            self.wait_ready(timeout)
        return self

    def wait_ready(self, timeout=READY_TIMEOUT):
        assert self.port is not None, "no SSH port known for the readiness check"

        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"sshapi exited with {self.proc.returncode} before it was ready\n"
                                     f"stderr: {_tail(self.stderr_text())}\nlog: {_tail(self.log_text())}")
            return probe_ssh_banner(self.port, self.host)

        wait_until(ready, timeout, f"sshapi to answer on port {self.port}", interval=0.05)

    # -- output
    def log_text(self):
        return _read_file(self.log_path, "rb").decode("utf-8", "replace")

    def stdout_text(self):
        return _read_file(self.stdout_path, "rb").decode("utf-8", "replace")

    def stderr_text(self):
        return _read_file(self.stderr_path, "rb").decode("utf-8", "replace")

    def wait_log(self, regex, timeout=10.0, start=0):
        """Wait until the log matches regex (searched from offset start);
        returns the match."""
        rx = re.compile(regex)
        _, match = _wait_for_value(self.log_text, lambda text: rx.search(text, start), timeout,
                                   f"log line /{regex}/",
                                   lambda text: f"\nlog tail:\n{_tail(text or '')}")
        return match

    def log_count(self, regex):
        return len(re.findall(regex, self.log_text()))

    def sessions_reaped(self):
        """True when every accepted session has been joined and deleted."""
        text = self.log_text()
        started = set(re.findall(r"new session key:(\d+)", text))
        erased = set(re.findall(r"erase svrchn key:(\d+)", text))
        return started <= erased

    # -- process state
    @property
    def pid(self):
        return self.proc.pid

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def wait(self, timeout=10.0):
        """Wait for the process to end by itself; returns its exit status."""
        return self.proc.wait(timeout)

    def count_fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def fds(self):
        """Descriptor number -> link target (e.g. 'socket:[123]')."""
        base = f"/proc/{self.proc.pid}/fd"
        result = {}
        for name in os.listdir(base):
            try:
                result[int(name)] = os.readlink(os.path.join(base, name))
            except OSError:
                pass
        return result

    def threads(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def sanitizer(self):
        """The sanitizer the service runs under ('address', 'thread') or None:
        such a build is slower, has heavier threads, and its memory figures
        mean little (quarantine, shadow memory)."""
        try:
            with open(f"/proc/{self.proc.pid}/maps") as f:
                maps = f.read()
        except OSError:
            return None
        if "libtsan" in maps:
            return "thread"
        if "libasan" in maps:
            return "address"
        return None

    def cpu_time(self):
        """User + system CPU seconds used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14, 15)
        return ticks / os.sysconf("SC_CLK_TCK")

    def wait_fds(self, predicate, timeout=10.0, what="descriptor count"):
        """Wait until predicate(count_fds()) holds; returns the count."""
        count, _ = _wait_for_value(self.count_fds, predicate, timeout, what,
                                   lambda count: f"; last count {count}")
        return count

    # -- teardown
    def stop(self, timeout=10.0):
        """SIGTERM, then SIGKILL; returns the exit status (-15 after a stop)."""
        if self.proc is None:
            return None
        return _stop_process(self.proc, timeout)

    def check_no_crash(self):
        """Fail if the process died of a crash signal or a sanitizer spoke."""
        self._checked = True
        problems = []
        code = self.proc.poll() if self.proc is not None else None
        if code is not None and code < 0 and -code in CRASH_SIGNALS:
            problems.append(f"sshapi died of signal {signal.Signals(-code).name}")
        streams = self.stderr_text() + self.stdout_text()
        for marker in CRASH_MARKERS:
            if marker in streams:
                problems.append(f"'{marker}' in sshapi output")
        if problems:
            raise AssertionError("; ".join(problems) + "\n" + _tail(streams, 60))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        if self.proc is not None and not self._checked:
            self.check_no_crash()
        return False


def start_relay(add_cleanup, workdir, cli=False, user=DEFAULT_USER, password=DEFAULT_PASSWORD,
                **start_kw):
    """A fake telnet service (command mode with cli) and an sshapi on a free
    port relaying to it, admitting user with password; start_kw go to
    SshApi.start. add_cleanup (a test's addCleanup or a class's
    addClassCleanup) stops both again and fails the test if sshapi crashed.
    Returns (telnet, port, svc)."""
    telnet = start_telnet(add_cleanup, workdir, cli=cli)
    port = free_port()
    svc = SshApi(workdir)
    add_cleanup(svc.__exit__, None, None, None)
    svc.start(standard_args(port, telnet.port, user, password), **start_kw)
    return telnet, port, svc


# ---------------------------------------------------------------- paramiko

def connect(port, user=DEFAULT_USER, password=DEFAULT_PASSWORD, host="127.0.0.1", timeout=10.0):
    """A logged-in paramiko SSHClient (password only, no keys, no agent)."""
    if paramiko is None:
        raise RuntimeError("paramiko is not available for this python")
    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    try:
        client.connect(host, port=port, username=user, password=password, timeout=timeout,
                       banner_timeout=timeout, auth_timeout=timeout,
                       look_for_keys=False, allow_agent=False)
    except BaseException:
        client.close()
        raise
    return client


def open_shell(client, pty=True, timeout=10.0):
    """A session channel with (optionally) a pty and a shell."""
    chan = client.get_transport().open_session(timeout=timeout)
    chan.settimeout(timeout)
    if pty:
        chan.get_pty(term="vt100", width=80, height=24)
    chan.invoke_shell()
    return chan


def _read_until(read_chunk, until, timeout, max_bytes, verb, end):
    """The reading loop of recv_until and read_until: read_chunk(wait)
    returns bytes, b"" at the end of the stream, or None when nothing came
    within wait seconds."""
    check = _until_check(until)
    buf = bytearray()
    deadline = time.monotonic() + timeout
    while not check(buf):
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"timed out after {timeout}s; {verb} {len(buf)} bytes, "
                                 f"last: {bytes(buf[-200:])!r}")
        if len(buf) > max_bytes:
            raise AssertionError(f"more than {max_bytes} bytes without the expected data")
        chunk = read_chunk(min(left, 1.0))
        if chunk is None:
            continue
        if not chunk:
            raise AssertionError(f"{end}; {verb} {len(buf)} bytes, last: {bytes(buf[-200:])!r}")
        buf += chunk
    return bytes(buf)


def recv_until(channel, until, timeout=10.0, max_bytes=64 * 1024 * 1024):
    """Read from a paramiko channel until `until` holds, and return all data.

    until: bytes (a substring to wait for), int (at least that many bytes)
    or a callable taking the data so far. Raises AssertionError on timeout,
    end of stream or more than max_bytes.
    """
    def read_chunk(wait):
        channel.settimeout(wait)
        try:
            return channel.recv(256 * 1024)
        except socket.timeout:
            return None

    return _read_until(read_chunk, until, timeout, max_bytes, "received", "channel closed")


def ping(chan, timeout=10.0):
    """One command through the relay to faketelnet --cli, and its answer."""
    chan.sendall(b"ping\r")
    recv_until(chan, b"pong\r\n", timeout=timeout)


def _fail_without_close(chan, _msg):
    chan.event_ready = False
    chan.event.set()


def keep_channels_open_on_failure(transport):
    """Channel failures on transport leave the channel open (paramiko closes
    it), so a test can see what the server does with it afterwards."""
    table = dict(transport._channel_handler_table)
    table[paramiko.common.MSG_CHANNEL_FAILURE] = _fail_without_close
    transport._channel_handler_table = table


def recv_quiet(channel, quiet=0.3, timeout=5.0):
    """Whatever arrives until the channel is quiet for `quiet` seconds
    (for checking that nothing more is sent)."""
    buf = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        channel.settimeout(quiet)
        try:
            chunk = channel.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        buf += chunk
    return bytes(buf)


# ---------------------------------------------------------------- OpenSSH

def ssh_base_args(port, user=DEFAULT_USER, host="127.0.0.1"):
    return ["ssh", "-F", "/dev/null",
            "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "PubkeyAuthentication=no", "-o", "PreferredAuthentications=password",
            "-o", "NumberOfPasswordPrompts=1", "-o", "ConnectTimeout=10", "-o", "LogLevel=ERROR",
            "-p", str(port), f"{user}@{host}"]


def ssh_cmd(port, user=DEFAULT_USER, password=DEFAULT_PASSWORD, extra_args=(), remote_cmd=None,
            workdir=None, host="127.0.0.1"):
    """Start the OpenSSH client as a Popen with stdin and stdout pipes; its
    stderr goes to a file (proc.stderr_path, read with ssh_stderr(proc)).

    The password comes from an askpass script in workdir (SSH_ASKPASS with
    SSH_ASKPASS_REQUIRE=force). extra_args go before the destination. The
    client runs in its own session; end it with end_process(proc).
    """
    workdir = workdir or make_test_dir("ssh")
    fd, pw_file = tempfile.mkstemp(prefix="pw-", dir=workdir)
    with os.fdopen(fd, "w") as f:
        f.write(password + "\n")
    askpass = pw_file + ".sh"
    with open(askpass, "w") as f:
        f.write(f"#!/bin/sh\nexec cat '{pw_file}'\n")
    os.chmod(askpass, 0o700)
    env = dict(os.environ)
    env.update(SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force", DISPLAY=env.get("DISPLAY", ":0"))
    base = ssh_base_args(port, user, host)
    argv = base[:-1] + list(extra_args) + base[-1:]
    if remote_cmd is not None:
        argv.append(remote_cmd)
    stderr_path = pw_file + ".err"
    with open(stderr_path, "wb") as err:
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=err, env=env, start_new_session=True)
    proc.stderr_path = stderr_path
    return proc


def ssh_stderr(proc):
    """What an ssh_cmd() client has written to its standard error."""
    return _read_file(proc.stderr_path, "rb").decode("utf-8", "replace")


def read_until(stream, until, timeout=10.0, max_bytes=64 * 1024 * 1024):
    """Read a pipe (e.g. proc.stdout) until `until` holds (as in recv_until)."""
    fd = stream.fileno()

    def read_chunk(wait):
        ready, _, _ = select.select([fd], [], [], wait)
        if not ready:
            return None
        try:
            return os.read(fd, 256 * 1024)
        except OSError as exc:
            if exc.errno == errno.EINTR:
                return None
            raise

    return _read_until(read_chunk, until, timeout, max_bytes, "read", "end of stream")


def end_process(proc, timeout=5.0):
    """Terminate a helper process (and its session) and reap it; bounded."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
    return proc.returncode


# ---------------------------------------------------------------- device files

def param_file_path():
    """The relocated parameter file /config/param.xml."""
    return os.path.join(test_root(), "config", "param.xml")


def credentials_file_path():
    """The relocated credentials file /config/sshapipublicpw.cur."""
    return os.path.join(test_root(), "config", "sshapipublicpw.cur")


def write_in_place(path, data, lock=False):
    """Rewrite path in place (same inode: the watcher sees IN_MODIFY, or
    IN_CREATE when it did not exist). With lock, hold the exclusive flock
    that the parameter-file reader takes, as the device's own writers do."""
    import fcntl
    if isinstance(data, str):
        data = data.encode()
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        if lock:
            fcntl.flock(fd, fcntl.LOCK_EX)
        os.ftruncate(fd, 0)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)  # also releases the lock


class SavedFile:
    """Remembers a file's bytes (or its absence) and puts them back on
    restore(); for tests that change the shared device files."""

    def __init__(self, path):
        self.path = path
        try:
            with open(path, "rb") as f:
                self.data = f.read()
        except FileNotFoundError:
            self.data = None

    def remove(self):
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def restore(self):
        if self.data is None:
            self.remove()
        else:
            write_in_place(self.path, self.data, lock=self.path == param_file_path())


def restore_at_cleanup(testcase, path):
    """Remember path now and put it back when the test ends; returns the
    SavedFile."""
    saved = SavedFile(path)
    testcase.addCleanup(saved.restore)
    return saved


def try_login(port, user, password, host="127.0.0.1", timeout=10.0):
    """One password attempt on a fresh connection: True if accepted, False
    if refused. Other failures raise."""
    if paramiko is None:
        raise RuntimeError("paramiko is not available for this python")
    sock = socket.create_connection((host, port), timeout=timeout)
    transport = paramiko.Transport(sock)
    try:
        transport.banner_timeout = timeout
        transport.auth_timeout = timeout
        transport.start_client(timeout=timeout)
        try:
            transport.auth_password(user, password)
        except paramiko.AuthenticationException:
            return False
        return transport.is_authenticated()
    finally:
        transport.close()


# ---------------------------------------------------------------- debug console

def console_paths(port):
    """(request pipe, response pipe) of the service listening on port."""
    base = os.path.join(test_root(), "var")
    return os.path.join(base, f"request{port}"), os.path.join(base, f"response{port}")


def remove_console_pipes(port):
    for path in console_paths(port):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _is_fifo(path):
    import stat
    try:
        return stat.S_ISFIFO(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


class Console:
    """The service's debug console, driven as an operator does: the answer
    pipe is read without blocking and polled, requests are written to the
    request pipe. Remove stale pipes (remove_console_pipes) before the
    service starts, so that wait_ready() sees the service's own."""

    def __init__(self, port):
        self.request_path, self.response_path = console_paths(port)
        self.rfd = None

    def wait_ready(self, timeout=15.0):
        wait_until(lambda: _is_fifo(self.request_path) and _is_fifo(self.response_path),
                   timeout, f"console pipes {self.request_path}")
        self.rfd = os.open(self.response_path, os.O_RDONLY | os.O_NONBLOCK)
        self.drain()
        return self

    def close(self):
        if self.rfd is not None:
            os.close(self.rfd)
            self.rfd = None

    def drain(self):
        """Read and return whatever is waiting in the answer pipe."""
        data = bytearray()
        for _ in range(10000):
            try:
                chunk = os.read(self.rfd, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            data += chunk
        return bytes(data)

    def pending_request_bytes(self):
        """Bytes written to the request pipe that the service has not read yet."""
        import array
        import fcntl
        import termios
        fd = os.open(self.request_path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            buf = array.array("i", [0])
            fcntl.ioctl(fd, termios.FIONREAD, buf, True)
            return buf[0]
        finally:
            os.close(fd)

    def send(self, request, wait_consumed=True, timeout=10.0):
        """Write one request (bytes or str, sent as is) to the request pipe;
        by default wait until the service has read it."""
        if isinstance(request, str):
            request = request.encode()
        fd = os.open(self.request_path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, request)
        finally:
            os.close(fd)
        if wait_consumed:
            wait_until(lambda: self.pending_request_bytes() == 0, timeout,
                       f"the service to read request {request!r}")

    def read_answer(self, until, timeout=10.0, quiet=0.2):
        """Read until `until` holds (int: at least that many bytes; bytes: a
        substring; callable: true on the data), then for a further quiet
        period to catch anything extra; returns all bytes read."""
        check = _until_check(until)
        data = bytearray()
        deadline = time.monotonic() + timeout
        settle = None
        while True:
            now = time.monotonic()
            if settle is None and check(bytes(data)):
                settle = now + quiet
            end = settle if settle is not None else deadline
            if now >= end:
                break
            ready, _, _ = select.select([self.rfd], [], [], min(end - now, 0.5))
            if ready:
                data += self.drain()
        if settle is None:
            raise AssertionError(f"timed out after {timeout}s waiting for the answer; "
                                 f"got {bytes(data)!r}")
        return bytes(data)

    def ask(self, request, until, timeout=10.0, quiet=0.2):
        """Drain stale answers, send a request, and return its answer (read
        as in read_answer)."""
        self.drain()
        self.send(request, wait_consumed=False)
        return self.read_answer(until, timeout, quiet)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def param_xml(**params):
    """Parameter-file text with one CHANNEL_1 group holding params (NAME=text,
    TYPE string) in the order given."""
    body = "".join(f'        <PARAM NAME="{name}" TYPE="string">{value}</PARAM>\n'
                   for name, value in params.items())
    return f"<CONFIGURATION>\n    <CHANNEL_1>\n{body}    </CHANNEL_1>\n</CONFIGURATION>\n"


def use_param_file(testcase, **params):
    """Write the parameter file for one test (under the exclusive lock) and
    restore the previous one at cleanup."""
    restore_at_cleanup(testcase, param_file_path())
    write_in_place(param_file_path(), param_xml(**params), lock=True)


# ---------------------------------------------------------------- test cases

class ServiceTestCase(unittest.TestCase):
    """Checks for a test case whose sshapi is self.svc."""

    def assert_alive(self):
        self.assertIsNone(self.svc.returncode, "sshapi has exited")
        self.svc.check_no_crash()

    def settle(self, timeout=20.0):
        """Wait until earlier sessions are reaped; returns (fds, threads)."""
        wait_until(self.svc.sessions_reaped, timeout, "every session reaped")
        return self.svc.count_fds(), self.svc.threads()

    def assert_back_to(self, fds, threads, timeout=30.0, all_reaped=True):
        """Wait until every session is reaped (with all_reaped) and the
        service's descriptors and threads are back at fds and threads."""
        if all_reaped:
            wait_until(self.svc.sessions_reaped, timeout, "every session reaped")
        self.svc.wait_fds(lambda n: n == fds, timeout, f"descriptor count back to {fds}")
        wait_until(lambda: self.svc.threads() == threads, timeout,
                   f"thread count back to {threads}")


if __name__ == "__main__":
    if sys.argv[1:] == ["hostkeys"]:
        print("host keys in", ensure_host_keys())
        sys.exit(0)
    print(f"usage: {sys.argv[0]} hostkeys", file=sys.stderr)
    sys.exit(2)
