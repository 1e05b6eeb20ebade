#include <cerrno>

#include "platform/net.h"

namespace vg::platform {

// Winsock has no hold on a stream's writes: they go as they come.
int holdSocketWrites(int, bool) {
    return ENOTSUP;
}

}  // namespace vg::platform
