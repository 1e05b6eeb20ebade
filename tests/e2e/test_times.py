"""The times file (--times): a row per samples-log line with its arrival and the board's clock,
kept through a raw capture and its replay."""

import csv
import datetime
import io
import math
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import VGLOG, VGLOG_SIM, FakePort, Run, start_logging, wait_until
from test_link import Board, said

HEADER = b"line,sample,index,host_utc,host_s,board_s\n"
PLOT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "plot", "vglog-plot")


def angle_accel(sample):
    return bytes([0x24, 42, 10]) + (sample & 0xFFFF).to_bytes(2, "big") + bytes(range(37))


def rows_of(data):
    """The rows of a times file as dicts of numbers (host_utc in microseconds since 1970)."""
    assert data.startswith(HEADER), data[:80]
    assert b"\r" not in data
    rows = []
    for r in csv.DictReader(io.StringIO(data.decode())):
        utc = datetime.datetime.strptime(r["host_utc"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
            tzinfo=datetime.timezone.utc)
        rows.append({"line": int(r["line"]), "sample": int(r["sample"]),
                     "index": int(r["index"]),
                     "utc_us": int(utc.timestamp()) * 1000000 + utc.microsecond,
                     "host_us": round(float(r["host_s"]) * 1e6),
                     "board_s": float(r["board_s"]), "host_s": float(r["host_s"])})
    return rows


def file_named(directory, prefix, suffix=""):
    names = [n for n in os.listdir(directory) if n.startswith(prefix) and n.endswith(suffix)]
    assert len(names) == 1, os.listdir(directory)
    return os.path.join(directory, names[0])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def rms_from_send(rows, column, rate, skip=200):
    """RMS distance of a column from the board's send times (index / rate), one constant offset
    removed, after the first samples."""
    errors = [r[column] - r["index"] / rate for r in rows[skip:]]
    mean = sum(errors) / len(errors)
    return math.sqrt(sum((e - mean) ** 2 for e in errors) / len(errors))


class Times(unittest.TestCase):
    def scratch(self):
        d = tempfile.TemporaryDirectory(prefix="vglog-times-")
        self.addCleanup(d.cleanup)
        return d.name

    def board(self, directory, *args):
        link = os.path.join(directory, "board")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link, *args], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sim.kill(), sim.wait()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)))
        return link, sim

    def test_a_row_per_line_with_prompt_arrival_times_across_both_wraps(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = start_logging(self, port, "--times", files=3)
        # Crosses 32767 -> -32768, jumps ahead, then crosses 65535 -> 0 (-1 -> 0 as logged).
        samples = list(range(32600, 32768)) + list(range(-32768, -32600)) + list(range(-150, 150))
        written = []  # (before, after) the write of each packet, wall clock
        next_due = time.monotonic()
        for s in samples:  # 200 a second, 8 400 bytes/s: the line's pace, not a burst
            next_due += 0.005
            time.sleep(max(0.0, next_due - time.monotonic()))
            before = time.time()
            self.assertEqual(os.write(port.master, angle_accel(s)), 42)
            written.append((before, time.time()))
        times = file_named(run.dir.name, "times.")
        self.assertTrue(wait_until(lambda: read(times).count(b"\n") == len(samples) + 1,
                                   timeout=10))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        stamp = os.path.basename(times)[len("times."):-len(".csv")]
        self.assertIn(f", misc.{stamp}.txt and times.{stamp}.csv\n".encode(), err)
        rows_written = read(times).count(b"\n")
        self.assertIn(f"  times.{stamp}.csv: {os.path.getsize(times)} bytes, "
                      f"{rows_written} lines\n".encode(), err)

        rows = rows_of(read(times))
        logged = [int(line.split()[0]) for line in
                  run.log_named("anglesAndAccels").split(b"\r\n")[1:-1]]
        self.assertEqual([r["line"] for r in rows], list(range(1, len(samples) + 1)))
        self.assertEqual([r["sample"] for r in rows], logged)
        self.assertEqual(logged, samples)
        index = [r["index"] for r in rows]
        self.assertEqual(index[0], 32600)
        crossings = [i for i in range(1, len(samples)) if samples[i] in (-32768, 0)]
        self.assertEqual([index[i] - index[i - 1] for i in crossings], [1, 1])
        # The jump ahead no time can explain (5 ms for 32 451 samples) is the board starting
        # again: the index goes on by the time elapsed, and wraps as before after it.
        self.assertLessEqual(index[336] - index[335], 3)
        self.assertEqual(index[-1] - index[336], 299)
        # host_utc is one wall-clock reading plus host_s, to the microsecond.
        self.assertEqual(len({r["utc_us"] - r["host_us"] for r in rows}), 1)
        early = min(r["utc_us"] / 1e6 - before for r, (before, _) in zip(rows, written))
        self.assertGreaterEqual(early, -2e-6, "a read returned before the bytes were written")
        late = sorted(r["utc_us"] / 1e6 - after for r, (_, after) in zip(rows, written))
        print(f"\nhost_utc after the write: median {late[len(late) // 2] * 1e3:.2f} ms, 99 % "
              f"{late[int(0.99 * len(late)) - 1] * 1e3:.2f} ms, max {late[-1] * 1e3:.2f} ms",
              flush=True)
        # On an idle machine 99 % come within 20 ms. One with more work than cores starves
        # vglog now and then for longer; there half of them still come within 20 ms, which a
        # loop that reads every 50 ms never managed (its median is 25 ms and more).
        share = 0.99 if os.getloadavg()[0] < os.cpu_count() else 0.5
        self.assertLessEqual(late[int(share * len(late)) - 1], 0.020, late[-20:])
        for before, after in zip(rows, rows[1:]):
            self.assertLessEqual(before["board_s"], after["board_s"])
        for r in rows:
            self.assertLessEqual(r["board_s"], r["host_s"])

    def test_the_board_clock_removes_most_of_the_arrival_jitter(self):
        work = self.scratch()
        link, sim = self.board(work, "--rate", "100", "--jitter", "20", "--kinds", "10",
                               "--seconds", "15", "--linger", "30")
        run = Run(["--times", "--quiet", link])
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: len(run.files()) == 3))
        times = os.path.join(run.dir.name, [n for n in run.files() if n.startswith("times.")][0])
        self.assertTrue(wait_until(lambda: read(times).count(b"\n") == 1501, timeout=40))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        rows = rows_of(read(times))
        host, board = rms_from_send(rows, "host_s", 100), rms_from_send(rows, "board_s", 100)
        print(f"\njitter 0-20 ms at 100 Hz, {len(rows)} samples: RMS from the send times "
              f"host_s {host * 1e3:.3f} ms, board_s {board * 1e3:.3f} ms", flush=True)
        self.assertLessEqual(board, host / 4)

    def test_a_capture_keeps_its_times_through_replay_and_the_simulator(self):
        work = self.scratch()
        link, _ = self.board(work, "--rate", "100", "--jitter", "10", "--kinds", "2,10,3",
                             "--seconds", "3", "--linger", "30")
        live = Run(["--raw", "--times", "--quiet", link])
        self.addCleanup(live.close)
        self.assertTrue(wait_until(lambda: len(live.files()) == 5))
        self.assertTrue(wait_until(lambda: live.log_named("anglesAndAccels").count(b"\r\n") == 301,
                                   timeout=20))
        live.send_key(b"\x03")
        status, _, err = live.finish()
        self.assertEqual(status, 0, err)
        capture = file_named(live.dir.name, "raw.", ".bin")
        self.assertTrue(os.path.exists(capture + ".times"), live.files())
        self.assertIn(f"  {os.path.basename(capture)}.times: ".encode(), err)
        live_times = read(file_named(live.dir.name, "times."))

        again = self.scratch()
        done = subprocess.run([VGLOG, "--replay", capture, "--times"], cwd=again,
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read(file_named(again, "times.")), live_times)
        self.assertEqual(os.path.basename(file_named(again, "times.")),
                         os.path.basename(file_named(live.dir.name, "times.")))

        # Without its times a capture cannot give them: a usage error, and no files.
        bare = os.path.join(self.scratch(), os.path.basename(capture))
        shutil.copy(capture, bare)
        done = subprocess.run([VGLOG, "--replay", bare, "-t"], cwd=os.path.dirname(bare),
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(done.returncode, 2)
        lines = done.stderr.split(b"\r\n")
        self.assertEqual(len(lines), 3, done.stderr)
        self.assertTrue(lines[0].startswith(b"vglog: ") and b".times" in lines[0], lines[0])
        self.assertEqual(lines[1], b"Try 'vglog --help' for more information.")
        self.assertEqual(done.stdout, b"")
        self.assertEqual(os.listdir(os.path.dirname(bare)), [os.path.basename(bare)])

        # The simulator plays the capture as it arrived, not at the line's pace (about twice
        # as fast for this stream).
        link2 = os.path.join(again, "board")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link2, "--replay", capture, "--linger", "30"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sim.kill(), sim.wait()))
        self.assertTrue(wait_until(lambda: os.path.exists(link2)))
        played = Run(["--times", "--quiet", link2])
        self.addCleanup(played.close)
        self.assertTrue(wait_until(lambda: len(played.files()) == 3))
        played_times = os.path.join(played.dir.name,
                                    [n for n in played.files() if n.startswith("times.")][0])
        self.assertTrue(wait_until(lambda: read(played_times).count(b"\n") == 301, timeout=20))
        played.send_key(b"\x03")
        played.finish()
        original, replayed = rows_of(live_times), rows_of(read(played_times))
        span = lambda rows: rows[-1]["host_s"] - rows[0]["host_s"]
        self.assertGreater(span(replayed), 0.9 * span(original))

    def test_a_replay_across_a_link_loss_gives_the_live_logs_and_times(self):
        board = Board(self)
        live = Run(["--raw", "--times", board.path])
        self.addCleanup(live.close)
        self.assertEqual(board.port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(live.files()) == 5))
        for s in range(40):
            board.port.send(angle_accel(s))
            time.sleep(0.004)
        board.port.send(angle_accel(40)[:20])  # cut off by the loss: never logged
        time.sleep(0.5)
        board.unplug()
        time.sleep(1.5)
        board.plug()
        self.assertEqual(board.port.wait_for(1, timeout=5), b"w")
        for s in range(1000, 1040):
            board.port.send(angle_accel(s))
            time.sleep(0.004)
        time.sleep(0.5)
        live.send_key(b"\x03")
        status, _, err = live.finish()
        self.assertEqual(status, 0, err)
        capture = file_named(live.dir.name, "raw.", ".bin")
        self.assertIn(b" lost\n", read(capture + ".times"))

        again = self.scratch()
        done = subprocess.run([VGLOG, "--replay", capture, "--times"], cwd=again,
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        for prefix in ("anglesAndAccels.", "times."):
            self.assertEqual(read(file_named(again, prefix)),
                             read(file_named(live.dir.name, prefix)), prefix)
        self.assertEqual(len(rows_of(read(file_named(again, "times.")))), 80)


class PacedBoard:
    """A board on a pseudo-terminal that sends sample k at t0 + k * period of its own clock
    (200 ppm fast), each packet 0 to `jitter` s late and in order. The test plays it in its own
    thread of control: the send times are exact, a late write only adds delay."""

    PERIOD = 0.01 / (1 + 200e-6)

    def __init__(self, port, jitter=0.020, seed=5):
        self.port, self.jitter, self.rng = port, jitter, random.Random(seed)
        self.t0 = time.monotonic() + 0.2
        self.sent = []  # (send time, write began) of every packet, monotonic clock

    def send_at(self, k):
        return self.t0 + k * self.PERIOD

    def play(self, ks, counter=lambda k: k, held_until=None, split=0.0):
        """Sends samples ks in order; with held_until, all of them in one burst at that time;
        with split, each packet in two writes that far apart."""
        if held_until is not None:
            time.sleep(max(0.0, held_until - time.monotonic()))
            began = time.monotonic()
            self.port.send(b"".join(angle_accel(counter(k)) for k in ks))
            self.sent += [(self.send_at(k), began) for k in ks]
            return
        for k in ks:
            due = self.send_at(k) + self.rng.uniform(0.0, self.jitter)
            time.sleep(max(0.0, due - time.monotonic()))
            began = time.monotonic()
            packet = angle_accel(counter(k))
            if split:
                self.port.send(packet[:20])
                time.sleep(split)
                packet = packet[20:]
            self.port.send(packet)
            self.sent.append((self.send_at(k), began))

    def errors(self, rows):
        """host_s and board_s minus each row's send time, in seconds. vglog's start on the
        monotonic clock is where no packet arrives before it was written (to within the
        quickest read's latency)."""
        assert len(rows) == len(self.sent), (len(rows), len(self.sent))
        start = max(began - r["host_s"] for r, (_, began) in zip(rows, self.sent))
        return ([r["host_s"] + start - send for r, (send, _) in zip(rows, self.sent)],
                [r["board_s"] + start - send for r, (send, _) in zip(rows, self.sent)])


def rms(values):
    mean = sum(values) / len(values)
    return math.sqrt(sum((v - mean) ** 2 for v in values) / len(values)), mean


class TimesInTheField(unittest.TestCase):
    """What a real USB line does: it holds bytes back, the board restarts, runs are rotated."""

    def scratch(self):
        d = tempfile.TemporaryDirectory(prefix="vglog-times-")
        self.addCleanup(d.cleanup)
        return d.name

    def finish(self, run, count):
        times = file_named(run.dir.name, "times.")
        self.assertTrue(wait_until(lambda: read(times).count(b"\n") == count + 1, timeout=60),
                        read(times).count(b"\n"))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        return rows_of(read(times))

    def test_a_delivery_stall_neither_moves_nor_freezes_the_board_clock(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = start_logging(self, port, "--times", "--quiet", files=3)
        board = PacedBoard(port)
        stall, burst, end = 800, 1800, 2800  # held from 8 s to 18 s, then on time to 28 s
        board.play(range(stall))
        board.play(range(stall, burst), held_until=board.send_at(burst))
        board.play(range(burst, end))
        rows = self.finish(run, end)
        host, est = board.errors(rows)
        # Every row from the first held one: board_s at least as close to the send time as
        # host_s, give or take the fit's own precision (a tenth of the jitter).
        worst = max(abs(b) - max(h, 0.0) for h, b in zip(host[stall:], est[stall:]))
        # RMS with one constant offset removed, as the steady figures are measured.
        steady_host, _ = rms(host[300:stall])
        steady, _ = rms(est[300:stall])
        after, offset = rms([e for e, (send, _) in zip(est[burst:], board.sent[burst:])
                             if send >= board.send_at(burst) + 5])
        print(f"\n10 s stall at 100 Hz, 200 ppm, 0-20 ms jitter: before it RMS host_s "
              f"{steady_host * 1e3:.2f} ms, board_s {steady * 1e3:.3f} ms; held rows host_s up "
              f"to {max(host[stall:burst]):.2f} s late, board_s within "
              f"{max(abs(e) for e in est[stall:burst]) * 1e3:.2f} ms; every row after: |board_s| "
              f"beyond host_s by at most {worst * 1e3:.3f} ms; from 5 s after: board_s RMS "
              f"{after * 1e3:.3f} ms, {offset * 1e3:.3f} ms after the send times", flush=True)
        self.assertLessEqual(worst, 0.002)
        self.assertLessEqual(after, 0.001)
        self.assertEqual([r["index"] for r in rows], list(range(end)))

    def unplugged(self, counter_restarts):
        board = Board(self)
        run = Run(["--times", "--quiet", board.path])
        self.addCleanup(run.close)
        self.assertEqual(board.port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(run.files()) == 3))
        paced = PacedBoard(board.port, jitter=0.005)
        counter = lambda k: 7542 + k
        paced.play(range(300), counter)  # the last one is 7841
        times = file_named(run.dir.name, "times.")
        self.assertTrue(wait_until(lambda: read(times).count(b"\n") == 301))  # all read
        board.unplug()
        self.assertTrue(wait_until(lambda: said(run, b"waiting for it to come back")))
        time.sleep(1.0)  # the board is away a while, whatever the machine's load
        board.plug()
        self.assertEqual(board.port.wait_for(1), b"w")
        paced.port = board.port
        first = math.ceil((time.monotonic() - paced.t0) / paced.PERIOD) + 5
        if counter_restarts:
            restart = lambda k: k - first
            paced.play(range(first, first + 300), restart)
        else:
            paced.play(range(first, first + 300), counter)
        rows = self.finish(run, 600)
        index = [r["index"] for r in rows]
        self.assertEqual(index[:300], list(range(7542, 7842)))
        self.assertEqual([b - a for a, b in zip(index[300:], index[301:])], [1] * 299)
        elapsed = (rows[300]["host_s"] - rows[299]["host_s"]) * 100
        if shutil.which("gnuplot"):
            # Drawn, the lines break at the loss; without the times file a counter that
            # restarted moves the axis on by one, not by 57 695.
            log = file_named(run.dir.name, "anglesAndAccels.")
            for keep in (True, False):
                if not keep:
                    os.remove(file_named(run.dir.name, "times."))
                done = subprocess.run([PLOT, "--data", "drawn.dat", "-o", "run.png", log],
                                      cwd=run.dir.name, capture_output=True, timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr)
                blocks = read(os.path.join(run.dir.name, "drawn.dat")).split(b"\n\n")
                self.assertEqual([len(b.splitlines()) for b in blocks], [300, 300])
                if not keep:
                    step = first - 299 if not counter_restarts and first - 299 <= 1000 else 1
                    self.assertEqual(float(blocks[1].splitlines()[-1].split()[0]),
                                     7841 + step + 299)
        return index[300] - index[299], first - 299, elapsed

    def test_after_an_unplug_a_counter_that_kept_running_gives_its_true_step(self):
        step, true_step, _ = self.unplugged(counter_restarts=False)
        self.assertEqual(step, true_step)

    def test_after_an_unplug_a_restarted_counter_goes_on_by_the_time_elapsed(self):
        step, _, elapsed = self.unplugged(counter_restarts=True)
        # Not the 57 694 of a forward wrap: the time away at the board's rate.
        self.assertLessEqual(abs(step - elapsed), 2, (step, elapsed))

    def test_each_set_of_a_rotated_run_replays_alone_to_its_times_file(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = start_logging(self, port, "--raw", "--times", "--quiet", "--rotate", "2s", files=5,
                            env=dict(os.environ, VGLOG_ROTATE_MIN_S="1"))
        board = PacedBoard(port, jitter=0.002)
        counter = lambda k: 65536 - 350 + k  # wraps 3.5 s in
        # Each packet's head 7 ms before its tail: a set of files mostly begins inside a packet.
        board.play(range(250), counter, split=0.007)
        board.play(range(250, 400), counter, held_until=board.send_at(400))  # a 1.5 s stall
        board.play(range(400, 900), counter, split=0.007)
        self.assertTrue(wait_until(lambda: sum(
            read(os.path.join(run.dir.name, n)).count(b"\n") - 1
            for n in run.files() if n.startswith("times.")) == 900, timeout=60))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        captures = sorted(n for n in run.files() if n.startswith("raw.") and n.endswith(".bin"))
        self.assertGreaterEqual(len(captures), 3, run.files())
        cut = [c for c in captures[1:] if read(os.path.join(run.dir.name, c))[:1] != b"$"]
        print(f"\n{len(captures)} sets, {len(cut)} of them begin inside a packet", flush=True)
        together = self.scratch()
        for capture in captures:
            stamp = capture[len("raw."):-len(".bin")]
            for where in (self.scratch(), together):  # alone, and after the sets before it
                with self.subTest(capture=capture, alone=where != together):
                    for name in (capture, capture + ".times"):
                        shutil.copy(os.path.join(run.dir.name, name), where)
                    done = subprocess.run([VGLOG, "--replay", capture, "--times"], cwd=where,
                                          capture_output=True, stdin=subprocess.DEVNULL,
                                          timeout=60)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    for name in (f"times.{stamp}.csv", f"anglesAndAccels.{stamp}.txt"):
                        self.assertEqual(read(os.path.join(where, name)),
                                         read(os.path.join(run.dir.name, name)), name)


if __name__ == "__main__":
    unittest.main()
