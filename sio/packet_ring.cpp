#include <cstring>

#include "sio/sio.h"

namespace vg::sio {

namespace {

std::uint16_t nextIndex(const PacketRing& ring, std::uint16_t index) {
    const auto next = static_cast<std::uint16_t>(index + 1);
    return next >= ring.slotCount ? std::uint16_t{0} : next;
}

static_assert((kMaxSlots & (kMaxSlots - 1)) == 0, "the storage place wraps with a mask");

std::size_t storagePlace(const PacketRing& ring, std::uint16_t index) {
    return static_cast<std::size_t>(index + ring.base) & (kMaxSlots - 1u);
}

}  // namespace

int setRingSize(PacketRing& ring, std::uint16_t slots) {
    ring.slotCount = (slots >= 1 && slots <= kMaxSlots) ? slots : kMaxSlots;
    return 0;
}

int resetRing(PacketRing& ring) {
    std::lock_guard lock(ring.ringLock);
    if (ring.readIndex != ring.writeIndex) {
        ring.readIndex = 0;
        ring.writeIndex = 0;
    }
    return 0;
}

int storePacket(PacketRing& ring, const std::uint8_t* packet) {
    if (packet[0] != kPacketStart || ring.slotCount == 0) {
        return 0;
    }
    std::lock_guard lock(ring.ringLock);
    if (ring.writeIndex == ring.readIndex) {
        // Empty: start over at the front of the storage (no stored packet moves).
        ring.base = static_cast<std::uint16_t>((kMaxSlots - ring.writeIndex) & (kMaxSlots - 1u));
    }
    const std::size_t place = storagePlace(ring, ring.writeIndex);
    std::memcpy(ring.slots[place].data(), packet, packet[1]);
    ring.arrivalUs[place] = ring.stampUs;
    ring.writeIndex = nextIndex(ring, ring.writeIndex);
    if (ring.writeIndex == ring.readIndex) {
        ring.readIndex = nextIndex(ring, ring.readIndex);  // full: the oldest packet goes
        ++ring.dropped;
    }
    return 0;
}

int countPackets(PacketRing& ring, std::uint16_t& count) {
    std::lock_guard lock(ring.ringLock);
    if (ring.writeIndex >= ring.readIndex) {
        count = static_cast<std::uint16_t>(ring.writeIndex - ring.readIndex);
    } else {
        count = static_cast<std::uint16_t>(ring.writeIndex + ring.slotCount - ring.readIndex);
    }
    return 0;
}

int takePacket(PacketRing& ring, std::uint8_t* dest) {
    std::lock_guard lock(ring.ringLock);
    if (ring.readIndex == ring.writeIndex) {
        return -1;
    }
    const std::size_t place = storagePlace(ring, ring.readIndex);
    const auto& slot = ring.slots[place];
    std::memcpy(dest, slot.data(), slot[1]);
    ring.takenUs = ring.arrivalUs[place];
    ring.readIndex = nextIndex(ring, ring.readIndex);
    return 0;
}

}  // namespace vg::sio
