#include <windows.h>

#include "platform/clock.h"

namespace vg::platform {

std::uint64_t monotonicMs() {
    return GetTickCount64();
}

bool toLocalTime(std::time_t t, std::tm& out) {
    return localtime_s(&out, &t) == 0;
}

}  // namespace vg::platform
