#include <gtest/gtest.h>

#include <ctime>

#include "app/replay.h"

namespace vg::app {
namespace {

TEST(StampFromCaptureName, ReadsTheStampOfACaptureNameAndNothingElse) {
    struct Case {
        const char* path;
        bool hasStamp;
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    };
    const Case cases[] = {
        {"raw.2012Feb28-152151.bin", true, 2012, 1, 28, 15, 21, 51},
        {"/data/field/raw.1999Dec31-235960.bin", true, 1999, 11, 31, 23, 59, 60},
        {"C:\\logs\\raw.2030Jan01-000000.bin", true, 2030, 0, 1, 0, 0, 0},
        {"raw.2012Feb28-152151.txt", false, 0, 0, 0, 0, 0, 0},
        {"raw.2012Fob28-152151.bin", false, 0, 0, 0, 0, 0, 0},
        {"raw.2012Feb00-152151.bin", false, 0, 0, 0, 0, 0, 0},
        {"raw.2012Feb28-246000.bin", false, 0, 0, 0, 0, 0, 0},
        {"raw.2012Feb28-15215x.bin", false, 0, 0, 0, 0, 0, 0},
        {"raw.2012Feb28-152151.bin.bak", false, 0, 0, 0, 0, 0, 0},
        {"board-42.bin", false, 0, 0, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::tm t{};
        ASSERT_EQ(stampFromCaptureName(c.path, t), c.hasStamp);
        if (c.hasStamp) {
            EXPECT_EQ(t.tm_year + 1900, c.year);
            EXPECT_EQ(t.tm_mon, c.month);
            EXPECT_EQ(t.tm_mday, c.day);
            EXPECT_EQ(t.tm_hour, c.hour);
            EXPECT_EQ(t.tm_min, c.minute);
            EXPECT_EQ(t.tm_sec, c.second);
        }
    }
}

}  // namespace
}  // namespace vg::app
