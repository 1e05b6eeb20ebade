"""vglog as installed: the tree `cmake --install` lays out, the man pages, the bash completion."""

import glob
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, VGLOG, project_version
from test_link import make_tree

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MAN_PAGES = sorted(glob.glob(os.path.join(SOURCE_DIR, "man", "*.1")))
COMPLETION = os.path.join(SOURCE_DIR, "dist", "vglog.bash-completion")


def slug(heading):
    """A heading's anchor as markdown renderers make it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


class Installed(unittest.TestCase):

    def check_links(self, docdir):
        """Every link of the installed documents leads to a file installed beside them, and
        every #anchor to a heading of its document."""
        documents = glob.glob(os.path.join(docdir, "**", "*.md"), recursive=True)
        self.assertIn(os.path.join(docdir, "README.md"), documents)
        for document in documents:
            with open(document) as f:
                text = f.read()
            anchors = {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.MULTILINE)}
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                with self.subTest(document=os.path.relpath(document, docdir), link=target):
                    if "://" in target:
                        continue
                    path, _, anchor = target.partition("#")
                    if path:
                        self.assertTrue(os.path.exists(os.path.join(os.path.dirname(document),
                                                                    path)))
                    else:
                        self.assertIn(anchor, anchors)

    def test_man_pages_render_without_warnings_and_agree_on_their_footers(self):
        self.assertTrue(MAN_PAGES)
        footers = set()
        for page in MAN_PAGES:
            with self.subTest(page=os.path.basename(page)):
                out = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True)
                self.assertEqual((out.returncode, out.stderr), (0, b""))
                with open(page) as f:
                    title = shlex.split(f.readline())
                self.assertEqual(title[0], ".TH")
                footers.add((title[3], title[4]))  # the date, and the release
        self.assertEqual(len(footers), 1, footers)
        self.assertEqual(footers.pop()[1], "vglog " + project_version())

    def test_install_tree_holds_the_programs_pages_and_documents(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix],
                           check=True, capture_output=True)
            wanted = ["bin/vglog", "bin/vglog-sim", "bin/vglog-plot", "share/doc/vglog/README.md",
                      "share/doc/vglog/LICENSE", "lib/systemd/system/vglog@.service",
                      "lib/sysusers.d/vglog.conf", "share/doc/vglog/docs/UNATTENDED.md",
                      "share/doc/vglog/examples/99-vglog.rules.example"]
            wanted += ["share/bash-completion/completions/" + c
                       for c in ["vglog", "vglog-sim", "vglog-plot"]]
            wanted += ["share/man/man1/" + os.path.basename(p) + ".gz" for p in MAN_PAGES]
            for name in wanted:
                with self.subTest(name=name):
                    self.assertGreater(os.path.getsize(os.path.join(prefix, name)), 0)
            self.check_links(os.path.join(prefix, "share", "doc", "vglog"))
            for program in glob.glob(os.path.join(prefix, "bin", "*")):
                self.assertTrue(os.stat(program).st_mode & stat.S_IXOTH, program)
            for program, ending in [("vglog", "\r\n"), ("vglog-sim", "\n"), ("vglog-plot", "\n")]:
                out = subprocess.run([os.path.join(prefix, "bin", program), "--version"],
                                     capture_output=True, stdin=subprocess.DEVNULL)
                self.assertEqual(out.returncode, 0)
                line = f"{program} {project_version()}{ending}".encode()
                self.assertTrue(out.stdout.endswith(b"\n" + line) or out.stdout == line,
                                out.stdout)


class Completion(unittest.TestCase):
    """The completion run in bash, in a folder of the test's, with vglog listing a made-up tree."""

    def complete(self, function, words, cwd, env):
        script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); ' + function +
                  '; printf "%s\\n" "${COMPREPLY[@]}"')
        out = subprocess.run(["bash", "-c", script, "bash", COMPLETION] + words, cwd=cwd,
                             capture_output=True, text=True, check=True, env=env)
        return sorted(line for line in out.stdout.splitlines() if line)

    def test_ports_files_and_switches_of_the_three_programs(self):
        root = tempfile.TemporaryDirectory()
        self.addCleanup(root.cleanup)
        env = dict(os.environ, **make_tree(root.name, {
            "ttyS0": ("serial8250", "4", None, None),
            "ttyUSB0": ("usb-serial", None, {"idVendor": "0403"}, "usb-Maker_Board_A1-if00")}))
        dev = env["VGLOG_DEV_ROOT"]
        by_id = f"{dev}/serial/by-id/usb-Maker_Board_A1-if00"
        work = os.path.join(root.name, "work")
        os.makedirs(os.path.join(work, "sub"))
        for name in ["board", "run.txt"]:
            open(os.path.join(work, name), "w").close()
        cases = [
            ("_vglog", [VGLOG, ""], [f"{dev}/ttyUSB0", by_id, f"{dev}/ttyS0"]),
            ("_vglog", [VGLOG, "-q", f"{dev}/serial/"], [by_id]),
            ("_vglog", [VGLOG, "./bo"], ["./board"]),  # no port: a file (a pseudo-terminal link)
            ("_vglog", [VGLOG, "tty"], ["ttyS0", "ttyUSB0"]),  # names under the device folder
            ("_vglog", [VGLOG, "--ra"], ["--raw", "--raw-file"]),
            ("_vglog", [VGLOG, "--dir", ""], ["sub"]),
            ("_vglog", [VGLOG, "--summary-json", "=", "r"], ["run.txt"]),
            ("_vglog_sim", ["vglog-sim", "--ver"], ["--version"]),
            ("_vglog_sim", ["vglog-sim", "--link", "bo"], ["board"]),
            ("_vglog_plot", ["vglog-plot", ""], ["run.txt", "sub"]),
            ("_vglog_plot", ["vglog-plot", "--v"], ["--version"]),
        ]
        for function, words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete(function, words, work, env), sorted(expected))


if __name__ == "__main__":
    unittest.main()
