"""End-to-end tests of password authentication: the three-attempt limit,
also against pipelined requests, unknown and wrongly cased user names, and
what a refusal leaves in the log."""

import logging
import re
import socket
import unittest

import paramiko
from paramiko.common import cMSG_USERAUTH_REQUEST
from paramiko.message import Message

import sshapi_harness as h

USER = "admin"
PASSWORD = "Corr3ct-Horse"
PREVIEW = b"local_ip_preview:127.0.0.1\n"
DETAIL_RX = r"check user:(\S*)!=(\S*) pwd:(.*),pwd:(.*)!=(.*) fail"

logging.getLogger("paramiko").addHandler(logging.NullHandler())


class AuthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = h.make_test_dir(cls.__name__)
        cls.telnet, cls.port, cls.svc = h.start_relay(cls.addClassCleanup, cls.dir, user=USER,
                                                      password=PASSWORD)

    def setUp(self):
        self.mark = len(self.svc.log_text())

    def new_log(self):
        return self.svc.log_text()[self.mark:]

    def transport(self):
        """A client transport after the key exchange, not yet authenticated."""
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        transport = paramiko.Transport(sock)
        self.addCleanup(transport.close)
        transport.start_client(timeout=10)
        return transport

    def wait_dropped(self, transport, timeout=10):
        h.wait_until(lambda: not transport.is_active(), timeout, "the server to drop the connection")

    def test_three_wrong_passwords_drop_the_connection(self):
        transport = self.transport()
        for attempt in range(3):
            with self.assertRaises(paramiko.SSHException, msg=f"attempt {attempt + 1}"):
                transport.auth_password(USER, f"wrong-{attempt}")
        self.svc.wait_log(r"authorization fail attempts:3 time:\d+ ms", start=self.mark)
        self.wait_dropped(transport)
        with self.assertRaises(paramiko.SSHException):
            transport.auth_password(USER, PASSWORD)
        self.assertEqual(len(re.findall(r"check user \[admin\]", self.new_log())), 3)
        self.assertNotIn("authorization ok", self.new_log())

    def test_two_wrong_then_right_logs_in(self):
        transport = self.transport()
        for attempt in range(2):
            with self.assertRaises(paramiko.AuthenticationException):
                transport.auth_password(USER, f"wrong-{attempt}")
        transport.auth_password(USER, PASSWORD)
        self.assertTrue(transport.is_authenticated())
        conn = self.telnet.conn_count() + 1
        chan = transport.open_session(timeout=10)
        chan.settimeout(10)
        chan.invoke_shell()
        self.svc.wait_log(r"authorization ok", start=self.mark)
        chan.sendall(b"in")
        self.assertEqual(self.telnet.wait_received(conn, PREVIEW + b"in"), PREVIEW + b"in")

    def test_unknown_and_wrongly_cased_users_are_refused(self):
        transport = self.transport()
        for user in ("nobody", "Admin"):
            with self.assertRaises(paramiko.AuthenticationException, msg=user):
                transport.auth_password(user, PASSWORD)
            self.svc.wait_log(rf"check user \[{user}\]", start=self.mark)
        h.wait_until(lambda: self.new_log().count("check user fail") == 2, 10, "two refusals")
        # a name that is not in the table gets no comparison line
        self.assertIsNone(re.search(DETAIL_RX, self.new_log()), self.new_log())
        # the right name, on the same connection, still gets in
        transport.auth_password(USER, PASSWORD)
        self.assertTrue(transport.is_authenticated())

    def test_user_names_reach_the_log_escaped_and_bounded(self):
        transport = self.transport()
        for user, logged in (("ad\r\nmin\x1b[2J", r"ad\r\nmin\x1b[2J"),
                             ("u" * 5000 + "\x01", "u" * 256 + "...(cut, 5001 bytes)")):
            with self.assertRaises(paramiko.AuthenticationException):
                transport.auth_password(user, PASSWORD)
            self.svc.wait_log(re.escape(f"check user [{logged}] --"), start=self.mark)
        # no client-made log lines
        self.assertNotIn("\x1b", self.svc.log_text())
        self.assertNotIn("\nmin", self.svc.log_text())

    def test_refusal_log_holds_no_secret(self):
        transport = self.transport()
        wrong = "Wr0ng-Secret-Text"
        with self.assertRaises(paramiko.AuthenticationException):
            transport.auth_password(USER, wrong)
        match = self.svc.wait_log(DETAIL_RX, start=self.mark)
        self.assertEqual(match.group(0), "check user:admin!=admin pwd:***,pwd:***!=*** fail")
        self.svc.wait_log(r"check user fail", start=match.end())
        log = self.svc.log_text()
        for secret in (wrong, h.md5hex(wrong), PASSWORD, h.md5hex(PASSWORD)):
            self.assertNotIn(secret, log)

    def test_pipelined_attempts_beyond_three_are_refused(self):
        transport = self.transport()
        # one ordinary attempt: the server has then accepted the auth service
        with self.assertRaises(paramiko.AuthenticationException):
            transport.auth_password(USER, "wrong-0")
        # the rest back to back in one write, the right password last, so
        # that the server reads them all in one go
        packetizer = transport.packetizer
        packets = []
        packetizer.write_all = packets.append
        try:
            for password in ("wrong-1", "wrong-2", "wrong-3", "wrong-4", PASSWORD):
                msg = Message()
                msg.add_byte(cMSG_USERAUTH_REQUEST)
                msg.add_string(USER)
                msg.add_string("ssh-connection")
                msg.add_string("password")
                msg.add_boolean(False)
                msg.add_string(password)
                transport._send_message(msg)
        finally:
            del packetizer.write_all
        transport.sock.sendall(b"".join(packets))
        # requests refused unchecked are no attempts
        self.svc.wait_log(r"authorization fail attempts:3 time:\d+ ms", start=self.mark)
        self.wait_dropped(transport)
        self.assertFalse(transport.is_authenticated())
        log = self.new_log()
        self.assertNotIn("authorization ok", log)
        self.assertEqual(len(re.findall(DETAIL_RX, log)), 3, "passwords checked after the third failure")
        # the burst did reach the server as one batch: later requests were refused unchecked
        self.assertIn("too many failed attempts (3), request refused", log)


if __name__ == "__main__":
    unittest.main()
