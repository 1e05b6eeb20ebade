"""vglog as installed: the tree `cmake --install` lays out, the man pages, the bash completion."""

import glob
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, project_version

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MAN_PAGES = sorted(glob.glob(os.path.join(SOURCE_DIR, "man", "*.1")))
COMPLETION = os.path.join(SOURCE_DIR, "dist", "vglog.bash-completion")


class Installed(unittest.TestCase):

    def test_man_pages_render_without_warnings(self):
        self.assertTrue(MAN_PAGES)
        for page in MAN_PAGES:
            with self.subTest(page=os.path.basename(page)):
                out = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True)
                self.assertEqual((out.returncode, out.stderr), (0, b""))

    def test_install_tree_holds_the_programs_pages_and_documents(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix],
                           check=True, capture_output=True)
            wanted = ["bin/vglog", "bin/vglog-sim", "bin/vglog-plot", "share/doc/vglog/README.md",
                      "share/doc/vglog/LICENSE", "share/bash-completion/completions/vglog"]
            wanted += ["share/man/man1/" + os.path.basename(p) + ".gz" for p in MAN_PAGES]
            for name in wanted:
                with self.subTest(name=name):
                    self.assertGreater(os.path.getsize(os.path.join(prefix, name)), 0)
            for program in glob.glob(os.path.join(prefix, "bin", "*")):
                self.assertTrue(os.stat(program).st_mode & stat.S_IXOTH, program)
            out = subprocess.run([os.path.join(prefix, "bin", "vglog"), "--version"],
                                 capture_output=True, stdin=subprocess.DEVNULL)
            self.assertEqual(out.returncode, 0)
            self.assertTrue(out.stdout.endswith(
                b"\r\nvglog " + project_version().encode() + b"\r\n"), out.stdout)


class Completion(unittest.TestCase):
    """The completion run in bash, with a vglog on PATH whose port listing the test chooses."""

    LISTING = ["/dev/ttyUSB0  /dev/serial/by-id/usb-Maker_Board_A1-if00-port0  0403:6001",
               "/dev/ttyACM0",
               "/dev/ttyUSB1  a name  with  gaps"]

    def complete(self, words):
        with tempfile.TemporaryDirectory() as bindir:
            fake = os.path.join(bindir, "vglog")
            with open(fake, "w") as f:
                f.write("#!/bin/sh\n[ \"$1\" = --list ] || exit 9\nprintf '%s\\n' " +
                        " ".join("'" + line + "'" for line in self.LISTING) + "\n")
            os.chmod(fake, 0o755)
            script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vglog; '
                      'printf "%s\\n" "${COMPREPLY[@]}"')
            out = subprocess.run(["bash", "-c", script, "bash", COMPLETION] + words,
                                 capture_output=True, text=True, check=True,
                                 env=dict(os.environ, PATH=bindir + os.pathsep +
                                          os.environ["PATH"]))
            return sorted(line for line in out.stdout.splitlines() if line)

    def test_offers_listed_ports_and_switches(self):
        ports = [line.split("  ")[0] for line in self.LISTING]
        cases = [
            (["vglog", ""], ports),
            (["vglog", "-q", "/dev/ttyU"], [p for p in ports if p.startswith("/dev/ttyU")]),
            (["vglog", "--no-r"], ["--no-reconnect"]),
            (["vglog", "--ra"], ["--raw", "--raw-file"]),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete(words), sorted(expected))


if __name__ == "__main__":
    unittest.main()
