"""Start-up against the device parameter file <root>/config/param.xml: the
defaults written into missing or empty files (never over a damaged one), the "public" mode waiting for the SSH
switch and taking its port from the file, and the other modes that only
warn. The file is shared: every test restores it."""

import os
import unittest
import xml.etree.ElementTree as ET

import sshapi_harness as h

DEFAULTS = [("service_sshapi", "true"), ("telnetapi_port", "23"), ("sshapi_port", "22")]
WARN_SSH_OFF = r"\[WARN\] config ssh service unavailable now "
WARN_FORCED = r"\[WARN\] Telnet and TelnetTls status: 0, we force start ssh service "


def channel_params(path):
    """[(NAME, TYPE, text)] of CHANNEL_1 in file order."""
    root = ET.parse(path).getroot()
    assert root.tag == "CONFIGURATION", root.tag
    group = root.find("CHANNEL_1")
    assert group is not None, "no CHANNEL_1"
    return [(p.get("NAME"), p.get("TYPE"), p.text) for p in group.findall("PARAM")]


class ParamFileTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.path = h.param_file_path()
        h.restore_at_cleanup(self, self.path)
        self.telnet = h.start_telnet(self.addCleanup, self.dir)

    def service(self, name, *ports):
        """A service object stopped at cleanup; ports: those whose console
        pipes it will create."""
        workdir = os.path.join(self.dir, name)
        os.makedirs(workdir)
        svc = h.SshApi(workdir)
        self.addCleanup(svc.__exit__, None, None, None)
        for port in ports:
            self.addCleanup(h.remove_console_pipes, port)
        return svc

    def write(self, text):
        h.write_in_place(self.path, text, lock=True)

    def test_unusable_files_get_the_defaults(self):
        other_group = ('<CONFIGURATION>\n    <CHANNEL_2>\n'
                       '        <PARAM NAME="service_sshapi" TYPE="string">false</PARAM>\n'
                       '    </CHANNEL_2>\n</CONFIGURATION>\n')
        # A file cut short (another service's save and a power cut) is not
        # written: the defaults apply in memory only.
        cut_short = other_group[:60]
        cases = [("missing", None), ("empty", ""), ("cut_short", cut_short),
                 ("no_channel_1", other_group)]
        for name, content in cases:
            with self.subTest(case=name):
                if content is None:
                    h.SavedFile(self.path).remove()
                else:
                    self.write(content)
                port = h.free_port()
                svc = self.service(name, port)
                svc.start(h.standard_args(port, self.telnet.port))
                log = svc.log_text()
                if name == "cut_short":
                    with open(self.path) as f:
                        self.assertEqual(f.read(), cut_short)
                    self.assertRegex(log, rf"\[ERROR\] prase config file {self.path} err ")
                else:
                    self.assertEqual([(n, v) for n, t, v in channel_params(self.path)], DEFAULTS)
                    self.assertEqual({t for n, t, v in channel_params(self.path)}, {"string"})
                    self.assertNotRegex(log, r"prase config file")
                if name == "no_channel_1":
                    # the other group stays as it was
                    group = ET.parse(self.path).getroot().find("CHANNEL_2")
                    self.assertEqual([(p.get("NAME"), p.text) for p in group], [("service_sshapi", "false")])
                for switch in ("service_telnetapi", "service_telnettlsapi"):
                    self.assertRegex(log, rf"\[ERROR\] get config file {self.path} attr {switch} fail ")
                self.assertRegex(log, WARN_FORCED)
                self.assertNotRegex(log, WARN_SSH_OFF)
                svc.stop()

    def test_overlong_port_is_replaced(self):
        self.write(h.param_xml(service_telnetapi="true", service_sshapi="true",
                               telnetapi_port="2323", sshapi_port="2" * 63))
        port = h.free_port()
        svc = self.service("overlong", port)
        svc.start(h.standard_args(port, self.telnet.port))
        self.assertEqual(channel_params(self.path)[-1], ("sshapi_port", "string", "22"))
        self.assertEqual(channel_params(self.path)[-2], ("telnetapi_port", "string", "2323"))

    def test_public_mode_waits_for_the_switch_then_uses_the_file_port(self):
        cmdline_port = h.free_port()
        file_port = h.free_port()
        while file_port == cmdline_port:
            file_port = h.free_port()
        self.write(h.param_xml(service_telnetapi="true", service_sshapi="false",
                               telnetapi_port="23", sshapi_port=str(cmdline_port)))
        for port in (cmdline_port, file_port):
            h.remove_console_pipes(port)

        # The default log configuration, named after the command-line port.
        svc = self.service("public", cmdline_port, file_port)
        default_conf = os.path.join(h.test_root(), "usr", "local", "etc",
                                    f"sshserverlog{cmdline_port}.conf")
        h.write_log_config(default_conf, svc.log_path)
        self.addCleanup(os.unlink, default_conf)
        svc.start(["-w", "public"] + h.standard_args(cmdline_port, self.telnet.port),
                  expect_ready=False, conf=False)

        # Each pass warns; no port is open meanwhile.
        h.wait_until(lambda: svc.log_count(WARN_SSH_OFF) >= 2, 15, "two waiting passes")
        self.assertIsNone(svc.returncode)
        self.assertFalse(h.probe_ssh_banner(cmdline_port))
        self.assertNotRegex(svc.log_text(), WARN_FORCED)
        self.assertNotRegex(svc.log_text(), r"ssh port = ")

        self.write(h.param_xml(service_telnetapi="true", service_sshapi="true",
                               telnetapi_port="23", sshapi_port=str(file_port)))
        svc.port = file_port
        svc.wait_ready(timeout=15)
        log = svc.log_text()
        self.assertRegex(log, rf"\[INFO\] log config file = {default_conf} ")
        self.assertRegex(log, rf"\[INFO\] ssh port = {file_port} ")
        # the telnet port stays the command line's
        self.assertRegex(log, rf"\[INFO\] telnet port = {self.telnet.port} ")
        self.assertFalse(h.probe_ssh_banner(cmdline_port))

        # The console pipes carry the port the service listens on.
        with h.Console(file_port).wait_ready() as console:
            self.assertTrue(console.ask("help\n", 10).startswith(b"echo help > /var/request"))
        for path in h.console_paths(cmdline_port):
            self.assertFalse(os.path.exists(path), path)

        # And it serves: a login reaches the command line's telnet port.
        client = h.connect(file_port)
        self.addCleanup(client.close)
        h.open_shell(client)
        self.telnet.wait_received(1, b"local_ip_preview:127.0.0.1\n")

    def test_public_mode_starts_at_once_when_allowed(self):
        # ssh switched off but neither telnet service on: forced start;
        # a value that begins with "true" in any case counts as on
        cases = [("forced", dict(service_telnetapi="false", service_sshapi="false"), True),
                 ("trueish", dict(service_telnetapi="true", service_telnettlsapi="TRUE",
                                  service_sshapi="TRUEish"), False)]
        for name, params, forced in cases:
            with self.subTest(case=name):
                port = h.free_port()
                self.write(h.param_xml(telnetapi_port="23", sshapi_port=str(port), **params))
                svc = self.service(name, port)
                svc.start(["-w", "public"] + h.standard_args(h.free_port(), self.telnet.port),
                          port=port)
                log = svc.log_text()
                self.assertEqual(svc.log_count(WARN_SSH_OFF), 1 if forced else 0)
                self.assertEqual(svc.log_count(WARN_FORCED), 1 if forced else 0)
                self.assertRegex(log, rf"\[INFO\] ssh port = {port} ")
                svc.stop()

    def test_other_modes_only_warn_when_ssh_is_off(self):
        text = h.param_xml(service_telnetapi="true", service_sshapi="FALSE",
                           telnetapi_port="23", sshapi_port="22")
        self.write(text)
        for mode in ([], ["-w", "other"]):
            with self.subTest(mode=mode):
                port = h.free_port()
                svc = self.service("mode" + "".join(mode), port)
                svc.start(mode + h.standard_args(port, self.telnet.port))
                self.assertEqual(svc.log_count(WARN_SSH_OFF), 1)
                self.assertEqual(svc.log_count(WARN_FORCED), 0)
                self.assertRegex(svc.log_text(), rf"\[INFO\] ssh port = {port} ")
                self.assertTrue(h.try_login(port, h.DEFAULT_USER, h.DEFAULT_PASSWORD))
                svc.stop()
        # nothing was missing, so nothing was written
        with open(self.path) as f:
            self.assertEqual(f.read(), text)


if __name__ == "__main__":
    unittest.main()
