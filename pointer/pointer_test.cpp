#include "pointer/pointer.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vg::pointer {
namespace {

using platform::CursorPoint;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kScale08 = 0.8f * 2048.0;  // pixels per radian at the default gain

struct Event {
    std::uint32_t flags;
    std::int32_t x;
    std::int32_t y;
    bool operator==(const Event&) const = default;
};

// Records every call; the position follows successful sets like a real cursor.
class RecordingCursor final : public platform::CursorDevice {
  public:
    CursorPoint position{500, 400};
    bool queryWorks = true;
    int queries = 0;
    std::vector<CursorPoint> sets;
    std::vector<Event> events;

    bool queryPosition(CursorPoint& where) override {
        ++queries;
        if (queryWorks) {
            where = position;
        }
        return queryWorks;
    }
    bool setPosition(std::int32_t x, std::int32_t y) override {
        sets.push_back({x, y});
        position = {x, y};
        return true;
    }
    void buttonEvent(std::uint32_t flags, std::int32_t x, std::int32_t y) override {
        events.push_back({flags, x, y});
    }
};

SensorState freshState() {
    SensorState s;
    initSensorState(&s);
    return s;
}

// One step from every state, covering each transition and each way of staying. The gains start
// at 0.5 to show which transitions put them back to 0.8.
TEST(PointerStepTest, TransitionTable) {
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    struct Case {
        const char* name;
        std::uint8_t from;
        std::uint32_t ticks;
        float angleStep;  // axis 1; axis 0 stays 0
        float move;       // pending move on axis 0
        std::uint8_t buttons, saved;
        std::uint8_t to;
        std::uint32_t ticksAfter;
        std::uint8_t savedAfter;
        bool gainsReset, cursorSet;
    };
    // clang-format off
    const Case cases[] = {
        {"StartToMovingAtThreshold",    Start,    7,    0.003f,  0,        0, 0,    Moving,   8,   0,    false, false},
        {"StartToMovingNegative",       Start,    7,    -0.003f, 0,        0, 0,    Moving,   8,   0,    false, false},
        {"StartToRestBelow",            Start,    7,    0.0029f, 0,        1, 0,    Rest,     8,   0,    false, false},
        {"StartToRestOnNaN",            Start,    7,    kNaN,    0,        0, 0,    Rest,     8,   0,    false, false},
        {"RestToMovingAtThreshold",     Rest,     7,    0,       -0.0006f, 0, 0,    Moving,   8,   0,    false, false},
        {"RestPressAndMoveEndsMoving",  Rest,     7,    0,       0.001f,   1, 0,    Moving,   0,   1,    false, false},
        {"RestToPressedSavesByte",      Rest,     7,    0,       0.0005f,  0x86, 3, Pressed,  0,   0x86, false, false},
        {"RestStaysBelowThreshold",     Rest,     7,    0.01f,   0.00059f, 0, 0,    Rest,     8,   0,    false, false},
        {"RestStaysOnNaNMove",          Rest,     7,    0,       kNaN,     0, 0,    Rest,     8,   0,    false, false},
        {"PressedToHeldAtHoldTicks",    Pressed,  19,   0,       0,        3, 3,    Held,     0,   3,    true,  false},
        {"PressedStaysBeforeHold",      Pressed,  18,   0,       0,        1, 1,    Pressed,  19,  1,    false, false},
        {"PressedToReleased",           Pressed,  5,    0.01f,   0.01f,    0, 1,    Released, 0,   1,    false, false},
        {"PressedStaysOnSecondary",     Pressed,  500,  0,       0,        2, 3,    Pressed,  501, 3,    false, false},
        {"PressedStaysOnOtherBits",     Pressed,  5,    0,       0,        4, 1,    Pressed,  6,   1,    false, false},
        {"ReleasedTimesOut",            Released, 99,   0,       0,        5, 1,    Start,    100, 1,    false, false},
        {"ReleasedTimeoutBeforeByte",   Released, 99,   0,       0,        1, 1,    Start,    100, 1,    false, false},
        {"ReleasedOnSavedByte",         Released, 3,    0,       0,        1, 1,    Start,    0,   1,    false, false},
        {"ReleasedOnSavedZero",         Released, 3,    0,       0,        0, 0,    Start,    0,   0,    false, false},
        {"ReleasedIgnoresOtherByte",    Released, 3,    0,       0,        3, 1,    Released, 4,   1,    false, false},
        {"ReleasedIgnoresZero",         Released, 3,    0,       0,        0, 1,    Released, 4,   1,    false, false},
        {"MovingToSettling",            Moving,   7,    0.0029f, 0,        2, 0,    Settling, 0,   0,    false, true},
        {"MovingStaysAtThreshold",      Moving,   7,    -0.003f, 0,        2, 0,    Moving,   8,   0,    false, true},
        {"MovingToHeldLargeSteps",      Moving,   7,    0.01f,   0,        1, 0,    Held,     0,   0,    true,  true},
        {"MovingToHeldSmallSteps",      Moving,   7,    0,       0,        1, 0,    Held,     0,   0,    true,  true},
        {"SettlingToMovingKeepsTicks",  Settling, 7,    0.003f,  0,        0, 0,    Moving,   8,   0,    false, true},
        {"SettlingToRestAtSettleTicks", Settling, 99,   0,       0,        0, 0,    Rest,     100, 0,    false, true},
        {"SettlingStaysBeforeSettle",   Settling, 98,   0,       0,        0, 0,    Settling, 99,  0,    false, true},
        {"SettlingPressOverMoving",     Settling, 7,    0.01f,   0,        2, 1,    Pressed,  0,   1,    false, true},
        {"SettlingPressOverRest",       Settling, 99,   0,       0,        1, 0,    Pressed,  0,   0,    false, true},
        {"HeldToRestKeepsTicks",        Held,     7,    0.01f,   0,        2, 0,    Rest,     8,   0,    true,  true},
        {"HeldStaysWithSmallSteps",     Held,     7,    0,       0,        1, 0,    Held,     8,   0,    false, true},
        {"HeldTicksWrap",               Held,     kMax, 0,       0,        1, 0,    Held,     0,   0,    false, true},
        {"UnknownStateStartsOver",      7,        7,    0.01f,   0,        1, 0,    Start,    8,   0,    false, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SensorState s = freshState();
        s.pointerState = c.from;
        s.stateTicks = c.ticks;
        s.angleStep = {0.0f, c.angleStep, 1.0f};  // psi's step never counts
        s.angleSmooth = {c.move, 0.0f, 0.0f};
        s.buttons = c.buttons;
        s.savedButtons = c.saved;
        s.pointerGain = {0.5f, 0.5f, 0.5f};
        s.pointerStep = {5, -5};  // a step from before: every step starts from none
        RecordingCursor cursor;

        stepPointer(s, cursor);

        EXPECT_EQ(s.pointerState, c.to);
        EXPECT_EQ(s.stateTicks, c.ticksAfter);
        EXPECT_EQ(s.savedButtons, c.savedAfter);
        const float gain = c.gainsReset ? 0.8f : 0.5f;
        EXPECT_EQ(s.pointerGain, (std::array<float, 3>{gain, gain, 0.5f}));
        EXPECT_EQ(cursor.sets.size(), c.cursorSet ? 1u : 0u);
        EXPECT_EQ(cursor.queries, c.cursorSet ? 1 : 0);
        EXPECT_EQ(s.pointerStep, (std::array<std::int16_t, 2>{0, 0}));
    }
}

// Where a pending move of 0.01 rad (16.384 px) goes: followed in whole pixels, absorbed, or
// kept. Entering or leaving Held restores the gain before that step's move.
TEST(PointerStepTest, PendingMoveIsFollowedOrAbsorbed) {
    const float sixteenPixels = static_cast<float>(16.0 / kScale08);
    struct Case {
        const char* name;
        std::uint8_t state, buttons;
        float gain;
        std::int32_t dx;
        float refAfter;
    };
    const Case cases[] = {
        {"Start", Start, 0, 0.8f, 0, 0.0f},
        {"RestAbsorbsATenth", Rest, 0, 0.8f, 0, 0.001f},
        {"PressedAbsorbsAll", Pressed, 2, 0.8f, 0, 0.01f},
        {"ReleasedAbsorbsAll", Released, 2, 0.8f, 0, 0.01f},
        {"Moving", Moving, 0, 1.0f, -20, 20 / 2048.0f},
        {"MovingIntoHeld", Moving, 1, 0.25f, -16, sixteenPixels},
        {"SettlingIntoPressed", Settling, 1, 0.8f, -16, sixteenPixels},
        {"Held", Held, 1, 0.8f, -16, sixteenPixels},
        {"HeldIntoRest", Held, 0, 0.25f, -16, sixteenPixels},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SensorState s = freshState();
        s.pointerState = c.state;
        s.buttons = c.buttons;
        s.savedButtons = 1;
        s.angleSmooth = {0.01f, 0.0f, 0.0f};
        s.pointerGain = {c.gain, c.gain, c.gain};
        RecordingCursor cursor;
        stepPointer(s, cursor);
        EXPECT_EQ(cursor.position.x - 500, c.dx);
        EXPECT_EQ(cursor.position.y, 400);
        EXPECT_FLOAT_EQ(s.pointerRef[0], c.refAfter);
        EXPECT_EQ(s.pointerRef[1], 0.0f);
        EXPECT_FLOAT_EQ(s.pointerMove[0], 0.01f);
    }
}

// The counted waits: the state holds for count - 1 steps after it was entered and changes in the
// count-th.
TEST(PointerStepTest, CountedWaitsEndInTheirLastStep) {
    struct Case {
        const char* name;
        std::uint8_t from, enterButtons, waitButtons, waiting, after;
        int count;
    };
    const Case cases[] = {
        {"HeldAfterPrimaryPress", Rest, 1, 1, Pressed, Held, 20},
        {"SecondaryNeverHeld", Rest, 2, 2, Pressed, Pressed, 1000},
        {"ReleasedTimeout", Pressed, 0, 3, Released, Start, 100},
        {"SettlingToRest", Moving, 0, 0, Settling, Rest, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SensorState s = freshState();
        RecordingCursor cursor;
        s.pointerState = c.from;
        s.savedButtons = 1;
        s.buttons = c.enterButtons;
        stepPointer(s, cursor);
        ASSERT_EQ(s.pointerState, c.waiting);
        s.buttons = c.waitButtons;
        for (int n = 1; n < c.count; ++n) {
            stepPointer(s, cursor);
            ASSERT_EQ(s.pointerState, c.waiting) << "step " << n;
        }
        stepPointer(s, cursor);
        EXPECT_EQ(s.pointerState, c.after);
    }
}

// Rest absorbs a tenth of each pending move, so a steady drift d settles at a pending move of
// 10 d: below the threshold it never starts the cursor, above it it does.
TEST(PointerStepTest, RestAbsorbsSlowDriftOnly) {
    for (const auto& [perStep, startsMoving] : {std::pair{0.00005f, false}, {0.00007f, true}}) {
        SensorState s = freshState();
        RecordingCursor cursor;
        s.pointerState = Rest;
        for (int n = 0; n < 2000 && s.pointerState == Rest; ++n) {
            s.angleSmooth[0] += perStep;
            stepPointer(s, cursor);
        }
        EXPECT_EQ(s.pointerState != Rest, startsMoving) << perStep;
        EXPECT_TRUE(cursor.sets.empty());
    }
}

// The unmoved part of a pixel stays pending, so a slow turn adds up to its whole pixels.
TEST(PointerStepTest, FractionsOfAPixelAddUp) {
    SensorState s = freshState();
    RecordingCursor cursor;
    s.pointerState = Held;
    s.buttons = 1;
    for (int n = 0; n < 100; ++n) {
        s.angleSmooth[0] += 0.0003f;  // about half a pixel per step
        s.angleSmooth[1] -= 0.0003f;
        stepPointer(s, cursor);
    }
    EXPECT_EQ(cursor.position.x, 500 - 49);  // 0.03 rad is 49.15 px
    EXPECT_EQ(cursor.position.y, 400 + 49);
    const double pending = static_cast<double>(s.angleSmooth[0]) - s.pointerRef[0];
    EXPECT_GE(pending, 0.0);
    EXPECT_LT(pending * kScale08, 1.0);
}

TEST(PointerThresholdTest, StepAndMoveThresholds) {
    struct Case {
        float a0, a1;
        bool above;
    };
    const Case cases[] = {
        {0, 0, false},    {1, 0, true},         {0, -1, true},      {0.999f, -0.999f, false},
        {kNaN, 0, false}, {kNaN, 1.001f, true}, {kInf, kNaN, true},
    };
    for (const Case& c : cases) {
        SensorState s = freshState();
        s.angleStep = {c.a0 * 0.003f, c.a1 * 0.003f, 1.0f};
        s.pointerMove = {c.a0 * 0.0006f, c.a1 * 0.0006f};
        EXPECT_EQ(stepAboveThreshold(s), c.above) << c.a0 << ", " << c.a1;
        EXPECT_EQ(moveAboveThreshold(s), c.above) << c.a0 << ", " << c.a1;
    }
}

TEST(PointerPullTest, FractionClampedAndReferenceKeptFinite) {
    struct Case {
        float fraction, move0;
        float ref0, ref1;  // from 1.0, with axis 1's pending move -0.5
    };
    const Case cases[] = {
        {-1, 0.5f, 1, 1},           {0, 0.5f, 1, 1},       {0.5f, 0.5f, 1.25f, 0.75f},
        {0.1f, 0.5f, 1.05f, 0.95f}, {1, 0.5f, 1.5f, 0.5f}, {2, 0.5f, 1.5f, 0.5f},
        {kInf, 0.5f, 1.5f, 0.5f},   {kNaN, 0.5f, 1, 1},    {1, kNaN, 1, 0.5f},
        {1, kInf, 1, 0.5f},
    };
    for (const Case& c : cases) {
        SensorState s = freshState();
        s.pointerRef = {1.0f, 1.0f};
        s.pointerMove = {c.move0, -0.5f};
        pullReference(s, c.fraction);
        EXPECT_FLOAT_EQ(s.pointerRef[0], c.ref0) << c.fraction << " of " << c.move0;
        EXPECT_FLOAT_EQ(s.pointerRef[1], c.ref1) << c.fraction << " of " << c.move0;
    }
}

TEST(PointerMoveTest, StepsWrapAndReferenceFollowsTheStoredStep) {
    struct Case {
        const char* name;
        float gain, move0, move1;
        std::int16_t step0, step1;
        double refDelta0;
    };
    // clang-format off
    const Case cases[] = {
        {"BelowAPixelStaysPending", 0.8f, 0.0006f,     0,      0,      0,     0},
        {"OnePixel",                0.8f, 0.0011f,     0.0011f, 1,     1,     1 / kScale08},
        {"TruncatesTowardZero",     0.8f, -0.0011f,    0,      -1,     0,     -1 / kScale08},
        {"GainScales",              1.0f, 0.01f,       -0.01f, 20,     -20,   20 / 2048.0},
        {"LargestStep",             1.0f, 15.99951171875f, 0,  32767,  0,     32767 / 2048.0},
        {"HalfRangeWraps",          0.8f, 20.0f,       0,      -32768, 0,     -32768 / kScale08},
        {"Past16BitsWraps",         1.0f, 20.0f,       -20.0f, -24576, 24576, -12},
        {"Past32BitsKeepsLow16",    1.0f, 4194305.0f,  0,      2048,   0,     1},
        {"NegativePast32Bits",      1.0f, -4194305.0f, 0,      -2048,  0,     -1},
        {"BeyondAnyIntegerNoStep",  1.0f, 3.0e38f,     0,      0,      0,     0},
        {"NaNNoStep",               0.8f, kNaN,        0.01f,  0,      16,    0},
        {"InfinityNoStep",          0.8f, kInf,        -kInf,  0,      0,     0},
        {"ZeroGainNoStep",          0.0f, 0.01f,       0.01f,  0,      0,     0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SensorState s = freshState();
        s.pointerGain = {c.gain, c.gain, 0.8f};
        s.pointerRef = {0.25f, 0.25f};
        s.pointerMove = {c.move0, c.move1};
        RecordingCursor cursor;
        EXPECT_TRUE(moveCursor(s, cursor));
        EXPECT_EQ(s.pointerStep, (std::array<std::int16_t, 2>{c.step0, c.step1}));
        ASSERT_EQ(cursor.sets.size(), 1u);
        EXPECT_EQ(cursor.position.x, 500 - c.step0);
        EXPECT_EQ(cursor.position.y, 400 - c.step1);
        if (c.step0 == 0) {
            EXPECT_EQ(s.pointerRef[0], 0.25f);  // untouched, not merely close
        } else {
            EXPECT_NEAR(s.pointerRef[0] - 0.25, c.refDelta0, 1e-6 * std::fabs(c.refDelta0));
        }
        EXPECT_TRUE(std::isfinite(s.pointerRef[1]));
    }
}

TEST(PointerMoveTest, TargetFromAFailedQueryOrNearTheEdge) {
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    SensorState s = freshState();
    s.pointerMove = {0.01f, -0.0011f};
    RecordingCursor cursor;
    cursor.queryWorks = false;
    moveCursor(s, cursor);  // lands at the negated step
    cursor.queryWorks = true;
    cursor.position = {kMin + 3, kMax};
    moveCursor(s, cursor);  // stops at the edge instead of overflowing
    const std::vector<CursorPoint> expected = {{-16, 1}, {kMin, kMax}};
    ASSERT_EQ(cursor.sets.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(cursor.sets[i].x, expected[i].x);
        EXPECT_EQ(cursor.sets[i].y, expected[i].y);
    }
}

TEST(ButtonRelayTest, OneEventPerChangeLeftBeforeRight) {
    using namespace platform;
    struct Case {
        std::vector<std::uint8_t> buttons;
        std::vector<std::uint32_t> flags;
    };
    const Case cases[] = {
        {{0, 0}, {}},
        {{1, 1, 0, 0}, {kLeftDown, kLeftUp}},
        {{2, 0}, {kRightDown, kRightUp}},
        {{3, 0}, {kLeftDown, kRightDown, kLeftUp, kRightUp}},
        {{2, 3, 1, 0}, {kRightDown, kLeftDown, kRightUp, kLeftUp}},
        {{1, 2}, {kLeftDown, kLeftUp, kRightDown}},
        {{4, 0xFC, 0xFD, 0x80}, {kLeftDown, kLeftUp}},
    };
    for (const Case& c : cases) {
        SensorState s = freshState();
        ButtonLatches latches;
        RecordingCursor cursor;
        std::vector<std::uint32_t> sent;
        for (const std::uint8_t b : c.buttons) {
            s.buttons = b;
            relayButtons(s, latches, cursor);
        }
        for (const Event& e : cursor.events) {
            sent.push_back(e.flags);
        }
        EXPECT_EQ(sent, c.flags) << ::testing::PrintToString(c.buttons);
        EXPECT_EQ(cursor.queries, static_cast<int>(c.buttons.size()));
        EXPECT_TRUE(cursor.sets.empty());
    }
}

TEST(ButtonRelayTest, EventsCarryTheQueriedPositionOrTheOrigin) {
    SensorState s = freshState();
    ButtonLatches latches;
    RecordingCursor cursor;
    cursor.position = {-40, 1200};
    s.buttons = 3;
    relayButtons(s, latches, cursor);
    cursor.queryWorks = false;
    s.buttons = 0;
    relayButtons(s, latches, cursor);
    const std::vector<Event> expected = {
        {platform::kLeftDown, -40, 1200},
        {platform::kRightDown, -40, 1200},
        {platform::kLeftUp, 0, 0},
        {platform::kRightUp, 0, 0},
    };
    EXPECT_EQ(cursor.events, expected);
}

#ifndef _WIN32
TEST(SystemCursorTest, InertWithoutADesktop) {
    platform::CursorDevice& device = platform::systemCursor();
    CursorPoint at{7, 9};
    EXPECT_FALSE(device.queryPosition(at));
    EXPECT_EQ(at.x, 7);
    EXPECT_EQ(at.y, 9);
    EXPECT_FALSE(device.setPosition(1, 2));
    SensorState s = freshState();
    s.pointerMove = {0.01f, 0.0f};
    EXPECT_FALSE(moveCursor(s, device));
}
#endif

}  // namespace
}  // namespace vg::pointer
