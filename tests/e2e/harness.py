"""Shared pieces of the end-to-end tests: the built programs, pseudo-terminals as serial ports,
and runs of vglog in a fresh directory."""

import ctypes
import os
import re
import select
import signal
import subprocess
import tempfile
import threading
import time
import tty

BUILD_DIR = os.environ.get("VGLOG_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
VGLOG = os.path.join(BUILD_DIR, "vglog")
VGLOG_SIM = os.path.join(BUILD_DIR, "vglog-sim")

BANNER = re.compile(rb"Varnel-Gyrelle Data Log App Varnelv1\.0 "
                    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ \d]\d \d{4} "
                    rb"\d\d:\d\d:\d\d\r\n")


def project_version():
    """The release number the build directory was configured with."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError("no CMAKE_PROJECT_VERSION in " + BUILD_DIR)


PR_SET_PDEATHSIG = 1
OPEN_FAILED = b"ERROR opening serial port.  Exiting\r\n"
PROMPT = b"Please assign the com port number!!\r\n"


def terminals_loggers_name():
    """The devices that running loggers (of any test on this machine) were started on, through
    links too: a logger whose board went away retries that name every second and would take a
    new terminal that got its number."""
    named = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = [a.decode(errors="replace") for a in f.read().split(b"\0")]
            cwd = os.readlink(f"/proc/{pid}/cwd")
        except OSError:
            continue
        logger = [i for i, a in enumerate(args) if os.path.basename(a) == "vglog"]
        if logger:
            named.update(os.path.realpath(os.path.join(cwd, a))
                         for a in args[logger[0] + 1:] if a and not a.startswith("-"))
    return named


def open_terminal():
    """A new pseudo-terminal (master, slave, slave's path) whose number no running logger
    names (one left behind by a test that was killed, say, or by another checkout's tests)."""
    avoid = terminals_loggers_name()
    held = []
    while True:
        master, slave = os.openpty()
        path = os.ttyname(slave)
        if path not in avoid or len(held) > 32:
            break
        held.append((master, slave))  # kept until the next number is found
    for fds in held:
        os.close(fds[0])
        os.close(fds[1])
    return master, slave, path


class FakePort:
    """A pseudo-terminal standing in for the serial line: the test is the board at the master
    end, vglog opens the slave by its path."""

    def __init__(self, raw=True):
        self.master, slave, self.path = open_terminal()
        if raw:
            tty.setraw(self.master)
        os.close(slave)

    def read_available(self, wait=0.0):
        data = b""
        deadline = time.monotonic() + wait
        while True:
            left = max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                return data
            try:
                chunk = os.read(self.master, 4096)
            except OSError:  # the slave side is closed
                return data
            if not chunk:
                return data
            data += chunk
            deadline = time.monotonic()  # take what is there, do not wait for more

    def wait_for(self, count, timeout=20.0):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count and time.monotonic() < deadline:
            data += self.read_available(wait=deadline - time.monotonic())
        return data

    def send(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.master], [], 5.0)
            n = os.write(self.master, view)
            view = view[n:]

    def close(self):
        os.close(self.master)


def dies_with_the_test(then=None):
    """A start-up step that ends the program when the test process goes (a test runner's
    time-out kills it without cleanups): a vglog left behind retries its port's number for ever
    and takes whatever terminal gets it next, another test's included."""
    def prepare():
        if then:
            then()  # first: a change of user clears the setting
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    return prepare


class Run:
    """vglog started in its own empty directory. Its standard output and error are read as the
    run goes (a run may print more than a pipe holds) unless the test passes its own."""

    def __init__(self, args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE, prepare=None, **kwargs):
        self.dir = tempfile.TemporaryDirectory(prefix="vglog-e2e-")
        if prepare:
            prepare(self.dir.name)
        kwargs["preexec_fn"] = dies_with_the_test(kwargs.get("preexec_fn"))
        self.proc = subprocess.Popen([VGLOG, *args], cwd=self.dir.name, stdin=stdin,
                                     stdout=stdout, stderr=stderr, **kwargs)
        self.read_as_it_goes()

    def read_as_it_goes(self):
        """Collects the process's standard output and error on threads of their own."""
        self.output = {}
        self.readers = []
        for name in ("stdout", "stderr"):
            stream = getattr(self.proc, name)
            if stream is not None:
                self.output[name] = bytearray()
                reader = threading.Thread(target=self._collect, args=(stream, name), daemon=True)
                reader.start()
                self.readers.append(reader)

    def _collect(self, stream, name):
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            self.output[name] += chunk

    def files(self):
        return sorted(os.listdir(self.dir.name))

    def read_file(self, name):
        with open(os.path.join(self.dir.name, name), "rb") as f:
            return f.read()

    def log_named(self, prefix):
        names = [n for n in self.files() if n.startswith(prefix + ".")]
        assert len(names) == 1, self.files()
        return self.read_file(names[0])

    def send_key(self, key):
        self.proc.stdin.write(key)
        self.proc.stdin.flush()

    def signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def finish(self, timeout=10):
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        self.proc.wait(timeout=timeout)
        for reader in self.readers:
            reader.join(timeout)
        return (self.proc.returncode, bytes(self.output.get("stdout", b"")),
                bytes(self.output.get("stderr", b"")))

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self.readers:
            reader.join(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        self.dir.cleanup()


def start_logging(test, port, *args, files=2, **kwargs):
    """vglog on the port, once it has sent the start byte and created its files; closed when
    the test ends."""
    run = Run([*args, port.path], **kwargs)
    test.addCleanup(run.close)
    test.assertEqual(port.wait_for(1), b"w", "the start byte")
    # At least: a run that rotates may have made its next set before a busy machine lets the
    # test look.
    test.assertTrue(wait_until(lambda: len(run.files()) >= files), run.files())
    return run


# Deadlines are generous: they only cost time when something is wrong, and a busy 2-core machine
# (a parallel build, the sanitizer build) can hold a process off for seconds.
def wait_until(predicate, timeout=20.0, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
