#!/usr/bin/env python3
"""Writes the seed corpora of the two fuzz targets into fuzz/corpus/<target>/.

Stream seeds are recorded streams of the simulated board (vglog-sim --out) with a few chunk
plans and ring sizes, plus hand-made edge cases of the framing, the decoder and the log lines.
Motion seeds are the quaternion samples of such streams, as wire words and as floats, with
button scripts and edge values. The layouts are the ones read by stream_fuzz.cpp and
motion_fuzz.cpp.

usage: make_seeds.py --sim build/vglog-sim [--out fuzz/corpus]
"""
import argparse
import math
import os
import struct
import subprocess
import tempfile

START = 0x24  # "$"


# --- stream target -------------------------------------------------------------------------

def stream_input(stream, plan=(), flags=0, record=b""):
    """stream, then the extra samples-log record (flag 0x20), the chunk plan, its length and
    the flags byte."""
    if record:
        assert len(record) == 54
        flags |= 0x20
    return bytes(stream) + record + bytes(plan) + bytes([len(plan), flags])


def packet(kind, payload):
    return bytes([START, 3 + len(payload), kind]) + bytes(payload)


def simulate(sim, count, seed, noise=0.0, kinds=None):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stream.bin")
        cmd = [sim, "--out", out, "--count", str(count), "--seed", str(seed),
               "--noise", str(noise)]
        if kinds:
            cmd += ["--kinds", kinds]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out, "rb") as f:
            return f.read()


def packets_of(stream):
    """The packets of a clean stream, by the framing rules."""
    i, found = 0, []
    while i + 1 < len(stream):
        if stream[i] != START:
            i += 1
            continue
        n = stream[i + 1]
        if n < 2 or n > 127:
            i += 2
            continue
        if len(stream) - i < n:
            break
        found.append(stream[i:i + n])
        i += n
    return found


def record_bytes(sample, floats):
    assert len(floats) == 13
    return struct.pack("<H13f", sample, *floats)


def stream_seeds(sim):
    seeds = {}
    plans = [(), (1,), (7, 13), (42, 0, 3), (255,), (2, 3, 5, 8, 13, 21, 34, 55)]
    runs = [  # seed, count, noise, kinds, flags
        (1, 40, 0.0, None, 0x00),
        (2, 40, 0.2, None, 0x08),
        (3, 60, 0.5, None, 0x10),
        (4, 40, 0.0, "2", 0x18),
        (5, 40, 0.0, "10", 0x00),
        (6, 40, 0.1, "7,8,9", 0x00),
        (7, 30, 0.3, "3,11,200,255", 0x00),
        (8, 60, 0.0, "2,7,8,9,10,3,11", 0x03),  # ring of 3 slots: drops
        (9, 40, 0.0, "2,10", 0x01),  # ring of 1 slot: keeps nothing
        (10, 50, 0.6, "2,10,3", 0x46),  # and a dump line of its first 600 bytes
        (11, 40, 0.0, None, 0x07),  # ring size 0 means the full ring
        (12, 80, 0.0, "2", 0x05),
    ]
    for k, (seed, count, noise, kinds, flags) in enumerate(runs):
        stream = simulate(sim, count, seed, noise, kinds)
        plan = plans[k % len(plans)]
        seeds[f"sim-{seed:02d}"] = stream_input(stream, plan, flags)

    # Framing edges.
    body = packet(10, bytes(range(39)))  # a whole AngleAccel packet
    seeds["empty"] = stream_input(b"")
    seeds["lone-start"] = stream_input(b"$")
    for n in (0, 1, 2, 3, 0x7F, 0x80, 0xFF):
        seeds[f"length-{n:03d}"] = stream_input(bytes([START, n]) + body, (1,))
    seeds["length-127"] = stream_input(bytes([START, 127, 5]) + bytes(range(124)) + body)
    seeds["dollar-dollar"] = stream_input(bytes([START, START]) + b"$" * 34 + body, (3,))
    seeds["cut-off-at-end"] = stream_input(body + body[:20], (5,))
    seeds["junk-then-packets"] = stream_input(b"abc\r\n\x00\xff" + body * 3, (2, 1))

    # Decoder edges: short packets read their fields past the length; extreme values.
    seeds["short-angle-accel"] = stream_input(packet(10, bytes(36)) + packet(10, bytes(37)))
    extremes = (bytes([0x9C, 0x40]) + bytes([0x80, 0, 0]) * 3 + bytes([0x7F, 0xFF, 0xFF]) * 3 +
                bytes([0xFF, 0xFF, 0xFF]) * 3 + bytes([0x80, 0x00, 0x7F, 0xFF, 0xC0, 0, 0x40, 0]))
    seeds["angle-accel-extremes"] = stream_input(packet(10, extremes))
    seeds["short-quaternion"] = stream_input(packet(2, b"\x40\x00") + packet(2, b""))
    quats = b"".join(packet(2, struct.pack(">4h", 16384, 100 * t, -50 * t, 0) + bytes([t & 3, t]))
                     for t in (0, 0, 1, 1, 255, 0, 7))
    seeds["quaternion-tags"] = stream_input(quats, (4,))
    seeds["vectors-extremes"] = stream_input(
        b"".join(packet(k, bytes([0x80, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 9]))
                 for k in (7, 8, 9)))
    seeds["unknown-kinds"] = stream_input(
        packet(3, b"A\\\x7f\x80\xff \x00\n\r~%") + packet(0, b"") + packet(255, bytes(100)))

    # Log lines of values no packet carries: ties, huge, tiny, NaN and infinities.
    inf, nan = float("inf"), float("nan")
    seeds["record-specials"] = stream_input(
        body, flags=0x40,
        record=record_bytes(65535, [1 / 64, -1 / 64, 3 / 64, 0.5e-5, -0.0, 1e-45, 3.4e38,
                                    -3.4e38, inf, -inf, nan, 12345.5, 2.0 ** 46]))
    seeds["record-wide"] = stream_input(
        b"", record=record_bytes(7, [99999.99, -99999.99, 1e10, 2.0 ** 40 + 0.5, 5e-6, 5e-6 * 3,
                                     -1e-6, 0.1, 0.2, 0.3, 1.0, -0.5, 8388608.5]))
    seeds["dump-negative"] = stream_input(body * 2, flags=0xC0)
    return seeds


# --- motion target -------------------------------------------------------------------------

def wire_samples(sim, seed, count):
    """(words, buttons, tag) of every quaternion packet of a simulated stream."""
    out = []
    for p in packets_of(simulate(sim, count, seed, 0.0, "2")):
        if p[2] == 2 and len(p) >= 13:
            out.append((struct.unpack(">4h", p[3:11]), p[11], p[12]))
    return out


def wire_input(samples, flags=0x01, position=None):
    head = bytes([flags | 0x01 | (0x04 if position else 0)])
    if position:
        head += struct.pack("<2i", *position)
    return head + b"".join(struct.pack(">4h", *w) + bytes([b, t]) for w, b, t in samples)


def float_input(samples, flags=0x00, position=None):
    head = bytes([(flags & ~0x01) | (0x04 if position else 0)])
    if position:
        head += struct.pack("<2i", *position)
    return head + b"".join(struct.pack("<4f", *q) + bytes([b, t]) for q, b, t in samples)


def with_buttons(samples, script):
    return [(w, script[i % len(script)], t) for i, (w, _, t) in enumerate(samples)]


def motion_seeds(sim):
    seeds = {}
    base = wire_samples(sim, 1, 120)
    tilted = wire_samples(sim, 5, 200)
    seeds["wire-sim"] = wire_input(base)
    seeds["wire-sim-tilted"] = wire_input(tilted, position=(100, 200))
    seeds["wire-no-query"] = wire_input(wire_samples(sim, 2, 120), flags=0x02)
    seeds["wire-edge-position"] = wire_input(base[:60], position=(-2 ** 31, 2 ** 31 - 1))
    # A long press (Held), a press of the secondary button alone, a tap and release.
    seeds["wire-long-press"] = wire_input(with_buttons(base, [0] * 10 + [1] * 40 + [0] * 10))
    seeds["wire-secondary"] = wire_input(with_buttons(base, [0] * 5 + [2] * 30 + [3] * 5 + [0]))
    seeds["wire-taps"] = wire_input(with_buttons(base, [0, 0, 1, 0, 0, 1, 1, 3, 2, 0]))
    seeds["wire-still"] = wire_input([((16384, 0, 0, 0), 0, t % 256) for t in range(1, 150)])
    seeds["wire-extremes"] = wire_input([
        ((-32768, -32768, -32768, -32768), 0, 1), ((32767, 32767, 32767, 32767), 1, 2),
        ((0, 0, 0, 0), 0, 3), ((0, 32767, 0, 0), 0, 4), ((11585, 11585, 0, 0), 3, 5),
        ((11585, -11585, 0, 0), 0, 6), ((0, 0, 0, 0), 0, 6)])
    # Tags: 0 first (skipped), repeats, wrap-around.
    seeds["wire-tags"] = wire_input([((16384, 1000, 0, 0), 0, t) for t in
                                     (0, 0, 1, 1, 2, 255, 0, 0, 3)])

    as_float = [(tuple(w / 16384.0 for w in q), b, t) for q, b, t in base]
    seeds["float-sim"] = float_input(as_float)
    inf, nan = float("inf"), float("nan")
    big = 3.0e38
    specials = [(1, 0, 0, 0), (nan, 0, 0, 0), (0, nan, 0, 0), (inf, 0, 0, 0), (0, -inf, 0, 0),
                (big, big, big, big), (-big, big, -big, big), (1e-45, 1e-45, 0, 0),
                (0.8, 0.8, 0, 0), (-0.8, 0.8, 0, 0), (0, 0, 0, 0), (1e20, 1e-20, 3, -7),
                (math.cos(0.7), math.sin(0.7), 0, 0), (math.cos(0.7), -math.sin(0.7), 0, 0)]
    seeds["float-specials"] = float_input(
        [(q, i & 3, i + 1) for i, q in enumerate(specials)], position=(5, -5))
    seeds["float-huge-tilt"] = float_input(
        [((0.7, 0.72, 0, 0), 0, 1), ((big, big, 1, 1), 0, 2), ((0.7, 0.72, 0, 0), 1, 3)] +
        [((0.7, 0.72, 0.01 * i, 0), 1, 4 + i) for i in range(30)])
    seeds["float-no-query"] = float_input(as_float[:40], flags=0x02)
    return seeds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the vglog-sim program")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "corpus"))
    args = parser.parse_args()
    for target, seeds in (("stream", stream_seeds(args.sim)), ("motion", motion_seeds(args.sim))):
        folder = os.path.join(args.out, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{folder}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
