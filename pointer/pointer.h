// Pointer controller and button relay: turn the smoothed angles into cursor steps and the
// board's button bits into mouse-button events. Driven step by step by a caller, one step per
// processed sample, after the orientation tracker has updated the angles.
#pragma once

#include <cstdint>

#include "platform/cursor.h"
#include "state/sensor_state.h"

namespace vg::pointer {

enum PointerState : std::uint8_t {
    Start = 0,      // still; picks Moving or Rest from the angle steps
    Rest = 2,       // still; a tenth of each pending move is absorbed
    Pressed = 21,   // frozen while a button is down
    Released = 22,  // frozen; waits for the same buttons again or for releaseTicks steps
    Moving = 30,    // follows; angle steps large
    Settling = 32,  // follows; angle steps small, counting toward Rest
    Held = 50,      // follows while the primary button stays down
};

// The relay's memory of which button-down events have been sent: 1 while a down event has gone
// out and its up event not yet. Start at 0 and are never reset.
struct ButtonLatches {
    std::uint8_t leftLatch = 0;
    std::uint8_t rightLatch = 0;
};

// One step of the state machine over the pointer block of `state`. Reads angleStep,
// angleSmooth and buttons as they are at the call; moves the cursor only in steps that begin in
// Moving, Settling or Held.
void stepPointer(SensorState& state, platform::CursorDevice& cursor);

// Sends one button event for each change of buttons bit 0 (left) or bit 1 (right) since the
// events last sent, left before right, at the queried cursor position ((0, 0) if the query
// fails). Independent of stepPointer.
void relayButtons(const SensorState& state, ButtonLatches& latches, platform::CursorDevice& cursor);

// True when either of angleStep[0..1] is at or above stepThreshold in magnitude.
bool stepAboveThreshold(const SensorState& state);
// True when either of pointerMove[0..1] is at or above moveThreshold in magnitude.
bool moveAboveThreshold(const SensorState& state);

// Moves pointerRef toward angleSmooth by `fraction` (clamped to [0, 1]; NaN counts as 0) of the
// pending move in pointerMove. An axis whose result would not be finite is left alone, so a bad
// sample cannot poison the reference for good.
void pullReference(SensorState& state, float fraction);

// Turns the pending move into whole-pixel cursor steps (2048 x gain pixels per radian, truncated
// toward zero, kept to 16 bits), advances pointerRef by exactly the pixels stepped and places
// the cursor at the queried position minus the step. Returns the success of the placement.
// A pending move that is NaN or infinite gives a step of 0.
bool moveCursor(SensorState& state, platform::CursorDevice& cursor);

}  // namespace vg::pointer
