"""What the operator sees while a run goes: the status line as a terminal shows it (rendered by a
terminal emulator), a replay's progress, and the warning about bytes that form no packet."""

import fcntl
import math
import os
import pty
import re
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest

import pyte

from harness import VGLOG, FakePort, Run, wait_until
from test_console import angle_accel as short_sample

STATUS = re.compile(r"^\d+:\d\d:\d\d (link )?(up|LOST)( \| |$)")
# A status line drawn whole for a width below 80 columns, and for 80 and more, with the angles.
NARROW = re.compile(r"^\d+:\d\d:\d\d (link )?up \| \d+ (samples [\d.]+|smp \d+)/s$")
WIDE = re.compile(r"^\d+:\d\d:\d\d link up \| \d+ samples [\d.]+/s \| phi -?\d\.\d{3} "
                  r"theta -?\d\.\d{3} psi -?\d\.\d{3}( \| .*\d)?$")
# Any piece of a status line left behind on a row of its own.
STALE = re.compile(r"samples [\d.]+/s|\d smp \d|phi |theta|link (up|LOST)|\d:\d\d:\d\d (up|LOST)")
WARNING = re.compile(r"Error-AngleAccelpacketlen\d+,shouldbe42")
PROGRESS = re.compile(r"^replay [\d.]+ k?B read \| \d+ packets \d+/s")


def angle_accel(sample, angle=0.0):
    """An AngleAccel packet whose phi is angle, theta its negative and psi its half (radians)."""
    def t24(value):
        return (int(round(value * 65536 / 256)) & 0xFFFFFF).to_bytes(3, "big")
    body = struct.pack(">H", sample) + t24(angle) + t24(-angle) + t24(angle / 2) + bytes(28)
    return bytes([0x24, 3 + len(body), 10]) + body


class Terminal:
    """A pseudo-terminal as a person would see it: what arrives at its master end is fed to a
    terminal emulator of the same size."""

    def __init__(self, columns, lines=50, master=None):
        if master is None:
            self.master, self.slave = os.openpty()
        else:
            self.master, self.slave = master, None
        self.screen = pyte.Screen(columns, lines)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        self.fed = 0
        self.lock = threading.Lock()
        self.set_size(columns, lines)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:  # every slave end is closed
                return
            if not chunk:
                return
            with self.lock:
                self.raw += chunk

    def set_size(self, columns, lines=50):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", lines, columns, 0, 0))

    def resize(self, columns):
        """Everything that came before was drawn at the old size, as on a real terminal."""
        self.rows()
        self.screen.resize(self.screen.lines, columns)
        self.set_size(columns, self.screen.lines)

    def rows(self):
        with self.lock:
            new = bytes(self.raw[self.fed:])
            self.fed = len(self.raw)
        self.stream.feed(new)
        return [row.rstrip() for row in self.screen.display]

    def output(self):
        with self.lock:
            return bytes(self.raw)


def whole_messages(rows, messages):
    """True when each message is on the screen whole (however it wrapped), and every length
    warning is complete."""
    text = "".join(rows).replace(" ", "")
    return (all(m.replace(" ", "") in text for m in messages) and
            text.count("Error-") == len(WARNING.findall(text)))


def one_status_row(terminal, messages, top=0):
    """The cursor's row holds a status line that leaves the last column free, no other row from
    top on holds any of one, and the messages there are whole. (Rows above top were cut by the
    terminal when it was made narrower.)"""
    rows = terminal.rows()
    y = terminal.screen.cursor.y
    others = rows[top:y] + rows[y + 1:]
    return (STATUS.match(rows[y]) is not None and len(rows[y]) < terminal.screen.columns and
            not any(STALE.search(row) for row in others) and whole_messages(others, messages))


class Board(threading.Thread):
    """Sends samples ten times a second, and now and then a short one, which draws a message on
    the console between two status lines."""

    def __init__(self, port, noise=False):
        super().__init__(daemon=True)
        self.port = port
        self.noise = noise
        self.stop = threading.Event()

    def run(self):
        sample = 0
        while not self.stop.wait(0.1):
            if self.noise:
                self.port.send(bytes(range(0x40, 0x80)))  # no "$": nothing starts a packet
                continue
            sample += 1
            self.port.send(short_sample(sample, 20) if sample % 10 == 0 else
                           angle_accel(sample, math.sin(sample / 10)))

    def end(self):
        self.stop.set()
        self.join(5)


class StatusLine(unittest.TestCase):
    def setUp(self):
        self.port = FakePort()
        self.addCleanup(self.port.close)
        self.work = tempfile.TemporaryDirectory(prefix="vglog-e2e-")
        self.addCleanup(self.work.cleanup)

    def board(self, **kwargs):
        board = Board(self.port, **kwargs)
        board.start()
        self.addCleanup(board.end)
        return board

    def start_at(self, terminal, term, *args):
        """vglog with the terminal as its controlling one, its standard output and error; keys
        come from a pipe."""
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        if term:
            env["TERM"] = term
        proc = subprocess.Popen(
            [VGLOG, *args], cwd=self.work.name, stdin=subprocess.PIPE, stdout=terminal.slave,
            stderr=terminal.slave, env=env, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(2, termios.TIOCSCTTY, 0))
        os.close(terminal.slave)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.addCleanup(proc.stdin.close)
        return proc

    def logging_line(self):
        names = sorted(os.listdir(self.work.name))
        return f"logging {self.port.path} into {names[0]} and {names[1]}"

    def test_one_whole_status_row_at_any_width_and_after_resizes(self):
        for term, widths in [("xterm-256color", [80, 40, 100]), ("dumb", [40, 80])]:
            with self.subTest(term=term):
                self.port = FakePort()
                self.addCleanup(self.port.close)
                self.work = tempfile.TemporaryDirectory(prefix="vglog-e2e-")
                self.addCleanup(self.work.cleanup)
                terminal = Terminal(widths[0])
                proc = self.start_at(terminal, term, self.port.path)
                self.assertEqual(self.port.wait_for(1), b"w")
                self.assertTrue(wait_until(lambda: len(os.listdir(self.work.name)) == 2))
                # Before the first sample: the count, and no angles that would pass for data.
                row = lambda: terminal.rows()[terminal.screen.cursor.y]  # noqa: E731
                self.assertTrue(wait_until(lambda: re.search(r" 0 (samples|smp) ", row()), 10),
                                "\n".join(terminal.rows()))
                self.assertNotIn("phi", row())
                board = self.board()
                messages = ["Varnel-Gyrelle Data Log App", self.logging_line()]
                top = 0
                for width in widths:
                    if width != terminal.screen.columns:
                        top = terminal.screen.cursor.y
                        messages = []
                        terminal.resize(width)
                    # Drawn whole for the new width: with the angles at 80 columns and more.
                    whole = WIDE if width >= 80 else NARROW
                    self.assertTrue(wait_until(
                        lambda: one_status_row(terminal, messages, top) and
                        whole.match(terminal.rows()[terminal.screen.cursor.y]), 10),
                        "\n".join(terminal.rows()))
                board.end()
                proc.stdin.write(b"\x03")
                proc.stdin.flush()
                self.assertEqual(proc.wait(10), 0)
                self.assertTrue(wait_until(lambda: "run summary" in "".join(terminal.rows())))
                rows = terminal.rows()[top:]
                self.assertFalse(any(STALE.search(row) for row in rows), "\n".join(rows))
                self.assertEqual(b"\x1b" in terminal.output(), term != "dumb")

    def kill_job(self):
        """A job the shell left behind when the test failed would go on reopening its port's
        name, which the next pseudo-terminal of that number takes."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/cwd").startswith(self.work.name) and \
                        os.readlink(f"/proc/{pid}/exe") == os.path.realpath(VGLOG):
                    os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass

    def test_the_readmes_simulator_recipe_ends_by_itself_apart_from_the_status_line(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
            readme = f.read()
        section = readme[readme.index("### Trying it without a board"):]
        recipe = re.search(r"^```sh\n(.*?)^```", section, re.MULTILINE | re.DOTALL).group(1)
        build = os.path.dirname(VGLOG)
        # As written, and without --samples: then vglog still draws its status line, waiting for
        # the board to come back, when the simulator says its last line.
        for bounded in (True, False):
            with self.subTest(bounded=bounded):
                work = tempfile.TemporaryDirectory(prefix="vglog-e2e-")
                self.addCleanup(work.cleanup)
                script = (recipe.replace("build/", build + "/")
                          .replace("/tmp/board", work.name + "/b")
                          .replace("--seconds 30", "--seconds 3")
                          .replace("--samples 3000", "--samples 300" if bounded else ""))
                self.assertEqual(script.count(work.name), 3, recipe)  # the recipe this test knows
                terminal = Terminal(80)
                proc = subprocess.Popen(
                    ["bash", "-c", script + "wait\n"], cwd=work.name, stdin=subprocess.PIPE,
                    stdout=terminal.slave, stderr=terminal.slave, start_new_session=True,
                    env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                         "TERM": "xterm-256color"},
                    preexec_fn=lambda: fcntl.ioctl(2, termios.TIOCSCTTY, 0))
                os.close(terminal.slave)
                self.addCleanup(lambda: proc.poll() is None and (
                    os.killpg(proc.pid, signal.SIGKILL), proc.wait()))
                self.addCleanup(proc.stdin.close)
                if not bounded:
                    def drawn_below_it():  # the status line, after the simulator's last line
                        rows = terminal.rows()
                        at = [i for i, row in enumerate(rows) if "vglog-sim:" in row]
                        return at and any(STATUS.match(row) for row in rows[at[0] + 1:])

                    self.assertTrue(wait_until(drawn_below_it, 30), "\n".join(terminal.rows()))
                    proc.stdin.write(b"\x03")
                    proc.stdin.flush()
                self.assertEqual(proc.wait(60), 0, "\n".join(terminal.rows()))
                logs = [n for n in os.listdir(work.name) if n.startswith("anglesAndAccels.")]
                with open(os.path.join(work.name, logs[0]), "rb") as f:
                    self.assertEqual(f.read().count(b"\r\n"), 301)  # the header, every sample
                self.assertTrue(wait_until(lambda: "run summary" in "".join(terminal.rows())))
                rows = terminal.rows()
                sim = [row for row in rows if "vglog-sim:" in row]
                self.assertEqual(len(sim), 1, "\n".join(rows))
                self.assertTrue(sim[0].startswith("vglog-sim: sent "), "\n".join(rows))

    def test_a_background_run_draws_nothing_until_fg(self):
        pid, master = pty.fork()
        if pid == 0:
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TERM": "xterm", "PS1": "$ ",
                   "HOME": os.environ.get("HOME", "/")}
            os.execvpe("bash", ["bash", "--norc", "--noprofile", "-i"], env)
        self.addCleanup(lambda: (os.kill(pid, signal.SIGKILL), os.waitpid(pid, 0)))
        terminal = Terminal(80, master=master)
        self.assertTrue(wait_until(lambda: "$" in "".join(terminal.rows())))
        os.write(master, f"cd {self.work.name} && {VGLOG} {self.port.path} &\n".encode())
        self.assertEqual(self.port.wait_for(1), b"w")
        self.addCleanup(self.kill_job)
        self.board()
        self.assertTrue(wait_until(lambda: len(os.listdir(self.work.name)) == 2))
        messages = ["Varnel-Gyrelle Data Log App", self.logging_line()]
        samples = [n for n in os.listdir(self.work.name) if n.startswith("anglesAndAccels")][0]
        # Three status periods' worth of samples logged in the background...
        self.assertTrue(wait_until(lambda: open(os.path.join(self.work.name, samples),
                                                "rb").read().count(b"\n") > 15, 10))
        self.assertNotIn(b"\x1b[?7l", terminal.output(), "no status line drawn")
        self.assertTrue(whole_messages(terminal.rows(), messages), "\n".join(terminal.rows()))
        # ...and at the front again it is drawn below what the shell wrote.
        os.write(master, b"fg\n")
        self.assertTrue(wait_until(lambda: one_status_row(terminal, messages), 10),
                        "\n".join(terminal.rows()))
        os.write(master, b"\x03")
        self.assertTrue(wait_until(lambda: "run summary" in "".join(terminal.rows()), 10))
        self.assertFalse(any(STALE.search(row) for row in terminal.rows()))

    def test_a_replay_shows_its_progress_until_the_end(self):
        fifo = os.path.join(self.work.name, "capture")  # of unknown size: bytes read and rate
        os.mkfifo(fifo)
        terminal = Terminal(80)
        proc = self.start_at(terminal, "xterm", "--replay", fifo)
        stream = b"".join(angle_accel(i) for i in range(200))
        with open(fifo, "wb") as writer:

            def progress_shown():
                writer.write(stream)
                writer.flush()
                return PROGRESS.match(terminal.rows()[terminal.screen.cursor.y]) is not None

            self.assertTrue(wait_until(progress_shown, 10, 0.1), "\n".join(terminal.rows()))
        self.assertEqual(proc.wait(10), 0)
        self.assertTrue(wait_until(lambda: "run summary" in "".join(terminal.rows())))
        self.assertFalse(any(PROGRESS.search(row) for row in terminal.rows()), "gone at the end")


class NoiseWarning(unittest.TestCase):
    def test_bytes_without_packets_are_reported_once_until_packets_flow(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = Run([port.path])
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        warning = b"no packets from " + port.path.encode() + b" for 5 s, only noise ("

        def warnings(n):
            return bytes(run.output["stderr"]).count(warning) >= n

        noise = Board(port, noise=True)
        noise.start()
        self.addCleanup(noise.end)
        start = time.monotonic()
        self.assertTrue(wait_until(lambda: warnings(1), 10))
        self.assertGreaterEqual(time.monotonic() - start, 4.5)
        self.assertFalse(wait_until(lambda: warnings(2), 1.5), "said once")
        noise.end()
        # Enough packets that the noise read with them is a small part.
        port.send(b"".join(angle_accel(i) for i in range(30)))
        self.assertTrue(wait_until(
            lambda: run.log_named("anglesAndAccels").count(b"\n") == 31, 10))
        noise = Board(port, noise=True)
        noise.start()
        self.addCleanup(noise.end)
        self.assertTrue(wait_until(lambda: warnings(2), 10), "again after packets flowed")
        noise.end()
        run.signal(signal.SIGTERM)
        status, _, err = run.finish()
        self.assertEqual(status, 0)
        self.assertNotIn(b"no data from", err, "bytes did arrive")
        self.assertIn(b"115200 baud", err)


if __name__ == "__main__":
    unittest.main()
