"""Start-up, argument handling and every way a run ends, with the real vglog binary."""

import fcntl
import os
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from expected_logs import SAMPLES_HEADER, sample_line
from harness import (BANNER, OPEN_FAILED, PROMPT, VGLOG, FakePort, Run, project_version,
                     start_logging, wait_until)

HEADER_START = b"Sample      Phi"
TIOCGEXCL = 0x80045440


class StartupFailures(unittest.TestCase):
    def check_open_failure(self, args, stdin=subprocess.DEVNULL, prompt=False,
                           reason=b"Error: Unable to open the port", **kwargs):
        run = Run(args, stdin=stdin, **kwargs)
        try:
            start = time.monotonic()
            status, out, err = run.finish(timeout=20)
            # At once, not after the prompt's 5 s poll (with room for a busy machine).
            self.assertLess(time.monotonic() - start, 4.0)
            self.assertEqual(status, 1)
            m = BANNER.match(out)
            self.assertIsNotNone(m, out)
            rest = out[m.end():]
            self.assertEqual(rest, (PROMPT if prompt else b"") + OPEN_FAILED)
            self.assertIn(reason, err)
            self.assertEqual(run.files(), [], "no log may be created")
        finally:
            run.close()

    def test_port_arguments_that_name_no_port(self):
        for arg in ["0", "abc", "65536"]:
            with self.subTest(arg=arg):
                self.check_open_failure([arg])

    def test_missing_or_extra_arguments_prompt_then_fail_when_input_is_at_end(self):
        for args in [[], ["3", "4"]]:
            with self.subTest(args=args):
                self.check_open_failure(args, prompt=True)

    def test_prompt_wait_ends_at_once_when_input_is_closed(self):
        self.check_open_failure([], stdin=None, prompt=True,
                                preexec_fn=lambda: os.close(0))

    def test_missing_device_path(self):
        self.check_open_failure(["/nonexistent/tty"])

    def test_a_regular_file_is_no_serial_port(self):
        with tempfile.NamedTemporaryFile() as f:
            self.check_open_failure([f.name], reason=b"Error: Unable to configure the serial port")

    def test_help_and_version(self):
        out = subprocess.run([VGLOG, "--help"], capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(out.returncode, 0)
        self.assertIn(b"Usage: vglog [OPTIONS] PORT", out.stdout)
        out = subprocess.run([VGLOG, "--version"], capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(out.returncode, 0)
        # The banner stays as it was; the release number the build was configured with follows.
        banner = BANNER.match(out.stdout)
        self.assertIsNotNone(banner, out.stdout)
        release = b"vglog " + project_version().encode() + b"\r\n"
        self.assertEqual(out.stdout[banner.end():], release)


class RunEndings(unittest.TestCase):
    """A run against a pseudo-terminal, ended every way the operator or the system can end it."""

    def setUp(self):
        self.port = FakePort()
        # Closed after the run is (cleanups go last first): a run that outlived its board would
        # retry the closed terminal's number, which another terminal may take.
        self.addCleanup(self.port.close)

    def start(self, **kwargs):
        return start_logging(self, self.port, **kwargs)

    def operator_terminal(self):
        """A terminal as a shell leaves it, and the start-up step that makes it the child's
        controlling terminal (so Ctrl+C typed there becomes SIGINT)."""
        console = FakePort(raw=False)
        self.addCleanup(console.close)
        slave = os.open(console.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, slave)

        def own_terminal():
            os.setsid()
            os.close(os.open(console.path, os.O_RDWR))

        return console, slave, own_terminal

    def check_clean_end(self, run, status, out):
        self.assertEqual(status, 0)
        self.assertIsNotNone(BANNER.fullmatch(out), out)
        self.assertTrue(run.log_named("anglesAndAccels").startswith(HEADER_START))
        self.assertEqual(self.port.read_available(), b"", "exactly one start byte")

    def test_exit_key_on_a_pipe_after_other_keys(self):
        run = self.start()
        run.send_key(b"qx\n")
        time.sleep(0.1)
        self.assertIsNone(run.proc.poll(), "other keys are ignored")
        run.send_key(b"\x03")
        status, out, _ = run.finish()
        self.check_clean_end(run, status, out)

    def test_a_second_logger_on_the_same_port_is_refused(self):
        run = self.start()
        # Root opens a device marked exclusive all the same, and the lock refuses it; its way
        # out must leave the first logger's mark alone.
        held = os.open(self.port.path, os.O_RDWR | os.O_NOCTTY) if os.geteuid() == 0 else None
        if held is not None:
            self.addCleanup(os.close, held)

        def exclusive():
            return held is None or fcntl.ioctl(held, TIOCGEXCL, b"\0" * 4) != b"\0" * 4

        self.assertTrue(exclusive())
        second = Run([self.port.path], stdin=subprocess.DEVNULL)
        self.addCleanup(second.close)
        status, out, err = second.finish()
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(OPEN_FAILED), out)
        self.assertIn(b"Error: Unable to open the port", err)
        self.assertEqual(second.files(), [])
        self.assertEqual(self.port.read_available(), b"", "the refused logger sent nothing")
        self.assertTrue(exclusive(), "the first logger's exclusive use")

        packet = bytes([0x24, 42, 10, 0, 7]) + bytes(range(37))  # the first keeps logging
        self.port.send(packet)
        self.assertTrue(wait_until(lambda: run.log_named("anglesAndAccels") ==
                                   SAMPLES_HEADER + sample_line(packet)))
        run.send_key(b"\x03")
        status, out, _ = run.finish()
        self.check_clean_end(run, status, out)
        self.assertEqual(run.log_named("anglesAndAccels"), SAMPLES_HEADER + sample_line(packet))

    def test_signals_end_the_run_like_the_exit_key(self):
        for sig in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]:
            with self.subTest(sig=sig):
                run = self.start()
                run.signal(sig)
                status, out, _ = run.finish()
                self.check_clean_end(run, status, out)

    def test_end_of_input_neither_ends_the_run_nor_spins(self):
        run = self.start()
        run.proc.stdin.close()
        run.proc.stdin = None
        before = run.cpu_seconds()
        time.sleep(1.0)
        self.assertIsNone(run.proc.poll())
        self.assertLess(run.cpu_seconds() - before, 0.1, "an idle run must not busy-wait")
        run.signal(signal.SIGTERM)
        status, out, _ = run.finish()
        self.check_clean_end(run, status, out)

    def test_ctrl_c_at_a_terminal_and_the_terminal_restored(self):
        console, slave, own_terminal = self.operator_terminal()
        before = termios.tcgetattr(slave)
        run = self.start(stdin=slave, preexec_fn=own_terminal)
        self.assertTrue(wait_until(lambda: termios.tcgetattr(slave)[3] != before[3]),
                        "the console takes single keys")
        console.send(b"a\x03")  # the terminal turns Ctrl+C into SIGINT
        status, out, _ = run.finish()
        self.check_clean_end(run, status, out)
        self.assertEqual(termios.tcgetattr(slave), before)

    def test_terminal_restored_after_a_failed_start(self):
        console, slave, own_terminal = self.operator_terminal()
        before = termios.tcgetattr(slave)
        run = Run([], stdin=slave, preexec_fn=own_terminal)
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: PROMPT in bytes(run.output["stdout"])))
        console.send(b"k")  # ends the prompt's wait; the open of port 0 then fails
        status, out, _ = run.finish()
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(PROMPT + OPEN_FAILED), out)
        self.assertEqual(termios.tcgetattr(slave), before)


if __name__ == "__main__":
    unittest.main()
