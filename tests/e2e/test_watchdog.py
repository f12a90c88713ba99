"""Watchdog mode (-D) of the real daemon, which the supervisor's unit test
cannot see: a crashed worker replaced, a fatal worker exit ending the
supervisor. This test process makes itself a child subreaper, so the
daemonised supervisor becomes its child (found in /proc, its status
collected with waitpid); workers are the supervisor's children."""

import contextlib
import ctypes
import os
import signal
import time
import unittest

import sshapi_harness as h


def setUpModule():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children(ppid, zombies=False):
    """sshapi processes whose parent is ppid (live ones only, unless zombies)."""
    def test(pid):
        text = h.read_file(f"/proc/{pid}/stat", "r")
        state, parent = text[text.rfind(")") + 2:].split()[:2] if text else ("", "")
        return (text[text.find("(") + 1:text.rfind(")")] == "sshapi" and parent == str(ppid)
                and (zombies or state != "Z"))
    return [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and test(pid)]


class WatchdogTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir)
        self.port = h.free_port()
        self.svc = h.SshApi(self.dir)
        self.crashed, self.supervisor = set(), None  # workers crashed on purpose
        self.addCleanup(self.svc.finish)
        self.addCleanup(self.kill_all)

    def start_daemon(self, args):
        """sshapi -c <conf> -D args; returns the supervisor's pid."""
        # the workers' standard streams go to /dev/null: sanitizer reports to files
        env = dict(os.environ)
        for name in ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            env[name] = f"{env.get(name, '')}:log_path={self.dir}/sanitizer"
        self.svc.start(["-D"] + args, expect_ready=False, env=env)
        self.assertEqual(self.svc.proc.wait(10), 0)  # daemon(): the first process leaves at once
        found = h.wait_until(lambda: children(os.getpid(), zombies=True), 10, "the supervisor")
        self.assertEqual(len(found), 1, found)
        self.supervisor = found[0]
        return found[0]

    def kill_all(self):
        """SIGKILL the daemon's process group (the supervisor and its workers)
        and reap what is ours; then fail on any sanitizer report but those
        of workers crashed on purpose."""
        with contextlib.suppress(ProcessLookupError):  # the group is gone
            self.supervisor and os.killpg(self.supervisor, signal.SIGKILL)

        def reaped():
            for pid in children(os.getpid(), zombies=True):
                os.waitpid(pid, os.WNOHANG)
            return not children(os.getpid(), zombies=True)
        h.wait_until(reaped, 10, "the daemon's processes reaped", interval=0.05)
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
        first = h.wait_until(lambda: children(supervisor), 10, "the first worker")[0]
        self.login_relays(1)
        self.crashed.add(first)
        os.kill(first, signal.SIGSEGV)
        started = time.monotonic()
        h.wait_until(lambda: set(children(supervisor)) - {first}, 5, "a new worker")
        self.assertLess(time.monotonic() - started, 2.5)
        self.login_relays(2)
        self.assertEqual(children(os.getpid()), [supervisor])

    def test_fatal_worker_exit_ends_the_supervisor(self):
        # options after -D are parsed by each worker; a restarted worker
        # would keep the supervisor alive
        supervisor = self.start_daemon(["-p", str(self.port)])
        _, status = h.wait_until(lambda: (r := os.waitpid(supervisor, os.WNOHANG))[0] and r, 10,
                                 "the supervisor to end", interval=0.05)
        self.assertEqual(os.waitstatus_to_exitcode(status), 1)
        self.assertEqual(self.svc.log_count(r"\[ERROR\] telnet port empty "), 1)
        self.assertEqual(children(os.getpid(), zombies=True), [])  # no worker left


if __name__ == "__main__":
    unittest.main()
