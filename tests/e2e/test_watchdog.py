"""Watchdog mode (-D): the service daemonises, and a supervisor process
restarts a crashed worker or ends with it.

This test process makes itself a child subreaper, so the daemonised
supervisor becomes its child: it can be found in /proc and its exit status
collected with waitpid. Workers are the supervisor's children."""

import contextlib
import ctypes
import os
import signal
import time
import unittest

import sshapi_harness as h

PR_SET_CHILD_SUBREAPER = 36
SANITIZER_OPTIONS = ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def setUpModule():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # gone meanwhile
        return b""


def proc_stat(pid):
    """(command name, parent pid, state) of a process, or None once it is gone."""
    text = read(f"/proc/{pid}/stat").decode()
    fields = text[text.rindex(")") + 2:].split() if text else None
    return fields and (text[text.index("(") + 1:text.rindex(")")], int(fields[1]), fields[0])


def processes(test):
    return [int(e) for e in os.listdir("/proc") if e.isdigit() and test(int(e))]


def children(ppid, zombies=False):
    """sshapi processes whose parent is ppid (live ones only, unless zombies)."""
    def test(pid):
        st = proc_stat(pid)
        return st and st[0] == "sshapi" and st[1] == ppid and (zombies or st[2] != "Z")
    return processes(test)


def processes_with_arg(marker):
    """Pids whose command line contains marker (zombies have none)."""
    return processes(lambda pid: marker.encode() in read(f"/proc/{pid}/cmdline"))


def file_identity(path):
    """Inode and change time of path, or None (inode numbers are reused)."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return st.st_ino, st.st_ctime_ns


class WatchdogTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir)
        self.port = h.free_port()
        self.svc = h.SshApi(self.dir)
        self.crashed = set()  # workers this test crashed on purpose
        h.remove_console_pipes(self.port)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.addCleanup(self.kill_all)

    def start_daemon(self, args):
        """sshapi -c <conf> -D args; returns the supervisor's pid."""
        # the workers' standard streams go to /dev/null: sanitizer reports to files
        env = dict(os.environ)
        for name in SANITIZER_OPTIONS:
            env[name] = f"{env.get(name, '')}:log_path={self.dir}/sanitizer"
        self.svc.start(["-D"] + args, expect_ready=False, env=env)
        self.assertEqual(self.svc.proc.wait(10), 0)  # daemon(): the first process leaves at once
        found = h.wait_until(lambda: children(os.getpid(), zombies=True), 10, "the supervisor")
        self.assertEqual(len(found), 1, found)
        return found[0]

    def worker(self, supervisor, other_than=None, timeout=10.0):
        return h.wait_until(lambda: [p for p in children(supervisor) if p != other_than], timeout,
                            "a worker process")[0]

    def wait_exit(self, pid):
        """Reap our child pid; returns its exit code."""
        done = h.wait_until(lambda: (r := os.waitpid(pid, os.WNOHANG))[0] and r, 10,
                            f"process {pid} to end", interval=0.05)
        return os.waitstatus_to_exitcode(done[1])

    def kill_all(self):
        """SIGKILL the supervisor and every worker and reap what is ours
        (the workers of a killed supervisor are reparented to this process);
        then fail on any sanitizer report but those of crashed workers."""
        for _ in range(200):
            pids = set(processes_with_arg(self.svc.conf_path) + children(os.getpid()))
            for pid in pids:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            for pid in children(os.getpid(), zombies=True):
                os.waitpid(pid, os.WNOHANG)
            if not pids and not children(os.getpid(), zombies=True):
                break
            time.sleep(0.05)
        self.assertEqual(children(os.getpid(), zombies=True), [])
        reports = [name for name in os.listdir(self.dir) if name.startswith("sanitizer.")
                   and int(name.rsplit(".", 1)[1]) not in self.crashed]
        for name in reports:
            print(f"--- {name}\n{h.read_file(os.path.join(self.dir, name), 'r')}")
        self.assertEqual(reports, [])

    def login_relays(self, conn):
        h.wait_until(lambda: h.probe_ssh_banner(self.port), 15, f"SSH on port {self.port}")
        with h.connect(self.port) as client:
            h.open_shell(client)
            self.telnet.wait_received(conn, h.PREVIEW)

    def test_crashed_worker_is_replaced(self):
        supervisor = self.start_daemon(h.standard_args(self.port, self.telnet.port))
        first = self.worker(supervisor)
        self.login_relays(1)
        pipe = h.console_paths(self.port)[0]
        first_pipe = h.wait_until(lambda: file_identity(pipe), 10, "the first worker's console")
        self.crashed.add(first)
        os.kill(first, signal.SIGSEGV)
        started = time.monotonic()
        self.worker(supervisor, other_than=first, timeout=5)
        self.assertLess(time.monotonic() - started, 2.5)
        self.login_relays(2)
        # the new worker has its own console
        h.wait_until(lambda: file_identity(pipe) not in (None, first_pipe), 10,
                     "the new worker's console")
        self.assertEqual(h.console_ask(self.port, "log\n", 10)[:10], b"echo help ")
        self.assertEqual(proc_stat(supervisor)[1], os.getpid())
        self.assertEqual(self.svc.log_count(rf"\[INFO\] ssh port = {self.port} "), 2)

    def test_fatal_worker_exit_ends_the_supervisor(self):
        # options after -D are parsed by each worker; a restarted worker
        # would keep the supervisor alive
        self.assertEqual(self.wait_exit(self.start_daemon(["-p", str(self.port)])), 1)
        self.assertEqual(self.svc.log_count(r"\[ERROR\] telnet port empty "), 1)
        self.assertEqual(processes_with_arg(self.svc.conf_path), [])


if __name__ == "__main__":
    unittest.main()
