"""The command line and start-up of the real process: usage and exit
statuses, a listener that cannot start yet, a fatal failure after it started,
the host keys served and made at start, the command-line user and the log
configuration fallback (the option grammar itself is the unit test's)."""

import os
import re
import shutil
import socket
import subprocess
import time
import unittest

import sshapi_harness as h


class CommandLineTest(unittest.TestCase):
    def run_to_end(self, args):
        """(status, stdout, stderr, log) of sshapi run to its end."""
        workdir = h.make_test_dir(self.id())
        conf = h.write_log_config(f"{workdir}/log.conf", f"{workdir}/sshapi.log")
        proc = subprocess.run([h.sshapi_bin(), "-c", conf] + args, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=15, cwd=workdir)
        for marker in h.CRASH_MARKERS:
            self.assertNotIn(marker, proc.stdout + proc.stderr)
        return proc.returncode, proc.stdout, proc.stderr, h.read_file(f"{workdir}/sshapi.log", "r")

    def service(self, args, **kw):
        return h.start_service(self.addCleanup, h.make_test_dir(self.id()), args, **kw)

    def served_keys(self, port):  # {(type, base64)} as ssh-keyscan sees them
        scan = subprocess.run(["ssh-keyscan", "-p", str(port), "-t", "rsa,ecdsa,ed25519",
                               "127.0.0.1"], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=60)
        return {tuple(line.split()[1:3]) for line in scan.stdout.splitlines()
                if line and not line.startswith("#")}

    def test_usage_and_exit_statuses(self):
        # the usage text of -h: README's table decides where they differ
        code, usage, err, _ = self.run_to_end(["-h"])
        self.assertEqual((code, err), (1, ""))
        self.assertTrue(usage.startswith(f"{h.sshapi_bin()} [options]\n"), usage)
        for line in ("-P --password       need password", "-a --ipaddr         ip addr",
                     "-k --ed25519        ed25519 key file path", "-c --conf           [optional]"):
            self.assertIn("\n    " + line, usage)
        self.assertNotIn("-w", usage)
        # a rejected option (the rows are the unit test's), before any logging
        code, out, err, log = self.run_to_end(["-p", "2222", "-k", "x"])
        self.assertEqual((code, out, log), (1, usage, ""))
        self.assertIn("invalid option -- 'k'", err)
        # fatal start-up failures: the private mode silently, a missing port
        # with the usage and an ERROR line
        self.assertEqual(self.run_to_end(["-p", "2222", "-t", "23", "-w", "private"]),
                         (255, "", "", ""))
        code, out, _, log = self.run_to_end(["-p", "2222"])
        self.assertEqual((code, out), (255, usage))
        self.assertRegex(log, r"\[ERROR\] telnet port empty --\[main\.cpp:\d+\]")
        self.assertNotIn("ssh server init fail", log)

    def test_listener_that_cannot_start_keeps_trying(self):
        """A port held by another socket, or no usable host key: the rest of
        the service runs, and the listener starts once the port is free or
        keys are there (it tries every 5 s, and says so once a minute)."""
        missing = os.path.join(h.make_test_dir(self.id()), "missing")
        for busy, why in ((True, r"listne fail: .*Address already in use.* --\[sshsvr\.cpp:\d+\]"),
                          (False, r"listne fail: no host key could be loaded")):
            with self.subTest(why=why), socket.socket() as blocker:
                port = h.free_port()
                args = ["-p", port, "-t", 23, "-r", missing + "_rsa", "-e", missing + "_ecdsa"]
                if busy:
                    blocker.bind(("127.0.0.1", port))
                    blocker.listen(1)
                    args = h.standard_args(port, 23) + ["-a", "127.0.0.1"]
                svc = self.service(args, expect_ready=False)
                svc.wait_log(r"\[ERROR\] " + why)
                svc.wait_log(r"\[ERROR\] InitSsh fail --\[")
                # the debug console comes up after the listener start
                h.console_ask(port, "help\n", b"log quiet", timeout=10)
                self.assertIsNone(svc.returncode, "sshapi ended after its listener failed")
                if busy:
                    blocker.close()
                else:
                    shutil.copy(h.host_key_path("rsa"), missing + "_rsa")
                svc.wait_log(rf"\[INFO\] listening on \S+ port {port} --", timeout=30)
                self.assertTrue(h.probe_ssh_banner(port))
                self.assertEqual(svc.log_count(r"listne fail"), 1)
        for path in (missing + "_ecdsa", "ssh_host_dsa_key"):
            self.assertRegex(svc.log_text(), rf"host key \S*{re.escape(path)} not loaded")

    def test_fatal_failure_after_the_listener_started_exits_at_once(self):
        """No inotify instance left: status 255 at once, waiting neither for
        connected clients nor for an operator on the console."""
        shim = os.environ.get("SSHAPI_FAIL_INOTIFY_SHIM")
        if not shim or not os.path.exists(shim):
            self.skipTest("inotify failure shim not built")
        # a preloaded library comes before the ASan runtime, which is intended;
        # the exit deliberately leaves session threads behind
        env = dict(os.environ, LD_PRELOAD=shim, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                   + ":verify_asan_link_order=0", TSAN_OPTIONS=os.environ.get("TSAN_OPTIONS", "")
                   + ":report_thread_leaks=0")
        started = time.monotonic()
        _, port, svc = h.start_relay(self.addCleanup, h.make_test_dir(self.id()), cli=True,
                                     expect_ready=False, env=env)
        # log in while the listener runs (it has about two seconds before the
        # console and the inotify watch are set up); the exit is what counts
        try:
            svc.wait_ready()
            client = h.connect(port, timeout=5)
            self.addCleanup(client.close)
            h.open_shell(client)
        except Exception:  # the process may already be gone
            pass
        self.assertEqual(255, svc.proc.wait(timeout=15))
        self.assertLess(time.monotonic() - started, 10.0)
        self.assertIn("inotify_init failed", svc.log_text())
        self.assertNotIn("InitSsh fail", svc.log_text())

    def test_host_keys_served_and_the_log_on_stderr_without_its_configuration(self):
        # RSA and ECDSA from the default paths, Ed25519 from --ed25519; the
        # default DSA file does not exist and is skipped. The default log
        # configuration (named after the port) is missing.
        svc = self.service(h.standard_args(h.free_port(), 23), conf=False)
        self.assertIn(f"can't use log config file {h.test_root()}/usr/local/etc/sshserverlog"
                      f"{svc.port}.conf", svc.output())
        expected = {tuple(h.read_file(h.host_key_path(kind) + ".pub", "r").split()[:2])
                    for kind in ("rsa", "ecdsa", "ed25519")}
        self.assertEqual(self.served_keys(svc.port), expected)
        self.assertRegex(svc.output(), r"host key \S*ssh_host_dsa_key not loaded")

    def test_missing_host_keys_made_at_start_and_kept(self):
        keydir = h.make_test_dir(self.id())
        paths = {kind: f"{keydir}/{kind}" for kind in ("rsa", "ecdsa", "ed25519")}
        garbage = f"{keydir}/garbage"
        with open(garbage, "wb") as f:
            f.write(b"\0not a key\n")

        def keygen(flag, path):
            return subprocess.run(["ssh-keygen", flag, "-f", path], stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=30, check=True).stdout
        # the first start makes the three keys (RSA generation takes seconds
        # under emulation); the second finds RSA and ECDSA, and a file that
        # is no key at the Ed25519 path
        for ed25519, served in ((paths["ed25519"], None), (garbage, ("rsa", "ecdsa"))):
            svc = self.service(["-p", h.free_port(), "-t", 23, "-r", paths["rsa"], "-e",
                                paths["ecdsa"], "--ed25519", ed25519, "--create-host-keys"],
                               expect_ready=False)
            svc.wait_log(r"\[INFO\] listening on", timeout=120)
            made = dict(re.findall(r"\[INFO\] new [A-Z0-9]+ host key (\S+), fingerprint (\S+) --",
                                   svc.log_text()))
            self.assertEqual(made, {} if served else
                             {p: keygen("-l", p).split()[1] for p in paths.values()})
            self.assertEqual(self.served_keys(svc.port),
                             {tuple(keygen("-y", paths[k]).split()[:2]) for k in served or paths})
            svc.finish()
        self.assertIn(f"host key {garbage} not loaded", svc.log_text())
        self.assertEqual(h.read_file(garbage), b"\0not a key\n")
        self.assertEqual(sorted(os.listdir(keydir)), sorted(list(paths) + ["garbage"]))
        self.assertEqual({os.stat(p).st_mode & 0o777 for p in paths.values()}, {0o600})

    def test_incomplete_or_malformed_user_is_not_added(self):
        digest = h.md5hex("pw")
        for args, line in ((["-U", "bob"], r"user bob given without -P digest, not added"),
                           (["-P", digest], r"-P digest given without -U user, not added"),
                           (["-U", "bob", "-P", digest.upper()],
                            r"-P for user bob is not 32 lowercase hexadecimal digits")):
            with self.subTest(args=args):
                svc = self.service(["-p", h.free_port(), "-t", 23] + args)
                svc.wait_log(r"\[ERROR\] " + line)
                mark = svc.mark()
                # not in the table: refused, and no digest compared (a unit test
                # pins that line)
                self.assertFalse(h.try_login(svc.port, "bob", "pw"))
                svc.wait_log(r"check user fail", start=mark)
                self.assertNotRegex(svc.log_text()[mark:], r"check user:\S*!=\S* pwd:")
                self.assertNotIn(digest.upper(), svc.log_text())
                svc.finish()


if __name__ == "__main__":
    unittest.main()
