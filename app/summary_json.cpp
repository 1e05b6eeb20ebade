#include "app/summary_json.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "app/set_names.h"
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

void failSummary(const std::string& path, const char* what, int err) {
    platform::consolePrint(platform::ConsoleStream::Err, "vglog: cannot %s summary %s: %s\n", what,
                           path.c_str(), std::strerror(err != 0 ? err : EIO));
}

// Room kept in each file at least, and past the last record's length: a record grows by a few
// hundred bytes a set of files, so this covers many sets between two writes.
constexpr std::uint64_t kReserveBytes = 64 * 1024;

std::uint64_t roomFor(std::size_t length) {
    return kReserveBytes + 2 * static_cast<std::uint64_t>(length);
}

void closeHandle(platform::FileHandle& file) {
    if (file != platform::kNoFile) {
        int ignored = 0;
        platform::closeFile(file, ignored);
        file = platform::kNoFile;
    }
}

// A new file of ours under tmpPath, with room set aside. A .tmp left by a run that was killed is
// removed first: removing never follows a link, and the create is exclusive, so whatever
// appears under the name meanwhile is never written through.
int makeSpare(SummaryJsonFile& out) {
    int err = 0;
    out.spare = platform::createNewFile(out.tmpPath.c_str(), err);
    if (out.spare == platform::kNoFile && err == EEXIST) {
        platform::removeFile(out.tmpPath.c_str());
        out.spare = platform::createNewFile(out.tmpPath.c_str(), err);
    }
    if (out.spare == platform::kNoFile) {
        return err;
    }
    out.spareLength = 0;
    if (!platform::reserveFileSpace(out.spare, out.reserved, err)) {
        closeHandle(out.spare);
        platform::removeFile(out.tmpPath.c_str());
        return err;
    }
    return 0;
}

// The record into the spare: a final one exactly, a running one padded with blanks (before its
// line end) to the spare's length, so the file never shrinks and keeps the room set aside.
int fill(SummaryJsonFile& out, std::string text, bool exact) {
    if (!exact && text.size() < out.spareLength) {
        text.insert(text.size() - 1, out.spareLength - text.size(), ' ');
    }
    int err = 0;
    if (!platform::rewriteFile(out.spare, text.data(), text.size(), err) ||
        (exact && text.size() < out.spareLength &&
         !platform::truncateFile(out.spare, text.size(), err))) {
        return err != 0 ? err : EIO;
    }
    out.spareLength = exact || text.size() > out.spareLength ? text.size() : out.spareLength;
    return 0;
}

// The spare becomes the file under path. 0, or an errno value.
int publish(SummaryJsonFile& out) {
    if (out.swaps && out.open) {
        const int err = platform::exchangeFiles(out.tmpPath.c_str(), out.path.c_str());
        if (err == 0) {
            std::swap(out.shown, out.spare);
            std::swap(out.shownLength, out.spareLength);
            return 0;
        }
        // ENOENT: FILE was deleted under us, and the rename below puts a record back.
        if (err != ENOENT) {
            if (err != ENOSYS && err != EINVAL && err != ENOTSUP) {
                return err;
            }
            out.swaps = false;
        }
    }
    // A rename: the file under path goes, so the next record needs a new spare. The one renamed
    // stays open where the system allows, with its room: the final record can go into it in
    // place when no new spare can be had.
    int err = platform::replaceFile(out.tmpPath.c_str(), out.path.c_str());
    if (err != 0 && out.spare != platform::kNoFile) {
        closeHandle(out.spare);  // some systems rename no file that is held open
        err = platform::replaceFile(out.tmpPath.c_str(), out.path.c_str());
    }
    if (err != 0) {
        closeHandle(out.spare);
        platform::removeFile(out.tmpPath.c_str());
        return err;
    }
    closeHandle(out.shown);
    out.shown = out.spare;
    out.shownLength = out.spareLength;
    out.spare = platform::kNoFile;
    out.open = true;
    return 0;
}

// Writes one record; exact for the final one.
int show(SummaryJsonFile& out, const RunSummary& summary, bool exact) {
    const std::string text = formatSummaryJson(summary);
    if (out.spare == platform::kNoFile) {
        out.reserved = std::max(out.reserved, roomFor(text.size()));
        if (const int err = makeSpare(out)) {
            return err;
        }
    }
    if (const int err = fill(out, text, exact)) {
        return err;
    }
    if (const int err = publish(out)) {
        return err;
    }
    // Room for the next record, in both files, while there is room to take.
    const std::uint64_t want = roomFor(text.size());
    if (!exact && want > out.reserved) {
        int err = 0;
        for (const platform::FileHandle file : {out.shown, out.spare}) {
            if (file != platform::kNoFile && !platform::reserveFileSpace(file, want, err)) {
                return 0;  // the record is shown; the room stays what it was
            }
        }
        out.reserved = want;
    }
    return 0;
}

}  // namespace

std::string formatSummaryJson(const RunSummary& s) {
    std::string out = "{\"version\": ";
    addString(out, VGLOG_RELEASE);
    out += s.running ? ", \"state\": \"running\"" : ", \"state\": \"ended\"";
    out += ", \"device\": ";
    if (s.device.empty()) {
        out += "null";
    } else {
        addString(out, s.device);
    }
    out += ", \"started_utc\": ";
    addTime(out, s.startedUtc);
    out += ", \"ended_utc\": ";
    if (s.running) {
        out += "null";
    } else {
        addTime(out, s.endedUtc);
    }
    addSeconds(out, "duration_s", s.durationMs);
    out += ", \"exit_status\": " + (s.running ? std::string("null") : std::to_string(s.exitStatus));
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
    addField(out, "deleted_sets", s.deletedSets);
    if (s.running) {
        out += ", \"updated_utc\": ";
        addTime(out, s.updatedUtc);
        out += s.linkUp ? ", \"link\": \"up\", \"link_reason\": null"
                        : ", \"link\": \"lost\", \"link_reason\": ";
        if (!s.linkUp) {
            addString(out, s.linkReason);
        }
        char rate[48];
        std::snprintf(rate, sizeof rate, ", \"samples_per_s\": %.1f", s.samplesPerSecond);
        out += rate;
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

int openSummaryJson(SummaryJsonFile& out, const char* path, const RunSummary& first) {
    out = SummaryJsonFile{};
    out.path = path;
    out.tmpPath = out.path + ".tmp";
    std::error_code ec;
    if (std::filesystem::is_directory(pathOfUtf8(out.path.c_str()), ec)) {
        failSummary(out.path, "write", EISDIR);
        return 1;
    }
    // The first record, renamed over an earlier run's file.
    int err = show(out, first, !first.running);
    if (err == 0) {
        // The room for the next record, the final one above all, is taken now or never.
        err = first.running ? makeSpare(out) : 0;
        if (err == 0) {
            return 0;
        }
    }
    failSummary(out.open ? out.tmpPath : out.path, "create", err);
    // Nothing of an earlier run stays to be taken for this one's.
    closeHandle(out.spare);
    closeHandle(out.shown);
    platform::removeFile(out.tmpPath.c_str());
    platform::removeFile(out.path.c_str());
    out.open = false;
    return 1;
}

int refreshSummaryJson(SummaryJsonFile& out, const RunSummary& summary) {
    return out.open ? show(out, summary, false) : EBADF;
}

int writeSummaryJson(SummaryJsonFile& out, const RunSummary& summary) {
    if (!out.open) {
        return 1;
    }
    int err = 0;
    if (out.spare == platform::kNoFile && out.shown != platform::kNoFile) {
        // No spare to swap in (the disk took none): the file shown holds room for this record.
        std::swap(out.shown, out.spare);
        std::swap(out.shownLength, out.spareLength);
        err = fill(out, formatSummaryJson(summary), true);
    } else {
        err = show(out, summary, true);
        if (err == 0 && out.swaps) {
            platform::removeFile(out.tmpPath.c_str());  // the last running record
        }
    }
    closeHandle(out.spare);
    closeHandle(out.shown);
    out.open = false;
    if (err != 0) {
        failSummary(out.path, "write", err);
        return 1;
    }
    return 0;
}

}  // namespace vg::app
