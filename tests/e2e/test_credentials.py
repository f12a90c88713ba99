"""The credentials file <root>/config/sshapipublicpw.cur in the "public"
password mode: a change while start-up waits applied, then reloads on
in-place writes and renames, and never read in the other modes. (Its
line grammar and which events reload are the unit tests' and the fuzz
target's.) The file is shared: every test restores it."""

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
        for path in (self.path, h.param_file_path()):
            h.restore_at_cleanup(self, path)
        self.telnet = h.start_telnet(self.addCleanup, h.make_test_dir(self.id()))
        self.port = h.free_port()

    def start_service(self, mode, ssh_on):
        """sshapi with the table from the file (or the built-in default) and
        mode's users; in the public mode the listen port is the parameter
        file's, and start-up waits for its SSH switch."""
        self.switch_ssh(ssh_on)
        self.svc = h.start_service(self.addCleanup, h.make_test_dir(self.id()), mode + [
            "-p", self.port, "-t", self.telnet.port, "--ed25519", h.host_key_path("ed25519")]
            + h.LENIENT_ARGS, expect_ready=ssh_on)

    def switch_ssh(self, on):
        h.write_in_place(h.param_file_path(), h.param_xml(
            service_telnetapi="true", service_sshapi=str(on).lower(), telnetapi_port="23",
            sshapi_port=str(self.port)), lock=True)

    def assert_logins(self, expected):
        """expected: {(user, password): True/False}"""
        self.assertEqual({key: h.try_login(self.port, *key) for key in expected}, expected)

    def change(self, text, rename=False):
        """Rewrite the file in place, or rename a new one onto it (as sed -i,
        editors and provisioning tools do); returns when that happened."""
        if rename:
            with open(self.path + ".next", "w") as f:
                f.write(text)
            os.rename(self.path + ".next", self.path)
        else:
            h.write_in_place(self.path, text)
        return time.monotonic()

    def test_public_mode_from_start_through_reloads(self):
        self.change(creds(("alice", "old")))
        self.start_service(["-w", "public", "-U", "carol", "-P", h.md5hex("c-pw")], ssh_on=False)
        self.svc.wait_log(r"config ssh service unavailable now ")
        # read before the parameter-file check, watched only at the end of
        # start-up: the device sets a password, then switches SSH on
        self.change(creds(("alice", "a-pw")))
        self.switch_ssh(True)
        self.svc.wait_ready(timeout=15)
        # the file is watched once start-up is complete (two seconds after
        # the port opens); the supervision loop then reaps the probe
        self.svc.wait_log(r"erase svrchn key:1 ")
        # the command-line user stays through the re-read at start and every reload
        self.assert_logins({("alice", "a-pw"): True, ("alice", "old"): False,
                            ("carol", "c-pw"): True})
        for user, rename in (("bob", False), ("dave", True)):
            changed = self.change(creds((user, user[0] + "-pw")), rename)
            h.wait_until(lambda: h.try_login(self.port, user, user[0] + "-pw"), 5,
                         f"{user} admitted", interval=0.25)
            self.assertLess(time.monotonic() - changed, 3.0)
            self.assert_logins({("alice", "a-pw"): False, ("bob", "b-pw"): user == "bob",
                                ("carol", "c-pw"): True})
        # emptied in place: the reload runs, and the previous table stays
        reloads = self.svc.log_count(RELOAD_DONE)
        self.change("")
        h.wait_until(lambda: self.svc.log_count(RELOAD_DONE) > reloads, 5, "the reload")
        self.assert_logins({("dave", "d-pw"): True, ("carol", "c-pw"): True})

    def test_other_modes_never_read_the_file(self):
        self.change(creds(("alice", "a-pw")))
        self.start_service([], ssh_on=True)
        self.change(creds(("bob", "b-pw")))
        time.sleep(2.5)  # two supervision passes: nothing may happen meanwhile
        self.assertNotRegex(self.svc.log_text(), r"user:password modify")
        self.assert_logins({("alice", "a-pw"): False, ("bob", "b-pw"): False})


if __name__ == "__main__":
    unittest.main()
