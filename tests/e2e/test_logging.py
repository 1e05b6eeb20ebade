"""The whole job: the simulated board streams, vglog logs, and both logs must hold exactly the
lines an independent model computes from the bytes that were sent."""

import os
import re
import subprocess
import tempfile
import time
import unittest

from expected_logs import SAMPLES_HEADER, expected_logs, frame
from harness import BANNER, VGLOG_SIM, Run, wait_until


class LoggedFromTheBoard(unittest.TestCase):
    def log_board(self, *sim_args, timeout=60):
        work = tempfile.TemporaryDirectory(prefix="vglog-board-")
        self.addCleanup(work.cleanup)
        link = os.path.join(work.name, "board")
        record = os.path.join(work.name, "sent.bin")
        sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--record", record, "--linger", "60",
                                *sim_args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (sim.kill(), sim.wait(), sim.stderr.close()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")

        run = Run([link])
        self.addCleanup(run.close)

        # Everything sent is logged (and flushed within a second) while the board lingers.
        def caught_up():
            if not os.path.exists(record) or len(run.files()) != 2:
                return False
            with open(record, "rb") as f:
                sent = f.read()
            samples, misc, _ = expected_logs(sent)
            got = (run.log_named("anglesAndAccels"), run.log_named("misc"))
            return len(sent) > 0 and got == (samples, misc) and caught_up.last == len(sent)

        caught_up.last = -1

        def settled():
            if os.path.exists(record):
                size = os.path.getsize(record)
                done = caught_up()
                caught_up.last = size
                return done
            return False

        self.assertTrue(wait_until(settled, timeout=timeout, step=0.3), "logs caught up")
        run.send_key(b"\x03")
        status, out, err = run.finish()
        with open(record, "rb") as f:
            sent = f.read()
        samples, misc, console = expected_logs(sent)
        self.assertEqual(status, 0, err)
        m = BANNER.match(out)
        self.assertIsNotNone(m, out)
        # A burst may leave more than 2048 bytes waiting at a pass: that is reported, not lost.
        backlog = re.compile(rb"\*{8} serial buffer has \d+ bytes\n")
        self.assertEqual(backlog.sub(b"", out[m.end():]), console)
        self.assertEqual(run.log_named("anglesAndAccels"), samples)
        self.assertEqual(run.log_named("misc"), misc)
        return frame(sent), samples, misc

    def test_paced_mixed_stream_with_junk(self):
        packets, samples, misc = self.log_board("--seconds", "3", "--seed", "7", "--noise", "0.02")
        kinds = {p[2] for p in packets}
        self.assertTrue({2, 7, 8, 9, 10} <= kinds, kinds)
        self.assertGreater(samples.count(b"\r\n"), 100)
        self.assertGreater(misc.count(b"\r\n"), 0, "unknown kinds are dumped")

    def test_burst_of_angle_accel_packets_loses_nothing(self):
        packets, samples, _ = self.log_board("--no-pace", "--kinds", "10", "--count", "20000",
                                             "--seed", "3")
        self.assertEqual(len(packets), 20000)
        self.assertEqual(samples.count(b"\r\n"), 20001)
        self.assertTrue(samples.startswith(SAMPLES_HEADER))


if __name__ == "__main__":
    unittest.main()
