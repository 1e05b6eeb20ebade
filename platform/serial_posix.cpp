#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/serial.h"

namespace vg::platform {

namespace {

constexpr const char* kCantOpen = "Unable to open the port";
constexpr const char* kCantConfigure = "Unable to configure the serial port";
constexpr const char* kCantSetTimeouts = "Unable to set the time-out parameters";

bool sessionHasGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        if (groups[i] == gid) {
            return true;
        }
    }
    return false;
}

bool userListedIn(const group& g) {
    const passwd* me = getpwuid(getuid());
    for (char** member = g.gr_mem; me != nullptr && member != nullptr && *member != nullptr;
         ++member) {
        if (std::strcmp(*member, me->pw_name) == 0) {
            return true;
        }
    }
    return false;
}

// "Error: " and the text, the device, and the system's reason.
void notice(const char* text, const char* path, int err) {
    // One message, so the lines cannot be split by a full console queue.
    char line[1024];
    const char* reason = err == EWOULDBLOCK || err == EBUSY
                             ? "the device is in use by another program"
                         : err != 0 ? std::strerror(err)
                                    : nullptr;
    std::snprintf(line, sizeof line, "Error: %s%s%s%s%s\n", text, path != nullptr ? ": " : "",
                  path != nullptr ? path : "", reason != nullptr ? ": " : "",
                  reason != nullptr ? reason : "");
    consoleWrite(ConsoleStream::Err, line);
}

bool speedFor(std::uint32_t baud, speed_t& speed) {
    static constexpr struct {
        std::uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

// Raw 8N1, receiver on, modem-control lines ignored, no flow control of any kind.
void makeRaw(termios& t, speed_t speed) {
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

bool isRaw(const termios& t, speed_t speed) {
    const tcflag_t mustSet = CS8 | CLOCAL | CREAD;
    const tcflag_t mustClear = PARENB | CSTOPB | CRTSCTS;
    return (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & mustSet) == mustSet &&
           (t.c_cflag & mustClear) == 0 && (t.c_iflag & (IXON | IXOFF | IXANY)) == 0 &&
           (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && cfgetispeed(&t) == speed &&
           cfgetospeed(&t) == speed;
}

// Reads return at once with what has arrived: no byte minimum and no inter-byte timer.
bool applyTimeouts(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &t) != 0) {
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return false;
    }
    return t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0;
}

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

OpenFailure openFailureOf(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return OpenFailure::Missing;
        case EBUSY:
#if EWOULDBLOCK != EBUSY
        case EWOULDBLOCK:
#endif
            return OpenFailure::Busy;
        case EACCES:
        case EPERM:
            return OpenFailure::Denied;
        default:
            return OpenFailure::Other;
    }
}

// Exclusive use is a mark on the device, not on our descriptor: it outlives the close while
// anything else (a bridge, a pseudo-terminal's far end) holds the device open.
void release(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

// What an open's steps share: the device, whether to say a failure, and where to put it.
struct Opening {
    const char* path;
    bool quiet;
    SerialFailure& failure;
};

// A descriptor opened but not yet marked exclusive is only closed: the mark, if any, is another
// program's (root opens a device that someone else marked), and is left to it.
PortHandle fail(Opening& o, int fd, bool marked, const char* text, int err) {
    o.failure = SerialFailure{openFailureOf(err), text, err};
    if (fd >= 0) {
        if (marked) {
            release(fd);
        } else {
            close(fd);
        }
    }
    if (!o.quiet) {
        notice(text, o.path, err);
    }
    return kInvalidPort;
}

PortHandle openAndConfigure(Opening& o, std::uint32_t baud);

}  // namespace

void serialPortName(std::uint16_t port, char (&name)[kPortNameSize]) {
    if (port == 0) {
        name[0] = '\0';
        return;
    }
    std::snprintf(name, sizeof name, "/dev/ttyS%u", static_cast<unsigned>(port) - 1u);
}

PortHandle serialOpen(const char* path, std::uint32_t baud, bool quiet, SerialFailure& failure) {
    failure = SerialFailure{};
    Opening o{path, quiet, failure};
    return openAndConfigure(o, baud);
}

const char* describeSerialFailure(const SerialFailure& failure, char* buf, std::size_t size) {
    if (failure.step[0] == '\0') {
        std::snprintf(buf, size, "%s",
                      failure.code == 0 ? "the device hung up" : std::strerror(failure.code));
    } else {
        std::snprintf(buf, size, "%s%s%s", failure.step, failure.code != 0 ? ": " : "",
                      failure.code != 0 ? std::strerror(failure.code) : "");
    }
    return buf;
}

DeviceAccess deviceAccess(const char* path) {
    DeviceAccess access;
    struct stat st {};
    // Serial devices are usually open to one group (dialout on Debian, uucp elsewhere).
    if (path == nullptr || stat(path, &st) != 0 || st.st_gid == 0 ||
        (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        return access;
    }
    const group* g = getgrgid(st.st_gid);
    if (g == nullptr) {
        return access;
    }
    access.groupKnown = true;
    std::snprintf(access.group, sizeof access.group, "%s", g->gr_name);
    access.inSession = sessionHasGroup(st.st_gid);
    access.listed = userListedIn(*g);
    return access;
}

namespace {

PortHandle openAndConfigure(Opening& o, std::uint32_t baud) {
    const char* path = o.path;
    if (path == nullptr || path[0] == '\0') {
        o.path = "(no device)";
        return fail(o, -1, false, kCantOpen, ENOENT);
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(o, -1, false, kCantOpen, errno);
    }
    // The lock refuses a second logger even for root, who is not bound by TIOCEXCL.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(o, fd, false, kCantOpen, errno);
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        return fail(o, fd, false, kCantOpen, errno);
    }

    speed_t speed{};
    if (!speedFor(baud, speed)) {
        return fail(o, fd, true, kCantConfigure, EINVAL);
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return fail(o, fd, true, kCantConfigure, errno);
    }
    makeRaw(t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        return fail(o, fd, true, kCantConfigure, errno);
    }
    // tcsetattr succeeds when any one change took, so the settings are checked as applied.
    termios applied{};
    if (tcgetattr(fd, &applied) != 0) {
        return fail(o, fd, true, kCantConfigure, errno);
    }
    if (!isRaw(applied, speed)) {
        return fail(o, fd, true, kCantConfigure, 0);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return fail(o, fd, true, kCantConfigure, errno);
    }

    if (!applyTimeouts(fd)) {
        return fail(o, fd, true, kCantSetTimeouts, errno);
    }
    return fd;
}

}  // namespace

std::uint32_t serialBytesWaiting(PortHandle port) {
    int n = 0;
    if (port < 0 || ioctl(port, FIONREAD, &n) != 0 || n < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(n);
}

std::ptrdiff_t serialRead(PortHandle port, std::uint8_t* bytes, std::size_t count,
                          SerialFailure& failure) {
    for (;;) {
        const ssize_t n = read(port, bytes, count);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            // Nothing has arrived, or the device has hung up (the far end of a pseudo-terminal
            // closed, an adapter was unplugged), where every read gives nothing for ever.
            pollfd p{port, POLLIN, 0};
            const bool gone = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
            if (gone) {
                failure = SerialFailure{OpenFailure::Missing, "", 0};
            }
            return gone ? -1 : 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        failure = SerialFailure{OpenFailure::Other, "", errno};
        return -1;
    }
}

bool serialAwaitMore(PortHandle port, int ms) {
    pollfd p{port, POLLIN, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

std::ptrdiff_t serialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count) {
    const long long deadline = nowMs() + 1000 + 10 * static_cast<long long>(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = write(port, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
        const long long left = deadline - nowMs();
        if (left <= 0) {
            break;  // timed out: the rest is not sent
        }
        pollfd p{port, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(done);
}

void serialClose(PortHandle port) {
    if (port >= 0) {
        release(port);
    }
}

void showErrorNotice(const char* text, int reason) {
    notice(text, nullptr, reason);
}

void setErrorDialogs(bool) {}  // the notice here is only ever a line on standard error

}  // namespace vg::platform
