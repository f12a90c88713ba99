"""The credentials file <root>/config/sshapipublicpw.cur in the "public"
password mode: read at start, reloaded on in-place writes, creation and
rename, applied when changed while start-up waits, and never read in the
other modes. (Its line grammar is the unit tests' and the fuzz target's.)
The file is shared: every test restores it."""

import os
import time
import unittest

import sshapi_harness as h

RELOAD_DONE = r"\[INFO\] -----------sshapipublicpw\.cur "


def creds(*entries):
    """File text with one 'user:digest' line per (user, password)."""
    return "".join(f"{user}:{h.md5hex(password)}\n" for user, password in entries)


class CredentialsTest(unittest.TestCase):
    def setUp(self):
        self.path = f"{h.test_root()}/config/sshapipublicpw.cur"
        h.restore_at_cleanup(self, self.path)
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.telnet = h.start_telnet(self.addCleanup, h.make_test_dir(self.id()))

    def start_service(self, mode=("-w", "public"), wait_switch=False):
        """sshapi without -U/-P unless in mode: the table comes from the
        file (or the built-in default). In the public mode the listen port
        is the parameter file's."""
        self.port = h.free_port()
        h.restore_at_cleanup(self, h.param_file_path())
        h.write_in_place(h.param_file_path(), h.param_xml(
            service_telnetapi="true", service_sshapi=str(not wait_switch).lower(),
            telnetapi_port="23", sshapi_port=str(self.port)), lock=True)
        self.addCleanup(h.remove_console_pipes, self.port)
        self.svc = h.start_service(self.addCleanup, h.make_test_dir(self.id()),
                                   list(mode) + ["-p", self.port, "-t", self.telnet.port,
                                                 "--ed25519", h.host_key_path("ed25519")]
                                   + h.LENIENT_ARGS, expect_ready=not wait_switch)
        if not wait_switch:
            # the file is watched once start-up is complete (two seconds after
            # the port opens); the supervision loop then reaps the probe
            self.svc.wait_log(r"erase svrchn key:1 ")

    def assert_logins(self, expected):
        """expected: {(user, password): True/False}"""
        self.assertEqual({key: h.try_login(self.port, *key) for key in expected}, expected)

    def write(self, text):
        h.write_in_place(self.path, text)

    def test_reload_on_create_and_in_place_write(self):
        self.start_service()
        self.assertRegex(self.svc.log_text(), r"\[ERROR\] userCredentials is empty, set default "
                                              r"user and password ")
        for text, admitted, refused in ((creds(("alice", "a-pw")), "alice", None),
                                        (creds(("bob", "b-pw")), "bob", "alice")):
            started = time.monotonic()
            self.write(text)  # first the create, then a rewrite in place
            h.wait_until(lambda: h.try_login(self.port, admitted, admitted[0] + "-pw"), 5,
                         f"{admitted} admitted", interval=0.25)
            self.assertLess(time.monotonic() - started, 3.0)
            if refused:
                self.assertFalse(h.try_login(self.port, refused, refused[0] + "-pw"))
        # the built-in user is not added to a table from the file
        self.assertFalse(h.try_login(self.port, h.USER, h.PASSWORD))

    def test_rename_revokes_and_emptying_keeps_the_table(self):
        self.write(creds(("alice", "a-pw")))
        # the command-line user stays through the re-read at start and every reload
        self.start_service(("-w", "public", "-U", "carol", "-P", h.md5hex("c-pw")))
        self.assert_logins({("alice", "a-pw"): True, ("carol", "c-pw"): True})

        # a file renamed onto it (sed -i, editors, provisioning tools)
        tmp = os.path.join(os.path.dirname(self.path), "sshapi-next.tmp")
        self.addCleanup(lambda: os.path.exists(tmp) and os.unlink(tmp))
        with open(tmp, "w") as f:
            f.write(creds(("bob", "b-pw")))
        started = time.monotonic()
        os.rename(tmp, self.path)
        h.wait_until(lambda: not h.try_login(self.port, "alice", "a-pw"), 5, "alice revoked",
                     interval=0.25)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assert_logins({("bob", "b-pw"): True, ("carol", "c-pw"): True})

        # emptied in place: the reload runs, and the previous table stays
        reloads = self.svc.log_count(RELOAD_DONE)
        self.write("")
        h.wait_until(lambda: self.svc.log_count(RELOAD_DONE) > reloads, 5, "the reload")
        self.assert_logins({("alice", "a-pw"): False, ("bob", "b-pw"): True,
                            ("carol", "c-pw"): True})

    def test_change_while_waiting_for_the_switch_is_applied(self):
        """The file is read before the parameter-file check but watched only
        at the end of start-up: a change made while the service waits for
        the SSH switch must still be applied."""
        self.write(creds(("alice", "old")))
        self.start_service(wait_switch=True)
        self.svc.wait_log(r"config ssh service unavailable now ")
        # the device sets the new password, then switches SSH on
        self.write(creds(("alice", "new")))
        h.write_in_place(h.param_file_path(), h.param_xml(
            service_telnetapi="true", service_sshapi="true", sshapi_port=str(self.port)), lock=True)
        self.svc.wait_ready(timeout=15)
        self.svc.wait_log(r"erase svrchn key:1 ")
        self.assert_logins({("alice", "new"): True, ("alice", "old"): False})

    def test_other_modes_never_read_the_file(self):
        self.write(creds(("alice", "a-pw")))
        self.start_service([])
        self.write(creds(("bob", "b-pw")))
        time.sleep(2.5)  # two supervision passes: nothing may happen meanwhile
        self.assertNotRegex(self.svc.log_text(), r"user:password modify")
        self.assert_logins({("alice", "a-pw"): False, ("bob", "b-pw"): False})


if __name__ == "__main__":
    unittest.main()
