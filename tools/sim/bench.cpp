// vglog-sio-bench: how fast the framer cuts packets, and what draining a live port costs.
//   vglog-sio-bench framer            packets per second through frameBytes and takePacket
//   vglog-sio-bench drain PATH SECS [sleep|poll|idle] [MS]
//       CPU share of a drain loop on the device at PATH that sleeps 2 ms a pass, or waits for
//       the port to become readable (then 2 ms), or only sleeps (the loop's own cost); MS
//       replaces the 2 ms
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sio/sio.h"
#include "tools/sim/board.h"

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int framer() {
    // 40-byte packets laid end to end, fed in 4096-byte reads as the drain does.
    std::vector<std::uint8_t> stream;
    vg::sim::Board board;
    vg::sim::initBoard(board, vg::sim::defaultConfig());
    const vg::sim::Motion m = vg::sim::motionAt(board, 0);
    std::uint8_t packet[64];
    for (int i = 0; i < 100000; ++i) {
        vg::sim::encodeAngleAccel(packet, static_cast<std::uint16_t>(i), m);
        packet[1] = 40;
        stream.insert(stream.end(), packet, packet + 40);
    }
    auto ring = std::make_unique<vg::sio::PacketRing>();
    vg::sio::setRingSize(*ring, vg::sio::kMaxSlots);
    vg::sio::Framer f;
    std::uint8_t dest[vg::sio::kSlotBytes];
    std::size_t packets = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 50; ++round) {
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t n = std::min<std::size_t>(4096, stream.size() - at);
            packets += vg::sio::frameBytes(f, *ring, stream.data() + at, n);
            while (vg::sio::takePacket(*ring, dest) == 0) {
            }
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("framer: %zu packets of 40 bytes in %.3f s: %.0f packets/s\n", packets,
                took.count(), static_cast<double>(packets) / took.count());
    return 0;
}

int drain(const char* path, double seconds, const char* mode, unsigned sleepMs) {
    const bool waitForPort = std::strcmp(mode, "poll") == 0;
    const bool idle = std::strcmp(mode, "idle") == 0;
    auto link = std::make_unique<vg::sio::SerialLink>();
    auto ring = std::make_unique<vg::sio::PacketRing>();
    vg::sio::setLinkDevice(*link, path, 115200);
    if (vg::sio::openLink(*link, *ring) != 0) {
        return 1;
    }
    std::uint8_t dest[vg::sio::kSlotBytes];
    std::size_t packets = 0;
    double inDrain = 0;
    const double cpu0 = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        if (t.count() >= seconds) {
            break;
        }
        if (waitForPort) {
            pollfd p{link->portHandle, POLLIN, 0};
            poll(&p, 1, 100);
        }
        if (!idle) {
            const double before = threadCpuSeconds();
            vg::sio::drainPort(*link, *ring);
            while (vg::sio::takePacket(*ring, dest) == 0) {
                ++packets;
            }
            inDrain += threadCpuSeconds() - before;
        }
        usleep(sleepMs * 1000);
    }
    const double cpu = cpuSeconds() - cpu0;
    std::printf("drain (%s): %zu packets in %.1f s, CPU %.3f s = %.3f %% of a core\n", mode,
                packets, seconds, cpu, 100.0 * cpu / seconds);
    std::printf("  of which draining and taking: %.3f s = %.3f %% of a core\n", inDrain,
                100.0 * inDrain / seconds);
    vg::sio::closePort(*link);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "framer") == 0) {
        return framer();
    }
    if (argc >= 4 && argc <= 6 && std::strcmp(argv[1], "drain") == 0) {
        return drain(argv[2], std::atof(argv[3]), argc >= 5 ? argv[4] : "sleep",
                     argc == 6 ? static_cast<unsigned>(std::atoi(argv[5])) : 2u);
    }
    std::fprintf(stderr,
                 "usage: vglog-sio-bench framer | drain PATH SECONDS [sleep|poll|idle] [MS]\n");
    return 2;
}
