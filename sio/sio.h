// Serial link: the port, the framer that cuts the byte stream into "$"-packets, and the ring
// that queues packets for the decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/ports.h"
#include "platform/serial.h"

namespace vg::sio {

inline constexpr std::size_t kSlotBytes = 256;
inline constexpr std::uint16_t kMaxSlots = 4096;
inline constexpr std::uint8_t kPacketStart = 0x24;  // "$"

// Queue of received packets; a store into a full ring drops the oldest packet.
//
// The slot at index i is kept in slots[(i + base) % kMaxSlots], and base moves whenever a packet
// is stored into an empty ring, so that packet lands in slots[0]. The loop empties the ring on
// every pass, so at the line's rate the ring lives in its first few pages: the indices still go
// round all 4096 slots, but the process does not keep all 1 MiB of them resident. The storage
// has no initializer for the same reason: the one static instance is zero already, a fresh one
// is never read before it is written, and a constructor that zeroed it would touch every page.
struct PacketRing {
    std::uint16_t readIndex = 0;
    std::uint16_t writeIndex = 0;
    std::uint16_t slotCount = 0;  // 0 until the link is opened
    std::uint16_t base = 0;       // where the slot at index 0 is kept
    std::array<std::array<std::uint8_t, kSlotBytes>, kMaxSlots> slots;
    std::mutex ringLock;
    std::uint64_t dropped = 0;  // packets pushed out by a store into a full ring
    // When each slot's packet arrived (monotonic microseconds), kept beside it: a store stamps
    // its slot with stampUs, a take leaves the packet's stamp in takenUs.
    std::array<std::int64_t, kMaxSlots> arrivalUs;
    std::int64_t stampUs = 0;
    std::int64_t takenUs = 0;
};

int setRingSize(PacketRing& ring, std::uint16_t slots);
int resetRing(PacketRing& ring);
// Copies packet[1] bytes of a "$"-packet into the next slot; anything else is ignored.
int storePacket(PacketRing& ring, const std::uint8_t* packet);
int countPackets(PacketRing& ring, std::uint16_t& count);
// Copies the oldest packet into dest; -1 (dest untouched) when the ring is empty.
int takePacket(PacketRing& ring, std::uint8_t* dest);

// Cuts a byte stream into packets. It keeps a packet that has not fully arrived and completes
// it from later bytes, so the packets depend on the bytes alone, never on how they were chunked.
struct Framer {
    std::array<std::uint8_t, kSlotBytes> packet{};  // the packet being assembled, from its "$"
    std::size_t have = 0;                           // bytes of it received so far
    std::uint64_t noiseBytes = 0;                   // bytes that started no packet and were skipped
    std::uint64_t cutPackets = 0;                   // packets cut off by a lost link and dropped
};

// Forgets a packet that has only partly arrived, counting it as cut.
void dropPartialPacket(Framer& framer);

// Feeds bytes through the framer and stores every completed packet in the ring.
// Returns the number of packets completed.
std::size_t frameBytes(Framer& framer, PacketRing& ring, const std::uint8_t* bytes,
                       std::size_t count);

// Why a lost link is not back yet.
enum class WaitReason {
    Missing,      // the device is not there
    Busy,         // another program holds it
    Denied,       // its permissions refuse us
    OtherDevice,  // the path names another device than the one the run began with
    Other,        // anything else: the system's words are in waitDetail
};

struct SerialLink {
    std::uint16_t portNumber = 0;
    std::uint32_t baudRate = 0;
    const char* devicePath = nullptr;  // a device named by path instead of by number
    platform::PortHandle portHandle = platform::kInvalidPort;
    Framer framer;
    std::array<std::uint8_t, 4096> sioRxBuffer{};  // one read's worth of raw bytes
    std::array<std::uint8_t, 256> sioTxBuffer{};
    std::size_t drainedBytes = 0;        // what the last drain read: a backlog shows here first
    std::array<char, 256> deviceName{};  // a bare device name turned into its path

    // Loss of the link and its return (see watchLink).
    bool readFailed = false;  // a read failed and failed again: the device is gone
    bool lost = false;        // the port is closed and waits to be opened again
    std::uint32_t losses = 0;
    std::uint64_t lostSinceMs = 0;
    std::uint64_t lostTotalMs = 0;  // time without the board, returns included
    std::uint64_t nextRetryMs = 0;
    std::array<char, 128> lossReason{};
    bool reconnect = true;  // false: a lost link stays closed, for the run to end
    // Where device identities are read (null: never). The board's is read at the first open; a
    // device found later under the path with another identity is not taken.
    const platform::PortRoots* identityRoots = nullptr;
    platform::DeviceIdentity identity;
    platform::DeviceIdentity foundIdentity;       // the other device, for the message
    WaitReason waitReason = WaitReason::Missing;  // why the last retry failed
    platform::SerialFailure openFailure;          // why the last open failed
    platform::SerialFailure readFailure;          // why the last read failed
    std::array<char, 192> waitDetail{};           // the system's words for WaitReason::Other
    // Sees every byte a drain reads, as read and before framing (raw capture); null for none.
    void (*rawSink)(void* context, const std::uint8_t* bytes, std::size_t count) = nullptr;
    void* rawSinkContext = nullptr;
    // Told when each read that brought bytes returned (monotonic microseconds, also the stamp
    // of the packets it completes) and how many it brought; null for none.
    void (*readSink)(void* context, std::int64_t returnedUs, std::size_t count) = nullptr;
    void* readSinkContext = nullptr;
};

// Stores both only when both are non-zero, and then names the device by that number again.
int setLinkConfig(SerialLink& link, std::uint16_t port, std::uint32_t baud);
// Names the device by path (the path must outlive the link); stores only a non-empty path with a
// non-zero speed.
int setLinkDevice(SerialLink& link, const char* path, std::uint32_t baud);
// Opens and configures the port, sizes the ring on its first open and then sends the start byte
// "w". -1 when the port cannot be opened or configured: the ring is left unsized, nothing is sent.
int openLink(SerialLink& link, PacketRing& ring);
// Opens the configured device into portHandle, releasing any port it held before, and forgets
// any partly received packet. -1 (portHandle kInvalidPort) on failure, after the error notice.
int openPort(SerialLink& link);
// Received bytes waiting in the port; 0 when the query fails.
std::uint32_t bytesWaiting(SerialLink& link);
// Sends at most 256 bytes; "Can't write SIO driver (ERR4)" when the write fails. Always 0.
int writeBytes(SerialLink& link, const std::uint8_t* data, std::size_t count);
// Starts a run on a port that is not there yet (--wait-for-port): the ring is sized and the link
// starts lost (reason in lossReason), to be opened by watchLink as a board that went away is,
// without counting a loss. The board's identity is read when it first opens.
void startLinkAbsent(SerialLink& link, PacketRing& ring, std::uint64_t nowMs, const char* reason);
// Opens the port again after a loss without any error notice, then sends "w". 0 when it is
// back; otherwise -1 with the reason in waitReason (and waitDetail, foundIdentity). A device
// whose identity differs from the board's is neither opened nor sent anything.
int reopenLink(SerialLink& link);
// The device's name as the operator knows it: its path, or COM N's device.
const char* linkDeviceName(const SerialLink& link, char (&buf)[platform::kPortNameSize]);
// Releases the port, if open. Always 0.
int closePort(SerialLink& link);
// Moves every complete packet that has arrived into the ring, keeping a packet that is still
// arriving in the framer. Warns once when more than 2048 bytes wait at the start. A read that
// fails twice in a row marks the link readFailed and is reported once ("Can't read SIO driver
// (ERR2)" or "(ERR3)"); a lost link is not read. Always 0.
int drainPort(SerialLink& link, PacketRing& ring);

// What watchLink saw in one call. StillWaiting: a retry failed for another reason than the
// last one (waitReason); a loss starts at Missing, which goes without saying.
enum class LinkEvent { None, Lost, StillWaiting, Back };
inline constexpr std::uint64_t kRetryIntervalMs = 1000;

// Called once per loop pass after the drain. A link whose reads failed is closed and marked lost
// (the cut packet counted): Lost. A lost link is opened again at most once every
// kRetryIntervalMs, configured as at start, and sent "w": Back. A link that may not reconnect
// stays lost and is never tried. The logs are not touched.
LinkEvent watchLink(SerialLink& link, std::uint64_t nowMs);
// Milliseconds until watchLink next tries to open a lost link (0 when due), -1 when not lost.
std::int64_t msUntilRetry(const SerialLink& link, std::uint64_t nowMs);

}  // namespace vg::sio
