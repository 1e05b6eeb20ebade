#include "app/file_set.h"

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

// The times file's rows go one for one with the samples log's lines.
void tie(FileSet& set) {
    for (std::size_t slot = 0; slot < kSetFiles; ++slot) {
        setFile(set, slot).leader = setFile(set, slot).follower = nullptr;
    }
    logging::followLines(set.times.file, setFile(set, kSamplesFile));
}

}  // namespace

int openFileSet(FileSet& set, const SetPlan& plan, const std::tm& stamp, std::uint64_t nowMs) {
    set.stamp = stamp;
    if (logging::openLogsAndCaptureAt(set.logs, set.capture, plan.capture, plan.captureName, stamp,
                                      plan.dir) != 0) {
        return 1;
    }
    const bool companion = plan.times && plan.capture;
    if (plan.times &&
        (logging::openTimesFile(set.times, plan.dir, stamp) != 0 ||
         (companion && logging::openCaptureTimes(set.captureTimes, set.capture.file.name.data(),
                                                 plan.wallStartUs) != 0))) {
        discardFileSet(set);
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

void carryCapture(FileSet& from, FileSet& to) {
    to.capture = from.capture;
    to.captureTimes = from.captureTimes;
    from.capture.file.handle = platform::kNoFile;  // closed with its new set only
    from.captureTimes.file.handle = platform::kNoFile;
}

}  // namespace vg::app
