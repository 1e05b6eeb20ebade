#include <algorithm>
#include <cstring>

#include "sio/sio.h"

namespace vg::sio {

namespace {

// A length byte that can start a packet: long enough for its own header, short enough to keep
// the top bit clear.
bool validLength(std::uint8_t len) {
    return len >= 2 && len < 0x80;
}

}  // namespace

void dropPartialPacket(Framer& framer) {
    if (framer.have > 0) {
        ++framer.cutPackets;
        framer.have = 0;
    }
}

std::size_t frameBytes(Framer& framer, PacketRing& ring, const std::uint8_t* bytes,
                       std::size_t count) {
    std::size_t done = 0;
    std::size_t pos = 0;
    while (pos < count) {
        if (framer.have == 0) {
            // Every stray byte before the next "$" goes in one scan.
            const void* start = std::memchr(bytes + pos, kPacketStart, count - pos);
            if (start == nullptr) {
                framer.noiseBytes += count - pos;
                return done;
            }
            const auto at =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(start) - bytes);
            framer.noiseBytes += at - pos;
            pos = at;
            // A whole packet in the input is stored from where it lies, without a copy.
            if (pos + 1 < count && validLength(bytes[pos + 1]) && count - pos >= bytes[pos + 1]) {
                storePacket(ring, bytes + pos);
                pos += bytes[pos + 1];
                ++done;
                continue;
            }
            framer.packet[0] = kPacketStart;
            framer.have = 1;
            ++pos;
            continue;
        }
        if (framer.have == 1) {
            const std::uint8_t len = bytes[pos++];
            if (!validLength(len)) {
                framer.noiseBytes += 2;
                framer.have = 0;  // no packet: both header bytes are gone
                continue;
            }
            framer.packet[1] = len;
            framer.have = 2;
        }
        const std::size_t len = framer.packet[1];
        const std::size_t take = std::min(len - framer.have, count - pos);
        std::memcpy(framer.packet.data() + framer.have, bytes + pos, take);
        framer.have += take;
        pos += take;
        if (framer.have == len) {
            storePacket(ring, framer.packet.data());
            framer.have = 0;
            ++done;
        }
    }
    return done;
}

}  // namespace vg::sio
