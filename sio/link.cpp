#include <cstring>

#include "platform/console.h"
#include "sio/sio.h"

namespace vg::sio {

namespace {

constexpr std::uint8_t kStartCommand = 0x77;  // "w"
constexpr std::int32_t kBacklogWarning = 2048;

}  // namespace

int setLinkConfig(SerialLink& link, std::uint16_t port, std::uint32_t baud) {
    if (port != 0 && baud != 0) {
        link.portNumber = port;
        link.baudRate = baud;
        link.devicePath = nullptr;
    }
    return 0;
}

int setLinkDevice(SerialLink& link, const char* path, std::uint32_t baud) {
    if (path != nullptr && path[0] != '\0' && baud != 0) {
        link.devicePath = path;
        link.baudRate = baud;
    }
    return 0;
}

int openPort(SerialLink& link) {
    closePort(link);  // an earlier open would otherwise leak and hold the device's lock
    if (link.devicePath != nullptr) {
        link.portHandle = platform::serialOpen(link.devicePath, link.baudRate);
    } else {
        char name[platform::kPortNameSize];
        platform::serialPortName(link.portNumber, name);
        link.portHandle = platform::serialOpen(name, link.baudRate);
    }
    link.framer = Framer{};  // a new port never continues an old port's packet
    return link.portHandle == platform::kInvalidPort ? -1 : 0;
}

int openLink(SerialLink& link, PacketRing& ring) {
    if (openPort(link) != 0) {
        return -1;
    }
    if (ring.slotCount == 0) {
        setRingSize(ring, kMaxSlots);
    }
    const std::uint8_t writedata[1] = {kStartCommand};
    writeBytes(link, writedata, sizeof writedata);
    return 0;
}

std::uint32_t bytesWaiting(SerialLink& link) {
    return platform::serialBytesWaiting(link.portHandle);
}

int writeBytes(SerialLink& link, const std::uint8_t* data, std::size_t count) {
    if (count > link.sioTxBuffer.size()) {
        count = link.sioTxBuffer.size();
    }
    std::memcpy(link.sioTxBuffer.data(), data, count);
    if (platform::serialWrite(link.portHandle, link.sioTxBuffer.data(), count) < 0) {
        platform::consoleWrite(platform::ConsoleStream::Out, "Can't write SIO driver (ERR4)\r\n");
    }
    return 0;
}

int closePort(SerialLink& link) {
    platform::serialClose(link.portHandle);
    link.portHandle = platform::kInvalidPort;
    return 0;
}

namespace {

// A backlog is read only while the ring can take every packet another read could complete
// (one per two bytes at worst), so reading ahead of the decoder never drops a packet.
bool roomForAnotherRead(const SerialLink& link, PacketRing& ring) {
    std::uint16_t queued = 0;
    countPackets(ring, queued);
    const std::size_t room = ring.slotCount > queued ? ring.slotCount - 1u - queued : 0u;
    return room >= link.sioRxBuffer.size() / 2;
}

}  // namespace

int drainPort(SerialLink& link, PacketRing& ring) {
    const std::uint32_t waiting = bytesWaiting(link);
    if (static_cast<std::int32_t>(waiting) > kBacklogWarning) {
        platform::consolePrint(platform::ConsoleStream::Out,
                               "******** serial buffer has %d bytes\n", static_cast<int>(waiting));
    }
    // Read until the port has nothing more to give. A read that fills the buffer (the Linux
    // terminal layer hands over at most 4095 bytes at a time) means a backlog, which arrives in
    // such pieces: wait a moment for the next one rather than a whole loop pass, so a burst is
    // read as fast as it comes.
    link.drainedBytes = 0;
    for (;;) {
        const std::ptrdiff_t got =
            platform::serialRead(link.portHandle, link.sioRxBuffer.data(), link.sioRxBuffer.size());
        if (got < 0) {
            // The text tells whether the bytes lost were a packet's header or its body.
            platform::consoleWrite(platform::ConsoleStream::Out,
                                   link.framer.have < 2 ? "Can't read SIO driver (ERR2)\r\n"
                                                        : "Can't read SIO driver (ERR3)\r\n");
            break;
        }
        const auto n = static_cast<std::size_t>(got);
        link.drainedBytes += n;
        frameBytes(link.framer, ring, link.sioRxBuffer.data(), n);
        if (n + 1 < link.sioRxBuffer.size() || !roomForAnotherRead(link, ring) ||
            !platform::serialAwaitMore(link.portHandle, 1)) {
            break;
        }
    }
    return 0;
}

}  // namespace vg::sio
