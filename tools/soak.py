#!/usr/bin/env python3
"""Measures what vglog costs, from the operating system's own accounting.

  soak  (default): vglog-sim paced at 115200 baud (11 520 bytes/s) feeds vglog for --seconds;
        in the same run a second, identical board feeds `cat` as the floor. Reports CPU seconds
        and percent of one core, peak resident memory, packets sent against lines logged, and
        vglog's CPU as a multiple of cat's.
  idle: the board sends nothing for --seconds; reports vglog's CPU.
  burst: --count AngleAccel packets (default 100 000, 4 MB) written into the pseudo-terminal as
        fast as it takes them; reports the wall time until all are logged and checks none is lost.
  lost: the board's device hangs up and stays away for --seconds while vglog waits for it;
        reports vglog's CPU over the wait.
  replay: `vglog --replay` of a capture of --count AngleAccel packets (default 3 000 000,
        126 MB) and of one a tenth its size; reports packets per second and the peak resident
        memory of both (flat memory: the two should match).

--stderr-tty gives vglog a pseudo-terminal as standard error, so the soak includes drawing the
status line. --raw: the soak's logger also keeps a raw capture. --serve: the soak's logger serves
the live view and one client (as a browser would) follows /api/samples for the whole run.
--times: the soak's logger also writes the times file (and checks it has a row per sample line);
the replay replays with --times, from the capture times a live run at the line's pace records.

Usage: tools/soak.py [soak|idle|burst|lost|replay|all] [--seconds N] [--count N] [--raw]
                     [--times] [--stderr-tty] [--serve] [--build DIR]
"""

import argparse
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def in_scratch_dir(measure):
    """Runs a measurement with a fresh scratch directory (and a logs/ folder in it for vglog's
    files), removed afterwards."""
    def run(*args):
        with tempfile.TemporaryDirectory(prefix=f"vglog-{measure.__name__}-") as tmp:
            logs = os.path.join(tmp, "logs")
            os.mkdir(logs)
            return measure(tmp, logs, *args)
    return run


def peak_rss_kib(pid):
    """The process's own high-water resident size. (A child's ru_maxrss would not do: Linux
    carries into it the size of the forked Python before the exec.)"""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def wait_rusage(proc):
    """Waits for a child and returns (status, user+system CPU seconds)."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_utime + usage.ru_stime


def wait_for(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def start_board(build, link, args, log):
    board = subprocess.Popen([os.path.join(build, "vglog-sim"), "--link", link, *args],
                             stdout=subprocess.DEVNULL, stderr=log)
    if not wait_for(lambda: os.path.exists(link), 5):
        sys.exit("vglog-sim did not come up")
    return board


STDERR_TTY = False


def terminal_sink():
    """A pseudo-terminal slave for vglog's standard error; a thread keeps its screen read."""
    import threading
    master, slave = os.openpty()

    def drain():
        try:
            while os.read(master, 65536):
                pass
        except OSError:
            pass

    threading.Thread(target=drain, daemon=True).start()
    return slave


SERVE = False


class EventFollower:
    """A client of the live view's /api/samples that reads everything, as a browser does; counts
    the sample events."""

    def __init__(self, port):
        import socket
        import threading
        deadline = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock.settimeout(None)
        self.sock.sendall(b"GET /api/samples HTTP/1.1\r\nHost: soak\r\n\r\n")
        self.events = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        tail = b""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return
                data = tail + chunk
                # A sample event follows an empty line; a status event follows its name.
                self.events += data.count(b"\n\ndata: {")
                tail = data[-8:]  # a marker cut in two is counted once, whole
        except OSError:
            pass


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_logger(build, link, workdir, raw=False, times=False):
    stderr = terminal_sink() if STDERR_TTY else subprocess.STDOUT
    serve = ["--serve", f"127.0.0.1:{free_port()}"] if SERVE else []
    flags = (["--raw"] if raw else []) + (["--times"] if times else [])
    logger = subprocess.Popen([os.path.join(build, "vglog"), *flags, *serve, link], cwd=workdir,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr)
    if STDERR_TTY:
        os.close(stderr)
    logger.follower = EventFollower(int(serve[1].rsplit(":", 1)[1])) if SERVE else None
    return logger


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def start_cat(link):
    """cat on the board's device, raw like the logger's port, after sending the start byte."""
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    cat = subprocess.Popen(["cat"], stdin=fd, stdout=subprocess.DEVNULL)
    os.write(fd, b"w")
    os.close(fd)
    return cat


def stop_logger(logger):
    rss = peak_rss_kib(logger.pid)
    logger.stdin.write(b"\x03")
    logger.stdin.flush()
    status, cpu = wait_rusage(logger)
    out = logger.stdout.read()
    logger.stdin.close()
    logger.stdout.close()
    return status, cpu, rss, out


def logged_lines(workdir):
    samples = misc = 0
    for name in os.listdir(workdir):
        if not name.endswith(".txt"):
            continue
        with open(os.path.join(workdir, name), "rb") as f:
            n = f.read().count(b"\r\n")
        if name.startswith("anglesAndAccels."):
            samples += n - 1  # the header
        elif name.startswith("misc."):
            misc += n
    return samples, misc


def sent_by_board(summary):
    """Packets the board reported: total, and of kind 10 (the samples log's)."""
    text = summary.decode(errors="replace")
    total = re.search(r"sent (\d+) packets", text)
    kind10 = re.search(r"kind 10: (\d+)", text)
    decoded = sum(int(n) for k, n in re.findall(r"kind (\d+): (\d+)", text)
                  if int(k) in (2, 7, 8, 9, 10))
    return (int(total.group(1)) if total else -1, int(kind10.group(1)) if kind10 else 0,
            decoded)


def times_rows(workdir):
    """Rows of the times files in workdir (headers not counted)."""
    rows = 0
    for name in os.listdir(workdir):
        if name.startswith("times.") and name.endswith(".csv"):
            with open(os.path.join(workdir, name), "rb") as f:
                rows += f.read().count(b"\n") - 1
    return rows


@in_scratch_dir
def soak(tmp, logs, build, seconds, raw=False, times=False):
    # A board with more to say than the line carries, so the line's 11 520 bytes/s set the pace;
    # its board time is chosen so the stream takes `seconds` on the line.
    probe = os.path.join(tmp, "probe.bin")
    subprocess.run([os.path.join(build, "vglog-sim"), "--out", probe, "--seconds", "10",
                    "--rate", "400", "--seed", "1"], check=True, stderr=subprocess.DEVNULL)
    board_seconds = seconds * 11520 / (os.path.getsize(probe) / 10)
    board_args = ["--seconds", f"{board_seconds:.3f}", "--rate", "400", "--seed", "1",
                  "--linger", "60"]
    with open(os.path.join(tmp, "board1.txt"), "wb") as l1, \
            open(os.path.join(tmp, "board2.txt"), "wb") as l2:
        b1 = start_board(build, os.path.join(tmp, "board1"),
                         board_args + ["--record", os.path.join(tmp, "sent1.bin")], l1)
        b2 = start_board(build, os.path.join(tmp, "board2"), board_args, l2)
        logger = start_logger(build, os.path.join(tmp, "board1"), logs, raw, times)
        cat = start_cat(os.path.join(tmp, "board2"))
        started = time.monotonic()
        # Both boards pace at the line rate; stop the readers once the boards have sent it all
        # and the last lines have had time to be flushed.
        time.sleep(seconds)
        record = os.path.join(tmp, "sent1.bin")
        last = -1
        while os.path.getsize(record) != last:
            last = os.path.getsize(record)
            time.sleep(1.0)
        time.sleep(1.5)
        status, cpu, rss, out = stop_logger(logger)
        wall = time.monotonic() - started
        cat_rss = peak_rss_kib(cat.pid)
        cat.send_signal(signal.SIGTERM)
        _, cat_cpu = wait_rusage(cat)
        for b in (b1, b2):
            b.terminate()
            b.wait(timeout=60)
    with open(os.path.join(tmp, "board1.txt"), "rb") as f:
        total, kind10, decoded = sent_by_board(f.read())
    samples, misc = logged_lines(logs)
    captured = ""
    if raw:
        with open(os.path.join(tmp, "sent1.bin"), "rb") as f:
            sent = f.read()
        kept = [n for n in os.listdir(logs) if n.startswith("raw.") and n.endswith(".bin")]
        with open(os.path.join(logs, kept[0]), "rb") as f:
            same = f.read() == sent
        captured = f", raw capture {'identical to what was sent' if same else 'DIFFERS'}"
    timed = True
    if times:
        rows = times_rows(logs)
        timed = rows == samples
        captured += f", times file {'a row per sample line' if timed else f'{rows} ROWS'}"
    print(f"soak: a board paced at 115200 baud for {seconds:g} s, measured over {wall:.1f} s"
          f"{captured}")
    print(f"  board sent          {total} packets ({kind10} AngleAccel, "
          f"{total - decoded} of other kinds)")
    print(f"  vglog logged        {samples} sample lines, {misc} dump lines "
          f"({'none lost' if samples == kind10 and misc == total - decoded else 'LOST PACKETS'})")
    print(f"  vglog CPU           {cpu:.3f} s = {100 * cpu / wall:.3f} % of one core, "
          f"peak RSS {rss / 1024:.2f} MiB, exit status {status}")
    if logger.follower:
        print(f"  live view client    {logger.follower.events} sample events received")
    print(f"  cat CPU (floor)     {cat_cpu:.3f} s = {100 * cat_cpu / wall:.3f} % of one core, "
          f"peak RSS {cat_rss / 1024:.2f} MiB")
    ratio = cpu / cat_cpu if cat_cpu > 0 else float("inf")
    print(f"  vglog / cat         {ratio:.2f}x")
    if out.strip() and not out.startswith(b"Varnel"):
        print(out.decode(errors="replace"))
    return samples == kind10 and misc == total - decoded and status == 0 and timed


@in_scratch_dir
def idle(tmp, logs, build, seconds):
    with open(os.path.join(tmp, "board.txt"), "wb") as log:
        board = start_board(build, os.path.join(tmp, "board"),
                            ["--count", "0", "--linger", str(seconds + 30)], log)
        logger = start_logger(build, os.path.join(tmp, "board"), logs)
        wait_for(lambda: len(os.listdir(logs)) == 2, 5)
        started = time.monotonic()
        time.sleep(seconds)
        status, cpu, rss, _ = stop_logger(logger)
        wall = time.monotonic() - started
        board.terminate()
        board.wait()
    print(f"idle: silent board for {wall:.1f} s: vglog CPU {cpu:.4f} s = "
          f"{100 * cpu / wall:.4f} % of one core (includes start-up), peak RSS "
          f"{rss / 1024:.2f} MiB, exit status {status}")
    return status == 0


@in_scratch_dir
def burst(tmp, logs, build, count):
    stream = os.path.join(tmp, "stream.bin")
    subprocess.run([os.path.join(build, "vglog-sim"), "--out", stream, "--kinds", "10",
                    "--count", str(count), "--seed", "5"], check=True,
                   stderr=subprocess.DEVNULL)
    with open(stream, "rb") as f:
        data = f.read()
    master, slave = os.openpty()
    tty.setraw(master)
    logger = start_logger(build, os.ttyname(slave), logs)
    ready, _, _ = select.select([master], [], [], 5)
    if not ready or os.read(master, 1) != b"w":
        sys.exit("no start byte")
    wait_for(lambda: len(os.listdir(logs)) == 2, 5)
    started = time.monotonic()
    view = memoryview(data)
    while view:
        select.select([], [master], [])
        view = view[os.write(master, view[:65536]):]

    def queued():
        return struct.unpack("i", fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0"))[0]

    while queued() > 0:
        time.sleep(0.0005)
    status, cpu, rss, _ = stop_logger(logger)  # the exit key after everything was read
    wall = time.monotonic() - started
    os.close(master)
    os.close(slave)
    samples, _ = logged_lines(logs)
    print(f"burst: {count} AngleAccel packets ({len(data)} bytes) into the pseudo-terminal: "
          f"{samples} logged, {wall:.3f} s from the first byte to the logs closed; vglog CPU "
          f"{cpu:.3f} s, peak RSS {rss / 1024:.2f} MiB, exit status {status}")
    return samples == count and status == 0


@in_scratch_dir
def lost(tmp, logs, build, seconds):
    master, slave = os.openpty()
    tty.setraw(master)
    link = os.path.join(tmp, "board")
    os.symlink(os.ttyname(slave), link)
    os.close(slave)
    logger = start_logger(build, link, logs)

    def start_byte():
        # Until vglog has the device open the master reads as hung up (EIO): not yet.
        try:
            return select.select([master], [], [], 0.05)[0] and os.read(master, 1) == b"w"
        except OSError:
            return False

    if not wait_for(start_byte, 5):
        sys.exit("no start byte")
    wait_for(lambda: len(os.listdir(logs)) == 2, 5)
    os.close(master)  # the board is unplugged and stays away
    time.sleep(1.0)
    before = cpu_seconds(logger.pid)
    started = time.monotonic()
    time.sleep(seconds)
    cpu = cpu_seconds(logger.pid) - before
    wall = time.monotonic() - started
    status, _, _, out = stop_logger(logger)
    print(f"lost: board away for {wall:.1f} s: vglog CPU {cpu:.3f} s = "
          f"{100 * cpu / wall:.4f} % of one core while retrying once a second, "
          f"exit status {status}")
    return status == 0 and (STDERR_TTY or b"link lost" in out)


def replay_once(build, workdir, capture, times=False):
    """Runs vglog --replay; returns (status, wall seconds, CPU seconds, peak RSS KiB, stderr)."""
    started = time.monotonic()
    proc = subprocess.Popen([os.path.join(build, "vglog"), "--replay", capture,
                             *(["--times"] if times else [])], cwd=workdir,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    rss = 0
    while True:
        try:  # the high-water mark, read while the process still exists
            rss = max(rss, peak_rss_kib(proc.pid))
        except (OSError, ValueError):
            pass
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        time.sleep(0.005)
    wall = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, wall, usage.ru_utime + usage.ru_stime, rss, proc.stderr.read()


@in_scratch_dir
def replay(tmp, logs, build, count, times=False):
    ok = True
    for n in (count // 10, count):
        capture = os.path.join(tmp, "raw.2020Jan01-000000.bin")
        subprocess.run([os.path.join(build, "vglog-sim"), "--out", capture, "--kinds", "10",
                        "--count", str(n), "--seed", "5"], check=True, stderr=subprocess.DEVNULL)
        size = os.path.getsize(capture)
        if times:
            # As a live --times run at the line's pace records it: a read every 10 ms, of the
            # 115 bytes the line brings meanwhile (packets straddle reads).
            with open(capture + ".times", "w") as f:
                f.write("vglog capture times 1\nstart 1577836800000000 2020-01-01T00:00:00Z\n")
                reads, rest = divmod(size, 115)
                f.writelines(f"{1000 + i * 10000} 115\n" for i in range(reads))
                if rest:
                    f.write(f"{1000 + reads * 10000} {rest}\n")
        status, wall, cpu, rss, err = replay_once(build, logs, capture, times)
        samples, _ = logged_lines(logs)
        if times and times_rows(logs) != samples:
            print(f"replay: {times_rows(logs)} rows in the times file for {samples} lines")
            ok = False
        for name in os.listdir(logs):
            os.remove(os.path.join(logs, name))
        os.remove(capture)
        if times:
            os.remove(capture + ".times")
        print(f"replay{' --times' if times else ''}: {n} AngleAccel packets ({size} bytes): {samples} logged in {wall:.3f} s "
              f"= {n / wall:,.0f} packets/s wall, {n / cpu:,.0f} per CPU second; peak RSS "
              f"{rss / 1024:.2f} MiB, exit status {status}")
        ok &= samples == n and status == 0
        if status != 0:
            print(err.decode(errors="replace"))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", nargs="?", default="soak",
                        choices=["soak", "idle", "burst", "lost", "replay", "all"])
    parser.add_argument("--stderr-tty", action="store_true")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--count", type=int, default=None)
    parser.add_argument("--raw", action="store_true", help="the soak's logger keeps a capture")
    parser.add_argument("--serve", action="store_true",
                        help="the soak's logger serves the live view to one client")
    parser.add_argument("--times", action="store_true",
                        help="the soak's logger writes the times file; the replay replays with it")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    a = parser.parse_args()
    global STDERR_TTY
    STDERR_TTY = a.stderr_tty
    global SERVE
    SERVE = a.serve
    ok = True
    if a.mode in ("soak", "all"):
        ok &= soak(a.build, a.seconds or 60, a.raw, a.times)
    if a.mode in ("idle", "all"):
        ok &= idle(a.build, a.seconds or 10)
    if a.mode in ("burst", "all"):
        ok &= burst(a.build, a.count or 100000)
    if a.mode in ("lost", "all"):
        ok &= lost(a.build, a.seconds or 60)
    if a.mode in ("replay", "all"):
        ok &= replay(a.build, a.count or 3000000, a.times)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
