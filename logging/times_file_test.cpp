#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include "logging/capture_times.h"
#include "logging/scratch_dir_test_util.h"
#include "logging/times_file.h"

namespace vg::logging {
namespace {

using testutil::readFile;

void writeFile(const char* name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

TEST(TimesFile, RowsInTheirFormat) {
    struct Case {
        TimesRow row;
        const char* text;
    };
    const Case cases[] = {
        {{1, 0, 0, 1796771647123456, 190, 190},
         "1,0,0,2026-12-08T23:14:07.123456Z,0.000190,0.000190\n"},
        {{70000, -32768, 98304, 1709164800000001, 3601000000, 3600999999},
         "70000,-32768,98304,2024-02-29T00:00:00.000001Z,3601.000000,3600.999999\n"},
        {{2, 32767, 32767, 951868799999999, 12, 0},
         "2,32767,32767,2000-02-29T23:59:59.999999Z,0.000012,0.000000\n"},
        {{3, -1, 65535, -1, -5, -5},
         "3,-1,65535,1969-12-31T23:59:59.999999Z,-0.000005,-0.000005\n"},
    };
    TimesRowCache cache;
    for (const Case& c : cases) {
        char buf[kMaxTimesRow];
        EXPECT_EQ(std::string(buf, formatTimesRow(buf, c.row, cache)), c.text);
    }
    // Counting up, by one and by more, through every carry of the text.
    char buf[kMaxTimesRow];
    for (std::uint64_t n = 1; n < 100002; n += n % 7 == 0 ? 3u : 1u) {
        const TimesRow row{n, 0, static_cast<std::int64_t>(n * 10 - 1), 0, 0, 0};
        const std::string text(buf, formatTimesRow(buf, row, cache));
        ASSERT_EQ(text.substr(0, text.find(",1970-01-01")),
                  std::to_string(n) + ",0," + std::to_string(n * 10 - 1));
    }
}

TEST(TimesFile, CreatedExclusivelyBesideTheLogsWithItsHeader) {
    testutil::ScratchDir scratch;
    std::tm start{};
    start.tm_year = 2012 - 1900;
    start.tm_mon = 1;
    start.tm_mday = 28;
    start.tm_hour = 15;
    start.tm_min = 21;
    start.tm_sec = 51;
    std::filesystem::create_directory("sub");
    TimesFile times;
    ASSERT_EQ(openTimesFile(times, "sub", start), 0);
    EXPECT_STREQ(times.name.data(), "sub/times.2012Feb28-152151.csv");
    TimesRowCache cache;
    writeTimesRow(times, {1, 5, 5, 0, 0, 0}, cache);
    EXPECT_EQ(closeOutputFile(times.file), 0);
    EXPECT_EQ(readFile("sub/times.2012Feb28-152151.csv"),
              std::string(kTimesHeader) + "1,5,5,1970-01-01T00:00:00.000000Z,0.000000,0.000000\n");
    TimesFile again;
    EXPECT_EQ(openTimesFile(again, "sub/", start), 1) << "an existing file is never replaced";
    EXPECT_EQ(readFile("sub/times.2012Feb28-152151.csv").size(), 42u + 52u);
}

TEST(CaptureTimes, WhatIsWrittenReadsBackAndDamageIsFound) {
    testutil::ScratchDir scratch;
    CaptureTimes out;
    ASSERT_EQ(openCaptureTimes(out, "cap.bin", 1796771647123456), 0);
    const std::int64_t state[] = {1, -7, 65529, -9007199254740993, 0};
    noteCaptureState(out, state, 5);
    noteCaptureRead(out, 190, 115);
    noteCaptureLoss(out, 2000000);
    noteCaptureRead(out, 3000001, 4096);
    ASSERT_EQ(closeOutputFile(out.file), 0);
    EXPECT_EQ(readFile("cap.bin.times"),
              "vglog capture times 2\nstart 1796771647123456 2026-12-08T23:14:07.123456Z\n"
              "state 1 -7 65529 -9007199254740993 0\n190 115\n2000000 lost\n3000001 4096\n");

    CaptureTimesReader in;
    ASSERT_EQ(openCaptureTimesReader(in, "cap.bin"), 0);
    EXPECT_EQ(in.wallStartUs, 1796771647123456);
    EXPECT_EQ(std::vector<std::int64_t>(in.state.begin(), in.state.begin() + in.stateCount),
              std::vector<std::int64_t>(std::begin(state), std::end(state)));
    std::int64_t us = 0;
    std::size_t bytes = 0;
    EXPECT_EQ(nextCaptureTimesEntry(in, us, bytes), CaptureTimesEntry::Read);
    EXPECT_EQ(us, 190);
    EXPECT_EQ(bytes, 115u);
    EXPECT_EQ(nextCaptureTimesEntry(in, us, bytes), CaptureTimesEntry::Loss);
    EXPECT_EQ(us, 2000000);
    EXPECT_EQ(nextCaptureTimesEntry(in, us, bytes), CaptureTimesEntry::Read);
    EXPECT_EQ(bytes, 4096u);
    EXPECT_EQ(nextCaptureTimesEntry(in, us, bytes), CaptureTimesEntry::End);
    closeCaptureTimesReader(in);

    EXPECT_EQ(openCaptureTimesReader(in, "none.bin"), -1);
    EXPECT_EQ(errno, ENOENT);
    // Both versions; the first entry may follow the header directly.
    for (const char* version : {"1", "2"}) {
        for (const char* body :
             {"190 115\n", "190 0\n", "-3 12\n", "190 115 7\n", "190\n", "state 1\n"}) {
            SCOPED_TRACE(std::string(version) + ": " + body);
            writeFile("bad.bin.times",
                      std::string("vglog capture times ") + version + "\nstart 5\n" + body);
            ASSERT_EQ(openCaptureTimesReader(in, "bad.bin"), 0);
            const bool good = std::string(body) == "190 115\n";
            EXPECT_EQ(nextCaptureTimesEntry(in, us, bytes),
                      good ? CaptureTimesEntry::Read
                      : std::string(body) == "state 1\n" && version[0] == '2'
                          ? CaptureTimesEntry::End
                          : CaptureTimesEntry::Bad);
            closeCaptureTimesReader(in);
        }
    }
    for (const char* header :
         {"vglog capture times 3\nstart 5\n", "vglog capture times 2\nstart 5\nstate\n",
          "vglog capture times 2\nstart 5\nstate 1 x\n",
          "vglog capture times 2\nstart 5\nstate 1  2\n"}) {
        SCOPED_TRACE(header);
        writeFile("bad.bin.times", header);
        EXPECT_EQ(openCaptureTimesReader(in, "bad.bin"), 1);
    }
}

}  // namespace
}  // namespace vg::logging
