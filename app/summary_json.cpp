#include "app/summary_json.h"

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

void addString(std::string& out, const std::string& text) {
    common::appendJsonString(out, text);
}

void addTime(std::string& out, std::time_t t) {
    char text[20];
    if (!common::formatUtcSeconds(text, t)) {
        out += "null";
        return;
    }
    out += '"';
    out += text;
    out += "Z\"";
}

void addField(std::string& out, const char* key, std::uint64_t value) {
    out += ", \"";
    out += key;
    out += "\": ";
    out += std::to_string(value);
}

// Seconds with the milliseconds: the stderr summary shows the whole seconds of the same value.
void addSeconds(std::string& out, const char* key, std::uint64_t ms) {
    char text[48];
    std::snprintf(text, sizeof text, ", \"%s\": %llu.%03u", key,
                  static_cast<unsigned long long>(ms / 1000), static_cast<unsigned>(ms % 1000));
    out += text;
}

void failSummary(const SummaryJsonFile& out, const char* what, int err) {
    platform::consolePrint(platform::ConsoleStream::Err, "vglog: cannot %s summary %s: %s\n", what,
                           out.tmpPath.c_str(), std::strerror(err != 0 ? err : EIO));
}

}  // namespace

std::string formatSummaryJson(const RunSummary& s) {
    std::string out = "{\"version\": ";
    addString(out, VGLOG_RELEASE);
    out += ", \"device\": ";
    if (s.device.empty()) {
        out += "null";
    } else {
        addString(out, s.device);
    }
    out += ", \"started_utc\": ";
    addTime(out, s.startedUtc);
    out += ", \"ended_utc\": ";
    addTime(out, s.endedUtc);
    addSeconds(out, "duration_s", s.durationMs);
    out += ", \"exit_status\": " + std::to_string(s.exitStatus);
    addField(out, "samples", s.samplesLogged);
    addField(out, "quaternion", s.counters.packets.quaternion);
    addField(out, "vector", s.counters.packets.vector);
    addField(out, "other", s.counters.packets.other);
    addField(out, "noise_bytes", s.counters.noiseBytes);
    addField(out, "ring_drops", s.counters.ringDrops);
    addField(out, "cut_packets", s.counters.cutPackets);
    addField(out, "link_losses", s.counters.linkLosses);
    addSeconds(out, "lost_s", s.counters.msLost);
    if (!s.mqttState.empty()) {
        out += ", \"mqtt\": {\"state\": ";
        addString(out, s.mqttState);
        out += ", \"reason\": ";
        if (s.mqttReason.empty()) {
            out += "null";
        } else {
            addString(out, s.mqttReason);
        }
        addField(out, "published", s.mqttPublished);
        addField(out, "dropped", s.mqttDropped);
        out += "}";
    }
    out += ", \"files\": [";
    for (std::size_t i = 0; i < s.files.size(); ++i) {
        const RunFile& f = s.files[i];
        out += i == 0 ? "{\"path\": " : ", {\"path\": ";
        addString(out, f.path);
        out += ", \"bytes\": " + std::to_string(f.bytes);
        out += ", \"lines\": " + (f.lines < 0 ? std::string("null") : std::to_string(f.lines));
        out += "}";
    }
    out += "]}\n";
    return out;
}

int openSummaryJson(SummaryJsonFile& out, const char* path) {
    out.path = path;
    out.tmpPath = std::string(path) + ".tmp";
    errno = 0;
    // A .tmp left by a run that was killed is ours to reuse.
    out.tmp = std::fopen(out.tmpPath.c_str(), "wb");
    if (out.tmp == nullptr) {
        failSummary(out, "create", errno);
        return 1;
    }
    return 0;
}

int writeSummaryJson(SummaryJsonFile& out, const RunSummary& summary) {
    if (out.tmp == nullptr) {
        return 1;
    }
    const std::string text = formatSummaryJson(summary);
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), out.tmp) == text.size();
    int err = errno;
    errno = 0;
    if (std::fclose(out.tmp) != 0) {
        err = ok ? errno : err;  // the first failure tells why
        ok = false;
    }
    out.tmp = nullptr;
    if (!ok) {
        failSummary(out, "write", err);
        std::remove(out.tmpPath.c_str());
        return 1;
    }
    if (const int renameErr = platform::replaceFile(out.tmpPath.c_str(), out.path)) {
        failSummary(out, "rename", renameErr);
        std::remove(out.tmpPath.c_str());
        return 1;
    }
    return 0;
}

}  // namespace vg::app
