"""A fatal start-up failure after the listener has started (no inotify
instance left) ends the process with status 255 at once: it waits neither
for connected clients nor for an operator on the console."""

import os
import time
import unittest

import sshapi_harness as h


class StartupExitTest(unittest.TestCase):
    def test_inotify_failure_exits_255_promptly_with_a_client_connected(self):
        shim = os.environ.get("SSHAPI_FAIL_INOTIFY_SHIM")
        if not shim or not os.path.exists(shim):
            self.skipTest("inotify failure shim not built")
        workdir = h.make_test_dir(self.id())
        telnet = h.start_telnet(self.addCleanup, workdir, cli=True)
        port = h.free_port()
        env = dict(os.environ)
        env["LD_PRELOAD"] = shim
        # A preloaded library comes before the ASan runtime; that is intended.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        # The exit deliberately leaves session threads behind.
        env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0"
        svc = h.SshApi(workdir)
        self.addCleanup(svc.stop)
        started = time.monotonic()
        svc.start(h.standard_args(port, telnet.port), expect_ready=False, env=env)
        # log in while the listener runs (it has about two seconds before the
        # console and the inotify watch are set up); the exit is what counts
        try:
            h.wait_until(lambda: svc.returncode is not None or h.probe_ssh_banner(port), 10,
                         "listener")
            client = h.connect(port, timeout=5)
            self.addCleanup(client.close)
            h.open_shell(client)
        except Exception:  # the process may already be gone
            pass
        status = svc.proc.wait(timeout=15)
        elapsed = time.monotonic() - started
        self.assertEqual(255, status)
        self.assertLess(elapsed, 10.0)
        log = svc.log_text()
        self.assertIn("inotify_init failed", log)
        self.assertNotIn("InitSsh fail", log)
        svc.check_no_crash()


if __name__ == "__main__":
    unittest.main()
