#include "live/live.h"

// Boost 1.74's Asio misses this include for C++20 coroutine support under GCC 12.
#include <utility>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "common/common.h"
#include "common/spsc_queue.h"
#include "platform/process.h"

namespace vg::live {

extern const char kPage[];
extern const std::size_t kPageBytes;

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// Many times what the server takes in a tick at the fastest rate seen (a fast replay fills it
// and drops, counted); the server drains it 10 times a second.
constexpr std::size_t kQueueSlots = 16384;
constexpr auto kTick = 100ms;
constexpr std::uint64_t kTickMs = 100;
constexpr unsigned kStatusTicks = 5;                  // a status event every half second
constexpr std::size_t kMaxPendingBytes = 256 * 1024;  // per client, not yet taken by its socket
constexpr auto kWriteStall = 30s;          // a client that takes nothing this long is dropped
constexpr auto kLingerTime = 2s;           // after an answer, the rest of a request is read
constexpr auto kFinishWait = 500ms;        // for the streams to take the run's last samples
constexpr std::size_t kMaxAnswering = 64;  // short answers being written at once
constexpr std::size_t kMessages = 32;
constexpr std::size_t kMessageBytes = 512;
// The history keeps at most this many samples of each tick, evenly spread: 100 a second, the
// board's usual rate, for kHistoryMs whatever the rate.
constexpr std::size_t kHistoryPerTick = 10;
constexpr std::size_t kHistorySlots = kHistoryMs / kTickMs * kHistoryPerTick;
constexpr std::size_t kMaxHistoryEvents = 3000;  // sent to a new page at most, evenly spread

struct QueuedSample {
    logging::AngleAccelRecord record;
    std::uint64_t line = 0;
    std::uint64_t seq = 0;  // counts every sample handed over, dropped ones too
};

struct StampedSample {
    QueuedSample s;
    std::uint64_t t = 0;  // ms since the server started, spread over the tick it came in
};

// One producer (the data path), one consumer (the server's thread); neither ever waits.
void addUnsigned(std::string& out, std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    out += buf;
}

// As the samples log prints the value; JSON has no word for NaN or infinity.
void addValue(std::string& out, float v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[logging::kMaxValueText];
    out.append(buf, logging::formatLogValue(buf, v));
}

void addValues(std::string& out, std::initializer_list<float> values) {
    out += '[';
    bool first = true;
    for (const float v : values) {
        if (!first) {
            out += ',';
        }
        first = false;
        addValue(out, v);
    }
    out += ']';
}

void addSampleEvent(std::string& out, const StampedSample& stamped, const char* event) {
    const logging::AngleAccelRecord& r = stamped.s.record;
    if (event != nullptr) {
        out += "event: ";
        out += event;
        out += '\n';
    }
    out += "data: {\"line\":";
    addUnsigned(out, stamped.s.line);
    out += ",\"t\":";
    addUnsigned(out, stamped.t);
    out += ",\"sample\":";
    out += std::to_string(static_cast<std::int16_t>(r.sample));  // signed, as the log prints it
    out += ",\"phi\":";
    addValue(out, r.phi);
    out += ",\"theta\":";
    addValue(out, r.theta);
    out += ",\"psi\":";
    addValue(out, r.psi);
    out += ",\"accel\":";
    addValues(out, {r.x, r.y, r.z});
    out += ",\"world\":";
    addValues(out, {r.xWorld, r.yWorld, r.zWorld});
    out += ",\"quat\":";
    addValues(out, {r.quat[0], r.quat[1], r.quat[2], r.quat[3]});
    out += "}\n\n";
}

struct Session;

}  // namespace

struct Server {
    // Declared before the io_context: sessions leave this list as it destroys them.
    std::vector<Session*> sessions;  // in the order they connected
    std::size_t reading = 0;         // requests still coming in
    std::size_t answering = 0;       // short answers being written
    std::size_t streams = 0;         // clients of /api/samples
    unsigned ticks = 0;
    bool ended = false;  // the run has ended: the last status says so

    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer ticker{ioc};
    asio::steady_timer acceptRetry{ioc};
    std::thread thread;
    std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();
    std::uint64_t lastTickMs = 0;

    // Who may be named in a request's Host.
    std::uint16_t port = 0;
    std::vector<std::string> names;  // lower case

    // The server thread's own, sized at start.
    std::vector<StampedSample> batch;    // taken from the queue this tick
    std::vector<StampedSample> history;  // a ring of kHistorySlots
    std::size_t historyNext = 0, historyCount = 0;
    std::string text;               // the batch as events
    std::vector<std::size_t> ends;  // where each event ends in text
    std::uint64_t seen = 0;         // the seq after the last taken from the queue

    common::SpscQueue<QueuedSample, kQueueSlots> queue;
    QueuedSample lastOffered;               // the data path's, read once it has ended
    std::atomic<std::uint64_t> drops{0};    // samples the queue had no room for
    std::atomic<std::uint64_t> offered{0};  // written by the data path only

    std::mutex lock;  // over what follows: held only for copies
    Status status{};
    std::array<std::array<char, kMessageBytes>, kMessages> messages{};
    std::uint64_t messageCount = 0;

    std::mutex doneLock;  // the streams have taken the end (or had their time)
    std::condition_variable doneCv;
    bool done = false;

    std::uint64_t nowMs() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - startTime)
                                              .count());
    }
};

namespace {

void tick(Server& s);

void scheduleTick(Server& s) {
    s.ticker.expires_after(kTick);
    s.ticker.async_wait([&s](beast::error_code ec) {
        if (!ec && !s.ended) {
            tick(s);
        }
    });
}

const char* const kFileKinds[kFiles] = {"samples log", "misc log", "capture", "times",
                                        "capture times"};

void addFiles(std::string& out, Status& st) {
    out += ",\"files\":[";
    bool first = true;
    for (std::size_t i = 0; i < kFiles; ++i) {
        auto& name = st.files[i];
        name.back() = '\0';
        if (name[0] == '\0') {
            continue;
        }
        out += first ? "{\"kind\":\"" : ",{\"kind\":\"";
        first = false;
        out += kFileKinds[i];
        out += "\",\"name\":";
        common::appendJsonString(out, name.data());
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(name.data(), ec);
        out += ",\"bytes\":";
        if (ec) {
            out += "null";
        } else {
            addUnsigned(out, bytes);
        }
        out += '}';
    }
    out += ']';
}

// The status as JSON; viewDrops (the samples this client missed) only on a stream.
std::string statusJson(Server& s, const std::uint64_t* viewDrops) {
    Status st;
    std::array<std::array<char, kMessageBytes>, kMessages> messages;
    std::uint64_t messageCount = 0;
    {
        std::lock_guard<std::mutex> held(s.lock);
        st = s.status;
        messages = s.messages;
        messageCount = s.messageCount;
    }
    std::string out;
    out.reserve(2048);
    appendStatusJson(out, st, s.drops.load(std::memory_order_relaxed));
    out += s.ended ? ",\"ended\":true,\"t\":" : ",\"ended\":false,\"t\":";
    addUnsigned(out, s.nowMs());
    if (viewDrops != nullptr) {
        out += ",\"view_drops\":";
        addUnsigned(out, *viewDrops);
    }
    out += ",\"messages\":[";
    const std::uint64_t kept = std::min<std::uint64_t>(messageCount, kMessages);
    for (std::uint64_t i = messageCount - kept; i < messageCount; ++i) {
        if (i != messageCount - kept) {
            out += ',';
        }
        common::appendJsonString(out, messages[i % kMessages].data());
    }
    out += "]}";
    return out;
}

// "name[:port]" or "[v6][:port]" from a Host header: the name (lower case, no brackets, no
// final dot) and the port (80 when left out); false when it is not of that form.
bool splitHost(std::string_view host, std::string& name, unsigned& port) {
    std::string_view portText;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = std::string(host.substr(1, close - 1));
        host.remove_prefix(close + 1);
        if (!host.empty() && host.front() != ':') {
            return false;
        }
        portText = host.empty() ? "" : host.substr(1);
    } else {
        const auto colon = host.find(':');
        name = std::string(host.substr(0, colon));
        portText = colon == std::string_view::npos ? "" : host.substr(colon + 1);
    }
    port = portText.empty() ? 80 : 0;
    if (portText.size() > 5) {
        return false;
    }
    for (const char c : portText) {
        if (c < '0' || c > '9') {
            return false;
        }
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    return !name.empty();
}

asio::ip::address unmapped(const asio::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    }
    return a;
}

// Whether a request that reached local may name host: the address it reached (any loopback
// address and "localhost" when that is loopback) or one of the server's names. A page of
// another site whose name was pointed at this machine carries that site's name.
bool hostAllowed(const Server& s, std::string_view host, const asio::ip::address& local) {
    std::string name;
    unsigned port = 0;
    if (!splitHost(host, name, port) || port != s.port) {
        return false;
    }
    const asio::ip::address reached = unmapped(local);
    beast::error_code ec;
    const asio::ip::address named = asio::ip::make_address(name, ec);
    if (!ec) {
        const asio::ip::address ip = unmapped(named);
        return ip == reached || (ip.is_loopback() && reached.is_loopback());
    }
    if (name == "localhost" && reached.is_loopback()) {
        return true;
    }
    return std::find(s.names.begin(), s.names.end(), name) != s.names.end();
}

enum class Phase { Reading, Answering, Streaming, Gone };

struct Session : std::enable_shared_from_this<Session> {
    Server& srv;
    beast::tcp_stream stream;
    Phase phase = Phase::Reading;
    std::array<char, kMaxHeaderBytes> request{};
    std::size_t got = 0;
    bool writing = false;
    bool closing = false;  // the run has ended: close once everything is written
    std::string out;       // being written
    std::string pending;   // waiting for the write in flight
    // Samples by their seq: the next this stream expects, and how many it missed.
    std::uint64_t nextSeq = 0;
    bool started = false;  // a sample has come since the stream began
    std::uint64_t drops = 0;
    std::uint64_t thin = 0;  // counts the samples a thinned stream steps over
    std::array<char, 1024> scratch{};

    Session(Server& server, tcp::socket socket) : srv(server), stream(std::move(socket)) {
        srv.sessions.push_back(this);
        ++srv.reading;
    }
    ~Session() {
        srv.sessions.erase(std::find(srv.sessions.begin(), srv.sessions.end(), this));
        setPhase(Phase::Gone);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::size_t* counter(Phase p) {
        switch (p) {
            case Phase::Reading:
                return &srv.reading;
            case Phase::Answering:
                return &srv.answering;
            case Phase::Streaming:
                return &srv.streams;
            case Phase::Gone:
                break;
        }
        return nullptr;
    }
    void setPhase(Phase p) {
        if (std::size_t* from = counter(phase)) {
            --*from;
        }
        if (std::size_t* to = counter(p)) {
            ++*to;
        }
        phase = p;
    }
    void drop() {
        setPhase(Phase::Gone);
        beast::error_code ignored;
        stream.socket().close(ignored);
    }
    std::uint64_t viewDrops() const { return started ? drops + (srv.seen - nextSeq) : 0; }

    void start() {
        // The whole request must be in within the deadline, however it trickles in.
        stream.expires_after(std::chrono::milliseconds(kRequestDeadlineMs));
        readRequest();
    }

    void readRequest() {
        stream.async_read_some(
            asio::buffer(request.data() + got, request.size() - got),
            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                if (ec || self->phase != Phase::Reading) {
                    self->setPhase(Phase::Gone);  // gone, timed out or dropped for a newer one
                    return;
                }
                self->tookRequestBytes(n);
            });
    }

    void tookRequestBytes(std::size_t n) {
        const std::size_t from = got > 3 ? got - 3 : 0;
        got += n;
        const std::string_view seen(request.data(), got);
        std::size_t end = seen.find("\r\n\r\n", from);
        if (end != std::string_view::npos) {
            onRequest(end + 4);
        } else if (end = seen.find("\n\n", from); end != std::string_view::npos) {
            onRequest(end + 2);  // not HTTP as it should be: the parser says so
        } else if (got == request.size()) {
            setPhase(Phase::Answering);
            if (seen.find('\n') == std::string_view::npos) {
                respond(http::status::uri_too_long, "text/plain", "request line too long\n", false);
            } else {
                respond(http::status::request_header_fields_too_large, "text/plain",
                        "request header fields too large\n", false);
            }
        } else {
            readRequest();
        }
    }

    void onRequest(std::size_t headerEnd);
    void route(const http::request<http::empty_body>& req, bool extraBytes);
    void respond(http::status status, const char* type, std::string_view body, bool head,
                 const char* extra = "");
    void lingerClose();
    void drainUntilClosed();
    void startStream(std::string_view query);
    void watchForClose();
    void writeOut();
    void closeWhenWritten();
    void deliver(bool withStatus);
    void takeEvent(std::size_t i);
};

void Session::onRequest(std::size_t headerEnd) {
    if (srv.answering >= kMaxAnswering) {
        drop();  // far too many at once for even an answer
        return;
    }
    setPhase(Phase::Answering);
    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(request.size()));
    beast::error_code ec;
    parser.put(asio::buffer(request.data(), headerEnd), ec);
    if (ec || !parser.is_header_done()) {
        respond(http::status::bad_request, "text/plain", "bad request\n", false);
        return;
    }
    const auto& req = parser.get();
    const auto hosts = req.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && req.version() >= 11)) {
        respond(http::status::bad_request, "text/plain", "bad request: Host\n", false);
        return;
    }
    beast::error_code localEc;
    const auto local = stream.socket().local_endpoint(localEc);
    const auto host = req[http::field::host];
    if (hosts == 1 && (localEc || !hostAllowed(srv, std::string_view(host.data(), host.size()),
                                               local.address()))) {
        respond(http::status::forbidden, "text/plain", "forbidden: not this server's name\n",
                false);
        return;
    }
    route(req, got > headerEnd);
}

void Session::route(const http::request<http::empty_body>& req, bool extraBytes) {
    const bool head = req.method() == http::verb::head;
    if (req.method() != http::verb::get && !head) {
        respond(http::status::method_not_allowed, "text/plain", "only GET and HEAD\n", false,
                "Allow: GET, HEAD\r\n");
        return;
    }
    const std::string_view whole(req.target().data(), req.target().size());
    const std::string_view target = whole.substr(0, whole.find('?'));
    const std::string_view query =
        target.size() < whole.size() ? whole.substr(target.size() + 1) : std::string_view();
    if (target == "/") {
        respond(http::status::ok, "text/html; charset=utf-8", std::string_view(kPage, kPageBytes),
                head);
    } else if (target == "/api/status") {
        respond(http::status::ok, "application/json", statusJson(srv, nullptr), head);
    } else if (target != "/api/samples") {
        respond(http::status::not_found, "text/plain", "not found\n", head);
    } else if (srv.streams >= kMaxClients) {
        respond(http::status::service_unavailable, "text/plain", "too many clients\n", head);
    } else if (head) {
        respond(http::status::ok, "text/event-stream", "", true);
    } else if (extraBytes) {
        drop();  // a stream's client has nothing more to say
    } else {
        startStream(query);
    }
}

void Session::respond(http::status status, const char* type, std::string_view body, bool head,
                      const char* extra) {
    char header[640];
    std::snprintf(header, sizeof header,
                  "HTTP/1.1 %u %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                  "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                  "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
                  "Connection: close\r\n%s\r\n",
                  static_cast<unsigned>(status), std::string(http::obsolete_reason(status)).c_str(),
                  type, body.size(), extra);
    out = header;
    if (!head) {
        out.append(body);
    }
    stream.expires_after(std::chrono::milliseconds(kRequestDeadlineMs));
    asio::async_write(stream, asio::buffer(out),
                      [self = shared_from_this()](beast::error_code writeEc, std::size_t) {
                          if (!writeEc) {
                              self->lingerClose();
                          }
                      });
}

// Closing a socket with unread bytes in it resets the connection, which can lose the answer on
// its way: the client is given time to read it, its own bytes are read and dropped.
void Session::lingerClose() {
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.expires_after(kLingerTime);
    drainUntilClosed();
}

void Session::drainUntilClosed() {
    stream.async_read_some(asio::buffer(scratch),
                           [self = shared_from_this()](beast::error_code ec, std::size_t) {
                               if (!ec) {
                                   self->drainUntilClosed();
                               }
                           });
}

// "history=S" asks for the last S seconds the server kept.
std::uint64_t historyAsked(std::string_view query) {
    const auto at = query.find("history=");
    if (at == std::string_view::npos || (at > 0 && query[at - 1] != '&')) {
        return 0;
    }
    std::uint64_t seconds = 0;
    for (std::size_t i = at + 8; i < query.size() && query[i] >= '0' && query[i] <= '9'; ++i) {
        seconds = std::min<std::uint64_t>(seconds * 10 + static_cast<unsigned>(query[i] - '0'),
                                          kHistoryMs / 1000);
    }
    return seconds * 1000;
}

// The history from fromMs on, at most kMaxHistoryEvents of it, evenly spread up to the newest.
void addHistory(const Server& s, std::string& out, std::uint64_t fromMs) {
    const std::size_t oldest = (s.historyNext + kHistorySlots - s.historyCount) % kHistorySlots;
    std::size_t skip = 0;
    while (skip < s.historyCount && s.history[(oldest + skip) % kHistorySlots].t < fromMs) {
        ++skip;
    }
    const std::size_t n = s.historyCount - skip;
    const std::size_t step =
        std::max<std::size_t>((n + kMaxHistoryEvents - 1) / kMaxHistoryEvents, 1);
    for (std::size_t i = n > 0 ? (n - 1) % step : 0; i < n; i += step) {
        addSampleEvent(out, s.history[(oldest + skip + i) % kHistorySlots], "history");
    }
}

void Session::startStream(std::string_view query) {
    setPhase(Phase::Streaming);
    stream.expires_never();
    out =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
        "Content-Security-Policy: frame-ancestors 'none'\r\nConnection: close\r\n\r\n"
        "retry: 1000\n\n";
    if (const std::uint64_t ms = historyAsked(query); ms > 0) {
        const std::uint64_t now = srv.nowMs();
        addHistory(srv, out, now > ms ? now - ms : 0);
    }
    out += "event: status\ndata: " + statusJson(srv, &drops) + "\n\n";
    writeOut();
    watchForClose();
}

// A stream's client has nothing more to say: a read ends when it goes away, and one that sends
// anything is closed. (Straight on the socket: the stream's write deadline must not cut it.)
void Session::watchForClose() {
    stream.socket().async_read_some(
        asio::buffer(scratch),
        [self = shared_from_this()](beast::error_code, std::size_t) { self->drop(); });
}

void Session::writeOut() {
    writing = true;
    stream.expires_after(kWriteStall);
    asio::async_write(stream, asio::buffer(out),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          self->writing = false;
                          if (ec) {
                              self->drop();
                          } else {
                              self->out.clear();
                              if (!self->pending.empty()) {
                                  self->out.swap(self->pending);
                                  self->writeOut();
                                  return;
                              }
                          }
                          self->closeWhenWritten();
                      });
}

void finishIfWritten(Server& s) {
    for (const Session* c : s.sessions) {
        if (c->closing && c->writing) {
            return;
        }
    }
    {
        std::lock_guard<std::mutex> held(s.doneLock);
        s.done = true;
    }
    s.doneCv.notify_all();
}

void Session::closeWhenWritten() {
    if (closing && !writing) {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        drop();
        finishIfWritten(srv);
    }
}

void Session::takeEvent(std::size_t i) {
    const std::size_t from = i == 0 ? 0 : srv.ends[i - 1];
    pending.append(srv.text, from, srv.ends[i] - from);
    const std::uint64_t seq = srv.batch[i].s.seq;
    drops += seq - nextSeq;
    nextSeq = seq + 1;
}

// Hands this tick's samples to the stream: all of them when its budget takes them, else every
// k-th (k from its budget) and the newest.
void Session::deliver(bool withStatus) {
    if (phase != Phase::Streaming) {
        return;
    }
    const std::size_t n = srv.ends.size();
    if (n > 0) {
        std::size_t i = 0;
        if (!started) {  // its first sample: what it missed is counted from there
            started = true;
            nextSeq = srv.batch[0].s.seq;
            takeEvent(i++);
        }
        const std::size_t budget =
            pending.size() < kMaxPendingBytes ? kMaxPendingBytes - pending.size() : 0;
        const std::size_t bytes = srv.text.size();
        std::size_t k = bytes <= budget ? 1 : budget == 0 ? n : (bytes + budget - 1) / budget;
        k = std::min(k, n);
        // The newest always: the view never stands still, and the run's last sample is seen.
        for (; i < n; ++i) {
            if ((++thin % k == 0 || i + 1 == n) && srv.batch[i].s.seq >= nextSeq) {
                takeEvent(i);
            }
        }
    }
    if (withStatus) {
        const std::uint64_t missed = viewDrops();
        pending += "event: status\ndata: " + statusJson(srv, &missed) + "\n\n";
    }
    if (!writing && !pending.empty()) {
        out.swap(pending);
        writeOut();
    }
}

// Takes what the queue holds, keeps some of it in the history and hands it to the streams.
void takeBatch(Server& s, bool last) {
    const std::uint64_t now = s.nowMs();
    s.batch.clear();
    QueuedSample q;
    while (s.batch.size() < kQueueSlots && s.queue.pop(q)) {
        s.batch.push_back({q, 0});
    }
    const std::size_t n = s.batch.size();
    const std::uint64_t span = now - std::min(now, s.lastTickMs);
    for (std::size_t i = 0; i < n; ++i) {
        s.batch[i].t = now - span + span * (i + 1) / n;
    }
    s.lastTickMs = now;
    const std::size_t step = std::max<std::size_t>((n + kHistoryPerTick - 1) / kHistoryPerTick, 1);
    for (std::size_t i = n > 0 ? (n - 1) % step : 0; i < n; i += step) {
        s.history[s.historyNext] = s.batch[i];
        s.historyNext = (s.historyNext + 1) % kHistorySlots;
        s.historyCount = std::min(s.historyCount + 1, kHistorySlots);
    }
    if (last) {  // the data path has ended: its last sample is seen even if the queue was full
        s.seen = s.offered.load(std::memory_order_relaxed);
        if (s.seen > 0 && (n == 0 || s.batch.back().s.seq + 1 < s.seen)) {
            s.batch.push_back({s.lastOffered, now});
        }
    } else if (n > 0) {
        s.seen = s.batch.back().s.seq + 1;
    }
    s.text.clear();
    s.ends.clear();
    if (s.streams > 0) {
        for (const StampedSample& sample : s.batch) {
            addSampleEvent(s.text, sample, nullptr);
            s.ends.push_back(s.text.size());
        }
    }
}

void deliverToStreams(Server& s, bool withStatus, bool last) {
    const std::vector<Session*> streams = s.sessions;  // a delivery may end a session
    for (Session* c : streams) {
        if (c->phase == Phase::Streaming) {
            auto keep = c->shared_from_this();
            keep->closing = last;
            keep->deliver(withStatus);
            keep->closeWhenWritten();
        }
    }
}

void tick(Server& s) {
    takeBatch(s, false);
    deliverToStreams(s, ++s.ticks % kStatusTicks == 0, false);
    scheduleTick(s);
}

// The run has ended: what is left goes out with a last status, then each stream closes.
void finish(Server& s) {
    s.ended = true;
    s.ticker.cancel();
    beast::error_code ignored;
    s.acceptor.close(ignored);
    takeBatch(s, true);
    deliverToStreams(s, true, true);
    finishIfWritten(s);
}

void accept(Server& s) {
    s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || s.ended) {
            return;
        }
        if (ec) {  // out of descriptors, say: try again a little later rather than spin
            s.acceptRetry.expires_after(100ms);
            s.acceptRetry.async_wait([&s](beast::error_code waitEc) {
                if (!waitEc) {
                    accept(s);
                }
            });
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (s.reading >= kMaxRequestsInProgress) {
            // Requests that trickle in cannot keep a complete one out: the oldest makes room.
            for (Session* c : s.sessions) {
                if (c->phase == Phase::Reading) {
                    c->drop();
                    break;
                }
            }
        }
        std::make_shared<Session>(s, std::move(socket))->start();
        accept(s);
    });
}

void tapSample(void* context, const logging::AngleAccelRecord& record, std::uint64_t line) {
    auto& s = *static_cast<Server*>(context);
    const std::uint64_t seq = s.offered.load(std::memory_order_relaxed);
    s.offered.store(seq + 1, std::memory_order_relaxed);  // the data path is the only writer
    s.lastOffered = QueuedSample{record, line, seq};
    if (!s.queue.push(s.lastOffered)) {
        s.drops.fetch_add(1, std::memory_order_relaxed);
    }
}

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The endpoint to bind for address; false with the system's reason when it names none.
bool resolve(asio::io_context& ioc, const Address& address, tcp::endpoint& endpoint,
             std::string& reason) {
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address.host, ec);
    if (!ec) {
        endpoint = tcp::endpoint(ip, address.port);
        return true;
    }
    tcp::resolver resolver(ioc);
    const auto found = resolver.resolve(address.host, std::to_string(address.port), ec);
    if (ec || found.empty()) {
        reason = ec ? ec.message() : std::string("no such host");
        return false;
    }
    endpoint = found.begin()->endpoint();
    return true;
}

bool listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, std::string& reason) {
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
#if !defined(_WIN32)
    // A restarted run can take its port back at once. (Not on Windows, where the same option
    // lets a second program take a port that is in use.)
    if (!ec) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
#endif
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        reason = ec.message();
        return false;
    }
    return true;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

// The URL to print, and the names a Host may carry: every interface is reached by the
// machine's name (never "0.0.0.0", which no browser can open).
std::string urlHost(Server& s, const Config& config, const tcp::endpoint& endpoint) {
    for (const std::string& name : config.hostNames) {
        s.names.push_back(lowerCase(name));
    }
    beast::error_code ec;
    std::string host = config.address.host;
    if (endpoint.address().is_unspecified()) {
        host = asio::ip::host_name(ec);
        if (ec || host.empty()) {
            host = "localhost";
        }
    } else {
        asio::ip::make_address(host, ec);
    }
    if (ec) {  // a name: it is how this server is meant to be reached
        s.names.push_back(lowerCase(host));
    }
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

bool parseAddress(std::string_view text, Address& out) {
    Address a;
    std::string_view portText = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        a.host = std::string(text.substr(1, close - 1));
        beast::error_code ec;
        asio::ip::make_address_v6(a.host, ec);  // brackets are for IPv6 only
        if (ec) {
            return false;
        }
        portText = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        a.host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
        if (a.host.empty() || !std::all_of(a.host.begin(), a.host.end(), isNameChar)) {
            return false;
        }
    }
    if (!common::readPort(portText, a.port)) {
        return false;
    }
    out = a;
    return true;
}

void appendStatusJson(std::string& out, const Status& status, std::uint64_t liveDrops) {
    Status st = status;
    char buf[96];
    std::snprintf(buf, sizeof buf, "{\"elapsed_s\":%.3f,\"lost_for_s\":%.3f",
                  static_cast<double>(st.elapsedMs) / 1000.0,
                  static_cast<double>(st.linkUp ? 0 : st.lostForMs) / 1000.0);
    out += buf;
    out += st.linkUp ? ",\"link\":\"up\",\"loss_reason\":" : ",\"link\":\"lost\",\"loss_reason\":";
    st.lossReason.back() = '\0';
    common::appendJsonString(out, st.lossReason.data());
    st.device.back() = '\0';
    out += ",\"device\":";
    common::appendJsonString(out, st.device.data());
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"samples", st.samples},        {"quaternion", st.quaternion},
        {"vector", st.vector},          {"other", st.other},
        {"noise_bytes", st.noiseBytes}, {"ring_drops", st.ringDrops},
        {"cut_packets", st.cutPackets}, {"link_losses", st.linkLosses},
        {"live_drops", liveDrops}};
    for (const auto& [name, value] : counts) {
        out += ",\"";
        out += name;
        out += "\":";
        addUnsigned(out, value);
    }
    st.mqttState.back() = '\0';
    if (st.mqttState[0] != '\0') {
        st.mqttReason.back() = '\0';
        out += ",\"mqtt\":{\"state\":";
        common::appendJsonString(out, st.mqttState.data());
        out += ",\"reason\":";
        common::appendJsonString(out, st.mqttReason.data());
        out += ",\"published\":";
        addUnsigned(out, st.mqttPublished);
        out += ",\"dropped\":";
        addUnsigned(out, st.mqttDropped);
        out += '}';
    }
    addFiles(out, st);
}

bool built() {
    return true;
}

ServerPtr startServer(const Config& config, Started& started) {
    ServerPtr none(nullptr, stopServer);
    ServerPtr s(new Server, stopServer);
    tcp::endpoint endpoint;
    if (!resolve(s->ioc, config.address, endpoint, started.reason)) {
        started.failure = StartFailure::Resolve;
        return none;
    }
    if (!listen(s->acceptor, endpoint, started.reason)) {
        started.failure = StartFailure::Bind;
        return none;
    }
    beast::error_code ec;
    s->port = s->acceptor.local_endpoint(ec).port();
    started.url = "http://" + urlHost(*s, config, endpoint) + ":" + std::to_string(s->port) + "/";
    started.openToNetwork = !endpoint.address().is_loopback();
    s->batch.reserve(kQueueSlots + 1);
    s->history.resize(kHistorySlots);
    s->ends.reserve(kQueueSlots);
    s->text.reserve(kMaxPendingBytes);
    accept(*s);
    scheduleTick(*s);
    Server* raw = s.get();
    s->thread = std::thread([raw] {
        platform::holdSignalsInThisThread();
        for (;;) {
            try {
                raw->ioc.run();
                return;
            } catch (const std::exception&) {
                // One client's trouble (out of memory for its buffer, say) must not end the
                // server for the others.
            }
        }
    });
    return s;
}

void stopServer(Server* server) {
    if (server == nullptr) {
        return;
    }
    if (server->thread.joinable()) {
        asio::post(server->ioc, [server] { finish(*server); });
        std::unique_lock<std::mutex> held(server->doneLock);
        server->doneCv.wait_for(held, kFinishWait, [server] { return server->done; });
    }
    server->ioc.stop();
    if (server->thread.joinable()) {
        server->thread.join();
    }
    delete server;  // the io_context closes every connection as it goes
}

decode::SampleTap sampleTap(Server& server) {
    return decode::SampleTap{tapSample, &server};
}

void publishStatus(Server& server, const Status& status) {
    std::lock_guard<std::mutex> held(server.lock);
    server.status = status;
}

void publishMessage(Server& server, const char* text, std::size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    if (length == 0) {
        return;
    }
    std::lock_guard<std::mutex> held(server.lock);
    auto& slot = server.messages[server.messageCount % kMessages];
    const std::size_t n = std::min(length, slot.size() - 1);
    std::memcpy(slot.data(), text, n);
    slot[n] = '\0';
    ++server.messageCount;
}

}  // namespace vg::live
