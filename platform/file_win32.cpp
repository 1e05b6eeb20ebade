#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/console.h"
#include "platform/file.h"

namespace vg::platform {

namespace {

bool widen(const char* name, wchar_t (&wide)[MAX_PATH]) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, MAX_PATH) != 0;
}

}  // namespace

FileHandle createNewFile(const char* name, int& err) {
    wchar_t wide[MAX_PATH];
    if (!widen(name, wide)) {
        err = ENAMETOOLONG;
        return kNoFile;
    }
    int fd = -1;
    // Others may read the log while it grows, but nobody else writes to it (and, held open like
    // this, nobody can delete it).
    err = _wsopen_s(&fd, wide, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR,
                    _S_IREAD | _S_IWRITE);
    return err == 0 ? fd : kNoFile;
}

bool writeFile(FileHandle file, const void* data, std::size_t len, std::size_t& written, int& err) {
    const auto* p = static_cast<const char*>(data);
    written = 0;
    err = 0;
    while (written < len) {
        const std::size_t left = len - written;
        const unsigned chunk = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        const int n = _write(file, p + written, chunk);
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool truncateFile(FileHandle file, std::uint64_t length, int& err) {
    err = _chsize_s(file, static_cast<long long>(length));
    return err == 0;
}

bool copyFileRange(FileHandle from, FileHandle to, std::uint64_t offset, std::uint64_t length,
                   int& err) {
    // Writes go where the position is: put it back after reading.
    const long long position = _telli64(from);
    if (position < 0 || _lseeki64(from, static_cast<long long>(offset), SEEK_SET) < 0) {
        err = errno;
        return false;
    }
    char buf[65536];
    std::uint64_t at = 0;
    bool ok = true;
    err = 0;
    while (ok && at < length) {
        const unsigned want =
            length - at < sizeof buf ? static_cast<unsigned>(length - at) : sizeof buf;
        const int n = _read(from, buf, want);
        std::size_t written = 0;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            ok = false;
        } else {
            ok = writeFile(to, buf, static_cast<std::size_t>(n), written, err);
            at += static_cast<std::uint64_t>(n);
        }
    }
    _lseeki64(from, position, SEEK_SET);
    return ok;
}

bool closeFile(FileHandle file, int& err) {
    err = _close(file) == 0 ? 0 : errno;
    return err == 0;
}

void removeFile(const char* name) {
    wchar_t wide[MAX_PATH];
    if (widen(name, wide)) {
        _wremove(wide);
    }
}

FilePlace filePlace(FileHandle, const char*) {
    return FilePlace::AtName;  // a file held open without delete sharing stays where it is
}

bool currentFilePath(FileHandle, char*, std::size_t) {
    return false;
}

FileHandle openForReading(const char* name, int& err) {
    wchar_t wide[MAX_PATH];
    if (!widen(name, wide)) {
        err = ENAMETOOLONG;
        return kNoFile;
    }
    int fd = -1;
    err = _wsopen_s(&fd, wide, _O_RDONLY | _O_BINARY, _SH_DENYNO, 0);
    return err == 0 ? fd : kNoFile;
}

ReadResult readFile(FileHandle file, void* buf, std::size_t size, std::size_t& got, int& err) {
    got = 0;
    err = 0;
    const int n = _read(file, buf, size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size));
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return ReadResult::Data;
    }
    if (n == 0) {
        return ReadResult::End;
    }
    err = errno;
    return ReadResult::Failed;
}

void waitForFile(FileHandle, int timeoutMs) {
    // Reads of files and pipes here wait by themselves and never say Again.
    waitForActivity(kInvalidPort, timeoutMs < 0 || timeoutMs > 50 ? 50 : timeoutMs);
}

int checkWritableFolder(const char* dir) {
    wchar_t wide[MAX_PATH];
    if (!widen(dir, wide)) {
        return ENAMETOOLONG;
    }
    const DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        return err == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ENOTDIR;
    }
    // A folder's read-only flag does not stop files being created in it; a refusal surfaces
    // when the logs are created.
    return 0;
}

bool reserveFileSpace(FileHandle, std::uint64_t, int& err) {
    err = 0;
    return true;  // writes take their chance
}

bool rewriteFile(FileHandle file, const void* data, std::size_t len, int& err) {
    err = 0;
    if (_lseeki64(file, 0, SEEK_SET) != 0) {
        err = errno;
        return false;
    }
    std::size_t written = 0;
    return writeFile(file, data, len, written, err);
}

int exchangeFiles(const char*, const char*) {
    return ENOSYS;
}

bool nameTaken(const char* name) {
    wchar_t wide[MAX_PATH];
    if (!widen(name, wide)) {
        return true;
    }
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES ||
           GetLastError() != ERROR_FILE_NOT_FOUND;
}

int replaceFile(const char* from, const char* to) {
    wchar_t wideFrom[MAX_PATH];
    wchar_t wideTo[MAX_PATH];
    if (!widen(from, wideFrom) || !widen(to, wideTo)) {
        return ENAMETOOLONG;
    }
    if (MoveFileExW(wideFrom, wideTo, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return 0;
    }
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

int fileReadableByOthers(const char* name, bool& others) {
    others = false;
    wchar_t wide[MAX_PATH];
    if (!widen(name, wide)) {
        return ENAMETOOLONG;
    }
    return GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES ? ENOENT : 0;
}

}  // namespace vg::platform
