#include "logging/output_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vg::logging {

namespace {

void note(OutputFile& file, FileNote what, int code) {
    if (file.noteCount < kMaxFileNotes) {
        file.notes[file.noteCount] = what;
        file.noteCodes[file.noteCount] = code;
        ++file.noteCount;
    }
}

std::uint64_t countLineEnds(const char* p, std::size_t len) {
    std::uint64_t n = 0;
    const char* end = p + len;
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (nl == nullptr) {
            break;
        }
        ++n;
        p = static_cast<const char*>(nl) + 1;
    }
    return n;
}

// Offset just past the last line end in p[0, len), or 0 when there is none.
std::size_t pastLastLineEnd(const char* p, std::size_t len) {
    while (len > 0 && p[len - 1] != '\n') {
        --len;
    }
    return len;
}

// Closes the failure latch: the file keeps what reached it, cut back to whole lines for text.
void fail(OutputFile& file, std::size_t written, const char* chunk, int err) {
    if (file.lines) {
        const std::size_t whole = pastLastLineEnd(chunk, written);
        if (whole > 0) {
            file.heldLines += countLineEnds(chunk, whole);
            file.heldBytes += whole;
            file.heldLineEnd = file.heldBytes;
        }
        file.heldBytes = file.heldLineEnd;
    } else {
        file.heldBytes += written;
    }
    int cutErr = 0;
    platform::truncateFile(file.handle, file.heldBytes, cutErr);
    file.failed = true;
    file.used = 0;
    note(file, FileNote::WriteFailed, err != 0 ? err : EIO);
}

bool writeChunk(OutputFile& file, const char* chunk, std::size_t len) {
    std::size_t written = 0;
    int err = 0;
    if (!platform::writeFile(file.handle, chunk, len, written, err)) {
        fail(file, written, chunk, err);
        return false;
    }
    if (file.lines) {
        file.heldLines += countLineEnds(chunk, len);
        const std::size_t whole = pastLastLineEnd(chunk, len);
        if (whole > 0) {
            file.heldLineEnd = file.heldBytes + whole;
        }
    }
    file.heldBytes += len;
    return true;
}

}  // namespace

void escapeName(char* out, std::size_t size, const char* text) {
    if (size == 0) {
        return;
    }
    std::size_t at = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        char piece[5] = {static_cast<char>(c), '\0'};
        if (c == '\n') {
            std::memcpy(piece, "\\n", 3);
        } else if (c == '\r') {
            std::memcpy(piece, "\\r", 3);
        } else if (c == '\t') {
            std::memcpy(piece, "\\t", 3);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(piece, sizeof piece, "\\x%02X", c);
        }
        const std::size_t len = std::strlen(piece);
        if (at + len >= size) {
            break;
        }
        std::memcpy(out + at, piece, len);
        at += len;
    }
    out[at] = '\0';
}

int createFailed(CreateFailure* failure, const char* what, const char* name, bool inFolder,
                 int err) {
    if (failure != nullptr) {
        failure->what = what;
        std::snprintf(failure->name.data(), failure->name.size(), "%s",
                      name != nullptr ? name : "");
        failure->inFolder = inFolder;
        failure->err = err != 0 ? err : EIO;
    }
    return 1;
}

FileNote takeFileNote(OutputFile& file, int& code) {
    if (file.noteCount == 0) {
        return FileNote::None;
    }
    const FileNote first = file.notes[0];
    code = file.noteCodes[0];
    for (std::size_t i = 1; i < file.noteCount; ++i) {
        file.notes[i - 1] = file.notes[i];
        file.noteCodes[i - 1] = file.noteCodes[i];
    }
    --file.noteCount;
    return first;
}

int createOutputFile(OutputFile& file, const char* name, const char* what, bool lines) {
    if (std::strlen(name) >= kPathBytes) {
        return ENAMETOOLONG;
    }
    int err = 0;
    const platform::FileHandle handle = platform::createNewFile(name, err);
    if (handle == platform::kNoFile) {
        return err != 0 ? err : EIO;
    }
    file.handle = handle;
    std::strcpy(file.name.data(), name);
    file.movedTo[0] = '\0';
    file.what = what;
    file.lines = lines;
    file.failed = false;
    file.lost = false;
    file.heldBytes = file.heldLines = file.heldLineEnd = 0;
    file.used = 0;
    file.leader = file.follower = nullptr;
    file.lastChunk = 0;
    file.lastChunkAt = file.linesBeforeChunk = 0;
    file.noteCount = 0;
    file.restoring = platform::kNoFile;
    file.restoredBytes = 0;
    return 0;
}

bool appendToFile(OutputFile& file, const char* data, std::size_t len) {
    if (file.handle == platform::kNoFile || file.failed) {
        return false;
    }
    if (len > file.buffer.size() - file.used && !flushOutputFile(file)) {
        return false;
    }
    if (file.used == 0 && len >= file.buffer.size()) {
        return writeChunk(file, data, len);
    }
    if (len > file.buffer.size() - file.used) {
        return false;  // a follower's rows wait for their lines: never the case while both write
    }
    std::memcpy(file.buffer.data() + file.used, data, len);
    file.used += len;
    return true;
}

namespace {

bool flushOwn(OutputFile& file) {
    if (file.handle == platform::kNoFile || file.failed) {
        return false;
    }
    if (file.used == 0) {
        return true;
    }
    const std::size_t len = file.used;
    file.used = 0;
    file.lastChunk = len;
    file.lastChunkAt = file.heldBytes;
    file.linesBeforeChunk = file.heldLines;
    return writeChunk(file, file.buffer.data(), len);
}

// Offset just past the n-th line end in p[0, len); len when there are fewer.
std::size_t pastLineEnds(const char* p, std::size_t len, std::uint64_t n) {
    std::size_t at = 0;
    for (; n > 0 && at < len; --n) {
        const void* nl = std::memchr(p + at, '\n', len - at);
        if (nl == nullptr) {
            return len;
        }
        at = static_cast<std::size_t>(static_cast<const char*>(nl) - p) + 1;
    }
    return at;
}

// Cuts the leader back to the lines its follower holds. The lines to take away came with the
// leader's last flush, whose bytes are still in its buffer; the leader is then closed to more.
void cutLeader(OutputFile& leader, std::uint64_t lines) {
    const std::uint64_t linesBefore = leader.linesBeforeChunk;
    if (lines >= leader.heldLines || lines < linesBefore || leader.handle == platform::kNoFile) {
        return;
    }
    const std::uint64_t length =
        leader.lastChunkAt +
        pastLineEnds(leader.buffer.data(), leader.lastChunk, lines - linesBefore);
    int err = 0;
    platform::truncateFile(leader.handle, length, err);
    leader.heldBytes = leader.heldLineEnd = length;
    leader.heldLines = lines;
    leader.failed = true;
    leader.used = 0;
}

// Writes the follower's rows whose lines the leader holds; a leader that has failed takes the
// rest with it.
void flushFollower(OutputFile& file, OutputFile& leader) {
    if (file.handle == platform::kNoFile || file.failed || file.used == 0) {
        return;
    }
    const std::uint64_t room =
        leader.heldLines > file.heldLines ? leader.heldLines - file.heldLines : 0;
    const std::size_t len = pastLineEnds(file.buffer.data(), file.used, room);
    const std::size_t rest = file.used - len;
    file.used = 0;
    if (len > 0 && !writeChunk(file, file.buffer.data(), len)) {
        cutLeader(leader, file.heldLines);
        return;
    }
    if (rest > 0 && !leader.failed) {
        std::memmove(file.buffer.data(), file.buffer.data() + len, rest);
        file.used = rest;
    }
}

}  // namespace

bool flushOutputFile(OutputFile& file) {
    if (file.leader != nullptr) {
        flushOwn(*file.leader);
        flushFollower(file, *file.leader);
        return file.handle != platform::kNoFile && !file.failed;
    }
    const bool ok = flushOwn(file);
    if (file.follower != nullptr) {
        flushFollower(*file.follower, file);
    }
    return ok;
}

void followLines(OutputFile& follower, OutputFile& leader) {
    if (follower.handle == platform::kNoFile || leader.handle == platform::kNoFile) {
        return;
    }
    follower.leader = &leader;
    leader.follower = &follower;
}

namespace {

// Loses a deleted file that cannot be put back: noted, and the latch closed.
FileCheck lose(OutputFile& file, int err) {
    if (file.restoring != platform::kNoFile) {
        int ignored = 0;
        platform::closeFile(file.restoring, ignored);
        file.restoring = platform::kNoFile;
        platform::removeFile(file.name.data());  // a part of the file would pass for all of it
    }
    note(file, FileNote::Lost, err != 0 ? err : EIO);
    file.failed = true;
    file.lost = true;
    file.used = 0;
    return FileCheck::Lost;
}

// Copies up to limit more bytes of what the deleted file holds into the new one; once it has
// everything, the new file takes the old one's place.
FileCheck continueRestore(OutputFile& file, std::uint64_t limit) {
    int err = 0;
    if (file.restoredBytes > file.heldBytes) {  // a failure since cut the file back
        if (!platform::truncateFile(file.restoring, file.heldBytes, err)) {
            return lose(file, err);
        }
        file.restoredBytes = file.heldBytes;
    }
    const std::uint64_t left = file.heldBytes - file.restoredBytes;
    const std::uint64_t slice = left < limit ? left : limit;
    if (!platform::copyFileRange(file.handle, file.restoring, file.restoredBytes, slice, err)) {
        return lose(file, err);
    }
    file.restoredBytes += slice;
    if (file.restoredBytes < file.heldBytes) {
        return FileCheck::PutBack;
    }
    platform::closeFile(file.handle, err);
    file.handle = file.restoring;
    file.restoring = platform::kNoFile;
    note(file, FileNote::PutBack, 0);
    return FileCheck::PutBack;
}

}  // namespace

FileCheck checkOutputFile(OutputFile& file) {
    if (file.handle == platform::kNoFile || file.failed) {
        return FileCheck::Here;
    }
    if (file.restoring != platform::kNoFile) {
        return continueRestore(file, kRestoreSliceBytes);
    }
    const platform::FilePlace place = platform::filePlace(file.handle, file.name.data());
    if (place == platform::FilePlace::AtName) {
        file.movedTo[0] = '\0';
        return FileCheck::Here;
    }
    if (place == platform::FilePlace::Moved) {
        if (!platform::currentFilePath(file.handle, file.movedTo.data(), file.movedTo.size())) {
            file.movedTo[0] = '\0';
        }
        return FileCheck::Moved;
    }
    // Deleted: a new file of the same name gets everything written so far, copied from the old
    // one we still hold open, and then takes its place.
    int err = 0;
    file.restoring = platform::createNewFile(file.name.data(), err);
    if (file.restoring == platform::kNoFile) {
        return lose(file, err);
    }
    file.restoredBytes = 0;
    return continueRestore(file, kRestoreSliceBytes);
}

int closeOutputFile(OutputFile& file) {
    if (file.handle == platform::kNoFile) {
        return file.failed ? -1 : 0;
    }
    flushOutputFile(file);
    if (file.restoring != platform::kNoFile && !file.lost) {
        continueRestore(file, UINT64_MAX);  // also a failed file's clean prefix goes back
    } else {
        checkOutputFile(file);
    }
    int err = 0;
    if (!platform::closeFile(file.handle, err) && !file.failed) {
        file.failed = true;
        note(file, FileNote::CloseFailed, err != 0 ? err : EIO);
    }
    file.handle = platform::kNoFile;
    return file.failed ? -1 : 0;
}

void discardOutputFile(OutputFile& file) {
    if (file.handle != platform::kNoFile) {
        if (file.restoring != platform::kNoFile) {
            int ignored = 0;
            platform::closeFile(file.restoring, ignored);
            file.restoring = platform::kNoFile;
        }
        int ignored = 0;
        platform::closeFile(file.handle, ignored);
        file.handle = platform::kNoFile;
        platform::removeFile(file.name.data());
    }
}

}  // namespace vg::logging
