"""Runs of the cross-built vglog.exe under wine, in the prefix tools/run-wine-tests.sh prepared:
its own wine server, no COM port mapped but the pseudo-terminal a test maps as COM5."""

import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))

import harness  # noqa: E402  (the native build's pieces)

WIN_BUILD_DIR = os.environ.get("VGLOG_WIN_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build-wine")
VGLOG_EXE = os.path.join(WIN_BUILD_DIR, "vglog.exe")
WINEPREFIX = os.environ.get("WINEPREFIX")
COM5 = "5"


def require_wine():
    if not WINEPREFIX or not os.path.isdir(os.path.join(WINEPREFIX, "dosdevices")):
        raise unittest.SkipTest("run through tools/run-wine-tests.sh (needs its wine prefix)")


def map_com5(path):
    """Makes COM5 the given pseudo-terminal, and no other COM port exist."""
    dosdevices = os.path.join(WINEPREFIX, "dosdevices")
    for name in os.listdir(dosdevices):
        if name.startswith("com"):
            os.unlink(os.path.join(dosdevices, name))
    os.symlink(os.path.realpath(path), os.path.join(dosdevices, "com5"))


def unmap_com5():
    """COM5 names nothing, as when its adapter is unplugged: a retry must never reach the old
    terminal's number, which the system may give to another terminal at once."""
    link = os.path.join(WINEPREFIX, "dosdevices", "com5")
    if os.path.lexists(link):
        os.unlink(link)


class WineRun(harness.Run):
    """vglog.exe under wine in its own empty directory; the wine process leads its own group, so
    a signal reaches it alone and its CPU time can be summed."""

    def __init__(self, args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, limit=90,
                 prepare=None):
        self.dir = tempfile.TemporaryDirectory(prefix="vglog-wine-")
        if prepare:
            prepare(self.dir.name)  # files the run must find in its directory
        env = dict(os.environ, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        self.proc = subprocess.Popen(["timeout", "-k", "5", str(limit), "wine64", VGLOG_EXE, *args],
                                     cwd=self.dir.name, stdin=stdin, stdout=stdout,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)
        self.read_as_it_goes()

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)  # timeout and the wine processes under it
            self.proc.wait()
        super().close()

    def cpu_seconds(self):
        """CPU time of every process of the run (timeout, the wine loader and the program)."""
        total = 0.0
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == self.proc.pid:  # its process group
                total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return total
