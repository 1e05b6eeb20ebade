"""--serve from the Windows build under wine: the live view answers /api/status with the run's
numbers while the logs stay exact, and ends with the run."""

import os
import sys
import time
import unittest

import wine_harness as W
from expected_logs import expected_logs
from harness import FakePort, wait_until
from test_windows import board_stream, send

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from live_client import URL, get_json  # noqa: E402


class WindowsLiveView(unittest.TestCase):
    def test_status_answers_with_the_runs_numbers(self):
        W.require_wine()
        port = FakePort()
        self.addCleanup(port.close)
        W.map_com5(port.path)
        run = W.WineRun(["--serve", "0", W.COM5])
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: URL.search(run.output["stderr"]), 30), run.output)
        m = URL.search(run.output["stderr"])
        address = (m.group(1).decode(), int(m.group(2)))
        self.assertTrue(wait_until(lambda: len(run.files()) == 2, 30), run.files())

        stream = board_stream("--count", "300", "--seed", "9")
        send(port, stream, chunked=False)
        samples, misc, _ = expected_logs(stream)
        self.assertTrue(wait_until(lambda: run.log_named("anglesAndAccels") == samples
                                   and run.log_named("misc") == misc, timeout=20, step=0.2))
        want = samples.count(b"\r\n") - 1
        self.assertTrue(wait_until(lambda: get_json(address, "/api/status")["samples"] == want,
                                   timeout=10, step=0.2))
        status = get_json(address, "/api/status")
        self.assertEqual(status["link"], "up")
        self.assertEqual(status["other"], misc.count(b"\r\n"))

        started = time.monotonic()
        run.send_key(b"\x03")
        code, _, err = run.finish(timeout=30)
        self.assertEqual(code, 0, err)
        self.assertLess(time.monotonic() - started, 10)  # wine's own exit included


if __name__ == "__main__":
    unittest.main()
