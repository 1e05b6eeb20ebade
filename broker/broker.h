// The broker client: every logged sample and the run's status go to an MQTT broker, from a
// thread of its own. The data path only hands samples over, into a bounded queue that is made at
// start and never waits: a full queue drops the sample and counts it. The thread connects,
// publishes, and after any failure connects again with a growing pause. It never prints: what
// happened comes back as a Report (a state, a cause and the system's or broker's code) that the
// caller puts into words.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/spsc_queue.h"
#include "logging/logging.h"
#include "logging/times_file.h"

namespace vg::broker {

// False where the program was built without an MQTT client library.
bool available();
// Loads the client library, once for the process (a run without --mqtt never does); false with
// the system's reason when it cannot be loaded (the library is not installed).
bool loadClient(std::string& why);

// mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...; PORT 1883 (mqtts 8883) when left out,
// PREFIX "vglog" when there is none.
struct Url {
    bool tls = false;
    std::string user;  // "" for none
    std::string host;
    std::uint16_t port = 0;
    std::string prefix;
};

enum class UrlError {
    None,
    Scheme,    // neither mqtt:// nor mqtts://
    Password,  // USER:PASSWORD@ (a password has no place on a command line)
    Host,      // empty, or not a host name or address
    Port,      // not 1 to 65535
    Prefix,    // holds an MQTT wildcard (+ #), an empty level or a control character
};
UrlError parseUrl(std::string_view text, Url& url);

// True when name can stand as one level of a topic: not empty, no '/', '+', '#' or control
// characters.
bool isTopicLevel(std::string_view name);

// One logged sample as the samples topic carries it.
struct Sample {
    logging::AngleAccelRecord record{};
    std::uint64_t line = 0;    // the samples log's data-line number
    std::int64_t wallUs = 0;   // arrival, microseconds since 1970 UTC (the times file's host_utc)
    std::int64_t boardUs = 0;  // the board's time on the host_s scale, when hasBoard
    bool hasBoard = false;
};

// About 14 s of samples at the most the serial line carries (288 a second).
inline constexpr std::size_t kQueueSlots = 4096;
// Thirteen values of at most logging::kMaxValueText bytes, the names and the times.
inline constexpr std::size_t kMaxSampleJson = 1280;

// The samples topic's JSON for s into buf (kMaxSampleJson bytes); its length. Values are
// printed as the samples log prints them; NaN and infinities as null.
std::size_t formatSample(char* buf, const Sample& s, logging::UtcCache& utc);

struct Config {
    Url url;
    std::string ca, cert, key;  // files; "" for none
    std::string user, password;
    std::string topicRoot;  // PREFIX/NAME/
    std::string clientId;
    int qos = 0;  // for samples; the status always goes at QoS 1, retained
    int keepaliveS = 30;
    std::size_t queueLimit = kQueueSlots;  // at most kQueueSlots (tests take fewer)
};

enum class State : std::uint8_t {
    Starting,   // no connection tried yet
    Connected,  // the broker took our connection
    Waiting,    // no connection; the next try comes after a pause
};

enum class Cause : std::uint8_t {
    None,
    System,        // a system call failed: err (ECONNREFUSED, ETIMEDOUT, ...)
    NameNotFound,  // the host name did not resolve
    Tls,           // the TLS handshake failed: detail has the library's words
    Refused,       // the broker answered the connection with code (MQTT 3.1.1 return codes)
    Lost,          // an established connection went away (err, when the system said why)
    KeepAlive,     // the broker stopped answering within the keepalive
    Protocol,      // the broker sent something the library refused
    Other,         // code is the library's own error number; detail its words
};

struct Report {
    State state = State::Starting;
    Cause cause = Cause::None;
    int err = 0;
    int code = 0;
    std::array<char, 192> detail{};
};

struct Counts {
    std::uint64_t published = 0;  // handed to the broker (at QoS 1: acknowledged by it)
    std::uint64_t dropped = 0;    // lost: the queue was full, or never sent (see README)
};

struct Client;

enum class StartError {
    None,
    Files,        // a TLS file cannot be read: err
    Unavailable,  // no client library in this build
    Library,      // the library refused the settings: code
};

// Starts the client's thread; the first connection is tried at once. Null with the reason in
// error/err/code when the settings are refused.
std::unique_ptr<Client, void (*)(Client*)> startClient(const Config& config, StartError& error,
                                                       int& err, int& code);

// From the data path: hands the sample over or counts it dropped; never waits.
void pushSample(Client& client, const Sample& sample);
// Once a pass, when samples were handed over: the thread publishes them now rather than at its
// next tick (a tenth of a second). Never waits longer than a flag set under a lock.
void kick(Client& client);

// The run's status (one JSON object) to be published retained on the status topic, replacing any
// not yet sent. Never waits longer than a copy under a lock.
void postStatus(Client& client, std::string_view json);

// True once per change of state (Connected, Waiting) since the last call; report is the state
// and its latest reason.
bool takeReport(Client& client, Report& report);
Report currentReport(Client& client);
Counts counts(const Client& client);

// Ends the client: the samples still queued and then the final status (retained) are published
// while connected, for at most waitMs; then a clean disconnect, which keeps the last will from
// being sent. What was not sent counts as dropped.
void finishClient(Client& client, std::string_view finalJson, unsigned waitMs);

// Stops the thread (after finishClient, or at once) and frees the client; also the deleter.
void stopClient(Client* client);

}  // namespace vg::broker
