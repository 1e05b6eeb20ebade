#include "state/sensor_state.h"

namespace vg {

SensorState* initSensorState(SensorState* state) {
    state->angleSum = {0.0f, 0.0f, 0.0f};
    state->angleSmooth = {0.0f, 0.0f, 0.0f};
    state->pointerGain = {0.8f, 0.8f, 0.8f};
    state->pointerRef = {0.0f, 0.0f};
    state->pointerState = 0;  // Start
    state->stateTicks = 0;
    state->holdTicks = 20;
    state->releaseTicks = 100;
    state->settleTicks = 100;
    state->stepThreshold = 0.003f;
    state->moveThreshold = 0.0006f;
    return state;
}

}  // namespace vg
