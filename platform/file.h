// Files the program creates and reads, at the level of the system's own calls: every byte a
// write reports as done is in the file, so callers always know what a file holds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vg::platform {

// An open file (a descriptor); kNoFile for none.
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;

// Creates the file name (a UTF-8 path) for reading and writing in binary, only when no file or
// link of that name exists: an existing one is never opened, truncated or followed. kNoFile on
// failure, with err set to the system's reason (an errno value).
FileHandle createNewFile(const char* name, int& err);

// Writes all of len bytes (retrying short and interrupted writes). written tells how many
// reached the file, also when it fails (err set).
bool writeFile(FileHandle file, const void* data, std::size_t len, std::size_t& written, int& err);

// Cuts the file to length bytes.
bool truncateFile(FileHandle file, std::uint64_t length, int& err);

// Appends length bytes of from, starting at offset, to to. from's own position (where its next
// write goes) is left as it was.
bool copyFileRange(FileHandle from, FileHandle to, std::uint64_t offset, std::uint64_t length,
                   int& err);

bool closeFile(FileHandle file, int& err);
void removeFile(const char* name);

// Where an open file is, compared with the name it was created under.
enum class FilePlace {
    AtName,   // the name still leads to it (or the system cannot tell otherwise)
    Deleted,  // no name leads to it any more
    Moved,    // it has another name now
};
FilePlace filePlace(FileHandle file, const char* name);

// The file's present full path into buf (Linux: from /proc/self/fd); false where the system
// does not tell or the path does not fit.
bool currentFilePath(FileHandle file, char* buf, std::size_t size);

// Opens a file for reading. On POSIX reads never wait (a FIFO or pipe with nothing in it says
// Again), so the caller can wait for data and a stop request together.
FileHandle openForReading(const char* name, int& err);

enum class ReadResult { Data, End, Again, Interrupted, Failed };
// Reads what is there, up to size bytes, into buf: Data with got > 0, End at the file's end,
// Again when nothing is there yet, Interrupted by a signal, Failed with err set.
ReadResult readFile(FileHandle file, void* buf, std::size_t size, std::size_t& got, int& err);

// After Again: sleeps until the file has something to read, a key or a stop request waits, or
// timeoutMs passes (negative: no limit).
void waitForFile(FileHandle file, int timeoutMs);

// 0 when dir is a folder this process may create files in; otherwise an errno value (ENOENT,
// ENOTDIR, EACCES, EROFS, ...).
int checkWritableFolder(const char* dir);

// Whether others than the file's owner may read it (a secret's file must be the owner's alone):
// 0 with others set, or an errno value when the file cannot be looked at. Windows answers
// false: who reads a file there is the folder's access list's business.
int fileReadableByOthers(const char* name, bool& others);
// Keeps room for bytes bytes in the file without changing its length, so later writes up to
// that length cannot fail for want of space. True also where the file system keeps no such
// reservation (the writes then take their chance); false with err when the room is not there.
bool reserveFileSpace(FileHandle file, std::uint64_t bytes, int& err);

// Writes len bytes at the file's start (over what it held; its length only grows).
bool rewriteFile(FileHandle file, const void* data, std::size_t len, int& err);

// Swaps what the two names lead to in one step, so a reader of either sees one file or the
// other, never a part. 0 on success; otherwise an errno value (ENOSYS or EINVAL where the system
// or the file system cannot swap).
int exchangeFiles(const char* a, const char* b);

// Whether anything (a file, a folder, a link even to nowhere) has that name.
bool nameTaken(const char* name);

// Renames from over to in one step, replacing to if it exists, so a reader of to sees the old
// file or the new one, never a part. 0 on success, otherwise an errno value.
int replaceFile(const char* from, const char* to);

}  // namespace vg::platform
