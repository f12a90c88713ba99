"""Installs the build (SSHAPI_BUILD_DIR) into a scratch DESTDIR and uses
what was installed: the executable (through SSHAPI_EMULATOR in a cross
build), the start files, and the samples read by the service's own readers."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

PREFIX = "/usr"
SCRATCH = ROOT = None


def setUpModule():
    global SCRATCH, ROOT
    os.makedirs(os.environ["SSHAPI_TEST_TMP"], exist_ok=True)
    SCRATCH = tempfile.mkdtemp(prefix="install-", dir=os.environ["SSHAPI_TEST_TMP"])
    ROOT = os.path.join(SCRATCH, "rootfs")
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["SSHAPI_BUILD_DIR"],
                    "--prefix", PREFIX], env=dict(os.environ, DESTDIR=ROOT), check=True,
                   stdout=subprocess.DEVNULL, timeout=60)


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


def in_root(path):
    return os.path.join(ROOT, path.lstrip("/"))


def run_target(*argv):
    """Run a target program (through the emulator in a cross build)."""
    return subprocess.run(shlex.split(os.environ.get("SSHAPI_EMULATOR", "")) + list(argv),
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


def installed_files():
    return [os.path.join(base, name) for base, _, names in os.walk(ROOT) for name in names]


def find_installed(name):
    found = [p for p in installed_files() if os.path.basename(p) == name]
    assert len(found) == 1, f"expected one installed {name}, found {found}"
    return found[0]


class InstalledTreeTest(unittest.TestCase):
    def test_only_the_service_is_installed_and_runs(self):
        programs = [os.path.relpath(p, ROOT) for p in installed_files()
                    if not os.path.islink(p) and open(p, "rb").read(4) == b"\x7fELF"]
        self.assertEqual(["usr/sbin/sshapi"], programs)
        res = run_target(in_root(PREFIX + "/sbin/sshapi"), "-h")
        self.assertEqual(1, res.returncode, res.stderr)
        self.assertIn("--conf", res.stdout)

    def test_start_files_name_what_was_installed(self):
        # the executable, the options file and the documentation they name
        # are in the tree (the paths follow the install prefix)
        files = [p for p in installed_files() if os.path.dirname(p) in (
            in_root("/etc/init.d"), in_root("/lib/systemd/system"))]
        self.assertTrue(files, "no start files installed")
        for path in files:
            with open(path) as f:
                named = [n.rstrip(".") for n in re.findall(r"(?<![\w$])(/(?:usr|etc|lib)/[\w./-]*)",
                                                             f.read())]
            self.assertTrue(any(n.endswith("/sbin/sshapi") for n in named), path)
            for name in named:
                self.assertTrue(os.path.exists(in_root(name)), f"{path} names missing {name}")
        script = in_root("/etc/init.d/sshapi")
        self.assertTrue(os.access(script, os.X_OK))
        res = subprocess.run(["sh", "-n", script], capture_output=True, text=True, timeout=60)
        self.assertEqual(0, res.returncode, res.stderr)

    def test_sample_log_config_is_used_by_the_service(self):
        # the sample logs to a device path; a copy logs to the scratch tree
        work = tempfile.mkdtemp(dir=SCRATCH)
        with open(find_installed("sshserverlog22.conf")) as f:
            text, count = re.subn(r"(?m)^(log4cpp\.appender\.\w+\.fileName)=.*$",
                                  rf"\1={work}/sshapi.log", f.read())
        self.assertEqual(1, count, "one file appender expected")
        with open(f"{work}/log.conf", "w") as f:
            f.write(text)
        # without -p the service refuses to start, logging why
        res = run_target(in_root(PREFIX + "/sbin/sshapi"), "-c", f"{work}/log.conf", "-t", "23")
        self.assertEqual(255, res.returncode, res.stderr)
        self.assertNotIn("log config", res.stderr)
        with open(f"{work}/sshapi.log") as f:
            self.assertRegex(f.read(), r"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \[ERROR\] "
                                       r"ssh proxy port empty --\[main\.cpp:\d+\]$")

    def test_sample_param_file_has_everything_the_service_reads(self):
        # a pass over a complete file starts the service and writes nothing
        param = shutil.copy(find_installed("param.xml"), tempfile.mkdtemp(dir=SCRATCH))
        with open(param, "rb") as f:
            before = f.read()
        res = run_target(os.environ["SSHAPI_EXAMPLES_PROBE"], "param", param)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertRegex(res.stdout, r"ssh_available=1\nsshapi_port=\d+\n")
        with open(param, "rb") as f:
            self.assertEqual(before, f.read(), "the service had to add missing parameters")

    def test_sample_credentials_admit_users_with_digests(self):
        res = run_target(os.environ["SSHAPI_EXAMPLES_PROBE"], "credentials",
                         find_installed("sshapipublicpw.cur"))
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(res.stdout.splitlines(), "the sample admits nobody")
        for line in res.stdout.splitlines():
            self.assertTrue(line.endswith(" digest_ok=1"), line)


if __name__ == "__main__":
    unittest.main()
