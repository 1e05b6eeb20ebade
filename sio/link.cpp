#include <cstdio>
#include <cstring>

#include "platform/clock.h"
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

const char* linkDeviceName(const SerialLink& link, char (&buf)[platform::kPortNameSize]) {
    if (link.devicePath != nullptr) {
        return link.devicePath;
    }
    platform::serialPortName(link.portNumber, buf);
    return buf;
}

namespace {

int openPortQuietly(SerialLink& link, bool quiet) {
    closePort(link);  // an earlier open would otherwise leak and hold the device's lock
    char name[platform::kPortNameSize];
    link.portHandle =
        platform::serialOpen(linkDeviceName(link, name), link.baudRate, quiet, link.openFailure);
    dropPartialPacket(link.framer);  // a new port never continues an old port's packet
    return link.portHandle == platform::kInvalidPort ? -1 : 0;
}

}  // namespace

int openPort(SerialLink& link) {
    return openPortQuietly(link, false);
}

namespace {

WaitReason waitReasonOf(platform::OpenFailure failure) {
    switch (failure) {
        case platform::OpenFailure::Missing:
            return WaitReason::Missing;
        case platform::OpenFailure::Busy:
            return WaitReason::Busy;
        case platform::OpenFailure::Denied:
            return WaitReason::Denied;
        default:
            return WaitReason::Other;
    }
}

// What the link's path names now, into foundIdentity.
platform::IdentityLookup lookAtDevice(SerialLink& link) {
    char name[platform::kPortNameSize];
    return platform::deviceIdentity(linkDeviceName(link, name), *link.identityRoots,
                                    link.foundIdentity);
}

bool theBoard(const SerialLink& link, platform::IdentityLookup found) {
    return found == platform::IdentityLookup::Known &&
           std::strcmp(link.foundIdentity.key, link.identity.key) == 0;
}

}  // namespace

int reopenLink(SerialLink& link) {
    // Where the board's identity is known, another device under its name is not even opened:
    // opening configures it, and the start byte would go to whatever it is. A device not there
    // is left to the open, which then fails as missing.
    const bool checked = link.identityRoots != nullptr && link.identity.key[0] != '\0';
    platform::IdentityLookup before = platform::IdentityLookup::Absent;
    if (checked) {
        before = lookAtDevice(link);
        if (before != platform::IdentityLookup::Absent && !theBoard(link, before)) {
            link.waitReason = WaitReason::OtherDevice;
            return -1;
        }
    }
    // Tried once a second while the board is away: a notice each time would bury the console.
    if (openPortQuietly(link, true) != 0) {
        link.waitReason = waitReasonOf(link.openFailure.kind);
        platform::describeSerialFailure(link.openFailure, link.waitDetail.data(),
                                        link.waitDetail.size());
        return -1;
    }
    // It came between the look and the open: look again, now that it is held.
    if (checked && before == platform::IdentityLookup::Absent &&
        !theBoard(link, lookAtDevice(link))) {
        closePort(link);
        link.waitReason = WaitReason::OtherDevice;
        return -1;
    }
    if (link.identityRoots != nullptr && link.identity.key[0] == '\0') {
        // The first open of a port that was not there at the start: this is the board.
        char name[platform::kPortNameSize];
        platform::deviceIdentity(linkDeviceName(link, name), *link.identityRoots, link.identity);
    }
    const std::uint8_t writedata[1] = {kStartCommand};
    writeBytes(link, writedata, sizeof writedata);
    return 0;
}

void startLinkAbsent(SerialLink& link, PacketRing& ring, std::uint64_t nowMs, const char* reason) {
    if (ring.slotCount == 0) {
        setRingSize(ring, kMaxSlots);
    }
    closePort(link);
    std::snprintf(link.lossReason.data(), link.lossReason.size(), "%s", reason);
    link.lost = true;
    link.lostSinceMs = nowMs;
    link.nextRetryMs = nowMs + kRetryIntervalMs;
    link.waitReason = WaitReason::Missing;
}

int openLink(SerialLink& link, PacketRing& ring) {
    if (openPort(link) != 0) {
        return -1;
    }
    if (link.identityRoots != nullptr) {
        char name[platform::kPortNameSize];
        platform::deviceIdentity(linkDeviceName(link, name), *link.identityRoots, link.identity);
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
    link.drainedBytes = 0;
    if (link.lost || link.readFailed) {
        return 0;  // no port to ask until watchLink has it back
    }
    const std::uint32_t waiting = bytesWaiting(link);
    if (static_cast<std::int32_t>(waiting) > kBacklogWarning) {
        platform::consolePrint(platform::ConsoleStream::Out,
                               "******** serial buffer has %d bytes\n", static_cast<int>(waiting));
    }
    // Read until the port has nothing more to give. A read that fills the buffer (the Linux
    // terminal layer hands over at most 4095 bytes at a time) means a backlog, which arrives in
    // such pieces: wait a moment for the next one rather than a whole loop pass, so a burst is
    // read as fast as it comes.
    for (;;) {
        std::ptrdiff_t got = platform::serialRead(link.portHandle, link.sioRxBuffer.data(),
                                                  link.sioRxBuffer.size(), link.readFailure);
        if (got < 0) {
            // One failure may pass; one that repeats at once means the device is gone.
            got = platform::serialRead(link.portHandle, link.sioRxBuffer.data(),
                                       link.sioRxBuffer.size(), link.readFailure);
        }
        if (got < 0) {
            // Said once per loss. The text tells whether the bytes lost were a packet's header
            // or its body.
            platform::consoleWrite(platform::ConsoleStream::Out,
                                   link.framer.have < 2 ? "Can't read SIO driver (ERR2)\r\n"
                                                        : "Can't read SIO driver (ERR3)\r\n");
            link.readFailed = true;
            break;
        }
        const auto n = static_cast<std::size_t>(got);
        link.drainedBytes += n;
        if (n != 0) {
            // Every packet this read completes arrived when it returned.
            ring.stampUs = platform::monotonicUs();
            if (link.readSink != nullptr) {
                link.readSink(link.readSinkContext, ring.stampUs, n);
            }
        }
        if (link.rawSink != nullptr && n != 0) {
            link.rawSink(link.rawSinkContext, link.sioRxBuffer.data(), n);
        }
        frameBytes(link.framer, ring, link.sioRxBuffer.data(), n);
        if (n + 1 < link.sioRxBuffer.size() || !roomForAnotherRead(link, ring) ||
            !platform::serialAwaitMore(link.portHandle, 1)) {
            break;
        }
    }
    return 0;
}

}  // namespace vg::sio
