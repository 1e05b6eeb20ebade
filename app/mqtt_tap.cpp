#include "app/mqtt_tap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/app.h"
#include "app/live_view.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/ports.h"

namespace vg::app {

namespace {

using platform::ConsoleStream;

// The retained status is fresh at least this often, so a reader can tell a stalled logger.
constexpr std::uint64_t kStatusEveryMs = 10000;
// State changes the client's thread posts are said within this.
constexpr std::int64_t kReportEveryMs = 1000;
// How long the end of a run waits for the queued samples and the final status to go out.
constexpr unsigned kFinishWaitMs = 3000;
constexpr int kDefaultKeepaliveS = 30;

int usageError(const char* format, const char* what, const char* why) {
    platform::consolePrint(ConsoleStream::Err, "vglog: ");
    platform::consolePrint(ConsoleStream::Err, format, what, why);
    platform::consolePrint(ConsoleStream::Err, "\r\nTry 'vglog --help' for more information.\r\n");
    return 2;
}

// The password: the file's first line, else VGLOG_MQTT_PASSWORD. 0, or 2 with the reason said.
int readPassword(const Options& o, std::string& password) {
    if (o.mqttPasswordFile == nullptr) {
        const char* env = std::getenv("VGLOG_MQTT_PASSWORD");
        password = env != nullptr ? env : "";
        return 0;
    }
    bool others = false;
    if (const int err = platform::fileReadableByOthers(o.mqttPasswordFile, others)) {
        return usageError("--mqtt-password-file %s: %s", o.mqttPasswordFile, std::strerror(err));
    }
    if (others) {
        return usageError("--mqtt-password-file %s: %s", o.mqttPasswordFile,
                          "others can read it; make it its owner's alone (chmod 600)");
    }
    std::ifstream in(o.mqttPasswordFile, std::ios::binary);
    if (!in || !std::getline(in, password)) {
        return usageError("--mqtt-password-file %s: %s", o.mqttPasswordFile,
                          "cannot be read, or is empty");
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return 0;
}

// The name a board goes by in topics: its adapter's USB serial number, else its device's name.
std::string defaultName(const char* device) {
    std::error_code ec;
    const auto real = std::filesystem::weakly_canonical(device, ec);
    std::string failure;
    for (const auto& p : platform::listSerialPorts(platform::defaultPortRoots(), &failure)) {
        std::error_code pec;
        if (!p.serial.empty() && !ec && std::filesystem::weakly_canonical(p.device, pec) == real &&
            !pec && broker::isTopicLevel(p.serial)) {
            return p.serial;
        }
    }
    std::string base = device;
    const std::size_t cut = base.find_last_of("/\\");
    if (cut != std::string::npos) {
        base.erase(0, cut + 1);
    }
    for (char& c : base) {
        if (!broker::isTopicLevel(std::string_view(&c, 1))) {
            c = '_';
        }
    }
    return base.empty() ? "board" : base;
}

const char* stateWord(broker::State state) {
    return state == broker::State::Connected ? "connected" : "waiting";
}

}  // namespace

int MqttTap::check(const Options& o) {
    if (o.mqtt == nullptr) {
        return 0;
    }
    broker::parseUrl(o.mqtt, config_.url);  // the options took it
    config_.user = config_.url.user;
    if (config_.user.empty()) {
        const char* env = std::getenv("VGLOG_MQTT_USER");
        config_.user = env != nullptr ? env : "";
    }
    if (const int status = readPassword(o, config_.password)) {
        return status;
    }
    if (!config_.password.empty() && config_.user.empty()) {
        return usageError("%s: %s", "--mqtt",
                          "a password needs a user (VGLOG_MQTT_USER, or USER@ in the URL)");
    }
    for (const char* file : {o.mqttCa, o.mqttCert, o.mqttKey}) {
        if (file != nullptr && !std::ifstream(file, std::ios::binary)) {
            return usageError("%s: %s", file, "cannot be read");
        }
    }
    config_.ca = o.mqttCa != nullptr ? o.mqttCa : "";
    config_.cert = o.mqttCert != nullptr ? o.mqttCert : "";
    config_.key = o.mqttKey != nullptr ? o.mqttKey : "";
    config_.qos = o.mqttQos;
    config_.keepaliveS = kDefaultKeepaliveS;
    // Test hooks: a short keepalive shows a lost logger sooner; a short queue fills sooner.
    if (const char* env = std::getenv("VGLOG_MQTT_KEEPALIVE_S")) {
        config_.keepaliveS = std::atoi(env) >= 5 ? std::atoi(env) : kDefaultKeepaliveS;
    }
    if (const char* env = std::getenv("VGLOG_MQTT_QUEUE_SLOTS")) {
        const long slots = std::atol(env);
        config_.queueLimit = slots > 0 && static_cast<std::size_t>(slots) < broker::kQueueSlots
                                 ? static_cast<std::size_t>(slots)
                                 : broker::kQueueSlots;
    }
    return 0;
}

int MqttTap::start(App& app, const Options& o) {
    if (o.mqtt == nullptr) {
        return 0;
    }
    char device[platform::kPortNameSize];
    const std::string name =
        o.name != nullptr ? o.name : defaultName(sio::linkDeviceName(app.link, device));
    config_.topicRoot = config_.url.prefix + "/" + name + "/";
    config_.clientId = "vglog-" + name;
    const bool v6 = config_.url.host.find(':') != std::string::npos;
    target_ = std::string(config_.url.tls ? "mqtts://" : "mqtt://") + (v6 ? "[" : "") +
              config_.url.host + (v6 ? "]" : "") + ":" + std::to_string(config_.url.port) + "/" +
              config_.topicRoot;
    broker::StartError error = broker::StartError::None;
    int err = 0;
    int code = 0;
    client_ = broker::startClient(config_, error, err, code);
    if (!client_) {
        platform::consolePrint(ConsoleStream::Err, "vglog: --mqtt: %s (%d)\n",
                               error == broker::StartError::Files
                                   ? std::strerror(err)
                                   : "the MQTT library refused the settings",
                               error == broker::StartError::Files ? err : code);
        return 1;
    }
    run_ = &app.run;
    ring_ = &app.ring;
    times_ = o.times ? &app.times : nullptr;
    json_.reserve(8192);
    app.decoder.sampleTaps[2] = {tapSample, this};
    return 0;
}

void MqttTap::tapSample(void* context, const logging::AngleAccelRecord& record,
                        std::uint64_t line) {
    auto& t = *static_cast<MqttTap*>(context);
    broker::Sample s;
    s.record = record;
    s.line = line;
    if (t.times_ != nullptr) {
        s.wallUs = t.times_->lastRow.wallUs;  // the times file's own row: the same times
        s.boardUs = t.times_->lastRow.boardUs;
        s.hasBoard = true;
    } else {
        s.wallUs = t.wallStartUs_ + (t.ring_->takenUs - t.startUs_);
    }
    broker::pushSample(*t.client_, s);
    ++t.pushed_;
}

void MqttTap::started(const App&, std::uint64_t nowMs) {
    startUs_ = platform::monotonicUs();
    wallStartUs_ = platform::wallClockUs();
    nextStatusMs_ = nowMs;  // the first pass publishes it
}

void MqttTap::linkEvent(const App&, sio::LinkEvent e, std::uint64_t nowMs) {
    if (e != sio::LinkEvent::None) {
        nextStatusMs_ = nowMs;
    }
}

void MqttTap::pass(const App& app, const RunCounters& c, std::uint64_t nowMs) {
    if (!client_) {
        return;
    }
    if (pushed_ != kickedAt_) {  // first: the samples of this pass go out at once
        broker::kick(*client_);
        kickedAt_ = pushed_;
    }
    broker::Report report;
    if (broker::takeReport(*client_, report)) {
        sayChange(report);
        nextStatusMs_ = nowMs;  // the status says the new state too
    }
    const broker::Counts n = broker::counts(*client_);
    char field[96];
    if (report.state == broker::State::Starting) {
        std::snprintf(field, sizeof field, "mqtt connecting");
    } else if (n.dropped == 0) {
        std::snprintf(field, sizeof field, "mqtt %s", stateWord(report.state));
    } else {
        std::snprintf(field, sizeof field, "mqtt %s, %llu dropped", stateWord(report.state),
                      static_cast<unsigned long long>(n.dropped));
    }
    std::snprintf(run_->extraField.data(), run_->extraField.size(), "%s", field);
    if (nowMs < nextStatusMs_) {
        return;
    }
    nextStatusMs_ = nowMs + kStatusEveryMs;
    json_.clear();
    live::appendStatusJson(json_, viewStatus(app, c, nowMs, this), 0);
    json_ += ",\"state\":\"running\"}";
    broker::postStatus(*client_, json_);
}

std::int64_t MqttTap::msUntilDue(std::uint64_t nowMs) const {
    if (!client_) {
        return -1;
    }
    const std::int64_t status =
        nextStatusMs_ > nowMs ? static_cast<std::int64_t>(nextStatusMs_ - nowMs) : 0;
    return status < kReportEveryMs ? status : kReportEveryMs;
}

void MqttTap::finished(const App&, const RunSummary& summary) {
    if (!client_) {
        return;
    }
    std::string json = formatSummaryJson(summary);
    const std::size_t close = json.rfind('}');
    json.erase(close);
    json += ", \"state\": \"ended\"}";
    broker::finishClient(*client_, json, kFinishWaitMs);
    const broker::Report report = broker::currentReport(*client_);
    const broker::Counts n = broker::counts(*client_);
    const std::string reason = reasonText(report);
    platform::consolePrint(ConsoleStream::Err, "  mqtt: %s%s%s%s, %llu published, %llu dropped\n",
                           stateWord(report.state), reason.empty() ? "" : " (", reason.c_str(),
                           reason.empty() ? "" : ")", static_cast<unsigned long long>(n.published),
                           static_cast<unsigned long long>(n.dropped));
}

void MqttTap::fillSummary(RunSummary& summary) const {
    if (!client_) {
        return;
    }
    const broker::Report report = broker::currentReport(*client_);
    const broker::Counts n = broker::counts(*client_);
    summary.mqttState = stateWord(report.state);
    summary.mqttReason = reasonText(report);
    summary.mqttPublished = n.published;
    summary.mqttDropped = n.dropped;
}

void MqttTap::describe(live::Status& s) const {
    const broker::Report report = broker::currentReport(*client_);
    const broker::Counts n = broker::counts(*client_);
    std::snprintf(s.mqttState.data(), s.mqttState.size(), "%s",
                  report.state == broker::State::Starting ? "connecting" : stateWord(report.state));
    std::snprintf(s.mqttReason.data(), s.mqttReason.size(), "%s", reasonText(report).c_str());
    s.mqttPublished = n.published;
    s.mqttDropped = n.dropped;
}

std::string MqttTap::reasonText(const broker::Report& r) const {
    if (r.state != broker::State::Waiting) {
        return "";
    }
    switch (r.cause) {
        case broker::Cause::System:
            return std::strerror(r.err);
        case broker::Cause::NameNotFound:
            return "no such host: " + config_.url.host;
        case broker::Cause::Tls:
            return std::string("TLS handshake failed: ") +
                   (r.detail[0] != '\0' ? r.detail.data() : "no reason given");
        case broker::Cause::Refused:
            switch (r.code) {
                case 1:
                    return "the broker refused the protocol version";
                case 2:
                    return "the broker refused the client id " + config_.clientId;
                case 3:
                    return "the broker is unavailable";
                case 4:
                    return "the broker refused the user name or password";
                case 5:
                    return "the broker refused us: not authorised (check the user and password)";
                default:
                    return "the broker refused the connection (code " + std::to_string(r.code) +
                           ")";
            }
        case broker::Cause::Lost:
            return "connection lost";
        case broker::Cause::KeepAlive:
            return "the broker stopped answering";
        case broker::Cause::Protocol:
            return "protocol error";
        case broker::Cause::Other:
        case broker::Cause::None:
            break;
    }
    return r.detail[0] != '\0' ? r.detail.data() : "unknown error";
}

void MqttTap::sayChange(const broker::Report& report) {
    if (report.state == broker::State::Connected) {
        platform::consolePrint(ConsoleStream::Err, "mqtt: connected to %s\n", target_.c_str());
    } else if (report.state == broker::State::Waiting) {
        platform::consolePrint(ConsoleStream::Err,
                               "mqtt: waiting (%s); the logs go on, samples wait in a queue of "
                               "%llu and the connection is tried again\n",
                               reasonText(report).c_str(),
                               static_cast<unsigned long long>(config_.queueLimit));
    }
}

}  // namespace vg::app
