#include "app/set_names.h"

#include <gtest/gtest.h>

#include <set>

namespace vg::app {
namespace {

constexpr std::uint64_t kMin = 60'000;
constexpr std::uint64_t kHour = 60 * kMin;

TEST(SetNames, SetsStartOnTheClocksBoundaries) {
    struct Case {
        std::uint64_t msOfDay, period, expected;
    };
    const Case cases[] = {
        {10 * kHour + 20 * kMin, kHour, 40 * kMin},                  // 10:20 -> 11:00
        {10 * kHour, kHour, kHour},                                  // on the hour: a whole one
        {10 * kHour + 16 * kMin + 500, 15 * kMin, 14 * kMin - 500},  // -> 10:30
        {23 * kHour + 59 * kMin, kDayMs, kMin},                      // 1d: midnight
        {1 * kHour, 2 * kDayMs, 23 * kHour},                         // 2d: the next midnight
        {1234, 7 * kMin, 7 * kMin},  // no boundary in a day: a whole period
        {3500, 2000, 500},           // seconds too
    };
    for (const Case& c : cases) {
        EXPECT_EQ(msToSetBoundary(c.msOfDay, c.period), c.expected) << c.msOfDay << " " << c.period;
    }
}

TEST(SetNames, ATakenNameGetsTheFirstFreeSuffix) {
    struct Case {
        std::set<unsigned> taken;
        unsigned expected;
    };
    std::set<unsigned> all{0};
    for (unsigned t = 2; t <= kMaxTake; ++t) {
        all.insert(t);
    }
    const Case cases[] = {{{}, 0}, {{0}, 2}, {{0, 2, 3}, 4}, {{2}, 0}, {all, kNoTake}};
    for (const Case& c : cases) {
        auto taken = [](void* context, unsigned take) {
            return static_cast<const std::set<unsigned>*>(context)->count(take) != 0;
        };
        EXPECT_EQ(chooseTake(taken, const_cast<std::set<unsigned>*>(&c.taken)), c.expected);
    }
}

TEST(SetNames, OnlyThisProgramsNamesAreRead) {
    struct Case {
        const char* name;
        bool ours;
        SetKey key;
        SetFile kind;
    };
    const Case cases[] = {
        {"anglesAndAccels.2026Dec09-101500.txt",
         true,
         {2026, 11, 9, 10, 15, 0, 0},
         SetFile::Samples},
        {"misc.2026Oct25-020000-2.txt", true, {2026, 9, 25, 2, 0, 0, 2}, SetFile::Misc},
        {"raw.2026Jan01-000000.bin", true, {2026, 0, 1, 0, 0, 0, 0}, SetFile::Capture},
        {"raw.2026Jan01-000000-13.bin.times",
         true,
         {2026, 0, 1, 0, 0, 0, 13},
         SetFile::CaptureTimes},
        {"times.2026Jan01-000000.csv", true, {2026, 0, 1, 0, 0, 0, 0}, SetFile::Times},
        {"summary.json", false, {}, SetFile::Samples},
        {"misc.2026Dec09-101500.txt.bak", false, {}, SetFile::Samples},
        {"misc.2026Foo09-101500.txt", false, {}, SetFile::Samples},
        {"misc.2026Dec09-101500-1.txt", false, {}, SetFile::Samples},  // suffixes start at 2
        {"misc.2026Dec09-101500-02.txt", false, {}, SetFile::Samples},
        {"misc.2026Dec09-1015.txt", false, {}, SetFile::Samples},
        {"notes.2026Dec09-101500.txt", false, {}, SetFile::Samples},
    };
    for (const Case& c : cases) {
        SetKey key;
        SetFile kind{};
        ASSERT_EQ(parseSetFileName(c.name, key, kind), c.ours) << c.name;
        if (c.ours) {
            EXPECT_EQ(key, c.key) << c.name;
            EXPECT_EQ(kind, c.kind) << c.name;
        }
    }
}

TEST(SetNames, TheOldestSetsGoNeverTheCurrentOne) {
    const SetKey a{2026, 11, 9, 10, 0, 0, 0};
    const SetKey b{2026, 11, 9, 11, 0, 0, 0};
    const SetKey b2{2026, 11, 9, 11, 0, 0, 2};  // the same time again, after the clock went back
    const SetKey c{2026, 11, 9, 12, 0, 0, 0};
    const SetKey old{2025, 0, 1, 0, 0, 0, 0};
    struct Case {
        std::vector<SetKey> sets;
        SetKey current;
        std::size_t keep;
        std::vector<std::size_t> expected;
    };
    const Case cases[] = {
        {{c, a, b}, c, 3, {}},
        {{c, a, b}, c, 2, {1}},
        {{c, b2, a, b}, c, 2, {2, 3}},  // b2 came after b
        {{c, a, b}, c, 1, {1, 2}},
        {{a, b, c}, a, 1, {1, 2}},  // a clock set back: the current set stays all the same
        {{old, c}, c, 1, {0}},
        {{a, b}, c, 2, {0}},  // the current set not found: it still counts
    };
    for (const Case& t : cases) {
        EXPECT_EQ(chooseSetsToDelete(t.sets, t.current, t.keep), t.expected);
    }
}

}  // namespace
}  // namespace vg::app
