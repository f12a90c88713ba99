"""Helpers for the end-to-end tests of sshapi (bench/sshbench.py uses them too).

Standard library and paramiko only. CTest sets SSHAPI_BIN, FAKETELNET_BIN,
SSHAPI_TEST_ROOT (the prefix of the service's device paths: /config, /var,
/etc/ssh, /usr/local/etc) and SSHAPI_TEST_TMP. Every wait is bounded: the
helpers poll for a condition and raise AssertionError with what they saw
when it never comes. "sshapi_harness.py hostkeys" makes the host keys (the
CTest fixture does this).
"""

import fcntl
import hashlib
import logging
import os
import re
import resource
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

try:
    import paramiko
except ImportError:  # bench/sshbench.py needs no paramiko
    paramiko = None
logging.getLogger("paramiko").addHandler(logging.NullHandler())

USER = "admin"
PASSWORD = "secret"
PREVIEW = b"local_ip_preview:127.0.0.1\n"
PROMPT = b"device> "
CRASH_SIGNALS = {signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGILL,
                 signal.SIGTRAP, signal.SIGSYS}
CRASH_MARKERS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error",
                 "UndefinedBehaviorSanitizer")
# Most tests open many connections, or fail many logins, from 127.0.0.1:
# they lift the pre-login limits and the hold on failing sources.
LENIENT_ARGS = ["--max-startups", "1000", "--max-startups-per-source", "1000",
                "--login-penalty", "0"]


def _env(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set (run the e2e tests through ctest)")
    return value


def sshapi_bin():
    return _env("SSHAPI_BIN")


def test_root():
    return _env("SSHAPI_TEST_ROOT")


def make_test_dir(name):
    """A fresh directory under SSHAPI_TEST_TMP, named after the test."""
    tmp = _env("SSHAPI_TEST_TMP")
    os.makedirs(tmp, exist_ok=True)
    return tempfile.mkdtemp(prefix=re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[-80:] + "-", dir=tmp)


def host_key_path(kind):
    return os.path.join(test_root(), "etc", "ssh", f"ssh_host_{kind}_key")


def ensure_host_keys():
    """RSA and ECDSA at the service's default paths, Ed25519 for --ed25519;
    no DSA key (the service skips a missing file). Made by rename, so
    concurrent callers never see half a key."""
    for kind, args in (("rsa", ["-b", "2048"]), ("ecdsa", ["-b", "256"]), ("ed25519", [])):
        path = host_key_path(kind)
        if os.path.exists(path):
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        work = tempfile.mkdtemp(dir=os.path.dirname(path))
        try:
            subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", kind, "-f", work + "/key"] + args,
                           check=True, stdin=subprocess.DEVNULL, timeout=60)
            os.rename(work + "/key.pub", path + ".pub")
            os.rename(work + "/key", path)
        finally:
            shutil.rmtree(work, ignore_errors=True)


def free_port(host="127.0.0.1"):
    """A TCP port that was free a moment ago."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


def pattern(n):
    """The first n bytes of faketelnet's pattern: byte i is (i*31 + 7) mod 256."""
    return (bytes((i * 31 + 7) & 0xFF for i in range(256)) * (n // 256 + 1))[:n]


def md5hex(text):
    """The stored form of a password: lowercase hex MD5."""
    return hashlib.md5(text.encode() if isinstance(text, str) else text).hexdigest()


def wait_until(predicate, timeout, what="condition", interval=0.02):
    """Poll predicate() until it returns a true value (returned) or timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def _check(until):
    """int: at least that many bytes; bytes: a substring; else a callable."""
    if isinstance(until, int):
        return lambda data: len(data) >= until
    if isinstance(until, (bytes, bytearray)):
        return lambda data: bytes(until) in data
    return until


def _read_file(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if "b" in mode else ""


def _tail(text, lines=40):
    return "\n".join(text.splitlines()[-lines:])


def stop_process(proc, timeout=10.0):
    """SIGTERM, then SIGKILL; returns the exit status."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


def raise_nofile(needed):
    """Raise the soft descriptor limit (inherited by the service) to the
    hard one when `needed` would not fit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < needed:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


# ---------------------------------------------------------------- fake telnet

class FakeTelnet:
    """tools/faketelnet, one process. Connection n (1, 2, ...) is recorded
    to conn-n.bin; conn-n.done holds its summary once it has ended."""

    def __init__(self, workdir, binary=None):
        self.workdir = workdir
        self.binary = binary or _env("FAKETELNET_BIN")
        self.proc = None
        self.port = None

    def start(self, port=0, cli=False, banner=None, send_bytes=None, close_after_preview=False,
              sink=False, timeout=10.0):
        assert self.proc is None, "faketelnet already running"
        self.record_dir = tempfile.mkdtemp(prefix="telnet-", dir=self.workdir)
        port_file = self.record_dir + ".port"
        args = [self.binary, "--port", str(port), "--port-file", port_file,
                "--record-dir", self.record_dir]
        args += ["--cli"] * cli + ["--close-after-preview"] * close_after_preview + ["--sink"] * sink
        if banner is not None:
            args += ["--banner", banner]
        if send_bytes is not None:
            args += ["--send-bytes", str(send_bytes)]
        with open(self.record_dir + ".err", "wb") as err:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=err, stderr=err)

        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"faketelnet exited: {_read_file(self.record_dir + '.err')}")
            text = _read_file(port_file, "r")
            return text.endswith("\n") and int(text)
        self.port = wait_until(ready, timeout, "faketelnet port file")
        return self

    def _path(self, n, ext):
        return os.path.join(self.record_dir, f"conn-{n}.{ext}")

    def received(self, n):
        return _read_file(self._path(n, "bin"))

    def conn_count(self):
        return sum(1 for name in os.listdir(self.record_dir) if name.endswith(".bin"))

    def wait_for_conn(self, n, timeout=10.0):
        wait_until(lambda: os.path.exists(self._path(n, "bin")), timeout, f"telnet connection {n}")

    def wait_received(self, n, until, timeout=10.0):
        """Wait until connection n has recorded `until` (see _check); returns the data."""
        check, seen = _check(until), [b""]

        def probe():
            seen[0] = self.received(n)
            return check(seen[0])
        try:
            wait_until(probe, timeout, f"data on telnet connection {n}")
        except AssertionError as exc:
            raise AssertionError(f"{exc}; got {seen[0][-200:]!r}") from None
        return seen[0]

    def summary(self, n):
        """{'bytes': N, 'fnv1a64': N (with sink)} once connection n has ended, else None."""
        text = _read_file(self._path(n, "done"), "r")
        pairs = (line.partition("=") for line in text.splitlines())
        return {k: int(v, 16 if k == "fnv1a64" else 10) for k, _, v in pairs} if text else None

    def wait_done(self, n, timeout=10.0):
        return wait_until(lambda: self.summary(n), timeout, f"end of telnet connection {n}")

    def is_done(self, n):
        return self.summary(n) is not None

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None


def start_telnet(add_cleanup, workdir, **mode):
    """A started FakeTelnet; add_cleanup (addCleanup or addClassCleanup) stops it."""
    telnet = FakeTelnet(workdir)
    add_cleanup(telnet.stop)
    return telnet.start(**mode)


# ---------------------------------------------------------------- the service

def write_log_config(path, log_file, level="DEBUG", layout="%d{%H:%M:%S,%l} [%p] %m%n"):
    """A log4cpp property file that sends the service's category to log_file."""
    with open(path, "w") as f:
        f.write("log4cpp.rootCategory=WARN\n"
                f"log4cpp.category.CATEGORY={level}, A1\n"
                "log4cpp.additivity.CATEGORY=false\n"
                "log4cpp.appender.A1=org.apache.log4cpp.FileAppender\n"
                f"log4cpp.appender.A1.fileName={log_file}\n"
                "log4cpp.appender.A1.layout=org.apache.log4cpp.PatternLayout\n"
                f"log4cpp.appender.A1.layout.ConversionPattern={layout}\n")
    return path


def standard_args(port, telnet_port, user=USER, password=PASSWORD, lenient=True):
    """-p, -t, one user and the Ed25519 key (RSA and ECDSA from the defaults)."""
    return (["-p", str(port), "-t", str(telnet_port), "-U", user, "-P", md5hex(password),
             "--ed25519", host_key_path("ed25519")] + (LENIENT_ARGS if lenient else []))


def probe_ssh_banner(port, host="127.0.0.1", timeout=1.0):
    """True if the port answers with an SSH-2.0 identification."""
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            return sock.recv(64).startswith(b"SSH-2.0")
    except OSError:
        return False


class SshApi:
    """One sshapi process in the foreground with its log in workdir, checked
    for crashes by finish(). The readiness probe of start() is session key 1."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.proc = None
        self.port = None
        self.host = "127.0.0.1"
        self.log_path = os.path.join(workdir, "sshapi.log")
        self.conf_path = os.path.join(workdir, "sshapi-log4cpp.conf")
        self.out_path = os.path.join(workdir, "sshapi.out")
        self.err_path = os.path.join(workdir, "sshapi.err")

    def start(self, args, log_level="DEBUG", expect_ready=True, port=None, conf=True, env=None,
              preexec_fn=None):
        """Run sshapi [-c <log config>] args; with expect_ready wait until
        the port (default: the -p value) answers."""
        assert self.proc is None, "sshapi already running"
        args = [str(a) for a in args]
        self.port = port or (int(args[args.index("-p") + 1]) if "-p" in args else None)
        if conf:
            args = ["-c", write_log_config(self.conf_path, self.log_path, log_level)] + args
        with open(self.out_path, "ab") as out, open(self.err_path, "ab") as err:
            self.proc = subprocess.Popen([sshapi_bin()] + args, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err, cwd=self.workdir, env=env,
                                         preexec_fn=preexec_fn)
        if expect_ready:
            self.wait_ready()
        return self

    def wait_ready(self, timeout=10.0):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"sshapi exited with {self.proc.returncode}\n"
                                     f"{_tail(self.stderr_text())}\n{_tail(self.log_text())}")
            return probe_ssh_banner(self.port, self.host)
        wait_until(ready, timeout, f"sshapi to answer on port {self.port}", interval=0.05)

    def log_text(self):
        return _read_file(self.log_path).decode("utf-8", "replace")

    def stderr_text(self):
        return _read_file(self.err_path).decode("utf-8", "replace")

    def mark(self):
        """Offset of the log's end, for wait_log(start=...)."""
        return len(self.log_text())

    def wait_log(self, regex, timeout=10.0, start=0):
        """Wait until the log (from offset start) matches regex; returns the match."""
        rx, seen = re.compile(regex), [""]

        def probe():
            seen[0] = self.log_text()
            return rx.search(seen[0], start)
        try:
            return wait_until(probe, timeout, f"log line /{regex}/")
        except AssertionError as exc:
            raise AssertionError(f"{exc}\nlog tail:\n{_tail(seen[0])}") from None

    def log_count(self, regex):
        return len(re.findall(regex, self.log_text()))

    def sessions_reaped(self):
        text = self.log_text()
        return (set(re.findall(r"new session key:(\d+)", text))
                <= set(re.findall(r"erase svrchn key:(\d+)", text)))

    @property
    def pid(self):
        return self.proc.pid

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def wait(self, timeout=10.0):
        return self.proc.wait(timeout)

    def fds(self):
        """Descriptor number -> link target (e.g. 'socket:[123]')."""
        base, result = f"/proc/{self.pid}/fd", {}
        for name in os.listdir(base):
            try:
                result[int(name)] = os.readlink(os.path.join(base, name))
            except OSError:
                pass
        return result

    def count_fds(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def threads(self):
        return len(os.listdir(f"/proc/{self.pid}/task"))

    def rss_kib(self):
        status = _read_file(f"/proc/{self.pid}/status", "r")
        return int(re.search(r"VmRSS:\s+(\d+)", status).group(1))

    def cpu_time(self):
        """User + system CPU seconds so far."""
        fields = _read_file(f"/proc/{self.pid}/stat", "r").rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def sanitizer(self):
        """'address', 'thread' or None: a sanitizer build is slower and its
        memory figures mean little."""
        maps = _read_file(f"/proc/{self.pid}/maps", "r")
        return "thread" if "libtsan" in maps else "address" if "libasan" in maps else None

    def stop(self):
        return None if self.proc is None else stop_process(self.proc)

    def check_no_crash(self):
        """Fail if the process died of a crash signal or a sanitizer spoke."""
        problems = []
        code = self.returncode
        if code is not None and code < 0 and -code in CRASH_SIGNALS:
            problems.append(f"sshapi died of signal {signal.Signals(-code).name}")
        streams = self.stderr_text() + _read_file(self.out_path).decode("utf-8", "replace")
        problems += [f"'{m}' in sshapi output" for m in CRASH_MARKERS if m in streams]
        if problems:
            raise AssertionError("; ".join(problems) + "\n" + _tail(streams, 60))

    def finish(self):
        """Stop the service and fail if it had crashed."""
        if self.proc is not None:
            self.stop()
            self.check_no_crash()
            self.proc = None


def start_service(add_cleanup, workdir, args, **start_kw):
    """An SshApi started with args; add_cleanup stops it and checks for a crash."""
    svc = SshApi(workdir)
    add_cleanup(svc.finish)
    return svc.start(args, **start_kw)


def start_relay(add_cleanup, workdir, cli=False, user=USER, password=PASSWORD, **start_kw):
    """A fake telnet service and an sshapi relaying to it; returns (telnet, port, svc)."""
    telnet = start_telnet(add_cleanup, workdir, cli=cli)
    port = free_port()
    svc = start_service(add_cleanup, workdir, standard_args(port, telnet.port, user, password),
                        **start_kw)
    return telnet, port, svc


class ServiceTestCase(unittest.TestCase):
    """Checks for a test case whose sshapi is self.svc."""

    def assert_alive(self):
        self.assertIsNone(self.svc.returncode, "sshapi has exited")
        self.svc.check_no_crash()

    def settle(self, timeout=30.0):
        """Wait until earlier sessions are reaped; returns (fds, threads)."""
        wait_until(self.svc.sessions_reaped, timeout, "every session reaped")
        return self.svc.count_fds(), self.svc.threads()

    def assert_back_to(self, fds, threads, timeout=30.0, all_reaped=True):
        """Wait until the sessions are reaped and descriptors and threads are back."""
        if all_reaped:
            wait_until(self.svc.sessions_reaped, timeout, "every session reaped")
        wait_until(lambda: (self.svc.count_fds(), self.svc.threads()) == (fds, threads), timeout,
                   f"descriptors and threads back to {fds} and {threads} (now "
                   f"{self.svc.count_fds()} and {self.svc.threads()})")


# ---------------------------------------------------------------- clients

def transport(port, host="127.0.0.1", timeout=10.0, source=None):
    """A paramiko Transport after the key exchange, not logged in."""
    sock = socket.create_connection((host, port), timeout=timeout,
                                    source_address=(source, 0) if source else None)
    trans = paramiko.Transport(sock)
    try:
        trans.start_client(timeout=timeout)
    except BaseException:
        trans.close()
        raise
    return trans


def connect(port, user=USER, password=PASSWORD, host="127.0.0.1", timeout=10.0):
    """A logged-in paramiko SSHClient (password only)."""
    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    try:
        client.connect(host, port=port, username=user, password=password, timeout=timeout,
                       banner_timeout=timeout, auth_timeout=timeout, look_for_keys=False,
                       allow_agent=False)
    except BaseException:
        client.close()
        raise
    return client


def open_shell(client, pty=True, timeout=10.0):
    """A session channel with a shell (and a pty unless pty is False)."""
    trans = client if isinstance(client, paramiko.Transport) else client.get_transport()
    chan = trans.open_session(timeout=timeout)
    chan.settimeout(timeout)
    if pty:
        chan.get_pty(term="vt100", width=80, height=24)
    chan.invoke_shell()
    return chan


def try_login(port, user, password, timeout=10.0):
    """One password attempt on a fresh connection: True if accepted."""
    trans = transport(port, timeout=timeout)
    try:
        trans.auth_password(user, password)
        return trans.is_authenticated()
    except paramiko.AuthenticationException:
        return False
    finally:
        trans.close()


def _read_until(read_chunk, until, timeout, max_bytes):
    """read_chunk(wait) gives bytes, b"" at the end, or None after wait seconds."""
    check, buf = _check(until), bytearray()
    deadline = time.monotonic() + timeout
    while not check(buf):
        left = deadline - time.monotonic()
        if left <= 0 or len(buf) > max_bytes:
            raise AssertionError(f"no expected data after {timeout}s ({len(buf)} bytes, last "
                                 f"{bytes(buf[-200:])!r})")
        chunk = read_chunk(min(left, 1.0))
        if chunk == b"":
            raise AssertionError(f"end of stream after {len(buf)} bytes: {bytes(buf[-200:])!r}")
        buf += chunk or b""
    return bytes(buf)


def recv_until(channel, until, timeout=10.0, max_bytes=1 << 26):
    """Read a paramiko channel until `until` holds (see _check); returns all data."""
    def read_chunk(wait):
        channel.settimeout(wait)
        try:
            return channel.recv(1 << 18)
        except socket.timeout:
            return None
    return _read_until(read_chunk, until, timeout, max_bytes)


def read_until(stream, until, timeout=10.0, max_bytes=1 << 26):
    """Read a pipe (proc.stdout) until `until` holds; returns all data."""
    def read_chunk(wait):
        ready, _, _ = select.select([stream], [], [], wait)
        return os.read(stream.fileno(), 1 << 18) if ready else None
    return _read_until(read_chunk, until, timeout, max_bytes)


def recv_quiet(channel, quiet=0.3, timeout=5.0):
    """Whatever arrives until the channel is quiet for `quiet` seconds."""
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


def ping(chan, timeout=10.0):
    """One command through the relay to faketelnet --cli, and its answer."""
    chan.sendall(b"ping\r")
    recv_until(chan, b"pong\r\n", timeout=timeout)


def keep_channels_open_on_failure(trans):
    """A refused channel request leaves the channel open (paramiko closes it)."""
    def failed(chan, _msg):
        chan.event_ready = False
        chan.event.set()
    trans._channel_handler_table = dict(trans._channel_handler_table)
    trans._channel_handler_table[paramiko.common.MSG_CHANNEL_FAILURE] = failed


def ssh_cmd(port, workdir, user=USER, password=PASSWORD):
    """The OpenSSH client as a Popen with stdin and stdout pipes, in its own
    session (end it with end_process); the password comes through
    SSH_ASKPASS, stderr goes to proc.stderr_path."""
    fd, pw_file = tempfile.mkstemp(dir=workdir)
    with os.fdopen(fd, "w") as f:
        f.write(f"#!/bin/sh\necho '{password}'\n")
    os.chmod(pw_file, 0o700)
    env = dict(os.environ, SSH_ASKPASS=pw_file, SSH_ASKPASS_REQUIRE="force", DISPLAY=":0")
    argv = ["ssh", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "PreferredAuthentications=password",
            "-o", "NumberOfPasswordPrompts=1", "-o", "LogLevel=ERROR", "-p", str(port),
            f"{user}@127.0.0.1"]
    with open(pw_file + ".err", "wb") as err:
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                env=env, start_new_session=True)
    proc.stderr_path = pw_file + ".err"
    return proc


def end_process(proc, timeout=5.0):
    """Terminate a client process and its session, and reap it; bounded."""
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
    for stream in (proc.stdin, proc.stdout):
        try:
            stream.close()
        except (OSError, AttributeError):
            pass


# ---------------------------------------------------------------- device files

def param_file_path():
    return os.path.join(test_root(), "config", "param.xml")


def credentials_file_path():
    return os.path.join(test_root(), "config", "sshapipublicpw.cur")


def write_in_place(path, data, lock=False):
    """Rewrite path in place (same inode); with lock, under the exclusive
    flock that the device's writers of the parameter file take."""
    data = data.encode() if isinstance(data, str) else data
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        if lock:
            fcntl.flock(fd, fcntl.LOCK_EX)
        os.ftruncate(fd, 0)
        os.write(fd, data)
    finally:
        os.close(fd)


def restore_at_cleanup(testcase, path):
    """Put path's bytes (or its absence) back when the test ends."""
    data = _read_file(path) if os.path.exists(path) else None

    def restore():
        if data is not None:
            write_in_place(path, data, lock=path == param_file_path())
        elif os.path.exists(path):
            os.unlink(path)
    testcase.addCleanup(restore)


def param_xml(**params):
    """Parameter-file text: one CHANNEL_1 group with params (NAME=text) in order."""
    body = "".join(f'        <PARAM NAME="{name}" TYPE="string">{value}</PARAM>\n'
                   for name, value in params.items())
    return f"<CONFIGURATION>\n    <CHANNEL_1>\n{body}    </CHANNEL_1>\n</CONFIGURATION>\n"


def use_param_file(testcase, **params):
    """Write the parameter file for one test; restored at cleanup."""
    restore_at_cleanup(testcase, param_file_path())
    write_in_place(param_file_path(), param_xml(**params), lock=True)


# ---------------------------------------------------------------- debug console

def console_paths(port):
    """(request pipe, response pipe) of the service listening on port."""
    base = os.path.join(test_root(), "var")
    return os.path.join(base, f"request{port}"), os.path.join(base, f"response{port}")


def remove_console_pipes(port):
    for path in console_paths(port):
        if os.path.lexists(path):
            os.unlink(path)


def _is_fifo(path):
    return os.path.exists(path) and stat.S_ISFIFO(os.stat(path).st_mode)


class Console:
    """The debug console driven as an operator does. Remove stale pipes
    before the service starts, so that wait_ready() sees its own."""

    def __init__(self, port):
        self.paths = console_paths(port)
        self.rfd = None

    def wait_ready(self, timeout=15.0):
        wait_until(lambda: all(map(_is_fifo, self.paths)), timeout, f"pipes {self.paths}")
        self.rfd = os.open(self.paths[1], os.O_RDONLY | os.O_NONBLOCK)
        self.drain()
        return self

    def close(self):
        if self.rfd is not None:
            os.close(self.rfd)
            self.rfd = None

    def drain(self):
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

    def ask(self, request, until, timeout=10.0, quiet=0.2):
        """Send a request; read until `until` holds (see _check), then for a
        quiet period more; returns the answer."""
        self.drain()
        fd = os.open(self.paths[0], os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, request.encode())
        finally:
            os.close(fd)
        check, data = _check(until), bytearray()
        deadline, settle = time.monotonic() + timeout, None
        while time.monotonic() < (settle or deadline):
            if settle is None and check(bytes(data)):
                settle = time.monotonic() + quiet
            ready, _, _ = select.select([self.rfd], [], [], 0.05)
            if ready:
                data += self.drain()
        if settle is None:
            raise AssertionError(f"no answer to {request!r} in {timeout}s; got {bytes(data)!r}")
        return bytes(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


if __name__ == "__main__":
    if sys.argv[1:] != ["hostkeys"]:
        sys.exit(f"usage: {sys.argv[0]} hostkeys")
    ensure_host_keys()
