"""--serve: the live view's server keeps its limits against hostile and hopeless clients while
the logs stay byte-exact, streams every sample as the log prints it, and ends with the run."""

import os
import socket
import time
import unittest

from expected_logs import expected_logs
from harness import FakePort, Run, wait_until
from live_client import (EventClient, caught_up, get_json, request, serve_board, wait_ends,
                         wait_settled)


class LiveViewLimits(unittest.TestCase):
    def test_limits_hold_while_every_sample_is_logged_and_streamed(self):
        run, address, record, board = serve_board(self, "--seconds", "6", "--seed", "11",
                                           "--noise", "0.01", "--linger", "60")
        watchers = [EventClient(address) for _ in range(15)]
        silent = EventClient(address, read=False)  # the 16th: connects and never reads
        self.addCleanup(lambda: [c.close() for c in [*watchers, silent]])
        self.assertTrue(wait_until(lambda: all(b"event: status" in c.data for c in watchers)))

        status, body = request(address, b"GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(status, 503, body)  # the 17th, whatever it asks
        watchers.pop().close()
        watchers.pop().close()
        watchers.pop().close()
        time.sleep(0.5)  # the server notices the three that left (any later check polls)
        cases = [
            (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 9216 + b"\r\n\r\n", 431),
            (b"POST /api/status HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405),
            (b"GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404),
            (b"GET /../live.cpp HTTP/1.1\r\nHost: x\r\n\r\n", 404),
            (b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", 200),
        ]
        for text, want in cases:
            with self.subTest(request=text[:24]):
                got, answer = request(address, text)
                self.assertEqual(got, want, answer[:200])
        _, page = request(address, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn(b"<canvas", page)

        # A request that trickles in a byte at a time is dropped 5 s after it connected.
        slow = socket.create_connection(address, timeout=30)
        started = time.monotonic()
        dropped_after = None
        for byte in b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"z" * 40:
            try:
                slow.sendall(bytes([byte]))
                slow.settimeout(0.25)
                if slow.recv(1) == b"":
                    dropped_after = time.monotonic() - started
                    break
            except socket.timeout:
                continue
            except OSError:
                dropped_after = time.monotonic() - started
                break
        slow.close()
        self.assertIsNotNone(dropped_after, "the trickling client was never dropped")
        self.assertTrue(4.5 <= dropped_after <= 8, dropped_after)

        self.assertIsNotNone(wait_settled(run, address, record, expected_logs), "logs caught up")
        status = get_json(address, "/api/status")
        logged = run.log_named("anglesAndAccels").split(b"\r\n")[1:-1]
        self.assertEqual(status["samples"], len(logged))
        self.assertEqual(status["link"], "up")
        self.assertEqual([f["bytes"] for f in status["files"]],
                         [len(run.log_named("anglesAndAccels")), len(run.log_named("misc"))])
        self.assertEqual([m.split(" ")[0] for m in status["messages"][:2]], ["live", "logging"])

        # Every event of a watcher matches its samples-log line, as the log prints it.
        watcher = watchers[0]
        self.assertTrue(wait_until(lambda: watcher.samples() and
                                   watcher.samples()[-1]["line"] == str(len(logged))))
        events = watcher.samples()
        self.assertGreater(len(events), 100)
        self.assertEqual([int(e["line"]) for e in events],
                         list(range(int(events[0]["line"]), len(logged) + 1)))
        for e in events:
            fields = [e["sample"], e["phi"], e["theta"], e["psi"], *e["accel"], *e["world"],
                      *e["quat"]]
            self.assertEqual(fields, logged[int(e["line"]) - 1].decode().split())

        # The board goes away: the status says so, and why. (Its name goes first, so that the
        # run's retries never open a pseudo-terminal another test has been given since.)
        os.unlink(board.link)
        board.kill()
        self.assertTrue(wait_until(lambda: get_json(address, "/api/status")["link"] == "lost"))
        status = get_json(address, "/api/status")
        self.assertEqual(status["link_losses"], 1)
        self.assertNotEqual(status["loss_reason"], "")

        # The run ends at once however its clients behave; they all see the end.
        code, err, took = wait_ends(self, run)
        self.assertEqual(code, 0, err)
        self.assertLess(took, 2.0)
        self.assertTrue(all(c.closed.wait(5) for c in watchers))
        self.assertTrue(caught_up(run, record, expected_logs))

    def test_an_address_that_cannot_be_served_stops_the_start(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = FakePort()
        self.addCleanup(port.close)
        for address, reason in [(f"127.0.0.1:{taken.getsockname()[1]}", b"in use"),
                                ("127.0.0.1:http", b"expected [HOST:]PORT")]:
            with self.subTest(address=address):
                run = Run(["--serve", address, port.path])
                self.addCleanup(run.close)
                status, _, err = run.finish()
                self.assertEqual(status, 1, err)
                self.assertIn(b"vglog: ", err)
                self.assertIn(reason, err)
                self.assertEqual(run.files(), [], "no logs left behind")


if __name__ == "__main__":
    unittest.main()
