#!/usr/bin/env python3
"""sshapi against OpenSSH's sshd and dropbear, side by side, on one machine.

Started by bench/run.sh (which checks for root, installs the peers, builds
and cleans up); runnable alone as root with --build and --workdir.

What runs, all on 127.0.0.1:
  faketelnet    one telnet stand-in on a fixed port, restarted per phase in
                the mode that phase needs (--send-bytes, --sink, --cli)
  sshapi        the service, one user (-U/-P), an Ed25519 host key
  sshd          OpenSSH's sshd run by hand (own config, port, host key),
                password login of a scratch user, ForceCommand "exec relay.sh"
  dropbear      the same with -c "exec relay.sh"
relay.sh is what a device maker would ship: it opens the telnet connection,
sends the "local_ip_preview:" line sshapi sends, and execs socat to relay
the channel, so only socat joins the server's processes of a session.

Clients are OpenSSH's ssh (no pty, -T) under sshpass, one cipher set at a
time, key exchange curve25519-sha256, host key ssh-ed25519 on all three.
Repetitions alternate the order of the servers so machine drift hits all
alike. Every wait is bounded.
"""

import argparse
import fcntl
import json
import os
import resource
import secrets
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sshapi_harness as h  # noqa: E402  (faketelnet, waits, the pattern, log configuration)

MB = 1e6
F_SETPIPE_SZ = 1031
PIPE_SIZE = 1 << 20
PREVIEW, PROMPT = h.PREVIEW, h.PROMPT
READY = b"READY\n"

CIPHER_SETS = [
    ("aes128-gcm", "aes128-gcm@openssh.com", "hmac-sha2-256"),
    ("aes128-ctr+hmac-sha2-256", "aes128-ctr", "hmac-sha2-256"),
]
KEX = "curve25519-sha256"

MODES = {
    # name: download MiB, upload MiB, latency rounds, setup sessions,
    #       idle sessions, idle seconds, repetitions (throughput), reps (latency/setup)
    "quick": dict(down_mib=128, up_mib=64, rounds=1000, setups=30, idle_n=100, idle_s=10,
                  reps=3, reps_small=2),
    "full": dict(down_mib=512, up_mib=256, rounds=2000, setups=100, idle_n=500, idle_s=30,
                 reps=5, reps_small=3),
}

STATE_USER = "user"
STATE_PIDS = "pids"


class BenchError(Exception):
    pass


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


free_port, wait_until = h.free_port, h.wait_until
IN_USE = "Address already in use"  # a server's log when its port is taken


# ---------------------------------------------------------------- /proc

def read_proc_table():
    """pid -> ppid for every process."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            table[int(name)] = int(fields[1])
        except (OSError, IndexError, ValueError):
            pass
    return table


def process_tree(root):
    """root and all its descendants that exist now."""
    table = read_proc_table()
    children = {}
    for pid, ppid in table.items():
        children.setdefault(ppid, []).append(pid)
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        if pid in table or pid == root:
            out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def proc_stats(pid):
    """dict(rss, pss in bytes, fds, threads, cpu seconds) of one process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        rss = pss = 0
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Rss:"):
                    rss = int(line.split()[1]) * 1024
                elif line.startswith("Pss:"):
                    pss = int(line.split()[1]) * 1024
        threads = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    threads = int(line.split()[1])
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        return dict(rss=rss, pss=pss, fds=fds, threads=threads, cpu=cpu, procs=1)
    except (OSError, IndexError, ValueError):
        return None


def tree_stats(root):
    total = dict(rss=0, pss=0, fds=0, threads=0, cpu=0.0, procs=0)
    for pid in process_tree(root):
        st = proc_stats(pid)
        if st is None:
            continue
        for key in total:
            total[key] += st[key]
    return total


def terminate_pids(pids, timeout=5.0):
    """SIGTERM each pid, then SIGKILL what is left; bounded."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            pass
    deadline = time.monotonic() + timeout
    left = list(pids)
    while left and time.monotonic() < deadline:
        left = [p for p in left if os.path.exists(f"/proc/{p}") and not _is_zombie(p)]
        if left:
            time.sleep(0.02)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


def _is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


# ---------------------------------------------------------------- state

class State:
    """What must be undone: the scratch user and the pids of the servers
    (recorded in the work directory too, for run.sh's last-resort cleanup)."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.user = None
        self.server_pids = []

    def set_user(self, name):
        self.user = name
        with open(os.path.join(self.workdir, STATE_USER), "w") as f:
            f.write(name + "\n")

    def add_pid(self, pid):
        self.server_pids.append(pid)
        with open(os.path.join(self.workdir, STATE_PIDS), "a") as f:
            f.write(f"{pid}\n")


def cleanup_workdir(workdir):
    """Undo what a (possibly killed) run left: server process trees, the
    scratch user. Only pids this suite recorded are touched."""
    pids_path = os.path.join(workdir, STATE_PIDS)
    if os.path.exists(pids_path):
        roots = [int(x) for x in open(pids_path).read().split()]
        doomed = []
        for root in roots:
            if _cmdline_in(root, workdir):
                doomed.extend(process_tree(root))
        # descendants first is not needed: TERM then KILL covers all
        terminate_pids(sorted(set(doomed)))
        os.unlink(pids_path)
    user_path = os.path.join(workdir, STATE_USER)
    if os.path.exists(user_path):
        name = open(user_path).read().strip()
        remove_user(name)
        os.unlink(user_path)


def _cmdline_in(pid, workdir):
    """True if pid still runs something this suite started (its command line
    names the work directory or it is one of our servers)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            text = f.read().decode(errors="replace")
    except OSError:
        return False
    return workdir in text


def remove_user(name):
    if not name.startswith("sshbench"):
        return
    try:
        import pwd
        pwd.getpwnam(name)
    except KeyError:
        return
    # sessions of the user still alive would block userdel
    for pid, _ in read_proc_table().items():
        try:
            if os.stat(f"/proc/{pid}").st_uid == pwd.getpwnam(name).pw_uid:
                os.kill(pid, signal.SIGKILL)
        except (OSError, KeyError):
            pass
    subprocess.run(["userdel", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=30)


# ---------------------------------------------------------------- servers

class FakeTelnet(h.FakeTelnet):
    """The harness's faketelnet on a fixed port, restarted per phase; its
    pid recorded for run.sh's last-resort cleanup."""

    def __init__(self, binary, workdir, port, state):
        super().__init__(workdir, binary)
        self.fixed_port, self.state = port, state

    def start(self, **mode):
        self.stop()
        super().start(port=self.fixed_port, **mode)
        self.state.add_pid(self.proc.pid)


class Server:
    """One SSH server under test: its listener pid is the root of the
    process tree that is measured."""

    name = "?"
    kind = "peer"

    def __init__(self, ctx):
        self.ctx = ctx
        self.port = free_port()
        self.proc = None
        self.unsupported = set()   # cipher set names the server cannot do

    def argv(self):
        raise NotImplementedError

    def logs(self):
        """Its standard output and error, and sshapi's own log."""
        return "".join(h.read_file(os.path.join(self.ctx.workdir, f"{self.name}{suffix}.log"))
                       .decode("utf-8", "replace") for suffix in ("", "-service"))

    def start(self, attempts=3):
        """Start it and wait until it answers; while its log says the port is
        taken (sshd and dropbear then exit, sshapi retries), on a new port."""
        for _ in range(attempts):
            taken = self.logs().count(IN_USE)
            with open(os.path.join(self.ctx.workdir, f"{self.name}.log"), "ab") as out:
                self.proc = subprocess.Popen(self.argv(), stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=out, start_new_session=True,
                                             cwd=self.ctx.workdir)
            self.ctx.state.add_pid(self.proc.pid)
            if wait_until(lambda: self._ready(taken), 15, f"{self.name} on port {self.port}",
                          0.05, show=lambda: "log:\n" + self.logs()[-3000:]) is True:
                return
            log(f"{self.name}: port {self.port} taken, trying another")
            self.stop()
            self.port = free_port()
        raise BenchError(f"{self.name}: no free port in {attempts} attempts; see "
                         f"{self.ctx.workdir}/{self.name}*.log")

    def _ready(self, taken):
        if self.logs().count(IN_USE) > taken:
            return "taken"
        if self.proc.poll() is not None:
            raise BenchError(f"{self.name} exited with {self.proc.returncode}; log:\n"
                             f"{self.logs()[-3000:]}")
        return h.probe_ssh_banner(self.port)

    def stop(self):
        if self.proc is not None:
            terminate_pids(process_tree(self.proc.pid))
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
            self.proc = None


class SshApi(Server):
    kind = "sshapi"

    def __init__(self, ctx, name, binary):
        self.name = name
        self.binary = binary
        super().__init__(ctx)

    def argv(self):
        w = self.ctx.workdir
        conf = h.write_log_config(f"{w}/{self.name}-log4cpp.conf", f"{w}/{self.name}-service.log",
                                  "INFO", "%d [%p] %m%n")
        return [self.binary, "-c", conf, "-a", "127.0.0.1", "-p", str(self.port),
                "-t", str(self.ctx.telnet_port), "-U", self.ctx.user,
                "-P", h.md5hex(self.ctx.password), "--ed25519", self.ctx.key_openssh]


class Sshd(Server):
    name = "sshd"

    def argv(self):
        w = self.ctx.workdir
        conf = os.path.join(w, "sshd_config")
        with open(conf, "w") as f:
            f.write(f"""Port {self.port}
ListenAddress 127.0.0.1
HostKey {self.ctx.key_openssh}
PidFile {w}/sshd.pid
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
AuthorizedKeysFile none
PermitRootLogin no
AllowUsers {self.ctx.user}
ForceCommand exec {self.ctx.relay}
AllowTcpForwarding no
AllowAgentForwarding no
X11Forwarding no
PermitTunnel no
PrintMotd no
PrintLastLog no
UseDNS no
StrictModes no
MaxStartups 200
LogLevel ERROR
""")
        return ["/usr/sbin/sshd", "-D", "-e", "-f", conf]

    def start(self):
        # the privilege separation directory of Debian's build
        if not os.path.isdir("/run/sshd"):
            os.makedirs("/run/sshd", mode=0o755)
            self.ctx.created_run_sshd = True
        super().start()


class Dropbear(Server):
    name = "dropbear"

    def argv(self):
        w = self.ctx.workdir
        return ["/usr/sbin/dropbear", "-F", "-E", "-w", "-j", "-k", "-m",
                "-p", f"127.0.0.1:{self.port}", "-r", self.ctx.key_dropbear,
                "-c", f"exec {self.ctx.relay}", "-P", f"{w}/dropbear.pid"]


# ---------------------------------------------------------------- clients

class Client:
    """sshpass + ssh -T with stdin and stdout pipes."""

    def __init__(self, ctx, server, cset, verbose=False):
        _, cipher, mac = cset
        self.ctx = ctx
        argv = ["sshpass", "-e", "ssh", "-F", "/dev/null", "-T",
                "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                "-o", "GlobalKnownHostsFile=/dev/null",
                "-o", "PubkeyAuthentication=no", "-o", "PreferredAuthentications=password",
                "-o", "GSSAPIAuthentication=no", "-o", "NumberOfPasswordPrompts=1",
                "-o", "ConnectTimeout=10", "-o", "Compression=no", "-o", "ControlMaster=no",
                "-o", "HostKeyAlgorithms=ssh-ed25519", "-o", f"KexAlgorithms={KEX}",
                "-o", f"Ciphers={cipher}", "-o", f"MACs={mac}",
                "-o", "LogLevel=" + ("DEBUG1" if verbose else "ERROR"),
                "-p", str(server.port), f"{ctx.user}@127.0.0.1"]
        self.err_path = os.path.join(ctx.workdir, "client-stderr.log")
        err = open(self.err_path, "wb" if verbose else "ab")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=err, env=ctx.client_env, start_new_session=True)
        err.close()
        self.out_fd = self.proc.stdout.fileno()
        self.in_fd = self.proc.stdin.fileno()
        self.poller = select.poll()
        self.poller.register(self.out_fd, select.POLLIN)
        for fd in (self.out_fd, self.in_fd):
            try:
                fcntl.fcntl(fd, F_SETPIPE_SZ, PIPE_SIZE)
            except OSError:
                pass

    def wait_readable(self, timeout):
        """True when stdout has data or end of file (poll: descriptors of
        hundreds of clients are past select's limit)."""
        return bool(self.poller.poll(timeout * 1000))

    def read_until(self, pred, timeout, what, buf=None):
        """Read stdout into buf (a bytearray) until pred(buf); returns buf."""
        buf = bytearray() if buf is None else buf
        deadline = time.monotonic() + timeout
        while not pred(buf):
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError(f"timed out waiting for {what}; got {bytes(buf[-80:])!r}")
            ready = self.wait_readable(min(left, 1.0))
            if not ready:
                continue
            chunk = os.read(self.out_fd, 1 << 20)
            if not chunk:
                raise BenchError(f"end of stream waiting for {what}; got {bytes(buf[-80:])!r}; "
                                 f"ssh: {self.stderr_tail()}")
            buf += chunk
        return buf

    def stderr_tail(self):
        try:
            return open(self.err_path, "rb").read()[-300:].decode(errors="replace")
        except OSError:
            return ""

    def close(self, timeout=5.0):
        """End ssh (the child of sshpass), then sshpass; bounded."""
        if self.proc.poll() is None:
            kids = []
            try:
                kids = [int(x) for x in open(
                    f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read().split()]
            except OSError:
                pass
            terminate_pids(kids + [self.proc.pid], timeout)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass


# ---------------------------------------------------------------- context

class Ctx:
    pass


def make_ctx(args, state):
    ctx = Ctx()
    ctx.args = args
    ctx.state = state
    ctx.workdir = args.workdir
    ctx.created_run_sshd = False
    ctx.telnet_port = free_port()
    ctx.user = "sshbench" + secrets.token_hex(3)
    ctx.password = secrets.token_urlsafe(12)
    ctx.client_env = dict(os.environ, SSHPASS=ctx.password)
    w = ctx.workdir

    home = os.path.join(w, "home")
    os.makedirs(home)
    state.set_user(ctx.user)
    subprocess.run(["useradd", "--no-create-home", "--home-dir", home, "--shell", "/bin/sh",
                    "--user-group", ctx.user], check=True, timeout=30)
    subprocess.run(["chpasswd"], input=f"{ctx.user}:{ctx.password}\n".encode(), check=True,
                   timeout=30)
    shutil.chown(home, ctx.user, ctx.user)
    log(f"scratch user {ctx.user} created (removed at the end)")

    ctx.key_openssh = os.path.join(w, "host_ed25519_key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "bench",
                    "-f", ctx.key_openssh], check=True, timeout=30,
                   stdin=subprocess.DEVNULL)
    ctx.key_dropbear = os.path.join(w, "dropbear_ed25519_key")
    subprocess.run(["dropbearkey", "-t", "ed25519", "-f", ctx.key_dropbear], check=True,
                   timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # The forced command of the peers: the same preview line sshapi sends,
    # then socat relays the channel (bash execs it: one process per session).
    # shut-down: socat's default for a plain descriptor is to wait 0.5 s
    # after the client's end of input instead of passing it on.
    ctx.relay = os.path.join(w, "relay.sh")
    socat_opts = f"-b {args.socat_buf} " if args.socat_buf else ""
    with open(ctx.relay, "w") as f:
        f.write(f"""#!/bin/bash
exec 3<>/dev/tcp/127.0.0.1/{ctx.telnet_port} || exit 1
set -- $SSH_CONNECTION
printf 'local_ip_preview:%s\\n' "${{3:-127.0.0.1}}" >&3
exec socat {socat_opts}- FD:3,shut-down
""")
    os.chmod(ctx.relay, 0o755)
    return ctx


# ---------------------------------------------------------------- figures

def upload_block(size):
    """Upload data: no NUL byte (sshapi echoes a chunk as text, up to its first NUL)."""
    period = bytes(((i * 37 + 11) % 255) + 1 for i in range(255))
    return (period * (size // 255 + 1))[:size]


def check_cipher(ctx, server, cset, telnet):
    """One session with ssh -v: which algorithms were negotiated, or why none."""
    client = Client(ctx, server, cset, verbose=True)
    try:
        client.read_until(lambda b: len(b) > 0, 15, "first byte")
        ok = True
    except BenchError:
        ok = False
    finally:
        client.close()
    text = open(client.err_path, "rb").read().decode(errors="replace")
    kex = cipher = None
    for line in text.splitlines():
        if "kex: algorithm:" in line:
            kex = line.split("kex: algorithm:")[1].strip()
        if "kex: server->client cipher:" in line:
            cipher = line.split("kex: server->client cipher:")[1].strip()
    if not ok:
        reason = "no matching cipher" if "no matching cipher" in text else text[-200:].strip()
        return False, reason
    return True, f"kex {kex}; {cipher}"


def run_download(ctx, server, cset, nbytes, telnet):
    pat = h.pattern((1 << 21) + 512)
    client = Client(ctx, server, cset)
    try:
        buf = bytearray(1 << 20)
        view = memoryview(buf)
        got = 0
        first_len = 0
        t_first = None
        n_chunk = 0
        deadline = time.monotonic() + ctx.args.run_timeout
        fin = open(client.out_fd, "rb", buffering=0, closefd=False)
        while got < nbytes:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError(f"download timed out at {got} bytes")
            ready = client.wait_readable(min(left, 1.0))
            if not ready:
                continue
            n = fin.readinto(view)
            if not n:
                raise BenchError(f"download ended at {got} bytes: {client.stderr_tail()}")
            if t_first is None:
                t_first = time.perf_counter()
                first_len = n
            if n_chunk % 32 == 0:   # sampled check of the content
                off = got % 256
                if bytes(view[:n]) != pat[off:off + n]:
                    raise BenchError(f"download data wrong at offset {got}")
            n_chunk += 1
            got += n
        t_last = time.perf_counter()
        if got != nbytes:
            raise BenchError(f"download got {got} bytes, expected {nbytes}")
    finally:
        client.close()
    return (got - first_len) / (t_last - t_first) / MB


def expected_sink_hash(ctx, telnet, data):
    """FNV-1a 64 of data as faketelnet --sink computes it, from one plain TCP
    connection (so the check uses the same code as the measured runs)."""
    conn = telnet.conn_count() + 1
    with socket.create_connection(("127.0.0.1", ctx.telnet_port), timeout=10) as sock:
        sock.sendall(PREVIEW)
        view = memoryview(data)
        for pos in range(0, len(view), 1 << 20):
            sock.sendall(view[pos:pos + (1 << 20)])
        sock.shutdown(socket.SHUT_WR)
        sock.settimeout(30)
        while sock.recv(65536):
            pass
    summary = telnet.wait_done(conn, 60)
    return summary["fnv1a64"]


def run_upload(ctx, server, cset, data, expect_hash, telnet):
    echo = server.kind == "sshapi"
    nbytes = len(data)
    client = Client(ctx, server, cset)
    err = []
    try:
        client.read_until(lambda b: READY in b, 15, "ready banner")
        conn = telnet.conn_count()
        view = memoryview(data)

        def writer():
            try:
                pos = 0
                while pos < nbytes:
                    pos += os.write(client.in_fd, view[pos:pos + (1 << 20)])
                os.close(client.in_fd)
            except OSError as exc:
                err.append(exc)

        t0 = time.perf_counter()
        thread = threading.Thread(target=writer, daemon=True)
        thread.start()
        buf = bytearray(1 << 20)
        mv = memoryview(buf)
        fin = open(client.out_fd, "rb", buffering=0, closefd=False)
        got = 0
        n_chunk = 0
        t_end = None
        deadline = time.monotonic() + ctx.args.run_timeout
        out_open = True
        while True:
            if time.monotonic() > deadline:
                raise BenchError(f"upload timed out (echo {got} of {nbytes})")
            if echo and got >= nbytes:
                t_end = time.perf_counter()
                break
            if not echo and telnet.summary(conn) is not None:
                t_end = time.perf_counter()
                break
            if not out_open:
                time.sleep(0.001)
                continue
            ready = client.wait_readable(0.002)
            if not ready:
                continue
            n = fin.readinto(mv)
            if not n:
                out_open = False
                continue
            if echo and n_chunk % 32 == 0:
                if bytes(mv[:n]) != bytes(view[got:got + n]):
                    raise BenchError(f"echo data wrong at offset {got}")
            n_chunk += 1
            got += n
        thread.join(30)
        if err:
            raise BenchError(f"upload write failed: {err[0]}")
        if echo and got != nbytes:
            raise BenchError(f"echo {got} bytes, expected {nbytes}")
        if not echo and got != 0:
            raise BenchError(f"{server.name} sent {got} unexpected bytes")
    finally:
        client.close()
    summary = telnet.wait_done(conn, 30)
    if summary.get("bytes") != nbytes + len(PREVIEW) or summary.get("fnv1a64") != expect_hash:
        raise BenchError(f"telnet service received {summary}, expected {nbytes + len(PREVIEW)} "
                         f"bytes with fnv1a64 {expect_hash:016x}")
    return nbytes / (t_end - t0) / MB


def run_latency(ctx, servers, cset, rounds, rep):
    """One session per server, open at the same time; the rounds go to the
    servers in turn (rotating order), so load bursts from elsewhere on the
    machine hit all of them alike. Returns {name: (p50 ms, p99 ms)}."""
    answer = b"pong\r\n" + PROMPT
    clients = {}
    samples = {s.name: [] for s in servers}
    try:
        for s in servers:
            clients[s.name] = Client(ctx, s, cset)
        for s in servers:
            clients[s.name].read_until(lambda b: PROMPT in b, 15, f"first prompt of {s.name}")
        time.sleep(0.05)
        buf = bytearray()
        for i in range(rounds):
            for s in rotated(servers, rep + i):
                client = clients[s.name]
                # sshapi echoes the line before the answer comes
                want = len(answer) + (len(b"ping\n") if s.kind == "sshapi" else 0)
                del buf[:]
                t0 = time.perf_counter()
                os.write(client.in_fd, b"ping\n")
                client.read_until(lambda b: len(b) >= want, 10, "pong", buf)
                samples[s.name].append(time.perf_counter() - t0)
                if len(buf) != want or not bytes(buf).endswith(answer):
                    raise BenchError(f"{s.name}: unexpected answer {bytes(buf)!r}")
    finally:
        for client in clients.values():
            client.close()
    out = {}
    for name, vals in samples.items():
        vals.sort()
        out[name] = (vals[len(vals) // 2] * 1e3,
                     vals[min(len(vals) - 1, int(len(vals) * 0.99))] * 1e3)
    return out


def run_setup(ctx, servers, cset, count, rep):
    """count sequential sessions per server, the servers taking turns.
    Each session: spawn sshpass + ssh, key exchange, password login, shell,
    first byte from the telnet service; then the client is ended. Returns
    {name: sessions/s}, from the mean time from spawn to first byte."""
    times = {s.name: [] for s in servers}
    for i in range(count):
        for s in rotated(servers, rep + i):
            t0 = time.perf_counter()
            client = Client(ctx, s, cset)
            try:
                client.read_until(lambda b: len(b) > 0, 15, f"first byte from {s.name}")
                times[s.name].append(time.perf_counter() - t0)
            finally:
                client.close()
    return {name: len(v) / sum(v) for name, v in times.items()}


def run_idle(ctx, server, cset, count, idle_s):
    root = server.proc.pid
    time.sleep(1.0)
    base = tree_stats(root)
    clients = []
    lock = threading.Lock()
    failures = []
    todo = list(range(count))

    def opener():
        while True:
            with lock:
                if not todo or failures:
                    return
                todo.pop()
            try:
                client = Client(ctx, server, cset)
            except OSError as exc:
                failures.append(str(exc))
                return
            with lock:
                clients.append(client)
            try:
                client.read_until(lambda b: PROMPT in b, 30, "prompt")
            except BenchError as exc:
                failures.append(str(exc))
                return

    # dropbear refuses more than 5 unauthenticated connections per address
    workers = [threading.Thread(target=opener, daemon=True) for _ in range(4)]
    t_open = time.perf_counter()
    for t in workers:
        t.start()
    for t in workers:
        t.join(count * 2 + 60)
    t_open = time.perf_counter() - t_open
    try:
        if failures:
            raise BenchError(f"{server.name}: opening idle sessions failed: {failures[0]}")
        time.sleep(3.0)          # let the last logins settle
        s0 = tree_stats(root)
        time.sleep(idle_s)
        s1 = tree_stats(root)
        alive = sum(1 for c in clients if c.proc.poll() is None)
        if alive != count:
            raise BenchError(f"{server.name}: only {alive} of {count} idle sessions alive")
    finally:
        for client in clients:
            client.close(2.0)
    per = lambda key, s=s0: (s[key] - base[key]) / count  # noqa: E731
    return dict(pss_kib=per("pss") / 1024, rss_kib=per("rss") / 1024, fds=per("fds"),
                threads=per("threads"), procs=per("procs"),
                cpu_pct=(s1["cpu"] - s0["cpu"]) / idle_s * 100, open_s=t_open)


# ---------------------------------------------------------------- machine limits

def openssl_speed(alg, seconds):
    out = subprocess.run(["openssl", "speed", "-mr", "-seconds", str(seconds), "-bytes", "16384",
                          "-evp", alg], capture_output=True, text=True, timeout=120).stdout
    for line in out.splitlines():
        if line.startswith("+F:"):
            # +F:<n>:<name>:<bytes per second for each block size>
            return float(line.split(":")[-1]) / MB
    raise BenchError(f"openssl speed {alg}: no result")


TCP_RECEIVER = r"""
import socket, sys, time
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(1)
print(srv.getsockname()[1], flush=True)
conn, _ = srv.accept(); buf = bytearray(1 << 20); total = 0
while True:
    n = conn.recv_into(buf)
    if not n: break
    total += n
print(total, flush=True)
"""


def loopback_tcp(nbytes):
    recv = subprocess.Popen([sys.executable, "-c", TCP_RECEIVER], stdout=subprocess.PIPE,
                            text=True)
    try:
        port = int(recv.stdout.readline())
        data = memoryview(bytes(1 << 20))
        with socket.create_connection(("127.0.0.1", port)) as sock:
            t0 = time.perf_counter()
            sent = 0
            while sent < nbytes:
                sock.sendall(data)
                sent += len(data)
            sock.shutdown(socket.SHUT_WR)
            total = int(recv.stdout.readline())
            elapsed = time.perf_counter() - t0
        if total != sent:
            raise BenchError("loopback TCP lost data")
        return sent / elapsed / MB
    finally:
        recv.wait(30)


def poll_floor(workdir, count, seconds):
    """CPU (% of one core) of bench/pollfloor.c: count threads that only poll
    two idle loopback sockets every 100 ms, the least a server of this
    design can use while idle here."""
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pollfloor.c")
    exe = os.path.join(workdir, "pollfloor")
    subprocess.run(["cc", "-O2", "-pthread", "-o", exe, src], check=True, timeout=120)
    proc = subprocess.Popen([exe, str(count)], stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        line = proc.stdout.readline()
        if not line.startswith("ready"):
            raise BenchError(f"pollfloor did not start: {line!r}")
        time.sleep(2.0)
        c0 = tree_stats(proc.pid)["cpu"]
        time.sleep(seconds)
        c1 = tree_stats(proc.pid)["cpu"]
        return (c1 - c0) / seconds * 100
    finally:
        terminate_pids([proc.pid])
        proc.wait(10)


# ---------------------------------------------------------------- table

def summary(values):
    return statistics.median(values), min(values), max(values)


def fmt(v):
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}" if v >= 1 else f"{v:.3f}"


def render(results, servers, limits, mode, meta):
    """Markdown: one row per figure and cipher set."""
    subjects = [s.name for s in servers if s.kind == "sshapi"]
    peers = [s.name for s in servers if s.kind != "sshapi"]
    head = ["figure", "cipher set"] + [s.name for s in servers]
    head += [f"{a}/{p}" for a in subjects for p in peers] + ["goal", "met"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in results:
        cells = [row["figure"], row["cset"]]
        med = {}
        for s in servers:
            vals = row["values"].get(s.name)
            if not vals:
                cells.append("n/a")
                continue
            m, lo, hi = summary(vals)
            med[s.name] = m
            cells.append(f"{fmt(m)} ({fmt(lo)}–{fmt(hi)})" if len(vals) > 1 else fmt(m))
        for a in subjects:
            for p in peers:
                cells.append(f"{med[a] / med[p]:.2f}" if a in med and p in med and med[p] else "–")
        goal, met = evaluate(row, med, subjects[0] if subjects else None, peers)
        cells += [goal, met]
        lines.append("| " + " | ".join(cells) + " |")
    text = "\n".join(lines)
    notes = [
        "",
        f"Mode {mode}: " + meta,
        "Cells: median (min–max) over the repetitions; ratio = sshapi median / peer median.",
        "Download: telnet service to client, MB/s (10^6 bytes) from first to last byte.",
        "Upload: client to telnet service, MB/s until the telnet service has every byte "
        "(checked by count and FNV-1a); sshapi also echoes every byte back and the client "
        "drains it: that echo is part of sshapi's figure, the peers echo nothing.",
        "Latency: 'ping' to the telnet service and 'pong' + prompt back on one session per "
        "server, ms; the servers' sessions are open together and take turns round by round; "
        "for sshapi the round also waits for the echo of 'ping'.",
        "Setup: sequential sessions, the servers taking turns session by session (sshpass + "
        "ssh: key exchange, password login, shell, first byte from the telnet service); "
        "sessions/s = 1 / mean time from starting the client to that first byte.",
        "Idle: per session, from the server's process tree (sshd/dropbear: listener and every "
        "child incl. socat; sshapi: its one process): PSS (shared pages split among the "
        "processes that share them) and RSS (summed) in KiB, descriptors, threads, processes; "
        "CPU of the whole tree while idle, % of one core.",
        "Peers: forced command 'exec relay.sh': it opens the telnet connection, sends the "
        "same preview line as sshapi and execs "
        f"'socat{' -b ' + str(meta_socat_buf) if meta_socat_buf else ''} - FD:3,shut-down' "
        "(socat's default 8192-byte buffer unless -b is shown). dropbear 2022.83 as built by "
        "Debian has no AES-GCM: n/a.",
    ]
    if limits:
        notes += ["", "| machine limit | value |", "|---|---|"]
        for key, vals in limits.items():
            m, lo, hi = summary(vals)
            notes.append(f"| {key} | {fmt(m)} ({fmt(lo)}–{fmt(hi)}) |")
    return text + "\n" + "\n".join(notes) + "\n"


meta_socat_buf = 0

GOALS = {
    "download MB/s": ("≥ better peer", "max"),
    "upload MB/s (sshapi: + echo)": ("≥ better peer", "max"),
    "setup sessions/s": ("≥ better peer", "max"),
    "latency p99 ms": ("≤ better peer", "min"),
    "latency p50 ms": ("(info)", None),
    "idle PSS KiB/session": ("≤ ¼ better peer", "quarter"),
    "idle RSS KiB/session": ("(info)", None),
    "idle CPU % of a core": ("< 5 %", "cpu"),
    "idle fds/session": ("(info)", None),
    "idle threads/session": ("(info)", None),
    "idle processes/session": ("(info)", None),
}


def evaluate(row, med, subject, peers):
    goal, rule = GOALS.get(row["figure"], ("", None))
    if rule is None or subject not in med:
        return goal, ""
    v = med[subject]
    pv = [med[p] for p in peers if p in med]
    if rule == "cpu":
        # the goal is for 500 sessions; fewer (quick mode) are scaled up
        scaled = v * 500 / row.get("sessions", 500)
        note = "" if row.get("sessions", 500) == 500 else f" ({scaled:.1f} scaled to 500)"
        return goal, ("yes" if scaled < 5 else "NO") + note
    if not pv:
        return goal, ""
    if rule == "max":
        return goal, "yes" if v >= max(pv) else "NO"
    if rule == "min":
        return goal, "yes" if v <= min(pv) else "NO"
    if rule == "quarter":
        return goal, "yes" if v <= 0.25 * min(pv) else "NO"
    return goal, ""


# ---------------------------------------------------------------- main

def rotated(servers, rep):
    k = rep % len(servers)
    return servers[k:] + servers[:k]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", dest="mode", action="store_const", const="quick",
                    help="about 3 minutes (default): 128/64 MiB transfers, 1000 latency "
                         "rounds, 30 setups, 100 idle sessions for 10 s")
    ap.add_argument("--full", dest="mode", action="store_const", const="full",
                    help="512/256 MiB transfers, 2000 latency rounds, 100 setups, 500 idle "
                         "sessions for 30 s; about 11 minutes")
    ap.add_argument("--out", help="also write the table to this file")
    ap.add_argument("--json", help="write the raw results as JSON")
    ap.add_argument("--build", help="build directory with service/sshapi and tools/faketelnet")
    ap.add_argument("--workdir", help="scratch directory (run.sh makes it)")
    ap.add_argument("--sshapi", help="sshapi binary (default: the build's)")
    ap.add_argument("--also", action="append", default=[], metavar="NAME=BINARY",
                    help="measure another sshapi binary as well (e.g. a before/after pair)")
    ap.add_argument("--only", default="limits,latency,setup,download,upload,idle",
                    help="comma list of figures to run")
    ap.add_argument("--peers", default="sshd,dropbear", help="comma list: sshd, dropbear")
    ap.add_argument("--reps", type=int, help="repetitions of the throughput figures")
    ap.add_argument("--reps-small", type=int, help="repetitions of latency and setup")
    ap.add_argument("--idle-sessions", type=int, help="concurrent idle sessions")
    ap.add_argument("--idle-seconds", type=int, help="idle measurement time")
    ap.add_argument("--down-mib", type=int)
    ap.add_argument("--up-mib", type=int)
    ap.add_argument("--setups", type=int)
    ap.add_argument("--rounds", type=int)
    ap.add_argument("--socat-buf", type=int, default=0,
                    help="socat -b for the peers' relay (default: socat's own, 8192)")
    ap.add_argument("--run-timeout", type=float, default=120.0)
    ap.add_argument("--cleanup", metavar="WORKDIR", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.cleanup:
        cleanup_workdir(args.cleanup)
        return 0
    if os.geteuid() != 0:
        print("sshbench: needs root (scratch user with a password, sshd); use bench/run.sh",
              file=sys.stderr)
        return 1
    if not args.build or not args.workdir:
        print("sshbench: --build and --workdir are required (bench/run.sh passes them)",
              file=sys.stderr)
        return 2
    args.mode = args.mode or "quick"
    cfg = dict(MODES[args.mode])
    for key, opt in (("reps", "reps"), ("reps_small", "reps_small"),
                     ("idle_n", "idle_sessions"), ("idle_s", "idle_seconds"),
                     ("down_mib", "down_mib"), ("up_mib", "up_mib"), ("setups", "setups"),
                     ("rounds", "rounds")):
        if getattr(args, opt) is not None:
            cfg[key] = getattr(args, opt)
    global meta_socat_buf
    meta_socat_buf = args.socat_buf
    only = set(args.only.split(","))

    # many sessions at once need many descriptors, here and in the servers
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    state = State(args.workdir)
    servers = []
    telnet = None
    ctx = None

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    t_start = time.monotonic()
    results = []
    limits = {}
    try:
        ctx = make_ctx(args, state)
        telnet = FakeTelnet(os.path.join(args.build, "tools", "faketelnet"), args.workdir,
                            ctx.telnet_port, state)
        servers.append(SshApi(ctx, "sshapi", args.sshapi or
                              os.path.join(args.build, "service", "sshapi")))
        for entry in args.also:
            name, _, binary = entry.partition("=")
            servers.append(SshApi(ctx, name, os.path.realpath(binary)))
        peers = args.peers.split(",") if args.peers else []
        if "sshd" in peers:
            servers.append(Sshd(ctx))
        if "dropbear" in peers:
            servers.append(Dropbear(ctx))
        for s in servers:
            s.start()
            log(f"{s.name} listening on 127.0.0.1:{s.port}")

        if "limits" in only:
            log("machine limits: openssl speed (one core), loopback TCP")
            for rep in range(2):
                for alg in ("aes-128-gcm", "aes-128-ctr", "sha256"):
                    limits.setdefault(f"openssl {alg}, 16 KiB blocks, one core, MB/s", []).append(
                        openssl_speed(alg, 1 if args.mode == "quick" else 2))
                limits.setdefault("loopback TCP, one stream (python pair), MB/s", []).append(
                    loopback_tcp(1 << 30))

        # -- cipher check, latency, setup (telnet service answering commands)
        telnet.start(cli=True)
        log("checking negotiated algorithms")
        for s in servers:
            for cset in CIPHER_SETS:
                ok, what = check_cipher(ctx, s, cset, telnet)
                log(f"  {s.name} {cset[0]}: {'ok: ' + what if ok else 'NOT SUPPORTED: ' + what}")
                if not ok:
                    s.unsupported.add(cset[0])

        def active(cset):
            return [s for s in servers if cset[0] not in s.unsupported]

        def add(figure, cset, name, value):
            for row in results:
                if row["figure"] == figure and row["cset"] == cset:
                    row["values"].setdefault(name, []).append(value)
                    return
            results.append(dict(figure=figure, cset=cset, values={name: [value]}))

        if "latency" in only:
            for rep in range(cfg["reps_small"]):
                for cset in CIPHER_SETS:
                    res = run_latency(ctx, active(cset), cset, cfg["rounds"], rep)
                    for name, (p50, p99) in res.items():
                        add("latency p50 ms", cset[0], name, p50)
                        add("latency p99 ms", cset[0], name, p99)
                        log(f"latency {cset[0]} {name}: p50 {p50:.3f} ms p99 {p99:.3f} ms")
        if "setup" in only:
            for rep in range(cfg["reps_small"]):
                for cset in CIPHER_SETS:
                    res = run_setup(ctx, active(cset), cset, cfg["setups"], rep)
                    for name, rate in res.items():
                        add("setup sessions/s", cset[0], name, rate)
                        log(f"setup {cset[0]} {name}: {rate:.2f} sessions/s")

        if "download" in only:
            nbytes = cfg["down_mib"] << 20
            telnet.start(send_bytes=nbytes)
            for rep in range(cfg["reps"]):
                for cset in CIPHER_SETS:
                    for s in rotated(active(cset), rep):
                        v = run_download(ctx, s, cset, nbytes, telnet)
                        add("download MB/s", cset[0], s.name, v)
                        log(f"download {cset[0]} {s.name}: {v:.1f} MB/s")

        if "upload" in only:
            data = upload_block(cfg["up_mib"] << 20)
            telnet.start(sink=True, banner=READY.decode())
            expect = expected_sink_hash(ctx, telnet, data)
            for rep in range(cfg["reps"]):
                for cset in CIPHER_SETS:
                    for s in rotated(active(cset), rep):
                        v = run_upload(ctx, s, cset, data, expect, telnet)
                        add("upload MB/s (sshapi: + echo)", cset[0], s.name, v)
                        log(f"upload {cset[0]} {s.name}: {v:.1f} MB/s")
            del data

        if "idle" in only:
            telnet.start(cli=True)
            cset = CIPHER_SETS[1]   # the one set all three servers speak
            for s in active(cset):
                r = run_idle(ctx, s, cset, cfg["idle_n"], cfg["idle_s"])
                log(f"idle {s.name}: {r}")
                add("idle PSS KiB/session", cset[0], s.name, r["pss_kib"])
                add("idle RSS KiB/session", cset[0], s.name, r["rss_kib"])
                add("idle CPU % of a core", cset[0], s.name, r["cpu_pct"])
                add("idle fds/session", cset[0], s.name, r["fds"])
                add("idle threads/session", cset[0], s.name, r["threads"])
                add("idle processes/session", cset[0], s.name, r["procs"])
            for row in results:
                if row["figure"].startswith("idle"):
                    row["sessions"] = cfg["idle_n"]
            log("poll floor: the same number of threads that only poll")
            limits.setdefault(f"poll floor: {cfg['idle_n']} threads x poll(2 idle TCP sockets, "
                              f"100 ms), CPU % of a core", []).append(
                poll_floor(args.workdir, cfg["idle_n"], cfg["idle_s"]))
    except KeyboardInterrupt as exc:
        log(f"interrupted ({exc}); cleaning up")
        return 130
    finally:
        for s in servers:
            try:
                s.stop()
            except Exception as exc:  # noqa: BLE001 - cleanup goes on
                log(f"stopping {s.name}: {exc}")
        if telnet is not None:
            telnet.stop()
        if ctx is not None and ctx.created_run_sshd:
            shutil.rmtree("/run/sshd", ignore_errors=True)
        cleanup_workdir(args.workdir)

    order = {"latency": 0, "setup": 1, "download": 2, "upload": 3, "idle": 4}
    results.sort(key=lambda r: (order.get(r["figure"].split()[0], 9), r["cset"]))
    meta = (f"download {cfg['down_mib']} MiB, upload {cfg['up_mib']} MiB, "
            f"{cfg['reps']} repetitions; latency {cfg['rounds']} rounds and setup "
            f"{cfg['setups']} sessions, {cfg['reps_small']} repetitions; idle "
            f"{cfg['idle_n']} sessions for {cfg['idle_s']} s (aes128-ctr set); "
            f"{time.monotonic() - t_start:.0f} s in all")
    text = render(results, servers, limits, args.mode, meta)
    print()
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(mode=args.mode, cfg=cfg, results=results, limits=limits), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
