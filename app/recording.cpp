#include "app/recording.h"

#include <cstdlib>
#include <filesystem>

#include "app/app.h"
#include "app/retention.h"
#include "app/set_names.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

FileTally tallyOf(const logging::OutputFile& file) {
    return FileTally{file.heldBytes, file.heldLines, file.movedTo[0] != '\0', file.lost,
                     file.failed};
}

void addFile(std::vector<RunFile>& files, const std::string& path, const FileTally& t, bool text) {
    if (!path.empty()) {
        files.push_back(RunFile{path, "", t.bytes, text ? static_cast<std::int64_t>(t.lines) : -1,
                                t.moved, t.lost, t.failed});
    }
}

void addFile(std::vector<RunFile>& files, const logging::OutputFile& file) {
    if (file.name[0] != '\0') {
        addFile(files, file.name.data(), tallyOf(file), file.lines);
        files.back().movedTo = file.movedTo.data();
    }
}

// A closed set's file of that prefix, named as it was when it was created.
std::string nameOf(const char* prefix, const std::tm& stamp, const char* dir, unsigned take = 0) {
    char name[logging::kPathBytes];
    const std::string_view kind(prefix);
    const bool ok = kind == "raw" ? logging::formatRawCaptureName(name, sizeof name, stamp, take)
                    : kind == "times"
                        ? logging::formatTimesFileName(name, sizeof name, stamp, take)
                        : logging::formatLogFileName(name, sizeof name, prefix, stamp, take);
    return ok && logging::prependDir(name, sizeof name, dir) ? name : "";
}

struct NameCheck {
    const Recording& rec;
    const std::tm& stamp;
};

// Whether any file of the set of that stamp and take would take a name already there.
bool setNamesTaken(void* context, unsigned take) {
    const auto& check = *static_cast<const NameCheck*>(context);
    const Recording& rec = check.rec;
    const std::string names[] = {
        nameOf("anglesAndAccels", check.stamp, rec.dir, take),
        nameOf("misc", check.stamp, rec.dir, take),
        rec.rotateCapture ? nameOf("raw", check.stamp, rec.dir, take) : "",
        rec.times ? nameOf("times", check.stamp, rec.dir, take) : "",
        rec.times && rec.rotateCapture
            ? nameOf("raw", check.stamp, rec.dir, take) + logging::kCaptureTimesSuffix
            : ""};
    for (const std::string& name : names) {
        if (!name.empty() && platform::nameTaken(name.c_str())) {
            return true;
        }
    }
    return false;
}

// The next set's stamp: the local time it was due, lateMs ago, to the nearest second (a pass a
// little late or early names the set by its boundary), and the take that makes its names free.
// When the clock went back, that time's names may be this run's own: the set then takes a
// suffix rather than end the run. False when no name can be had.
bool nextSetName(const Recording& rec, std::uint64_t lateMs, std::tm& stamp, unsigned& take) {
    const std::uint64_t wallMs =
        static_cast<std::uint64_t>(platform::wallClockUs()) / 1000 - lateMs;
    if (!platform::toLocalTime(static_cast<std::time_t>((wallMs + 500) / 1000), stamp)) {
        return false;
    }
    NameCheck check{rec, stamp};
    take = chooseTake(setNamesTaken, &check);
    if (take == kNoTake) {
        return false;
    }
    if (take != 0) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: the names of the next set of files are taken (has the "
                               "clock gone back?); its names end in -%u\n",
                               take);
    }
    return true;
}

}  // namespace

std::uint64_t rotateMinimumMs() {
    const char* env = std::getenv("VGLOG_ROTATE_MIN_S");
    if (env != nullptr && env[0] != '\0') {
        char* end = nullptr;
        const unsigned long long s = std::strtoull(env, &end, 10);
        if (*end == '\0') {
            return s * 1000;
        }
    }
    return kRotateMinMs;
}

std::uint64_t localMsOfDay() {
    const std::uint64_t wallMs = static_cast<std::uint64_t>(platform::wallClockUs()) / 1000;
    std::tm local{};
    if (!platform::toLocalTime(static_cast<std::time_t>(wallMs / 1000), local)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(local.tm_hour) * 3600 +
            static_cast<std::uint64_t>(local.tm_min) * 60 +
            static_cast<std::uint64_t>(local.tm_sec)) *
               1000 +
           wallMs % 1000;
}

void startRecording(Recording& rec, const Options& options, std::uint64_t startMs,
                    std::uint64_t msOfDay) {
    rec.dir = options.dir;
    rec.rotateCapture = options.raw && options.rawFile == nullptr;
    rec.times = options.times;
    rec.durationMs = options.durationMs;
    rec.sampleLimit = options.sampleLimit;
    rec.rotateMs = options.rotateMs;
    rec.startMs = startMs;
    rec.keepSets = options.keepSets;
    rec.nextRotateMs =
        options.rotateMs != 0 ? startMs + msToSetBoundary(msOfDay, options.rotateMs) : 0;
    if (options.rotateMs != 0) {
        // A bounded run needs no more sets than its duration makes.
        std::size_t sets = kMaxListedSets;
        if (options.durationMs != 0 && options.durationMs / options.rotateMs + 1 < sets) {
            sets = static_cast<std::size_t>(options.durationMs / options.rotateMs + 1);
        }
        rec.closedSets.reserve(sets);
    }
}

bool sampleLimitReached(const App& app) {
    return app.recording.sampleLimit != 0 &&
           app.decoder.counts.angleAccel >= app.recording.sampleLimit;
}

bool durationReached(const Recording& rec, std::uint64_t nowMs) {
    return rec.durationMs != 0 && nowMs - rec.startMs >= rec.durationMs;
}

std::int64_t msUntilRecordingDue(const Recording& rec, std::uint64_t nowMs) {
    std::int64_t due = -1;
    auto consider = [&](std::uint64_t at) {
        const std::int64_t ms = at > nowMs ? static_cast<std::int64_t>(at - nowMs) : 0;
        due = due < 0 || ms < due ? ms : due;
    };
    if (rec.durationMs != 0) {
        consider(rec.startMs + rec.durationMs);
    }
    if (rec.rotateMs != 0) {
        consider(rec.nextRotateMs);
    }
    return due;
}

int rotateIfDue(App& app, std::uint64_t nowMs) {
    Recording& rec = app.recording;
    if (rec.rotateMs == 0 || nowMs < rec.nextRotateMs) {
        return 0;
    }
    const std::uint64_t dueMs = rec.nextRotateMs;
    // The next one is due a whole period after this one was, however late this pass came.
    while (rec.nextRotateMs <= nowMs) {
        rec.nextRotateMs += rec.rotateMs;
    }
    std::tm stamp{};
    unsigned take = 0;
    // Kept beside the current set, not on the stack: each file has its buffer in it.
    logging::LogFiles& nextLogs = app.nextLogs;
    logging::RawCapture& nextCapture = app.nextCapture;
    // The new set is made before the old one is closed: lines always have a file to go to.
    if (!nextSetName(rec, nowMs - dueMs, stamp, take) ||
        logging::openLogsAndCaptureAt(nextLogs, nextCapture, rec.rotateCapture, nullptr, stamp,
                                      rec.dir, take) != 0) {
        platform::consoleWrite(platform::ConsoleStream::Err,
                               "vglog: cannot start the next set of files; ending the run\n");
        return 1;
    }
    // The times go with their set: a times file per samples log, the capture's times per capture.
    const bool companion = rec.times && rec.rotateCapture;
    if (rec.times &&
        (logging::openTimesFile(app.nextTimes, rec.dir, stamp, take) != 0 ||
         (companion && logging::openCaptureTimes(app.nextCaptureTimes, nextCapture.file.name.data(),
                                                 app.times.wallStartUs) != 0))) {
        logging::discardOutputFile(app.nextTimes.file);
        for (auto& file : nextLogs.files) {
            logging::discardOutputFile(file);
        }
        logging::discardRawCapture(nextCapture);
        nextLogs = logging::LogFiles{};
        nextCapture = logging::RawCapture{};
        platform::consoleWrite(platform::ConsoleStream::Err,
                               "vglog: cannot start the next set of files; ending the run\n");
        return 1;
    }
    if (rec.times && logging::closeOutputFile(app.times.file.file) != 0) {
        rec.closeFailed = true;
    }
    if (companion && logging::closeOutputFile(app.times.companion.file) != 0) {
        rec.closeFailed = true;
    }
    if (logging::closeLogFiles(app.logs) != 0) {
        rec.closeFailed = true;
    }
    if (rec.rotateCapture && logging::closeRawCapture(app.capture) != 0) {
        rec.closeFailed = true;
    }
    rec.earlierSamples += logging::samplesHeld(app.logs);
    if (rec.closedSets.size() < rec.closedSets.capacity()) {
        rec.closedSets.push_back(
            ClosedSet{rec.currentStamp,
                      rec.currentTake,
                      logging::samplesHeld(app.logs),
                      {tallyOf(app.logs.files[logging::kSamplesLog]),
                       tallyOf(app.logs.files[logging::kMiscLog]), tallyOf(app.capture.file),
                       tallyOf(app.times.file.file), tallyOf(app.times.companion.file)}});
    } else {
        ++rec.unlistedSets;
    }
    app.logs = nextLogs;
    nextLogs = logging::LogFiles{};
    if (rec.rotateCapture) {
        app.capture = nextCapture;  // the link's sink points at app.capture, so it follows
        nextCapture = logging::RawCapture{};
    }
    if (rec.times) {
        // Line numbers start again at 1 with the new samples log; the row texts start afresh.
        app.times.file = app.nextTimes;
        app.nextTimes = logging::TimesFile{};
        app.times.rowCache = logging::TimesRowCache{};
        if (companion) {
            app.times.companion = app.nextCaptureTimes;
            app.nextCaptureTimes = logging::CaptureTimes{};
        }
    }
    rec.currentStamp = stamp;
    rec.currentTake = take;
    platform::consolePrint(platform::ConsoleStream::Err, "logging into %s and %s\n",
                           logging::logName(app.logs, logging::kSamplesLog),
                           logging::logName(app.logs, logging::kMiscLog));
    if (rec.keepSets != 0) {
        rec.deletedSets += pruneSets(rec.dir, setKeyOf(stamp, take), rec.keepSets);
    }
    // A set whose last lines did not reach it ends the run now, however short the rotation:
    // the flush that would have found it may never come before the next rotation.
    return rec.closeFailed ? 1 : 0;
}

std::vector<RunFile> runFiles(const App& app) {
    const Recording& rec = app.recording;
    std::vector<RunFile> files;
    for (const ClosedSet& set : rec.closedSets) {
        addFile(files, nameOf("anglesAndAccels", set.stamp, rec.dir, set.take), set.files[0], true);
        addFile(files, nameOf("misc", set.stamp, rec.dir, set.take), set.files[1], true);
        if (rec.rotateCapture) {
            addFile(files, nameOf("raw", set.stamp, rec.dir, set.take), set.files[2], false);
        }
        if (rec.times) {
            addFile(files, nameOf("times", set.stamp, rec.dir, set.take), set.files[3], true);
            if (rec.rotateCapture) {
                addFile(files,
                        nameOf("raw", set.stamp, rec.dir, set.take) + logging::kCaptureTimesSuffix,
                        set.files[4], true);
            }
        }
    }
    // The set open last (the only one without --rotate).
    addFile(files, app.logs.files[logging::kSamplesLog]);
    addFile(files, app.logs.files[logging::kMiscLog]);
    addFile(files, app.capture.file);
    addFile(files, app.times.file.file);
    addFile(files, app.times.companion.file);
    return files;
}

std::uint64_t samplesLogged(const App& app) {
    return app.recording.earlierSamples + logging::samplesHeld(app.logs);
}

}  // namespace vg::app
