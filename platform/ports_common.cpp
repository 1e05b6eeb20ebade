#include <cstdlib>

#include "platform/ports.h"

namespace vg::platform {

PortRoots defaultPortRoots() {
    PortRoots roots;
    if (const char* sys = std::getenv("VGLOG_SYS_ROOT"); sys != nullptr && sys[0] != '\0') {
        roots.sys = sys;
    }
    if (const char* dev = std::getenv("VGLOG_DEV_ROOT"); dev != nullptr && dev[0] != '\0') {
        roots.dev = dev;
    }
    return roots;
}

}  // namespace vg::platform
