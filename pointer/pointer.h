// Pointer controller and button relay: turn the smoothed angles into cursor steps and the
// board's button bits into mouse-button events. Driven step by step by a caller.
#pragma once

#include <cstdint>

#include "app/sensor_state.h"
#include "platform/cursor.h"

namespace vg::pointer {

enum PointerState : std::uint8_t {
    Start = 0,
    Rest = 2,
    Pressed = 21,
    Released = 22,
    Moving = 30,
    Settling = 32,
    Held = 50,
};

// The relay's memory of which button-down events have been sent.
struct ButtonLatches {
    std::uint8_t leftLatch = 0;
    std::uint8_t rightLatch = 0;
};

void stepPointer(SensorState& state, platform::CursorDevice& cursor);
void relayButtons(const SensorState& state, ButtonLatches& latches,
                  platform::CursorDevice& cursor);
bool stepAboveThreshold(const SensorState& state);
bool moveAboveThreshold(const SensorState& state);
void pullReference(SensorState& state, float fraction);
bool moveCursor(SensorState& state, platform::CursorDevice& cursor);

}  // namespace vg::pointer
