// vglog-sim: a simulated board on a pseudo-terminal (or a stream into a file), for trying the
// logger without hardware.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "logging/capture_times.h"
#include "tools/sim/board.h"

namespace {

using vg::sim::Board;
using vg::sim::SampleBytes;

constexpr double kLineBytesPerSecond = 11520.0;  // 115200 baud, 10 bits a byte

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

struct Options {
    const char* link = nullptr;
    const char* record = nullptr;
    const char* out = nullptr;     // "-" for standard output
    const char* replay = nullptr;  // a capture to play instead of the simulated board
    double seconds = -1;
    double linger = 2.0;  // seconds the device stays open after the last byte
    double jitterMs = 0;  // each sample goes out late by up to this much, at random
    long long count = -1;
    bool pace = true;
    vg::sim::BoardConfig board = vg::sim::defaultConfig();
};

void usage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: vglog-sim [options]\n"
        "  --link PATH     make PATH a symbolic link to the board's device\n"
        "  --seconds S     stop after S seconds of board time\n"
        "  --count N       stop after N packets\n"
        "  --seed N        motion and noise seed (default 1)\n"
        "  --noise F       fraction of junk bytes in the stream, 0 to 0.9\n"
        "  --rate HZ       motion samples per second (default 100)\n"
        "  --jitter MS     send each sample late by a random 0 to MS milliseconds\n"
        "                  (in order; its time on the board stays the same)\n"
        "  --linger S      keep the device open S seconds after the last packet (default 2)\n"
        "  --kinds LIST    packet kinds to send, e.g. 2,7,8,9,10,3 (default\n"
        "                  2,7,8,9,10,3,11; kinds other than 2, 7-10 are sent now and then)\n"
        "  --no-pace       send as fast as the reader takes it\n"
        "  --record FILE   also write every byte sent to FILE\n"
        "  --out FILE      write the stream to FILE instead of a device (no pacing)\n"
        "  --stdout        write the stream to standard output instead of a device\n"
        "  --replay FILE   play the bytes of FILE (a vglog raw capture) instead of the\n"
        "                  simulated board, paced like the line unless --no-pace; with\n"
        "                  FILE.times beside it (vglog --raw --times), as it arrived\n"
        "  -h, --help      this text\n"
        "  -V, --version   the release number\n"
        "Without --out or --stdout the board waits for the start byte \"w\" on its device,\n"
        "and stops when the reader closes the device.\n");
}

bool parseNumber(const char* s, double& v) {
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s, &end);
    return errno == 0 && end != s && *end == '\0';
}

bool parseKinds(const char* s, std::array<bool, 256>& kinds) {
    kinds.fill(false);
    std::string list(s);
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        char* end = nullptr;
        const long k = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || k < 0 || k > 255) {
            return false;
        }
        kinds[static_cast<std::size_t>(k)] = true;
        at = comma + 1;
    }
    return true;
}

// 0 on success, 1 to stop with a usage error, 2 after --help or --version.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        double v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 2;
        } else if (a == "--version" || a == "-V") {
            std::printf("vglog-sim %s\n", VGLOG_RELEASE);
            return 2;
        } else if (a == "--no-pace") {
            o.pace = false;
        } else if (a == "--stdout") {
            o.out = "-";
        } else if (!hasValue) {
            std::fprintf(stderr, "vglog-sim: %s: unknown option or missing value\n", argv[i]);
            return 1;
        } else if (a == "--link") {
            o.link = argv[++i];
        } else if (a == "--record") {
            o.record = argv[++i];
        } else if (a == "--out") {
            o.out = argv[++i];
        } else if (a == "--replay") {
            o.replay = argv[++i];
        } else if (a == "--kinds") {
            if (!parseKinds(argv[++i], o.board.kinds)) {
                std::fprintf(stderr, "vglog-sim: --kinds wants numbers 0 to 255 with commas\n");
                return 1;
            }
        } else if (parseNumber(argv[i + 1], v)) {
            ++i;
            if (a == "--seconds" && v >= 0) {
                o.seconds = v;
            } else if (a == "--count" && v >= 0) {
                o.count = static_cast<long long>(v);
            } else if (a == "--seed" && v >= 0) {
                o.board.seed = static_cast<std::uint64_t>(v);
            } else if (a == "--noise" && v >= 0 && v <= 0.9) {
                o.board.noise = v;
            } else if (a == "--linger" && v >= 0) {
                o.linger = v;
            } else if (a == "--rate" && v > 0 && v <= 10000) {
                o.board.sampleRate = v;
            } else if (a == "--jitter" && v >= 0 && v <= 10000) {
                o.jitterMs = v;
            } else {
                std::fprintf(stderr, "vglog-sim: %s %s: unknown option or bad value\n", a.c_str(),
                             argv[i]);
                return 1;
            }
        } else {
            std::fprintf(stderr, "vglog-sim: %s %s: unknown option or bad value\n", a.c_str(),
                         argv[i + 1]);
            return 1;
        }
    }
    if (o.out != nullptr && o.seconds < 0 && o.count < 0 && o.replay == nullptr) {
        std::fprintf(stderr, "vglog-sim: a stream into a file needs --seconds or --count\n");
        return 1;
    }
    return 0;
}

struct Totals {
    std::array<unsigned long long, 256> byKind{};
    unsigned long long packets = 0, bytes = 0, junk = 0;
};

// The run's last line, said in one write. Started in the background beside vglog at the same
// terminal, the simulator must not write into vglog's status line: at a terminal the line is
// cleared first, so the status line is replaced by this one and vglog draws it again below.
void lastLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void lastLine(const char* format, ...) {
    char line[1024];
    std::size_t n = 0;
    const char* term = std::getenv("TERM");
    if (isatty(STDERR_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0) {
        n = static_cast<std::size_t>(std::snprintf(line, sizeof line, "\r\033[K"));
    }
    va_list args;
    va_start(args, format);
    const int more = std::vsnprintf(line + n, sizeof line - n, format, args);
    va_end(args);
    n = more < 0 ? n : std::min(sizeof line - 1, n + static_cast<std::size_t>(more));
    std::fwrite(line, 1, n, stderr);
}

void summary(const Totals& t, const char* ending) {
    char kinds[512] = "";
    std::size_t used = 0;
    for (std::size_t k = 0; k < t.byKind.size() && used < sizeof kinds; ++k) {
        if (t.byKind[k] != 0) {
            const int n = std::snprintf(kinds + used, sizeof kinds - used, "; kind %zu: %llu", k,
                                        t.byKind[k]);
            used += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
    lastLine("vglog-sim: sent %llu packets, %llu bytes (%llu junk)%s; %s\n", t.packets, t.bytes,
             t.junk, kinds, ending);
}

timespec addSeconds(const timespec& base, double s) {
    timespec t = base;
    const auto whole = static_cast<time_t>(s);
    t.tv_sec += whole;
    t.tv_nsec += static_cast<long>((s - static_cast<double>(whole)) * 1e9);
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Writes everything to the sink. The device's reader going away ends the run.
enum class Sent { all, readerGone, stopped, failed };

Sent writeAll(int fd, bool isDevice, const std::uint8_t* p, std::size_t n, std::size_t& written) {
    written = 0;
    while (written < n) {
        if (stopRequested) {
            return Sent::stopped;
        }
        if (isDevice) {
            pollfd pf{fd, POLLOUT | POLLIN, 0};
            if (poll(&pf, 1, 200) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return Sent::failed;
            }
            if (pf.revents & (POLLHUP | POLLERR)) {
                return Sent::readerGone;
            }
            if (pf.revents & POLLIN) {
                std::uint8_t discard[64];  // a repeated start byte, for instance
                if (read(fd, discard, sizeof discard) < 0 && errno == EIO) {
                    return Sent::readerGone;
                }
            }
            if (!(pf.revents & POLLOUT)) {
                continue;
            }
        }
        const ssize_t k = write(fd, p + written, n - written);
        if (k > 0) {
            written += static_cast<std::size_t>(k);
        } else if (k < 0 && errno != EAGAIN && errno != EINTR) {
            return isDevice && errno == EIO ? Sent::readerGone : Sent::failed;
        }
    }
    return Sent::all;
}

// Waits for the start byte; false when stopped first.
bool waitForStart(int master) {
    while (!stopRequested) {
        pollfd pf{master, POLLIN, 0};
        const int r = poll(&pf, 1, 100);
        if (r > 0 && (pf.revents & POLLIN)) {
            std::uint8_t buf[64];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0 && std::memchr(buf, 'w', static_cast<std::size_t>(n)) != nullptr) {
                return true;
            }
        } else if (r > 0) {
            usleep(50 * 1000);  // no reader has the device open yet
        }
    }
    return false;
}

int openPty(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "vglog-sim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return -1;
    }
    slave = ptsname(master);
    // Raw from the start, so nothing the board sends is echoed or changed before the reader
    // sets the line up.
    termios t{};
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(master, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

void sleepUntil(const timespec& due) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR &&
           !stopRequested) {
    }
}

// Plays a capture's bytes as they are, in pieces no faster than the line carries them when
// paced; with the capture's times (times non-null), each read's bytes at the moment that read
// returned in the recorded run. Returns how the sending ended.
const char* playCapture(std::FILE* in, int sink, bool isDevice, bool pace, std::FILE* record,
                        vg::logging::CaptureTimesReader* times, unsigned long long& sentBytes,
                        int& status) {
    constexpr std::size_t kPiece = 256;  // about 22 ms of line time
    std::array<std::uint8_t, 4096> piece{};
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        std::size_t want = kPiece;
        if (times != nullptr) {
            std::int64_t us = 0;
            const auto entry = vg::logging::nextCaptureTimesEntry(*times, us, want);
            if (entry == vg::logging::CaptureTimesEntry::Loss) {
                continue;  // the bytes after a loss come at their own times
            }
            if (entry == vg::logging::CaptureTimesEntry::Read && want <= piece.size()) {
                if (pace) {
                    sleepUntil(addSeconds(start, static_cast<double>(us) / 1e6));
                }
            } else {
                times = nullptr;  // past the times' end (or a damaged line): paced like the line
                want = kPiece;
            }
        }
        const std::size_t n = std::fread(piece.data(), 1, want, in);
        if (n == 0) {
            if (std::ferror(in) != 0) {
                status = 1;
                return "read of the capture failed";
            }
            return "done";
        }
        if (pace && times == nullptr) {
            sleepUntil(addSeconds(start, static_cast<double>(sentBytes) / kLineBytesPerSecond));
        }
        std::size_t written = 0;
        const Sent sent = writeAll(sink, isDevice, piece.data(), n, written);
        if (record != nullptr) {
            std::fwrite(piece.data(), 1, written, record);
            std::fflush(record);
        }
        sentBytes += written;
        if (sent != Sent::all) {
            status = sent == Sent::failed ? 1 : 0;
            return sent == Sent::readerGone ? "the reader went away"
                   : sent == Sent::stopped  ? "stopped"
                                            : "write failed";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int r = parse(argc, argv, o); r != 0) {
        if (r == 1) {
            usage(stderr);
        }
        return r == 2 ? 0 : 2;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const bool isDevice = o.out == nullptr;
    int sink = -1;
    std::string slave;
    if (isDevice) {
        sink = openPty(slave);
        if (sink < 0) {
            return 1;
        }
        if (o.link != nullptr) {
            struct stat st {};
            if (lstat(o.link, &st) == 0 && S_ISLNK(st.st_mode)) {
                unlink(o.link);  // a link left by an earlier run
            }
            if (symlink(slave.c_str(), o.link) != 0) {
                std::fprintf(stderr, "vglog-sim: cannot link %s: %s\n", o.link,
                             std::strerror(errno));
                return 1;
            }
        }
        std::printf("%s\n", o.link != nullptr ? o.link : slave.c_str());
        std::fflush(stdout);
    } else if (std::strcmp(o.out, "-") == 0) {
        sink = STDOUT_FILENO;
    } else {
        sink = open(o.out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    std::FILE* capture = nullptr;
    vg::logging::CaptureTimesReader captureTimes;
    bool timed = false;
    if (o.replay != nullptr) {
        timed = vg::logging::openCaptureTimesReader(captureTimes, o.replay) == 0;
        capture = std::fopen(o.replay, "rb");
        if (capture == nullptr) {
            std::fprintf(stderr, "vglog-sim: cannot open %s: %s\n", o.replay, std::strerror(errno));
            return 1;
        }
    }
    std::FILE* record = o.record != nullptr ? std::fopen(o.record, "wb") : nullptr;
    if (sink < 0 || (o.record != nullptr && record == nullptr)) {
        std::fprintf(stderr, "vglog-sim: cannot open %s: %s\n", sink < 0 ? o.out : o.record,
                     std::strerror(errno));
        return 1;
    }
    auto unlinkDevice = [&] {
        if (o.link != nullptr) {
            unlink(o.link);
        }
    };

    if (isDevice && !waitForStart(sink)) {
        unlinkDevice();
        Totals none;
        summary(none, "stopped before the start byte");
        return 0;
    }

    Board board;
    vg::sim::initBoard(board, o.board);
    static SampleBytes sample;
    Totals totals;
    const bool pace = isDevice && o.pace;
    std::mt19937_64 jitterRng(o.board.seed);
    std::uniform_real_distribution<double> jitter(0.0, o.jitterMs / 1000.0);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const char* ending = "done";
    int status = 0;
    const bool replaying = capture != nullptr;
    if (replaying) {
        ending = playCapture(capture, sink, isDevice, pace, record, timed ? &captureTimes : nullptr,
                             totals.bytes, status);
        std::fclose(capture);
        vg::logging::closeCaptureTimesReader(captureTimes);
    }
    while (!replaying) {
        if (o.count >= 0 && totals.packets >= static_cast<unsigned long long>(o.count)) {
            break;
        }
        if (o.seconds >= 0 &&
            static_cast<double>(board.sample) >= o.seconds * board.config.sampleRate) {
            break;
        }
        const double sampleTime = static_cast<double>(board.sample) / board.config.sampleRate;
        vg::sim::nextSample(board, sample);
        std::size_t size = sample.size, packets = sample.packetCount;
        if (o.count >= 0 && totals.packets + packets > static_cast<unsigned long long>(o.count)) {
            packets =
                static_cast<std::size_t>(static_cast<unsigned long long>(o.count) - totals.packets);
            size = packets == 0
                       ? 0
                       : sample.packets[packets - 1].offset + sample.packets[packets - 1].length;
        }
        if (pace) {
            // Absolute deadlines: the sample's own time, and no faster than the line carries.
            // A late sample delays those behind it, as a link that delivers in order would.
            const double lineTime = static_cast<double>(totals.bytes) / kLineBytesPerSecond;
            const double late = o.jitterMs > 0 ? jitter(jitterRng) : 0.0;
            sleepUntil(addSeconds(start, std::max(sampleTime + late, lineTime)));
        }
        std::size_t written = 0;
        const Sent sent = writeAll(sink, isDevice, sample.bytes.data(), size, written);
        if (record != nullptr) {
            std::fwrite(sample.bytes.data(), 1, written, record);
            std::fflush(record);  // a watcher sees what was sent while the board lingers
        }
        totals.bytes += written;
        for (std::size_t i = 0; i < packets; ++i) {
            const auto& p = sample.packets[i];
            if (p.offset + p.length <= written) {
                ++totals.byKind[p.kind];
                ++totals.packets;
            }
        }
        totals.junk += sample.junk;
        if (sent != Sent::all) {
            ending = sent == Sent::readerGone ? "the reader went away"
                     : sent == Sent::stopped  ? "stopped"
                                              : "write failed";
            status = sent == Sent::failed ? 1 : 0;
            break;
        }
    }
    if (isDevice && std::strcmp(ending, "done") == 0) {
        // Give the reader time to take the last bytes: closing the device would discard them.
        const double lingerMs = o.linger * 1000.0;
        for (double waited = 0; waited < lingerMs && !stopRequested; waited += 50) {
            pollfd pf{sink, POLLIN, 0};
            if (poll(&pf, 1, 50) > 0 && (pf.revents & (POLLHUP | POLLERR))) {
                break;
            }
        }
    }
    if (record != nullptr) {
        std::fclose(record);
    }
    unlinkDevice();
    if (o.replay != nullptr) {
        lastLine("vglog-sim: played %llu bytes of %s; %s\n", totals.bytes, o.replay, ending);
        return status;
    }
    summary(totals, ending);
    return status;
}
