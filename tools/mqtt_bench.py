#!/usr/bin/env python3
"""Many boards through one broker: --boards simulated boards (vglog-sim on pseudo-terminals,
paced at 115 200 baud), one vglog each, one mosquitto and one subscriber, all on 127.0.0.1.

Two phases of --seconds each: the loggers without --mqtt, then with --mqtt --mqtt-qos 1.
Reports, for the second, whether every logged sample of every board reached the subscriber, the
latency from each sample's arrival at its logger (host_utc: the return of the read that completed
it, before the line is even written) to its arrival at the subscriber (50th, 95th, 99th
percentile, max), and each phase's CPU per logger (mean and max) and their ratio.

Not a test: it takes the machine for a minute or two. Needs mosquitto and python3-paho-mqtt.

Usage: tools/mqtt_bench.py [--boards N] [--seconds S] [--build DIR]
"""

import argparse
import calendar
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WARMUP_S = 3
QOS = int(os.environ.get("BENCH_QOS", "1"))


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_broker(tmp):
    port = free_port()
    conf = os.path.join(tmp, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                f"max_queued_messages 100000\n{'user root' if os.geteuid() == 0 else ''}\n")
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)

    def listening():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    if not wait_for(listening, 10):
        sys.exit("mosquitto did not start")
    return broker, port


class Subscriber:
    def __init__(self, port):
        import paho.mqtt.client as mqtt
        self.arrivals = []  # (board, line, latency s)
        self.seconds = {}
        self.lock = threading.Lock()
        self.client = mqtt.Client()
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("bench/+/samples", qos=1)
        self.client.on_message = self.arrived
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def arrived(self, client, userdata, message):
        now = time.time()
        s = json.loads(message.payload)
        utc = s["host_utc"]  # "2026-12-09T09:28:12.112088Z"; the seconds' part parsed once
        second = self.seconds.get(utc[:19])
        if second is None:
            second = self.seconds[utc[:19]] = calendar.timegm(
                time.strptime(utc[:19], "%Y-%m-%dT%H:%M:%S"))
        sent_s = second + int(utc[20:26]) / 1e6
        with self.lock:
            self.arrivals.append((message.topic.split("/")[1], s["line"], now - sent_s))

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


def cpu_seconds(pid):
    """Time on a CPU of the process's threads so far, from the scheduler's own count (in
    nanoseconds, where /proc/PID/stat counts 10 ms clock ticks)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # gone meanwhile
    return total / 1e9


def logged_lines(workdir):
    for name in os.listdir(workdir):
        if name.startswith("anglesAndAccels."):
            with open(os.path.join(workdir, name), "rb") as f:
                return f.read().count(b"\r\n") - 1
    return 0


def phase(build, tmp, boards, seconds, mqtt_port):
    """One phase: boards and loggers for `seconds`; (CPU seconds of each logger, lines each
    logged)."""
    sims, loggers, dirs = [], [], []
    for i in range(boards):
        link = os.path.join(tmp, f"board{i}-{'mqtt' if mqtt_port else 'plain'}")
        sims.append(subprocess.Popen([os.path.join(build, "vglog-sim"), "--link", link,
                                      "--seconds", str(seconds), "--seed", str(i + 1),
                                      "--linger", "30"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for(lambda: os.path.exists(link), 10):
            sys.exit("vglog-sim did not come up")
        work = tempfile.mkdtemp(dir=tmp)
        dirs.append(work)
        args = ["--quiet", link]
        if mqtt_port:
            args = ["--mqtt", f"mqtt://127.0.0.1:{mqtt_port}/bench", "--name", f"b{i}",
                    "--mqtt-qos", str(QOS), *args]
        loggers.append(subprocess.Popen([os.path.join(build, "vglog"), *args], cwd=work,
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL))
    time.sleep(WARMUP_S)  # past the start: connections made, files open
    began = [cpu_seconds(p.pid) for p in loggers]
    time.sleep(seconds - WARMUP_S)
    cpu = [cpu_seconds(p.pid) - b for p, b in zip(loggers, began)]
    time.sleep(1.5)  # the last reads
    for p in loggers:
        p.stdin.write(b"\x03")
        p.stdin.flush()
    for p in loggers:
        p.wait(30)
    for s in sims:
        s.kill()
        s.wait()
    return cpu, [logged_lines(d) for d in dirs]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--boards", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    a = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vglog-mqtt-bench-") as tmp:
        plain_cpu, _ = phase(a.build, tmp, a.boards, a.seconds, None)
        broker, port = start_broker(tmp)
        sub = None
        try:
            sub = Subscriber(port)
            time.sleep(0.5)
            mqtt_cpu, lines = phase(a.build, tmp, a.boards, a.seconds, port)
            time.sleep(2)  # the last messages on their way
        finally:
            if sub is not None:
                sub.stop()
            broker.kill()
            broker.wait()
    got = {}
    for board, line, _ in sub.arrivals:
        got.setdefault(board, set()).add(line)
    complete = sum(1 for i in range(a.boards)
                   if got.get(f"b{i}", set()) == set(range(1, lines[i] + 1)))
    latencies = sorted(lat for _, _, lat in sub.arrivals) or [float("nan")] * 2
    q = statistics.quantiles(latencies, n=100)
    plain, mqtt = statistics.mean(plain_cpu), statistics.mean(mqtt_cpu)
    print(f"{a.boards} boards, {a.seconds:.0f} s each phase; {sum(lines)} samples logged, "
          f"{len(sub.arrivals)} messages received")
    print(f"boards with every logged sample received: {complete}/{a.boards}")
    print(f"latency host_utc -> subscriber: p50 {q[49] * 1000:.1f} ms, p95 {q[94] * 1000:.1f} ms,"
          f" p99 {q[98] * 1000:.1f} ms, max {latencies[-1] * 1000:.1f} ms")
    print(f"CPU per logger over {a.seconds - WARMUP_S:.1f} s at the line's pace: without --mqtt mean {plain:.3f} s "
          f"(max {max(plain_cpu):.3f}), with --mqtt mean {mqtt:.3f} s (max {max(mqtt_cpu):.3f});"
          f" ratio {mqtt / plain:.2f}")


if __name__ == "__main__":
    main()
