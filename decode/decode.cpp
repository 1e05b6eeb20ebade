#include <algorithm>

#include "decode/decode.h"
#include "orientation/orientation.h"
#include "platform/console.h"

namespace vg::decode {

namespace {

constexpr std::uint8_t kQuaternion = 2;
constexpr std::uint8_t kVector7 = 7;
constexpr std::uint8_t kVector8 = 8;
constexpr std::uint8_t kVector9 = 9;
constexpr std::uint8_t kAngleAccel = 10;
constexpr std::uint8_t kShortestAngleAccel = 40;
constexpr std::int32_t kDumpBytes = 14;

void readVector(const std::uint8_t* rx, float (*read)(const std::uint8_t*),
                std::array<float, 3>& out, SensorState& state) {
    for (std::size_t i = 0; i < 3; ++i) {
        out[i] = read(rx + 3 + 3 * i);
    }
    state.sampleTag = rx[12];
}

void decodeQuaternion(const std::uint8_t* rx, SensorState& state) {
    for (std::size_t i = 0; i < 4; ++i) {
        state.quatRaw[i] = readQ14Word(rx + 3 + 2 * i);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        state.quat[i] = q14ToFloat(state.quatRaw[i]);
    }
    state.buttons = rx[11];
    state.sampleTag = rx[12];
    if (state.quatRaw[1] != 0) {
        orientation::updateOrientation(state);
    }
}

void decodeAngleAccel(const std::uint8_t* rx, logging::AngleAccelRecord& r) {
    r.sample = static_cast<std::uint16_t>((rx[3] << 8) | rx[4]);
    r.phi = readT24(rx + 5);
    r.theta = readT24(rx + 8);
    r.psi = readT24(rx + 11);
    r.x = readS24(rx + 14);
    r.y = readS24(rx + 17);
    r.z = readS24(rx + 20);
    r.xWorld = readS24(rx + 23);
    r.yWorld = readS24(rx + 26);
    r.zWorld = readS24(rx + 29);
    for (std::size_t i = 0; i < 4; ++i) {
        r.quatRaw[i] = readQ14Word(rx + 32 + 2 * i);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        r.quat[i] = q14ToFloat(r.quatRaw[i]);
    }
}

}  // namespace

int decodeNextPacket(Decoder& decoder, sio::PacketRing& ring, SensorState& state,
                     logging::LogFiles& logs) {
    const std::uint8_t* rx = decoder.rxBuffer.data();
    if (sio::takePacket(ring, decoder.rxBuffer.data()) != 0 || rx[0] != sio::kPacketStart) {
        return -1;
    }
    const std::uint8_t length = rx[1];
    // The fixed-offset reads of a short packet and the 14-byte dump see zeros beyond the
    // packet, never bytes of an earlier one.
    std::fill(decoder.rxBuffer.begin() + length, decoder.rxBuffer.end(), std::uint8_t{0});
    switch (rx[2]) {
        case kQuaternion:
            ++decoder.counts.quaternion;
            decodeQuaternion(rx, state);
            break;
        case kVector7:
            ++decoder.counts.vector;
            readVector(rx, readS24, state.kind7Vector, state);
            break;
        case kVector8:
            ++decoder.counts.vector;
            readVector(rx, readT24, state.kind8Vector, state);
            break;
        case kVector9:
            ++decoder.counts.vector;
            readVector(rx, readS24, state.kind9Vector, state);
            break;
        case kAngleAccel:
            ++decoder.counts.angleAccel;
            if (length < kShortestAngleAccel) {
                platform::consolePrint(platform::ConsoleStream::Out,
                                       "Error - AngleAccel packet len %u, should be 42\n",
                                       static_cast<unsigned>(length));
            }
            decodeAngleAccel(rx, decoder.record);
            if (logging::writeAngleAccelLine(logs, decoder.record) == 0) {
                for (const SampleTap& tap : decoder.sampleTaps) {
                    if (tap.fn != nullptr) {
                        tap.fn(tap.context, decoder.record, logs.sampleLines);
                    }
                }
            }
            break;
        default:
            ++decoder.counts.other;
            logging::dumpPacket(logs, rx, kDumpBytes);
            break;
    }
    return 0;
}

}  // namespace vg::decode
