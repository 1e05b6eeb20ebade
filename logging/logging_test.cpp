#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "logging/logging.h"
#include "logging/scratch_dir_test_util.h"
#include "platform/console.h"

namespace vg::logging {
namespace {

namespace fs = std::filesystem;
using testutil::readFile;

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

const std::tm kStart = localTime(2012, 2, 28, 15, 21, 51);
const std::string kSamplesName = "anglesAndAccels.2012Feb28-152151.txt";
const std::string kMiscName = "misc.2012Feb28-152151.txt";
// A packet of an undecoded kind and the length of its dump line.
const std::uint8_t kDump[14] = {'$', 14,  'C', 'D', 'E', 'F', 'G',
                                'H', 'I', 'J', 'K', 'L', 'M', 'N'};
constexpr std::uintmax_t kDumpLine = 1 + 4 + 12 + 2;

struct LogDirTest : ::testing::Test {
    testutil::ScratchDir scratch;
    LogFiles logs;

    void TearDown() override { closeLogFiles(logs); }
    std::vector<std::string> filesHere() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(scratch.dir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void emptyDir() const {
        for (const auto& e : fs::directory_iterator(scratch.dir)) {
            fs::remove(e.path());
        }
    }
};

TEST(LogFileNameTest, NamesCarryTheLocalStartTimeWithLeadingZeros) {
    const struct {
        std::tm time;
        const char* prefix;
        const char* name;  // nullptr: refused
        std::size_t size = kNameBytes;
    } cases[] = {
        {kStart, "anglesAndAccels", "anglesAndAccels.2012Feb28-152151.txt"},
        {kStart, "misc", "misc.2012Feb28-152151.txt"},
        {localTime(2013, 1, 5, 9, 3, 7), "anglesAndAccels", "anglesAndAccels.2013Jan05-090307.txt"},
        {localTime(2013, 1, 5, 9, 3, 7), "misc", "misc.2013Jan05-090307.txt"},
        {localTime(1999, 12, 31, 23, 59, 60), "misc", "misc.1999Dec31-235960.txt"},
        {localTime(812, 7, 1, 0, 0, 0), "misc", "misc. 812Jul01-000000.txt"},
        {kStart, "anglesAndAccels", "anglesAndAccels.2012Feb28-152151.txt", 37},
        {kStart, "anglesAndAccels", nullptr, 36},  // no room for the terminator
        {localTime(2012, 0, 1, 0, 0, 0), "misc", nullptr},
        {localTime(2012, 13, 1, 0, 0, 0), "misc", nullptr},
    };
    for (const auto& c : cases) {
        char buf[kNameBytes];
        EXPECT_EQ(formatLogFileName(buf, c.size, c.prefix, c.time), c.name != nullptr);
        if (c.name != nullptr) {
            EXPECT_STREQ(buf, c.name);
        }
    }
}

TEST_F(LogDirTest, OpenWritesCloseLeavesBothLogsComplete) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    EXPECT_EQ(filesHere(), (std::vector<std::string>{kSamplesName, kMiscName}));
    EXPECT_EQ(openLogFilesAt(logs, localTime(2013, 1, 5, 9, 3, 7)), 1);  // no second pair
    AngleAccelRecord r;
    r.sample = 7;
    r.phi = 1.0f;
    r.theta = -0.5f;
    r.psi = 12345.5f;
    r.quat = {0.25f, 0, 0, -1.0f};
    r.quatRaw = {4096, 0, 0, -16384};  // never printed
    EXPECT_EQ(writeAngleAccelLine(logs, r), 0);
    r.sample = 40000;
    r.psi = 0;
    EXPECT_EQ(writeAngleAccelLine(logs, r), 0);
    const std::uint8_t odd[14] = {0x24, 0x0E, 0x03, 0x41, 0x5C, 0x7F, 0x80,
                                  0xFF, 0x20, 0x00, 0x0A, 0x0D, 0x7E, 0x25};
    EXPECT_EQ(dumpPacket(logs, odd, 14), 0);
    EXPECT_EQ(dumpPacket(logs, odd, 0), 0);
    // A dump longer than the line buffer is still one line.
    std::vector<std::uint8_t> many(1000, 1);
    EXPECT_EQ(dumpPacket(logs, many.data(), 1000), 0);
    EXPECT_EQ(closeLogFiles(logs), 0);
    EXPECT_EQ(logs.files[kSamplesLog].handle, platform::kNoFile);
    EXPECT_EQ(logs.files[kMiscLog].handle, platform::kNoFile);
    EXPECT_EQ(closeLogFiles(logs), 0);  // nothing left to close

    EXPECT_EQ(filesHere(), (std::vector<std::string>{kSamplesName, kMiscName}));
    EXPECT_EQ(readFile(kSamplesName),
              std::string(kSamplesHeader) +
                  "     7    1.00000   -0.50000 12345.50000    0.00000    0.00000    0.00000"
                  "    0.00000    0.00000    0.00000    0.25000    0.00000    0.00000   -1.00000"
                  "\r\n"
                  "-25536    1.00000   -0.50000    0.00000    0.00000    0.00000    0.00000"
                  "    0.00000    0.00000    0.00000    0.25000    0.00000    0.00000   -1.00000"
                  "\r\n");
    std::string manyLine;
    for (int i = 0; i < 1000; ++i) {
        manyLine += "\\001";
    }
    EXPECT_EQ(readFile(kMiscName),
              "$\\014\\003A\\\\127\\128\\255 \\000\\010\\013~%\r\n\r\n" + manyLine + "\r\n");
}

TEST_F(LogDirTest, OpenFromTheClockNamesBothLogsAlike) {
    ASSERT_EQ(openLogFiles(logs), 0);
    EXPECT_EQ(closeLogFiles(logs), 0);
    const auto names = filesHere();
    ASSERT_EQ(names.size(), 2u);
    const std::string stamp = names[0].substr(std::string("anglesAndAccels").size());
    EXPECT_EQ(stamp.size(), std::string(".2012Feb28-152151.txt").size());
    EXPECT_EQ(names[1], "misc" + stamp);
}

TEST_F(LogDirTest, NeverClobbersAndLeavesNothingOfAFailedOpen) {
    enum Plant { kFile, kDanglingLink, kLinkToFile };
    const struct {
        std::string name;  // the log name that is taken
        Plant plant;
    } cases[] = {{kSamplesName, kFile},
                 {kMiscName, kFile},  // the samples log made first is removed again
#ifndef _WIN32                        // links there need a privilege test machines do not grant
                 {kSamplesName, kDanglingLink},
                 {kSamplesName, kLinkToFile},
                 {kMiscName, kLinkToFile}
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " taken by plant " + std::to_string(c.plant));
        emptyDir();
        const std::string earlier = "an earlier run's lines\r\n";
        if (c.plant != kDanglingLink) {
            std::ofstream(c.plant == kFile ? c.name : "target", std::ios::binary) << earlier;
        }
        if (c.plant != kFile) {
            fs::create_symlink("target", c.name);
        }
        const auto before = filesHere();

        EXPECT_EQ(openLogFilesAt(logs, kStart), 1);

        EXPECT_EQ(logs.files[kSamplesLog].handle, platform::kNoFile);
        EXPECT_EQ(logs.files[kMiscLog].handle, platform::kNoFile);
        EXPECT_EQ(filesHere(), before);
        EXPECT_EQ(readFile(c.plant == kFile ? c.name : "target"),
                  c.plant == kDanglingLink ? "" : earlier);
        EXPECT_EQ(closeLogFiles(logs), 0);
    }
}

TEST_F(LogDirTest, LinesReachTheFilesWithinASecondButNotOneByOne) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    const std::uint64_t t0 = logs.lastFlushMs;
    AngleAccelRecord r;
    using Sizes = std::vector<std::uintmax_t>;
    const auto sizes = [&] { return Sizes{fs::file_size(kSamplesName), fs::file_size(kMiscName)}; };

    EXPECT_EQ(msUntilFlushDue(logs, t0), 1000);  // the header waits like everything else
    for (int i = 0; i < 10; ++i) {
        writeAngleAccelLine(logs, r);
        dumpPacket(logs, kDump, 14);
    }
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 400), 600);
    flushLogsIfDue(logs, t0 + 999);
    EXPECT_EQ(sizes(), (Sizes{0, 0}));
    flushLogsIfDue(logs, t0 + 1000);
    EXPECT_EQ(sizes(), (Sizes{151 * 11, 10 * kDumpLine}));

    // Nothing unflushed: nothing is due, however long the board stays silent.
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 5000), -1);
    flushLogsIfDue(logs, t0 + 5000);
    EXPECT_EQ(logs.lastFlushMs, t0 + 1000);
    // A line after a long silence goes out on the next pass.
    dumpPacket(logs, kDump, 14);
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 6000), 0);
    flushLogsIfDue(logs, t0 + 6000);
    EXPECT_EQ(sizes(), (Sizes{151 * 11, 11 * kDumpLine}));
    // Under a steady stream, one flush a second.
    writeAngleAccelLine(logs, r);
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 6001), 999);
    flushLogsIfDue(logs, t0 + 6999);
    EXPECT_EQ(sizes(), (Sizes{151 * 11, 11 * kDumpLine}));
    flushLogsIfDue(logs, t0 + 7000);
    EXPECT_EQ(sizes(), (Sizes{151 * 12, 11 * kDumpLine}));
}

#ifndef _WIN32  // a child with a file-size limit is a POSIX affair
// The run happens in a child process whose files may not grow beyond 1000 bytes for a while and
// whose standard error goes to a file. It never sets up SIGXFSZ itself: opening the logs must.
// Once a write has failed, lines that would fit again (the limit lifted, as a disk freed) must
// not be appended: the log stays the clean prefix of whole lines it was cut back to.
TEST_F(LogDirTest, AfterAFailedWriteTheLogStaysACleanPrefixOfWholeLines) {
    enum How { kFlush, kClose, kFullBuffer };
    for (const How how : {kFlush, kClose, kFullBuffer}) {
        SCOPED_TRACE(how);
        emptyDir();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            rlimit rl{1000, RLIM_INFINITY};
            if (std::freopen("stderr.txt", "w", stderr) == nullptr ||
                setrlimit(RLIMIT_FSIZE, &rl) != 0 || openLogFilesAt(logs, kStart) != 0) {
                _exit(99);
            }
            // More than the file's own buffer holds: the write itself runs into the limit.
            const int lines = how == kFullBuffer ? 1000 : 100;
            int failedWrites = 0;
            for (int i = 0; i < lines; ++i) {
                failedWrites += writeAngleAccelLine(logs, AngleAccelRecord{}) != 0;
                if (i < 20) {
                    dumpPacket(logs, kDump, 14);  // the misc log stays below the limit
                }
            }
            int closed = 0;
            if (how == kFlush) {
                flushLogsIfDue(logs, logs.lastFlushMs + 1000);
            } else if (how == kClose) {
                closed = closeLogFiles(logs);
            }
            const bool failedUnderLimit = logsFailed(logs);
            rl.rlim_cur = RLIM_INFINITY;
            setrlimit(RLIMIT_FSIZE, &rl);
            const bool refused = writeAngleAccelLine(logs, AngleAccelRecord{}) != 0;
            if (how != kClose) {
                closed = closeLogFiles(logs);
            }
            // The failure is noted once, with the system's reason, for the application to say.
            int code = 0;
            const bool noted =
                takeFileNote(logs.files[kSamplesLog], code) == FileNote::WriteFailed &&
                code == EFBIG && takeFileNote(logs.files[kSamplesLog], code) == FileNote::None;
            const bool ok = (how == kFullBuffer) == (failedWrites > 0) && failedUnderLimit &&
                            refused && closed == -1 && samplesHeld(logs) == 5 && noted;
            platform::consoleFlush(2000);
            _exit(ok ? 0 : 98);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(readFile("stderr.txt"), "");              // the layer says nothing itself
        EXPECT_EQ(fs::file_size(kSamplesName), 6u * 151u);  // the header and five whole lines
        EXPECT_EQ(fs::file_size(kMiscName), 20u * kDumpLine);
    }
}

#endif

TEST(LogFileNames, FolderGoesBeforeTheName) {
    struct Case {
        const char* dir;
        const char* expected;
        std::size_t size;
    };
    for (const Case& c :
         {Case{nullptr, "misc.txt", 64}, Case{"", "misc.txt", 64}, Case{"out", "out/misc.txt", 64},
          Case{"out/", "out/misc.txt", 64}, Case{"C:\\logs\\", "C:\\logs\\misc.txt", 64},
          Case{"out", nullptr, 12}}) {  // one byte short of "out/misc.txt"
        char buf[64] = "misc.txt";
        EXPECT_EQ(prependDir(buf, c.size, c.dir), c.expected != nullptr) << c.dir;
        if (c.expected != nullptr) {
            EXPECT_STREQ(buf, c.expected);
        }
    }
}

}  // namespace
}  // namespace vg::logging
