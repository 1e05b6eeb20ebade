// Cursor position and mouse-button events, as the pointer controller needs them.
#pragma once

#include <cstdint>

namespace vg::platform {

struct CursorPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Button-event flags; exactly one goes with each event.
inline constexpr std::uint32_t kLeftDown = 2;
inline constexpr std::uint32_t kLeftUp = 4;
inline constexpr std::uint32_t kRightDown = 8;
inline constexpr std::uint32_t kRightUp = 16;

// The three operations the pointer controller and the button relay use. Taken by reference so
// that tests can stand in a recording device.
class CursorDevice {
  public:
    virtual ~CursorDevice() = default;

    // Fills `where` with the cursor position in screen pixels; on failure returns false and
    // leaves `where` as it was.
    virtual bool queryPosition(CursorPoint& where) = 0;
    // Places the cursor at (x, y); true on success.
    virtual bool setPosition(std::int32_t x, std::int32_t y) = 0;
    // Injects one button event (one of the flags above) at the current cursor position;
    // (x, y) are passed along as relative offsets, which no flag here makes use of.
    virtual void buttonEvent(std::uint32_t flags, std::int32_t x, std::int32_t y) = 0;
};

// The system's cursor. Where the platform offers no cursor to drive (POSIX builds) this is a
// device that does nothing: every query fails, every set reports failure, events are dropped.
CursorDevice& systemCursor();

}  // namespace vg::platform
