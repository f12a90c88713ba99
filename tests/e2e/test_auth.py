"""Password logins: the three-attempt limit, also against pipelined
requests, refused user names, and what a refusal leaves in the log."""

import re
import unittest

import paramiko
from paramiko.common import cMSG_USERAUTH_REQUEST
from paramiko.message import Message

import sshapi_harness as h

PASSWORD = "Corr3ct-Horse"
DETAIL_RX = r"check user:(\S*)!=(\S*) pwd:(.*),pwd:(.*)!=(.*) fail"


class AuthTest(h.RelayCase):
    START = dict(password=PASSWORD)

    def setUp(self):
        self.mark = self.svc.mark()
        self.transport = h.connect(self.port, None)
        self.addCleanup(self.transport.close)

    def new_log(self):
        return self.svc.log_text()[self.mark:]

    def test_pipelined_attempts_beyond_three_are_refused(self):
        # one ordinary attempt: the server has then accepted the auth service
        with self.assertRaises(paramiko.AuthenticationException):
            self.transport.auth_password(h.USER, "wrong-0")
        # the rest in one write, the right password last
        packets = []
        self.transport.packetizer.write_all = packets.append
        try:
            for password in ("wrong-1", "wrong-2", "wrong-3", "wrong-4", PASSWORD):
                msg = Message()
                msg.add_byte(cMSG_USERAUTH_REQUEST)
                for field in (h.USER, "ssh-connection", "password"):
                    msg.add_string(field)
                msg.add_boolean(False)
                msg.add_string(password)
                self.transport._send_message(msg)
        finally:
            del self.transport.packetizer.write_all
        self.transport.sock.sendall(b"".join(packets))
        # requests refused unchecked are no attempts
        self.svc.wait_log(r"authorization fail attempts:3 time:\d+ ms", start=self.mark)
        h.wait_until(lambda: not self.transport.is_active(), 10, "the connection dropped")
        self.assertFalse(self.transport.is_authenticated())
        self.assertNotIn("authorization ok", self.new_log())
        self.assertEqual(len(re.findall(DETAIL_RX, self.new_log())), 3, "passwords checked")
        self.assertIn("too many failed attempts (3), request refused", self.new_log())

    def test_two_wrong_then_right_logs_in(self):
        for attempt in range(2):
            with self.assertRaises(paramiko.AuthenticationException):
                self.transport.auth_password(h.USER, f"wrong-{attempt}")
        self.transport.auth_password(h.USER, PASSWORD)
        conn = self.telnet.conn_count() + 1
        h.open_shell(self.transport, pty=False).sendall(b"in")
        self.assertEqual(self.telnet.wait_received(conn, h.PREVIEW + b"in"), h.PREVIEW + b"in")

    def test_refused_user_names_and_the_log(self):
        """Unknown and wrongly cased names are refused without a digest
        comparison; names reach the log escaped and cut; no secret does."""
        for user, logged in (("nobody", "nobody"), ("Admin", "Admin"),
                             ("ad\r\nmin\x1b[2J", r"ad\r\nmin\x1b[2J"),
                             ("u" * 5000 + "\x01", "u" * 256 + "...(cut, 5001 bytes)")):
            with self.subTest(user=user[:20]):
                self.assertFalse(h.try_login(self.port, user, PASSWORD))
                self.svc.wait_log(re.escape(f"check user [{logged}] --"), start=self.mark)
        h.wait_until(lambda: self.new_log().count("check user fail") == 4, 10, "four refusals")
        self.assertIsNone(re.search(DETAIL_RX, self.new_log()))
        wrong = "Wr0ng-Secret-Text"
        self.assertFalse(h.try_login(self.port, h.USER, wrong))
        match = self.svc.wait_log(DETAIL_RX, start=self.mark)
        self.assertEqual(match.group(0), "check user:admin!=admin pwd:***,pwd:***!=*** fail")
        log = self.svc.log_text()
        for text in ("\x1b", "\nmin", wrong, h.md5hex(wrong), PASSWORD, h.md5hex(PASSWORD)):
            self.assertNotIn(text, log)


if __name__ == "__main__":
    unittest.main()
