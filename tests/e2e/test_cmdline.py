"""End-to-end tests of sshapi's command line and start-up: usage text and
exit statuses, fatal start-up failures, a listener that cannot start, options
that concatenate, the command-line user, the log configuration fallback and
the password modes."""

import logging
import os
import re
import socket
import subprocess
import unittest

import paramiko

import sshapi_harness as h

logging.getLogger("paramiko").addHandler(logging.NullHandler())

USAGE_LINES = (
    "    -h --help           show this help",
    "    -D --daemonize      Daemonize after startup",
    "    -U --user           user name",
    "    -P --password       need password",
    "    -a --ipaddr         ip addr",
    "    -p --port           Port number for listening",
    "    -t --tport          Port number of telnet for connect",
    "    -r --rsa            rsa key file path",
    "    -d --dsa            dsa key file path",
    "    -e --ecdsa          ecdsa key file path",
    "    -k --ed25519        ed25519 key file path",
    "    -v --verbose        verbose output",
    "    -c --conf           [optional] Log configuration file",
)
DETAIL_RX = r"check user:(\S*)!=(\S*) pwd:"


def usage_text():
    return f"{h.sshapi_bin()} [options]\n" + "".join(line + "\n" for line in USAGE_LINES)


class ExitCase(unittest.TestCase):
    """Runs sshapi to its end, with a log configuration in a fresh directory."""

    def run_to_end(self, args, timeout=15):
        workdir = h.make_test_dir(self.id())
        log_path = os.path.join(workdir, "sshapi.log")
        conf = h.write_log_config(os.path.join(workdir, "log.conf"), log_path)
        proc = subprocess.run([h.sshapi_bin(), "-c", conf] + [str(a) for a in args],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                              cwd=workdir)
        log = h._read_file(log_path, "r") if os.path.exists(log_path) else None
        out, err = proc.stdout.decode(), proc.stderr.decode()
        for marker in h.CRASH_MARKERS:
            self.assertNotIn(marker, out + err)
        return proc.returncode, out, err, log


class UsageTest(ExitCase):
    def test_help_and_rejected_options_print_usage_with_status_1(self):
        cases = (
            (["-h"], None),
            (["--help"], None),
            (["-k", "x"], "invalid option -- 'k'"),
            (["--ipaddr", "127.0.0.1"], "unrecognized option '--ipaddr'"),
            (["--bogus"], "unrecognized option '--bogus'"),
            (["-t"], "option requires an argument -- 't'"),
            (["--max"], "option '--max' is ambiguous"),
            # the admission limits take whole decimal numbers within bounds
            (["--max-startups", "0"], "--max-startups needs a whole number from 1 to 10000, not '0'"),
            (["--max-startups", "1x"], "not '1x'"),
            (["--max-startups", "+5"], "not '+5'"),
            (["--max-startups", ""], "not ''"),
            (["--max-startups-per-source", "99999999999999999999"],
             "--max-startups-per-source needs a whole number from 1 to 10000"),
            (["--login-penalty", "-1"], "--login-penalty needs a whole number from 0 to 86400, not '-1'"),
            (["--login-penalty", "86401"], "not '86401'"),
        )
        for args, diagnostic in cases:
            with self.subTest(args=args):
                code, out, err, log = self.run_to_end(["-p", "2222"] + args)
                self.assertEqual(code, 1)
                self.assertEqual(out, usage_text())
                if diagnostic:
                    self.assertIn(diagnostic, err)
                else:
                    self.assertEqual(err, "")
                self.assertFalse(log, "logged before logging was configured")


class FatalStartTest(ExitCase):
    def test_private_mode_ends_silently_with_255(self):
        for option in ("-w", "--password"):
            with self.subTest(option=option):
                code, out, err, log = self.run_to_end(["-p", "2222", "-t", "23", option, "private"])
                self.assertEqual(code, 255)
                self.assertEqual(out, "")
                self.assertEqual(err, "")
                self.assertFalse(log, "private mode wrote a log line")

    def test_missing_listen_port(self):
        code, out, err, log = self.run_to_end(["-t", "23"])
        self.assertEqual(code, 255)
        self.assertEqual(out, usage_text())
        self.assertRegex(log, r"\[ERROR\] ssh proxy port empty --\[main\.cpp:\d+\]")

    def test_missing_telnet_port(self):
        code, out, err, log = self.run_to_end(["-p", str(h.free_port())])
        self.assertEqual(code, 255)
        self.assertEqual(out, usage_text())
        self.assertRegex(log, r"\[ERROR\] telnet port empty --\[main\.cpp:\d+\]")
        self.assertNotIn("ssh server init fail", log)


class StartedServiceCase(unittest.TestCase):
    def service(self, args, expect_ready=True, conf=True):
        svc = h.SshApi(h.make_test_dir(self.id()))
        self.addCleanup(svc.__exit__, None, None, None)
        svc.start([str(a) for a in args], expect_ready=expect_ready, conf=conf)
        return svc

    def login_fails(self, port, user, password):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        transport = paramiko.Transport(sock)
        try:
            transport.start_client(timeout=10)
            with self.assertRaises(paramiko.AuthenticationException, msg=user):
                transport.auth_password(user, password)
        finally:
            transport.close()

    def in_user_table(self, svc, user):
        """Whether a refused login of user shows that the name is in the
        table (only then is the digest comparison logged)."""
        mark = len(svc.log_text())
        self.login_fails(svc.port, user, "not-the-password")
        svc.wait_log(r"check user fail", start=mark)
        return re.search(DETAIL_RX, svc.log_text()[mark:]) is not None


class ListenerFailureTest(StartedServiceCase):
    @staticmethod
    def console_pipe(port):
        """The debug console's request pipe, made after the listener start;
        a stale one of an earlier run is removed first."""
        fifo = os.path.join(h.test_root(), "var", f"request{port}")
        try:
            os.unlink(fifo)
        except FileNotFoundError:
            pass
        return fifo

    def wait_still_running(self, svc, fifo):
        h.wait_until(lambda: os.path.exists(fifo), 10, "the debug request pipe")
        self.assertIsNone(svc.returncode, "sshapi ended after its listener failed")

    def test_port_in_use(self):
        port = h.free_port()
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", port))
            busy.listen(1)
            fifo = self.console_pipe(port)
            svc = self.service(["-a", "127.0.0.1"] + h.standard_args(port, 23), expect_ready=False)
            svc.wait_log(r"\[ERROR\] listne fail: .*Address already in use.* --\[sshsvr\.cpp:\d+\]")
            svc.wait_log(r"\[ERROR\] InitSsh fail --\[")
            self.wait_still_running(svc, fifo)
        self.assertNotIn("ssh server init fail", svc.log_text())

    def test_no_usable_host_key(self):
        missing = os.path.join(h.make_test_dir(self.id()), "missing")
        port = h.free_port()
        fifo = self.console_pipe(port)
        svc = self.service(["-p", port, "-t", 23, "-r", missing + "_rsa", "-e", missing + "_ecdsa"],
                           expect_ready=False)
        svc.wait_log(r"listne fail: no host key could be loaded")
        svc.wait_log(r"InitSsh fail")
        log = svc.log_text()
        for path in (missing + "_rsa", missing + "_ecdsa", "ssh_host_dsa_key"):
            self.assertRegex(log, rf"host key \S*{re.escape(path)} not loaded")
        self.wait_still_running(svc, fifo)


class HostKeyTest(StartedServiceCase):
    def test_every_configured_host_key_is_served(self):
        # RSA and ECDSA from the default paths, Ed25519 from --ed25519; the
        # default DSA file does not exist and is skipped
        port = h.free_port()
        svc = self.service(h.standard_args(port, 23))
        scan = subprocess.run(["ssh-keyscan", "-p", str(port), "-t", "rsa,ecdsa,ed25519", "127.0.0.1"],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        served = {tuple(line.split()[1:3]) for line in scan.stdout.decode().splitlines()
                  if line and not line.startswith("#")}
        expected = set()
        for kind in ("rsa", "ecdsa", "ed25519"):
            with open(h.host_key_path(kind) + ".pub") as f:
                expected.add(tuple(f.read().split()[:2]))
        self.assertEqual(served, expected, scan.stderr.decode())
        self.assertRegex(svc.log_text(), r"host key \S*ssh_host_dsa_key not loaded")


class OptionsTest(StartedServiceCase):
    def test_repeated_options_concatenate(self):
        port = str(h.free_port())
        telnet = h.FakeTelnet(h.make_test_dir(self.id()))
        self.addCleanup(telnet.stop)
        telnet.start()
        tport = str(telnet.port)
        key_dir, key_name = os.path.split(h.host_key_path("ed25519"))
        args = ["-p", port[:1], "--port", port[1:], "-t", tport[:2], "-t", tport[2:],
                "--ed25519", key_dir + "/", "--ed25519", key_name,
                "-U", "ad", "--user", "min", "-P", h.md5hex("pw")[:10], "-P", h.md5hex("pw")[10:],
                # numbers do not concatenate: the last one counts
                "--max-startups", "5", "--max-startups", "12", "--max-startups-per-source", "3",
                "--login-penalty", "0"]
        svc = self.service(args)
        log = svc.log_text()
        self.assertIn("max startups = 12, per source = 3, login penalty = 0 s --", log)
        self.assertIn(f"ssh port = {port} --", log)
        self.assertIn(f"telnet port = {tport} --", log)
        self.assertIn("user = admin, password = *** --", log)
        self.assertNotIn("ssh_host_ed25519_key not loaded", log)
        self.assertNotIn("userCredentials is empty", log)
        # end to end: the concatenated user logs in and reaches the telnet port
        client = h.connect(int(port), "admin", "pw")
        self.addCleanup(client.close)
        h.open_shell(client)
        self.assertEqual(telnet.wait_received(1, 27), b"local_ip_preview:127.0.0.1\n")

    def test_user_without_digest_is_not_added(self):
        port = h.free_port()
        svc = self.service(["-p", port, "-t", 23, "-U", "bob"])
        svc.wait_log(r"\[ERROR\] user bob given without -P digest, not added")
        self.assertFalse(self.in_user_table(svc, "bob"))
        self.assertTrue(self.in_user_table(svc, "admin"), "default user missing")

    def test_digest_without_user_is_not_added(self):
        port = h.free_port()
        svc = self.service(["-p", port, "-t", 23, "-P", h.md5hex("pw")])
        svc.wait_log(r"\[ERROR\] -P digest given without -U user, not added")
        self.assertTrue(self.in_user_table(svc, "admin"), "default user missing")

    def test_malformed_digest_is_not_added(self):
        digest = h.md5hex("pw")
        for bad in (digest.upper(), digest[:31], digest + "0", "pw", "g" * 32):
            with self.subTest(digest=bad):
                svc = self.service(["-p", h.free_port(), "-t", 23, "-U", "bob", "-P", bad])
                svc.wait_log(r"\[ERROR\] -P for user bob is not 32 lowercase hexadecimal digits")
                self.assertIn("user = bob, password = *** --", svc.log_text())
                if len(bad) > 2:
                    self.assertNotIn(bad, svc.log_text())
                self.assertFalse(self.in_user_table(svc, "bob"))
                svc.stop()

    def test_missing_log_configuration_falls_back_to_stderr(self):
        port = h.free_port()
        default_conf = os.path.join(h.test_root(), "usr", "local", "etc", f"sshserverlog{port}.conf")
        missing = os.path.join(h.make_test_dir(self.id()), "no", "such.conf")
        for args, named in ((["-c", missing], missing), ([], default_conf)):
            with self.subTest(conf=named):
                svc = self.service(args + h.standard_args(port, 23), conf=False)
                h.wait_until(lambda: f"ssh port = {port}" in svc.stderr_text(), 10,
                             "start-up lines on stderr")
                err = svc.stderr_text()
                self.assertIn(f"can't use log config file {named}", err)
                self.assertIsNone(svc.returncode)
                svc.stop()

    def test_unknown_password_mode_uses_default_user(self):
        svc = self.service(["-p", h.free_port(), "-t", 23, "-w", "foo"])
        svc.wait_log(r"\[ERROR\] userCredentials is empty, set default user and password --\[main")
        self.assertTrue(self.in_user_table(svc, "admin"), "default user missing")


if __name__ == "__main__":
    unittest.main()
