"""The README's recipes for reading the samples log, taken from the README itself and run on a
log vglog wrote from packets with negative values in every column: each must give the values
the model of the board's bytes says were logged, signs included."""

import contextlib
import csv
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from expected_logs import sample_line
from harness import VGLOG, VGLOG_SIM, Run, wait_until
from mqtt_broker import PASSWORD, USER, Broker, Subscriber, have_broker

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
LOG = "anglesAndAccels.2026Dec08-101500.txt"  # the name the recipes use


def recipes():
    """The fenced code blocks of the README's "Reading the logs" section: (language, text)."""
    with open(README) as f:
        text = f.read()
    section = re.search(r"^### Reading the logs\n(.*?)^##", text, re.MULTILINE | re.DOTALL)
    return re.findall(r"^```(\w+)\n(.*?)^```", section.group(1), re.MULTILINE | re.DOTALL)


def times_doc():
    with open(os.path.join(os.path.dirname(README), "docs", "TIMES.md")) as f:
        return f.read()


def have(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


@unittest.skipUnless(have("pandas") and have("numpy"), "pandas or numpy is not installed")
class ReadingTheLogs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(18)
        packets = [bytes([0x24, 42, 10]) + rng.randbytes(39) for _ in range(500)]
        cls.tmp = tempfile.TemporaryDirectory(prefix="vglog-readme-")
        capture = os.path.join(cls.tmp.name, "raw.2026Dec08-101500.bin")
        with open(capture, "wb") as f:
            f.write(b"".join(packets))
        # Its times as a live --times run records them: a packet every 10 ms, 0 to 20 ms late.
        with open(capture + ".times", "w") as f:
            f.write("vglog capture times 2\nstart 1796724900000000 2026-12-08T10:15:00.000000Z\n")
            f.write("".join(f"{k * 10000 + rng.randrange(20000) + 200000 * (k // 100)} 42\n"
                            for k in range(500)))
        subprocess.run([VGLOG, "--replay", capture, "--times"], cwd=cls.tmp.name, check=True,
                       capture_output=True)
        # The model's values as printed: the numbers a right reading must give back.
        cls.rows = [[float(v) for v in sample_line(p).split()] for p in packets]
        assert all(any(row[c] < 0 for row in cls.rows) for c in range(14)), "a minus everywhere"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_each_recipe_gives_the_logged_values(self):
        import numpy as np

        found = set()
        for language, code in recipes():
            with self.subTest(code=code.splitlines()[-1]):
                if language == "python":
                    names = {}
                    cwd = os.getcwd()
                    os.chdir(self.tmp.name)
                    try:
                        with contextlib.redirect_stdout(io.StringIO()):
                            exec(code, names)
                    finally:
                        os.chdir(cwd)
                    if "board_s" in code:
                        found.add("utc")
                        self.assertIn("```python\n" + code + "```", times_doc(),
                                      "docs/TIMES.md gives the same recipe")
                        self.assertEqual(list(names["run"]["utc"]), self.board_utc())
                    if "read_csv" in code:
                        found.add("pandas")
                        self.assertEqual(list(names["log"].columns),
                                         ["Sample", "Phi", "Theta", "Psi", "X", "Y", "Z",
                                          "Xworld", "YWorld", "ZWorld", "Quat[0]", "Quat[1]",
                                          "Quat[2]", "Quat[3]"])
                        self.assertTrue(np.array_equal(names["log"].to_numpy(), self.rows))
                    elif "loadtxt" in code:
                        found.add("numpy")
                        self.assertTrue(np.array_equal(names["data"], self.rows))
                        self.assertTrue(np.array_equal(names["theta"], [r[2] for r in self.rows]))
                elif language == "sh" and code.startswith("awk"):
                    found.add("awk")
                    self.assertIsNotNone(shutil.which("awk"))
                    out = subprocess.run(["sh", "-c", code], cwd=self.tmp.name,
                                         capture_output=True, text=True, check=True)
                    # Summed in line order, as awk does.
                    means = [sum(row[i] for row in self.rows) / len(self.rows) for i in range(14)]
                    self.assertEqual(out.stdout, " ".join(f"{m:.5f}" for m in means) + "\n")
        self.assertEqual(found, {"pandas", "numpy", "awk", "utc"}, "every recipe found and run")

    def board_utc(self):
        """Each sample's send time in UTC from the times file: the start plus board_s."""
        import pandas as pd

        with open(os.path.join(self.tmp.name, "times.2026Dec08-101500.csv")) as f:
            rows = list(csv.DictReader(f))
        first = rows[0]
        start_us = (int(pd.Timestamp(first["host_utc"]).value) // 1000 -
                    round(float(first["host_s"]) * 1e6))
        return [pd.Timestamp(start_us + round(float(r["board_s"]) * 1e6), unit="us", tz="UTC")
                for r in rows]


def many_boards_recipe():
    """The python block of the README's "Many boards" section."""
    with open(README) as f:
        text = f.read()
    section = re.search(r"^## Many boards.*?\n(.*?)^## ", text, re.MULTILINE | re.DOTALL)
    blocks = re.findall(r"^```python\n(.*?)^```", section.group(1), re.MULTILINE | re.DOTALL)
    assert len(blocks) == 1, blocks
    return blocks[0]


@unittest.skipUnless(have_broker(), "skipped: mosquitto, openssl or python3-paho-mqtt missing")
class ManyBoards(unittest.TestCase):
    def test_the_subscriber_stores_every_boards_samples_as_logged(self):
        broker = Broker(self)
        work = tempfile.TemporaryDirectory(prefix="vglog-readme-mqtt-")
        self.addCleanup(work.cleanup)
        script = os.path.join(work.name, "store_boards.py")
        with open(script, "w") as f:
            f.write(many_boards_recipe())
        store = subprocess.Popen([sys.executable, script], cwd=work.name, env={
            **os.environ, "MQTT_HOST": "127.0.0.1", "MQTT_PORT": str(broker.port),
            "MQTT_USER": USER, "MQTT_PASSWORD": PASSWORD})
        self.addCleanup(lambda: (store.kill(), store.wait()))
        watcher = Subscriber(self, broker, "lab/#")
        # The recipe has subscribed once a probe's sample lands in its probe.csv.
        probe = json.dumps({"line": 1, "sample": 0, "phi": 0.5, "theta": 0.5, "psi": 0.5,
                            "accel": [0, 0, 0], "world": [0, 0, 0], "quat": [1, 0, 0, 0],
                            "host_utc": "2026-12-09T00:00:00.000000Z"})
        self.assertTrue(wait_until(lambda: watcher.client.publish("lab/probe/samples", probe)
                                   and os.path.exists(os.path.join(work.name, "probe.csv")),
                                   step=0.2), "the recipe never subscribed")
        runs = {}
        for name, seed in [("board1", "3"), ("board2", "4")]:
            link = os.path.join(work.name, name)
            sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--seconds", "3", "--seed", seed,
                                    "--linger", "60"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            self.addCleanup(lambda p=sim: (p.kill(), p.wait()))
            self.assertTrue(wait_until(lambda: os.path.exists(link)))
            env = {**os.environ, "VGLOG_MQTT_USER": USER, "VGLOG_MQTT_PASSWORD": PASSWORD}
            runs[name] = Run(["--mqtt", broker.url(prefix="lab"), "--name", name,
                              "--mqtt-qos", "1", link], env=env)
            self.addCleanup(runs[name].close)
        for name, run in runs.items():
            csv_path = os.path.join(work.name, name + ".csv")

            def stored(run=run, csv_path=csv_path):
                if len(run.files()) != 2 or not os.path.exists(csv_path):
                    return False
                with open(csv_path) as f:  # the log reaches the disk once a second
                    return len(f.readlines()) == 301 and \
                        run.log_named("anglesAndAccels").count(b"\r\n") == 301
            self.assertTrue(wait_until(stored, timeout=60), (name, watcher.samples().keys()))
            logged = run.log_named("anglesAndAccels").split(b"\r\n")[1:-1]
            with open(csv_path) as f:
                rows = list(csv.reader(f))
            self.assertEqual(rows[0][:3], ["line", "host_utc", "sample"])
            self.assertEqual([r[0] for r in rows[1:]], [str(i) for i in range(1, 301)])
            self.assertEqual([r[2:] for r in rows[1:]], [line.decode().split() for line in logged])


if __name__ == "__main__":
    unittest.main()
