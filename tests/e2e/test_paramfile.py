"""Start-up against the device parameter file <root>/config/param.xml: a
damaged file kept, the "public" mode waiting for the SSH switch and taking
its port from the file, and the other modes that only warn. (Which values
count, and the defaults a missing file gets, are the unit tests'.) The
file is shared: every test restores it."""

import os
import unittest

import sshapi_harness as h

WARN_SSH_OFF = r"\[WARN\] config ssh service unavailable now "
WARN_FORCED = r"\[WARN\] Telnet and TelnetTls status: 0, we force start ssh service "


class ParamFileTest(unittest.TestCase):
    def setUp(self):
        self.path = h.param_file_path()
        h.restore_at_cleanup(self, self.path)
        self.dir = h.make_test_dir(self.id())

    def write(self, text):
        h.write_in_place(self.path, text, lock=True)

    def test_other_modes_start_and_never_write_the_file(self):
        """One cut short (another service's save) is kept, and the service
        starts with the defaults; SSH switched off only warns."""
        for text, ssh_off, forced in ((h.param_xml(service_sshapi="false")[:60], 0, 1),
                                      (h.param_xml(service_telnetapi="true", service_sshapi="FALSE",
                                                   telnetapi_port="23", sshapi_port="22"), 1, 0)):
            with self.subTest(damaged=forced):
                self.write(text)
                _, port, svc = h.start_relay(self.addCleanup, h.make_test_dir(self.id()))
                self.assertEqual((svc.log_count(WARN_SSH_OFF), svc.log_count(WARN_FORCED)),
                                 (ssh_off, forced))
                if forced:
                    self.assertRegex(svc.log_text(), rf"\[ERROR\] prase config file {self.path} err ")
                self.assertTrue(h.try_login(port, h.USER, h.PASSWORD))
                self.assertEqual(h.read_file(self.path, "r"), text)
                svc.finish()

    def test_public_mode_waits_for_the_switch_then_uses_the_file_port(self):
        cmdline_port, file_port = h.free_port(), h.free_port()
        self.write(h.param_xml(service_telnetapi="true", service_sshapi="false",
                               telnetapi_port="23", sshapi_port=str(cmdline_port)))
        # the default log configuration, named after the command-line port
        default_conf = f"{h.test_root()}/usr/local/etc/sshserverlog{cmdline_port}.conf"
        h.write_log_config(default_conf, f"{self.dir}/sshapi.log")
        self.addCleanup(os.unlink, default_conf)
        telnet, _, svc = h.start_relay(self.addCleanup, self.dir, ["-w", "public"],
                                       port=cmdline_port, expect_ready=False, conf=False)
        # each pass warns; no port is open meanwhile
        h.wait_until(lambda: svc.log_count(WARN_SSH_OFF) >= 2, 15, "two waiting passes")
        self.assertFalse(h.probe_ssh_banner(cmdline_port))
        self.assertNotRegex(svc.log_text(), WARN_FORCED + "|ssh port = ")

        self.write(h.param_xml(service_telnetapi="true", service_sshapi="true",
                               telnetapi_port="23", sshapi_port=str(file_port)))
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
        with h.connect(file_port) as client:
            h.open_shell(client)
            telnet.wait_received(1, h.PREVIEW)


if __name__ == "__main__":
    unittest.main()
