#include <cstring>

#include <gtest/gtest.h>

#include "state/sensor_state.h"

namespace vg {
namespace {

// initSensorState must set the fields with a start value and nothing else: fill the record with
// a marker pattern, initialise it, and check that every other byte kept the marker.
TEST(SensorStateTest, InitSetsExactlyTheFieldsWithAStartValue) {
    SensorState s;
    std::memset(static_cast<void*>(&s), 0x5A, sizeof s);
    SensorState before;
    std::memcpy(static_cast<void*>(&before), &s, sizeof s);

    EXPECT_EQ(initSensorState(&s), &s);

    EXPECT_EQ(s.angleSum, (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(s.angleSmooth, (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(s.pointerGain, (std::array<float, 3>{0.8f, 0.8f, 0.8f}));
    EXPECT_EQ(s.pointerGain[0], 0.800000011920928955078125f);  // the float nearest 0.8
    EXPECT_EQ(s.pointerRef, (std::array<float, 2>{0, 0}));
    EXPECT_EQ(s.pointerState, 0);
    EXPECT_EQ(s.stateTicks, 0u);
    EXPECT_EQ(s.holdTicks, 20u);
    EXPECT_EQ(s.releaseTicks, 100u);
    EXPECT_EQ(s.settleTicks, 100u);
    EXPECT_EQ(s.stepThreshold, 0.003f);
    EXPECT_EQ(s.moveThreshold, 0.0006f);

    // Put the initialised fields back to the marker: the records must then be identical.
    SensorState restored;  // copied bytewise so that padding compares too
    std::memcpy(static_cast<void*>(&restored), &s, sizeof s);
    restored.angleSum = before.angleSum;
    restored.angleSmooth = before.angleSmooth;
    restored.pointerGain = before.pointerGain;
    restored.pointerRef = before.pointerRef;
    restored.pointerState = before.pointerState;
    restored.stateTicks = before.stateTicks;
    restored.holdTicks = before.holdTicks;
    restored.releaseTicks = before.releaseTicks;
    restored.settleTicks = before.settleTicks;
    restored.stepThreshold = before.stepThreshold;
    restored.moveThreshold = before.moveThreshold;
    EXPECT_EQ(restored.lastSampleTag, 0x5A);
    EXPECT_EQ(restored.savedButtons, 0x5A);
    EXPECT_EQ(std::memcmp(&restored, &before, sizeof s), 0);
}

}  // namespace
}  // namespace vg
