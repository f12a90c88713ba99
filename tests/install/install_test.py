"""Installs the build (SSHAPI_BUILD_DIR) into a scratch DESTDIR and uses what was
installed: the executable (through SSHAPI_EMULATOR in a cross build), the start files,
the samples read by the service's own readers, the manual page; and lints a package."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest


def run_target(*argv):  # through the emulator in a cross build
    return subprocess.run(shlex.split(os.environ.get("SSHAPI_EMULATOR", "")) + list(argv),
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


class InstalledTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(os.environ["SSHAPI_TEST_TMP"], exist_ok=True)
        cls.scratch = tempfile.mkdtemp(prefix="install-", dir=os.environ["SSHAPI_TEST_TMP"])
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        cls.root = os.path.join(cls.scratch, "rootfs")
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["SSHAPI_BUILD_DIR"],
                        "--prefix", "/usr"], env=dict(os.environ, DESTDIR=cls.root), check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        cls.files = [os.path.join(base, name) for base, _, names in os.walk(cls.root)
                     for name in names]

    def installed(self, name):
        found = [p for p in self.files if os.path.basename(p) == name]
        self.assertEqual(len(found), 1, f"installed {name}: {found}")
        return found[0]

    def test_start_files_name_what_was_installed(self):
        # the executable, the options file and the documentation they name
        # are in the tree (the paths follow the install prefix)
        files = [p for p in self.files if os.path.dirname(p) in (
            self.root + "/etc/init.d", self.root + "/lib/systemd/system")]
        self.assertTrue(files, "no start files installed")
        for path in files:
            with open(path) as f:
                named = [n.rstrip(".") for n in re.findall(r"(?<![\w$])(/(?:usr|etc|lib)/[\w./-]*)",
                                                             f.read())]
            self.assertTrue(any(n.endswith("/sbin/sshapi") for n in named), path)
            for name in named:  # but the device's host keys and init functions
                self.assertTrue(name.startswith(("/etc/ssh", "/lib/lsb/"))
                                or os.path.exists(self.root + name), f"{path} names missing {name}")
        script = self.root + "/etc/init.d/sshapi"
        self.assertTrue(os.access(script, os.X_OK))
        res = subprocess.run(["sh", "-n", script], capture_output=True, text=True, timeout=60)
        self.assertEqual(0, res.returncode, res.stderr)

    def test_only_the_service_is_installed_and_runs_with_the_sample_log_configs(self):
        programs = [os.path.relpath(p, self.root) for p in self.files
                    if not os.path.islink(p) and open(p, "rb").read(4) == b"\x7fELF"]
        self.assertEqual(["usr/sbin/sshapi"], programs)
        # the sample logs to a device path; a copy logs to the scratch tree
        with open(self.installed("sshserverlog22.conf")) as f:
            text, count = re.subn(r"(?m)^(log4cpp\.appender\.\w+\.fileName)=.*$",
                                  rf"\1={self.scratch}/sshapi.log", f.read())
        self.assertEqual(1, count, "one file appender expected")
        with open(f"{self.scratch}/log.conf", "w") as f:
            f.write(text)
        # without -p the service refuses to start, with its usage, logging why
        res = run_target(f"{self.root}/usr/sbin/sshapi", "-c", f"{self.scratch}/log.conf",
                         "-t", "23")
        self.assertEqual(255, res.returncode, res.stderr)
        self.assertNotIn("log config", res.stderr)
        self.assertIn("--conf", res.stdout)
        with open(f"{self.scratch}/sshapi.log") as f:
            self.assertRegex(f.read(), r"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \[ERROR\] "
                                       r"ssh proxy port empty --\[main\.cpp:\d+\]$")
        # the syslog sample as it is (lines go nowhere without a syslog daemon)
        res = run_target(f"{self.root}/usr/sbin/sshapi", "-t", "23", "-c",
                         self.installed("sshserverlog22-syslog.conf"))
        self.assertEqual((255, False), (res.returncode, "log config" in res.stderr), res.stderr)

    def test_sample_param_and_credentials_files_as_the_service_reads_them(self):
        # a pass over a complete parameter file starts the service, writes nothing
        param = shutil.copy(self.installed("param.xml"), self.scratch)
        with open(param, "rb") as f:
            before = f.read()
        res = run_target(os.environ["SSHAPI_EXAMPLES_PROBE"], "param", param)
        self.assertRegex(res.stdout, r"ssh_available=1\nsshapi_port=\d+\n", res.stderr)
        with open(param, "rb") as f:
            self.assertEqual(before, f.read(), "the service had to add missing parameters")
        # every user of the sample credentials has a usable digest
        res = run_target(os.environ["SSHAPI_EXAMPLES_PROBE"], "credentials",
                         self.installed("sshapipublicpw.cur"))
        self.assertTrue(res.stdout.splitlines(), f"the sample admits nobody {res.stderr}")
        for line in res.stdout.splitlines():
            self.assertTrue(line.endswith(" digest_ok=1"), line)

    @unittest.skipIf(shutil.which("man") is None, "no man (scripts/setup.sh --package)")
    def test_manual_page_formats_without_warnings(self):
        res = subprocess.run(["man", "--warnings", "-l", self.installed("sshapi.8.gz")],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((0, ""), (res.returncode, res.stderr))

    @unittest.skipIf(shutil.which("lintian") is None, "no lintian (scripts/setup.sh --package)")
    def test_debian_package_passes_lintian(self):
        # cpack packages a test build only when asked; the package's form is a production one's
        out = os.path.join(self.scratch, "package")
        res = subprocess.run([os.environ["SSHAPI_CPACK"], "-G", "DEB", "-B", out, "-D",
                              "SSHAPI_PACKAGE_CHECK=ON", "--config",
                              os.path.join(os.environ["SSHAPI_BUILD_DIR"], "CPackConfig.cmake")],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(0, res.returncode, res.stdout + res.stderr)
        deb, = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".deb")]
        res = subprocess.run(["lintian", "--allow-root", deb], capture_output=True, text=True,
                             timeout=120)
        self.assertEqual((0, ""), (res.returncode, res.stdout + res.stderr))


if __name__ == "__main__":
    unittest.main()
