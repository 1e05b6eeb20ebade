// Between the console's wait and the serial port, inside the Windows platform layer only.
#pragma once

#include "platform/serial.h"

namespace vg::platform {

// Makes the port wake a wait when a byte arrives. True with the event to wait on; false when
// there is nothing to wait for (a byte is already here, or the port failed and the next read
// says so).
bool serialArmWait(PortHandle port, void*& event);

}  // namespace vg::platform
