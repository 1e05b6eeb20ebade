// Fuzz target: arbitrary received bytes, cut into arbitrary chunks, through the framer, the
// packet ring, the decoder (with the tracker behind it) and the log files, the way the main loop
// moves them.
//
// Input layout, read from the back so that a plain recorded stream is a useful input too:
//   [stream ...][record: 54 bytes, if flag 0x20][plan: K bytes][K][flags]
// flags: bits 0-2 pick the ring size, bits 3-4 how many chunks pass between decoding passes,
// 0x20 adds a samples-log line of arbitrary values, 0x40 a dump line of the stream's head (0x80:
// with a negative count). The plan bytes are chunk sizes, used in turn; without a plan the whole
// stream is one chunk.
//
// What must hold: every chunking yields the packets that one chunk yields, which are the ones a
// straightforward byte-by-byte reading of the framing rules finds; a full ring drops exactly its
// oldest packets; every packet the decoder takes starts with "$" and has a length from 2 to 127;
// wire values keep every float in the sensor state finite; both log lines come out exactly as
// the C library would print them, and so they reach the files.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "decode/decode.h"
#include "fuzz/harness.h"
#include "logging/logging.h"
#include "platform/clock.h"
#include "sio/sio.h"
#include "state/sensor_state.h"

namespace {

using namespace vg;

// Up to this many stream bytes are used: even all two-byte packets then fit in one ring, so the
// one-chunk reading can be compared packet for packet.
constexpr std::size_t kMaxStream = 8000;
constexpr std::size_t kMaxPackets = kMaxStream / 2;
constexpr std::size_t kRecordBytes = 2 + 13 * 4;
constexpr std::int32_t kMaxDump = 600;
constexpr long kRotateLogBytes = 8L << 20;  // keeps the scratch logs from growing without bound
constexpr std::uint16_t kRingSizes[8] = {sio::kMaxSlots, 1, 2, 3, 4, 7, 16, 0};
constexpr unsigned kDecodeEvery[4] = {1, 2, 3, 5};

struct Span {
    std::size_t offset = 0;
    std::uint8_t length = 0;
};

// Everything one input runs through; allocated once, reset for every input.
struct Rig {
    sio::PacketRing ring;
    sio::PacketRing oneChunkRing;
    sio::Framer framer;
    sio::Framer oneChunkFramer;
    decode::Decoder decoder;
    SensorState state;
    logging::LogFiles logs;
    char logDir[256] = {};

    std::array<Span, kMaxPackets> expected{};  // the packets of the stream, in order
    std::size_t expectedCount = 0;
    std::array<std::uint16_t, kMaxPackets> queue{};  // what the ring should hold, oldest first
    std::size_t queueHead = 0, queueTail = 0;
};

Rig* theRig = nullptr;

// The framing rules read one byte at a time: skip to a "$"; the next byte is the length; a
// length below 2 or with the top bit set is no packet and both header bytes are gone; otherwise
// the packet is the "$", the length and the next length - 2 bytes. A packet cut off by the end of
// the stream is not (yet) a packet.
std::size_t frameByRule(const std::uint8_t* s, std::size_t n, std::array<Span, kMaxPackets>& out) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < n) {
        const void* start = std::memchr(s + i, sio::kPacketStart, n - i);
        if (start == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(start) - s);
        if (i + 1 >= n) {
            break;
        }
        const std::uint8_t len = s[i + 1];
        if (len < 2 || len > 127) {
            i += 2;
            continue;
        }
        if (n - i < len) {
            break;
        }
        out[count++] = Span{i, len};
        i += len;
    }
    return count;
}

// Runs with the log directory as the current one: the logs are always created there, and the
// fuzzer's own files (corpus, artifacts) keep going where it was started.
template <typename Fn>
void inLogDir(Rig& rig, Fn fn) {
    const int here = open(".", O_RDONLY | O_DIRECTORY);
    FUZZ_CHECK(here >= 0, "cannot hold on to the working directory");
    FUZZ_CHECK(chdir(rig.logDir) == 0, "cannot enter %s", rig.logDir);
    fn();
    FUZZ_CHECK(fchdir(here) == 0, "cannot go back to the working directory");
    close(here);
}

void openLogs(Rig& rig) {
    inLogDir(rig, [&rig] {
        FUZZ_CHECK(logging::openLogFilesAt(rig.logs, std::tm{}) == 0, "logs do not open");
    });
}

void removeLogs(Rig& rig) {
    logging::closeLogFiles(rig.logs);
    inLogDir(rig, [&rig] {
        for (const auto& file : rig.logs.files) {
            if (file.name[0] != '\0') {
                std::remove(file.name.data());
            }
        }
    });
}

void cleanUp() {
    if (theRig != nullptr) {
        removeLogs(*theRig);
        rmdir(theRig->logDir);
    }
}

Rig& getRig() {
    if (theRig == nullptr) {
        theRig = new Rig;
        const char* tmp = std::getenv("TMPDIR");
        std::snprintf(theRig->logDir, sizeof theRig->logDir, "%s/vglog-fuzz.XXXXXX",
                      tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp");
        FUZZ_CHECK(mkdtemp(theRig->logDir) != nullptr, "no scratch directory");
        openLogs(*theRig);
        std::atexit(cleanUp);
    }
    return *theRig;
}

void rotateLogsIfBig(Rig& rig) {
    long size = 0;
    for (const auto& file : rig.logs.files) {
        size += static_cast<long>(file.heldBytes + file.used);
    }
    if (size > kRotateLogBytes) {
        removeLogs(rig);
        openLogs(rig);
    }
}

bool finite(float v) {
    return std::isfinite(v);
}

template <std::size_t N>
bool allFinite(const std::array<float, N>& a) {
    for (const float v : a) {
        if (!finite(v)) {
            return false;
        }
    }
    return true;
}

// Wire values are bounded fixed-point numbers, so nothing derived from them may be NaN or
// infinite.
void checkStateFinite(const SensorState& s) {
    FUZZ_CHECK(allFinite(s.quat) && allFinite(s.quatPrev), "quaternion not finite");
    FUZZ_CHECK(allFinite(s.euler), "angles %g %g %g", double(s.euler[0]), double(s.euler[1]),
               double(s.euler[2]));
    FUZZ_CHECK(finite(s.phiNow) && finite(s.phiPrev) && finite(s.thetaNow) && finite(s.thetaPrev) &&
                   finite(s.psiNow) && finite(s.psiPrev),
               "small-tilt angles not finite");
    FUZZ_CHECK(allFinite(s.angleStep) && allFinite(s.angleSum) && allFinite(s.angleSmooth),
               "steps %g %g %g sums %g %g %g", double(s.angleStep[0]), double(s.angleStep[1]),
               double(s.angleStep[2]), double(s.angleSum[0]), double(s.angleSum[1]),
               double(s.angleSum[2]));
    FUZZ_CHECK(s.sinClamp >= -1.0f && s.sinClamp <= 1.0f, "sine %g", double(s.sinClamp));
}

std::int32_t wireWord(const std::uint8_t* p) {
    const auto word = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    return static_cast<std::int16_t>(word);
}

void checkVector(const std::array<float, 3>& v, float limit) {
    for (const float x : v) {
        FUZZ_CHECK(x >= -limit && x < limit, "vector value %g outside +-%g", double(x),
                   double(limit));
    }
}

// The samples line as the C library prints it; returns its length.
std::size_t referenceSampleLine(char* buf, std::size_t size, const logging::AngleAccelRecord& r) {
    const int len = std::snprintf(
        buf, size,
        "%6hd %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f "
        "%10.5f %10.5f\r\n",
        static_cast<short>(r.sample), double(r.phi), double(r.theta), double(r.psi), double(r.x),
        double(r.y), double(r.z), double(r.xWorld), double(r.yWorld), double(r.zWorld),
        double(r.quat[0]), double(r.quat[1]), double(r.quat[2]), double(r.quat[3]));
    FUZZ_CHECK(len > 0 && static_cast<std::size_t>(len) < size, "reference overflow");
    return static_cast<std::size_t>(len);
}

// The dump line as "%c" and "\\%03u" print it, byte by byte; returns its length.
std::size_t referenceDumpLine(char* buf, std::size_t size, const std::uint8_t* bytes,
                              std::int32_t count) {
    std::size_t len = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        const int n = (b >= 0x20 && b <= 0x7E)
                          ? std::snprintf(buf + len, size - len, "%c", b)
                          : std::snprintf(buf + len, size - len, "\\%03u", unsigned{b});
        len += static_cast<std::size_t>(n);
    }
    len += static_cast<std::size_t>(std::snprintf(buf + len, size - len, "\r\n"));
    FUZZ_CHECK(len < size, "reference overflow");
    return len;
}

void checkSame(const char* what, const char* got, std::size_t gotLen, const char* want,
               std::size_t wantLen) {
    FUZZ_CHECK(gotLen == wantLen && std::memcmp(got, want, wantLen) == 0,
               "%s differs:\n got  %.*s\n want %.*s", what, static_cast<int>(gotLen), got,
               static_cast<int>(wantLen), want);
}

void checkSampleLine(const logging::AngleAccelRecord& r) {
    char mine[logging::kMaxSampleLine];
    char ref[logging::kMaxSampleLine];
    checkSame("sample line", mine, logging::formatAngleAccelLine(mine, r), ref,
              referenceSampleLine(ref, sizeof ref, r));
}

void checkDumpLine(const std::uint8_t* bytes, std::int32_t count) {
    static char mine[5 * kMaxDump + 2];
    static char ref[5 * kMaxDump + 8];
    checkSame("dump line", mine, logging::formatDumpLine(mine, bytes, count), ref,
              referenceDumpLine(ref, sizeof ref, bytes, count));
}

// The last bytes written to a log must be `want`: what reached the file, not just the line.
void checkLogEndsWith(Rig& rig, std::size_t slot, const char* want, std::size_t len) {
    logging::flushLogsNow(rig.logs);
    FUZZ_CHECK(!rig.logs.files[slot].failed, "flush of log %zu failed", slot);
    const auto end = static_cast<long>(rig.logs.files[slot].heldBytes);
    FUZZ_CHECK(static_cast<std::size_t>(end) >= len, "log %zu holds %ld bytes", slot, end);
    static char got[5 * kMaxDump + 8];
    FUZZ_CHECK(len <= sizeof got, "line of %zu bytes", len);
    // The log is open for writing only: read it back through its name.
    char path[512];
    std::snprintf(path, sizeof path, "%s/%s", rig.logDir, logging::logName(rig.logs, slot));
    const int fd = open(path, O_RDONLY);
    FUZZ_CHECK(fd >= 0, "cannot read back %s", path);
    const auto read = pread(fd, got, len, static_cast<off_t>(end) - static_cast<off_t>(len));
    close(fd);
    checkSame(slot == logging::kSamplesLog ? "samples log" : "misc log", got,
              read < 0 ? 0 : static_cast<std::size_t>(read), want, len);
}

// What the decoder must have done with the packet it just took.
void checkDecoded(Rig& rig, const std::uint8_t* rx) {
    const SensorState& s = rig.state;
    switch (rx[2]) {
        case 2:
            for (std::size_t i = 0; i < 4; ++i) {
                FUZZ_CHECK(s.quatRaw[i] == wireWord(rx + 3 + 2 * i), "word %zu sign-fixed to %d", i,
                           s.quatRaw[i]);
                FUZZ_CHECK(double(s.quat[i]) * 16384.0 == double(s.quatRaw[i]),
                           "q%zu = %g for word %d", i, double(s.quat[i]), s.quatRaw[i]);
            }
            FUZZ_CHECK(s.buttons == rx[11] && s.sampleTag == rx[12], "buttons or tag");
            break;
        case 7:
            checkVector(s.kind7Vector, 128.0f);
            break;
        case 8:
            checkVector(s.kind8Vector, 32768.0f);
            break;
        case 9:
            checkVector(s.kind9Vector, 128.0f);
            break;
        case 10:
            checkSampleLine(rig.decoder.record);
            break;
        default:
            checkDumpLine(rx, 14);
            break;
    }
    checkStateFinite(s);
}

void expectStored(Rig& rig, std::size_t index, std::uint16_t slotCount) {
    rig.queue[rig.queueTail++] = static_cast<std::uint16_t>(index);
    if (rig.queueTail - rig.queueHead > static_cast<std::size_t>(slotCount - 1)) {
        ++rig.queueHead;  // a full ring drops its oldest packet
    }
}

// One decoding pass of the main loop: count, then take and decode exactly that many.
void decodePass(Rig& rig, const std::uint8_t* stream) {
    std::uint16_t count = 0;
    sio::countPackets(rig.ring, count);
    FUZZ_CHECK(count == rig.queueTail - rig.queueHead, "ring counts %u, %zu expected",
               unsigned{count}, rig.queueTail - rig.queueHead);
    for (std::uint16_t i = 0; i < count; ++i) {
        const int result = decode::decodeNextPacket(rig.decoder, rig.ring, rig.state, rig.logs);
        FUZZ_CHECK(result == 0, "decode of a counted packet gave %d", result);
        const Span want = rig.expected[rig.queue[rig.queueHead++]];
        const std::uint8_t* rx = rig.decoder.rxBuffer.data();
        FUZZ_CHECK(rx[0] == sio::kPacketStart, "packet starts with %u", unsigned{rx[0]});
        FUZZ_CHECK(rx[1] >= 2 && rx[1] <= 127, "packet length %u", unsigned{rx[1]});
        FUZZ_CHECK(rx[1] == want.length && std::memcmp(rx, stream + want.offset, want.length) == 0,
                   "packet of length %u differs from the one at offset %zu", unsigned{rx[1]},
                   want.offset);
        static constexpr std::array<std::uint8_t, sio::kSlotBytes> kZeros{};
        FUZZ_CHECK(std::memcmp(rx + rx[1], kZeros.data(), sio::kSlotBytes - rx[1]) == 0,
                   "bytes beyond the packet are not zero");
        checkDecoded(rig, rx);
    }
    FUZZ_CHECK(decode::decodeNextPacket(rig.decoder, rig.ring, rig.state, rig.logs) == -1,
               "a packet left after the counted ones");
}

// The stream in one chunk must give exactly the packets the rules give.
void checkOneChunk(Rig& rig, const std::uint8_t* stream, std::size_t n) {
    sio::PacketRing& ring = rig.oneChunkRing;
    ring.readIndex = ring.writeIndex = 0;
    sio::setRingSize(ring, sio::kMaxSlots);
    rig.oneChunkFramer = sio::Framer{};
    const std::size_t done = sio::frameBytes(rig.oneChunkFramer, ring, stream, n);
    FUZZ_CHECK(done == rig.expectedCount, "one chunk gives %zu packets, the rules %zu", done,
               rig.expectedCount);
    std::array<std::uint8_t, sio::kSlotBytes> dest{};
    for (std::size_t k = 0; k < done; ++k) {
        FUZZ_CHECK(sio::takePacket(ring, dest.data()) == 0, "packet %zu missing", k);
        const Span want = rig.expected[k];
        FUZZ_CHECK(dest[1] == want.length &&
                       std::memcmp(dest.data(), stream + want.offset, want.length) == 0,
                   "one-chunk packet %zu differs", k);
    }
    FUZZ_CHECK(sio::takePacket(ring, dest.data()) == -1, "extra packet in one chunk");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Rig& r = getRig();

    // Control fields from the back.
    std::size_t end = size;
    const std::uint8_t flags = end > 0 ? data[--end] : 0;
    const std::size_t planWanted = end > 0 ? data[--end] : 0;
    const std::size_t planLen = planWanted < end ? planWanted : end;
    end -= planLen;
    const std::uint8_t* plan = data + end;
    const bool extraRecord = (flags & 0x20) != 0 && end >= kRecordBytes;
    if (extraRecord) {
        end -= kRecordBytes;
    }
    const std::uint8_t* record = data + end;
    const std::uint8_t* stream = data;
    const std::size_t n = end < kMaxStream ? end : kMaxStream;

    // A fresh run: empty ring of the chosen size, fresh framer, decoder and sensor state.
    r.ring.readIndex = r.ring.writeIndex = 0;
    sio::setRingSize(r.ring, kRingSizes[flags & 7]);
    const std::uint16_t slotCount = r.ring.slotCount;
    FUZZ_CHECK(slotCount >= 1 && slotCount <= sio::kMaxSlots, "ring of %u slots",
               unsigned{slotCount});
    r.framer = sio::Framer{};
    r.decoder = decode::Decoder{};
    r.state = SensorState{};
    initSensorState(&r.state);
    r.queueHead = r.queueTail = 0;

    r.expectedCount = frameByRule(stream, n, r.expected);
    checkOneChunk(r, stream, n);

    // The fuzzed chunking, decoding every few chunks as the main loop does every pass.
    const unsigned decodeEvery = kDecodeEvery[(flags >> 3) & 3];
    std::size_t pos = 0;
    std::size_t planAt = 0;
    std::size_t zeroRun = 0;
    std::size_t completed = 0;
    unsigned pass = 0;
    while (pos < n) {
        std::size_t want = n - pos;
        if (planLen > 0) {
            want = plan[planAt++ % planLen];
            zeroRun = want == 0 ? zeroRun + 1 : 0;
            if (zeroRun > planLen) {
                want = n - pos;  // a plan of empty chunks only: the rest in one
            }
        }
        const std::size_t chunk = want < n - pos ? want : n - pos;
        const std::size_t done = sio::frameBytes(r.framer, r.ring, stream + pos, chunk);
        FUZZ_CHECK(completed + done <= r.expectedCount, "chunked framing finds extra packets");
        for (std::size_t k = completed; k < completed + done; ++k) {
            expectStored(r, k, slotCount);
        }
        completed += done;
        pos += chunk;
        if (++pass % decodeEvery == 0) {
            decodePass(r, stream);
        }
    }
    decodePass(r, stream);
    FUZZ_CHECK(completed == r.expectedCount, "chunked framing gives %zu packets, one chunk %zu",
               completed, r.expectedCount);

    if (extraRecord) {
        fuzz::Reader in(record, kRecordBytes);
        logging::AngleAccelRecord rec;
        rec.sample = in.value<std::uint16_t>();
        for (float* f :
             {&rec.phi, &rec.theta, &rec.psi, &rec.x, &rec.y, &rec.z, &rec.xWorld, &rec.yWorld,
              &rec.zWorld, &rec.quat[0], &rec.quat[1], &rec.quat[2], &rec.quat[3]}) {
            *f = in.value<float>();
        }
        checkSampleLine(rec);
        char want[logging::kMaxSampleLine];
        const std::size_t len = referenceSampleLine(want, sizeof want, rec);
        FUZZ_CHECK(logging::writeAngleAccelLine(r.logs, rec) == 0, "samples line not written");
        checkLogEndsWith(r, logging::kSamplesLog, want, len);
    }
    if ((flags & 0x40) != 0) {
        std::int32_t count =
            static_cast<std::int32_t>(n) < kMaxDump ? static_cast<std::int32_t>(n) : kMaxDump;
        if ((flags & 0x80) != 0) {
            count = -count - 1;
        }
        checkDumpLine(stream, count);
        static char want[5 * kMaxDump + 8];
        const std::size_t len = referenceDumpLine(want, sizeof want, stream, count);
        FUZZ_CHECK(logging::dumpPacket(r.logs, stream, count) == 0, "dump line not written");
        checkLogEndsWith(r, logging::kMiscLog, want, len);
    }

    logging::flushLogsIfDue(r.logs, platform::monotonicMs());
    rotateLogsIfBig(r);
    return 0;
}
