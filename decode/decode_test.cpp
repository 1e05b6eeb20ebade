#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "decode/decode.h"
#include "logging/scratch_dir_test_util.h"
#include "platform/console.h"

namespace vg::decode {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A "$"-packet of the given kind: length byte L = 3 + payload size.
Bytes packet(std::uint8_t kind, const Bytes& payload) {
    Bytes p(3 + payload.size());
    p[0] = sio::kPacketStart;
    p[1] = static_cast<std::uint8_t>(p.size());
    p[2] = kind;
    std::copy(payload.begin(), payload.end(), p.begin() + 3);
    return p;
}

// The encodings' examples: 00 01 00, FF FF FF and 80 00 00 as T24 angles and as S24
// accelerations, and the Q14 words 4000 C000 8000 7FFF.
Bytes angleAccel() {
    return packet(10, {0x9C, 0x40,                                            // sample 40000
                       0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00,  // angles
                       0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00,  // sensor frame
                       0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01,  // world frame
                       0x40, 0x00, 0xC0, 0x00, 0x80, 0x00, 0x7F, 0xFF});
}

const std::string kAngleAccelLine =
    "-25536    1.00000   -0.00391 -32768.00000    0.00391   -0.00002 -128.00000    1.00000"
    "   -1.00000    0.00002    1.00000   -1.00000   -2.00000    1.99994\r\n";

Bytes bytesOf(const SensorState& s) {
    Bytes b(sizeof s);
    std::memcpy(b.data(), &s, sizeof s);
    return b;
}

// A ring, a decoder, a sensor state and open logs in a scratch directory.
struct DecodeTest : ::testing::Test {
    testutil::ScratchDir scratch;
    std::unique_ptr<sio::PacketRing> ring = std::make_unique<sio::PacketRing>();
    Decoder decoder;
    SensorState state;
    logging::LogFiles logs;

    void SetUp() override {
        sio::setRingSize(*ring, sio::kMaxSlots);
        ASSERT_EQ(logging::openLogFilesAt(logs, std::tm{}), 0);
    }
    void TearDown() override { logging::closeLogFiles(logs); }

    // Decodes the packet and returns what that printed on standard output.
    std::string decode(const Bytes& p) {
        sio::storePacket(*ring, p.data());
        testing::internal::CaptureStdout();
        EXPECT_EQ(decodeNextPacket(decoder, *ring, state, logs), 0);
        platform::consoleFlush(2000);  // written by the console's own thread
        return testing::internal::GetCapturedStdout();
    }
    // The samples log's lines after the header, or the misc log.
    std::string log(std::size_t slot) {
        logging::flushLogsNow(logs);
        const std::string text = testutil::readFile(logging::logName(logs, slot));
        return slot == logging::kSamplesLog ? text.substr(sizeof logging::kSamplesHeader - 1)
                                            : text;
    }
};

TEST_F(DecodeTest, EmptyRingDecodesNothing) {
    EXPECT_EQ(decodeNextPacket(decoder, *ring, state, logs), -1);
    EXPECT_EQ(log(logging::kSamplesLog), "");
    EXPECT_EQ(log(logging::kMiscLog), "");
}

TEST_F(DecodeTest, AngleAccelFillsTheRecordAndLogsOneLine) {
    const auto before = bytesOf(state);
    EXPECT_EQ(decode(angleAccel()), "");

    const auto& r = decoder.record;
    EXPECT_EQ(r.sample, 40000);
    const float s24[] = {0.00390625f, -1.0f / 65536, -128.0f, 1.0f, -1.0f, 1.0f / 65536};
    const float got[] = {r.x, r.y, r.z, r.xWorld, r.yWorld, r.zWorld};
    EXPECT_TRUE(std::equal(got, got + 6, s24));
    EXPECT_EQ((std::array<float, 3>{r.phi, r.theta, r.psi}),
              (std::array<float, 3>{1.0f, -1.0f / 256, -32768.0f}));
    EXPECT_EQ(r.quatRaw, (std::array<std::int32_t, 4>{16384, -16384, -32768, 32767}));
    EXPECT_EQ(r.quat, (std::array<float, 4>{1.0f, -1.0f, -2.0f, 32767.0f / 16384}));
    EXPECT_EQ(log(logging::kSamplesLog), kAngleAccelLine);
    EXPECT_EQ(log(logging::kMiscLog), "");
    EXPECT_EQ(bytesOf(state), before);
}

TEST_F(DecodeTest, SampleTapsSeeEveryLoggedLineWithItsNumber) {
    std::vector<std::pair<std::uint16_t, std::uint64_t>> seen;
    decoder.sampleTaps[1] = {
        [](void* context, const logging::AngleAccelRecord& r, std::uint64_t line) {
            static_cast<decltype(seen)*>(context)->emplace_back(r.sample, line);
        },
        &seen};
    decode(angleAccel());
    decode(angleAccel());
    EXPECT_EQ(seen, (decltype(seen){{40000, 1}, {40000, 2}}));
}

TEST_F(DecodeTest, ShortAngleAccelWarnsAndIsLoggedWithZerosPastItsEnd) {
    const struct {
        std::uint8_t length;
        const char* warning;
        std::int32_t quat3;  // the last word, without its bytes beyond the packet
    } cases[] = {
        {39, "Error - AngleAccel packet len 39, should be 42\n", 0x7F00},
        {40, "", 0x7FFF},
        {41, "", 0x7FFF},
        {3, "Error - AngleAccel packet len 3, should be 42\n", 0},
    };
    std::string expectedLog;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "L = " << int{c.length});
        decode(angleAccel());  // a full packet first, so stale bytes would show
        Bytes p = angleAccel();
        p.resize(c.length);
        p[1] = c.length;
        EXPECT_EQ(decode(p), c.warning);
        EXPECT_EQ(decoder.record.quatRaw[3], c.quat3);
        char line[logging::kMaxSampleLine];
        expectedLog += kAngleAccelLine +
                       std::string(line, logging::formatAngleAccelLine(line, decoder.record));
    }
    EXPECT_EQ(log(logging::kSamplesLog), expectedLog);
}

TEST_F(DecodeTest, UndecodedKindsDumpFourteenBytesAndChangeNothing) {
    // A long packet before each leaves bytes behind that a short one must not show.
    const Bytes longOne = packet(3, Bytes(27, 'A'));
    const std::string longLine = "$\\030\\003AAAAAAAAAAA\r\n";
    const std::string zeros = "\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000";
    const struct {
        Bytes packet;
        std::string line;
    } cases[] = {
        {packet(3, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k'}),
         "$\\014\\003abcdefghijk\r\n"},
        {packet(11, {0x7E}), "$\\004\\011~" + zeros + "\r\n"},
        {packet(255, {0x5C}), "$\\004\\255\\" + zeros + "\r\n"},
        {packet(0, {}), "$\\003\\000\\000" + zeros + "\r\n"},
        {packet(1, {'x'}), "$\\004\\001x" + zeros + "\r\n"},
        {packet(6, Bytes(12, '6')), "$\\015\\00666666666666\r\n"},
    };
    const auto stateBefore = bytesOf(state);
    std::string expected;
    for (const auto& c : cases) {
        EXPECT_EQ(decode(longOne), "");
        EXPECT_EQ(decode(c.packet), "");
        expected += longLine + c.line;
    }
    EXPECT_EQ(log(logging::kMiscLog), expected);
    EXPECT_EQ(log(logging::kSamplesLog), "");
    EXPECT_EQ(bytesOf(state), stateBefore);
    EXPECT_EQ(decoder.record.sample, 0);
}

TEST_F(DecodeTest, VectorPacketsFillTheirOwnVectorAndTheTag) {
    const Bytes payload = {0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x2A};
    const std::array<float, 3> s24 = {0.00390625f, -1.0f / 65536, -128.0f};
    const std::array<float, 3> t24 = {1.0f, -1.0f / 256, -32768.0f};
    const struct {
        std::uint8_t kind;
        std::array<float, 3> SensorState::*vector;
        std::array<float, 3> values;
    } cases[] = {{7, &SensorState::kind7Vector, s24},
                 {8, &SensorState::kind8Vector, t24},
                 {9, &SensorState::kind9Vector, s24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << int{c.kind});
        SensorState expected = state;
        EXPECT_EQ(decode(packet(c.kind, payload)), "");
        expected.*c.vector = c.values;
        expected.sampleTag = 0x2A;
        EXPECT_EQ(bytesOf(state), bytesOf(expected));
        state.sampleTag = 0;
    }
    // Without a length check, a short packet reads zeros past its end: 02 00 00, not the
    // 02 FF FF an earlier packet left there, and tag 0.
    decode(packet(7, payload));
    decode(packet(7, {0x01, 0x00, 0x00, 0x02}));
    EXPECT_EQ(state.kind7Vector, (std::array<float, 3>{1.0f, 2.0f, 0.0f}));
    EXPECT_EQ(state.sampleTag, 0);
    EXPECT_EQ(log(logging::kSamplesLog), "");
    EXPECT_EQ(log(logging::kMiscLog), "");
}

TEST_F(DecodeTest, QuaternionRunsTheTrackerOnlyWhenItsSecondWordIsNonZero) {
    initSensorState(&state);
    const struct {
        Bytes payload;  // q0..q3, buttons, tag
        std::array<std::int32_t, 4> raw;
        bool tracked;
    } cases[] = {
        {{0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x05}, {16384, 0, 0, 0}, false},
        {{0x3F, 0xFF, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0x01, 0x06}, {16383, 0, 256, -1}, false},
        {{0x3F, 0xFF, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x02, 0x07}, {16383, 16, 0, 0}, true},
        {{0xC0, 0x00, 0xFF, 0xF0, 0x00, 0x00, 0x80, 0x00, 0x00, 0x08},
         {-16384, -16, 0, -32768},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "tag " << int{c.payload[9]});
        const std::uint8_t lastTag = state.lastSampleTag;
        const auto quatPrev = state.quatPrev;
        EXPECT_EQ(decode(packet(2, c.payload)), "");
        EXPECT_EQ(state.quatRaw, c.raw);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(state.quat[i], static_cast<float>(c.raw[i] / 16384.0));
        }
        EXPECT_EQ(state.buttons, c.payload[8]);
        EXPECT_EQ(state.sampleTag, c.payload[9]);
        // The tracker takes each new tag and keeps the quaternion it processed.
        EXPECT_EQ(state.lastSampleTag, c.tracked ? c.payload[9] : lastTag);
        EXPECT_EQ(state.quatPrev, c.tracked ? state.quat : quatPrev);
    }
    EXPECT_EQ(log(logging::kSamplesLog), "");
    EXPECT_EQ(log(logging::kMiscLog), "");
}

}  // namespace
}  // namespace vg::decode
