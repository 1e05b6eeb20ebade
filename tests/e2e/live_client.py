"""Pieces the live-view tests share: a vglog run with --serve fed by the simulated board, and
plain-socket HTTP clients (the limits are about what a client does on the wire)."""

import json
import os
import re
import socket
import subprocess
import tempfile
import threading
import time

from harness import BUILD_DIR, VGLOG_SIM, Run, wait_until

URL = re.compile(rb"live view at http://(\[[^\]]+\]|[^:/\s]+):(\d+)/\n")


def sanitized():
    """True for a build under a sanitizer, which runs several times slower."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        return any(line.split("=", 1)[1].strip() == "ON" for line in cache
                   if line.startswith(("VGLOG_TSAN:", "VGLOG_SANITIZE:")))


def serve_board(test, *sim_args, serve="0"):
    """The simulated board on a device, vglog --serve SERVE logging it; (run, (host, port), record
    path of every byte the board sent, the board's process)."""
    work = tempfile.TemporaryDirectory(prefix="vglog-live-")
    test.addCleanup(work.cleanup)
    link = os.path.join(work.name, "board")
    record = os.path.join(work.name, "sent.bin")
    sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--record", record, *sim_args],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sim.link = link
    test.addCleanup(lambda: (sim.kill(), sim.wait()))
    test.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")
    run = Run(["--serve", serve, link])
    test.addCleanup(run.close)
    test.assertTrue(wait_until(lambda: URL.search(run.output["stderr"])), run.output)
    m = URL.search(run.output["stderr"])
    return run, (m.group(1).decode(), int(m.group(2))), record, sim


def request(address, text, timeout=10):
    """Sends text and reads the answer until the server closes; (status, headers+body)."""
    with socket.create_connection(address, timeout=timeout) as s:
        s.sendall(text)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/1.1 ") else None
    return status, data


def get(address, path, host=None):
    """A GET of path naming the server as a browser would (or as host)."""
    host = host or f"{address[0]}:{address[1]}"
    return f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()


def get_json(address, path):
    status, data = request(address, get(address, path))
    assert status == 200, data
    return json.loads(data.split(b"\r\n\r\n", 1)[1])


class EventClient:
    """A /api/samples client reading on a thread of its own (or, with read=False, never)."""

    def __init__(self, address, read=True, path="/api/samples"):
        self.sock = socket.create_connection(address, timeout=30)
        if not read:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.sendall(get(address, path))
        self.data = bytearray()
        self.arrivals = []  # (time, bytes so far) of every read
        self.closed = threading.Event()
        if read:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                self.data += chunk
                self.arrivals.append((time.monotonic(), len(self.data)))
        except OSError:
            pass
        self.closed.set()

    def samples(self):
        """The sample events so far, numbers kept as the text they were sent as."""
        events = bytes(self.data).split(b"\n\n")[:-1]  # the last may still be coming
        return [json.loads(e[6:], parse_float=str, parse_int=str) for e in events
                if e.startswith(b"data: ")]

    def events(self, kind):
        """The events of that kind so far ("status", "history"), parsed."""
        head = b"event: %s\ndata: " % kind.encode()
        return [json.loads(e[len(head):]) for e in bytes(self.data).split(b"\n\n")[:-1]
                if e.startswith(head)]

    def close(self):
        self.sock.close()


def caught_up(run, record, expected_logs):
    """True once both logs hold exactly what the model makes of every byte sent so far."""
    if not os.path.exists(record) or len(run.files()) != 2:
        return False
    with open(record, "rb") as f:
        samples, misc, _ = expected_logs(f.read())
    return (run.log_named("anglesAndAccels"), run.log_named("misc")) == (samples, misc)


def wait_settled(run, address, record, expected_logs, timeout=60):
    """Waits for the board to have sent everything: the run's sample count stays the same for a
    second and the logs hold all of it. The count, or None when that never came."""
    last = [None]

    def settled():
        samples = get_json(address, "/api/status")["samples"]
        same, last[0] = samples == last[0], samples
        return same and caught_up(run, record, expected_logs)

    return last[0] if wait_until(settled, timeout=timeout, step=1.0) else None


def wait_ends(test, run, timeout=5.0):
    """Stops the run by the exit key and says how long it took to end."""
    started = time.monotonic()
    run.send_key(b"\x03")
    status, _, err = run.finish(timeout=timeout)
    return status, err, time.monotonic() - started
