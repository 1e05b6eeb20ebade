#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/file.h"

namespace vg::platform {

FileHandle createNewFile(const char* name, int& err) {
    // O_EXCL: an existing file, or a link even to nowhere, makes the open fail. Readable too, so
    // a file deleted under us can be copied back from what we still hold open.
    const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    err = fd < 0 ? errno : 0;
    return fd < 0 ? kNoFile : fd;
}

bool writeFile(FileHandle file, const void* data, std::size_t len, std::size_t& written, int& err) {
    const auto* p = static_cast<const char*>(data);
    written = 0;
    err = 0;
    while (written < len) {
        const ssize_t n = write(file, p + written, len - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            err = n < 0 ? errno : ENOSPC;  // a write of nothing: no room
            return false;
        }
    }
    return true;
}

bool truncateFile(FileHandle file, std::uint64_t length, int& err) {
    err = 0;
    while (ftruncate(file, static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) {
            err = errno;
            return false;
        }
    }
    return true;
}

bool copyFileRange(FileHandle from, FileHandle to, std::uint64_t offset, std::uint64_t length,
                   int& err) {
    char buf[65536];
    std::uint64_t at = offset;
    const std::uint64_t end = offset + length;
    while (at < end) {
        const std::size_t want =
            end - at < sizeof buf ? static_cast<std::size_t>(end - at) : sizeof buf;
        const ssize_t n = pread(from, buf, want, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : EIO;  // the file we hold is shorter than what we wrote
            return false;
        }
        std::size_t written = 0;
        if (!writeFile(to, buf, static_cast<std::size_t>(n), written, err)) {
            return false;
        }
        at += static_cast<std::uint64_t>(n);
    }
    err = 0;
    return true;
}

bool closeFile(FileHandle file, int& err) {
    // No retry on EINTR: the descriptor is gone either way.
    err = close(file) == 0 ? 0 : errno;
    return err == 0;
}

void removeFile(const char* name) {
    unlink(name);
}

FilePlace filePlace(FileHandle file, const char* name) {
    struct stat held {};
    if (fstat(file, &held) != 0) {
        return FilePlace::AtName;
    }
    if (held.st_nlink == 0) {
        return FilePlace::Deleted;
    }
    struct stat named {};
    if (stat(name, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        return FilePlace::AtName;
    }
    return FilePlace::Moved;
}

bool currentFilePath(FileHandle file, char* buf, std::size_t size) {
#ifdef __linux__
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", file);
    const ssize_t n = readlink(link, buf, size);
    if (n <= 0 || static_cast<std::size_t>(n) >= size) {
        return false;
    }
    buf[n] = '\0';
    constexpr char kDeleted[] = " (deleted)";
    const std::size_t tail = sizeof kDeleted - 1;
    return !(static_cast<std::size_t>(n) >= tail && std::strcmp(buf + n - tail, kDeleted) == 0);
#else
    (void)file;
    (void)buf;
    (void)size;
    return false;
#endif
}

FileHandle openForReading(const char* name, int& err) {
    // Opened waiting (a FIFO's open waits for its writer, as a reader expects), then switched to
    // reads that never wait.
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return kNoFile;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    err = 0;
    return fd;
}

ReadResult readFile(FileHandle file, void* buf, std::size_t size, std::size_t& got, int& err) {
    got = 0;
    err = 0;
    const ssize_t n = read(file, buf, size);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return ReadResult::Data;
    }
    if (n == 0) {
        return ReadResult::End;
    }
    err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        return ReadResult::Again;
    }
    return err == EINTR ? ReadResult::Interrupted : ReadResult::Failed;
}

void waitForFile(FileHandle file, int timeoutMs) {
    waitForActivity(file, timeoutMs);  // a descriptor is what poll takes for a port, too
}

int checkWritableFolder(const char* dir) {
    struct stat st {};
    if (stat(dir, &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    return access(dir, W_OK | X_OK) == 0 ? 0 : errno;
}

int fileReadableByOthers(const char* name, bool& others) {
    struct stat st {};
    if (stat(name, &st) != 0) {
        return errno;
    }
    others = (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
    return 0;
}

bool reserveFileSpace(FileHandle file, std::uint64_t bytes, int& err) {
    err = 0;
#ifdef __linux__
    // Blocks set aside past the file's end: the length (what a reader sees) stays as it is.
    while (fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EOPNOTSUPP || errno == ENOSYS) {
            return true;  // a file system that keeps no reservations
        }
        err = errno;
        return false;
    }
#else
    (void)file;
    (void)bytes;
#endif
    return true;
}

bool rewriteFile(FileHandle file, const void* data, std::size_t len, int& err) {
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    err = 0;
    while (done < len) {
        const ssize_t n = pwrite(file, p + done, len - done, static_cast<off_t>(done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            err = n < 0 ? errno : ENOSPC;
            return false;
        }
    }
    return true;
}

int exchangeFiles(const char* a, const char* b) {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kExchange = 2;  // RENAME_EXCHANGE
    return syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, kExchange) == 0 ? 0 : errno;
#else
    (void)a;
    (void)b;
    return ENOSYS;
#endif
}

bool nameTaken(const char* name) {
    struct stat st {};
    return lstat(name, &st) == 0 || errno != ENOENT;
}

int replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 0 : errno;
}

}  // namespace vg::platform
