"""Shared pieces of the resilience tests (soak, connection flood, faults):
process figures of the service, the figures report, the limits of the test
process, and the test case they build on.

Figures go to standard error as "<test>: ..." lines and, when
SSHAPI_RESILIENCE_REPORT names a file, are appended to it as one JSON
object per line (bench/resilience/run.sh collects them).
"""

import json
import os
import resource
import sys
import time

import sshapi_harness as h


def env_int(name, default):
    value = os.environ.get(name, "")
    return int(value) if value.strip() else default


def report(test, text, **figures):
    print(f"{test}: {text}", file=sys.stderr, flush=True)
    path = os.environ.get("SSHAPI_RESILIENCE_REPORT")
    if path and figures:
        with open(path, "a") as f:
            f.write(json.dumps({"test": test, "time": time.time(), **figures}) + "\n")


def raise_nofile(needed):
    """Raise this process's soft descriptor limit to the hard limit when
    `needed` descriptors would not fit; returns the (soft, hard) limits in
    force afterwards. Children (the service) inherit them."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < needed:
        soft = hard if hard == resource.RLIM_INFINITY else max(soft, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)


def rss_kib(svc):
    """Resident memory of the service in KiB."""
    with open(f"/proc/{svc.pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def proc_limit(svc, name):
    """A line of /proc/<pid>/limits of the service, e.g. 'Max open files'."""
    with open(f"/proc/{svc.pid}/limits") as f:
        for line in f:
            if line.startswith(name):
                return line[len(name):].split()[:2]
    return None


def snapshot(svc):
    return {"fds": svc.count_fds(), "threads": svc.threads(), "rss_kib": rss_kib(svc)}


def wait_back_to(test, svc, base, timeout):
    """Wait until every session is reaped and descriptors and threads are
    at the baseline again; returns the seconds that took."""
    start = time.monotonic()
    h.wait_until(svc.sessions_reaped, timeout, "every session reaped", interval=0.1)
    left = max(1.0, timeout - (time.monotonic() - start))
    svc.wait_fds(lambda n: n == base["fds"], left, f"descriptor count back to {base['fds']}")
    left = max(1.0, timeout - (time.monotonic() - start))
    h.wait_until(lambda: svc.threads() == base["threads"], left,
                 f"thread count back to {base['threads']}", interval=0.1)
    return time.monotonic() - start


class ResilienceCase(h.ServiceTestCase):
    def baseline(self, timeout=30.0):
        """Wait until earlier sessions are reaped; returns the snapshot."""
        h.wait_until(self.svc.sessions_reaped, timeout, "earlier sessions reaped")
        return snapshot(self.svc)
