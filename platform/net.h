// A connected stream socket that another library owns: what we may tune on it.
#pragma once

namespace vg::platform {

// While held, small writes to the socket gather in the system and leave together when the hold
// ends: a burst of messages costs the machine one segment rather than one each. 0, or an errno
// value (the socket takes no such hold: the writes then go as they come).
int holdSocketWrites(int socket, bool hold);

}  // namespace vg::platform
