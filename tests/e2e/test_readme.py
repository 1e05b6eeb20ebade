"""The README's recipes for reading the samples log, taken from the README itself and run on a
log vglog wrote from packets with negative values in every column: each must give the values
the model of the board's bytes says were logged, signs included."""

import contextlib
import csv
import io
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest

from expected_logs import sample_line
from harness import VGLOG

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


if __name__ == "__main__":
    unittest.main()
