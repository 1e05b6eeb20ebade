// The desktop cursor and injected mouse-button events.
#include <windows.h>

#include "platform/cursor.h"

namespace vg::platform {
namespace {

class DesktopCursor final : public CursorDevice {
  public:
    bool queryPosition(CursorPoint& where) override {
        POINT pt{where.x, where.y};
        if (GetCursorPos(&pt) == 0) {
            return false;
        }
        where.x = static_cast<std::int32_t>(pt.x);
        where.y = static_cast<std::int32_t>(pt.y);
        return true;
    }

    bool setPosition(std::int32_t x, std::int32_t y) override { return SetCursorPos(x, y) != 0; }

    void buttonEvent(std::uint32_t flags, std::int32_t x, std::int32_t y) override {
        // No move or absolute flag is ever set, so the offsets are ignored and the event acts
        // where the cursor is.
        mouse_event(static_cast<DWORD>(flags), static_cast<DWORD>(x), static_cast<DWORD>(y), 0, 0);
    }
};

}  // namespace

CursorDevice& systemCursor() {
    static DesktopCursor device;
    return device;
}

}  // namespace vg::platform
