// Cursor position and mouse-button events, as the pointer controller needs them.
#pragma once

#include <cstdint>

namespace vg::platform {

struct CursorPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

}  // namespace vg::platform
