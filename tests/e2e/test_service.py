"""The service in the field: a summary file that never shows an earlier run, the running record
and the service manager's notifications, set names through a clock that goes back, sets on the
clock's boundaries, --keep, a board absent at start, and the unit as installed."""

import calendar
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from expected_logs import SAMPLES_HEADER, expected_logs
from harness import BUILD_DIR, VGLOG_SIM, FakePort, Run, wait_until
from test_link import Board, angle_accel

STAMP = re.compile(r"^(anglesAndAccels|misc|raw|times)\.(\d{4}\w{3}\d\d-\d{6})(-\d+)?\."
                   r"(txt|bin|csv|bin\.times)$")
FAST_ROTATION = dict(os.environ, VGLOG_ROTATE_MIN_S="1")


def stamp_seconds(stamp):
    t = time.strptime(stamp, "%Y%b%d-%H%M%S")
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec


def sets_of(names):
    """The sets of files among names: {(stamp, suffix): [kinds]}."""
    sets = {}
    for name in names:
        m = STAMP.match(name)
        if m:
            sets.setdefault((m.group(2), m.group(3) or ""), []).append(m.group(1))
    return sets


def start_sim(test, seconds):
    work = tempfile.TemporaryDirectory(prefix="vglog-board-")
    test.addCleanup(work.cleanup)
    link = os.path.join(work.name, "board")
    record = os.path.join(work.name, "sent.bin")
    sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--record", record, "--linger", "90",
                            "--seconds", str(seconds), "--seed", "5"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.addCleanup(lambda: (sim.kill(), sim.wait()))
    test.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")
    return link, record


def read_json(path):
    with open(path) as f:
        return json.load(f)


class SummaryFile(unittest.TestCase):
    def small_disk(self):
        """A file system of 1 MiB of our own (root only), unmounted when the test ends."""
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        mount = tempfile.mkdtemp(prefix="vglog-disk-")
        self.addCleanup(os.rmdir, mount)
        out = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount],
                             capture_output=True)
        if out.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % out.stderr.decode().strip())
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        return mount

    @staticmethod
    def fill(mount, name="filler"):
        fd = os.open(os.path.join(mount, name), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        try:
            while True:
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass
        finally:
            os.close(fd)

    def test_a_full_disk_never_leaves_the_earlier_runs_summary(self):
        mount = self.small_disk()
        summary = os.path.join(mount, "summary.json")
        old = '{"exit_status": 0, "old": true}\n'
        port = FakePort()
        self.addCleanup(port.close)
        # Full at the start: the run does not start, and the earlier record is gone.
        with open(summary, "w") as f:
            f.write(old)
        self.fill(mount)
        run = Run(["--summary-json", summary, "-o", mount, port.path])
        self.addCleanup(run.close)
        status, _, err = run.finish(timeout=20)
        self.assertEqual(status, 1, err)
        self.assertIn(b"No space left on device", err)
        self.assertFalse(os.path.exists(summary) and open(summary).read() == old)
        self.assertEqual(sorted(os.listdir(mount)), ["filler"])
        # Room at the start, the disk full during the run: the final record is there all the
        # same, saying the run failed.
        # However short the rotation, the failed write ends the run.
        for rotation in [[], ["--rotate", "1s"]]:
            for name in os.listdir(mount):
                os.remove(os.path.join(mount, name))
            with open(summary, "w") as f:
                f.write(old)
            run = Run(["--summary-json", summary, "-o", mount, *rotation, port.path],
                      env=FAST_ROTATION)
            self.addCleanup(run.close)
            self.assertEqual(port.wait_for(1), b"w")
            self.assertTrue(wait_until(lambda: read_json(summary).get("state") == "running"))
            self.fill(mount)
            deadline = time.monotonic() + 30
            sent = 0
            while run.proc.poll() is None and time.monotonic() < deadline:
                sent += 1  # slowly: the files' buffers never fill between two rotations
                port.send(angle_accel(sent))
                time.sleep(0.05)
            status, _, err = run.finish(timeout=20)
            self.assertEqual(status, 1, err)
            doc = read_json(summary)
            self.assertEqual((doc["state"], doc["exit_status"]), ("ended", 1))
            self.assertFalse(os.path.exists(summary + ".tmp"))

    def test_running_record_refreshed_and_left_by_a_kill(self):
        port = FakePort()
        self.addCleanup(port.close)
        def prepare(d):
            with open(os.path.join(d, "s.json"), "w") as f:
                f.write("{}")
        run = Run(["--summary-json", "s.json", port.path], prepare=prepare)
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        path = os.path.join(run.dir.name, "s.json")
        self.assertTrue(wait_until(lambda: len(read_json(path)["files"]) == 2), "started")
        updates = set()
        sent = 0
        deadline = time.monotonic() + 25
        while len(updates) < 3 and time.monotonic() < deadline:
            port.send(b"".join(angle_accel(sent + i) for i in range(10)))
            sent += 10
            doc = read_json(path)  # whole at every read
            self.assertEqual(doc["state"], "running")
            self.assertEqual(doc["link"], "up")
            if doc["updated_utc"] is not None:
                updates.add(doc["updated_utc"])
            time.sleep(0.05)
        self.assertGreaterEqual(len(updates), 3, "refreshed within 10 s each time")
        stamps = sorted(calendar.timegm(time.strptime(u, "%Y-%m-%dT%H:%M:%SZ"))
                        for u in updates)
        self.assertTrue(all(b - a <= 10 for a, b in zip(stamps, stamps[1:])), stamps)
        self.assertTrue(wait_until(lambda: read_json(path)["samples"] > 0))
        self.assertEqual([f["path"].split(".")[0] for f in read_json(path)["files"]],
                         ["anglesAndAccels", "misc"])
        run.signal(signal.SIGKILL)
        run.finish()
        doc = read_json(path)
        self.assertEqual((doc["state"], doc["exit_status"]), ("running", None))

    def test_own_files_directories_and_planted_links(self):
        port = FakePort()
        self.addCleanup(port.close)
        cases = [  # arguments, status, what standard error says
            (["--summary-json", "misc.2026Dec09-101500.txt", port.path], 2,
             b"names one of the run's own files"),
            (["--raw-file", "cap.bin", "--summary-json", "cap.bin", port.path], 2,
             b"names one of the run's own files"),
            (["--summary-json", "folder", port.path], 1, b"Is a directory"),
        ]
        for args, expected, message in cases:
            with self.subTest(args=args):
                run = Run(args, prepare=lambda d: os.mkdir(os.path.join(d, "folder")))
                self.addCleanup(run.close)
                status, _, err = run.finish(timeout=10)
                self.assertEqual(status, expected, err)
                self.assertIn(message, err)
        # A usage error writes the summary wherever the switch stands; a planted link under
        # FILE.tmp is never written through.
        target = tempfile.NamedTemporaryFile(delete=False)
        self.addCleanup(os.remove, target.name)
        run = Run(["--bogus", "--summary-json", "s.json"],
                  prepare=lambda d: os.symlink(target.name, os.path.join(d, "s.json.tmp")))
        self.addCleanup(run.close)
        status, _, err = run.finish(timeout=10)
        self.assertEqual(status, 2, err)
        self.assertEqual(read_json(os.path.join(run.dir.name, "s.json"))["exit_status"], 2)
        self.assertEqual(os.path.getsize(target.name), 0)
        self.assertEqual(run.files(), ["s.json"])


class Notifications(unittest.TestCase):
    def test_ready_status_and_watchdog_reach_the_manager(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-notify-")
        self.addCleanup(work.cleanup)
        address = os.path.join(work.name, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(address)
        manager.settimeout(0.2)
        board = Board(self)
        env = dict(os.environ, NOTIFY_SOCKET=address, WATCHDOG_USEC="1000000")
        run = Run(["--quiet", board.path], env=env)
        self.addCleanup(run.close)
        self.assertEqual(board.port.wait_for(1), b"w")
        got = []

        def heard(predicate, timeout=20):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                if any(predicate(m) for m in got):
                    return True
                try:
                    got.extend(manager.recv(4096).decode().split("\n"))
                except socket.timeout:
                    pass
                if board.port:
                    board.port.send(angle_accel(len(got) % 65536))
            return False

        self.assertTrue(heard(lambda m: m == "READY=1"), got)
        self.assertTrue(heard(lambda m: re.fullmatch(r"STATUS=link up, [1-9]\d* samples, "
                                                     r"\d+\.\d/s", m) is not None), got)
        watchdogs = sum(m == "WATCHDOG=1" for m in got)
        self.assertTrue(heard(lambda m: sum(x == "WATCHDOG=1" for x in got) >= watchdogs + 3),
                        got)
        board.unplug()
        self.assertTrue(heard(lambda m: m.startswith("STATUS=link LOST: ")), got)
        run.signal()
        self.assertEqual(run.finish(timeout=10)[0], 0)


class SetNames(unittest.TestCase):
    def test_a_clock_that_goes_back_ends_no_run(self):
        """Local time falls back 10 s, 8 s after the zone is made (a zone file of our own): the
        names of the sets made after it are taken by the first ones, so they get a suffix (for
        a run that started up to 8 s late too)."""
        work = tempfile.TemporaryDirectory(prefix="vglog-zone-")
        self.addCleanup(work.cleanup)
        link, record = start_sim(self, 3)
        change = time.gmtime(time.time() + 8)
        with open(os.path.join(work.name, "zone"), "w") as f:
            f.write("Zone Test/Back 0:00:10 - TBA %s\n               0:00 - TBB\n"
                    % time.strftime("%Y %b %d %H:%M:%Su", change))
        subprocess.run(["zic", "-d", work.name, os.path.join(work.name, "zone")], check=True)
        env = dict(FAST_ROTATION, TZ=os.path.join(work.name, "Test", "Back"))
        run = Run(["--rotate", "2s", "--duration", "18", "--summary-json", "s.json", link],
                  env=env)
        self.addCleanup(run.close)
        status, _, err = run.finish(timeout=60)
        self.assertEqual(status, 0, err)
        sets = sets_of(run.files())
        suffixed = [s for s in sets if s[1]]
        self.assertTrue(suffixed, run.files())
        self.assertEqual(err.count(b"its names end in -2"), len(suffixed), err)
        self.assertTrue(all(sorted(kinds) == ["anglesAndAccels", "misc"]
                            for kinds in sets.values()), sets)
        # In the order written (the summary's), the samples logs make the one log.
        doc = read_json(os.path.join(run.dir.name, "s.json"))
        logs = [f["path"] for f in doc["files"] if f["path"].startswith("anglesAndAccels.")]
        self.assertEqual(len(logs), len(sets))
        with open(record, "rb") as f:
            samples = expected_logs(f.read())[0]
        self.assertEqual(SAMPLES_HEADER + b"".join(run.read_file(n)[len(SAMPLES_HEADER):]
                                                   for n in logs), samples)

    def test_sets_start_on_the_boundaries_and_keep_leaves_n(self):
        others = ["notes.txt", "misc.2020Jan01-000000.txt", "misc.2020Jan01-000000.txt.bak",
                  "anglesAndAccels.2020Jan01-00000.txt"]

        def prepare(d):
            for name in others:
                with open(os.path.join(d, name), "w") as f:
                    f.write("mine")
            os.mkdir(os.path.join(d, "anglesAndAccels.2020Jan02-000000.txt"))
            with open(os.path.join(d, "misc.2020Jan02-000000.txt"), "w") as f:
                f.write("with a folder beside it: not a set of ours")
        port = FakePort()
        self.addCleanup(port.close)
        run = Run(["--rotate", "3s", "--keep", "3", "--duration", "20", "--summary-json",
                   "s.json", port.path], env=FAST_ROTATION, prepare=prepare)
        self.addCleanup(run.close)
        self.assertEqual(port.wait_for(1), b"w")
        seen = set()
        deadline = time.monotonic() + 60
        while run.proc.poll() is None and time.monotonic() < deadline:
            seen.update(s for s in sets_of(run.files()) if not s[0].startswith("2020"))
            time.sleep(0.2)
        status, _, err = run.finish(timeout=10)
        self.assertEqual(status, 0, err)
        left = {s for s in sets_of(run.files()) if not s[0].startswith("2020")}
        seen |= left  # a set made just before the end may have come and the run gone between looks
        first = min(seen, key=lambda s: stamp_seconds(s[0]))
        self.assertGreaterEqual(len(seen), 7, seen)
        for stamp, _ in seen - {first}:
            self.assertEqual(stamp_seconds(stamp) % 3, 0, stamp)  # on the boundaries
        self.assertEqual(len(left), 3, run.files())
        self.assertEqual(sorted(left), sorted(seen, key=lambda s: stamp_seconds(s[0]))[-3:])
        for name in others + ["misc.2020Jan02-000000.txt"]:
            self.assertIn(name, run.files())
        self.assertTrue(os.path.isdir(os.path.join(run.dir.name,
                                                   "anglesAndAccels.2020Jan02-000000.txt")))
        deleted = err.count(b"--keep 3: deleted")
        self.assertEqual(deleted, len(seen) - 3, err)
        self.assertIn(b"  (%d earlier sets of files deleted under --keep)\n" % deleted, err)
        self.assertEqual(read_json(os.path.join(run.dir.name, "s.json"))["deleted_sets"],
                         deleted)


class AbsentAtStart(unittest.TestCase):
    def test_a_port_that_appears_later_is_logged(self):
        board = Board(self)
        board.unplug()
        run = Run(["--wait-for-port", "--summary-json", "s.json", board.path])
        self.addCleanup(run.close)
        self.assertTrue(wait_until(
            lambda: b"not there yet; waiting for it" in bytes(run.output["stderr"])))
        path = os.path.join(run.dir.name, "s.json")
        self.assertTrue(wait_until(lambda: len(read_json(path)["files"]) == 2))
        doc = read_json(path)
        self.assertEqual((doc["state"], doc["link"]), ("running", "lost"))
        self.assertEqual(len(sets_of(run.files())), 1)
        time.sleep(5)
        self.assertLess(run.cpu_seconds(), 0.5, "no CPU while waiting")
        board.plug()
        self.assertEqual(board.port.wait_for(1, timeout=20), b"w")
        sent = angle_accel(1) + angle_accel(2)
        board.port.send(sent)
        self.assertTrue(wait_until(lambda: run.log_named("anglesAndAccels").count(b"\r\n") == 3))
        run.signal()
        status, _, err = run.finish(timeout=10)
        self.assertEqual(status, 0, err)
        self.assertEqual(run.log_named("anglesAndAccels"), expected_logs(sent)[0])
        self.assertEqual(read_json(os.path.join(run.dir.name, "s.json"))["link_losses"], 0)


class InstalledUnit(unittest.TestCase):
    def test_the_unit_under_usr_local_verifies(self):
        if subprocess.run(["which", "systemd-analyze"], capture_output=True).returncode != 0:
            self.skipTest("systemd-analyze is not installed")
        root = tempfile.TemporaryDirectory(prefix="vglog-root-")
        self.addCleanup(root.cleanup)
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", "/usr/local"], check=True,
                       capture_output=True, env=dict(os.environ, DESTDIR=root.name))
        # The system's own units (targets the unit orders itself against) beside ours.
        os.makedirs(os.path.join(root.name, "usr", "lib", "systemd"), exist_ok=True)
        subprocess.run(["cp", "-a", "/usr/lib/systemd/system",
                        os.path.join(root.name, "usr", "lib", "systemd")], check=True)
        unit = os.path.join(root.name, "usr/local/lib/systemd/system/vglog@.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn("\nExecStart=/usr/local/bin/vglog ", text)
        self.assertIn("\nType=notify\n", text)
        self.assertRegex(text, r"\nWatchdogSec=\d+")
        self.assertIn("\nAfter=%i.device\n", text)
        instance = subprocess.run(["systemd-escape", "--path", "--template=vglog@.service",
                                   "/dev/serial/by-id/usb-Maker_Board_SN77-if00-port0"],
                                  capture_output=True, text=True, check=True).stdout.strip()
        out = subprocess.run(["systemd-analyze", "verify", "--man=no", "--root=" + root.name,
                              instance], capture_output=True, text=True)
        self.assertEqual((out.returncode, out.stderr), (0, ""))


class UdevRule(unittest.TestCase):
    def test_the_rule_names_the_instance_by_the_adapters_by_id_link(self):
        """The rule's program, run as udev would run it (its links substituted), names the
        instance by the by-id link, whichever ttyUSB number the adapter has."""
        if subprocess.run(["which", "systemd-escape"], capture_output=True).returncode != 0:
            self.skipTest("systemd-escape is not installed")
        rule = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist",
                            "99-vglog.rules.example")
        with open(rule) as f:
            line = next(l for l in f if l.startswith("ACTION=="))
        self.assertIn('ENV{SYSTEMD_WANTS}+="vglog@%c.service"', line)
        program = re.search(r'PROGRAM="/bin/sh -c \'(.*?)\'"', line).group(1)
        by_id = "serial/by-id/usb-Maker_Board_SN77-if00-port0"
        for links in [by_id + " serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                      "serial/by-path/x " + by_id]:
            script = program.replace("$links", links).replace("$$", "$")
            out = subprocess.run(["/bin/sh", "-c", script], capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertEqual(out.stdout.strip(),
                             "dev-serial-by\\x2did-usb\\x2dMaker_Board_SN77\\x2dif00\\x2dport0")
        out = subprocess.run(["/bin/sh", "-c", program.replace("$links", "ttyUSB0")
                              .replace("$$", "$")])
        self.assertNotEqual(out.returncode, 0, "no by-id link: no instance")


if __name__ == "__main__":
    unittest.main()
