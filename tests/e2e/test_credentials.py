"""The credentials file <root>/config/sshapipublicpw.cur in the "public"
password mode: which lines admit whom, the live reload on in-place writes,
creation and rename, what does not reload, and that other modes never read
it.
The file is shared: every test restores it."""

import os
import time
import unittest

import sshapi_harness as h

RELOAD = r"\[INFO\] user:password modify sshapipublicpw\.cur "
RELOAD_DONE = r"\[INFO\] -----------sshapipublicpw\.cur "


def creds(*entries):
    """File text with one 'user:digest' line per (user, password)."""
    return "".join(f"{user}:{h.md5hex(password)}\n" for user, password in entries)


class CredentialsTest(unittest.TestCase):
    def setUp(self):
        self.dir = h.make_test_dir(self.id())
        self.path = h.credentials_file_path()
        h.restore_at_cleanup(self, self.path).remove()
        self.telnet = h.start_telnet(self.addCleanup, self.dir)
        self.svc = h.SshApi(self.dir)
        self.port = h.free_port()
        # in the "public" mode the listen port is the file's
        h.use_param_file(self, service_sshapi="true", telnetapi_port="23",
                         sshapi_port=str(self.port))

    def start_service(self, mode=("-w", "public")):
        # no -U/-P unless in mode: the table comes from the file (or the
        # built-in default)
        args = list(mode) + ["-p", str(self.port), "-t", str(self.telnet.port),
                             "--ed25519", h.host_key_path("ed25519")] + h.LENIENT_ARGS
        self.addCleanup(self.svc.__exit__, None, None, None)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.svc.start(args)
        # The file is watched only once start-up is complete (two seconds
        # after the port opens); the supervision loop then reaps the
        # readiness probe's session.
        self.svc.wait_log(r"erase svrchn key:1 ")

    def login(self, user, password):
        return h.try_login(self.port, user, password)

    def assert_logins(self, expected):
        """expected: {(user, password): True/False}"""
        got = {key: self.login(*key) for key in expected}
        self.assertEqual(got, expected)

    def write(self, text):
        h.write_in_place(self.path, text)

    def wait_reloads(self, count, timeout=5.0):
        """Wait until the count-th reload of the file has finished."""
        h.wait_until(lambda: self.svc.log_count(RELOAD_DONE) >= count, timeout,
                     f"credentials reload {count}")

    def test_file_lines_decide_who_logs_in(self):
        self.write(creds(("alice", "a-pw"))
                   + f"bob:{h.md5hex('b-pw')}\r\n"              # CR becomes part of the value
                   + f"carol:{h.md5hex('c-pw')}:extra\n"        # two colons: ignored
                   + f"carol:x:{h.md5hex('c-pw')}\n"
                   + "erin:\n"                                  # empty value: never matches
                   + creds(("dave", "old"), ("dave", "new")))   # the later line wins
        self.start_service()
        self.assert_logins({("alice", "a-pw"): True, ("alice", "b-pw"): False,
                            ("bob", "b-pw"): False, ("carol", "c-pw"): False,
                            ("erin", ""): False, ("dave", "new"): True, ("dave", "old"): False,
                            # the built-in user is not added to a non-empty file table
                            ("admin", h.DEFAULT_PASSWORD): False})
        self.assertNotRegex(self.svc.log_text(), r"userCredentials is empty")

    def test_reload_on_create_and_in_place_write(self):
        self.start_service()
        self.assertRegex(self.svc.log_text(), r"\[ERROR\] userCredentials is empty, set default user and password ")
        self.assertFalse(self.login("alice", "a-pw"))

        # Creating the file: alice is admitted within about a second.
        for text, admitted, refused in ((creds(("alice", "a-pw")), "alice", None),
                                        (creds(("bob", "b-pw")), "bob", "alice")):
            started = time.monotonic()
            self.write(text)  # first the create, then a rewrite in place
            h.wait_until(lambda: self.login(admitted, admitted[0] + "-pw"), 5,
                         f"{admitted} admitted", interval=0.25)
            self.assertLess(time.monotonic() - started, 3.0)
            if refused:
                self.assertFalse(self.login(refused, refused[0] + "-pw"))
        self.assertRegex(self.svc.log_text(), RELOAD)

    def test_rename_revokes_and_emptying_keeps_the_table(self):
        self.write(creds(("alice", "a-pw")))
        # the command-line user stays through the re-read at start and every reload
        self.start_service(("-w", "public") + tuple(h.add_user_args("carol", "c-pw")))
        self.assert_logins({("alice", "a-pw"): True, ("carol", "c-pw"): True})

        # A file renamed onto it (sed -i, editors, provisioning tools):
        # alice is revoked within about a second, bob comes in.
        tmp = os.path.join(os.path.dirname(self.path), "sshapi-next.tmp")
        self.addCleanup(lambda: os.path.exists(tmp) and os.unlink(tmp))
        with open(tmp, "w") as f:
            f.write(creds(("bob", "b-pw")))
        started = time.monotonic()
        os.rename(tmp, self.path)
        h.wait_until(lambda: not self.login("alice", "a-pw"), 5, "alice revoked", interval=0.25)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assert_logins({("bob", "b-pw"): True, ("carol", "c-pw"): True})

        # Emptied in place: the reload runs, and the previous table stays.
        reloads = self.svc.log_count(RELOAD_DONE)
        self.write("")
        self.wait_reloads(reloads + 1)
        self.assert_logins({("alice", "a-pw"): False, ("bob", "b-pw"): True,
                            ("carol", "c-pw"): True})

    def test_change_between_two_attempts_of_one_connection(self):
        self.write(creds(("alice", "old")))
        self.start_service()
        sock = h.socket.create_connection(("127.0.0.1", self.port), timeout=10)
        transport = h.paramiko.Transport(sock)
        self.addCleanup(transport.close)
        transport.start_client(timeout=10)
        with self.assertRaises(h.paramiko.AuthenticationException):
            transport.auth_password("alice", "new")

        reloads = self.svc.log_count(RELOAD_DONE)
        self.write(creds(("alice", "new")))
        self.wait_reloads(reloads + 1)
        # same connection, same password: judged against the new table
        transport.auth_password("alice", "new")
        self.assertTrue(transport.is_authenticated())

    # The file is read before the parameter-file check but watched only from
    # the end of start-up on: a change made while the service waits for the
    # SSH switch (or in the two seconds after its port opens) must still be
    # applied, not served stale until the next change of the file.
    def test_change_while_waiting_for_the_switch_is_applied(self):
        self.write(creds(("alice", "old")))
        h.use_param_file(self, service_telnetapi="true", service_sshapi="false",
                         sshapi_port=str(self.port))
        self.addCleanup(self.svc.__exit__, None, None, None)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.svc.start(["-w", "public", "-p", str(self.port), "-t", str(self.telnet.port),
                        "--ed25519", h.host_key_path("ed25519")], expect_ready=False)
        self.svc.wait_log(r"config ssh service unavailable now ")
        # the device sets the new password, then switches SSH on
        self.write(creds(("alice", "new")))
        h.write_in_place(h.param_file_path(),
                         h.param_xml(service_telnetapi="true", service_sshapi="true",
                                     sshapi_port=str(self.port)), lock=True)
        self.svc.wait_ready(timeout=15)
        self.svc.wait_log(r"erase svrchn key:1 ")
        self.assert_logins({("alice", "new"): True, ("alice", "old"): False})

    def test_other_modes_never_read_the_file(self):
        self.write(creds(("alice", "a-pw")))
        for mode in ([], ["-w", "other"]):
            with self.subTest(mode=mode):
                self.svc = h.SshApi(h.make_test_dir(self.id()))
                self.port = h.free_port()
                self.start_service(mode)
                # only the built-in user, whose password the test does not know
                self.assertFalse(self.login("alice", "a-pw"))
                empty_line = r"userCredentials is empty"
                self.assertEqual(self.svc.log_count(empty_line), 1 if mode else 0)

                self.write(creds(("bob", "b-pw")))
                time.sleep(2.5)  # two supervision ticks: nothing may happen
                self.assertNotRegex(self.svc.log_text(), r"user:password modify")
                self.assertFalse(self.login("bob", "b-pw"))
                self.svc.stop()


if __name__ == "__main__":
    unittest.main()
