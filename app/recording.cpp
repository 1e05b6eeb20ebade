#include "app/recording.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/app.h"
#include "app/run_status.h"
#include "common/common.h"
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
        std::uint64_t s = 0;
        std::size_t digits = 0;
        if (*common::readDecimal(env, s, digits) == '\0' && digits <= 9) {
            return s * 1000;
        }
    }
    return kRotateMinMs;
}

void startRecording(Recording& rec, const Options& options, std::uint64_t startMs) {
    const bool replay = options.action == Action::Replay;
    rec.plan.dir = options.dir;
    rec.plan.capture = options.raw && !replay;
    rec.plan.captureName = options.rawFile;
    rec.plan.times = options.times;
    rec.dir = options.dir;
    rec.rotateCapture = rec.plan.capture && options.rawFile == nullptr;
    rec.times = options.times;
    rec.durationMs = options.durationMs;
    rec.sampleLimit = options.sampleLimit;
    rec.rotateMs = options.rotateMs;
    restartRecordingClock(rec, startMs);
    if (options.rotateMs != 0) {
        // A bounded run needs no more sets than its duration makes.
        std::size_t sets = kMaxListedSets;
        if (options.durationMs != 0 && options.durationMs / options.rotateMs + 1 < sets) {
            sets = static_cast<std::size_t>(options.durationMs / options.rotateMs + 1);
        }
        rec.closedSets.reserve(sets);
    }
}

void restartRecordingClock(Recording& rec, std::uint64_t startMs) {
    rec.startMs = startMs;
    rec.nextRotateMs = rec.rotateMs != 0 ? startMs + rec.rotateMs : 0;
}

bool sampleLimitReached(const App& app) {
    return app.recording.sampleLimit != 0 &&
           app.decoder.counts.angleAccel >= app.recording.sampleLimit;
}

bool durationReached(const Recording& rec, std::uint64_t nowMs) {
    return rec.durationMs != 0 && nowMs - rec.startMs >= rec.durationMs;
}

std::int64_t msUntilRecordingDue(const Recording& rec, std::uint64_t nowMs) {
    auto until = [nowMs](bool set, std::uint64_t at) -> std::int64_t {
        return !set ? -1 : at > nowMs ? static_cast<std::int64_t>(at - nowMs) : 0;
    };
    return common::earliestDue({until(rec.durationMs != 0, rec.startMs + rec.durationMs),
                                until(rec.rotateMs != 0, rec.nextRotateMs)});
}

Rotation rotateIfDue(App& app, std::uint64_t nowMs, std::time_t wallNow) {
    Recording& rec = app.recording;
    if (rec.rotateMs == 0 || nowMs < rec.nextRotateMs) {
        return Rotation::None;
    }
    // The next one is due a whole period after this one was, however late this pass came.
    while (rec.nextRotateMs <= nowMs) {
        rec.nextRotateMs += rec.rotateMs;
    }
    // The new set is made before the old one is closed: lines always have a file to go to. Its
    // buffers exist only while it is being opened; then it takes the current set's place.
    std::tm stamp{};
    const auto next = std::make_unique<FileSet>();
    SetPlan plan = rec.plan;
    plan.capture = rec.rotateCapture;  // a named capture goes on across the sets
    plan.wallStartUs = app.times.wallStartUs;
    if (!platform::toLocalTime(wallNow, stamp) || openFileSet(*next, plan, stamp, nowMs) != 0) {
        platform::consoleWrite(platform::ConsoleStream::Err,
                               "vglog: cannot start the next set of files; ending the run\n");
        return Rotation::Failed;
    }
    FileSet& current = app.files;
    if (!rec.rotateCapture) {
        carryCapture(current, *next);
    }
    sayFileNotes(current);  // what the pass before left unsaid
    if (closeFileSet(current) != 0) {
        rec.closeFailed = true;
    }
    sayFileNotes(current);
    const std::uint64_t held = logging::samplesHeld(current.logs);
    rec.earlierSamples += held;
    if (rec.closedSets.size() < rec.closedSets.capacity()) {
        ClosedSet closed{current.stamp, held, {}};
        for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
            closed.files[slot] = tallyOf(setFile(current, slot));
        }
        rec.closedSets.push_back(closed);
    } else {
        ++rec.unlistedSets;
    }
    replaceFileSet(current, *next);
    hookFileSet(app);
    // Line numbers start again at 1 with the new samples log; the row texts start afresh.
    app.times.rowCache = logging::TimesRowCache{};
    static char line[kSetFiles * logging::kPathBytes + 64];  // beside the set, not on the stack
    std::memcpy(line, "logging into ", 13);
    std::size_t n = 13;
    n += formatSetFiles(line + n, sizeof line - n - 1, current);
    line[n++] = '\n';
    platform::consoleWrite(platform::ConsoleStream::Err, line, n);
    return Rotation::Done;
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
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        addFile(files, setFile(app.files, slot));
    }
    return files;
}

std::uint64_t samplesLogged(const App& app) {
    return app.recording.earlierSamples + logging::samplesHeld(app.files.logs);
}

}  // namespace vg::app
