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
        # a preloaded library comes before the ASan runtime, which is intended;
        # the exit deliberately leaves session threads behind
        env = dict(os.environ, LD_PRELOAD=shim, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                   + ":verify_asan_link_order=0", TSAN_OPTIONS=os.environ.get("TSAN_OPTIONS", "")
                   + ":report_thread_leaks=0")
        started = time.monotonic()
        _, port, svc = h.start_relay(self.addCleanup, h.make_test_dir(self.id()), cli=True,
                                     expect_ready=False, env=env)
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
        self.assertEqual(255, svc.proc.wait(timeout=15))
        self.assertLess(time.monotonic() - started, 10.0)
        self.assertIn("inotify_init failed", svc.log_text())
        self.assertNotIn("InitSsh fail", svc.log_text())


if __name__ == "__main__":
    unittest.main()
