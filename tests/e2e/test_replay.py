"""Raw capture and offline replay: a capture holds exactly the bytes the port delivered, and
decoding it again gives the live run's logs byte for byte."""

import fcntl
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time
import unittest

from expected_logs import expected_logs, frame
from harness import VGLOG, VGLOG_SIM, FakePort, Run, wait_until

STAMP = "2024Jan02-030405"
CAPTURE = f"raw.{STAMP}.bin"


def board_stream(count, seed, noise="0.02"):
    """What the simulated board sends, junk included, with short packets of a logged and an
    unlogged kind put in the middle."""
    out = subprocess.run([VGLOG_SIM, "--stdout", "--count", str(count), "--seed", str(seed),
                          "--noise", noise], capture_output=True, check=True).stdout
    short_angle_accel = bytes([0x24, 20, 10]) + bytes(range(1, 18))
    short_unknown = bytes([0x24, 5, 0x33, 0x5C, 0xFF])
    middle = len(out) // 2
    return out[:middle] + short_angle_accel + short_unknown + out[middle:]


def replay(directory, capture):
    return subprocess.run([VGLOG, "--replay", capture], cwd=directory, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)


def logs_in(directory, stamp=None):
    """(samples log, misc log) of the one pair in the directory, checking their stamp."""
    names = sorted(n for n in os.listdir(directory) if n.endswith(".txt"))
    assert len(names) == 2, names
    if stamp is not None:
        assert names == [f"anglesAndAccels.{stamp}.txt", f"misc.{stamp}.txt"], names
    result = []
    for name in names:
        with open(os.path.join(directory, name), "rb") as f:
            result.append(f.read())
    return tuple(result)


class CaptureAndReplay(unittest.TestCase):
    def scratch(self):
        d = tempfile.TemporaryDirectory(prefix="vglog-replay-")
        self.addCleanup(d.cleanup)
        return d.name

    def test_capture_then_replay_gives_the_live_logs(self):
        stream = board_stream(3000, seed=11)
        port = FakePort()
        self.addCleanup(port.close)
        run = Run(["--raw", port.path])
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(run.files()) == 3), run.files())
        for at in range(0, len(stream), 997):  # in uneven pieces, as a line delivers
            port.send(stream[at:at + 997])
        expected = expected_logs(stream)[:2]
        self.assertTrue(wait_until(lambda: (run.log_named("anglesAndAccels"),
                                            run.log_named("misc")) == expected, timeout=20))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)

        captures = [n for n in run.files() if n.startswith("raw.")]
        self.assertEqual(len(captures), 1, run.files())
        stamp = captures[0][len("raw."):-len(".bin")]
        self.assertEqual(run.read_file(captures[0]), stream, "every byte, exactly as received")

        again = self.scratch()
        shutil.copy(os.path.join(run.dir.name, captures[0]), again)
        done = replay(again, captures[0])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(logs_in(again, stamp), logs_in(run.dir.name, stamp))

    def test_an_existing_capture_is_never_overwritten(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = Run(["--raw-file", "keep.bin", port.path], stdin=subprocess.DEVNULL,
                  preexec_fn=lambda: open("keep.bin", "wb").write(b"earlier run"))
        self.addCleanup(run.close)
        status, out, err = run.finish()
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(b"Error opening log file(s).  Exiting.\r\n"), out)
        self.assertIn(b"keep.bin: File exists", err)
        self.assertEqual(run.files(), ["keep.bin"], "no logs are left behind")
        self.assertEqual(run.read_file("keep.bin"), b"earlier run")

    def test_a_failed_capture_write_is_reported_once_and_fails_the_run(self):
        port = FakePort()
        self.addCleanup(port.close)
        limit = 4096  # the files may not grow past this: the capture will, the logs will not
        run = Run(["--raw", port.path], preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (limit, limit)))
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(run.files()) == 3, timeout=10),
                        (run.files(), run.proc.poll(), bytes(run.output["stdout"]),
                         bytes(run.output["stderr"])))
        sent = bytes(range(36, 256)) * 40  # no "$": nothing for the logs
        port.send(sent)
        status, _, err = run.finish()  # the failure ends the run by itself
        self.assertEqual(status, 1, err)
        self.assertEqual(err.count(b"Error writing raw capture file raw."), 1, err)
        self.assertEqual(run.log_named("anglesAndAccels"), expected_logs(b"")[0])
        capture = run.log_named("raw")
        self.assertLessEqual(len(capture), limit)
        self.assertEqual(capture, sent[:len(capture)], "a prefix of the bytes received")

    def test_bad_and_odd_captures(self):
        board = board_stream(400, seed=5, noise="0")
        rng = random.Random(9)
        garbage = bytearray(rng.randbytes(30000))
        garbage[10000:10000] = board  # real packets amid the junk, framed as live would
        cut = board + board[:board.rindex(b"$\x2a\x0a") + 20]  # an AngleAccel cut off
        cases = [
            # name, capture bytes (None: no file), status, summary text
            ("empty", b"", 0, b"cut packets dropped: 0"),
            ("truncated", cut, 0, b"cut packets dropped: 1"),
            ("garbage", bytes(garbage), 0, b"run summary"),
            ("shortest packets, many to a read", b"$\x02" * 40000, 0, b"40000 other"),
            ("missing", None, 1, b"No such file or directory"),
        ]
        for name, data, status, text in cases:
            with self.subTest(name):
                d = self.scratch()
                if data is not None:
                    with open(os.path.join(d, CAPTURE), "wb") as f:
                        f.write(data)
                done = replay(d, CAPTURE)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
                if data is None:
                    self.assertEqual(os.listdir(d), [], "a failed replay leaves nothing")
                    continue
                self.assertEqual(logs_in(d, STAMP), expected_logs(data)[:2])

    def test_a_capture_played_through_a_live_logger(self):
        stream = board_stream(600, seed=3)
        work = self.scratch()
        capture = os.path.join(work, CAPTURE)
        with open(capture, "wb") as f:
            f.write(stream)
        offline = replay(work, CAPTURE)
        self.assertEqual(offline.returncode, 0, offline.stderr)

        link = os.path.join(work, "board")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--replay", capture, "--linger", "30"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (sim.kill(), sim.wait(), sim.stderr.close()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)))
        run = Run([link])
        self.addCleanup(run.close)
        started = time.monotonic()
        expected = logs_in(work, STAMP)
        self.assertTrue(wait_until(lambda: len(run.files()) == 2 and (
            run.log_named("anglesAndAccels"), run.log_named("misc")) == expected, timeout=30))
        # Paced like the 11 520 bytes/s line (with room for a slow start, none for a dump).
        self.assertGreater(time.monotonic() - started, 0.7 * len(stream) / 11520)
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)


    def test_a_signal_ends_a_replay_from_a_fifo_with_every_packet_read_logged(self):
        # Less than one read's worth, and many reads' worth; the writer stays, so no end of file.
        for size, sig in ((2500, signal.SIGINT), (60000, signal.SIGTERM)):
            with self.subTest(size=size, signal=sig):
                stream = b"".join(frame(board_stream(size // 30, seed=4)))  # whole packets
                work = self.scratch()
                fifo = os.path.join(work, CAPTURE)
                os.mkfifo(fifo)
                proc = subprocess.Popen([VGLOG, "--replay", CAPTURE], cwd=work,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                self.addCleanup(lambda p=proc: (p.kill(), p.wait(), p.stdout.close(),
                                                p.stderr.close()))
                writer = os.open(fifo, os.O_WRONLY)
                self.addCleanup(os.close, writer)
                os.write(writer, stream)
                unread = lambda: struct.unpack("i", fcntl.ioctl(writer, termios.FIONREAD,
                                                                 b"\0" * 4))[0]
                self.assertTrue(wait_until(lambda: unread() == 0, timeout=20), "vglog reads")
                proc.send_signal(sig)
                _, err = proc.communicate(timeout=20)
                self.assertEqual(proc.returncode, 0, err)
                self.assertEqual(logs_in(work, STAMP), expected_logs(stream)[:2])
                self.assertIn(b"cut packets dropped: 0", err)


if __name__ == "__main__":
    unittest.main()
