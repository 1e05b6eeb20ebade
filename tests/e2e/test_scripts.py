"""The scripts' package check (tools/deps.sh, sourced under `set -u`) on machines unlike this
one: without dpkg-query at all, and on Debian as root or as a plain user with a package missing."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

DEPS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "deps.sh")
BUILD_TOOLS = ["cmake", "ninja", "g++", "python3", "groff"]


class PackageCheck(unittest.TestCase):
    def path_of(self, commands, fakes=None):
        """A PATH holding just these commands, and fakes (name -> shell script body)."""
        bindir = tempfile.mkdtemp(prefix="vglog-path-")
        self.addCleanup(shutil.rmtree, bindir)
        for name in commands:
            where = shutil.which(name)
            if where is None:
                self.skipTest(f"{name} is not installed")
            os.symlink(where, os.path.join(bindir, name))
        for name, body in (fakes or {}).items():
            script = os.path.join(bindir, name)
            with open(script, "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(script, stat.S_IRWXU)
        return bindir

    def check(self, path, call):
        # No CPATH, no HOME: the environment of a fresh login on another system.
        return subprocess.run(["/bin/bash", "-c", 'set -euo pipefail; . "$1"; ' + call, "bash",
                               DEPS], env={"PATH": path}, capture_output=True, text=True)

    def test_without_dpkg_query_the_tools_themselves_are_looked_for(self):
        everything = self.path_of(BUILD_TOOLS)
        done = self.check(everything, 'vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}"; echo ok')
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "ok\n", ""))

        no_ninja = self.path_of([t for t in BUILD_TOOLS if t != "ninja"])
        done = self.check(no_ninja, 'vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}"; echo ok')
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn("  ninja (Debian: ninja-build)\n", done.stderr)
        self.assertNotIn("apt-get", done.stderr, "no Debian advice without Debian")

    def test_debian_root_installs_an_optional_package_a_user_is_told(self):
        dpkg = ('[ "$3" = gnuplot-nox ] && exit 1; printf "install ok installed"')
        for uid, status, wanted in [("0", 0, "install -y -qq --no-install-recommends gnuplot-nox"),
                                    ("1000", 1, None)]:
            with self.subTest(uid=uid):
                log = os.path.join(tempfile.mkdtemp(prefix="vglog-apt-"), "apt.log")
                self.addCleanup(shutil.rmtree, os.path.dirname(log))
                path = self.path_of(["grep"], {"dpkg-query": dpkg, "id": f"echo {uid}",
                                               "apt-get": f'echo "$*" >> {log}'})
                done = self.check(path, 'vglog_have_packages "${VGLOG_PLOT_PACKAGES[@]}"')
                self.assertEqual(done.returncode, status, done.stderr)
                calls = ""
                if os.path.exists(log):
                    with open(log) as f:
                        calls = f.read()
                if wanted:
                    self.assertIn(wanted, calls)
                else:
                    self.assertEqual(calls, "", "a plain user is told, not installed for")
                    self.assertIn("sudo apt-get install -y gnuplot-nox", done.stderr)


if __name__ == "__main__":
    unittest.main()
