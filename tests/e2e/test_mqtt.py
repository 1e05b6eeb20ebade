"""--mqtt against a real mosquitto started by the test: every logged sample arrives with the log's
values, the status is retained and the last will says a killed logger is offline, a broker that is
down, killed or refusing us changes nothing in the logs, and no secret reaches the command line."""

import csv
import io
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from expected_logs import expected_logs
from harness import VGLOG_SIM, Run, wait_until
from live_client import caught_up
from mqtt_broker import PASSWORD, USER, Broker, Subscriber, have_broker


def simulated_board(test, *args):
    """vglog-sim on a device of its own; (device link, record of every byte sent, process)."""
    work = tempfile.TemporaryDirectory(prefix="vglog-mqtt-board-")
    test.addCleanup(work.cleanup)
    link, record = os.path.join(work.name, "board"), os.path.join(work.name, "sent.bin")
    sim = subprocess.Popen([VGLOG_SIM, "--link", link, "--record", record, *args],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.addCleanup(lambda: (sim.kill(), sim.wait()))
    test.assertTrue(wait_until(lambda: os.path.exists(link)), "the board's device")
    return link, record, sim


def password_file(test, text=PASSWORD + "\n", mode=0o600):
    fd, path = tempfile.mkstemp(prefix="vglog-mqtt-pw-")
    os.write(fd, text.encode())
    os.close(fd)
    os.chmod(path, mode)
    test.addCleanup(os.unlink, path)
    return path


def env_with(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VGLOG_MQTT_")}
    env.update(extra)
    return env


def log_lines(run):
    return run.log_named("anglesAndAccels").split(b"\r\n")[1:-1]


def stderr_of(run):
    return bytes(run.output["stderr"])


@unittest.skipUnless(have_broker(), "skipped: mosquitto, mosquitto_passwd, openssl or "
                     "python3-paho-mqtt is not installed")
class Mqtt(unittest.TestCase):
    def test_every_sample_arrives_with_the_logs_values_then_the_will_says_offline(self):
        broker = Broker(self)
        watcher = Subscriber(self, broker, "lab/b1/#")
        link, record, _ = simulated_board(self, "--seconds", "4", "--seed", "5", "--linger", "60")
        run = Run(["--mqtt", broker.url(tls=True), "--mqtt-ca", broker.ca, "--mqtt-qos", "1",
                   "--mqtt-password-file", password_file(self), "--name", "b1", "--times", link],
                  env=env_with(VGLOG_MQTT_USER=USER, VGLOG_MQTT_KEEPALIVE_S="5"))
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: b"mqtt: connected" in stderr_of(run)), stderr_of(run))
        self.assertIn(b"publishing to mqtts://127.0.0.1:%d/lab/b1/" % broker.tls_port,
                      stderr_of(run))
        with open(f"/proc/{run.proc.pid}/cmdline", "rb") as f:
            self.assertNotIn(PASSWORD.encode(), f.read())

        self.assertTrue(wait_until(lambda: len(run.files()) == 3 and
                                   len(log_lines(run)) == 400, timeout=60), "the logs")
        self.assertTrue(wait_until(lambda: len(watcher.samples()) == 400), len(watcher.samples()))
        with open(record, "rb") as f:
            self.assertEqual(expected_logs(f.read())[0], run.log_named("anglesAndAccels"))
        logged = log_lines(run)
        times = list(csv.DictReader(io.StringIO(run.log_named("times").decode())))
        got = watcher.samples()
        self.assertEqual(sorted(got), list(range(1, len(logged) + 1)))
        for line, m in got.items():
            fields = [m["sample"], m["phi"], m["theta"], m["psi"], *m["accel"], *m["world"],
                      *m["quat"]]
            self.assertEqual(fields, logged[line - 1].decode().split(), line)
            self.assertEqual((m["host_utc"], m["board_s"]),
                             (times[line - 1]["host_utc"], times[line - 1]["board_s"]), line)

        # The status is retained: a reader that comes later gets it at once.
        late = Subscriber(self, broker, "lab/b1/status")
        self.assertTrue(wait_until(lambda: late.payloads("/status")))
        status = late.payloads("/status")[-1]
        self.assertEqual((status["state"], status["mqtt"]["state"]), ("running", "connected"))
        self.assertEqual(status["link"], "up")

        # Killed: the broker tells every reader, within the keepalive at most.
        run.proc.send_signal(signal.SIGKILL)
        self.assertTrue(wait_until(lambda: {"state": "offline"} in late.payloads("/status"),
                                   timeout=15), late.payloads("/status")[-1:])

    def test_a_broker_down_killed_and_back_changes_nothing_in_the_logs(self):
        broker = Broker(self)
        broker.stop()  # down at the start
        link, record, _ = simulated_board(self, "--seconds", "14", "--seed", "9",
                                          "--linger", "60")
        run = Run(["--mqtt", broker.url(prefix="site/line2"), "--name", "b2", link],
                  env=env_with(VGLOG_MQTT_USER=USER, VGLOG_MQTT_PASSWORD=PASSWORD,
                               VGLOG_MQTT_QUEUE_SLOTS="60"))
        self.addCleanup(run.close)
        self.assertTrue(wait_until(lambda: b"mqtt: waiting (Connection refused)" in
                                   stderr_of(run)), stderr_of(run))
        broker.start()
        watcher = Subscriber(self, broker, "site/line2/b2/#")
        self.assertTrue(wait_until(lambda: b"mqtt: connected" in stderr_of(run)), stderr_of(run))
        self.assertTrue(wait_until(lambda: len(watcher.samples()) > 50))

        broker.stop()  # killed mid-run
        self.assertTrue(wait_until(lambda: b"mqtt: waiting (connection lost)" in stderr_of(run)),
                        stderr_of(run))
        lines_at_loss = len(log_lines(run))
        self.assertTrue(wait_until(lambda: len(log_lines(run)) > lines_at_loss + 150))
        broker.start()
        watcher = Subscriber(self, broker, "site/line2/b2/#")
        self.assertTrue(wait_until(lambda: stderr_of(run).count(b"mqtt: connected") == 2),
                        stderr_of(run))
        self.assertTrue(wait_until(lambda: caught_up(run, record, expected_logs) and
                                   len(log_lines(run)) == 1400, timeout=60), "the logs")
        self.assertTrue(wait_until(lambda: max(watcher.samples(), default=0) == 1400),
                        (max(watcher.samples(), default=0), stderr_of(run)))

        run.send_key(b"\x03")
        status, _, err = run.finish()
        self.assertEqual(status, 0, err)
        self.assertTrue(caught_up(run, record, expected_logs), "the logs are byte-exact")
        published, dropped = map(int, re.search(
            rb"\n  mqtt: connected, (\d+) published, (\d+) dropped\n", err).groups())
        self.assertGreater(dropped, 0, "an outage longer than the queue drops samples")
        self.assertEqual(published + dropped, 1400, err)
        self.assertEqual(err.count(b"mqtt: waiting"), 2, err)  # one line per change
        self.assertTrue(wait_until(lambda: watcher.payloads("/status") and
                                   watcher.payloads("/status")[-1]["state"] == "ended"))
        final = watcher.payloads("/status")[-1]
        self.assertEqual((final["samples"], final["exit_status"]), (1400, 0))

    def test_a_broker_that_refuses_us_is_said_once_and_the_logging_goes_on(self):
        broker = Broker(self)
        cases = [
            ("wrong password", [broker.url()],
             {"VGLOG_MQTT_USER": USER, "VGLOG_MQTT_PASSWORD": "not-it"},
             b"mqtt: waiting (the broker refused us: not authorised"),
            ("wrong CA", [broker.url(tls=True), "--mqtt-ca", broker.other_ca],
             {"VGLOG_MQTT_USER": USER, "VGLOG_MQTT_PASSWORD": PASSWORD},
             b"mqtt: waiting (TLS handshake failed: certificate verify failed)"),
        ]
        for name, args, env, line in cases:
            with self.subTest(name):
                link, record, _ = simulated_board(self, "--seconds", "5", "--linger", "60")
                run = Run(["--mqtt", *args, link], env=env_with(**env))
                self.addCleanup(run.close)
                self.assertTrue(wait_until(lambda: caught_up(run, record, expected_logs) and
                                           len(log_lines(run)) == 500, timeout=60), "the logs")
                run.send_key(b"\x03")
                status, _, err = run.finish()
                self.assertEqual(status, 0, err)
                self.assertEqual(err.count(b"mqtt: "), 2, err)  # the line, and the summary's
                self.assertIn(line, err)
                self.assertIn(b"\n  mqtt: waiting (", err)
                self.assertTrue(caught_up(run, record, expected_logs))

    def test_secrets_and_settings_that_cannot_work_stop_the_start(self):
        open_file = password_file(self, mode=0o644)
        cases = [
            (["--mqtt", "mqtt://lab:pw@127.0.0.1/x"], b"a password in the URL is refused"),
            (["--mqtt", "mqtt://127.0.0.1/x", "--mqtt-password-file", open_file],
             b"others can read it"),
            (["--mqtt", "http://127.0.0.1/x"], b"--mqtt needs mqtt://"),
            (["--mqtt", "mqtt://127.0.0.1/x", "--mqtt-ca", "/etc/hostname"],
             b"need an mqtts:// URL"),
            (["--mqtt", "mqtt://127.0.0.1/x", "--mqtt-qos", "2"], b"--mqtt-qos needs 0 or 1"),
            (["--mqtt", "mqtt://127.0.0.1/x", "--name", "a/b"], b"--name must not"),
            (["--mqtt-ca", "ca.pem", "x"], b"--mqtt-ca goes with --mqtt URL"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                run = Run([*args, "/dev/null-board"], env=env_with(VGLOG_MQTT_USER=USER))
                self.addCleanup(run.close)
                status, out, err = run.finish()
                self.assertEqual(status, 2, err)
                self.assertIn(reason, err)
                self.assertEqual(run.files(), [])


if __name__ == "__main__":
    unittest.main()
