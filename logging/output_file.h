// One file the run writes (a log, the raw capture): created exclusively, appended through a
// buffer of its own with the system's write calls, so what the file holds is always known.
//
// - Failure latch: after the first failed write nothing more is ever appended. The file is cut
//   back to a clean prefix (a text file to its last whole line) and the failure is noted once
//   (FileNote::WriteFailed with the system's code) for the application to say.
// - Presence: checkOutputFile, called with the once-a-second flush, puts a file that was deleted
//   back under its name with everything it held (logging goes on into it), and notes where a
//   moved file is now. Where it cannot be put back the file counts as failed. Both are noted.
// - heldBytes and heldLines count only what reached the file, never what was merely handed in.
//
// No allocation: the buffer and the names live in the object. Not thread-safe; one owner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace vg::logging {

inline constexpr std::size_t kPathBytes = 4096;  // a path as Linux takes it, with terminator
inline constexpr std::size_t kFileBufferBytes = 64 * 1024;
// A deleted file is copied back this much per check at most, so a long run's log never holds
// up the data path for long; logging goes on into the old copy meanwhile.
inline constexpr std::uint64_t kRestoreSliceBytes = 16u << 20;

// What happened to a file that its owner should say; kept until takeFileNote.
enum class FileNote {
    None,
    WriteFailed,  // code: why; the file keeps its clean prefix
    CloseFailed,  // code: why
    PutBack,      // it had been deleted: it is back under its name with heldBytes
    Lost,         // deleted and not put back; code: why
};
inline constexpr std::size_t kMaxFileNotes = 3;  // a close can note a put-back and a failure

enum class FileCheck {
    Here,     // where it was created (or closed, or already failed)
    PutBack,  // it had been deleted: it is back, or being copied back (restoring)
    Moved,    // it has another name now (movedTo holds it where the system tells)
    Lost,     // it was deleted and cannot be put back: the file has failed
};

struct OutputFile {
    platform::FileHandle handle = platform::kNoFile;  // kNoFile while closed
    std::array<char, kPathBytes> name{};              // as created
    std::array<char, kPathBytes> movedTo{};           // full path after a move, else ""
    const char* what = "log file";                    // names the kind of file in messages
    bool lines = true;                                // text: a failure keeps whole lines only
    bool failed = false;                              // the latch: nothing more is appended
    bool lost = false;                                // deleted during the run and not put back
    std::uint64_t heldBytes = 0;                      // in the file
    std::uint64_t heldLines = 0;                      // line ends among them
    std::uint64_t heldLineEnd = 0;                    // length of the file up to its last line end
    std::size_t used = 0;                             // bytes in buffer, not yet written
    platform::FileHandle restoring = platform::kNoFile;  // the new file under name, being filled
    std::uint64_t restoredBytes = 0;                     // copied into it so far
    // A file whose lines go one for one with another's (the times file with the samples log):
    // the leader is written first, the follower never holds more lines than it, and a follower
    // that fails cuts the leader back to its own count. See followLines.
    OutputFile* leader = nullptr;
    OutputFile* follower = nullptr;
    // The last chunk the buffer wrote (its bytes are still there): its length, and the bytes
    // and lines the file held before it.
    std::size_t lastChunk = 0;
    std::uint64_t lastChunkAt = 0;
    std::uint64_t linesBeforeChunk = 0;
    std::array<FileNote, kMaxFileNotes> notes{};  // not yet taken, oldest first
    std::array<int, kMaxFileNotes> noteCodes{};
    std::size_t noteCount = 0;
    std::array<char, kFileBufferBytes> buffer;
};

// The oldest note not yet taken (its system code in code); FileNote::None when there is none.
FileNote takeFileNote(OutputFile& file, int& code);

// Why a file could not be created: its kind, its name (or, when no name could be made to fit,
// the folder it was to go in), and the system's reason (ENAMETOOLONG for a name too long).
struct CreateFailure {
    const char* what = "";
    std::array<char, kPathBytes> name{};
    bool inFolder = false;  // name is the folder
    int err = 0;
};
// Fills failure (when not null); gives 1, an open's failure result.
int createFailed(CreateFailure* failure, const char* what, const char* name, bool inFolder,
                 int err);

// Creates name exclusively (never over an existing file or link). what names the file in
// messages ("log file", "raw capture file"); lines marks a text file. 0, or the system's reason
// (an errno value; ENAMETOOLONG for a name of kPathBytes or more). Reports nothing.
int createOutputFile(OutputFile& file, const char* name, const char* what, bool lines);

// Appends len bytes. False (and nothing appended) once the file has failed or is closed.
bool appendToFile(OutputFile& file, const char* data, std::size_t len);

// Writes out what is buffered. False when the file has failed. A leader's flush writes its
// follower's too, after it; a follower's writes its leader's first.
bool flushOutputFile(OutputFile& file);

// Ties follower's lines to leader's, one for one (both open; nothing when either is closed).
void followLines(OutputFile& follower, OutputFile& leader);

// Whether the file is still where it was created; see FileCheck. A deleted file is noted (put
// back, or why it could not be).
FileCheck checkOutputFile(OutputFile& file);

// Flushes, checks the file's place a last time (finishing a put-back), and closes it. 0 when
// everything handed in is in the file, -1 when the file failed.
int closeOutputFile(OutputFile& file);

// Closes and removes a file this run created, for a start that failed after it.
void discardOutputFile(OutputFile& file);

// Writes text into out (at most size bytes, terminated) with control characters escaped
// (\n, \r, \t, \xHH), so a name always stays on its one line of a message.
void escapeName(char* out, std::size_t size, const char* text);

}  // namespace vg::logging
