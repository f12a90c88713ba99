"""The command line and start-up of the real process: usage and exit
statuses, a listener that cannot start, the host keys served, the
command-line user and the log configuration fallback (the option grammar
itself is the unit test's)."""

import os
import re
import socket
import subprocess
import unittest

import sshapi_harness as h

class ExitTest(unittest.TestCase):
    def run_to_end(self, args):
        """(status, stdout, stderr, log) of sshapi run to its end."""
        workdir = h.make_test_dir(self.id())
        log_path = os.path.join(workdir, "sshapi.log")
        conf = h.write_log_config(os.path.join(workdir, "log.conf"), log_path)
        proc = subprocess.run([h.sshapi_bin(), "-c", conf] + args, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=15, cwd=workdir)
        for marker in h.CRASH_MARKERS:
            self.assertNotIn(marker, proc.stdout + proc.stderr)
        return proc.returncode, proc.stdout, proc.stderr, h.read_file(log_path, "r")

    def usage(self):
        """The usage text of -h: README's table decides where they differ."""
        code, out, err, _ = self.run_to_end(["-h"])
        self.assertEqual((code, err), (1, ""))
        self.assertTrue(out.startswith(f"{h.sshapi_bin()} [options]\n"), out)
        for line in ("-P --password       need password", "-a --ipaddr         ip addr",
                     "-k --ed25519        ed25519 key file path", "-c --conf           [optional]"):
            self.assertIn("\n    " + line, out)
        self.assertNotIn("-w", out)
        return out

    def test_rejected_options_print_usage_with_status_1(self):
        # the rows of the option grammar are the unit test's; here the process
        cases = ((["-k", "x"], "invalid option -- 'k'"),
                 (["--max-startups", "0"], "--max-startups needs a whole number from 1 to 10000"))
        usage = self.usage()
        for args, diagnostic in cases:
            with self.subTest(args=args):
                code, out, err, log = self.run_to_end(["-p", "2222"] + args)
                self.assertEqual((code, out), (1, usage))
                self.assertIn(diagnostic, err)
                self.assertFalse(log, "logged before logging was configured")

    def test_fatal_start_failures_end_with_255(self):
        cases = ((["-p", "2222", "-t", "23", "-w", "private"], None),
                 (["-p", "2222", "-t", "23", "--password", "private"], None),
                 (["-t", "23"], r"\[ERROR\] ssh proxy port empty --\[main\.cpp:\d+\]"),
                 (["-p", "2222"], r"\[ERROR\] telnet port empty --\[main\.cpp:\d+\]"))
        for args, line in cases:
            with self.subTest(args=args):
                code, out, err, log = self.run_to_end(args)
                self.assertEqual(code, 255)
                if line is None:  # the private mode ends silently
                    self.assertEqual((out, err, log), ("", "", ""))
                else:
                    self.assertEqual(out, self.usage())
                    self.assertRegex(log, line)
                    self.assertNotIn("ssh server init fail", log)


class StartTest(unittest.TestCase):
    def service(self, args, **kw):
        return h.start_service(self.addCleanup, h.make_test_dir(self.id()), args, **kw)

    def in_user_table(self, svc, user):
        """Whether user is in the table: only then is a refusal's digest
        comparison logged."""
        mark = svc.mark()
        self.assertFalse(h.try_login(svc.port, user, "not-the-password"))
        svc.wait_log(r"check user fail", start=mark)
        return re.search(r"check user:\S*!=\S* pwd:", svc.log_text()[mark:]) is not None

    def test_listener_that_cannot_start_leaves_the_rest_running(self):
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
                h.remove_console_pipes(port)
                self.addCleanup(h.remove_console_pipes, port)
                svc = self.service(args, expect_ready=False)
                svc.wait_log(r"\[ERROR\] " + why)
                svc.wait_log(r"\[ERROR\] InitSsh fail --\[")
                # the debug console comes up after the listener start
                h.console_ask(port, "help\n", b"log quiet", timeout=10)
                self.assertIsNone(svc.returncode, "sshapi ended after its listener failed")
        for path in (missing + "_rsa", missing + "_ecdsa", "ssh_host_dsa_key"):
            self.assertRegex(svc.log_text(), rf"host key \S*{re.escape(path)} not loaded")

    def test_every_configured_host_key_is_served(self):
        # RSA and ECDSA from the default paths, Ed25519 from --ed25519; the
        # default DSA file does not exist and is skipped
        port = h.free_port()
        svc = self.service(h.standard_args(port, 23))
        scan = subprocess.run(["ssh-keyscan", "-p", str(port), "-t", "rsa,ecdsa,ed25519",
                               "127.0.0.1"], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=60)
        served = {tuple(line.split()[1:3]) for line in scan.stdout.splitlines()
                  if line and not line.startswith("#")}
        expected = {tuple(h.read_file(h.host_key_path(kind) + ".pub", "r").split()[:2])
                    for kind in ("rsa", "ecdsa", "ed25519")}
        self.assertEqual(served, expected, scan.stderr)
        self.assertRegex(svc.log_text(), r"host key \S*ssh_host_dsa_key not loaded")

    def test_incomplete_or_malformed_user_is_not_added(self):
        digest = h.md5hex("pw")
        cases = ((["-U", "bob"], r"user bob given without -P digest, not added"),
                 (["-P", digest], r"-P digest given without -U user, not added"),
                 (["-U", "bob", "-P", digest.upper()],
                  r"-P for user bob is not 32 lowercase hexadecimal digits"))
        for args, line in cases:
            with self.subTest(args=args):
                svc = self.service(["-p", h.free_port(), "-t", 23] + args)
                svc.wait_log(r"\[ERROR\] " + line)
                self.assertNotIn(digest.upper(), svc.log_text())
                self.assertFalse(self.in_user_table(svc, "bob"))
                self.assertTrue(self.in_user_table(svc, "admin"), "default user missing")
                svc.finish()

    def test_missing_log_configuration_falls_back_to_stderr(self):
        port = h.free_port()
        default_conf = os.path.join(h.test_root(), "usr", "local", "etc", f"sshserverlog{port}.conf")
        missing = os.path.join(h.make_test_dir(self.id()), "no", "such.conf")
        for args, named in ((["-c", missing], missing), ([], default_conf)):
            with self.subTest(conf=named):
                svc = self.service(args + h.standard_args(port, 23), conf=False)
                h.wait_until(lambda: f"ssh port = {port}" in svc.output(), 10,
                             "start-up lines on stderr")
                self.assertIn(f"can't use log config file {named}", svc.output())
                svc.finish()


if __name__ == "__main__":
    unittest.main()
