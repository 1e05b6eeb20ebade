"""--serve: the live view's server keeps its limits against hostile and hopeless clients while
the logs stay byte-exact, streams every sample as the log prints it, and ends with the run."""

import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from expected_logs import expected_logs
from harness import VGLOG_SIM, FakePort, Run, wait_until
from live_client import (URL, EventClient, caught_up, get, get_json, request, sanitized,
                         serve_board, wait_ends, wait_settled)


class LiveViewLimits(unittest.TestCase):
    def test_limits_hold_while_every_sample_is_logged_and_streamed(self):
        run, address, record, board = serve_board(self, "--seconds", "6", "--seed", "11",
                                           "--noise", "0.01", "--linger", "60")
        watchers = [EventClient(address) for _ in range(15)]
        silent = EventClient(address, read=False)  # the 16th: connects and never reads
        self.addCleanup(lambda: [c.close() for c in [*watchers, silent]])
        self.assertTrue(wait_until(lambda: all(b"event: status" in c.data for c in watchers)))

        status, body = request(address, get(address, "/api/samples"))
        self.assertEqual(status, 503, body)  # the 17th stream
        status, body = request(address, get(address, "/api/status"))
        self.assertEqual(status, 200, body)  # while a short answer is still given
        watchers.pop().close()
        watchers.pop().close()
        watchers.pop().close()
        time.sleep(0.5)  # the server notices the three that left (any later check polls)
        host = b"Host: %s:%d\r\n" % (address[0].encode(), address[1])
        cases = [
            (b"GET / HTTP/1.1\r\n" + host + b"X-Big: " + b"a" * 9216 + b"\r\n\r\n", 431),
            (b"GET / HTTP/1.1\r\n" + host + b"X-Big: " + b"a" * 8150 + b"\r\n\r\n", 431),
            (b"GET /" + b"a" * 8200 + b" HTTP/1.1\r\n" + host + b"\r\n", 414),
            (b"POST /api/status HTTP/1.1\r\n" + host + b"Content-Length: 0\r\n\r\n", 405),
            (b"GET /etc/passwd HTTP/1.1\r\n" + host + b"\r\n", 404),
            (b"GET /../live.cpp HTTP/1.1\r\n" + host + b"\r\n", 404),
            (b"HEAD / HTTP/1.1\r\n" + host + b"\r\n", 200),
            (get(address, "/api/status", host=f"attacker.example:{address[1]}"), 403),
            (get(address, "/api/samples", host=f"attacker.example:{address[1]}"), 403),
            (get(address, "/api/status", host=f"localhost:{address[1]}"), 200),
            (b"GET /api/status HTTP/1.1\r\n\r\n", 400),
        ]
        for text, want in cases:
            with self.subTest(request=text[:24]):
                got, answer = request(address, text)
                self.assertEqual(got, want, answer[:200])
                self.assertIn(b"X-Frame-Options: DENY\r\n", answer)
                if got == 403:
                    self.assertNotIn(b"anglesAndAccels", answer)
        _, page = request(address, get(address, "/"))
        self.assertIn(b"<canvas", page)

        # A request that trickles in a byte at a time is dropped 5 s after it connected.
        slow = socket.create_connection(address, timeout=30)
        started = time.monotonic()
        dropped_after = None
        for byte in get(address, "/")[:-2] + b"X-Slow: " + b"z" * 40:
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
        self.assertEqual([(f["kind"], f["bytes"]) for f in status["files"]],
                         [("samples log", len(run.log_named("anglesAndAccels"))),
                          ("misc log", len(run.log_named("misc")))])
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
        last = watcher.events("status")[-1]
        self.assertTrue(last["ended"])
        self.assertEqual(last["link"], "lost")

    def test_an_address_that_cannot_be_served_stops_the_start(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = FakePort()
        self.addCleanup(port.close)
        for address, code, reason in [
                (f"127.0.0.1:{taken.getsockname()[1]}", 1, b"in use"),
                ("127.0.0.1:http", 2, b"--serve needs [HOST:]PORT"),
                ("[127.0.0.1]:0", 2, b"an IPv6 HOST in brackets"),
                ("::1:0", 2, b"--serve needs")]:
            with self.subTest(address=address):
                run = Run(["--serve", address, port.path])
                self.addCleanup(run.close)
                status, _, err = run.finish()
                self.assertEqual(status, code, err)
                self.assertIn(b"vglog: ", err)
                self.assertIn(reason, err)
                self.assertEqual(run.files(), [], "no logs left behind")

    def test_every_interface_is_said_and_named_usably(self):
        for serve in ["0:0", "0.0.0.0:0"]:
            with self.subTest(serve=serve):
                port = FakePort()
                self.addCleanup(port.close)
                run = Run(["--serve", serve, "--serve-host", "board.lan", port.path])
                self.addCleanup(run.close)
                self.assertTrue(wait_until(lambda: URL.search(run.output["stderr"])), run.output)
                self.assertTrue(wait_until(lambda: b"open to the network" in
                                           run.output["stderr"]), run.output)
                err = bytes(run.output["stderr"])
                self.assertEqual(err.count(b"open to the network"), 1, err)
                self.assertNotIn(b"http://0", err)
                number = int(URL.search(err).group(2))
                # Reached here through loopback only: its own address, and the names it was given.
                address = ("127.0.0.1", number)
                for host, want in [(f"127.0.0.1:{number}", 200), (f"board.lan:{number}", 200),
                                   (f"attacker.example:{number}", 403)]:
                    self.assertEqual(request(address, get(address, "/api/status", host))[0],
                                     want, host)
                run.send_key(b"\x03")
                self.assertEqual(run.finish()[0], 0)


def trickle(address, stop):
    """One socket sending a request a byte every 0.5 s, opened again whenever it is dropped."""
    text = get(address, "/api/samples")
    while not stop.is_set():
        try:
            with socket.create_connection(address, timeout=5) as s:
                for byte in text[:-2]:
                    if stop.wait(0.5):
                        return
                    s.sendall(bytes([byte]))
        except OSError:
            pass


class LiveViewUnderPressure(unittest.TestCase):
    def test_clients_that_send_or_trickle_cost_nothing_and_lock_nobody_out(self):
        run, address, _, _ = serve_board(self, "--seconds", "30", "--seed", "2", "--linger", "60")
        stop = threading.Event()
        self.addCleanup(stop.set)
        threads = [threading.Thread(target=trickle, args=(address, stop), daemon=True)
                   for _ in range(16)]
        for t in threads:
            t.start()
        time.sleep(1.5)  # all 16 are in, and some have sent a few bytes
        for _ in range(5):
            status, body = request(address, get(address, "/api/status"), timeout=5)
            self.assertEqual(status, 200, body)
        stop.set()

        # A stream client that keeps sending after its request is closed, at no cost.
        talker = socket.create_connection(address, timeout=10)
        self.addCleanup(talker.close)
        talker.sendall(get(address, "/api/samples"))
        cpu = run.cpu_seconds()
        started = time.monotonic()
        closed = False
        try:
            while time.monotonic() - started < 3:
                talker.sendall(b"x" * 4096)
                time.sleep(0.001)
        except OSError:
            closed = True
        self.assertTrue(closed, "the client that kept sending was never closed")
        time.sleep(max(0.0, 3 - (time.monotonic() - started)))
        used = (run.cpu_seconds() - cpu) / (time.monotonic() - started)
        self.assertLess(used, 0.05, f"vglog used {used:.0%} of a core")

    def test_a_fast_run_reaches_a_reading_client_thinned_counted_and_to_its_end(self):
        work = tempfile.TemporaryDirectory(prefix="vglog-live-fast-")
        self.addCleanup(work.cleanup)
        capture = os.path.join(work.name, "cap.bin")
        subprocess.run([VGLOG_SIM, "--out", capture, "--count", "400000", "--seed", "6"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        link = os.path.join(work.name, "board")
        sim = subprocess.Popen([VGLOG_SIM, "--replay", capture, "--no-pace", "--link", link,
                                "--linger", "1"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sim.kill(), sim.wait()))
        self.assertTrue(wait_until(lambda: os.path.exists(link)))
        # The client is in before the board starts: vglog serves before it opens the device.
        run = Run(["--serve", "0", "--no-reconnect", "-q", link])
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: URL.search(run.output["stderr"])), run.output)
        m = URL.search(run.output["stderr"])
        client = EventClient((m.group(1).decode(), int(m.group(2))))
        self.addCleanup(client.close)
        status, _, err = run.finish(timeout=60)  # the board hangs up once it has played all
        self.assertEqual(status, 3, err)
        self.assertTrue(client.closed.wait(5))

        logged = run.log_named("anglesAndAccels").split(b"\r\n")[1:-1]
        samples = client.samples()
        lines = [int(e["line"]) for e in samples]
        last = client.events("status")[-1]
        self.assertTrue(last["ended"])
        self.assertEqual(lines[-1], len(logged), "the last logged sample reached the client")
        self.assertEqual(len(lines) + last["view_drops"], len(logged) - lines[0] + 1)
        self.assertGreater(last["view_drops"], 0, "nothing was thinned: not a fast run")
        # While samples were logged: at least 10 events a second, none more than 250 ms apart.
        data = bytes(client.data)
        ends, at = [], data.find(b"\n\ndata: ")  # sample events (the others name their kind)
        while at != -1:
            ends.append(data.find(b"\n\n", at + 2) + 2)
            at = data.find(b"\n\ndata: ", ends[-1] - 2)
        self.assertEqual(len(ends), len(samples))
        times = [next(t for t, got in client.arrivals if got >= end) for end in ends]
        took = times[-1] - times[0]
        self.assertGreaterEqual(len(samples), 10 * took)
        if sanitized():
            return  # the times below are a full-speed build's (a sanitizer's is many times slower)
        self.assertGreater(len(logged) - lines[0], 20000 * took, f"{len(logged)} in {took}")
        # A gap is the view's unless the server took the two samples that far apart (at the end
        # the board's last packets come slowly, each completed by the next).
        stamps = [int(e["t"]) for e in samples]
        gaps = [b - a for a, b, ta, tb in zip(times, times[1:], stamps, stamps[1:])
                if tb - ta < 200]
        self.assertLessEqual(max(gaps), 0.25, (max(gaps), lines[-4:], stamps[-4:]))

    def test_a_page_opened_late_gets_the_seconds_before(self):
        run, address, _, _ = serve_board(self, "--seconds", "30", "--seed", "8", "--linger", "60")
        self.assertTrue(wait_until(lambda: get_json(address, "/api/status")["elapsed_s"] >= 12,
                                   timeout=40))
        opened = time.monotonic()
        client = EventClient(address, path="/api/samples?history=10")
        self.addCleanup(client.close)
        span = lambda: (lambda h: h[-1]["t"] - h[0]["t"] if len(h) > 1 else 0)(  # noqa: E731
            client.events("history"))
        self.assertTrue(wait_until(lambda: span() >= 9000, timeout=1.0), span())
        self.assertLess(time.monotonic() - opened, 1.0)
        history = client.events("history")
        self.assertGreaterEqual(len(history), 900)  # 100 samples a second
        lines = [h["line"] for h in history]
        self.assertEqual(lines, sorted(lines))


if __name__ == "__main__":
    unittest.main()
