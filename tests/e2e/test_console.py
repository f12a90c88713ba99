"""The debug console of a running service: its private pipes under
<root>/var, the status report checked against the service's own sockets,
and the log level switches. (The answers of each command are the unit
tests'.)"""

import os
import re
import socket
import unittest

import sshapi_harness as h

SSH_LINE = re.compile(rb"ssh cli\[127\.0\.0\.1:(\d+)\]<--fd:(\d+)-->ssh svr\[127\.0\.0\.1:(\d+)\]\r\n")
TELNET_LINE = re.compile(rb"telnet cli\[127\.0\.0\.1:(\d+)\]<--fd:(\d+)-->telnet svr"
                         rb"\[127\.0\.0\.1:(\d+)\]\r\n")


def tcp_endpoints():
    """Socket inode -> (local port, remote port) of every IPv4 TCP socket."""
    result = {}
    with open("/proc/net/tcp") as f:
        for line in list(f)[1:]:
            local, remote, inode = line.split()[1], line.split()[2], int(line.split()[9])
            result[inode] = (int(local.split(":")[1], 16), int(remote.split(":")[1], 16))
    return result


def parse_status(answer):
    """[(ssh (cli, fd, svr), [telnet (cli, fd, svr), ...])]; fails unless the
    answer is made of such blocks, each ended by an empty line."""
    blocks, pos = [], 0
    while pos < len(answer):
        m = SSH_LINE.match(answer, pos)
        if not m:
            raise AssertionError(f"no ssh line at {pos} in {answer!r}")
        telnets, pos = [], m.end()
        while (t := TELNET_LINE.match(answer, pos)) is not None:
            telnets.append(tuple(map(int, t.groups())))
            pos = t.end()
        if answer[pos:pos + 2] != b"\r\n":
            raise AssertionError(f"block not ended by an empty line at {pos} in {answer!r}")
        pos += 2
        blocks.append((tuple(map(int, m.groups())), telnets))
    return blocks


class ConsoleTest(h.ServiceTestCase):
    def start(self, log_level="DEBUG"):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir)
        self.port = h.free_port()
        h.remove_console_pipes(self.port)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.svc = h.start_service(self.addCleanup, self.dir,
                                   h.standard_args(self.port, self.telnet.port),
                                   log_level=log_level)
        self.console = h.Console(self.port).wait_ready()
        self.addCleanup(self.console.close)
        for path in self.console.paths:
            self.assertEqual(os.stat(path).st_mode & 0o7777, 0o600, f"{path} is not private")

    def shell_client(self, local_port=None):
        """A logged-in transport with one shell channel (one telnet connection)."""
        sock = socket.socket()
        self.addCleanup(sock.close)
        if local_port is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", local_port))
        sock.settimeout(10)
        sock.connect(("127.0.0.1", self.port))
        transport = h.paramiko.Transport(sock)
        self.addCleanup(transport.close)
        transport.start_client(timeout=10)
        transport.auth_password(h.USER, h.PASSWORD)
        return transport, h.open_shell(transport)

    def status(self, sessions):
        """The status report once it holds `sessions` blocks, each checked:
        the fd numbers are the service's own sockets with those endpoints."""
        answer = self.console.ask("status\n", lambda d: d.count(b"\r\n\r\n") >= sessions)
        blocks, fds, endpoints = parse_status(answer), self.svc.fds(), tcp_endpoints()
        for (ssh_cli, ssh_fd, ssh_svr), telnets in blocks:
            self.assertEqual(ssh_svr, self.port)
            self.assertEqual(endpoints[int(fds[ssh_fd][8:-1])], (self.port, ssh_cli))
            for tel_cli, tel_fd, tel_svr in telnets:
                self.assertEqual(tel_svr, self.telnet.port)
                self.assertEqual(endpoints[int(fds[tel_fd][8:-1])], (tel_cli, self.telnet.port))
        return [(ssh[0], len(telnets)) for ssh, telnets in blocks]

    def test_status_lists_sessions_in_key_order(self):
        self.start()
        self.assertTrue(self.console.ask("help\n", b"log quiet").startswith(b"echo help > "))
        self.svc.wait_log(r"erase svrchn key:1 ")  # the readiness probe
        # the first client gets the higher source port: key order and port order differ
        ports = sorted({h.free_port() for _ in range(4)})
        high, low = ports[-1], ports[0]
        t_a, _ = self.shell_client(local_port=high)
        self.telnet.wait_for_conn(1)
        self.assertEqual(self.status(1), [(high, 1)])
        t_b, _ = self.shell_client(local_port=low)
        chan_b2 = h.open_shell(t_b)
        self.telnet.wait_for_conn(3)
        # a third client logged in without a channel: only its ssh line
        t_c = h.connect(self.port)
        self.addCleanup(t_c.close)
        c_port = t_c.get_transport().sock.getsockname()[1]
        h.wait_until(lambda: self.svc.log_count(r"check user \[admin\]") >= 3, 10, "three logins")
        self.assertEqual(self.status(3), [(high, 1), (low, 2), (c_port, 0)])
        # a closed channel and a finished session leave the report
        chan_b2.close()
        self.telnet.wait_done(3)
        t_a.close()
        self.svc.wait_log(r"erase svrchn key:2 ")
        self.assertEqual(self.status(2), [(low, 1), (c_port, 0)])

    def test_log_verbose_and_quiet(self):
        self.start(log_level="INFO")
        _, chan = self.shell_client()
        self.telnet.wait_for_conn(1)
        data_line = r"\[DEBUG\] #### data_function get data\[{}\\r\]"

        def relay(word):
            chan.sendall(word.encode() + b"\r")
            h.recv_until(chan, word.encode() + b"\r")  # the echo

        relay("one")
        ok = b"set log %s(libssh need new connect) ok\r\n"
        self.assertEqual(self.console.ask("log verbose\n", len(ok % b"verbose")), ok % b"verbose")
        relay("two")
        self.svc.wait_log(data_line.format("two"))
        # libssh's own level changes only with the next connection
        self.assertEqual(self.svc.log_count(r"ssh-log\["), 0)
        self.assertTrue(h.try_login(self.port, h.USER, h.PASSWORD))
        self.svc.wait_log(r"ssh-log\[")
        self.assertEqual(self.console.ask("log   quiet\n", len(ok % b"quiet")), ok % b"quiet")
        relay("three")
        relay("three")
        self.assertEqual([self.svc.log_count(data_line.format(w)) for w in ("one", "three")], [0, 0])
        # after the next connection libssh is quiet again, for the live session too
        self.assertTrue(h.try_login(self.port, h.USER, h.PASSWORD))
        self.svc.wait_log(r"erase session key:4 ")
        relay("four")
        before = self.svc.log_count(r"ssh-log\[")
        relay("five")
        self.assertEqual(self.svc.log_count(r"ssh-log\["), before)


if __name__ == "__main__":
    unittest.main()
