"""Installs the build into a scratch DESTDIR and uses what was installed.

CTest sets the environment:
  CMAKE_COMMAND          cmake of this build
  SSHAPI_BUILD_DIR       the build tree to install
  SSHAPI_EXAMPLES_PROBE  reads sample files with the service's own readers
  SSHAPI_EMULATOR        command prefix for target programs (cross build), or empty
  SSHAPI_TEST_TMP        directory for the scratch tree

The sample files are looked up by name in the installed tree, wherever the
install rules put them.
"""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

RUN_TIMEOUT = 60
PREFIX = "/usr"

_root = None
_scratch = None


def setUpModule():
    global _root, _scratch
    tmp = os.environ["SSHAPI_TEST_TMP"]
    os.makedirs(tmp, exist_ok=True)
    _scratch = tempfile.mkdtemp(prefix="install-", dir=tmp)
    _root = os.path.join(_scratch, "rootfs")
    env = dict(os.environ, DESTDIR=_root)
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["SSHAPI_BUILD_DIR"],
                    "--prefix", PREFIX],
                   env=env, check=True, stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)


def tearDownModule():
    if _scratch:
        shutil.rmtree(_scratch, ignore_errors=True)


def in_root(path):
    return os.path.join(_root, path.lstrip("/"))


def run_target(argv, **kwargs):
    """Run a target program (through the emulator in a cross build)."""
    cmd = shlex.split(os.environ.get("SSHAPI_EMULATOR", "")) + list(argv)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT,
                          stdin=subprocess.DEVNULL, **kwargs)


def installed_files():
    for base, _, names in os.walk(_root):
        for name in names:
            yield os.path.join(base, name)


def find_installed(name):
    """The one installed file called name."""
    found = [p for p in installed_files() if os.path.basename(p) == name]
    if len(found) != 1:
        raise AssertionError(f"expected one installed {name}, found {found}")
    return found[0]


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


class ServiceExecutable(unittest.TestCase):
    def test_sbin_sshapi_runs_and_shows_usage(self):
        exe = in_root(PREFIX + "/sbin/sshapi")
        self.assertTrue(os.access(exe, os.X_OK), f"{exe} not executable")
        res = run_target([exe, "-h"])
        self.assertEqual(1, res.returncode, res.stderr)
        self.assertIn("[options]", res.stdout)
        self.assertIn("--conf", res.stdout)

    def test_no_test_tool_is_installed(self):
        programs = sorted(os.path.relpath(p, _root) for p in installed_files()
                          if not os.path.islink(p) and is_elf(p))
        self.assertEqual(["usr/sbin/sshapi"], programs)


class StartFiles(unittest.TestCase):
    PATH_RX = re.compile(r"(?<![\w$])(/(?:usr|etc|lib)/[\w./-]*)")

    def start_files(self):
        files = [p for p in installed_files()
                 if os.path.dirname(p) in (in_root("/etc/init.d"), in_root("/lib/systemd/system"))]
        self.assertTrue(files, "no start files installed")
        return files

    def test_start_files_name_what_was_installed(self):
        # The executable, the options file and the documentation they name
        # are in the tree (the paths follow the install prefix).
        for path in self.start_files():
            with open(path) as f:
                text = f.read()
            named = [n.rstrip(".") for n in self.PATH_RX.findall(text)]
            self.assertTrue(any(n.endswith("/sbin/sshapi") for n in named), path)
            for name in named:
                self.assertTrue(os.path.exists(in_root(name)), f"{path} names missing {name}")

    def test_init_script_is_valid_sh(self):
        script = in_root("/etc/init.d/sshapi")
        self.assertTrue(os.access(script, os.X_OK))
        res = subprocess.run(["sh", "-n", script], capture_output=True, text=True, timeout=RUN_TIMEOUT)
        self.assertEqual(0, res.returncode, res.stderr)


class SampleConfiguration(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sample-", dir=_scratch)

    def test_log_config_is_used_by_the_service(self):
        # The sample logs to a device path; a copy logs to the scratch tree.
        log_file = os.path.join(self.dir, "sshapi.log")
        with open(find_installed("sshserverlog22.conf")) as f:
            text = f.read()
        text, count = re.subn(r"(?m)^(log4cpp\.appender\.\w+\.fileName)=.*$",
                              lambda m: f"{m.group(1)}={log_file}", text)
        self.assertEqual(1, count, "one file appender expected")
        conf = os.path.join(self.dir, "log.conf")
        with open(conf, "w") as f:
            f.write(text)
        # Without -p the service refuses to start, logging why.
        res = run_target([in_root(PREFIX + "/sbin/sshapi"), "-c", conf, "-t", "23"])
        self.assertEqual(255, res.returncode, res.stderr)
        self.assertNotIn("log config", res.stderr)
        with open(log_file) as f:
            lines = f.read().splitlines()
        rx = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \[ERROR\] "
                        r"ssh proxy port empty --\[main\.cpp:\d+\]$")
        self.assertTrue(any(rx.match(line) for line in lines), lines)

    def test_param_file_has_everything_the_service_reads(self):
        # A pass over a complete file starts the service and writes nothing.
        param = os.path.join(self.dir, "param.xml")
        shutil.copyfile(find_installed("param.xml"), param)
        with open(param, "rb") as f:
            before = f.read()
        res = run_target([os.environ["SSHAPI_EXAMPLES_PROBE"], "param", param])
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertIn("ssh_available=1\n", res.stdout)
        self.assertRegex(res.stdout, r"sshapi_port=\d+\n")
        with open(param, "rb") as f:
            self.assertEqual(before, f.read(), "the service had to add missing parameters")

    def test_credentials_admit_users_with_digests(self):
        res = run_target([os.environ["SSHAPI_EXAMPLES_PROBE"], "credentials",
                          find_installed("sshapipublicpw.cur")])
        self.assertEqual(0, res.returncode, res.stderr)
        users = res.stdout.splitlines()
        self.assertTrue(users, "the sample admits nobody")
        for line in users:
            self.assertTrue(line.endswith(" digest_ok=1"), line)


if __name__ == "__main__":
    unittest.main()
