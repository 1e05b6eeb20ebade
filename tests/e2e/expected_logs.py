"""An independent model of what vglog must log for a byte stream: framing, decoding and the two
line formats, written from the wire format rather than from the program's code."""

import struct

SAMPLES_HEADER = (b"Sample      Phi       Theta       Psi         X          Y          Z       "
                  b"Xworld     YWorld     ZWorld     Quat[0]    Quat[1]    Quat[2]    Quat[3]\r\n")


def frame(stream):
    """The packets in a byte stream: "$", a length L from 2 to 127, L - 2 more bytes."""
    packets, i = [], 0
    while i < len(stream):
        if stream[i] != 0x24:
            i += 1
            continue
        if i + 1 >= len(stream):
            break
        length = stream[i + 1]
        if length < 2 or length >= 128:
            i += 2
            continue
        if i + length > len(stream):
            break  # not complete yet
        packets.append(stream[i:i + length])
        i += length
    return packets


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def s24(b, at):
    v = int.from_bytes(b[at:at + 3], "big", signed=True)
    return f32(v / 65536.0)


def t24(b, at):
    v = int.from_bytes(b[at:at + 3], "big", signed=True) * 256
    return f32(v / 65536.0)


def q14(b, at):
    return f32(int.from_bytes(b[at:at + 2], "big", signed=True) / 16384.0)


def sample_line(packet):
    b = bytes(packet) + bytes(256 - len(packet))  # the decoder's buffer is zero past the packet
    sample = int.from_bytes(b[3:5], "big", signed=True)  # printed as a signed 16-bit value
    values = [t24(b, 5), t24(b, 8), t24(b, 11)]
    values += [s24(b, at) for at in range(14, 32, 3)]
    values += [q14(b, at) for at in range(32, 40, 2)]
    return ("%6d" % sample + "".join(" %10.5f" % v for v in values) + "\r\n").encode()


def dump_line(packet):
    b = bytes(packet) + bytes(256 - len(packet))
    out = bytearray()
    for byte in b[:14]:
        out += bytes([byte]) if 0x20 <= byte <= 0x7E else b"\\%03d" % byte
    return bytes(out) + b"\r\n"


def expected_logs(stream):
    """(samples log, misc log, console warnings) for everything framed in the stream."""
    samples, misc, console = [SAMPLES_HEADER], [], []
    for p in frame(stream):
        kind = p[2] if len(p) > 2 else 0
        if kind == 10:
            if len(p) < 40:
                console.append(b"Error - AngleAccel packet len %d, should be 42\n" % len(p))
            samples.append(sample_line(p))
        elif kind not in (2, 7, 8, 9):
            misc.append(dump_line(p))
    return b"".join(samples), b"".join(misc), b"".join(console)
