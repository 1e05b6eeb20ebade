// The broker client on libmosquitto: one thread of ours runs the library's network loop,
// connects and reconnects, and drains the samples' queue into publications.
#include <mosquitto.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <type_traits>

#include "broker/broker.h"
#include "platform/library.h"
#include "platform/net.h"
#include "platform/process.h"

namespace vg::broker {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The library is opened when --mqtt first asks for it: a run without --mqtt never loads it, nor
// the TLS libraries it brings (1.6 MiB resident, and their linking at every start).
struct Api {
    decltype(&::mosquitto_connect) connect = nullptr;
    decltype(&::mosquitto_connect_callback_set) connect_callback_set = nullptr;
    decltype(&::mosquitto_destroy) destroy = nullptr;
    decltype(&::mosquitto_disconnect) disconnect = nullptr;
    decltype(&::mosquitto_disconnect_callback_set) disconnect_callback_set = nullptr;
    decltype(&::mosquitto_int_option) int_option = nullptr;
    decltype(&::mosquitto_lib_init) lib_init = nullptr;
    decltype(&::mosquitto_log_callback_set) log_callback_set = nullptr;
    decltype(&::mosquitto_loop) loop = nullptr;
    decltype(&::mosquitto_loop_misc) loop_misc = nullptr;
    decltype(&::mosquitto_loop_read) loop_read = nullptr;
    decltype(&::mosquitto_loop_write) loop_write = nullptr;
    decltype(&::mosquitto_max_inflight_messages_set) max_inflight_messages_set = nullptr;
    decltype(&::mosquitto_new) create = nullptr;
    decltype(&::mosquitto_publish) publish = nullptr;
    decltype(&::mosquitto_publish_callback_set) publish_callback_set = nullptr;
    decltype(&::mosquitto_socket) socket = nullptr;
    decltype(&::mosquitto_strerror) strerror = nullptr;
    decltype(&::mosquitto_tls_set) tls_set = nullptr;
    decltype(&::mosquitto_username_pw_set) username_pw_set = nullptr;
    decltype(&::mosquitto_want_write) want_write = nullptr;
    decltype(&::mosquitto_will_set) will_set = nullptr;
};

constexpr char kLibraryName[] = "libmosquitto.so.1";
Api mq;

// Opens the library once for the process; false with the reason when it cannot be.
bool loadApi(std::string& why) {
    struct Loaded {
        bool ok = false;
        std::string why;
    };
    static const Loaded loaded = [] {
        Loaded result;
        platform::Library library;
        if (!platform::openLibrary(kLibraryName, library, result.why)) {
            return result;
        }
        Api api;
        const auto bind = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                platform::librarySymbol(library, name));
            if (fn == nullptr) {
                result.why = std::string(kLibraryName) + " has no " + name;
            }
            return fn != nullptr;
        };
        const bool all =
            bind(api.connect, "mosquitto_connect") &&
            bind(api.connect_callback_set, "mosquitto_connect_callback_set") &&
            bind(api.destroy, "mosquitto_destroy") &&
            bind(api.disconnect, "mosquitto_disconnect") &&
            bind(api.disconnect_callback_set, "mosquitto_disconnect_callback_set") &&
            bind(api.int_option, "mosquitto_int_option") &&
            bind(api.lib_init, "mosquitto_lib_init") &&
            bind(api.log_callback_set, "mosquitto_log_callback_set") &&
            bind(api.loop, "mosquitto_loop") && bind(api.loop_misc, "mosquitto_loop_misc") &&
            bind(api.loop_read, "mosquitto_loop_read") &&
            bind(api.loop_write, "mosquitto_loop_write") &&
            bind(api.max_inflight_messages_set, "mosquitto_max_inflight_messages_set") &&
            bind(api.create, "mosquitto_new") && bind(api.publish, "mosquitto_publish") &&
            bind(api.publish_callback_set, "mosquitto_publish_callback_set") &&
            bind(api.socket, "mosquitto_socket") && bind(api.strerror, "mosquitto_strerror") &&
            bind(api.tls_set, "mosquitto_tls_set") &&
            bind(api.username_pw_set, "mosquitto_username_pw_set") &&
            bind(api.want_write, "mosquitto_want_write") &&
            bind(api.will_set, "mosquitto_will_set");
        if (all) {
            mq = api;  // the library stays open for the process's life
        }
        result.ok = all;
        return result;
    }();
    why = loaded.why;
    return loaded.ok;
}

constexpr milliseconds kFirstPause{1000};  // after a failed connection, doubled up to kMaxPause
constexpr milliseconds kMaxPause{10000};
// Samples handed to the library and not yet done with (at QoS 1: not acknowledged): the library
// keeps every one it is given, so this bounds what it holds beside our queue.
constexpr std::size_t kWindow = 256;
// While connected the thread sleeps until the loop kicks it (samples were queued), a status is
// posted, or this tick passes (acknowledgements, pings, a write the socket could not take). It
// does not sleep on the socket: what the broker sends (acknowledgements, ping answers) waits there
// for the next wake, so a run at the line's pace wakes the thread once a pass, not once a message.
constexpr int kTickMs = 100;
constexpr int kWriteRetryMs = 5;
// While a connection is being made or the run ends, the network loop itself waits this long.
constexpr int kNetWaitMs = 10;

}  // namespace

struct Client {
    Config config;
    std::string samplesTopic, statusTopic;
    mosquitto* mosq = nullptr;
    std::thread thread;

    common::SpscQueue<Sample, kQueueSlots> queue;
    std::atomic<std::uint64_t> queueDrops{0};
    std::atomic<std::uint64_t> published{0};
    std::atomic<std::uint64_t> otherDrops{0};  // given to the library and never sent

    std::mutex lock;  // over what follows: held only for copies
    std::condition_variable wake;
    std::string status;  // the latest status; sent on every connection
    bool statusNew = false;
    bool kicked = false;
    std::string finalStatus;
    bool finishing = false;
    bool stop = false;
    bool done = false;  // the thread has ended
    Clock::time_point finishBy{};
    Report report;
    bool reportChanged = false;

    // The thread's own.
    bool connected = false;
    bool lost = false;  // the library said the connection went (on_disconnect)
    int lostRc = 0, lostErr = 0;
    int connackCode = 0;
    std::array<char, 192> lastError{};
    // The message ids of the samples in flight: each is counted once, published when the library
    // is done with it, dropped when a reconnection or the end forgets it.
    std::bitset<65536> sampleMids;
    std::size_t inFlight = 0;
    bool publishing = false;  // in mosquitto_publish for a sample
    int doneInCall = -1;      // the sample the library was done with before its id came back
    int finalMid = 0;
    bool finalSent = false, finalAcked = false;
    logging::UtcCache utc;
};

namespace {

void setReport(Client& c, State state, Cause cause, int err, int code, const char* detail) {
    std::lock_guard<std::mutex> held(c.lock);
    Report& r = c.report;
    // A retry that fails for another reason than the last is no new state: the reason is kept
    // up to date for whoever asks, and only a change of state is told.
    c.reportChanged = c.reportChanged || r.state != state;
    r.state = state;
    r.cause = cause;
    r.err = err;
    r.code = code;
    std::snprintf(r.detail.data(), r.detail.size(), "%s", detail != nullptr ? detail : "");
}

// The library's return code and errno, as a Cause.
void reportFailure(Client& c, int rc, int err) {
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            // A broker that goes away is met by a write as often as by a read: either way
            // the connection was lost, not refused.
            if (err == EPIPE || err == ECONNRESET || err == ECONNABORTED) {
                setReport(c, State::Waiting, Cause::Lost, 0, 0, nullptr);
            } else {
                setReport(c, State::Waiting, Cause::System, err, 0, nullptr);
            }
            return;
        case MOSQ_ERR_EAI:
            setReport(c, State::Waiting, Cause::NameNotFound, 0, 0, nullptr);
            return;
        case MOSQ_ERR_TLS:
            setReport(c, State::Waiting, Cause::Tls, 0, 0, c.lastError.data());
            return;
        case MOSQ_ERR_CONN_REFUSED:
            setReport(c, State::Waiting, Cause::Refused, 0, c.connackCode, nullptr);
            return;
        case MOSQ_ERR_KEEPALIVE:
            setReport(c, State::Waiting, Cause::KeepAlive, 0, 0, nullptr);
            return;
        case MOSQ_ERR_PROTOCOL:
            setReport(c, State::Waiting, Cause::Protocol, 0, 0, nullptr);
            return;
        case MOSQ_ERR_CONN_LOST:
        case MOSQ_ERR_NO_CONN:
            setReport(c, State::Waiting, Cause::Lost, 0, 0, nullptr);
            return;
        default:
            setReport(c, State::Waiting, Cause::Other, 0, rc, mq.strerror(rc));
            return;
    }
}

void onConnect(mosquitto*, void* context, int rc) {
    auto& c = *static_cast<Client*>(context);
    c.connackCode = rc;
    if (rc != 0) {
        return;  // the library ends the connection; the loop reports it
    }
    c.connected = true;
    if (c.config.qos == 0) {
        // A reconnection forgets QoS 0 messages the library had not written yet.
        c.otherDrops.fetch_add(c.inFlight, std::memory_order_relaxed);
        c.inFlight = 0;
        c.sampleMids.reset();
    }
    setReport(c, State::Connected, Cause::None, 0, 0, nullptr);
    std::lock_guard<std::mutex> held(c.lock);
    c.statusNew = !c.status.empty();  // the latest status, for whoever looks now
}

void onDisconnect(mosquitto*, void* context, int rc) {
    auto& c = *static_cast<Client*>(context);
    c.lostErr = errno;
    c.connected = false;
    c.lost = true;
    c.lostRc = rc;
}

void onPublish(mosquitto*, void* context, int mid) {
    auto& c = *static_cast<Client*>(context);
    if (mid == c.finalMid && c.finalSent) {
        c.finalAcked = true;
        return;
    }
    const auto id = static_cast<std::size_t>(mid) & 0xffff;
    if (!c.sampleMids.test(id)) {
        if (c.publishing) {
            c.doneInCall = mid;  // QoS 0 is written (and done) within the publish call
        }
        return;  // else a status
    }
    c.sampleMids.reset(id);
    --c.inFlight;
    c.published.fetch_add(1, std::memory_order_relaxed);
}

void onLog(mosquitto*, void* context, int level, const char* text) {
    auto& c = *static_cast<Client*>(context);
    if ((level & MOSQ_LOG_ERR) == 0 || text == nullptr) {
        return;
    }
    // TLS failures come as "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify
    // failed": the words after the last colon say it.
    const char* words = std::strrchr(text, ':');
    words = words != nullptr && words[1] != '\0' ? words + 1 : text;
    while (*words == ' ') {
        ++words;
    }
    std::snprintf(c.lastError.data(), c.lastError.size(), "%s", words);
}

void publishStatus(Client& c, const std::string& json, bool final) {
    int mid = 0;
    const int rc = mq.publish(c.mosq, &mid, c.statusTopic.c_str(), static_cast<int>(json.size()),
                              json.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS && mid == 0) {
        return;  // refused outright; the next connection sends the latest status again
    }
    if (final) {
        c.finalMid = mid;
        c.finalSent = true;
    }
}

// While connected: the status when a new one is there, then samples while the window allows,
// then (when finishing and the queue is empty) the final status.
void publishWaiting(Client& c) {
    std::string status;
    bool finishing = false;
    {
        std::lock_guard<std::mutex> held(c.lock);
        if (c.statusNew) {
            status = c.status;
            c.statusNew = false;
        }
        finishing = c.finishing;
    }
    if (!status.empty()) {
        publishStatus(c, status, false);
    }
    char json[kMaxSampleJson];
    Sample s;
    while (c.connected && c.inFlight < kWindow && c.queue.pop(s)) {
        const std::size_t n = formatSample(json, s, c.utc);
        int mid = 0;
        c.publishing = true;
        c.doneInCall = -1;
        const int rc = mq.publish(c.mosq, &mid, c.samplesTopic.c_str(), static_cast<int>(n), json,
                                  c.config.qos, false);
        c.publishing = false;
        if (mid != 0 && c.doneInCall == mid) {
            c.published.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // A message that got its id is the library's, even when the connection failed as it was
        // written: at QoS 1 it is sent again after the next connection.
        if (rc == MOSQ_ERR_SUCCESS || mid != 0) {
            c.sampleMids.set(static_cast<std::size_t>(mid) & 0xffff);
            ++c.inFlight;
        } else {
            c.otherDrops.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (finishing && c.connected && !c.finalSent && c.queue.size() == 0) {
        std::string final;
        {
            std::lock_guard<std::mutex> held(c.lock);
            final = c.finalStatus;
        }
        publishStatus(c, final, true);
    }
}

// Sleeps until there is something to publish, or the tick.
void waitForWork(Client& c) {
    const int ms = mq.want_write(c.mosq) ? kWriteRetryMs : kTickMs;
    std::unique_lock<std::mutex> held(c.lock);
    c.wake.wait_for(held, milliseconds(ms),
                    [&] { return c.kicked || c.statusNew || c.finishing || c.stop; });
    c.kicked = false;
}

// One wake while connected: what the broker sent since the last, the samples queued since then
// as one burst on the wire, what the socket could not take before, and the keepalive.
int serviceConnected(Client& c) {
    int rc = mq.loop_read(c.mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS || c.lost) {
        return rc;
    }
    // The library writes each message as it is published; held, the pass's messages leave in one
    // segment. The socket stays open through the publishing: only the loop's calls close it.
    const int socket = mq.socket(c.mosq);
    const bool held = c.queue.size() > 1 && platform::holdSocketWrites(socket, true) == 0;
    publishWaiting(c);
    if (held) {
        platform::holdSocketWrites(socket, false);
    }
    if (mq.want_write(c.mosq)) {
        rc = mq.loop_write(c.mosq, 1);
    }
    return rc == MOSQ_ERR_SUCCESS && !c.lost ? mq.loop_misc(c.mosq) : rc;
}

int connectOnce(Client& c) {
    c.lastError[0] = '\0';
    c.connackCode = 0;
    c.lost = false;
    errno = 0;
    const int rc =
        mq.connect(c.mosq, c.config.url.host.c_str(), c.config.url.port, c.config.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        reportFailure(c, rc, errno);
    }
    return rc;
}

void run(Client& c) {
    platform::holdSignalsInThisThread();
    auto pause = kFirstPause;
    auto nextTry = Clock::now();
    bool socketUp = false;  // connecting or connected
    for (;;) {
        bool finishing = false;
        Clock::time_point finishBy;
        {
            std::lock_guard<std::mutex> held(c.lock);
            if (c.stop) {
                break;
            }
            finishing = c.finishing;
            finishBy = c.finishBy;
        }
        const auto now = Clock::now();
        if (finishing && (c.finalAcked || now >= finishBy || !socketUp)) {
            break;
        }
        if (!socketUp && now >= nextTry) {
            socketUp = connectOnce(c) == MOSQ_ERR_SUCCESS;
            if (!socketUp) {
                nextTry = now + pause;
                pause = std::min(pause * 2, kMaxPause);
            }
        }
        if (!socketUp) {
            std::unique_lock<std::mutex> held(c.lock);
            c.wake.wait_until(held, std::min(nextTry, now + milliseconds(kTickMs)));
            continue;
        }
        int rc = MOSQ_ERR_SUCCESS;
        int err = 0;
        if (c.connected && !finishing) {
            rc = serviceConnected(c);
            err = errno;
            if (rc == MOSQ_ERR_SUCCESS && !c.lost) {
                waitForWork(c);
            }
        } else {
            // Connecting, or the end: the library's own loop, waiting on the socket.
            if (c.connected) {
                publishWaiting(c);
            }
            rc = mq.loop(c.mosq, kNetWaitMs, 1);
            err = errno;
        }
        if (c.connected) {
            pause = kFirstPause;
        }
        if (rc != MOSQ_ERR_SUCCESS || c.lost) {
            c.connected = false;
            socketUp = false;
            reportFailure(c, c.lost ? c.lostRc : rc, c.lost ? c.lostErr : err);
            nextTry = Clock::now() + pause;
            pause = std::min(pause * 2, kMaxPause);
        }
    }
    if (socketUp) {
        mq.disconnect(c.mosq);
        mq.loop(c.mosq, 0, 1);  // writes the DISCONNECT still queued
    }
    Sample s;
    while (c.queue.pop(s)) {
        c.otherDrops.fetch_add(1, std::memory_order_relaxed);  // never sent
    }
    c.otherDrops.fetch_add(c.inFlight, std::memory_order_relaxed);  // never done with
    std::lock_guard<std::mutex> held(c.lock);
    c.done = true;
    c.wake.notify_all();
}

// 0 when every file the TLS settings name can be read; else the errno of the first that cannot.
int checkFiles(const Config& config) {
    for (const std::string* path : {&config.ca, &config.cert, &config.key}) {
        if (path->empty()) {
            continue;
        }
        errno = 0;
        std::ifstream in(*path, std::ios::binary);
        if (!in) {
            return errno != 0 ? errno : EACCES;
        }
    }
    return 0;
}

int configure(Client& c) {
    const Config& config = c.config;
    int rc = mq.int_option(c.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mq.int_option(c.mosq, MOSQ_OPT_TCP_NODELAY, 1);  // a sample goes at once
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mq.max_inflight_messages_set(c.mosq, kWindow + 32);  // and the statuses
    }
    static constexpr char kOffline[] = "{\"state\":\"offline\"}";
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mq.will_set(c.mosq, c.statusTopic.c_str(), sizeof kOffline - 1, kOffline, 1, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && (!config.user.empty() || !config.password.empty())) {
        rc = mq.username_pw_set(c.mosq, config.user.empty() ? nullptr : config.user.c_str(),
                                config.password.empty() ? nullptr : config.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config.url.tls) {
        rc = mq.tls_set(c.mosq, config.ca.empty() ? nullptr : config.ca.c_str(),
                        config.ca.empty() ? "/etc/ssl/certs" : nullptr,
                        config.cert.empty() ? nullptr : config.cert.c_str(),
                        config.key.empty() ? nullptr : config.key.c_str(), nullptr);
    }
    return rc;
}

}  // namespace

bool available() {
    return true;
}

bool loadClient(std::string& why) {
    return loadApi(why);
}

std::unique_ptr<Client, void (*)(Client*)> startClient(const Config& config, StartError& error,
                                                       int& err, int& code) {
    std::unique_ptr<Client, void (*)(Client*)> none(nullptr, stopClient);
    error = StartError::None;
    err = 0;
    code = 0;
    if (config.url.tls && (err = checkFiles(config)) != 0) {
        error = StartError::Files;
        return none;
    }
    std::string why;
    if (!loadApi(why)) {
        error = StartError::Unavailable;
        return none;
    }
    static const int init = mq.lib_init();  // once for the process
    std::unique_ptr<Client, void (*)(Client*)> c(new Client, stopClient);
    c->config = config;
    c->samplesTopic = config.topicRoot + "samples";
    c->statusTopic = config.topicRoot + "status";
    c->mosq =
        init == MOSQ_ERR_SUCCESS ? mq.create(config.clientId.c_str(), true, c.get()) : nullptr;
    if (c->mosq == nullptr) {
        error = StartError::Library;
        code = init != MOSQ_ERR_SUCCESS ? init : MOSQ_ERR_NOMEM;
        return none;
    }
    mq.connect_callback_set(c->mosq, onConnect);
    mq.disconnect_callback_set(c->mosq, onDisconnect);
    mq.publish_callback_set(c->mosq, onPublish);
    mq.log_callback_set(c->mosq, onLog);
    if ((code = configure(*c)) != MOSQ_ERR_SUCCESS) {
        error = StartError::Library;
        return none;
    }
    Client* raw = c.get();
    c->thread = std::thread([raw] { run(*raw); });
    return c;
}

void pushSample(Client& client, const Sample& sample) {
    if (client.queue.size() >= client.config.queueLimit || !client.queue.push(sample)) {
        client.queueDrops.fetch_add(1, std::memory_order_relaxed);
    }
}

void kick(Client& client) {
    {
        std::lock_guard<std::mutex> held(client.lock);
        client.kicked = true;
    }
    client.wake.notify_all();
}

void postStatus(Client& client, std::string_view json) {
    {
        std::lock_guard<std::mutex> held(client.lock);
        client.status.assign(json);
        client.statusNew = true;
    }
    client.wake.notify_all();
}

bool takeReport(Client& client, Report& report) {
    std::lock_guard<std::mutex> held(client.lock);
    report = client.report;
    const bool changed = client.reportChanged;
    client.reportChanged = false;
    return changed;
}

Report currentReport(Client& client) {
    std::lock_guard<std::mutex> held(client.lock);
    return client.report;
}

Counts counts(const Client& client) {
    Counts n;
    n.published = client.published.load(std::memory_order_relaxed);
    n.dropped = client.queueDrops.load(std::memory_order_relaxed) +
                client.otherDrops.load(std::memory_order_relaxed);
    return n;
}

void finishClient(Client& client, std::string_view finalJson, unsigned waitMs) {
    std::unique_lock<std::mutex> held(client.lock);
    client.finalStatus.assign(finalJson);
    client.finishing = true;
    client.finishBy = Clock::now() + milliseconds(waitMs);
    client.wake.notify_all();
    // A connection being made (a blocking connect to a host that does not answer) may hold the
    // thread past the deadline: it is then left to the process's exit.
    client.wake.wait_until(held, client.finishBy + milliseconds(500), [&] { return client.done; });
}

void stopClient(Client* client) {
    if (client == nullptr) {
        return;
    }
    bool done = false;
    {
        std::lock_guard<std::mutex> held(client->lock);
        client->stop = true;
        done = client->done;
        client->wake.notify_all();
    }
    if (!done && client->finishing) {
        client->thread.detach();  // still in a connect: its state stays until the exit
        return;
    }
    if (client->thread.joinable()) {
        client->thread.join();
    }
    if (client->mosq != nullptr) {
        mq.destroy(client->mosq);
    }
    delete client;
}

}  // namespace vg::broker
