"""Helpers of the end-to-end tests of sshapi (bench/ uses them too).

CTest sets SSHAPI_BIN, FAKETELNET_BIN, SSHAPI_TEST_ROOT (the prefix of the
service's device paths) and SSHAPI_TEST_TMP. Every wait is bounded and fails
with what it last saw. "sshapi_harness.py hostkeys" makes the host keys.
"""

import contextlib
import fcntl
import hashlib
import logging
import os
import random
import re
import resource
import select
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import paramiko
except ImportError:  # the benchmark needs no paramiko
    paramiko = None
logging.getLogger("paramiko").addHandler(logging.NullHandler())

USER, PASSWORD = "admin", "secret"
PREVIEW = b"local_ip_preview:127.0.0.1\n"
PROMPT = b"device> "
CRASH_MARKERS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error",
                 "UndefinedBehaviorSanitizer")
# Most tests open many connections, or fail many logins, from 127.0.0.1:
# they lift the pre-login limits and the hold on failing sources.
LENIENT_ARGS = ["--max-startups", "1000", "--max-startups-per-source", "1000",
                "--login-penalty", "0"]


def _env(name):
    assert os.environ.get(name), f"{name} is not set (run the e2e tests through ctest)"
    return os.environ[name]


def sshapi_bin():
    return _env("SSHAPI_BIN")


def test_root():
    return _env("SSHAPI_TEST_ROOT")


def make_test_dir(name):
    """A fresh directory under SSHAPI_TEST_TMP, named after the test."""
    os.makedirs(_env("SSHAPI_TEST_TMP"), exist_ok=True)
    return tempfile.mkdtemp(re.sub(r"[^\w.-]+", "_", name)[-80:], dir=_env("SSHAPI_TEST_TMP"))


def host_key_path(kind):
    return f"{test_root()}/etc/ssh/ssh_host_{kind}_key"


def ensure_host_keys():
    """RSA and ECDSA at the default paths, Ed25519 for --ed25519, no DSA key."""
    for kind, bits in (("rsa", "2048"), ("ecdsa", "256"), ("ed25519", "256")):
        path = host_key_path(kind)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", kind, "-b", bits, "-f",
                            f"{path}.{os.getpid()}"], check=True, stdin=subprocess.DEVNULL,
                           timeout=60)
            os.rename(f"{path}.{os.getpid()}.pub", path + ".pub")
            os.rename(f"{path}.{os.getpid()}", path)


PORT_LOCK_DIR = "/tmp/sshapi-portlocks"  # a file per port, flock'ed by the process using it
_held_ports = {}  # port -> its locked file, held until this process ends


def free_port(host="127.0.0.1", attempts=200):
    """A port outside the kernel's ephemeral range (no client socket gets it as
    its source port), bindable now (IPv4, and IPv6 for an IPv6 host), locked
    against the other test processes until this one ends."""
    try:
        low, high = map(int, read_file("/proc/sys/net/ipv4/ip_local_port_range", "r").split())
    except (OSError, ValueError):
        low, high = 32768, 60999
    os.makedirs(PORT_LOCK_DIR, exist_ok=True)
    with contextlib.suppress(OSError):  # shared by every user, as /tmp is
        os.chmod(PORT_LOCK_DIR, 0o1777)
    families = [(socket.AF_INET, "0.0.0.0")] + [(socket.AF_INET6, "::")] * (":" in host)
    for port in random.sample([p for p in range(10000, 65536) if not low <= p <= high], attempts):
        fd = os.open(f"{PORT_LOCK_DIR}/{port}", os.O_RDONLY | os.O_CREAT, 0o644)
        try:  # fails while another process holds the lock, or anything the port
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for family, addr in families:
                with socket.socket(family) as sock:
                    sock.bind((addr, port))
            _held_ports[port] = fd
            return port
        except OSError:
            os.close(fd)
    raise AssertionError(f"no free port in {attempts} tries outside {low}-{high}")


def pattern(n):
    """faketelnet's pattern: byte i is (i*31 + 7) mod 256."""
    return (bytes((i * 31 + 7) & 0xFF for i in range(256)) * (n // 256 + 1))[:n]


def md5hex(text):  # the stored form of a password
    return hashlib.md5(text.encode()).hexdigest()


def wait_until(predicate, timeout, what="condition", interval=0.02, show=None):
    """predicate()'s first true value; on timeout fail, with show() appended."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}"
                                 + (f"; {show()}" if show else ""))
        time.sleep(interval)
    return value


def _check(until):
    """int: at least that many bytes; bytes: a substring; else a callable."""
    if isinstance(until, int):
        return lambda data: len(data) >= until
    if isinstance(until, (bytes, bytearray)):
        return lambda data: bytes(until) in data
    return until


def read_file(path, mode="rb"):  # empty when missing or gone (a process's /proc files)
    try:
        with open(path, mode) as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError):
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


def raise_nofile(needed):  # the soft descriptor limit, which the service inherits
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < needed:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


class FakeTelnet:
    """tools/faketelnet; connection n (1, 2, ...) recorded to conn-n.bin."""

    def __init__(self, workdir, binary=None):
        self.workdir, self.binary = workdir, binary or _env("FAKETELNET_BIN")
        self.proc = self.port = None

    def start(self, port=0, **mode):
        """mode: faketelnet's options (cli, banner, send_bytes, close_after_preview, sink)."""
        assert self.proc is None, "faketelnet already running"
        self.record_dir = tempfile.mkdtemp(prefix="telnet-", dir=self.workdir)
        args = [self.binary, "--port", str(port), "--port-file", self.record_dir + ".port",
                "--record-dir", self.record_dir]
        for name, value in mode.items():  # True: a flag; False or None: left out
            if value is not None and value is not False:
                args += [f"--{name.replace('_', '-')}"] + [str(value)] * (value is not True)
        with open(self.record_dir + ".err", "wb") as err:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=err, stderr=err)

        def ready():
            assert self.proc.poll() is None, read_file(self.record_dir + ".err")
            text = read_file(self.record_dir + ".port", "r")
            return text.endswith("\n") and int(text)
        self.port = wait_until(ready, 10, "faketelnet port file")
        return self

    def received(self, n):
        return read_file(os.path.join(self.record_dir, f"conn-{n}.bin"))

    def conn_count(self):
        return sum(1 for name in os.listdir(self.record_dir) if name.endswith(".bin"))

    def wait_received(self, n, until, timeout=10.0):  # returns the data
        check = _check(until)
        wait_until(lambda: check(self.received(n)), timeout, f"data on telnet connection {n}",
                   show=lambda: repr(self.received(n)[-200:]))
        return self.received(n)

    def summary(self, n):
        """{'bytes': N, 'fnv1a64': N (with sink)} once connection n has ended, else None."""
        pairs = [line.split("=") for line in read_file(os.path.join(
            self.record_dir, f"conn-{n}.done"), "r").splitlines()]
        return {k: int(v, 16 if k == "fnv1a64" else 10) for k, v in pairs} or None

    def wait_done(self, n, timeout=10.0):
        return wait_until(lambda: self.summary(n), timeout, f"end of telnet connection {n}")

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None


def start_telnet(add_cleanup, workdir, **mode):
    """A started FakeTelnet that add_cleanup (addCleanup or addClassCleanup) stops."""
    telnet = FakeTelnet(workdir)
    add_cleanup(telnet.stop)
    return telnet.start(**mode)


def write_log_config(path, log_file, level="DEBUG", layout="%d{%H:%M:%S,%l} [%p] %m%n"):
    with open(path, "w") as f:
        f.write(f"log4cpp.rootCategory=WARN\nlog4cpp.category.CATEGORY={level}, A1\n"
                "log4cpp.additivity.CATEGORY=false\n"
                "log4cpp.appender.A1=org.apache.log4cpp.FileAppender\n"
                f"log4cpp.appender.A1.fileName={log_file}\n"
                "log4cpp.appender.A1.layout=org.apache.log4cpp.PatternLayout\n"
                f"log4cpp.appender.A1.layout.ConversionPattern={layout}\n")
    return path


def standard_args(port, telnet_port, user=USER, password=PASSWORD, lenient=True):
    """-p, -t, one user and the Ed25519 key (RSA and ECDSA from the defaults)."""
    return (["-p", str(port), "-t", str(telnet_port), "-U", user, "-P", md5hex(password),
             "--ed25519", host_key_path("ed25519")] + LENIENT_ARGS * lenient)


def probe_ssh_banner(port, host="127.0.0.1", timeout=1.0):
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            return sock.recv(64).startswith(b"SSH-2.0")
    except OSError:
        return False


class SshApi:
    """One sshapi in the foreground, its log in workdir; finish() stops it,
    fails on a crash, removes its pipes."""

    def __init__(self, workdir):
        self.workdir, self.proc, self.port = workdir, None, None
        self.log_path = os.path.join(workdir, "sshapi.log")
        self.conf_path = os.path.join(workdir, "sshapi-log4cpp.conf")
        self.out_path = os.path.join(workdir, "sshapi.out")

    def start(self, args, log_level="DEBUG", expect_ready=True, conf=True, **popen_kw):
        """Run sshapi [-c <log config>] args; with expect_ready wait until it answers."""
        assert self.proc is None, "sshapi already running"
        self.args = [str(a) for a in args]
        self.host = self.args[self.args.index("-a") + 1] if "-a" in self.args else "127.0.0.1"
        self.conf, self.popen_kw = ["-c", write_log_config(
            self.conf_path, self.log_path, log_level)] * conf, popen_kw
        self.probe = not conf or log_level not in ("DEBUG", "INFO")  # see wait_ready
        self._run()
        if expect_ready:
            self.wait_ready()
        return self

    def _run(self):
        self.port = int(self.args[self.args.index("-p") + 1]) if "-p" in self.args else None
        remove_console_pipes(self.port)
        self.marks = len(self.log_text()), len(self.output())  # where this run's lines begin
        with open(self.out_path, "ab") as out:
            self.proc = subprocess.Popen([sshapi_bin()] + self.conf + self.args,
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, cwd=self.workdir,
                                         **self.popen_kw)

    def tails(self):
        return f"output:\n{_tail(self.output())}\nlog:\n{_tail(self.log_text())}"

    def wait_ready(self, timeout=10.0, attempts=3):
        """Wait for this run's "listening on" line (a run that logs elsewhere,
        or above INFO, for an answer to a probe, which is then its session 1);
        while its log says the port is taken (it may keep retrying the bind),
        start it again on a new -p port."""
        def ready():
            text = self.log_text()[self.marks[0]:] + self.output()[self.marks[1]:]
            if re.search(r"listne fail: .*Address already in use", text):
                return "taken"
            assert self.proc.poll() is None, (f"sshapi exited with {self.proc.returncode}\n"
                                              f"{self.tails()}")
            if self.probe:
                return probe_ssh_banner(self.port, self.host)
            return re.search(rf"listening on \S+ port {self.port} --", text) is not None
        for attempt in range(attempts):
            if wait_until(ready, timeout, f"sshapi to listen on port {self.port}", 0.05,
                          self.tails) is True:
                return
            i = self.args.index("-p") + 1 if "-p" in self.args else None
            assert attempt + 1 < attempts and i and self.args[i] == str(self.port), (
                f"port {self.port} taken\n{self.tails()}")  # or not the one it listens on
            self.finish()
            self.args[i] = str(free_port(self.host))
            self._run()

    def output(self):  # standard output and error
        return read_file(self.out_path).decode("utf-8", "replace")

    def log_text(self):
        return read_file(self.log_path).decode("utf-8", "replace")

    def mark(self):  # the log's end, for wait_log(start=...)
        return len(self.log_text())

    def wait_log(self, regex, timeout=10.0, start=0):  # returns the match
        return wait_until(lambda: re.compile(regex).search(self.log_text(), start), timeout,
                          f"log line /{regex}/", show=lambda: "log:\n" + _tail(self.log_text()))

    def log_count(self, regex):
        return len(re.findall(regex, self.log_text()))

    def settled(self):
        """Start-up complete (its last step, 2 s after the listener's, is the
        inotify watch) and every session reaped."""
        text, base = self.log_text(), f"/proc/{self.proc.pid}/fdinfo"
        return (any("inotify wd:" in read_file(f"{base}/{n}", "r") for n in os.listdir(base))
                and set(re.findall(r"new session key:(\d+)", text))
                <= set(re.findall(r"erase svrchn key:(\d+)", text)))

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def _proc(self, name):
        return read_file(f"/proc/{self.proc.pid}/{name}", "r")

    def fds(self):
        """Descriptor number -> link target (e.g. 'socket:[123]')."""
        base = f"/proc/{self.proc.pid}/fd"
        return {int(n): os.readlink(f"{base}/{n}") for n in os.listdir(base)
                if os.path.lexists(f"{base}/{n}")}

    def count_fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def threads(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def rss_kib(self):
        return int(re.search(r"VmRSS:\s+(\d+)", self._proc("status")).group(1))

    def cpu_time(self):  # user + system seconds
        fields = self._proc("stat").rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def sanitizer(self):
        """'address', 'thread' or None (memory figures then mean little)."""
        maps = self._proc("maps")
        return "thread" if "libtsan" in maps else "address" if "libasan" in maps else None

    def check_no_crash(self):
        """Fail if the process died of a crash signal or a sanitizer spoke."""
        code, out = self.returncode, self.output()
        problems = [f"'{m}' in sshapi output" for m in CRASH_MARKERS if m in out]
        if code is not None and code < 0 and -code not in (signal.SIGTERM, signal.SIGKILL):
            problems.append(f"sshapi died of signal {signal.Signals(-code).name}")
        assert not problems, "; ".join(problems) + "\n" + _tail(out, 60)

    def finish(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.check_no_crash()
            self.proc = None
            remove_console_pipes(self.port)


def start_service(add_cleanup, workdir, args, **start_kw):
    """A started SshApi that add_cleanup finishes."""
    svc = SshApi(workdir)
    add_cleanup(svc.finish)
    return svc.start(args, **start_kw)


def start_relay(add_cleanup, workdir, args=(), cli=False, user=USER, password=PASSWORD,
                lenient=True, **start_kw):
    """(telnet, port, svc): a fake telnet service, sshapi relaying to it."""
    telnet = start_telnet(add_cleanup, workdir, cli=cli, port=free_port())  # can restart there
    svc = start_service(add_cleanup, workdir, list(args) + standard_args(
        free_port(), telnet.port, user, password, lenient), **start_kw)
    return telnet, svc.port, svc


class ServiceTestCase(unittest.TestCase):  # checks of self.svc
    def assert_alive(self):
        self.assertIsNone(self.svc.returncode, "sshapi has exited")
        self.svc.check_no_crash()

    def settle(self, timeout=30.0):  # (fds, threads) once started and earlier sessions reaped
        wait_until(self.svc.settled, timeout, "start-up complete, every session reaped")
        return self.svc.count_fds(), self.svc.threads()

    def assert_back_to(self, fds, threads, timeout=30.0, all_reaped=True):
        if all_reaped:
            wait_until(self.svc.settled, timeout, "every session reaped")
        now = lambda: (self.svc.count_fds(), self.svc.threads())  # noqa: E731
        wait_until(lambda: now() == (fds, threads), timeout, f"(fds, threads) back to "
                   f"{(fds, threads)}", show=lambda: f"now {now()}")


class RelayCase(ServiceTestCase):
    """One sshapi for the class, relaying to the fake device CLI."""
    START = dict(cli=True, log_level="INFO")

    @classmethod
    def setUpClass(cls):
        cls.telnet, cls.port, cls.svc = start_relay(cls.addClassCleanup,
                                                    make_test_dir(cls.__name__), **cls.START)


# ---------------------------------------------------------------- clients

class raw(bytes):
    """Message bytes sent as they are."""


def message(kind, *fields):
    """A message for packetizer.send_message: bools, ints as uint32, raw as is, else strings."""
    m = paramiko.Message()
    m.add_byte(kind)
    adders = ((bool, m.add_boolean), (int, m.add_int), (raw, m.add_bytes), (object, m.add_string))
    for f in fields:
        next(add for cls, add in adders if isinstance(f, cls))(f)
    return m


class HeldWrites:
    """A client socket that holds the next `left` packets paramiko writes
    (a send() each; with at_newkeys, from the client's NEWKEYS on), then
    sends them in one write, as clients that pipeline their messages do."""

    def __init__(self, sock, left=0, at_newkeys=False):
        self.sock, self.held, self.left, self.at_newkeys = sock, b"", left, at_newkeys

    def __getattr__(self, name):  # all but send is the socket's
        return getattr(self.sock, name)

    def send(self, data):
        self.at_newkeys &= data[5:6] != paramiko.common.cMSG_NEWKEYS  # (sent in clear)
        if not self.left or self.at_newkeys:
            return self.sock.send(data)
        self.held, self.left = self.held + bytes(data), self.left - 1
        if not self.left:
            self.sock.sendall(self.held)
            self.held = b""
        return len(data)


def connect(port, user=USER, password=PASSWORD, timeout=10.0, source=None, host="127.0.0.1",
            held=()):
    """A paramiko Transport (from source), logged in unless user is None; its
    socket a HeldWrites(sock, *held), without Nagle, as OpenSSH's (small
    writes then wait for no ACK)."""
    sock = socket.create_connection((host, port), timeout=timeout, source_address=source)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    trans = paramiko.Transport(HeldWrites(sock, *held))
    try:
        trans.start_client(timeout=timeout)
        if user is not None:
            trans.auth_password(user, password)
    except BaseException:
        trans.close()
        raise
    return trans


def open_shell(trans, pty=True, timeout=10.0):
    """A session channel with a shell (and a pty unless pty is False)."""
    chan = trans.open_session(timeout=timeout)
    chan.settimeout(timeout)
    if pty:
        chan.get_pty(term="vt100", width=80, height=24)
    chan.invoke_shell()
    return chan


def try_login(port, user, password):
    """One password attempt on a fresh connection."""
    with connect(port, None) as trans:
        try:
            trans.auth_password(user, password)
            return trans.is_authenticated()
        except paramiko.AuthenticationException:
            return False


def recv_until(src, until, timeout=10.0, max_bytes=1 << 26):
    """Read a paramiko channel or a pipe until `until` holds (see _check)."""
    check, buf = _check(until), bytearray()
    deadline = time.monotonic() + timeout
    while not check(buf):
        left = deadline - time.monotonic()
        if left <= 0 or len(buf) > max_bytes:
            raise AssertionError(f"no expected data in {timeout}s: {len(buf)} bytes, last "
                                 f"{bytes(buf[-200:])!r}")
        if select.select([src], [], [], min(left, 1.0))[0]:
            chunk = src.recv(1 << 18) if hasattr(src, "recv") else os.read(src.fileno(), 1 << 18)
            if not chunk:
                raise AssertionError(f"end of stream after {len(buf)} bytes: "
                                     f"{bytes(buf[-200:])!r}")
            buf += chunk
    return bytes(buf)


def ping(chan, timeout=10.0):  # a command of faketelnet --cli and its answer
    chan.sendall(b"ping\r")
    recv_until(chan, b"pong\r\n", timeout=timeout)


def open_session_kept_open(trans):
    """A session channel that stays open when a request on it is refused
    (paramiko closes it): its CHANNEL_FAILURE replies are read as IGNORE, and
    a request waiting for one fails."""
    read, chan = trans.packetizer.read_message, None

    def read_message():  # (set before the open: the read under way is paramiko's own)
        ptype, msg = read()
        chanid = msg.get_int() if ptype == paramiko.common.MSG_CHANNEL_FAILURE else None
        msg.rewind()
        if chan is None or chanid != chan.chanid:
            return ptype, msg
        chan.event_ready = False
        chan.event.set()
        return paramiko.common.MSG_IGNORE, msg
    trans.packetizer.read_message = read_message
    chan = trans.open_session(timeout=10)
    return chan


def ssh_cmd(add_cleanup, port, workdir, **popen_kw):
    """The OpenSSH client logging in (stdin and stdout pipes unless popen_kw
    says otherwise), ended by add_cleanup; stderr to proc.stderr_path."""
    askpass = os.path.join(workdir, "askpass")
    with open(askpass, "w") as f:
        f.write(f"#!/bin/sh\necho '{PASSWORD}'\n")
    os.chmod(askpass, 0o700)
    with open(askpass + ".err", "wb") as err:
        proc = subprocess.Popen(
            ["ssh", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no",
             "-o", "UserKnownHostsFile=/dev/null", "-o", "PubkeyAuthentication=no",
             "-o", "NumberOfPasswordPrompts=1", "-o", "LogLevel=ERROR", "-p", str(port),
             f"{USER}@127.0.0.1"], **dict(dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE),
                                          **popen_kw), stderr=err, start_new_session=True,
            env=dict(os.environ, SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force", DISPLAY=":0"))
    proc.stderr_path = askpass + ".err"

    def end():
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)
        stop_process(proc, 5.0)
        with contextlib.suppress(OSError):  # the pipes closed, a last write lost
            proc.__exit__(None, None, None)
    add_cleanup(end)
    return proc


class PausableProxy:
    """A loopback TCP relay for one client connection to port, whose relay
    towards the client can be paused: a client that stops reading."""

    def __init__(self, port):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port, self.socks = self.listener.getsockname()[1], []
        self.flowing = threading.Event()
        self.flowing.set()
        threading.Thread(target=self._serve, args=(port,), daemon=True).start()

    def _serve(self, port):
        client = self.listener.accept()[0]
        upstream = socket.socket()
        upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # little kept in the kernel
        upstream.connect(("127.0.0.1", port))
        self.socks += [client, upstream]
        for src, dst, gate in ((client, upstream, None), (upstream, client, self.flowing)):
            threading.Thread(target=self._pump, args=(src, dst, gate), daemon=True).start()

    @staticmethod
    def _pump(src, dst, gate):
        with contextlib.suppress(OSError):
            while gate is None or gate.wait(60):
                data = src.recv(1 << 16)
                if not data:
                    break
                dst.sendall(data)
        for sock in (src, dst):
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)

    def close(self):  # a shutdown ends the pumps blocked on the sockets
        self.flowing.set()
        for sock in [self.listener] + self.socks:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
            sock.close()


# ---------------------------------------------------------------- device files

def param_file_path():
    return f"{test_root()}/config/param.xml"


def write_in_place(path, data, lock=False):
    """Rewrite path in place; with lock, under the parameter file's flock."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        if lock:
            fcntl.flock(fd, fcntl.LOCK_EX)
        os.ftruncate(fd, 0)
        os.write(fd, data.encode() if isinstance(data, str) else data)
    finally:
        os.close(fd)


def restore_at_cleanup(testcase, path):
    """Put path's bytes (or its absence) back when the test ends."""
    data = read_file(path) if os.path.exists(path) else None
    testcase.addCleanup(lambda: write_in_place(path, data, lock=path == param_file_path())
                        if data is not None else os.path.exists(path) and os.unlink(path))


def param_xml(**params):
    """Parameter-file text: one CHANNEL_1 group with params (NAME=text) in order."""
    body = "".join(f'        <PARAM NAME="{name}" TYPE="string">{value}</PARAM>\n'
                   for name, value in params.items())
    return f"<CONFIGURATION>\n    <CHANNEL_1>\n{body}    </CHANNEL_1>\n</CONFIGURATION>\n"


# ---------------------------------------------------------------- debug console

def console_paths(port):  # (request pipe, response pipe)
    return f"{test_root()}/var/request{port}", f"{test_root()}/var/response{port}"


def remove_console_pipes(port):
    for path in console_paths(port) if port else ():
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def console_ask(port, request, until, timeout=15.0):
    """The debug console's answer, asked as an operator does, read until `until`
    holds, and then for 0.2 s (the service keeps its pipes open: no EOF)."""
    paths = console_paths(port)
    wait_until(lambda: all(os.path.exists(p) and stat.S_ISFIFO(os.stat(p).st_mode)
                           for p in paths), timeout, f"pipes {paths}")
    with open(os.open(paths[1], os.O_RDONLY | os.O_NONBLOCK), "rb", buffering=0) as answers:
        answers.read()  # stale answers
        with open(os.open(paths[0], os.O_WRONLY | os.O_NONBLOCK), "wb", buffering=0) as pipe:
            pipe.write(request.encode())
        data = recv_until(answers, until, timeout)
        for _ in range(100):
            if not select.select([answers], [], [], 0.2)[0]:
                return data
            data += answers.read()
        return data


if __name__ == "__main__":
    if sys.argv[1:] != ["hostkeys"]:
        sys.exit(f"usage: {sys.argv[0]} hostkeys")
    ensure_host_keys()
