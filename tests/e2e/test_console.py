"""The debug console of a running service: its private pipes, the status
report checked against the service's own sockets, and the log level
switches. (The answers of each command are the unit tests'.)"""

import os
import re
import unittest

import sshapi_harness as h

LINE = re.compile(rb"(ssh|telnet) cli\[127\.0\.0\.1:(\d+)\]<--fd:(\d+)-->\1 svr\[127\.0\.0\.1:"
                  rb"(\d+)\]")


class ConsoleTest(h.ServiceTestCase):
    def setUp(self):
        self.telnet, self.port, self.svc = h.start_relay(
            self.addCleanup, h.make_test_dir(self.id()), log_level="INFO")
        answer = h.console_ask(self.port, "help\n", b"log quiet")
        self.assertTrue(answer.startswith(b"echo help > "), answer)
        for path in h.console_paths(self.port):
            self.assertEqual(os.stat(path).st_mode & 0o7777, 0o600, f"{path} is not private")

    def shell_client(self, local_port=0):
        """A logged-in transport with one shell channel (one telnet connection)."""
        transport = h.connect(self.port, source=("127.0.0.1", local_port))
        self.addCleanup(transport.close)
        return transport, h.open_shell(transport)

    def status(self, sessions):
        """[(client port, telnet connections)] of the report once it has
        `sessions` blocks; every fd it names is the service's own socket
        with the endpoints it names."""
        answer = h.console_ask(self.port, "status\n", lambda d: d.count(b"\r\n\r\n") >= sessions)
        fds, endpoints, blocks = self.svc.fds(), {}, []
        with open("/proc/net/tcp") as f:  # socket inode -> (local port, remote port)
            for fields in (line.split() for line in list(f)[1:]):
                endpoints[int(fields[9])] = tuple(int(a.split(":")[1], 16) for a in fields[1:3])
        self.assertTrue(answer.endswith(b"\r\n\r\n"), answer)
        for block in answer[:-4].split(b"\r\n\r\n"):
            lines = [LINE.fullmatch(line) for line in block.split(b"\r\n")]
            self.assertTrue(all(lines) and lines[0][1] == b"ssh", block)
            self.assertTrue(all(m[1] == b"telnet" for m in lines[1:]), block)
            for m in lines:
                cli, fd, svr = int(m[2]), int(m[3]), int(m[4])
                self.assertEqual(svr, self.port if m[1] == b"ssh" else self.telnet.port)
                ends = endpoints[int(fds[fd][8:-1])]
                self.assertEqual(ends, (svr, cli) if m[1] == b"ssh" else (cli, svr))
            blocks.append((int(lines[0][2]), len(lines) - 1))
        return blocks

    def test_status_lists_sessions_in_key_order(self):
        # the first client gets the higher source port: key order and port order differ
        low, high = sorted(h.free_port() for _ in range(2))  # two ports no one else uses
        t_a, _ = self.shell_client(local_port=high)
        self.telnet.wait_received(1, h.PREVIEW)
        self.assertEqual(self.status(1), [(high, 1)])
        t_b, chan_b = self.shell_client(local_port=low)
        chan_b2 = h.open_shell(t_b)
        self.telnet.wait_received(3, h.PREVIEW)
        t_c = h.connect(self.port)  # logged in without a channel: only its ssh line
        self.addCleanup(t_c.close)
        c_port = t_c.sock.getsockname()[1]
        h.wait_until(lambda: self.svc.log_count(r"check user \[admin\]") >= 3, 10, "three logins")
        self.assertEqual(self.status(3), [(high, 1), (low, 2), (c_port, 0)])
        # a closed channel and a finished session leave the report; the
        # other channel of that connection relays on
        chan_b2.close()
        self.telnet.wait_done(3)
        chan_b.sendall(b"on")
        self.assertEqual(self.telnet.wait_received(2, h.PREVIEW + b"on"), h.PREVIEW + b"on")
        self.assertEqual(h.recv_until(chan_b, 2), b"on")
        t_a.close()
        self.svc.wait_log(r"erase svrchn key:1 ")
        self.assertEqual(self.status(2), [(low, 1), (c_port, 0)])

    def test_log_verbose_and_quiet(self):
        """DEBUG lines with the relayed data at once; libssh's own level from
        the next connection on, then for the live sessions too."""
        _, chan = self.shell_client()
        data_line = r"\[DEBUG\] #### data_function get data\[{}\\r\]"

        def relay(word):
            chan.sendall(word.encode() + b"\r")
            h.recv_until(chan, word.encode() + b"\r")  # the echo

        relay("one")
        h.console_ask(self.port, "log verbose\n", b" ok\r\n")  # the answers are the unit test's
        relay("two")
        self.svc.wait_log(data_line.format("two"))
        self.assertEqual(self.svc.log_count(r"ssh-log\["), 0)
        self.assertTrue(h.try_login(self.port, h.USER, h.PASSWORD))
        self.svc.wait_log(r"ssh-log\[")
        h.console_ask(self.port, "log   quiet\n", b" ok\r\n")
        relay("three")
        relay("three")
        self.assertEqual([self.svc.log_count(data_line.format(w)) for w in ("one", "three")],
                         [0, 0])
        self.assertTrue(h.try_login(self.port, h.USER, h.PASSWORD))
        self.svc.wait_log(r"erase session key:3 ")
        relay("four")
        before = self.svc.log_count(r"ssh-log\[")
        relay("five")
        self.assertEqual(self.svc.log_count(r"ssh-log\["), before)


if __name__ == "__main__":
    unittest.main()
