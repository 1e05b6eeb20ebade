#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decode/decode.h"

namespace vg::decode {
namespace {

namespace fs = std::filesystem;
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

// An AngleAccel packet with every field distinct: sample 40000; angles 00 01 00 (1.0),
// FF FF FF (-1/256), 80 00 00 (-32768); accelerations 00 01 00, FF FF FF, 80 00 00, then
// 01 00 00 (1.0), FF 00 00 (-1.0), 00 00 01 (1/65536); quaternion words 4000 C000 8000 7FFF.
Bytes angleAccel() {
    return packet(10, {0x9C, 0x40,                                            // sample
                       0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00,  // angles
                       0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00,  // sensor frame
                       0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01,  // world frame
                       0x40, 0x00, 0xC0, 0x00, 0x80, 0x00, 0x7F, 0xFF});
}

const std::string kAngleAccelLine =
    "-25536    1.00000   -0.00391 -32768.00000    0.00391   -0.00002 -128.00000    1.00000"
    "   -1.00000    0.00002    1.00000   -1.00000   -2.00000    1.99994\r\n";

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> bytesOf(const SensorState& s) {
    std::vector<std::uint8_t> b(sizeof s);
    std::memcpy(b.data(), &s, sizeof s);
    return b;
}

// A ring, a decoder, a sensor state and open logs in a fresh directory of the test's own.
struct DecodeTest : ::testing::Test {
    std::unique_ptr<sio::PacketRing> ring = std::make_unique<sio::PacketRing>();
    Decoder decoder;
    SensorState state;
    logging::LogFiles logs;
    fs::path home, dir;
    std::string samplesName, miscName;

    void SetUp() override {
        home = fs::current_path();
        std::string tmpl = (fs::temp_directory_path() / "vglog-decode-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        fs::current_path(dir);
        sio::setRingSize(*ring, sio::kMaxSlots);
        std::tm start{};
        start.tm_year = 112;
        start.tm_mon = 1;
        start.tm_mday = 28;
        ASSERT_EQ(logging::openLogFilesAt(logs, start), 0);
        samplesName = logs.names[logging::kSamplesLog].data();
        miscName = logs.names[logging::kMiscLog].data();
    }
    void TearDown() override {
        logging::closeLogFiles(logs);
        fs::current_path(home);
        fs::remove_all(dir);
    }

    void push(const Bytes& p) { sio::storePacket(*ring, p.data()); }
    int decode() { return decodeNextPacket(decoder, *ring, state, logs); }
    // Decodes one packet and returns what it printed on standard output.
    std::string decodePrinting(int expectedResult = 0) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(decode(), expectedResult);
        return testing::internal::GetCapturedStdout();
    }
    // The lines of the samples log after its header, and the misc log.
    std::string samples() {
        std::fflush(logs.logFiles[logging::kSamplesLog]);
        return readFile(samplesName).substr(sizeof logging::kSamplesHeader - 1);
    }
    std::string misc() {
        std::fflush(logs.logFiles[logging::kMiscLog]);
        return readFile(miscName);
    }
};

TEST_F(DecodeTest, EmptyRingDecodesNothing) {
    EXPECT_EQ(decodePrinting(-1), "");
    EXPECT_EQ(samples(), "");
    EXPECT_EQ(misc(), "");
}

TEST_F(DecodeTest, AngleAccelFillsTheRecordAndLogsOneLine) {
    const auto before = bytesOf(state);
    push(angleAccel());
    EXPECT_EQ(decodePrinting(), "");

    const auto& r = decoder.record;
    EXPECT_EQ(r.sample, 40000);
    EXPECT_EQ(r.phi, 1.0f);
    EXPECT_EQ(r.theta, -1.0f / 256);
    EXPECT_EQ(r.psi, -32768.0f);
    EXPECT_EQ(r.x, 0.00390625f);
    EXPECT_EQ(r.y, -1.0f / 65536);
    EXPECT_EQ(r.z, -128.0f);
    EXPECT_EQ(r.xWorld, 1.0f);
    EXPECT_EQ(r.yWorld, -1.0f);
    EXPECT_EQ(r.zWorld, 1.0f / 65536);
    EXPECT_EQ(r.quatRaw, (std::array<std::int32_t, 4>{16384, -16384, -32768, 32767}));
    EXPECT_EQ(r.quat, (std::array<float, 4>{1.0f, -1.0f, -2.0f, 32767.0f / 16384}));
    EXPECT_EQ(samples(), kAngleAccelLine);
    EXPECT_EQ(misc(), "");
    EXPECT_EQ(bytesOf(state), before);  // the sensor state is not the record's business
}

TEST_F(DecodeTest, ShortAngleAccelWarnsAndIsLoggedWithZerosPastItsEnd) {
    const struct {
        std::uint8_t length;
        const char* warning;
        std::int32_t quat3;  // the last word loses its bytes beyond the packet
    } cases[] = {
        {39, "Error - AngleAccel packet len 39, should be 42\n", 0x7F00},
        {40, "", 0x7FFF},
        {41, "", 0x7FFF},
        {42, "", 0x7FFF},
        {3, "Error - AngleAccel packet len 3, should be 42\n", 0},
    };
    std::string expectedLog;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "L = " << int{c.length});
        push(angleAccel());  // a full packet first, so stale bytes would show
        decode();
        Bytes p = angleAccel();
        p.resize(c.length);
        p[1] = c.length;
        push(p);
        EXPECT_EQ(decodePrinting(), c.warning);
        EXPECT_EQ(decoder.record.quatRaw[3], c.quat3);
        logging::AngleAccelRecord again = decoder.record;
        char line[logging::kMaxSampleLine];
        expectedLog += kAngleAccelLine;
        expectedLog += std::string(line, logging::formatAngleAccelLine(line, again));
    }
    EXPECT_EQ(samples(), expectedLog);
}

TEST_F(DecodeTest, UndecodedKindsDumpFourteenBytesAndChangeNothing) {
    // A long packet first leaves bytes behind that a short one must not show.
    Bytes longOne(30, 0x41);
    longOne[0] = '$';
    longOne[1] = 30;
    longOne[2] = 3;
    const struct {
        Bytes packet;
        std::string line;
    } cases[] = {
        {packet(3, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k'}),
         "$\\014\\003abcdefghijk\r\n"},
        {longOne, "$\\030\\003AAAAAAAAAAA\r\n"},
        {packet(11, {0x7E}), "$\\004\\011~\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\r\n"},
        {packet(255, {0x80, 0x5C}),
         "$\\005\\255\\128\\\\000\\000\\000\\000\\000\\000\\000\\000\\000\r\n"},
        {packet(0, {}), "$\\003\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\r\n"},
        {packet(1, {'x'}), "$\\004\\001x\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\r\n"},
        {packet(6, Bytes(12, '6')), "$\\015\\00666666666666\r\n"},
    };
    const auto stateBefore = bytesOf(state);
    std::string expected;
    for (const auto& c : cases) {
        push(longOne);
        ASSERT_EQ(decodePrinting(), "");
        push(c.packet);
        ASSERT_EQ(decodePrinting(), "");
        expected += "$\\030\\003AAAAAAAAAAA\r\n" + c.line;
    }
    EXPECT_EQ(misc(), expected);
    EXPECT_EQ(samples(), "");
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
        push(packet(c.kind, payload));
        EXPECT_EQ(decodePrinting(), "");
        expected.*c.vector = c.values;
        expected.sampleTag = 0x2A;
        EXPECT_EQ(bytesOf(state), bytesOf(expected));
        state.sampleTag = 0;
    }
    // Without a length check, a short vector packet reads zeros past its end: 02 00 00, not the
    // 02 FF FF an earlier packet left there.
    push(packet(7, payload));
    decode();
    push(packet(7, {0x01, 0x00, 0x00, 0x02}));
    decode();
    EXPECT_EQ(state.kind7Vector, (std::array<float, 3>{1.0f, 2.0f, 0.0f}));
    EXPECT_EQ(state.sampleTag, 0);
    EXPECT_EQ(samples(), "");
    EXPECT_EQ(misc(), "");
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
        push(packet(2, c.payload));
        EXPECT_EQ(decodePrinting(), "");
        EXPECT_EQ(state.quatRaw, c.raw);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(state.quat[i], static_cast<float>(c.raw[i] / 16384.0));
        }
        EXPECT_EQ(state.buttons, c.payload[8]);
        EXPECT_EQ(state.sampleTag, c.payload[9]);
        if (c.tracked) {  // the tracker takes the new tag and keeps this quaternion
            EXPECT_EQ(state.lastSampleTag, c.payload[9]);
            EXPECT_EQ(state.quatPrev, state.quat);
        } else {
            EXPECT_EQ(state.lastSampleTag, lastTag);
            EXPECT_EQ(state.quatPrev, quatPrev);
        }
    }
    EXPECT_EQ(samples(), "");
    EXPECT_EQ(misc(), "");
}

TEST_F(DecodeTest, PacketsAreDecodedOldestFirstOnePerCall) {
    push(packet(3, {'1'}));
    push(angleAccel());
    push(packet(4, {'2'}));
    std::uint16_t waiting = 0;
    sio::countPackets(*ring, waiting);
    ASSERT_EQ(waiting, 3);
    for (int i = 0; i < waiting; ++i) {
        EXPECT_EQ(decode(), 0);
    }
    EXPECT_EQ(decode(), -1);
    EXPECT_EQ(samples(), kAngleAccelLine);
    EXPECT_EQ(misc().substr(0, 15), "$\\004\\0031\\000\\");
    EXPECT_EQ(misc().find("$\\004\\0042"), misc().find("\r\n") + 2);
}

}  // namespace
}  // namespace vg::decode
