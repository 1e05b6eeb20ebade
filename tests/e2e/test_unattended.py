"""Unattended runs: a folder for the files, runs that end by themselves, a new set of files every
so often, and the summary as JSON for scripts, always agreeing with the one on standard error."""

import json
import os
import re
import subprocess
import tempfile
import time
import unittest

from expected_logs import SAMPLES_HEADER, expected_logs
from harness import VGLOG_SIM, FakePort, Run, wait_until
from test_link import Board, angle_accel, other, summary_numbers


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def summary_json(run, name="summary.json"):
    with open(os.path.join(run.dir.name, name)) as f:
        return json.load(f)


class SummaryAgrees:
    def assert_json_matches_summary(self, doc, err, status):
        """The JSON holds the numbers of the stderr summary, and exactly the files it lists."""
        self.assertEqual(list(doc), ["version", "state", "device", "started_utc", "ended_utc",
                                     "duration_s", "exit_status", "samples", "quaternion",
                                     "vector", "other", "noise_bytes", "ring_drops",
                                     "cut_packets", "link_losses", "lost_s", "deleted_sets",
                                     "files"])
        self.assertEqual(doc["state"], "ended")
        self.assertEqual(doc["exit_status"], status)
        for key in ("started_utc", "ended_utc"):
            self.assertRegex(doc[key], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        n = summary_numbers(err)
        self.assertEqual([doc[k] for k in ("samples", "quaternion", "vector", "other",
                                           "noise_bytes", "ring_drops", "cut_packets",
                                           "link_losses")], n[:8])
        self.assertEqual(int(doc["lost_s"]), n[8] * 3600 + n[9] * 60 + n[10])
        h, m, s = re.search(rb"run summary: (\d+):(\d\d):(\d\d),", err).groups()
        self.assertEqual(int(doc["duration_s"]), int(h) * 3600 + int(m) * 60 + int(s))
        listed = re.findall(rb"^  (.+?): (\d+) bytes(?:, (\d+) lines)?$", err, re.M)
        self.assertEqual([(f["path"].encode(), b"%d" % f["bytes"],
                           b"" if f["lines"] is None else b"%d" % f["lines"])
                          for f in doc["files"]], listed)


class EndsByItself(unittest.TestCase, SummaryAgrees):
    def test_samples_limit_logs_exactly_n_into_the_folder(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = Run(["--samples", "5", "-o", "out", "--summary-json", "summary.json", port.path],
                  prepare=lambda d: os.mkdir(os.path.join(d, "out")))
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        # All in one write, so packets past the fifth sample wait in the ring with it.
        upto_fifth = b"junk" + b"".join(angle_accel(i) + other(0x33, i) for i in range(1, 5))
        upto_fifth += other(2, 9) + angle_accel(5, 0.25)
        port.send(upto_fifth + other(0x40, 1) + angle_accel(6) + angle_accel(7))
        status, _, err = run.finish(timeout=10)
        self.assertEqual(status, 0, err)
        self.assertEqual(run.files(), ["out", "summary.json"])
        out = os.path.join(run.dir.name, "out")
        names = sorted(os.listdir(out))
        self.assertEqual([n.split(".")[0] for n in names], ["anglesAndAccels", "misc"])
        samples, misc, _ = expected_logs(upto_fifth)
        got = [read(os.path.join(out, n)) for n in names]
        self.assertEqual(got, [samples, misc])
        doc = summary_json(run)
        self.assert_json_matches_summary(doc, err, 0)
        self.assertEqual(doc["device"], port.path)
        self.assertEqual([(f["path"], f["lines"]) for f in doc["files"]],
                         [("out/" + names[0], 6), ("out/" + names[1], 4)])

    def test_duration_counts_time_lost_with_the_board(self):
        board = Board(self)
        run = Run(["--duration", "3", "--summary-json", "summary.json", board.path])
        self.addCleanup(run.close)
        self.assertEqual(board.port.wait_for(1), b"w")
        sent = angle_accel(1) + other(7, 1) + angle_accel(2)
        board.port.send(sent + angle_accel(3)[:10])
        time.sleep(0.5)
        board.unplug()  # and never back: the run ends all the same
        started = time.monotonic()
        status, _, err = run.finish(timeout=10)
        self.assertEqual(status, 0, err)
        self.assertLess(time.monotonic() - started, 8.0, "ended by itself, not by the timeout")
        self.assertEqual(run.log_named("anglesAndAccels"), expected_logs(sent)[0])
        doc = summary_json(run)
        self.assert_json_matches_summary(doc, err, 0)
        self.assertEqual((doc["link_losses"], doc["cut_packets"]), (1, 1))
        self.assertGreaterEqual(doc["duration_s"], 3.0)
        self.assertGreater(doc["lost_s"], 1.5)

    def test_failed_starts_leave_a_summary_and_nothing_else(self):
        port = FakePort()
        self.addCleanup(port.close)
        cases = [  # arguments, status, what standard error must say
            (["/nonexistent/board"], 1, b"Unable to open the port"),
            (["-o", "missing", port.path], 1, b"cannot create files in missing: No such file"),
            (["-o", "summary.json.tmp", port.path], 1, b"summary.json.tmp: Not a directory"),
            (["--rotate", "30s", port.path], 2, b"--rotate must be at least 60 s"),
        ]
        for args, expected, message in cases:
            with self.subTest(args=args):
                run = Run(["--summary-json", "summary.json", *args])
                self.addCleanup(run.close)
                status, _, err = run.finish(timeout=10)
                self.assertEqual(status, expected, err)
                self.assertIn(message, err)
                self.assertEqual(run.files(), ["summary.json"])
                doc = summary_json(run)
                self.assertEqual(doc["exit_status"], expected)
                self.assertEqual(doc["files"], [])
                self.assertEqual([doc[k] for k in ("samples", "quaternion", "vector", "other",
                                                   "noise_bytes", "link_losses")], [0] * 6)

    def test_replay_into_a_folder(self):
        stream = b"x" + angle_accel(1) + other(0x41, 3) + angle_accel(2)
        run = Run(["--replay", "raw.2026Dec08-101500.bin", "--dir", "out"],
                  prepare=lambda d: (os.mkdir(os.path.join(d, "out")),
                                     write(os.path.join(d, "raw.2026Dec08-101500.bin"), stream)))
        self.addCleanup(run.close)
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        out = os.path.join(run.dir.name, "out")
        self.assertEqual(sorted(os.listdir(out)), ["anglesAndAccels.2026Dec08-101500.txt",
                                                   "misc.2026Dec08-101500.txt"])
        samples, misc, _ = expected_logs(stream)
        self.assertEqual(read(os.path.join(out, "misc.2026Dec08-101500.txt")), misc)
        self.assertEqual(read(os.path.join(out, "anglesAndAccels.2026Dec08-101500.txt")), samples)


STAMP = re.compile(r"^(anglesAndAccels|misc|raw|times)\.(\d{4}\w{3}\d\d-\d{6})\."
                   r"(txt|bin|csv|bin\.times)$")


class Rotation(unittest.TestCase, SummaryAgrees):
    def test_rotated_sets_concatenate_to_the_unrotated_logs(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-board-")
        self.addCleanup(work.cleanup)
        link = os.path.join(work.name, "board")
        record = os.path.join(work.name, "sent.bin")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--record", record, "--linger", "60",
                                "--seconds", "5", "--seed", "11", "--noise", "0.02"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sim.kill(), sim.wait()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")
        env = dict(os.environ, VGLOG_ROTATE_MIN_S="1")
        run = Run(["--rotate", "2s", "--duration", "9", "--raw", "--times", "--summary-json",
                   "s.json", link], env=env)
        self.addCleanup(run.close)
        status, _, err = run.finish(timeout=30)
        self.assertEqual(status, 0, err)
        with open(record, "rb") as f:
            sent = f.read()
        sets = {}
        for name in run.files():
            m = STAMP.match(name)
            if m:
                kind = m.group(1) + (".times" if m.group(3) == "bin.times" else "")
                sets.setdefault(m.group(2), {})[kind] = run.read_file(name)
        self.assertGreaterEqual(len(sets), 4, run.files())
        ordered = [sets[s] for s in sorted(sets, key=lambda s: time.strptime(s, "%Y%b%d-%H%M%S"))]
        for files in ordered:
            self.assertEqual(sorted(files), ["anglesAndAccels", "misc", "raw", "raw.times", "times"])
            self.assertTrue(files["anglesAndAccels"].startswith(SAMPLES_HEADER))
        samples, misc, _ = expected_logs(sent)
        self.assertEqual(b"".join(f["raw"] for f in ordered), sent)
        self.assertEqual(SAMPLES_HEADER + b"".join(f["anglesAndAccels"][len(SAMPLES_HEADER):]
                                                   for f in ordered), samples)
        self.assertEqual(b"".join(f["misc"] for f in ordered), misc)
        self.assertGreater(samples.count(b"\r\n"), 300)
        # Each set's times file has a row per line of its samples log, numbered from 1, and the
        # unwrapped index runs on across the sets.
        indexes = []
        for files in ordered:
            rows = files["times"].decode().splitlines()
            self.assertEqual(rows[0], "line,sample,index,host_utc,host_s,board_s")
            lines = files["anglesAndAccels"].split(b"\r\n")[1:-1]
            self.assertEqual(len(rows) - 1, len(lines))
            for number, (row, line) in enumerate(zip(rows[1:], lines), start=1):
                fields = row.split(",")
                self.assertEqual((int(fields[0]), int(fields[1])), (number, int(line.split()[0])))
                indexes.append(int(fields[2]))
            self.assertTrue(files["raw.times"], "the capture's times beside each capture")
        samples_sent = [int(l.split()[0]) for l in samples.split(b"\r\n")[1:-1]]
        self.assertEqual([i % 65536 for i in indexes], [n % 65536 for n in samples_sent])
        self.assertTrue(all(b > a for a, b in zip(indexes, indexes[1:])), "index runs on")
        doc = summary_json(run, "s.json")
        self.assert_json_matches_summary(doc, err, 0)
        self.assertEqual(len(doc["files"]), 5 * len(sets), "every file listed")
        for f in doc["files"]:
            if f["lines"] is not None:
                ends = b"\r\n" if f["path"].endswith(".txt") else b"\n"  # times files: LF
                self.assertEqual(f["lines"], run.read_file(f["path"]).count(ends), f)

    def test_a_taken_name_at_a_rotation_gets_a_suffix(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = Run(["--rotate", "2s", "--duration", "7", port.path],
                  env=dict(os.environ, VGLOG_ROTATE_MIN_S="1"))
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(run.files()) == 2))
        start = time.mktime(time.strptime(STAMP.match(run.files()[0]).group(2), "%Y%b%d-%H%M%S"))
        # Every name a rotation could take, already there (one made first by a rotation of a
        # slow test is left alone).
        taken = []
        for s in range(1, 15):
            stamp = time.strftime("%Y%b%d-%H%M%S", time.localtime(start + s))
            try:
                with open(os.path.join(run.dir.name, "misc.%s.txt" % stamp), "xb"):
                    taken.append("misc.%s.txt" % stamp)
            except FileExistsError:
                pass
        port.send(angle_accel(1))
        status, _, err = run.finish(timeout=20)
        self.assertEqual(status, 0, err)
        self.assertIn(b"its names end in -2", err)
        logs = sorted(n for n in run.files() if n.startswith("anglesAndAccels."))
        self.assertGreaterEqual(len(logs), 3, run.files())
        self.assertTrue(all(re.search(r"-\d{6}-2\.txt$", n) for n in logs[1:]), logs)
        logged = b"".join(run.read_file(n)[len(SAMPLES_HEADER):] for n in logs)
        self.assertEqual(logged, expected_logs(angle_accel(1))[0][len(SAMPLES_HEADER):])
        self.assertTrue(taken)
        self.assertTrue(all(os.path.getsize(os.path.join(run.dir.name, n)) == 0 for n in taken))


if __name__ == "__main__":
    unittest.main()
