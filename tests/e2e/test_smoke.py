"""Smoke test: one login, one channel, bytes both ways, with paramiko and
with the OpenSSH client."""

import unittest

import sshapi_harness as h

PREVIEW = b"local_ip_preview:127.0.0.1\n"
BANNER = "Welcome to fake-device\r\n"


class SmokeTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.FakeTelnet(self.dir)
        self.addCleanup(self.telnet.stop)
        self.svc = h.SshApi(self.dir)
        self.port = h.free_port()

    def start_service(self):
        # stops the service (also after a start that timed out) and fails the
        # test if it crashed
        self.addCleanup(self.svc.__exit__, None, None, None)
        self.svc.start(h.standard_args(self.port, self.telnet.port))

    def test_paramiko_shell_relays_both_ways(self):
        self.telnet.start(banner=BANNER)
        self.start_service()
        client = h.connect(self.port, "admin", "secret")
        self.addCleanup(client.close)
        chan = h.open_shell(client, pty=True)

        # The telnet connection opens with the preview line and nothing else.
        got = self.telnet.wait_received(1, len(PREVIEW))
        self.assertEqual(got, PREVIEW)
        self.svc.wait_log(r"open new channel=\S+, telnet fd:\d+")

        # Telnet output reaches the client.
        self.assertEqual(h.recv_until(chan, len(BANNER)), BANNER.encode())

        # Client input goes to telnet unchanged and is echoed unchanged.
        chan.sendall(b"hello\r")
        self.assertEqual(self.telnet.wait_received(1, PREVIEW + b"hello\r"), PREVIEW + b"hello\r")
        self.assertEqual(h.recv_until(chan, 6), b"hello\r")

        # A lone carriage return is relayed as is and echoed as CR LF.
        chan.sendall(b"\r")
        self.assertEqual(self.telnet.wait_received(1, PREVIEW + b"hello\r\r"), PREVIEW + b"hello\r\r")
        self.assertEqual(h.recv_until(chan, 2), b"\r\n")

    def test_openssh_client_talks_to_device_cli(self):
        self.telnet.start(cli=True)
        self.start_service()
        proc = h.ssh_cmd(self.port, "admin", "secret", workdir=self.dir)
        self.addCleanup(h.end_process, proc)
        proc.stdin.write(b"ping\r")
        proc.stdin.flush()
        try:
            out = h.read_until(proc.stdout, b"pong\r\n", timeout=20)
        except AssertionError as exc:
            raise AssertionError(f"{exc}\nssh stderr: {h.ssh_stderr(proc)}") from None
        self.assertIn(b"device> ", out)
        got = self.telnet.wait_received(1, PREVIEW + b"ping\r")
        self.assertEqual(got, PREVIEW + b"ping\r")


if __name__ == "__main__":
    unittest.main()
