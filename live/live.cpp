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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

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

// A second of samples at the fastest the board sends, many times over: the server drains the
// queue 10 times a second, so only a server held up for long lets it fill.
constexpr std::size_t kQueueSlots = 4096;
constexpr auto kTick = 100ms;                         // batches go out 10 times a second
constexpr unsigned kStatusTicks = 5;                  // a status event every half second
constexpr std::size_t kMaxPendingBytes = 256 * 1024;  // per client, not yet taken by its socket
constexpr auto kWriteStall = 30s;         // a client that takes nothing this long is dropped
constexpr auto kLingerTime = 2s;          // after an error answer, the rest of a request is read
constexpr std::size_t kMaxRefusing = 64;  // connections being answered 503 at once
constexpr std::size_t kMessages = 32;
constexpr std::size_t kMessageBytes = 512;

struct QueuedSample {
    logging::AngleAccelRecord record;
    std::uint64_t line = 0;
};

// One producer (the data path), one consumer (the server's thread); neither ever waits.
class SampleQueue {
  public:
    bool push(const QueuedSample& s) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == kQueueSlots) {
            return false;
        }
        slots_[tail % kQueueSlots] = s;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    bool pop(QueuedSample& s) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return false;
        }
        s = slots_[head % kQueueSlots];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

  private:
    std::array<QueuedSample, kQueueSlots> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

void addJsonString(std::string& out, const char* text) {
    out += '"';
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

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

void addTriple(std::string& out, float a, float b, float c) {
    out += '[';
    addValue(out, a);
    out += ',';
    addValue(out, b);
    out += ',';
    addValue(out, c);
    out += ']';
}

void addSampleEvent(std::string& out, const QueuedSample& s) {
    const logging::AngleAccelRecord& r = s.record;
    out += "data: {\"line\":";
    addUnsigned(out, s.line);
    out += ",\"sample\":";
    out += std::to_string(static_cast<std::int16_t>(r.sample));  // signed, as the log prints it
    out += ",\"phi\":";
    addValue(out, r.phi);
    out += ",\"theta\":";
    addValue(out, r.theta);
    out += ",\"psi\":";
    addValue(out, r.psi);
    out += ",\"accel\":";
    addTriple(out, r.x, r.y, r.z);
    out += ",\"world\":";
    addTriple(out, r.xWorld, r.yWorld, r.zWorld);
    out += ",\"quat\":[";
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            out += ',';
        }
        addValue(out, r.quat[i]);
    }
    out += "]}\n\n";
}

struct Session;

}  // namespace

struct Server {
    // Declared before the io_context: sessions leave these lists as it destroys them.
    std::vector<Session*> sessions;
    std::size_t served = 0;    // connections counted against kMaxClients
    std::size_t refusing = 0;  // connections being answered 503
    bool ticking = false;
    unsigned ticks = 0;

    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer ticker{ioc};
    asio::steady_timer acceptRetry{ioc};
    std::thread thread;

    SampleQueue queue;
    std::atomic<std::uint64_t> drops{0};
    std::atomic<std::size_t> streaming{0};  // clients of /api/samples

    std::mutex lock;  // over what follows: held only for copies
    Status status{};
    std::array<std::array<char, kMessageBytes>, kMessages> messages{};
    std::uint64_t messageCount = 0;
};

namespace {

void tick(Server& s);

// The status as JSON; viewDrops (the events this client missed) only on a stream.
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
        addJsonString(out, messages[i % kMessages].data());
    }
    out += "]}";
    return out;
}

}  // namespace

void appendStatusJson(std::string& out, const Status& status, std::uint64_t liveDrops) {
    Status st = status;
    char buf[64];
    std::snprintf(buf, sizeof buf, "{\"elapsed_s\":%.3f",
                  static_cast<double>(st.elapsedMs) / 1000.0);
    out += buf;
    out += st.linkUp ? ",\"link\":\"up\",\"loss_reason\":" : ",\"link\":\"lost\",\"loss_reason\":";
    st.lossReason.back() = '\0';
    addJsonString(out, st.lossReason.data());
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
        addJsonString(out, st.mqttState.data());
        out += ",\"reason\":";
        addJsonString(out, st.mqttReason.data());
        out += ",\"published\":";
        addUnsigned(out, st.mqttPublished);
        out += ",\"dropped\":";
        addUnsigned(out, st.mqttDropped);
        out += '}';
    }
    out += ",\"files\":[";
    bool first = true;
    for (auto& name : st.files) {
        name.back() = '\0';
        if (name[0] == '\0') {
            continue;
        }
        out += first ? "{\"name\":" : ",{\"name\":";
        first = false;
        addJsonString(out, name.data());
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

namespace {

struct Session : std::enable_shared_from_this<Session> {
    Server& srv;
    beast::tcp_stream stream;
    beast::flat_buffer buffer{2 * kMaxHeaderBytes};
    http::request_parser<http::empty_body> parser;
    const bool counted;  // false: over the limit, answered 503
    bool streaming = false;
    bool writing = false;
    std::string out;      // being written
    std::string pending;  // waiting for the write in flight
    std::uint64_t drops = 0;
    std::array<char, 1024> scratch{};

    Session(Server& server, tcp::socket socket, bool withinLimit)
        : srv(server), stream(std::move(socket)), counted(withinLimit) {
        srv.sessions.push_back(this);
        ++(counted ? srv.served : srv.refusing);
    }
    ~Session() {
        srv.sessions.erase(std::find(srv.sessions.begin(), srv.sessions.end(), this));
        --(counted ? srv.served : srv.refusing);
        if (streaming) {
            srv.streaming.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start() {
        if (!counted) {
            respond(http::status::service_unavailable, "text/plain", "too many clients\n", false);
            return;
        }
        // The whole request must be in within the deadline, however it trickles in.
        stream.expires_after(std::chrono::milliseconds(kRequestDeadlineMs));
        parser.header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
        http::async_read(stream, buffer, parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onRequest(ec);
                         });
    }

    void onRequest(beast::error_code ec) {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            respond(http::status::request_header_fields_too_large, "text/plain",
                    "request header fields too large\n", false);
            return;
        }
        if (ec) {
            // A client that went away or timed out gets nothing; one that sent something that
            // is not HTTP is told so.
            if (ec.category() == http::make_error_code(http::error::bad_method).category()) {
                respond(http::status::bad_request, "text/plain", "bad request\n", false);
            }
            return;
        }
        const auto& req = parser.get();
        const bool head = req.method() == http::verb::head;
        if (req.method() != http::verb::get && !head) {
            respond(http::status::method_not_allowed, "text/plain", "only GET and HEAD\n", false,
                    "Allow: GET, HEAD\r\n");
            return;
        }
        std::string_view target(req.target().data(), req.target().size());
        target = target.substr(0, target.find('?'));
        if (target == "/") {
            respond(http::status::ok, "text/html; charset=utf-8",
                    std::string_view(kPage, kPageBytes), head);
        } else if (target == "/api/status") {
            respond(http::status::ok, "application/json", statusJson(srv, nullptr), head);
        } else if (target == "/api/samples") {
            if (head) {
                respond(http::status::ok, "text/event-stream", "", true);
            } else {
                startStream();
            }
        } else {
            respond(http::status::not_found, "text/plain", "not found\n", head);
        }
    }

    void respond(http::status status, const char* type, std::string_view body, bool head,
                 const char* extra = "") {
        char header[512];
        std::snprintf(header, sizeof header,
                      "HTTP/1.1 %u %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                      "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                      "Connection: close\r\n%s\r\n",
                      static_cast<unsigned>(status),
                      std::string(http::obsolete_reason(status)).c_str(), type, body.size(), extra);
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

    // Closing a socket with unread bytes in it resets the connection, which can lose the answer
    // on its way: the client is given time to read it, its own bytes are read and dropped.
    void lingerClose() {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.expires_after(kLingerTime);
        drainUntilClosed();
    }
    void drainUntilClosed() {
        stream.async_read_some(asio::buffer(scratch),
                               [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                   if (!ec) {
                                       self->drainUntilClosed();
                                   }
                               });
    }

    void startStream() {
        stream.expires_never();
        streaming = true;
        srv.streaming.fetch_add(1, std::memory_order_relaxed);
        out =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nretry: 1000\n\n";
        out += "event: status\ndata: " + statusJson(srv, &drops) + "\n\n";
        writeOut();
        watchForClose();
        if (!srv.ticking) {
            srv.ticking = true;
            srv.ticker.expires_after(kTick);
            srv.ticker.async_wait([&s = srv](beast::error_code ec) {
                if (!ec) {
                    tick(s);
                }
            });
        }
    }

    // A stream's client sends nothing more; a read ends when it goes away. (Straight on the
    // socket: the stream's write deadline must not cut it.)
    void watchForClose() {
        stream.socket().async_read_some(
            asio::buffer(scratch), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec) {
                    beast::error_code ignored;
                    self->stream.socket().close(ignored);
                } else {
                    self->watchForClose();
                }
            });
    }

    void writeOut() {
        writing = true;
        stream.expires_after(kWriteStall);
        asio::async_write(stream, asio::buffer(out),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->writing = false;
                              if (ec) {
                                  beast::error_code ignored;
                                  self->stream.socket().close(ignored);
                                  return;
                              }
                              self->out.clear();
                              if (!self->pending.empty()) {
                                  self->out.swap(self->pending);
                                  self->writeOut();
                              }
                          });
    }

    // Adds a batch of events (count samples) unless the client is too far behind to take it.
    void deliver(const std::string& batch, std::size_t count, bool withStatus) {
        if (!stream.socket().is_open()) {
            return;
        }
        if (pending.size() + batch.size() > kMaxPendingBytes) {
            drops += count;
        } else {
            pending += batch;
        }
        if (withStatus && pending.size() < kMaxPendingBytes) {
            pending += "event: status\ndata: " + statusJson(srv, &drops) + "\n\n";
        }
        if (!writing && !pending.empty()) {
            out.swap(pending);
            writeOut();
        }
    }
};

void tick(Server& s) {
    std::string batch;
    std::size_t count = 0;
    QueuedSample sample;
    while (s.queue.pop(sample)) {
        addSampleEvent(batch, sample);
        ++count;
    }
    const bool withStatus = ++s.ticks % kStatusTicks == 0;
    const std::vector<Session*> streams = s.sessions;  // a delivery may end a session
    bool any = false;
    for (Session* c : streams) {
        if (c->streaming) {
            any = true;
            c->shared_from_this()->deliver(batch, count, withStatus);
        }
    }
    if (!any) {
        s.ticking = false;  // the next stream starts it again
        return;
    }
    s.ticker.expires_after(kTick);
    s.ticker.async_wait([&s](beast::error_code ec) {
        if (!ec) {
            tick(s);
        }
    });
}

void accept(Server& s) {
    s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) {
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
        const bool withinLimit = s.served < kMaxClients;
        if (withinLimit || s.refusing < kMaxRefusing) {
            std::make_shared<Session>(s, std::move(socket), withinLimit)->start();
        }  // else the socket closes here: far too many at once for even an answer
        accept(s);
    });
}

void tapSample(void* context, const logging::AngleAccelRecord& record, std::uint64_t line) {
    auto& s = *static_cast<Server*>(context);
    if (s.streaming.load(std::memory_order_relaxed) == 0) {
        return;  // nobody watches: nothing to hand over
    }
    if (!s.queue.push(QueuedSample{record, line})) {
        s.drops.fetch_add(1, std::memory_order_relaxed);
    }
}

bool parsePort(std::string_view text, unsigned short& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) {
        return false;
    }
    port = static_cast<unsigned short>(value);
    return true;
}

}  // namespace

std::unique_ptr<Server, void (*)(Server*)> startServer(const char* address, std::string& url,
                                                       std::string& error) {
    std::unique_ptr<Server, void (*)(Server*)> none(nullptr, stopServer);
    const std::string_view text(address);
    std::string host = "127.0.0.1";
    std::string_view portText = text;
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "--serve " + std::string(text) + ": expected [HOST:]PORT";
            return none;
        }
        host = std::string(text.substr(1, close - 1));
        portText = text.substr(close + 2);
        v6 = true;
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
    }
    unsigned short port = 0;
    if (!parsePort(portText, port) || host.empty() ||
        (!v6 && host.find(':') != std::string::npos)) {
        error = "--serve " + std::string(text) + ": expected [HOST:]PORT, PORT from 0 to 65535";
        return none;
    }

    std::unique_ptr<Server, void (*)(Server*)> s(new Server, stopServer);
    beast::error_code ec;
    tcp::endpoint endpoint;
    const asio::ip::address ip = asio::ip::make_address(host, ec);
    if (!ec) {
        endpoint = tcp::endpoint(ip, port);
    } else {
        tcp::resolver resolver(s->ioc);
        const auto found = resolver.resolve(host, std::to_string(port), ec);
        if (ec || found.empty()) {
            error = "cannot serve the live view at " + std::string(text) + ": " +
                    (ec ? ec.message() : std::string("no such host"));
            return none;
        }
        endpoint = found.begin()->endpoint();
    }
    s->acceptor.open(endpoint.protocol(), ec);
#if !defined(_WIN32)
    // A restarted run can take its port back at once. (Not on Windows, where the same option
    // lets a second program take a port that is in use.)
    if (!ec) {
        s->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
#endif
    if (!ec) {
        s->acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        s->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot serve the live view at " + std::string(text) + ": " + ec.message();
        return none;
    }
    const unsigned short bound = s->acceptor.local_endpoint(ec).port();
    url = "http://" + (v6 || endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" +
          std::to_string(bound) + "/";
    accept(*s);
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
