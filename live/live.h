// The live view: a small HTTP server on a thread of its own that shows a run in a browser.
//
//   GET /             the page (embedded in the program; nothing is read from disk)
//   GET /api/status   the run's counters, link state, files and recent messages, as JSON
//   GET /api/samples  Server-Sent Events: one event per samples-log line from the time of
//                     connection on, and a "status" event (the same JSON) twice a second
//
// The data path only ever hands over: samples go through a bounded lock-free queue (a full
// queue drops, counted), status and messages through a lock held for a copy. Whatever the
// clients do, the data path never waits for them. At most kMaxClients connections are served
// at once (the next is answered 503), a request must be complete within 5 s of connecting and
// its request line and headers fit in 8 KiB (431 otherwise), only GET and HEAD are allowed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "decode/decode.h"
#include "logging/logging.h"

namespace vg::live {

inline constexpr std::size_t kMaxClients = 16;
inline constexpr std::size_t kMaxHeaderBytes = 8192;
inline constexpr std::uint64_t kRequestDeadlineMs = 5000;
inline constexpr std::size_t kReasonBytes = 256;
inline constexpr std::size_t kFiles = 3;  // samples log, misc log, raw capture

// What the data path publishes about the run, once per pass.
struct Status {
    std::uint64_t elapsedMs = 0;
    bool linkUp = true;
    std::array<char, kReasonBytes> lossReason{};  // why the link is lost ("" while up)
    std::uint64_t samples = 0, quaternion = 0, vector = 0, other = 0;
    std::uint64_t noiseBytes = 0, ringDrops = 0, cutPackets = 0;
    std::uint32_t linkLosses = 0;
    std::array<std::array<char, logging::kNameBytes>, kFiles> files{};  // "" for none
    // The broker's side (--mqtt): its state ("" without --mqtt), why it waits, and its counts.
    std::array<char, 16> mqttState{};
    std::array<char, kReasonBytes> mqttReason{};
    std::uint64_t mqttPublished = 0, mqttDropped = 0;
};

// The status object as /api/status gives it, up to and with its "files" but without the
// messages and the closing brace, appended to out: the caller adds its own fields and the "}".
// Reads the files' sizes. liveDrops: samples the live view's queue dropped.
void appendStatusJson(std::string& out, const Status& status, std::uint64_t liveDrops);

struct Server;  // the running server, its thread and its queues

// Parses "[HOST:]PORT" (HOST 127.0.0.1 when left out, "[v6]:PORT" for IPv6), binds and starts
// serving. On success url is "http://HOST:PORT/" with the port actually bound (PORT 0 takes a
// free one); on failure the result is null and error says why.
std::unique_ptr<Server, void (*)(Server*)> startServer(const char* address, std::string& url,
                                                       std::string& error);

// Closes every connection and ends the server's thread (also what the deleter does).
void stopServer(Server* server);

// For decode::Decoder::sampleTaps: hands the line to the server; never waits.
decode::SampleTap sampleTap(Server& server);

// Called from the data path: never waits longer than the server's copy of the last status.
void publishStatus(Server& server, const Status& status);
// A message the program printed (kept, the last few, for the page); same promise.
void publishMessage(Server& server, const char* text, std::size_t length);

}  // namespace vg::live
