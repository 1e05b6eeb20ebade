#include "app/file_set.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace vg::app {

logging::OutputFile& setFile(FileSet& set, std::size_t slot) {
    switch (slot) {
        case kSamplesFile:
            return set.logs.files[logging::kSamplesLog];
        case kMiscFile:
            return set.logs.files[logging::kMiscLog];
        case kCaptureFile:
            return set.capture.file;
        case kTimesFile:
            return set.times.file;
        default:
            return set.captureTimes.file;
    }
}

const logging::OutputFile& setFile(const FileSet& set, std::size_t slot) {
    return setFile(const_cast<FileSet&>(set), slot);
}

const char* setFileName(const FileSet& set, std::size_t slot) {
    return setFile(set, slot).name.data();
}

namespace {

// The one line the operator gets besides "Error opening log file(s)": which file, and why (it
// exists, the folder is read-only or gone, the name is too long, ...).
void sayCreateFailure(const logging::CreateFailure& failure) {
    if (failure.err == 0) {
        return;  // nothing known (a stamp out of range)
    }
    static char name[4 * logging::kPathBytes];
    logging::escapeName(name, sizeof name, failure.name.data());
    static char text[4 * logging::kPathBytes + 256];
    const int n =
        std::snprintf(text, sizeof text, "Error creating %s %s%s: %s\r\n", failure.what,
                      failure.inFolder ? "in " : "", name,
                      failure.err == ENAMETOOLONG ? "name too long" : std::strerror(failure.err));
    if (n > 0) {
        platform::consoleWrite(platform::ConsoleStream::Err, text,
                               static_cast<std::size_t>(n) < sizeof text
                                   ? static_cast<std::size_t>(n)
                                   : sizeof text - 1);
    }
}

// The times file's rows go one for one with the samples log's lines.
void tie(FileSet& set) {
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        setFile(set, slot).leader = setFile(set, slot).follower = nullptr;
    }
    logging::followLines(set.times.file, setFile(set, kSamplesFile));
}

}  // namespace

int openFileSet(FileSet& set, const SetPlan& plan, const std::tm& stamp, std::uint64_t nowMs,
                unsigned take) {
    set.stamp = stamp;
    set.take = take;
    static logging::CreateFailure failure;  // beside the set, not on the stack
    failure = logging::CreateFailure{};
    if (logging::openLogsAndCaptureAt(set.logs, set.capture, plan.capture, plan.captureName, stamp,
                                      plan.dir, &failure, take) != 0) {
        sayCreateFailure(failure);
        return 1;
    }
    const bool companion = plan.times && plan.capture;
    if (plan.times &&
        (logging::openTimesFile(set.times, plan.dir, stamp, &failure, take) != 0 ||
         (companion && logging::openCaptureTimes(set.captureTimes, set.capture.file.name.data(),
                                                 plan.wallStartUs, &failure) != 0))) {
        discardFileSet(set);
        sayCreateFailure(failure);
        return 1;
    }
    tie(set);
    set.logs.lastFlushMs = set.logs.lastCheckMs = nowMs;
    return 0;
}

void replaceFileSet(FileSet& current, const FileSet& next) {
    current = next;
    tie(current);
}

void flushFileSetIfDue(FileSet& set, std::uint64_t nowMs) {
    logging::flushLogsAndCaptureIfDue(set.logs, set.capture, nowMs,
                                      {&set.times.file, &set.captureTimes.file});
}

std::int64_t msUntilFileSetDue(const FileSet& set, std::uint64_t nowMs) {
    return logging::msUntilLogsOrCaptureDue(set.logs, set.capture, nowMs);
}

bool fileSetFailed(const FileSet& set) {
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        if (setFile(set, slot).failed) {
            return true;
        }
    }
    return false;
}

int closeFileSet(FileSet& set) {
    // Slot order: the samples log before its times, the capture before its times.
    int result = 0;
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        if (logging::closeOutputFile(setFile(set, slot)) != 0) {
            result = -1;
        }
    }
    set.logs.unflushed = false;
    set.capture.unflushed = false;
    return result;
}

void discardFileSet(FileSet& set) {
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        logging::discardOutputFile(setFile(set, slot));
    }
}

namespace {

// Whole paths (up to kPathBytes, escaped) are longer than consolePrint takes.
void sayNote(const logging::OutputFile& file, logging::FileNote what, int code) {
    static char name[4 * logging::kPathBytes];  // said from the loop's thread only
    static char text[4 * logging::kPathBytes + 512];
    logging::escapeName(name, sizeof name, file.name.data());
    const char* reason = std::strerror(code != 0 ? code : EIO);
    int n = 0;
    switch (what) {
        case logging::FileNote::WriteFailed:
            n = std::snprintf(text, sizeof text, "Error writing %s %s: %s\r\n", file.what, name,
                              reason);
            break;
        case logging::FileNote::CloseFailed:
            n = std::snprintf(text, sizeof text, "Error closing %s %s: %s\r\n", file.what, name,
                              reason);
            break;
        case logging::FileNote::PutBack:
            n = std::snprintf(text, sizeof text,
                              "%s %s was deleted during the run: put back with everything written "
                              "so far (%llu bytes); logging goes on into it\r\n",
                              file.what, name, static_cast<unsigned long long>(file.heldBytes));
            break;
        case logging::FileNote::Lost:
            n = std::snprintf(text, sizeof text,
                              "%s %s was deleted during the run and cannot be put back: %s\r\n",
                              file.what, name, reason);
            break;
        case logging::FileNote::None:
            break;
    }
    if (n > 0) {
        const auto len = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n)
                                                                   : sizeof text - 1;
        platform::consoleWrite(platform::ConsoleStream::Err, text, len);
    }
}

}  // namespace

void sayFileNotes(FileSet& set) {
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        logging::OutputFile& file = setFile(set, slot);
        int code = 0;
        for (logging::FileNote what = logging::takeFileNote(file, code);
             what != logging::FileNote::None; what = logging::takeFileNote(file, code)) {
            sayNote(file, what, code);
        }
    }
}

void carryCapture(FileSet& from, FileSet& to) {
    to.capture = from.capture;
    to.captureTimes = from.captureTimes;
    from.capture.file.handle = platform::kNoFile;  // closed with its new set only
    from.captureTimes.file.handle = platform::kNoFile;
}

}  // namespace vg::app
