"""The board comes and goes and the operator watches: reconnection, the status line, the warning
about a silent board, the summary, the port listing and the forms of the port argument."""

import fcntl
import grp
import os
import re
import resource
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

from expected_logs import SAMPLES_HEADER, expected_logs, frame
from harness import OPEN_FAILED, PROMPT, VGLOG, FakePort, Run, wait_until

READ_FAILED = re.compile(rb"Can't read SIO driver \(ERR[23]\)\r\n")


def angle_accel(sample, phi=0.0):
    """An AngleAccel packet whose phi field is phi radians (T24: value * 256 in the top bytes)."""
    raw = int(round(phi * 65536 / 256)) & 0xFFFFFF
    body = struct.pack(">H", sample) + raw.to_bytes(3, "big") + bytes(range(1, 35))
    return bytes([0x24, 3 + len(body), 10]) + body


def other(kind, fill):
    return bytes([0x24, 16, kind]) + bytes([fill]) * 13


def counts(stream):
    """What the summary must report for a stream: samples, quaternions, vectors, others."""
    kinds = [p[2] for p in frame(stream)]
    return (kinds.count(10), kinds.count(2), sum(kinds.count(k) for k in (7, 8, 9)),
            sum(1 for k in kinds if k not in (2, 7, 8, 9, 10)))


class Board:
    """The board's device as a symlink the test re-points, as a replugged adapter would appear."""

    def __init__(self, test, prepare=None):
        self.dir = tempfile.TemporaryDirectory(prefix="vglog-board-")
        test.addCleanup(self.dir.cleanup)
        os.chmod(self.dir.name, 0o755)  # reachable for a run as another user
        self.path = os.path.join(self.dir.name, "board")
        self.port = None
        self.plug(prepare)
        test.addCleanup(self.unplug)

    def plug(self, prepare=None):
        """A new terminal under the path; prepare(port) runs before the path names it."""
        self.port = FakePort()
        if prepare:
            prepare(self.port)
        tmp = self.path + ".new"
        os.symlink(self.port.path, tmp)
        os.replace(tmp, self.path)

    def unplug(self):
        """The link goes first, as a real by-id link goes with its device: the closed terminal's
        number is free at once for another terminal (another test's shell), which a retry must
        never reach through a stale link."""
        if os.path.lexists(self.path):
            os.unlink(self.path)
        if self.port:
            self.port.close()
            self.port = None


def said(run, text):
    return text in bytes(run.output["stderr"])


def summary_numbers(err):
    m = re.search(rb"run summary: \d+:\d\d:\d\d, (\d+) samples logged\n"
                  rb"  other packets: (\d+) quaternion, (\d+) vector, (\d+) other \(misc log\)\n"
                  rb"  bytes skipped as noise: (\d+); ring drops: (\d+); cut packets dropped: "
                  rb"(\d+)\n  link losses: (\d+), time lost: (\d+):(\d\d):(\d\d)\n", err)
    assert m, err
    return [int(g) for g in m.groups()]


class LinkLossAndReturn(unittest.TestCase):
    def start(self, board, *args, **kwargs):
        run = Run([*args, board.path], **kwargs)
        self.addCleanup(run.close)
        self.assertEqual(board.port.wait_for(1), b"w")
        self.assertTrue(wait_until(lambda: len(run.files()) == (3 if "--raw" in args else 2)))
        return run

    def logged(self, run, stream):
        """True once the run's logs hold exactly the model's logs for the stream."""
        expected = expected_logs(stream)[:2]
        return wait_until(lambda: (run.log_named("anglesAndAccels"), run.log_named("misc")) ==
                          expected)

    def test_unplug_and_replug_loses_only_the_cut_packet(self):
        board = Board(self)
        run = self.start(board, "--raw")  # the capture goes on across the loss
        before = (angle_accel(1, 0.5) + b"noise" + other(2, 1) + angle_accel(2) + other(7, 2) +
                  other(0x33, 0x41))
        cut = angle_accel(3)[:20]
        board.port.send(before + cut)
        self.assertTrue(wait_until(lambda: run.log_named("raw") == before + cut),
                        "read by vglog before the line goes")
        board.unplug()
        lost = b"link lost: " + board.path.encode()
        self.assertTrue(wait_until(lambda: said(run, b"; waiting for it to come back\n")))
        time.sleep(1.5)  # a retry or two meets no device
        board.plug()
        self.assertEqual(board.port.wait_for(1), b"w", "the start byte again")
        after = angle_accel(4, -1.25) + other(0x40, 0x5C) + angle_accel(5)
        board.port.send(after)
        self.assertTrue(self.logged(run, before + after))
        run.send_key(b"\x03")
        status, out, err = run.finish()
        self.assertEqual(status, 0, err)

        samples, misc, _ = expected_logs(before + after)
        self.assertEqual(run.log_named("anglesAndAccels"), samples)
        self.assertEqual(run.log_named("misc"), misc)
        self.assertEqual(run.log_named("raw"), before + cut + after, "every byte, no mark")
        self.assertEqual(len(READ_FAILED.findall(out)), 1, out)
        self.assertEqual(err.count(lost), 1, err)
        self.assertRegex(err, rb"link back after [1-9]\d* s\n")
        self.assertEqual(err.count(b"link back"), 1, err)
        n = summary_numbers(err)
        self.assertEqual(n[:4], list(counts(before + after)))
        self.assertEqual(n[4:8], [len(b"noise"), 0, 1, 1])  # noise, ring drops, cut, losses
        self.assertGreaterEqual(n[8] * 3600 + n[9] * 60 + n[10], 1)
        for name in run.files():
            self.assertIn(b"%s: %d bytes" % (name.encode(), len(run.read_file(name))), err)

    def test_no_reconnect_ends_the_run_with_status_3(self):
        board = Board(self)
        run = self.start(board, "--no-reconnect")
        board.port.send(angle_accel(9))
        self.assertTrue(self.logged(run, angle_accel(9)))
        board.unplug()
        status, out, err = run.finish()
        self.assertEqual(status, 3, err)
        self.assertEqual(len(READ_FAILED.findall(out)), 1, out)
        self.assertRegex(err, rb"(^|\n)link lost: " + re.escape(board.path.encode()) +
                         rb": [^;\n]+; ending the run \(--no-reconnect\)\n")
        self.assertNotIn(b"waiting", err)
        self.assertEqual(run.log_named("anglesAndAccels"),
                         expected_logs(angle_accel(9))[0])
        self.assertIn(b"run summary", err)

    def test_waiting_for_a_lost_board_costs_no_cpu(self):
        board = Board(self)
        run = self.start(board)
        board.unplug()
        self.assertTrue(wait_until(lambda: said(run, b"waiting for it to come back")))
        before = run.cpu_seconds()
        time.sleep(3.0)
        self.assertLess(run.cpu_seconds() - before, 0.05, "the wait must sleep, not spin")
        self.assertIsNone(run.proc.poll())

    def test_retries_say_why_the_device_is_not_taken_back(self):
        # Root opens whatever the permissions say: the run goes as another user to be refused.
        as_root = os.geteuid() == 0

        def as_nobody():
            os.setgid(65534)
            os.setuid(65534)

        def permit(port, allowed=True):
            os.chmod(port.path, 0o666 if allowed else (0o600 if as_root else 0))

        board = Board(self, prepare=permit)
        run = self.start(board, prepare=lambda d: os.chmod(d, 0o777),
                         preexec_fn=as_nobody if as_root else None)
        board.unplug()
        self.assertTrue(wait_until(lambda: said(run, b"waiting for it to come back")))

        holder = None

        def held(port):  # another program has it, as a second logger would
            nonlocal holder
            permit(port)
            holder = os.open(port.path, os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)

        board.plug(held)
        lost = b"link lost: " + board.path.encode() + b": still waiting: "
        busy = lost + b"the device is in use by another program\n"
        denied = lost + b"permission denied (is your user in the dialout group?)\n"
        self.assertTrue(wait_until(lambda: said(run, busy)), bytes(run.output["stderr"]))
        time.sleep(2.5)  # more retries for the same reason say nothing more
        permit(board.port, False)
        os.close(holder)
        self.assertTrue(wait_until(lambda: said(run, denied)), bytes(run.output["stderr"]))
        permit(board.port)
        self.assertEqual(board.port.wait_for(1), b"w", "taken back once it may")
        stream = angle_accel(1) + other(0x33, 0x41)
        board.port.send(stream)
        self.assertTrue(self.logged(run, stream))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual([err.count(busy), err.count(denied), err.count(b"link back")], [1, 1, 1])
        self.assertLess(err.index(busy), err.index(denied))
        self.assertLess(err.index(denied), err.index(b"link back"))

    def test_another_device_under_the_path_is_not_taken(self):
        usb = {"idVendor": "1a2b", "idProduct": "0042", "product": "Board", "serial": "SN77"}
        ports = {"ttyUSB0": ("usb-serial", None, usb, None),
                 "ttyUSB1": ("usb-serial", None, dict(usb, serial="SN78"), None)}
        root = tempfile.TemporaryDirectory()
        self.addCleanup(root.cleanup)
        env = dict(os.environ, **make_tree(root.name, ports))
        char = os.path.join(env["VGLOG_SYS_ROOT"], "dev", "char")
        os.makedirs(char)

        def seen_as(name):
            """The made-up sysfs entry of the terminal's device number, as the kernel's for a
            USB adapter's."""
            def prepare(port):
                rdev = os.stat(port.path).st_rdev
                entry = os.path.join(char, f"{os.major(rdev)}:{os.minor(rdev)}")
                if os.path.lexists(entry):
                    os.unlink(entry)
                os.symlink(os.path.join(env["VGLOG_SYS_ROOT"], "class", "tty", name), entry)
            return prepare

        board = Board(self, prepare=seen_as("ttyUSB0"))
        run = self.start(board, env=env)
        before = angle_accel(1)
        board.port.send(before)
        self.assertTrue(self.logged(run, before))
        board.unplug()
        self.assertTrue(wait_until(lambda: said(run, b"waiting for it to come back")))
        board.plug(seen_as("ttyUSB1"))  # another adapter of the same kind takes the name
        refused = (b"link lost: " + board.path.encode() + b": still waiting: another device is "
                   b"there now, Board (1a2b:0042, serial SN78), not the one this run began with, "
                   b"Board (1a2b:0042, serial SN77)\n")
        self.assertTrue(wait_until(lambda: said(run, refused)), bytes(run.output["stderr"]))
        self.assertEqual(board.port.read_available(wait=1.5), b"", "nothing sent to it")
        board.unplug()
        board.plug(seen_as("ttyUSB0"))
        self.assertEqual(board.port.wait_for(1), b"w", "the board is taken back")
        after = angle_accel(2) + other(0x40, 0x5C)
        board.port.send(after)
        self.assertTrue(self.logged(run, before + after))
        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(err.count(refused), 1, err)
        self.assertEqual(err.count(b"link back"), 1, err)


class WhatTheOperatorSees(unittest.TestCase):
    def test_status_line_only_at_a_terminal_and_not_when_quiet(self):
        for terminal, quiet, shown in [(True, False, True), (True, True, False),
                                       (False, False, False)]:
            with self.subTest(terminal=terminal, quiet=quiet):
                port = FakePort()
                self.addCleanup(port.close)
                console = FakePort(raw=False)
                self.addCleanup(console.close)
                kwargs = {"env": {**os.environ, "TERM": "xterm"}}  # a terminal with escapes
                if terminal:
                    slave = os.open(console.path, os.O_RDWR | os.O_NOCTTY)
                    self.addCleanup(os.close, slave)
                    kwargs["stderr"] = slave
                run = Run((["-q"] if quiet else []) + [port.path], **kwargs)
                self.addCleanup(run.close)
                self.assertEqual(port.wait_for(1), b"w")
                stream = angle_accel(1, 0.75) + angle_accel(2, 1.5)
                port.send(stream)
                pattern = rb"\r\x1b\[K(\d+:\d\d:\d\d link up \| 2 samples [^\r\n]*)"
                seen = bytearray()

                def on_console(what):
                    if terminal:
                        seen.extend(console.read_available())
                    return re.search(what, seen) is not None

                self.assertTrue(wait_until(lambda: len(run.files()) == 2 and run.log_named(
                    "anglesAndAccels") == expected_logs(stream)[0]))
                if shown:
                    self.assertTrue(wait_until(lambda: on_console(pattern)), bytes(seen))
                else:
                    time.sleep(1.0)  # two status periods, for a line that must not come
                run.send_key(b"\x03")
                status, _, err = run.finish()
                self.assertEqual(status, 0)
                if terminal:
                    self.assertTrue(wait_until(lambda: on_console(rb"run summary")), bytes(seen))
                    err = bytes(seen)
                self.assertIn(b"run summary", err)
                line = re.search(pattern, err)
                self.assertEqual(line is not None, shown, err)
                if shown:
                    self.assertIn(b"phi 1.500 ", line.group(1), "the latest angles")
                self.assertNotIn(b"link up", run.log_named("anglesAndAccels"))

    def test_a_silent_board_is_reported_once_until_bytes_flow(self):
        port = FakePort()
        self.addCleanup(port.close)
        run = Run([port.path])
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        warning = b"no data from " + port.path.encode()
        err = b""

        def warnings_reach(n):
            nonlocal err
            err = bytes(run.output["stderr"])  # read as the run goes
            return err.count(warning) >= n

        start = time.monotonic()
        self.assertTrue(wait_until(lambda: warnings_reach(1), timeout=30))
        self.assertGreaterEqual(time.monotonic() - start, 4.5)
        self.assertFalse(wait_until(lambda: warnings_reach(2), timeout=1.5), "said once")
        port.send(angle_accel(1))
        self.assertTrue(wait_until(lambda: warnings_reach(2), timeout=30), "again after data")
        self.assertIn(b"115200 baud", err)


def make_tree(root, ports):
    """A made-up sysfs and /dev: ports maps tty names to (driver, type, usb attributes, by-id)."""
    sys_tty = os.path.join(root, "sys", "class", "tty")
    os.makedirs(sys_tty)
    os.makedirs(os.path.join(root, "dev", "serial", "by-id"))
    for name, (driver, uart_type, usb, by_id) in ports.items():
        usb_dev = os.path.join(root, "sys", "devices", "bus", name + "-usb")
        port_dir = os.path.join(usb_dev, "1.0", name + "-port")
        tty_dir = os.path.join(port_dir, "tty", name)
        os.makedirs(tty_dir)
        if driver:
            os.makedirs(os.path.join(root, "sys", "bus", driver), exist_ok=True)
            os.symlink(os.path.join(root, "sys", "bus", driver),
                       os.path.join(port_dir, "driver"))
            os.symlink("../..", os.path.join(tty_dir, "device"))
        if uart_type is not None:
            with open(os.path.join(tty_dir, "type"), "w") as f:
                f.write(uart_type + "\n")
        for attr, value in (usb or {}).items():
            with open(os.path.join(usb_dev, attr), "w") as f:
                f.write(value + "\n")
        os.symlink(os.path.relpath(tty_dir, sys_tty), os.path.join(sys_tty, name))
        if by_id:
            os.symlink("../../" + name, os.path.join(root, "dev", "serial", "by-id", by_id))
    return {"VGLOG_SYS_ROOT": os.path.join(root, "sys"),
            "VGLOG_DEV_ROOT": os.path.join(root, "dev")}


class FindingThePort(unittest.TestCase):
    USB = {"idVendor": "1a2b", "idProduct": "0042", "manufacturer": "Maker", "product": "Board",
           "serial": "SN77"}
    PORTS = {
        "ttyUSB0": ("usb-serial", None, USB, "usb-Maker_Board_SN77-if00-port0"),
        "ttyACM10": ("cdc_acm", None, None, None),
        "ttyACM2": ("cdc_acm", None, None, None),
        "ttyS0": ("serial8250", "4", None, None),
        "ttyS1": ("serial8250", "0", None, None),  # no UART behind it
        "tty0": (None, None, None, None),  # a virtual terminal: no driver
    }

    def made_up_tree(self, ports):
        root = tempfile.TemporaryDirectory()
        self.addCleanup(root.cleanup)
        return dict(os.environ, **make_tree(root.name, ports))

    def test_list_puts_the_adapter_first_under_its_by_id_name(self):
        env = self.made_up_tree(self.PORTS)
        dev = env["VGLOG_DEV_ROOT"]
        by_id = f"{dev}/serial/by-id/usb-Maker_Board_SN77-if00-port0"
        expected = (f"{dev}/ttyUSB0  {by_id}  Maker (1a2b)  Board (0042)  SN77\n"
                    f"{dev}/ttyACM2\n{dev}/ttyACM10\n{dev}/ttyS0\n").encode()
        out = subprocess.run([VGLOG, "--list"], env=env, capture_output=True,
                             stdin=subprocess.DEVNULL)
        self.assertEqual((out.returncode, out.stdout), (0, expected), out.stderr)

        out = subprocess.run([VGLOG, "--list"], env=self.made_up_tree({}), capture_output=True,
                             stdin=subprocess.DEVNULL)
        self.assertEqual((out.returncode, out.stdout), (0, b""))
        self.assertIn(b"no serial ports", out.stderr)

    def test_what_follows_a_failed_open_depends_on_why(self):
        """Only a device that is not there gets the list; a busy or refused one is the right
        port, and gets what to do about it instead."""
        env = self.made_up_tree(self.PORTS)
        dev = env["VGLOG_DEV_ROOT"]
        busy = FakePort()
        self.addCleanup(busy.close)
        held = os.open(busy.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, held)
        fcntl.flock(held, fcntl.LOCK_EX)  # as another logger holds it
        refused = FakePort()
        self.addCleanup(refused.close)
        drop = None
        if os.geteuid() == 0:  # root is never refused: be nobody, the device for dialout alone
            os.chown(refused.path, 0, grp.getgrnam("dialout").gr_gid)
            os.chmod(refused.path, 0o660)

            def drop():
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
        else:
            os.chmod(refused.path, 0)
        listing = f"  {dev}/ttyUSB0  {dev}/serial/by-id/usb-Maker".encode()
        example = f"for example: vglog {dev}/serial/by-id/usb-Maker_Board_SN77-if00-port0\n"
        cases = [
            ("ttyMISSING", None, [b"No such file or directory", listing, example.encode()]),
            (busy.path, None, [b"the device is in use by another program"]),
            (refused.path, drop, [b"Permission denied", b"group dialout",
                                  b"\n  sudo usermod -aG dialout $USER\n", b"log out and back in"]),
        ]
        for port, preexec, wanted in cases:
            with self.subTest(port=port):
                run = Run([port], stdin=subprocess.DEVNULL, env=env, preexec_fn=preexec)
                self.addCleanup(run.close)
                status, stdout, err = run.finish()
                self.assertEqual(status, 1)
                self.assertTrue(stdout.endswith(OPEN_FAILED))
                for text in wanted:
                    self.assertIn(text, err)
                self.assertEqual(b"Pass one of them" in err, port == "ttyMISSING", err)

        # No port named (after the prompt): how to name one, then the ports, adapters first;
        # the machine's own first port (often its console) is never the example.
        usage = b"\nUsage: vglog [OPTIONS] PORT\nSerial ports on this machine:\n"
        only_uarts = {"ttyS0": self.PORTS["ttyS0"]}
        for tree, wanted, example in [(self.PORTS, b"/ttyUSB0  ", True),
                                      (only_uarts, b"/ttyS0\n", False)]:
            with self.subTest(prompted=sorted(tree)):
                run = Run([], stdin=subprocess.DEVNULL, env=self.made_up_tree(tree))
                self.addCleanup(run.close)
                status, stdout, err = run.finish()
                self.assertEqual(status, 1)
                self.assertTrue(stdout.endswith(PROMPT + OPEN_FAILED), stdout)
                self.assertIn(usage, err)
                self.assertLess(err.index(usage), err.index(wanted), err)
                self.assertEqual(b"for example: vglog " in err, example, err)

    def test_a_listing_that_fails_says_so(self):
        """Out of file descriptors (or without the system's device folder) the listing must not
        pass for a machine without ports, nor for a short list."""
        env = self.made_up_tree(self.PORTS)
        full = subprocess.run([VGLOG, "--list"], env=env, capture_output=True,
                              stdin=subprocess.DEVNULL).stdout
        outcomes = set()
        for limit in range(4, 10):
            with self.subTest(limit=limit):
                out = subprocess.run(
                    [VGLOG, "--list"], env=env, capture_output=True, stdin=subprocess.DEVNULL,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
                if out.returncode == 0:
                    self.assertEqual(out.stdout, full)
                else:
                    self.assertEqual((out.returncode, out.stdout), (1, b""))
                    self.assertRegex(out.stderr, rb"^vglog: cannot list the serial ports: "
                                                 rb"cannot read .*: Too many open files\n$")
                outcomes.add(out.returncode)
        self.assertEqual(outcomes, {0, 1}, "some limit too low to list, some enough")

        shutil.rmtree(os.path.join(env["VGLOG_SYS_ROOT"], "class", "tty"))
        open(os.path.join(env["VGLOG_SYS_ROOT"], "class", "tty"), "w").close()
        out = subprocess.run([VGLOG, "--list"], env=env, capture_output=True,
                             stdin=subprocess.DEVNULL)
        self.assertEqual((out.returncode, out.stdout), (1, b""))
        self.assertIn(b"cannot list the serial ports: cannot read ", out.stderr)
        run = Run(["ttyMISSING"], stdin=subprocess.DEVNULL, env=env)
        self.addCleanup(run.close)
        status, _, err = run.finish()
        self.assertEqual(status, 1)
        self.assertIn(b"The serial ports could not be listed: cannot read ", err)
        self.assertNotIn(b"shows no serial ports", err)

    def test_argument_forms(self):
        port = FakePort()
        self.addCleanup(port.close)
        with tempfile.TemporaryDirectory() as dev:
            os.symlink(port.path, os.path.join(dev, "ttyFAKE0"))
            os.symlink(port.path, os.path.join(dev, "üsb0"))
            env = dict(os.environ, VGLOG_DEV_ROOT=dev)
            relative = os.path.join("..", os.path.relpath(os.path.join(dev, "ttyFAKE0"),
                                                          tempfile.gettempdir()))
            # A name that begins with a letter beyond ASCII is a name too, not port number 0.
            for arg in ["ttyFAKE0", "üsb0", relative, os.path.join(dev, "ttyFAKE0")]:
                with self.subTest(arg=arg):
                    run = Run([arg], env=env)
                    self.addCleanup(run.close)
                    self.assertEqual(port.wait_for(1), b"w", "opened the board")
                    run.send_key(b"\x03")
                    self.assertEqual(run.finish()[0], 0)
        try_help = b"Try 'vglog --help' for more information.\r\n"
        for args, status, stderr in [
                (["-x"], 2, b"vglog: unknown option '-x'\r\n" + try_help),
                (["--quite", "3"], 2,
                 b"vglog: unknown option '--quite'; did you mean '--quiet'?\r\n" + try_help),
                (["3", "--raw-file"], 2, b"vglog: --raw-file needs a file name\r\n" + try_help),
                (["--list", "3"], 2, b"vglog: --list stands alone: unexpected '3'\r\n" + try_help),
                (["-h"], 0, b""), (["-V"], 0, b"")]:
            with self.subTest(args=args):
                out = subprocess.run([VGLOG, *args], capture_output=True,
                                     stdin=subprocess.DEVNULL)
                self.assertEqual(out.returncode, status)
                self.assertEqual(out.stderr, stderr)


if __name__ == "__main__":
    unittest.main()
