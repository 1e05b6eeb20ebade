#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/console.h"
#include "sio/sio.h"

namespace vg::sio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Console messages are written by the console's own thread: wait for them before looking.
// Deadlines here only cost time when something is wrong; a busy machine may stall for seconds.
constexpr int kPatienceMs = 20000;

std::string capturedStdout() {
    platform::consoleFlush(kPatienceMs);
    return GetCapturedStdout();
}

std::string capturedStderr() {
    platform::consoleFlush(kPatienceMs);
    return GetCapturedStderr();
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

// A pseudo-terminal standing in for the board's end of the line.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~Pty() { closeMaster(); }
    void closeMaster() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    void send(const Bytes& b) const {
        ASSERT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // What the logger sent: waits until at least `count` bytes came (or waitMs passed), then
    // takes whatever follows within 50 ms, so that a byte too many shows.
    Bytes received(std::size_t count = 1, int waitMs = kPatienceMs) const {
        Bytes out;
        pollfd p{master, POLLIN, 0};
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        auto msLeft = [&] {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            return out.size() >= count ? 50
                                       : static_cast<int>(std::max<long long>(0, left.count()));
        };
        while (poll(&p, 1, msLeft()) > 0 && (p.revents & POLLIN)) {
            std::uint8_t buf[256];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
};

// Sent bytes reach the slave's input queue a moment later.
void waitForBytes(SerialLink& link, std::uint32_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (bytesWaiting(link) < n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes packet(std::uint8_t len, std::uint8_t fill) {
    Bytes p(len, fill);
    p[0] = kPacketStart;
    p[1] = len;
    return p;
}

std::vector<Bytes> takeAll(PacketRing& ring) {
    std::vector<Bytes> out;
    std::array<std::uint8_t, kSlotBytes> dest{};
    while (takePacket(ring, dest.data()) == 0) {
        out.emplace_back(dest.begin(), dest.begin() + dest[1]);
    }
    return out;
}

struct LinkTest : ::testing::Test {
    Pty pty;
    std::unique_ptr<SerialLink> link = std::make_unique<SerialLink>();
    std::unique_ptr<PacketRing> ring = std::make_unique<PacketRing>();

    void SetUp() override { ASSERT_FALSE(pty.slave.empty()); }
    void TearDown() override { closePort(*link); }

    int open(std::uint32_t baud = 115200) {
        setLinkDevice(*link, pty.slave.c_str(), baud);
        return openLink(*link, *ring);
    }
};

TEST(LinkConfigTest, StoresOnlyAPortAndSpeedThatAreBothSet) {
    const struct {
        std::uint16_t port;
        std::uint32_t baud;
        std::uint16_t wantPort;
        std::uint32_t wantBaud;
    } cases[] = {{7, 115200, 7, 115200}, {0, 115200, 4, 9600}, {3, 0, 4, 9600}, {0, 0, 4, 9600}};
    for (const auto& c : cases) {
        SerialLink link;
        setLinkConfig(link, 4, 9600);
        setLinkConfig(link, c.port, c.baud);
        EXPECT_EQ(link.portNumber, c.wantPort) << c.port << " " << c.baud;
        EXPECT_EQ(link.baudRate, c.wantBaud) << c.port << " " << c.baud;
    }
}

TEST(LinkConfigTest, PortNumbersNameTheirDevice) {
    const struct {
        std::uint16_t port;
        const char* name;
    } cases[] = {{1, "/dev/ttyS0"}, {4, "/dev/ttyS3"}, {65535, "/dev/ttyS65534"}, {0, ""}};
    for (const auto& c : cases) {
        char name[platform::kPortNameSize];
        platform::serialPortName(c.port, name);
        EXPECT_STREQ(name, c.name) << c.port;
    }
}

TEST_F(LinkTest, AppliesRawLineSettingsAtTheAskedSpeed) {
    for (const auto& [baud, speed] :
         {std::pair{115200u, B115200}, {9600u, B9600}, {57600u, B57600}}) {
        SCOPED_TRACE(baud);
        ASSERT_EQ(open(baud), 0);
        termios t{};
        ASSERT_EQ(tcgetattr(link->portHandle, &t), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(cfgetispeed(&t), speed);
        EXPECT_EQ(cfgetospeed(&t), speed);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_NE(fcntl(link->portHandle, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(link->portHandle, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(bytesWaiting(*link), 0u);
        closePort(*link);
        pty.received();
    }
}

TEST_F(LinkTest, SendsTheStartByteOnceAfterTheLineIsRaw) {
    // With output processing that turns lower case into upper case, a "w" sent before the line
    // was made raw would arrive as "W".
    termios t{};
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    t.c_oflag |= OPOST | OLCUC;
    ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &t), 0);

    ASSERT_EQ(open(), 0);
    EXPECT_EQ(ring->slotCount, kMaxSlots);
    EXPECT_EQ(pty.received(), Bytes{'w'});
}

TEST_F(LinkTest, ReopeningKeepsTheRingSizeAndReleasesTheOldPort) {
    setRingSize(*ring, 10);
    ASSERT_EQ(open(), 0);
    const int descriptors = openDescriptors();
    ASSERT_EQ(open(), 0);  // the old descriptor, and its lock, must go or this open is refused
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(ring->slotCount, 10);
    EXPECT_EQ(pty.received(2), (Bytes{'w', 'w'}));
}

TEST_F(LinkTest, SecondOpenerIsRefusedWhileTheFirstKeepsWorking) {
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(pty.received(), Bytes{'w'});

    auto second = std::make_unique<SerialLink>();
    auto secondRing = std::make_unique<PacketRing>();
    setLinkDevice(*second, pty.slave.c_str(), 115200);
    CaptureStderr();
    EXPECT_EQ(openLink(*second, *secondRing), -1);
    EXPECT_THAT(capturedStderr(), HasSubstr("Error: Unable to open the port"));
    EXPECT_EQ(second->portHandle, platform::kInvalidPort);
    EXPECT_EQ(secondRing->slotCount, 0);
    EXPECT_TRUE(pty.received(0, 50).empty());

    const Bytes p = packet(13, 2);
    pty.send(p);
    waitForBytes(*link, 13);
    drainPort(*link, *ring);
    EXPECT_EQ(takeAll(*ring), std::vector<Bytes>{p});
}

// Every failed open reports its text, leaves the ring unsized, sends nothing and leaks no
// descriptor.
TEST(LinkOpenFailureTest, ReportsAndLeavesNothingBehind) {
    char file[] = "/tmp/vglog-link-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());

    const struct {
        const char* name;
        const char* path;  // nullptr: by port number 0
        std::uint32_t baud;
        const char* message;
    } cases[] = {
        {"regular file", file, 115200, "Error: Unable to configure the serial port"},
        {"missing device", "/dev/vglog-no-such-port", 115200, "Error: Unable to open the port"},
        {"port 0", nullptr, 115200, "Error: Unable to open the port"},
        {"speed the system lacks", pty.slave.c_str(), 12345,
         "Error: Unable to configure the serial port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto link = std::make_unique<SerialLink>();
        auto ring = std::make_unique<PacketRing>();
        if (c.path != nullptr) {
            setLinkDevice(*link, c.path, c.baud);
        } else {
            link->baudRate = c.baud;
        }
        const int before = openDescriptors();
        CaptureStderr();
        CaptureStdout();
        EXPECT_EQ(openLink(*link, *ring), -1);
        EXPECT_TRUE(capturedStdout().empty());
        EXPECT_THAT(capturedStderr(), HasSubstr(c.message));
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_EQ(link->portHandle, platform::kInvalidPort);
        EXPECT_EQ(ring->slotCount, 0);
    }
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(in.peek(), std::ifstream::traits_type::eof()) << "a byte reached the file";
    EXPECT_TRUE(pty.received(0, 50).empty());
    unlink(file);
}

TEST_F(LinkTest, PacketSplitAcrossDrainsArrivesWhole) {
    ASSERT_EQ(open(), 0);
    const Bytes p = packet(42, 0x61);
    const Bytes first(p.begin(), p.begin() + 20), rest(p.begin() + 20, p.end());

    pty.send(Bytes{'x', 'y', 'z'} + first);
    waitForBytes(*link, 23);
    drainPort(*link, *ring);
    std::uint16_t n = 99;
    countPackets(*ring, n);
    EXPECT_EQ(n, 0);

    pty.send(rest + Bytes{0x24, 2});
    waitForBytes(*link, 24);
    drainPort(*link, *ring);
    EXPECT_EQ(takeAll(*ring), (std::vector<Bytes>{p, Bytes{0x24, 2}}));
}

TEST_F(LinkTest, ABacklogOfTinyPacketsNeverOverflowsTheRing) {
    // 10 000 two-byte packets: a drain that read the whole backlog before the decoder ran would
    // push more than the ring's 4095 and drop the oldest.
    ASSERT_EQ(open(), 0);
    constexpr std::size_t kPackets = 10000;
    Bytes stream;
    for (std::size_t i = 0; i < kPackets; ++i) {
        stream = stream + Bytes{0x24, 2};
    }
    std::thread writer([&] {
        for (std::size_t done = 0; done < stream.size();) {
            const ssize_t n = write(pty.master, stream.data() + done, stream.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            }
        }
    });
    std::size_t taken = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (taken < kPackets && std::chrono::steady_clock::now() < until) {
        drainPort(*link, *ring);
        const auto packets = takeAll(*ring);
        for (const auto& p : packets) {
            EXPECT_EQ(p, (Bytes{0x24, 2}));
        }
        taken += packets.size();
    }
    writer.join();
    EXPECT_EQ(taken, kPackets);
}

TEST_F(LinkTest, WarnsOnceAboutABacklog) {
    ASSERT_EQ(open(), 0);
    const struct {
        std::uint32_t bytes;
        const char* expected;
    } cases[] = {{2048, ""}, {2050, "******** serial buffer has 2050 bytes\n"}};
    for (const auto& c : cases) {
        Bytes stream;
        while (stream.size() + 41 <= c.bytes) {
            stream = stream + packet(41, 3);
        }
        stream = stream + Bytes(c.bytes - stream.size(), 0);
        pty.send(stream);
        waitForBytes(*link, c.bytes);
        ASSERT_EQ(bytesWaiting(*link), c.bytes);
        CaptureStdout();
        drainPort(*link, *ring);
        drainPort(*link, *ring);
        EXPECT_EQ(capturedStdout(), c.expected);
        EXPECT_EQ(takeAll(*ring).size(), c.bytes / 41);
    }
}

TEST_F(LinkTest, ReadFailureNamesWhereInThePacketItCame) {
    const struct {
        Bytes before;
        const char* expected;
    } cases[] = {
        {{}, "Can't read SIO driver (ERR2)\r\n"},
        {{0x24}, "Can't read SIO driver (ERR2)\r\n"},
        {{0x24, 40, 10, 1, 2}, "Can't read SIO driver (ERR3)\r\n"},
    };
    for (const auto& c : cases) {
        Pty line;
        auto l = std::make_unique<SerialLink>();
        setLinkDevice(*l, line.slave.c_str(), 115200);
        ASSERT_EQ(openLink(*l, *ring), 0);
        line.send(c.before);
        waitForBytes(*l, static_cast<std::uint32_t>(c.before.size()));
        drainPort(*l, *ring);
        line.closeMaster();  // the far end hangs up: reads on the slave now fail
        CaptureStdout();
        drainPort(*l, *ring);
        drainPort(*l, *ring);
        EXPECT_EQ(capturedStdout(), c.expected) << "said once per loss";
        EXPECT_EQ(watchLink(*l, 0), LinkEvent::Lost);
        EXPECT_EQ(l->framer.cutPackets, c.before.empty() ? 0u : 1u);
        EXPECT_EQ(l->portHandle, platform::kInvalidPort) << "a lost port is closed";
    }
}

// The board's device is a link that a replug points at a new terminal: the link is tried once
// a second, without a notice, and gets the start byte again when it is back.
TEST(LinkReturnTest, ALostLinkIsOpenedAgainWhenTheDeviceReturns) {
    char dir[] = "/tmp/vglog-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string device = std::string(dir) + "/board";
    auto ring = std::make_unique<PacketRing>();
    auto link = std::make_unique<SerialLink>();
    auto first = std::make_unique<Pty>();
    ASSERT_EQ(symlink(first->slave.c_str(), device.c_str()), 0);
    setLinkDevice(*link, device.c_str(), 115200);
    ASSERT_EQ(openLink(*link, *ring), 0);
    EXPECT_EQ(first->received(), Bytes{'w'});
    first->closeMaster();
    CaptureStdout();
    CaptureStderr();
    drainPort(*link, *ring);
    EXPECT_EQ(watchLink(*link, 1000), LinkEvent::Lost);
    EXPECT_EQ(msUntilRetry(*link, 1400), 600);
    EXPECT_EQ(watchLink(*link, 1999), LinkEvent::None) << "not before a second has passed";
    EXPECT_EQ(watchLink(*link, 2000), LinkEvent::None) << "still gone, as the loss said";

    // Something that is no serial port under the name: a new reason, told once.
    const std::string file = std::string(dir) + "/file";
    std::ofstream(file).put('x');
    unlink(device.c_str());
    ASSERT_EQ(symlink(file.c_str(), device.c_str()), 0);
    EXPECT_EQ(watchLink(*link, 3000), LinkEvent::StillWaiting);
    EXPECT_EQ(link->waitReason, WaitReason::Other);
    EXPECT_THAT(link->waitDetail.data(), HasSubstr("Unable to configure the serial port: "));
    EXPECT_EQ(watchLink(*link, 4000), LinkEvent::None) << "the same reason again";

    Pty second;
    unlink(device.c_str());
    ASSERT_EQ(symlink(second.slave.c_str(), device.c_str()), 0);
    EXPECT_EQ(watchLink(*link, 4500), LinkEvent::None);
    EXPECT_EQ(watchLink(*link, 5000), LinkEvent::Back);
    EXPECT_EQ(GetCapturedStderr(), "") << "retries show no notice";
    capturedStdout();
    EXPECT_EQ(second.received(), Bytes{'w'});
    EXPECT_EQ(link->losses, 1u);
    EXPECT_EQ(link->lostTotalMs, 4000u);
    EXPECT_EQ(msUntilRetry(*link, 5000), -1);
    second.send(packet(20, 7));
    waitForBytes(*link, 20);
    drainPort(*link, *ring);
    EXPECT_EQ(takeAll(*ring), std::vector<Bytes>{packet(20, 7)});
    closePort(*link);
    unlink(device.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

TEST(LinkWriteTest, FailedWriteIsReportedAndStillSucceeds) {
    SerialLink link;  // never opened
    const std::uint8_t w = 'w';
    CaptureStdout();
    EXPECT_EQ(writeBytes(link, &w, 1), 0);
    EXPECT_EQ(capturedStdout(), "Can't write SIO driver (ERR4)\r\n");
    EXPECT_EQ(bytesWaiting(link), 0u);
}

}  // namespace
}  // namespace vg::sio
