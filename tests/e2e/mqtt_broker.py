"""A real mosquitto broker for the --mqtt tests (and the README's recipe test): started by the test
on 127.0.0.1 with free ports, a password file, and a TLS listener whose CA and certificate the
test makes with openssl; and a paho-mqtt subscriber that keeps what arrives."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from harness import wait_until

USER, PASSWORD = "lab", "s3cret-Pw"


def have_broker():
    try:
        import paho.mqtt.client  # noqa: F401
    except ImportError:
        return False
    return all(shutil.which(t) or os.path.exists(f"/usr/sbin/{t}")
               for t in ("mosquitto", "mosquitto_passwd", "openssl"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificates(folder, name):
    """A CA (name.ca.crt) and a server certificate for 127.0.0.1 signed by it."""
    ca_key, ca = os.path.join(folder, name + ".ca.key"), os.path.join(folder, name + ".ca.crt")
    key, csr = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".csr")
    crt = os.path.join(folder, name + ".crt")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", ca_key, "-out", ca, "-subj", f"/CN={name} test CA"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", csr, "-subj", "/CN=127.0.0.1"], **quiet)
    ext = os.path.join(folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                    "-CAcreateserial", "-days", "2", "-out", crt, "-extfile", ext], **quiet)
    return ca, crt, key


class Broker:
    """mosquitto with a plain listener (password needed) and a TLS one, on free ports of
    127.0.0.1. stop() kills it (as a crash would); start() brings it back on the same ports."""

    def __init__(self, test):
        self.dir = tempfile.TemporaryDirectory(prefix="vglog-mqtt-")
        test.addCleanup(self.dir.cleanup)
        test.addCleanup(self.stop)
        d = self.dir.name
        self.port, self.tls_port = free_port(), free_port()
        self.ca, crt, key = make_certificates(d, "server")
        self.other_ca, _, _ = make_certificates(d, "other")
        passwords = os.path.join(d, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(passwords, 0o600)
        self.conf = os.path.join(d, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"per_listener_settings false\nallow_anonymous false\n"
                    f"password_file {passwords}\npersistence false\n"
                    f"{'user root' if os.geteuid() == 0 else ''}\n"
                    f"listener {self.port} 127.0.0.1\n"
                    f"listener {self.tls_port} 127.0.0.1\n"
                    f"cafile {self.ca}\ncertfile {crt}\nkeyfile {key}\n")
        self.proc = None
        self.start()

    def start(self):
        self.log = open(os.path.join(self.dir.name, "broker.log"), "ab")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        assert wait_until(self._listening), "the broker did not start"

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return self.proc.poll() is not None  # died: the assert after says so

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc:
            self.log.close()
        self.proc = None

    def url(self, prefix="lab", tls=False):
        return f"mqtt{'s' if tls else ''}://127.0.0.1:{self.tls_port if tls else self.port}/" + \
            prefix


class Subscriber:
    """A paho-mqtt client subscribed to topic at QoS 1, keeping (topic, payload, arrival) of every
    message, retained ones too."""

    def __init__(self, test, broker, topic):
        import paho.mqtt.client as mqtt
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(clean_session=True)
        self.client.username_pw_set(USER, PASSWORD)
        self.client.on_message = self._arrived
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.connect("127.0.0.1", broker.port, keepalive=10)
        self.client.loop_start()
        test.addCleanup(self.close)

    def _arrived(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload, time.time(), message.retain))

    def payloads(self, suffix):
        with self.lock:
            return [json.loads(p) for t, p, _, _ in self.messages if t.endswith(suffix)]

    def samples(self):
        """The samples by line (a resent message counts once), numbers as the text sent."""
        with self.lock:
            kept = [p for t, p, _, _ in self.messages if t.endswith("/samples")]
        return {int(m["line"]): m for m in
                (json.loads(p, parse_float=str, parse_int=str) for p in kept)}

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()
