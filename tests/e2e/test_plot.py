"""vglog-plot on a log vglog wrote (or is writing): a PNG (or SVG) of the asked size, and a clear
refusal of a file that is not a samples log or a size too small to read."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from harness import VGLOG, VGLOG_SIM, Run, wait_until

PLOT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "plot", "vglog-plot")


@unittest.skipUnless(shutil.which("gnuplot"), "gnuplot is not installed")
class Plot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="vglog-plot-")
        # A demo run in which the sample counter wraps twice: 140 000 samples.
        capture = os.path.join(cls.tmp.name, "raw.2024Jan02-030405.bin")
        subprocess.run([VGLOG_SIM, "--out", capture, "--kinds", "10", "--count", "140000",
                        "--seed", "2"], check=True, capture_output=True)
        subprocess.run([VGLOG, "--replay", capture], cwd=cls.tmp.name, check=True,
                       capture_output=True)
        cls.log = os.path.join(cls.tmp.name, "anglesAndAccels.2024Jan02-030405.txt")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def plot(self, *args):
        return subprocess.run([PLOT, *args], cwd=self.tmp.name, capture_output=True, timeout=120)

    def test_png_of_the_asked_size_and_svg_on_request(self):
        done = self.plot("--size", "640x480", self.log)
        self.assertEqual(done.returncode, 0, done.stderr)
        png = os.path.join(self.tmp.name, "anglesAndAccels.2024Jan02-030405.png")
        self.assertEqual(done.stdout.strip().decode(), os.path.basename(png))
        with open(png, "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(head[12:16], b"IHDR")
        self.assertEqual(struct.unpack(">II", head[16:24]), (640, 480))

        done = self.plot("--svg", "-o", "run.svg", self.log)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.tmp.name, "run.svg"), "rb") as f:
            svg = f.read()
        self.assertTrue(svg.startswith(b"<?xml") and b"<svg" in svg, svg[:200])
        self.assertTrue(b"<text>anglesAndAccels.2024Jan02-030405.txt</text>" in svg,
                        "titled with the log's name")
        # Unwrapped, the time axis runs to the last sample; wrapped, it would stop at 65 535.
        self.assertTrue(b"<text>140000</text>" in svg, "the sample counter unwrapped")

    def test_a_log_being_written_or_with_lf_line_ends_is_drawn(self):
        with open(self.log, "rb") as f:
            log = f.read()
        cut = log.index(b"\r\n", 100000) - 40  # a block written, the line not yet whole
        for name, content, warned in [("torn last line", log[:cut], True),
                                      ("CRs removed", log[:cut + 42].replace(b"\r\n", b"\n"),
                                       False)]:
            with self.subTest(name):
                path = os.path.join(self.tmp.name, "copy.txt")
                with open(path, "wb") as f:
                    f.write(content)
                done = self.plot("-o", "copy.png", path)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(b"not whole yet" in done.stderr, warned, done.stderr)

        # And a log that a live run is writing right now.
        work = tempfile.TemporaryDirectory(prefix="vglog-plot-live-")
        self.addCleanup(work.cleanup)
        link = os.path.join(work.name, "board")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--seconds", "60", "--kinds", "10",
                                "--rate", "1000"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sim.kill(), sim.wait()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")
        run = Run([link], stdin=subprocess.DEVNULL)
        self.addCleanup(run.close)

        def samples_log():
            names = [n for n in run.files() if n.startswith("anglesAndAccels.")]
            return os.path.join(run.dir.name, names[0]) if names else None

        self.assertTrue(wait_until(lambda: samples_log() and
                                   os.path.getsize(samples_log()) > 50000, timeout=30))
        done = self.plot("-o", "live.png", samples_log())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIsNone(run.proc.poll(), "still logging while drawn")

    def test_a_file_that_is_not_a_samples_log_is_refused(self):
        with open(self.log, "rb") as f:
            lines = f.read().split(b"\r\n")
        cases = {
            "misc log": b"$\\014\\003A\\\\127\\128\\255 \\000\\010\\013~%\r\n",
            "a column missing": b"\r\n".join(lines[:5] + [lines[5].rsplit(b" ", 1)[0]] + lines[6:]),
            "a line cut short inside": b"\r\n".join(lines[:5] + [lines[5][:60]] + lines[6:]),
        }
        for name, content in cases.items():
            with self.subTest(name):
                path = content
                if isinstance(content, bytes):
                    path = os.path.join(self.tmp.name, "bad.txt")
                    with open(path, "wb") as f:
                        f.write(content)
                done = self.plot("-o", "bad.png", path)
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"not a samples log", done.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "bad.png")))

    def test_sizes_too_small_for_legible_labels_are_refused(self):
        done = self.plot("--size", "399x400", "-o", "tiny.png", self.log)
        self.assertEqual(done.returncode, 2)
        self.assertIn(b"the smallest size is 400x400", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "tiny.png")))

    def test_time_axis_from_the_times_file_beside_the_log(self):
        with open(self.log, "rb") as f:
            lines = f.read().split(b"\r\n")[:201]
        log = os.path.join(self.tmp.name, "anglesAndAccels.2024Jan02-030406.txt")
        with open(log, "wb") as f:
            f.write(b"\r\n".join(lines) + b"\r\n")
        times = os.path.join(self.tmp.name, "times.2024Jan02-030406.csv")
        rows = ["line,sample,index,host_utc,host_s,board_s"] + [
            f"{n},{n},{n},2024-01-02T03:04:06.000000Z,{1000 + n / 2 + 0.001:.6f},{1000 + n / 2:.6f}"
            for n in range(1, 201)]
        for rows_kept, label, tick in (
                (rows, b"time (s, board clock, from times.2024Jan02-030406.csv)", b"<text>1100</text>"),
                (rows[:-1], b"sample (counter unwrapped)", b"<text>200</text>")):
            with self.subTest(label):
                with open(times, "w") as f:
                    f.write("\n".join(rows_kept) + "\n")
                done = self.plot("--svg", "-o", "timed.svg", log)
                self.assertEqual(done.returncode, 0, done.stderr)
                with open(os.path.join(self.tmp.name, "timed.svg"), "rb") as f:
                    svg = f.read()
                self.assertIn(b"<text>" + label + b"</text>", svg)
                self.assertIn(tick, svg)
        self.assertIn(b"has no time for line 200", done.stderr)


    def test_lines_break_at_a_gap_and_a_counter_restart_never_stretches_the_axis(self):
        with open(self.log, "rb") as f:
            lines = f.read().split(b"\r\n")[:301]
        # 300 samples at 100 Hz; after the 150th the link was lost for 10 s and the board came
        # back with its counter started again (7841 -> 0).
        counters = [7692 + n for n in range(150)] + list(range(150))
        log = os.path.join(self.tmp.name, "anglesAndAccels.2024Jan02-030407.txt")
        with open(log, "wb") as f:
            f.write(b"\r\n".join([lines[0]] + [b"%6d" % c + line[6:] for c, line in
                                                zip(counters, lines[1:])]) + b"\r\n")
        times = os.path.join(self.tmp.name, "times.2024Jan02-030407.csv")
        index = [7692 + n for n in range(150)] + [7692 + 1150 + n for n in range(150)]
        with open(times, "w") as f:
            f.write("line,sample,index,host_utc,host_s,board_s\n" + "".join(
                f"{n + 1},{c},{i},2024-01-02T03:04:07.000000Z,{(i - 7692) / 100 + 0.002:.6f},"
                f"{(i - 7692) / 100:.6f}\n" for n, (c, i) in enumerate(zip(counters, index))))

        def drawn():
            done = self.plot("--data", "drawn.dat", "-o", "gap.png", log)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(self.tmp.name, "drawn.dat")) as f:
                blocks = f.read().split("\n\n")
            return [[float(row.split()[0]) for row in block.splitlines()] for block in blocks]

        with self.subTest("with the times file: seconds, a break across the 10 s"):
            blocks = drawn()
            self.assertEqual([len(b) for b in blocks], [150, 150])
            self.assertAlmostEqual(blocks[1][0] - blocks[0][-1], 10.01)
        os.remove(times)
        with self.subTest("without: the counter, a break, and the axis no longer than the run"):
            blocks = drawn()
            self.assertEqual([len(b) for b in blocks], [150, 150])
            self.assertEqual(blocks[1][0] - blocks[0][-1], 1)
            self.assertEqual(blocks[1][-1] - blocks[0][0], 299)


if __name__ == "__main__":
    unittest.main()
