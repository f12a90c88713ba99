"""Start-up against the device parameter file <root>/config/param.xml: the
defaults written into a missing file but never over a damaged one, the
"public" mode waiting for the SSH switch and taking its port from the file,
and the other modes that only warn. (Which values count is the unit tests'.)
The file is shared: every test restores it."""

import os
import unittest
import xml.etree.ElementTree as ET

import sshapi_harness as h

WARN_SSH_OFF = r"\[WARN\] config ssh service unavailable now "
WARN_FORCED = r"\[WARN\] Telnet and TelnetTls status: 0, we force start ssh service "


class ParamFileTest(unittest.TestCase):
    def setUp(self):
        self.path = h.param_file_path()
        h.restore_at_cleanup(self, self.path)
        self.telnet = h.start_telnet(self.addCleanup, h.make_test_dir(self.id()))

    def service(self, args, *console_ports, **start_kw):
        for port in console_ports or [args[args.index("-p") + 1]]:
            h.remove_console_pipes(port)
            self.addCleanup(h.remove_console_pipes, port)
        return h.start_service(self.addCleanup, h.make_test_dir(self.id()), args, **start_kw)

    def write(self, text):
        h.write_in_place(self.path, text, lock=True)

    def test_missing_file_gets_the_defaults_a_damaged_one_is_kept(self):
        cut_short = h.param_xml(service_sshapi="false")[:60]  # another service's save cut short
        for content in (None, cut_short):
            with self.subTest(damaged=content is not None):
                if content is None:
                    os.unlink(self.path) if os.path.exists(self.path) else None
                else:
                    self.write(content)
                port = h.free_port()
                svc = self.service(h.standard_args(port, self.telnet.port))
                log = svc.log_text()
                if content is None:
                    group = ET.parse(self.path).getroot().find("CHANNEL_1")
                    self.assertEqual([(p.get("NAME"), p.get("TYPE"), p.text) for p in group],
                                     [("service_sshapi", "string", "true"),
                                      ("telnetapi_port", "string", "23"),
                                      ("sshapi_port", "string", "22")])
                else:
                    self.assertEqual(h.read_file(self.path, "r"), cut_short)
                    self.assertRegex(log, rf"\[ERROR\] prase config file {self.path} err ")
                self.assertRegex(log, WARN_FORCED)
                svc.finish()

    def test_public_mode_waits_for_the_switch_then_uses_the_file_port(self):
        cmdline_port, file_port = h.free_port(), h.free_port()
        self.write(h.param_xml(service_telnetapi="true", service_sshapi="false",
                               telnetapi_port="23", sshapi_port=str(cmdline_port)))
        # the default log configuration, named after the command-line port
        workdir = h.make_test_dir(self.id())
        default_conf = os.path.join(h.test_root(), "usr", "local", "etc",
                                    f"sshserverlog{cmdline_port}.conf")
        log_path = os.path.join(workdir, "default.log")
        h.write_log_config(default_conf, log_path)
        self.addCleanup(os.unlink, default_conf)
        svc = self.service(["-w", "public"] + h.standard_args(cmdline_port, self.telnet.port),
                           cmdline_port, file_port, expect_ready=False, conf=False)
        svc.log_path = log_path

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
                     f"telnet port = {self.telnet.port}"):
            self.assertRegex(svc.log_text(), rf"\[INFO\] {line} ")
        self.assertFalse(h.probe_ssh_banner(cmdline_port))
        # the console pipes carry the port the service listens on
        self.assertTrue(h.console_ask(file_port, "help\n", 10).startswith(b"echo help > "))
        self.assertFalse(any(map(os.path.exists, h.console_paths(cmdline_port))))
        client = h.connect(file_port)
        self.addCleanup(client.close)
        h.open_shell(client)
        self.telnet.wait_received(1, h.PREVIEW)

    def test_other_modes_only_warn_when_ssh_is_off(self):
        text = h.param_xml(service_telnetapi="true", service_sshapi="FALSE", telnetapi_port="23",
                           sshapi_port="22")
        self.write(text)
        port = h.free_port()
        svc = self.service(h.standard_args(port, self.telnet.port))
        self.assertEqual((svc.log_count(WARN_SSH_OFF), svc.log_count(WARN_FORCED)), (1, 0))
        self.assertRegex(svc.log_text(), rf"\[INFO\] ssh port = {port} ")
        self.assertTrue(h.try_login(port, h.USER, h.PASSWORD))
        self.assertEqual(h.read_file(self.path, "r"), text, "nothing was missing, nothing written")


if __name__ == "__main__":
    unittest.main()
