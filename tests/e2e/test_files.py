"""The run's files taken away under a running vglog: a full disk, a log deleted, the folder
deleted, the logs moved. Nothing logged may be lost or invented, and the run says what happened."""

import os
import re
import resource
import shutil
import subprocess
import threading
import time
import unittest

from expected_logs import expected_logs, frame
from harness import VGLOG_SIM, FakePort, Run, start_logging, wait_until

FILE_LINE = re.compile(rb"^  (.+): (\d+) bytes(?:, (\d+) lines)?", re.M)


def board_stream(count, seed):
    out = subprocess.run([VGLOG_SIM, "--stdout", "--count", str(count), "--seed", str(seed),
                          "--noise", "0.01"], capture_output=True, check=True).stdout
    return b"".join(frame(out))  # whole packets, so every packet sent is a line


class Sender(threading.Thread):
    """Plays the board: the stream in small pieces, paced, until it ends or the test stops it.
    sent holds what went out."""

    def __init__(self, port, stream, piece=300, pause=0.01):
        super().__init__(daemon=True)
        self.port, self.stream, self.piece, self.pause = port, stream, piece, pause
        self.sent = 0
        self.stop = threading.Event()

    def run(self):
        while self.sent < len(self.stream) and not self.stop.is_set():
            try:
                self.port.send(self.stream[self.sent:self.sent + self.piece])
            except OSError:
                return
            self.sent = min(len(self.stream), self.sent + self.piece)
            time.sleep(self.pause)

    def finish(self):
        self.stop.set()
        self.join(10)
        return self.stream[:self.sent]


class FilesTakenAway(unittest.TestCase):
    def setUp(self):
        self.port = FakePort()
        self.addCleanup(self.port.close)

    def summary_files(self, err):
        """{name: (bytes, lines or None)} from the run summary's file lines."""
        return {m[1]: (int(m[2]), int(m[3]) if m[3] else None) for m in FILE_LINE.finditer(err)}

    def test_disk_full_then_freed_leaves_clean_prefixes_and_ends_the_run(self):
        stream = board_stream(40000, seed=21)
        holder = {}

        def small_disk(directory):
            # A 512 KiB file system of its own; where mounting is not allowed (no root, a
            # container), a file-size limit set on the running process stands in for it.
            holder["tmpfs"] = subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", directory],
                capture_output=True).returncode == 0

        run = Run(["--raw", self.port.path], prepare=small_disk)
        self.addCleanup(run.close)
        if holder["tmpfs"]:  # taken away before the run's folder is
            self.addCleanup(subprocess.run, ["umount", "-l", run.dir.name])
        self.assertEqual(self.port.wait_for(1), b"w", "the start byte")
        self.assertTrue(wait_until(lambda: len(run.files()) == 3), run.files())
        sender = Sender(self.port, stream)
        sender.start()
        self.addCleanup(sender.finish)
        samples_name = next(n for n in run.files() if n.startswith("anglesAndAccels."))
        path = lambda name: os.path.join(run.dir.name, name)
        self.assertTrue(wait_until(lambda: os.path.getsize(path(samples_name)) > 50000,
                                   timeout=60))
        filler = path("filler")
        if holder["tmpfs"]:
            try:  # (the logs may have filled it first)
                with open(filler, "wb") as f:
                    while True:
                        f.write(b"\0" * 4096)
                        f.flush()
            except OSError:
                pass
        else:
            limit = os.path.getsize(path(samples_name)) + 20000
            resource.prlimit(run.proc.pid, resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        full = time.monotonic()
        self.assertTrue(wait_until(lambda: b"Error writing" in run.output["stderr"], timeout=10),
                        bytes(run.output["stderr"]))
        if os.path.exists(filler):
            os.remove(filler)  # room again: nothing more may be appended all the same
        else:
            resource.prlimit(run.proc.pid, resource.RLIMIT_FSIZE,
                             (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        status, _, err = run.finish()
        ended = time.monotonic() - full
        sent = sender.finish()
        self.assertEqual(status, 1, err)
        self.assertLess(ended, 3.0, "the run ends within about a second")
        self.assertIn(b"No space left on device" if holder["tmpfs"] else b"File too large", err)

        samples, misc, _ = expected_logs(sent)
        files = self.summary_files(err)
        got = {}
        for name in run.files():
            if name == "filler":
                continue
            got[name] = run.read_file(name)
            model = {"anglesAndAccels": samples, "misc": misc, "raw": sent}[name.split(".")[0]]
            self.assertEqual(got[name], model[:len(got[name])], f"{name} is a prefix")
            if not name.startswith("raw."):
                self.assertTrue(got[name].endswith(b"\r\n"), f"{name} ends in a whole line")
            lines = None if name.startswith("raw.") else got[name].count(b"\n")
            self.assertEqual(files[name.encode()], (len(got[name]), lines), err)
        self.assertLess(len(got[samples_name]), len(samples), "the disk did fill")
        logged = int(re.search(rb"(\d+) samples logged", err)[1])
        self.assertEqual(logged, got[samples_name].count(b"\n") - 1, err)

    def test_a_deleted_log_is_put_back_and_keeps_every_line(self):
        stream = board_stream(3000, seed=8)
        run = start_logging(self, self.port)
        samples_name = next(n for n in run.files() if n.startswith("anglesAndAccels."))
        samples_path = os.path.join(run.dir.name, samples_name)
        half = len(stream) // 2
        self.port.send(stream[:half])
        self.assertTrue(wait_until(lambda: os.path.getsize(samples_path) > 50000, timeout=20))
        os.remove(samples_path)
        self.assertTrue(wait_until(lambda: b"was deleted" in run.output["stderr"], timeout=10))
        self.port.send(stream[half:])
        want = expected_logs(stream)[:2]
        self.assertTrue(wait_until(lambda: (run.log_named("anglesAndAccels"),
                                            run.log_named("misc")) == want, timeout=20))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(err.count(b"was deleted during the run: put back"), 1, err)
        self.assertEqual(run.log_named("anglesAndAccels"), want[0])

    def test_a_deleted_folder_ends_the_run_and_a_moved_log_is_named_where_it_is(self):
        stream = board_stream(3000, seed=9)
        for case in ("folder deleted", "logs moved"):
            with self.subTest(case):
                port = FakePort()  # of its own: a failed case may leave its vglog holding one
                self.addCleanup(port.close)
                run = start_logging(self, port)
                port.send(stream[:20000])
                names = run.files()
                self.assertTrue(wait_until(lambda: os.path.getsize(
                    os.path.join(run.dir.name, names[0])) > 0, timeout=10))
                if case == "folder deleted":
                    shutil.rmtree(run.dir.name)
                    self.addCleanup(os.makedirs, run.dir.name, exist_ok=True)
                    # The board stays silent: the run must notice all the same.
                    self.assertTrue(wait_until(lambda: run.proc.poll() is not None, timeout=10))
                    status, _, err = run.finish()
                    self.assertEqual(status, 1, err)
                    self.assertIn(b"was deleted during the run and cannot be put back: "
                                  b"No such file or directory", err)
                    continue
                elsewhere = os.path.join(run.dir.name, "elsewhere")
                os.mkdir(elsewhere)
                for name in names:
                    os.rename(os.path.join(run.dir.name, name), os.path.join(elsewhere, name))
                port.send(stream[20000:])
                want = expected_logs(stream)[:2]
                moved = lambda name: open(os.path.join(elsewhere, name), "rb").read()
                self.assertTrue(wait_until(lambda: tuple(map(moved, names)) == want, timeout=20))
                run.send_key(b"\x03")
                status, _, err = run.finish()
                self.assertEqual(status, 0, err)
                for name, log in zip(names, want):
                    self.assertIn(b"  %s: %d bytes, %d lines (moved from %s)\n" % (
                        os.path.join(os.path.realpath(elsewhere), name).encode(), len(log),
                        log.count(b"\n"), name.encode()), err)


    def test_a_long_capture_name_with_a_newline_is_taken_and_shown_on_one_line(self):
        folder = "f" * 150
        name = folder + "/board\n42.bin"  # 163 bytes
        run = start_logging(self, self.port, "--raw-file", name, files=3,
                            prepare=lambda d: os.mkdir(os.path.join(d, folder)))
        stream = board_stream(200, seed=2)
        self.port.send(stream)
        self.assertTrue(wait_until(lambda: run.read_file(name) == stream, timeout=10))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        self.assertIn(b"\n  %s/board\\n42.bin: %d bytes\n" % (folder.encode(), len(stream)), err)


if __name__ == "__main__":
    unittest.main()
