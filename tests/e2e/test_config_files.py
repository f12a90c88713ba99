"""The device's parameter and credentials files under <root>/config as the
running service uses them, in the "public" password mode and the others
(which values count, the defaults a missing file gets, the line grammar and
which events reload are the unit tests' and the fuzz targets'). Both files
are shared: every test restores them."""

import os
import time
import unittest

import sshapi_harness as h

WARN_SSH_OFF = r"\[WARN\] config ssh service unavailable now "
WARN_FORCED = r"\[WARN\] Telnet and TelnetTls status: 0, we force start ssh service "
RELOAD_DONE = r"\[INFO\] -----------sshapipublicpw\.cur "


def creds(*entries):
    """File text with one 'user:digest' line per (user, password)."""
    return "".join(f"{user}:{h.md5hex(password)}\n" for user, password in entries)


class ConfigFilesTest(unittest.TestCase):
    def setUp(self):
        self.creds_path = f"{h.test_root()}/config/sshapipublicpw.cur"
        for path in (self.creds_path, h.param_file_path()):
            h.restore_at_cleanup(self, path)
        self.dir = h.make_test_dir(self.id())

    def switch(self, ssh_on, port):
        h.write_in_place(h.param_file_path(), h.param_xml(
            service_telnetapi="true", service_sshapi=ssh_on, telnetapi_port="23",
            sshapi_port=str(port)), lock=True)

    def write_creds(self, text, rename=False):
        """Rewrite the file in place, or rename a new one onto it (as sed -i,
        editors and provisioning tools do); returns when that happened."""
        with open(self.creds_path + (".next" if rename else ""), "w") as f:
            f.write(text)
        if rename:
            os.rename(self.creds_path + ".next", self.creds_path)
        return time.monotonic()

    def assert_logins(self, port, expected):  # {(user, password): admitted}
        self.assertEqual({key: h.try_login(port, *key) for key in expected}, expected)

    def test_public_mode_waits_for_the_switch_then_follows_both_files(self):
        cmdline_port, file_port = h.free_port(), h.free_port()
        self.switch("false", cmdline_port)
        self.write_creds(creds(("alice", "old")))
        # the default log configuration, named after the command-line port
        default_conf = f"{h.test_root()}/usr/local/etc/sshserverlog{cmdline_port}.conf"
        h.write_log_config(default_conf, f"{self.dir}/sshapi.log")
        self.addCleanup(os.unlink, default_conf)
        telnet = h.start_telnet(self.addCleanup, self.dir)
        svc = h.start_service(self.addCleanup, self.dir, [
            "-w", "public", "-p", cmdline_port, "-t", telnet.port, "-U", "carol", "-P",
            h.md5hex("c-pw"), "--ed25519", h.host_key_path("ed25519")] + h.LENIENT_ARGS,
            expect_ready=False, conf=False)
        # each pass warns; no port is open meanwhile
        h.wait_until(lambda: svc.log_count(WARN_SSH_OFF) >= 2, 15, "two waiting passes")
        self.assertFalse(h.probe_ssh_banner(cmdline_port))
        self.assertNotRegex(svc.log_text(), WARN_FORCED + "|ssh port = ")
        # the credentials are read before the parameter-file check, but
        # watched only at the end of start-up: the device sets a password,
        # then switches SSH on
        self.write_creds(creds(("alice", "a-pw")))
        self.switch("true", file_port)
        svc.port = file_port
        svc.wait_ready(timeout=15)
        # the telnet port stays the command line's
        for line in (f"log config file = {default_conf}", f"ssh port = {file_port}",
                     f"telnet port = {telnet.port}"):
            self.assertRegex(svc.log_text(), rf"\[INFO\] {line} ")
        self.assertFalse(h.probe_ssh_banner(cmdline_port))
        # the console pipes carry the port the service listens on
        self.assertTrue(h.console_ask(file_port, "help\n", 10).startswith(b"echo help > "))
        self.assertFalse(any(map(os.path.exists, h.console_paths(cmdline_port))))
        # the credentials are watched once start-up is complete (2 s after the port opens)
        h.wait_until(svc.settled, 10, "start-up complete")
        # the command-line user stays through the re-read at start and every reload
        self.assert_logins(file_port, {("alice", "a-pw"): True, ("alice", "old"): False,
                                       ("carol", "c-pw"): True})
        with h.connect(file_port, "carol", "c-pw") as client:
            h.open_shell(client)
            telnet.wait_received(1, h.PREVIEW)
        for user, rename in (("bob", False), ("dave", True)):
            changed = self.write_creds(creds((user, user[0] + "-pw")), rename)
            h.wait_until(lambda: h.try_login(file_port, user, user[0] + "-pw"), 5,
                         f"{user} admitted", interval=0.25)
            self.assertLess(time.monotonic() - changed, 3.0)
            self.assert_logins(file_port, {("alice", "a-pw"): False, ("carol", "c-pw"): True,
                                           ("bob", "b-pw"): user == "bob"})
        # emptied in place: the reload runs, and the previous table stays
        reloads = svc.log_count(RELOAD_DONE)
        self.write_creds("")
        h.wait_until(lambda: svc.log_count(RELOAD_DONE) > reloads, 5, "the reload")
        self.assert_logins(file_port, {("dave", "d-pw"): True, ("carol", "c-pw"): True})

    def test_other_modes_start_and_never_write_the_parameter_file(self):
        """One cut short (another service's save) is kept, and the service
        starts with the defaults; SSH switched off only warns."""
        for text, ssh_off, forced in ((h.param_xml(service_sshapi="false")[:60], 0, 1),
                                      (h.param_xml(service_telnetapi="true", service_sshapi="FALSE",
                                                   telnetapi_port="23", sshapi_port="22"), 1, 0)):
            with self.subTest(damaged=forced):
                h.write_in_place(h.param_file_path(), text, lock=True)
                _, port, svc = h.start_relay(self.addCleanup, h.make_test_dir(self.id()))
                self.assertEqual((svc.log_count(WARN_SSH_OFF), svc.log_count(WARN_FORCED)),
                                 (ssh_off, forced))
                if forced:
                    self.assertRegex(svc.log_text(), rf"\[ERROR\] prase config file "
                                                     rf"{h.param_file_path()} err ")
                self.assertTrue(h.try_login(port, h.USER, h.PASSWORD))
                self.assertEqual(h.read_file(h.param_file_path(), "r"), text)
                svc.finish()

    def test_other_modes_never_read_the_credentials(self):
        self.write_creds(creds(("alice", "a-pw")))
        self.switch("true", 22)
        _, port, svc = h.start_relay(self.addCleanup, self.dir)
        self.write_creds(creds(("bob", "b-pw")))
        time.sleep(2.5)  # two supervision passes: nothing may happen meanwhile
        self.assertNotRegex(svc.log_text(), r"user:password modify")
        self.assert_logins(port, {("alice", "a-pw"): False, ("bob", "b-pw"): False})


if __name__ == "__main__":
    unittest.main()
