"""The one loop's promises that only a whole run shows: a times file never holds a row whose line
its samples log does not, through a disk that fills and a kill in the middle of a rotation; and a
replay is a run like any other (the live view follows it, the switches of a live run are
refused)."""

import json
import os
import re
import resource
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

from expected_logs import frame
from harness import VGLOG, VGLOG_SIM, FakePort, Run, wait_until
from live_client import sanitized
from test_files import Sender, board_stream

SET = re.compile(r"^(anglesAndAccels|times)\.(\d{4}\w{3}\d\d-\d{6})\.(txt|csv)$")
ROTATE_EVERY_SECOND = dict(os.environ, VGLOG_ROTATE_MIN_S="1")


def sets_of(run):
    """{stamp: (samples-log lines, times rows)} of every set in the run's folder (headers not
    counted; a set without its times file counts -1 rows)."""
    found = {}
    for name in run.files():
        m = SET.match(name)
        if m:
            lines = max(run.read_file(name).count(b"\n") - 1, 0)
            samples, rows = found.get(m.group(2), (-1, -1))
            found[m.group(2)] = (lines, rows) if m.group(1) == "anglesAndAccels" else (samples, lines)
    return found


class TimesFollowTheSamplesLog(unittest.TestCase):
    def setUp(self):
        self.port = FakePort()
        self.addCleanup(self.port.close)

    def start(self, args, **kwargs):
        run = Run([*args, self.port.path], **kwargs)
        self.addCleanup(run.close)
        self.assertEqual(self.port.wait_for(1), b"w", "the start byte")
        sender = Sender(self.port, board_stream(60000, seed=5))
        sender.start()
        self.addCleanup(sender.finish)
        return run

    def test_a_disk_that_fills_leaves_a_row_per_line_in_every_set(self):
        mounted = {}

        def small_disk(directory):
            mounted["tmpfs"] = subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", directory],
                capture_output=True).returncode == 0

        def file_size_limit():
            if not mounted["tmpfs"]:  # no mounting here: a file-size limit stands in for it
                resource.setrlimit(resource.RLIMIT_FSIZE, (150000, resource.RLIM_INFINITY))

        run = Run(["--times", "--rotate", "1s", self.port.path], prepare=small_disk,
                  preexec_fn=file_size_limit, env=ROTATE_EVERY_SECOND)
        self.addCleanup(run.close)
        if mounted["tmpfs"]:
            self.addCleanup(subprocess.run, ["umount", "-l", run.dir.name])
        self.assertEqual(self.port.wait_for(1), b"w", "the start byte")
        sender = Sender(self.port, board_stream(60000, seed=5))
        sender.start()
        self.addCleanup(sender.finish)
        status, _, err = run.finish(timeout=60)
        self.assertEqual(status, 1, err)
        self.assertIn(b"Error writing", err)
        sets = sets_of(run)
        self.assertGreaterEqual(len(sets), 2 if mounted["tmpfs"] else 1, run.files())
        for stamp, (lines, rows) in sets.items():
            self.assertEqual(rows, lines, f"set {stamp}: {err}")
        logged = int(re.search(rb"(\d+) samples logged", err)[1])
        self.assertEqual(logged, sum(lines for lines, _ in sets.values()), err)

    def test_a_kill_inside_a_rotation_leaves_no_row_ahead_of_its_line(self):
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                run = self.start(["--times", "--rotate", "1s"], env=ROTATE_EVERY_SECOND)
                wanted = 2 + attempt
                # The next set's files appear while the current one is still being closed.
                self.assertTrue(wait_until(lambda: len(sets_of(run)) >= wanted, timeout=30,
                                           step=0.0005), run.files())
                run.proc.kill()
                run.proc.wait()
                for stamp, (lines, rows) in sets_of(run).items():
                    self.assertLessEqual(rows, lines, f"set {stamp}")


class WhatARunKeepsResident(unittest.TestCase):
    """The run's memory, which a plain run keeps under 4 MiB: the packet ring, emptied by every
    pass, stays in its first pages however far its indices go round, and a run that asks for no
    broker maps no library beyond the C and maths libraries (the broker's client, and the TLS
    libraries it brings, were once mapped by every start)."""

    def test_the_ring_stays_small_and_only_the_c_library_is_mapped(self):
        if sanitized():
            self.skipTest("a sanitizer's shadow memory is the larger part of its process")
        port = FakePort()
        self.addCleanup(port.close)
        run = Run([port.path])
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w", "the start byte")
        stream = board_stream(8000, seed=9)  # the ring's 4096 indices go round twice
        samples = sum(1 for p in frame(stream) if p[2] == 10)
        sender = Sender(port, stream, piece=2000)
        sender.start()
        self.addCleanup(sender.finish)

        self.assertTrue(wait_until(lambda: any(lines >= samples
                                               for lines, _ in sets_of(run).values()),
                                   timeout=60), "every sample logged")

        with open(f"/proc/{run.proc.pid}/status") as f:
            status = dict(line.split(":", 1) for line in f)
        private_kib = int(status["RssAnon"].split()[0])
        # About 0.4 MiB; the ring alone is 1 MiB once every slot has been written.
        self.assertLess(private_kib, 1024, "private memory in KiB")
        with open(f"/proc/{run.proc.pid}/maps") as f:
            paths = [fields[5] for fields in map(str.split, f) if len(fields) > 5]
        libraries = {os.path.basename(path) for path in paths if ".so" in path}
        others = {name for name in libraries
                  if not name.startswith(("libc.so", "libm.so", "ld-linux"))}
        self.assertEqual(others, set(), "libraries mapped beside the C library")


class ReplayIsARun(unittest.TestCase):
    def test_replay_refuses_what_only_a_live_run_takes(self):
        for switch in (["--raw"], ["--raw-file", "x.bin"], ["--rotate", "1h"],
                       ["--no-reconnect"], ["--duration", "5"], ["7"]):
            with self.subTest(switch=switch):
                done = subprocess.run([VGLOG, "--replay", "capture.bin", *switch],
                                      capture_output=True, timeout=20)
                self.assertEqual(done.returncode, 2, done.stderr)
                lines = done.stderr.split(b"\r\n")
                self.assertTrue(lines[0].startswith(b"vglog: --replay "), done.stderr)
                self.assertEqual(lines[1], b"Try 'vglog --help' for more information.")

    def test_samples_bounds_a_replay_as_it_bounds_a_live_run(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-replay-samples-")
        self.addCleanup(work.cleanup)
        capture = os.path.join(work.name, "capture.bin")
        with open(capture, "wb") as f:
            f.write(subprocess.run([VGLOG_SIM, "--stdout", "--count", "3000", "--seed", "4"],
                                   capture_output=True, check=True).stdout)
        done = subprocess.run([VGLOG, "--replay", capture, "--samples", "100"], cwd=work.name,
                              capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b", 100 samples logged", done.stderr)
        [samples] = [n for n in os.listdir(work.name) if n.startswith("anglesAndAccels.")]
        with open(os.path.join(work.name, samples), "rb") as f:
            self.assertEqual(f.read().count(b"\n"), 101)

    def test_the_live_view_follows_a_replay(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-replay-live-")
        self.addCleanup(work.cleanup)
        fifo = os.path.join(work.name, "capture.bin")
        os.mkfifo(fifo)
        run = Run(["--replay", fifo, "--serve", "127.0.0.1:0"])
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: b"live view at" in run.output["stderr"]))
        url = re.search(rb"live view at (\S+)", run.output["stderr"])[1].decode()

        def samples():
            with urllib.request.urlopen(url + "api/status", timeout=10) as r:
                return json.load(r)["samples"]

        stream = subprocess.run([VGLOG_SIM, "--stdout", "--count", "4000", "--seed", "3"],
                                capture_output=True, check=True).stdout
        seen = []
        with open(fifo, "wb") as board:
            half = len(stream) // 2
            board.write(stream[:half])
            board.flush()
            self.assertTrue(wait_until(lambda: samples() > 0), "samples during the replay")
            seen.append(samples())
            board.write(stream[half:])
            board.flush()
            self.assertTrue(wait_until(lambda: samples() > seen[0]), "the count grows")
        status, _, err = run.finish(timeout=30)
        self.assertEqual(status, 0, err)


if __name__ == "__main__":
    unittest.main()
