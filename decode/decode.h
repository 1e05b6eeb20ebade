// Packet decoder: takes one packet from the ring and converts its big-endian fixed-point fields
// into the sensor state, into a samples-log line, or into a misc-log dump line.
#pragma once

#include <array>
#include <cstdint>

#include "logging/logging.h"
#include "sio/sio.h"
#include "state/sensor_state.h"

namespace vg::decode {

// Converters of the wire's fixed-point encodings; p points at the field's first byte.
float q14ToFloat(std::int32_t signFixedWord);
std::int32_t readQ14Word(const std::uint8_t* p);  // sign-fixed, -32768..32767
float readS24(const std::uint8_t* p);
float readT24(const std::uint8_t* p);

// Packets decoded, by what became of them.
struct PacketCounts {
    std::uint64_t angleAccel = 0;  // samples-log lines
    std::uint64_t quaternion = 0;
    std::uint64_t vector = 0;  // kinds 7, 8 and 9
    std::uint64_t other = 0;   // misc-log dumps
};

// Told of every samples-log line right after it is written (the times file, the live view, the
// broker).
// line is the samples log's data-line number, from 1; context is the tap's own.
struct SampleTap {
    void (*fn)(void* context, const logging::AngleAccelRecord& record,
               std::uint64_t line) = nullptr;
    void* context = nullptr;
};
// Called in order: the times file, the live view, the broker (which reads the times' row).
inline constexpr std::size_t kMaxSampleTaps = 3;

struct Decoder {
    // Copy of the packet being decoded; zero beyond its length.
    std::array<std::uint8_t, sio::kSlotBytes> rxBuffer{};
    logging::AngleAccelRecord record{};  // the latest AngleAccel packet's values
    PacketCounts counts{};
    std::array<SampleTap, kMaxSampleTaps> sampleTaps{};  // unused slots have no fn
};

// Takes the oldest packet from the ring: quaternion and vector kinds go into state (a quaternion
// with a non-zero second word also runs the tracker), AngleAccel becomes a samples-log line,
// every other kind a 14-byte misc-log dump. 0 when a packet was taken (whatever its kind), -1
// when the ring had none.
int decodeNextPacket(Decoder& decoder, sio::PacketRing& ring, SensorState& state,
                     logging::LogFiles& logs);

}  // namespace vg::decode
