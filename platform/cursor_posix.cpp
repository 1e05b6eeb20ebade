// A console process on POSIX has no portable pointer to drive, so the system cursor here is
// inert: it never pretends to have moved anything.
#include "platform/cursor.h"

namespace vg::platform {
namespace {

class InertCursor final : public CursorDevice {
  public:
    bool queryPosition(CursorPoint&) override { return false; }
    bool setPosition(std::int32_t, std::int32_t) override { return false; }
    void buttonEvent(std::uint32_t, std::int32_t, std::int32_t) override {}
};

}  // namespace

CursorDevice& systemCursor() {
    static InertCursor device;
    return device;
}

}  // namespace vg::platform
