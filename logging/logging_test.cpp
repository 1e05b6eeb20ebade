#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/logging.h"

namespace vg::logging {
namespace {

namespace fs = std::filesystem;

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
const std::uint8_t dump[14] = {'$', 14, 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N'};
constexpr std::uintmax_t kDumpLine = 1 + 4 + 12 + 2;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Every test runs in a fresh directory of its own, so the logs land there and nowhere else.
struct LogDirTest : ::testing::Test {
    fs::path home;
    fs::path dir;
    LogFiles logs;

    void SetUp() override {
        home = fs::current_path();
        std::string tmpl = (fs::temp_directory_path() / "vglog-logging-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        fs::current_path(dir);
    }
    void TearDown() override {
        closeLogFiles(logs);
        fs::current_path(home);
        fs::remove_all(dir);
    }
    std::vector<std::string> filesHere() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(LogFileNameTest, NamesCarryTheLocalStartTimeWithLeadingZeros) {
    const struct {
        std::tm time;
        const char* prefix;
        const char* name;
    } cases[] = {
        {localTime(2012, 2, 28, 15, 21, 51), "anglesAndAccels",
         "anglesAndAccels.2012Feb28-152151.txt"},
        {localTime(2012, 2, 28, 15, 21, 51), "misc", "misc.2012Feb28-152151.txt"},
        {localTime(2013, 1, 5, 9, 3, 7), "anglesAndAccels", "anglesAndAccels.2013Jan05-090307.txt"},
        {localTime(2013, 1, 5, 9, 3, 7), "misc", "misc.2013Jan05-090307.txt"},
        {localTime(1999, 12, 31, 23, 59, 60), "misc", "misc.1999Dec31-235960.txt"},
        {localTime(812, 7, 1, 0, 0, 0), "misc", "misc. 812Jul01-000000.txt"},
    };
    for (const auto& c : cases) {
        char buf[kNameBytes];
        ASSERT_TRUE(formatLogFileName(buf, sizeof buf, c.prefix, c.time)) << c.name;
        EXPECT_STREQ(buf, c.name);
    }
}

TEST(LogFileNameTest, RefusesAMonthOutOfRangeAndANameThatDoesNotFit) {
    char buf[kNameBytes];
    for (const int month : {-1, 12, 1000}) {
        std::tm t = kStart;
        t.tm_mon = month;
        EXPECT_FALSE(formatLogFileName(buf, sizeof buf, "misc", t)) << month;
    }
    const std::string longest = "anglesAndAccels.2012Feb28-152151.txt";
    EXPECT_TRUE(formatLogFileName(buf, longest.size() + 1, "anglesAndAccels", kStart));
    EXPECT_FALSE(formatLogFileName(buf, longest.size(), "anglesAndAccels", kStart));
}

TEST_F(LogDirTest, OpenCreatesBothLogsAndCloseLeavesThemComplete) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    EXPECT_EQ(filesHere(), (std::vector<std::string>{kSamplesName, kMiscName}));
    AngleAccelRecord r;
    r.sample = 7;
    r.phi = 1.0f;
    r.theta = -0.5f;
    r.psi = 12345.5f;
    r.quat = {0.25f, 0, 0, -1.0f};
    r.quatRaw = {4096, 0, 0, -16384};
    EXPECT_EQ(writeAngleAccelLine(logs, r), 0);
    r.sample = 40000;
    r.psi = 0;
    EXPECT_EQ(writeAngleAccelLine(logs, r), 0);
    const std::uint8_t odd[14] = {0x24, 0x0E, 0x03, 0x41, 0x5C, 0x7F, 0x80,
                                  0xFF, 0x20, 0x00, 0x0A, 0x0D, 0x7E, 0x25};
    EXPECT_EQ(dumpPacket(logs, odd, 14), 0);
    EXPECT_EQ(dumpPacket(logs, odd, 0), 0);
    EXPECT_EQ(closeLogFiles(logs), 0);
    EXPECT_EQ(logs.logFiles[kSamplesLog], nullptr);
    EXPECT_EQ(logs.logFiles[kMiscLog], nullptr);

    EXPECT_EQ(readFile(kSamplesName),
              std::string(kSamplesHeader) +
                  "     7    1.00000   -0.50000 12345.50000    0.00000    0.00000    0.00000"
                  "    0.00000    0.00000    0.00000    0.25000    0.00000    0.00000   -1.00000"
                  "\r\n"
                  "-25536    1.00000   -0.50000    0.00000    0.00000    0.00000    0.00000"
                  "    0.00000    0.00000    0.00000    0.25000    0.00000    0.00000   -1.00000"
                  "\r\n");
    EXPECT_EQ(readFile(kMiscName), "$\\014\\003A\\\\127\\128\\255 \\000\\010\\013~%\r\n\r\n");
    // Closing again has nothing left to do.
    EXPECT_EQ(closeLogFiles(logs), 0);
    EXPECT_EQ(filesHere(), (std::vector<std::string>{kSamplesName, kMiscName}));
}

TEST_F(LogDirTest, ALongDumpIsOneLineOfAllItsBytes) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    std::vector<std::uint8_t> bytes(1000);
    std::string expected;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i % 2 == 0 ? 'a' + i % 26 : 1);
        expected += i % 2 == 0 ? std::string(1, static_cast<char>('a' + i % 26)) : "\\001";
    }
    EXPECT_EQ(dumpPacket(logs, bytes.data(), 1000), 0);
    EXPECT_EQ(dumpPacket(logs, bytes.data(), -1), 0);
    EXPECT_EQ(closeLogFiles(logs), 0);
    EXPECT_EQ(readFile(kMiscName), expected + "\r\n\r\n");
}

TEST_F(LogDirTest, NeverClobbersAndLeavesNothingOfAFailedOpen) {
    enum Plant { kFile, kDanglingLink, kLinkToFile };
    const struct {
        const char* what;
        std::string name;  // which log's name is taken
        Plant plant;
    } cases[] = {
        {"samples log exists", kSamplesName, kFile},
        {"misc log exists", kMiscName, kFile},
        {"dangling link at the samples log", kSamplesName, kDanglingLink},
        {"link to a file at the samples log", kSamplesName, kLinkToFile},
        {"link to a file at the misc log", kMiscName, kLinkToFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir)) {
            fs::remove(e.path());
        }
        const std::string earlier = "an earlier run's lines\r\n";
        if (c.plant == kFile) {
            writeFile(c.name, earlier);
        } else {
            if (c.plant == kLinkToFile) {
                writeFile("target", earlier);
            }
            fs::create_symlink("target", c.name);
        }
        const auto before = filesHere();

        EXPECT_EQ(openLogFilesAt(logs, kStart), 1);

        EXPECT_EQ(logs.logFiles[kSamplesLog], nullptr);
        EXPECT_EQ(logs.logFiles[kMiscLog], nullptr);
        EXPECT_EQ(filesHere(), before);  // the samples log made first is gone again
        EXPECT_EQ(readFile(c.plant == kFile ? c.name : "target"),
                  c.plant == kDanglingLink ? "" : earlier);
        EXPECT_EQ(closeLogFiles(logs), 0);
    }
}

TEST_F(LogDirTest, ASecondOpenKeepsTheFirstPair) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    std::FILE* samples = logs.logFiles[kSamplesLog];
    EXPECT_EQ(openLogFilesAt(logs, localTime(2013, 1, 5, 9, 3, 7)), 1);
    EXPECT_EQ(logs.logFiles[kSamplesLog], samples);
    EXPECT_EQ(closeLogFiles(logs), 0);
    EXPECT_EQ(filesHere(), (std::vector<std::string>{kSamplesName, kMiscName}));
}

TEST_F(LogDirTest, OpenFromTheClockNamesBothLogsAlike) {
    ASSERT_EQ(openLogFiles(logs), 0);
    EXPECT_EQ(closeLogFiles(logs), 0);
    const auto names = filesHere();
    ASSERT_EQ(names.size(), 2u);
    const std::string stamp = names[0].substr(std::string("anglesAndAccels").size());
    EXPECT_EQ(names[0], "anglesAndAccels" + stamp);
    EXPECT_EQ(names[1], "misc" + stamp);
    EXPECT_EQ(stamp.size(), std::string(".2012Feb28-152151.txt").size());
}

TEST_F(LogDirTest, LinesReachTheFilesWithinASecondButNotOneByOne) {
    ASSERT_EQ(openLogFilesAt(logs, kStart), 0);
    const std::uint64_t t0 = logs.lastFlushMs;
    AngleAccelRecord r;
    const auto sizes = [&] {
        return std::vector<std::uintmax_t>{fs::file_size(kSamplesName), fs::file_size(kMiscName)};
    };
    using Sizes = std::vector<std::uintmax_t>;

    // The header waits for the first due flush like everything else.
    EXPECT_EQ(msUntilFlushDue(logs, t0), 1000);
    for (int i = 0; i < 10; ++i) {
        writeAngleAccelLine(logs, r);
        dumpPacket(logs, dump, 14);
    }
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 400), 600);
    flushLogsIfDue(logs, t0 + 999);
    EXPECT_EQ(sizes(), (Sizes{0, 0}));
    flushLogsIfDue(logs, t0 + 1000);
    const Sizes afterFirst{151 * 11, 10 * kDumpLine};
    EXPECT_EQ(sizes(), afterFirst);

    // Nothing unflushed: nothing is due, however long the board stays silent.
    EXPECT_EQ(msUntilFlushDue(logs, t0 + 5000), -1);
    flushLogsIfDue(logs, t0 + 5000);
    EXPECT_EQ(logs.lastFlushMs, t0 + 1000);

    // A line after a long silence goes out on the next pass, not a second later.
    dumpPacket(logs, dump, 14);
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
    EXPECT_EQ(closeLogFiles(logs), 0);
}

// Runs body in a child process whose files may not grow beyond limit bytes and whose standard
// error goes to "stderr.txt"; returns the child's wait status.
template <typename Body>
int runWithFileSizeLimit(rlim_t limit, Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* err = std::freopen("stderr.txt", "w", stderr);
        rlimit rl{limit, RLIM_INFINITY};
        if (err == nullptr || setrlimit(RLIMIT_FSIZE, &rl) != 0) {
            _exit(99);
        }
        const int code = body();
        std::fflush(stderr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(LogDirTest, AFailedWriteIsReportedOnceAndTheRunFails) {
    AngleAccelRecord r;
    enum How { kManyLines, kFewLinesThenClose, kFewLinesThenFlush };
    const struct {
        const char* what;
        How how;
        const char* verb;
    } cases[] = {
        {"a write runs into the limit", kManyLines, "writing"},
        {"the buffered rest fails at close", kFewLinesThenClose, "closing"},
        {"the buffered rest fails at the timed flush", kFewLinesThenFlush, "writing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir)) {
            fs::remove(e.path());
        }
        const int status = runWithFileSizeLimit(1000, [&] {
            if (openLogFilesAt(logs, kStart) != 0) {
                return 98;
            }
            const int lines = c.how == kManyLines ? 100 : 8;  // 8 lines fit the stream buffer
            int failedWrites = 0;
            for (int i = 0; i < lines; ++i) {
                failedWrites += writeAngleAccelLine(logs, r) != 0;
                if (i < 20) {
                    dumpPacket(logs, dump, 14);  // the misc log stays below the limit
                }
            }
            if ((c.how == kManyLines) != (failedWrites > 0)) {
                return 97;
            }
            if (c.how == kFewLinesThenFlush) {
                flushLogsIfDue(logs, logs.lastFlushMs + 1000);
            }
            return closeLogFiles(logs) == -1 ? 0 : 96;
        });
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(readFile("stderr.txt"), "Error " + std::string(c.verb) + " log file " +
                                              kSamplesName + ": " + std::strerror(EFBIG) + "\r\n");
        EXPECT_EQ(fs::file_size(kSamplesName), 1000u);
        EXPECT_EQ(readFile(kMiscName).size(), (c.how == kManyLines ? 20u : 8u) * kDumpLine);
    }
}

}  // namespace
}  // namespace vg::logging
