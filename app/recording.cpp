#include "app/recording.h"

#include <cstdlib>
#include <filesystem>

#include "app/app.h"
#include "platform/clock.h"
#include "platform/console.h"

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
std::string nameOf(const char* prefix, const std::tm& stamp, const char* dir) {
    char name[logging::kPathBytes];
    const std::string_view kind(prefix);
    const bool ok = kind == "raw" ? logging::formatRawCaptureName(name, sizeof name, stamp)
                    : kind == "times"
                        ? logging::formatTimesFileName(name, sizeof name, stamp)
                        : logging::formatLogFileName(name, sizeof name, prefix, stamp);
    return ok && logging::prependDir(name, sizeof name, dir) ? name : "";
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

void startRecording(Recording& rec, const Options& options, std::uint64_t startMs) {
    rec.dir = options.dir;
    rec.rotateCapture = options.raw && options.rawFile == nullptr;
    rec.times = options.times;
    rec.durationMs = options.durationMs;
    rec.sampleLimit = options.sampleLimit;
    rec.rotateMs = options.rotateMs;
    rec.startMs = startMs;
    rec.nextRotateMs = options.rotateMs != 0 ? startMs + options.rotateMs : 0;
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
    // The next one is due a whole period after this one was, however late this pass came.
    while (rec.nextRotateMs <= nowMs) {
        rec.nextRotateMs += rec.rotateMs;
    }
    std::tm stamp{};
    // Kept beside the current set, not on the stack: each file has its buffer in it.
    logging::LogFiles& nextLogs = app.nextLogs;
    logging::RawCapture& nextCapture = app.nextCapture;
    // The new set is made before the old one is closed: lines always have a file to go to.
    if (!platform::toLocalTime(std::time(nullptr), stamp) ||
        logging::openLogsAndCaptureAt(nextLogs, nextCapture, rec.rotateCapture, nullptr, stamp,
                                      rec.dir) != 0) {
        platform::consoleWrite(platform::ConsoleStream::Err,
                               "vglog: cannot start the next set of files; ending the run\n");
        return 1;
    }
    // The times go with their set: a times file per samples log, the capture's times per capture.
    const bool companion = rec.times && rec.rotateCapture;
    if (rec.times &&
        (logging::openTimesFile(app.nextTimes, rec.dir, stamp) != 0 ||
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
    platform::consolePrint(platform::ConsoleStream::Err, "logging into %s and %s\n",
                           logging::logName(app.logs, logging::kSamplesLog),
                           logging::logName(app.logs, logging::kMiscLog));
    return 0;
}

std::vector<RunFile> runFiles(const App& app) {
    const Recording& rec = app.recording;
    std::vector<RunFile> files;
    for (const ClosedSet& set : rec.closedSets) {
        addFile(files, nameOf("anglesAndAccels", set.stamp, rec.dir), set.files[0], true);
        addFile(files, nameOf("misc", set.stamp, rec.dir), set.files[1], true);
        if (rec.rotateCapture) {
            addFile(files, nameOf("raw", set.stamp, rec.dir), set.files[2], false);
        }
        if (rec.times) {
            addFile(files, nameOf("times", set.stamp, rec.dir), set.files[3], true);
            if (rec.rotateCapture) {
                addFile(files, nameOf("raw", set.stamp, rec.dir) + logging::kCaptureTimesSuffix,
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
