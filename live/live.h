// The live view: a small HTTP server on a thread of its own that shows a run in a browser.
//
//   GET /             the page (embedded in the program; nothing is read from disk)
//   GET /api/status   the run's counters, link state, files and recent messages, as JSON
//   GET /api/samples  Server-Sent Events: one event per samples-log line from the time of
//                     connection on (evenly thinned for a client that cannot take them all), a
//                     "status" event (the same JSON) twice a second; with ?history=S first the
//                     last S seconds the server kept, as "history" events
//
// The data path only ever hands over: samples go through a bounded lock-free queue (a full
// queue drops, counted), status and messages through a lock held for a copy. Whatever the
// clients do, the data path never waits for them.
//
// Only requests naming the server by its own address (or a name it was given) are answered:
// a page on another site whose name points at this machine learns nothing. At most
// kMaxClients streams are served at once (the next is answered 503); requests still coming in
// have a budget of their own (the oldest is dropped for a new one), must be complete within
// 5 s of connecting and fit request line and headers in 8 KiB (414 or 431 otherwise).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "logging/logging.h"

namespace vg::live {

inline constexpr std::size_t kMaxClients = 16;            // streams at once
inline constexpr std::size_t kMaxRequestsInProgress = 8;  // connections still sending a request
inline constexpr std::size_t kMaxHeaderBytes = 8192;      // request line and headers together
inline constexpr std::uint64_t kRequestDeadlineMs = 5000;
inline constexpr std::size_t kReasonBytes = 256;
// Samples log, misc log, raw capture, times file, capture's times.
inline constexpr std::size_t kFiles = 5;
inline constexpr std::uint64_t kHistoryMs = 300'000;  // what a new page can be sent at most

// Where to serve: HOST as given (no brackets), PORT 0 for a free one.
struct Address {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
};

// "[HOST:]PORT", HOST an IPv4 address or a name, or "[v6]:PORT" (brackets only for IPv6).
// False when text is not of that form.
bool parseAddress(std::string_view text, Address& out);

struct Config {
    Address address;
    std::vector<std::string> hostNames;  // names a request's Host may carry besides the address
};

enum class StartFailure { None, Resolve, Bind };

struct Started {
    std::string url;             // "http://HOST:PORT/" with the port bound
    bool openToNetwork = false;  // bound to more than this machine's loopback
    StartFailure failure = StartFailure::None;
    std::string reason;  // the system's words for the failure
};

// What the data path publishes about the run, once per pass.
struct Status {
    std::uint64_t elapsedMs = 0;
    bool linkUp = true;
    std::array<char, kReasonBytes> lossReason{};  // why the link is lost ("" while up)
    std::uint64_t lostForMs = 0;                  // how long the current loss has lasted
    std::uint64_t samples = 0, quaternion = 0, vector = 0, other = 0;
    std::uint64_t noiseBytes = 0, ringDrops = 0, cutPackets = 0;
    std::uint32_t linkLosses = 0;
    std::array<char, kReasonBytes> device{};                            // the board's device
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
using ServerPtr = std::unique_ptr<Server, void (*)(Server*)>;

// False in a build without the live view (CMake option VGLOG_LIVE=OFF), where no server starts.
bool built();

// Binds and starts serving. Null on failure, with started.failure and reason saying why.
ServerPtr startServer(const Config& config, Started& started);

// Hands what is still queued and a last status (the run has ended) to every stream, gives
// them a moment to take it, closes every connection and ends the server's thread (also what
// the deleter does).
void stopServer(Server* server);

// For decode::Decoder::sampleTaps: hands the line to the server; never waits.
decode::SampleTap sampleTap(Server& server);

// Called from the data path: never waits longer than the server's copy of the last status.
void publishStatus(Server& server, const Status& status);
// A message the program printed (kept, the last few, for the page); same promise.
void publishMessage(Server& server, const char* text, std::size_t length);

}  // namespace vg::live
