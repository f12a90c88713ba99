"""The debug console of a running service: the request and answer pipes
under <root>/var, driven as an operator would (answer pipe read without
blocking, request written to the request pipe)."""

import re
import socket
import unittest

import sshapi_harness as h

HELP = (b"echo help > /var/request; cat /var/response\r\n"
        b"echo status > /var/request; cat /var/response\r\n"
        b"echo \"log verbose\" > /var/request; cat /var/response\r\n"
        b"echo \"log quiet\" > /var/request; cat /var/response\r\n")
DEFAULT = HELP + b"echo default > /var/request; cat /var/response\r\n"
VERBOSE_OK = b"set log verbose(libssh need new connect) ok\r\n"
QUIET_OK = b"set log quiet(libssh need new connect) ok\r\n"
PREVIEW = b"local_ip_preview:127.0.0.1\n"

SSH_LINE = re.compile(rb"ssh cli\[127\.0\.0\.1:(\d+)\]<--fd:(\d+)-->ssh svr\[127\.0\.0\.1:(\d+)\]\r\n")
TELNET_LINE = re.compile(rb"telnet cli\[127\.0\.0\.1:(\d+)\]<--fd:(\d+)-->telnet svr\[127\.0\.0\.1:(\d+)\]\r\n")


def tcp_endpoints():
    """Socket inode -> (local port, remote port) of every IPv4 TCP socket."""
    result = {}
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, remote, inode = fields[1], fields[2], int(fields[9])
            result[inode] = (int(local.split(":")[1], 16), int(remote.split(":")[1], 16))
    return result


def parse_status(answer):
    """Split a status answer into blocks: [(ssh (cli, fd, svr), [telnet (cli, fd, svr), ...])].
    Fails unless the answer is made of such blocks and nothing else."""
    blocks = []
    pos = 0
    while pos < len(answer):
        m = SSH_LINE.match(answer, pos)
        if not m:
            raise AssertionError(f"no ssh line at {pos} in {answer!r}")
        ssh = tuple(int(x) for x in m.groups())
        pos = m.end()
        telnets = []
        while True:
            t = TELNET_LINE.match(answer, pos)
            if not t:
                break
            telnets.append(tuple(int(x) for x in t.groups()))
            pos = t.end()
        if answer[pos:pos + 2] != b"\r\n":
            raise AssertionError(f"block not ended by an empty line at {pos} in {answer!r}")
        pos += 2
        blocks.append((ssh, telnets))
    return blocks


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.telnet = h.start_telnet(self.addCleanup, self.dir)
        self.svc = h.SshApi(self.dir)
        self.port = h.free_port()

    def start_service(self, log_level="DEBUG"):
        h.remove_console_pipes(self.port)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.addCleanup(self.svc.__exit__, None, None, None)
        self.svc.start(h.standard_args(self.port, self.telnet.port), log_level=log_level)
        self.console = h.Console(self.port).wait_ready()
        self.addCleanup(self.console.close)

    def shell_client(self, local_port=None):
        """A logged-in client with one shell channel (so one telnet
        connection); local_port pins the client's source port."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(sock.close)
        if local_port is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", local_port))
        sock.settimeout(10)
        sock.connect(("127.0.0.1", self.port))
        transport = h.paramiko.Transport(sock)
        self.addCleanup(transport.close)
        transport.start_client(timeout=10)
        transport.auth_password(h.DEFAULT_USER, h.DEFAULT_PASSWORD)
        chan = transport.open_session(timeout=10)
        chan.settimeout(10)
        chan.get_pty()
        chan.invoke_shell()
        return transport, chan

    def status(self, sessions):
        """The status answer once it holds `sessions` blocks."""
        answer = self.console.ask("status\n", lambda d: d.count(b"\r\n\r\n") >= sessions)
        return parse_status(answer)

    def assert_block(self, block, client_port, fds, endpoints, telnet_conns):
        (ssh_cli, ssh_fd, ssh_svr), telnets = block
        self.assertEqual((ssh_cli, ssh_svr), (client_port, self.port))
        # fd numbers are the service's own sockets, with those very endpoints
        self.assertEqual(endpoints[int(fds[ssh_fd][8:-1])], (self.port, client_port))
        self.assertEqual(len(telnets), telnet_conns)
        for tel_cli, tel_fd, tel_svr in telnets:
            self.assertEqual(tel_svr, self.telnet.port)
            self.assertEqual(endpoints[int(fds[tel_fd][8:-1])], (tel_cli, self.telnet.port))

    def test_help_default_and_status_without_sessions(self):
        self.start_service()
        self.assertEqual(self.console.ask("help\n", len(HELP)), HELP)
        # anything that is no command gets the default answer: an unknown
        # word, an empty line, and "log" alone
        for request in ("frobnicate\n", "\n", "log\n"):
            with self.subTest(request=request):
                self.assertEqual(self.console.ask(request, len(DEFAULT)), DEFAULT)
        # Word separators and line ends do not matter.
        self.assertEqual(self.console.ask("help\r\n", len(HELP)), HELP)

        # "status" with no session writes nothing at all: once the service
        # has read it, a "help" is sent; answers go out in request order, so
        # anything status wrote would come before the help text.
        self.svc.wait_log(r"erase svrchn key:1 ")  # the readiness probe is reaped
        self.console.drain()
        self.console.send("status\n")
        self.console.send("help\n")
        self.assertEqual(self.console.read_answer(len(HELP), quiet=0.5), HELP)

    def test_status_lists_sessions_in_key_order(self):
        self.start_service()
        self.svc.wait_log(r"erase svrchn key:1 ")
        # The first client gets the higher source port, so key order and
        # port order differ.
        ports = sorted({h.free_port() for _ in range(4)})
        high, low = ports[-1], ports[0]
        t_a, chan_a = self.shell_client(local_port=high)
        self.telnet.wait_for_conn(1)
        blocks = self.status(1)
        self.assertEqual(len(blocks), 1)
        self.assert_block(blocks[0], high, self.svc.fds(), tcp_endpoints(), 1)

        t_b, chan_b = self.shell_client(local_port=low)
        chan_b2 = t_b.open_session(timeout=10)
        chan_b2.invoke_shell()
        self.telnet.wait_for_conn(3)
        # a third client logged in without a channel: only its ssh line
        t_c = h.connect(self.port)
        self.addCleanup(t_c.close)
        c_port = t_c.get_transport().sock.getsockname()[1]
        self.svc.wait_log(r"new session key:4 ")
        self.svc.wait_log(r"check user \[admin\](.|\n)*check user \[admin\](.|\n)*check user \[admin\]")
        blocks = self.status(3)
        fds, endpoints = self.svc.fds(), tcp_endpoints()
        self.assertEqual(len(blocks), 3)
        self.assert_block(blocks[0], high, fds, endpoints, 1)
        self.assert_block(blocks[1], low, fds, endpoints, 2)
        self.assert_block(blocks[2], c_port, fds, endpoints, 0)

        # A closed channel and a finished session leave the report.
        chan_b2.close()
        self.telnet.wait_done(3)
        t_a.close()
        self.svc.wait_log(r"erase svrchn key:2 ")
        blocks = self.status(2)
        fds, endpoints = self.svc.fds(), tcp_endpoints()
        self.assert_block(blocks[0], low, fds, endpoints, 1)
        self.assert_block(blocks[1], c_port, fds, endpoints, 0)

    def test_log_verbose_and_quiet(self):
        self.start_service(log_level="INFO")
        transport, chan = self.shell_client()
        self.telnet.wait_for_conn(1)
        data_line = r"\[DEBUG\] #### data_function get data\[{}\\r\]"

        def relay(word):
            chan.sendall(word.encode() + b"\r")
            self.telnet.wait_received(1, word.encode() + b"\r")
            h.recv_until(chan, word.encode() + b"\r")  # the echo

        relay("one")
        self.assertEqual(self.svc.log_count(r"\[DEBUG\]"), 0)

        self.assertEqual(self.console.ask("log verbose\n", len(VERBOSE_OK)), VERBOSE_OK)
        relay("two")
        self.svc.wait_log(data_line.format("two"))
        # libssh's own level changes only with the next connection
        self.assertEqual(self.svc.log_count(r"ssh-log\["), 0)
        self.assertTrue(h.try_login(self.port, h.DEFAULT_USER, h.DEFAULT_PASSWORD))
        self.svc.wait_log(r"ssh-log\[")

        self.assertEqual(self.console.ask("log   quiet\n", len(QUIET_OK)), QUIET_OK)
        relay("three")
        relay("four")
        self.assertEqual(self.svc.log_count(data_line.format("three")), 0)
        self.assertEqual(self.svc.log_count(data_line.format("four")), 0)
        self.assertEqual(self.svc.log_count(data_line.format("two")), 1)

        # After the next connection libssh is quiet again, for the live
        # session too (it takes the new level at its next pass).
        self.assertTrue(h.try_login(self.port, h.DEFAULT_USER, h.DEFAULT_PASSWORD))
        self.svc.wait_log(r"erase session key:4 ")
        self.svc.wait_log(r"erase session key:3 ")
        relay("five")
        before = self.svc.log_count(r"ssh-log\[")
        relay("six")
        self.assertEqual(self.svc.log_count(r"ssh-log\["), before)

if __name__ == "__main__":
    unittest.main()
