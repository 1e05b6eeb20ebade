"""What happens on the console, the terminal and the shell can never cost a packet or hold a run:
each scenario ends with both logs checked byte for byte against the independent model."""

import fcntl
import os
import re
import select
import signal
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from expected_logs import expected_logs
from harness import BANNER, VGLOG, FakePort, Run, open_terminal, start_logging, wait_until

TIOCGEXCL = 0x80045440
LOG_FAILED = b"Error opening log file(s).  Exiting.\r\n"
DROPPED = re.compile(rb"vglog: (\d+) console message\(s\) dropped: "
                     rb"the console was not taking output\r\n")
BACKLOG = re.compile(rb"\*{8} serial buffer has \d+ bytes\n")
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()


def angle_accel(sample, length=42):
    """An AngleAccel packet; shorter than 40 bytes it also draws a console warning."""
    body = bytes((sample * 7 + i) & 0xFF for i in range(length - 5))
    return bytes([0x24, length, 10]) + sample.to_bytes(2, "big") + body


def short_packets(count):
    return b"".join(angle_accel(i, 6 + i % 34) for i in range(count))


def samples_log_name(t):
    tm = time.localtime(t)
    return (f"anglesAndAccels.{tm.tm_year:4d}{MONTHS[tm.tm_mon - 1]}{tm.tm_mday:02d}-"
            f"{tm.tm_hour:02d}{tm.tm_min:02d}{tm.tm_sec:02d}.txt")


def plant_log_names(directory):
    """Files under every name a run started in the next seconds could give its samples log."""
    now = time.time()
    for t in range(int(now) - 1, int(now) + 6):
        with open(os.path.join(directory, samples_log_name(t)), "wb") as f:
            f.write(b"not ours")


class Logging(unittest.TestCase):
    def setUp(self):
        self.port = FakePort()
        self.addCleanup(self.port.close)
        # The test's own hold on the device: it shows what waits to be read.
        self.device = os.open(self.port.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, self.device)

    def send_paced(self, run, stream, piece=1536):
        """Sends the stream so that the logger never finds a backlog (and never warns of one):
        each piece goes once the logger has read the last. Its count of bytes read says so (it
        reads nothing else meanwhile), where the device's queue could look empty only because
        the piece had not reached it yet."""
        def bytes_read():
            with open(f"/proc/{run.proc.pid}/io") as f:
                return int(f.readline().split()[1])  # rchar

        base = bytes_read()
        for at in range(0, len(stream), piece):
            self.port.send(stream[at:at + piece])
            sent = min(at + piece, len(stream))
            self.assertTrue(wait_until(lambda: bytes_read() - base >= sent, step=0.002))

    def start(self, **kwargs):
        return start_logging(self, self.port, **kwargs)

    def logs_match(self, run, stream):
        """True when the run's directory (or a directory's path) holds exactly the model's
        logs for the stream."""
        directory = run if isinstance(run, str) else run.dir.name
        logs = {}
        for name in os.listdir(directory):
            with open(os.path.join(directory, name), "rb") as f:
                logs[name.split(".")[0]] = f.read()
        samples, misc, _ = expected_logs(stream)
        return logs == {"anglesAndAccels": samples, "misc": misc}

    def send_and_wait_logged(self, run, stream, timeout=30, paced=False):
        if paced:
            self.send_paced(run, stream)
        else:
            self.port.send(stream)
        self.assertTrue(wait_until(lambda: self.logs_match(run, stream), timeout, 0.1),
                        "every packet logged while the console lags")

    def check_logs(self, run, stream):
        self.assertTrue(self.logs_match(run, stream))


class TheConsoleNeverStallsTheDataPath(Logging):
    def test_a_reader_that_went_away(self):
        # vglog PORT | head -1
        r, w = os.pipe()
        run = self.start(stdout=w)
        os.close(w)
        self.assertIsNotNone(BANNER.match(os.read(r, 4096)))
        os.close(r)
        stream = short_packets(50) + b"".join(angle_accel(i) for i in range(50))
        self.send_and_wait_logged(run, stream)
        run.signal(signal.SIGTERM)
        status, _, _ = run.finish()
        self.assertEqual(status, 0)
        self.check_logs(run, stream)

    def test_a_console_that_takes_nothing_ends_within_a_second(self):
        stream = short_packets(4000)
        for target, end in [("pipe", "SIGTERM"), ("terminal", "exit byte")]:
            with self.subTest(target=target, end=end):
                if target == "pipe":
                    r, w = os.pipe()
                else:
                    console = FakePort(raw=False)  # a terminal nobody reads
                    r, w = console.master, os.open(console.path, os.O_RDWR | os.O_NOCTTY)
                self.addCleanup(os.close, r)
                run = self.start(stdout=w)
                os.close(w)
                self.send_and_wait_logged(run, stream)
                began = time.monotonic()
                if end == "SIGTERM":
                    run.signal(signal.SIGTERM)
                else:
                    run.send_key(b"\x03")
                status, _, _ = run.finish()
                # About a second (half of it for the console's last words); the rest is room
                # for a busy machine. A console that held the exit would hold it for ever.
                self.assertLess(time.monotonic() - began, 3.0)
                self.assertEqual(status, 0)
                self.check_logs(run, stream)

    def test_dropped_messages_are_counted_once_output_flows(self):
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        run = self.start(stdout=w)
        os.close(w)
        stream = short_packets(4000)
        self.send_and_wait_logged(run, stream, paced=True)

        out = bytearray()

        def drain():
            while chunk := os.read(r, 65536):
                out.extend(chunk)

        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        self.assertTrue(wait_until(lambda: DROPPED.search(bytes(run.output["stderr"]))),
                        bytes(run.output["stderr"]))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        reader.join(5)
        self.assertEqual(status, 0)
        self.check_logs(run, stream)
        dropped = sum(int(n) for n in DROPPED.findall(err))
        self.assertGreater(dropped, 0)
        m = BANNER.match(bytes(out))
        self.assertIsNotNone(m)
        # What came out came whole and in order, and the reports account for all the rest.
        printed = bytes(out[m.end():]).splitlines(keepends=True)
        warnings = iter(expected_logs(stream)[2].splitlines(keepends=True))
        self.assertTrue(all(line in warnings for line in printed), "an ordered subsequence")
        self.assertEqual(len(printed) + dropped, 4000)

    def test_the_harness_reads_a_long_console_output_as_it_comes(self):
        run = self.start()
        stream = short_packets(5000)  # well over what a pipe and the console's queue hold
        self.send_and_wait_logged(run, stream, paced=True)
        run.send_key(b"\x03")
        status, out, err = run.finish()
        self.assertEqual(status, 0, err)
        m = BANNER.match(out)
        self.assertEqual(BACKLOG.sub(b"", out[m.end():]), expected_logs(stream)[2])
        self.check_logs(run, stream)


class StopsAndKeys(Logging):
    def test_signals_ignored_at_start_stay_ignored(self):
        for sig in [signal.SIGHUP, signal.SIGINT]:
            with self.subTest(sig=sig):
                run = self.start(preexec_fn=lambda: signal.signal(sig, signal.SIG_IGN))
                run.signal(sig)
                stream = b"".join(angle_accel(i) for i in range(20))
                self.send_and_wait_logged(run, stream)
                self.assertIsNone(run.proc.poll(), "an ignored signal ends nothing")
                run.signal(signal.SIGTERM)
                status, _, _ = run.finish()
                self.assertEqual(status, 0)
                self.check_logs(run, stream)

    def test_the_exit_byte_behind_typeahead_ends_the_run_at_once(self):
        run = self.start()
        stream = b"".join(angle_accel(i) for i in range(10))
        self.send_and_wait_logged(run, stream)
        began = time.monotonic()
        run.send_key(b"x" * 200 + b"\x03")
        status, _, _ = run.finish()
        self.assertLess(time.monotonic() - began, 3.0)  # at once, with room for a busy machine
        self.assertEqual(status, 0)
        self.check_logs(run, stream)

    def test_exit_byte_through_a_fifo_held_open_read_write(self):
        # vglog PORT <> fifo: an earlier writer that came and went does not end its input.
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        fifo = os.path.join(work.name, "fifo")
        os.mkfifo(fifo)
        held = os.open(fifo, os.O_RDWR)
        self.addCleanup(os.close, held)
        run = self.start(stdin=held)
        for key in [b"a", b"\x03"]:
            with open(fifo, "wb") as f:
                f.write(key)
            time.sleep(0.2)
        self.assertTrue(wait_until(lambda: run.proc.poll() is not None))
        status, _, _ = run.finish()
        self.assertEqual(status, 0)
        self.check_logs(run, b"")


class LogCreationFailures(unittest.TestCase):
    def test_the_reason_is_named(self):
        port = FakePort()
        self.addCleanup(port.close)
        vanish = lambda: os.rmdir(os.getcwd())  # noqa: E731
        for case, kwargs, reason in [
                ("name exists", {"prepare": plant_log_names}, os.strerror(17)),
                ("directory gone", {"preexec_fn": vanish}, os.strerror(2))]:
            with self.subTest(case=case):
                run = Run([port.path], **kwargs)
                self.addCleanup(run.close)
                status, out, err = run.finish()
                if not os.path.isdir(run.dir.name):
                    os.mkdir(run.dir.name)
                self.assertEqual(status, 1)
                self.assertTrue(out.endswith(LOG_FAILED), out)
                self.assertRegex(err, rb"^Error creating log file anglesAndAccels\.\d{4}[A-Z][a-z]"
                                      rb"{2}\d\d-\d{6}\.txt: " + reason.encode() + rb"\r\n$")
                for name in run.files():
                    self.assertEqual(run.read_file(name), b"not ours")


class ExclusiveUseEndsWithTheRun(Logging):
    def test_released_on_every_way_out(self):
        held = self.device  # a second holder of the device

        def exclusive():
            return int.from_bytes(fcntl.ioctl(held, TIOCGEXCL, b"\0" * 4), "little")

        for way in ["exit byte", "SIGTERM", "log creation fails"]:
            with self.subTest(way=way):
                if way == "log creation fails":
                    run = Run([self.port.path], prepare=plant_log_names)
                    self.addCleanup(run.close)
                    self.assertEqual(run.finish()[0], 1)
                else:
                    run = self.start()
                    self.assertTrue(wait_until(lambda: exclusive() == 1), "exclusive while it runs")
                    stream = angle_accel(1)
                    self.send_and_wait_logged(run, stream)
                    if way == "SIGTERM":
                        run.signal(signal.SIGTERM)
                    else:
                        run.send_key(b"\x03")
                    self.assertEqual(run.finish()[0], 0)
                    self.check_logs(run, stream)
                self.assertEqual(exclusive(), 0)


class JobControl(Logging):
    """vglog as a job of an interactive shell on a terminal: Ctrl+Z, bg, fg and kill %1."""

    def shell(self):
        master, slave, _ = open_terminal()  # a number no logger left running may reach
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TERM": "dumb", "PS1": "$ ",
               "HOME": os.environ.get("HOME", "/")}
        # Its own session with the terminal as its controlling one, as a login gives a shell.
        shell = subprocess.Popen(["bash", "--norc", "--noprofile", "-i"], stdin=slave,
                                 stdout=slave, stderr=slave, env=env, start_new_session=True,
                                 preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.addCleanup(lambda: (shell.kill(), shell.wait()))
        self.addCleanup(os.close, master)
        self.screen = b""
        self.master = master
        return master

    def expect(self, pattern, timeout=20.0):
        deadline = time.monotonic() + timeout
        while not re.search(pattern, self.screen) and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    self.screen += os.read(self.master, 4096)
                except OSError:
                    break
        self.assertRegex(self.screen, pattern)

    def type(self, text):
        os.write(self.master, text)

    def state(self, pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            return None

    def single_keys_in_front(self, pid):
        """The job is in front of the terminal and has it in single-key mode."""
        return (os.tcgetpgrp(self.master) == pid and
                termios.tcgetattr(self.master)[3] & termios.ICANON == 0)

    def test_ctrl_z_bg_fg_and_kill(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-job-")
        self.addCleanup(work.cleanup)
        self.shell()
        self.expect(rb"\$ ")
        self.type(f"cd {work.name} && {VGLOG} {self.port.path}\n".encode())
        self.assertEqual(self.port.wait_for(1), b"w")
        pid = None

        def find():
            nonlocal pid
            for p in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if os.readlink(f"/proc/{p}/cwd") == work.name and \
                            os.readlink(f"/proc/{p}/exe") == os.path.realpath(VGLOG):
                        pid = int(p)
                except OSError:
                    pass
            return pid is not None and len(os.listdir(work.name)) == 2

        self.assertTrue(wait_until(find))
        # Left behind by a failure, the job would go on reopening its port's name, which the
        # next pseudo-terminal of that number takes.
        def kill_left_behind():
            try:
                if os.readlink(f"/proc/{pid}/exe") == os.path.realpath(VGLOG):
                    os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

        self.addCleanup(kill_left_behind)
        self.assertTrue(wait_until(lambda: self.single_keys_in_front(pid)), "single keys")

        def run_state(stopped):
            self.assertTrue(wait_until(lambda: (self.state(pid) == "T") == stopped),
                            (pid, self.state(pid), self.screen))

        self.type(b"\x1a")
        run_state(True)
        self.type(b"bg\n")
        run_state(False)
        stream = b"".join(angle_accel(i) for i in range(20))
        self.port.send(stream[:420])
        self.type(b"echo mark-$((6*7))\n")  # typed for the shell, not for the logger
        self.expect(rb"mark-42")
        time.sleep(0.3)
        run_state(False)

        self.type(b"fg\n")
        self.assertTrue(wait_until(lambda: self.single_keys_in_front(pid)), "again after fg")
        self.type(b"\x1a")
        run_state(True)
        self.type(b"bg\n")
        run_state(False)
        self.port.send(stream[420:])
        self.assertTrue(wait_until(lambda: self.logs_match(work.name, stream), 30, 0.1))

        self.type(f"kill %1; wait {pid}; echo status=$?\n".encode())
        self.expect(rb"status=0")
        self.assertIsNone(self.state(pid))
        self.check_logs(work.name, stream)


if __name__ == "__main__":
    unittest.main()
