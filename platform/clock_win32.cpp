#include <windows.h>

#include "platform/clock.h"

namespace vg::platform {

std::uint64_t monotonicMs() {
    // Not GetTickCount64: it moves in steps of the system tick (about 16 ms), too coarse for
    // passes a few milliseconds apart.
    return static_cast<std::uint64_t>(monotonicUs() / 1000);
}

std::int64_t monotonicUs() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::int64_t ticks = now.QuadPart;
    // Whole seconds and the rest apart, so the product never overflows.
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

std::uint64_t sleepStepMs() {
    // A sleeping thread wakes on the system's timer tick, 15.6 ms unless a program asks the
    // whole system for a finer one (which costs every program power), as vglog does not.
    return 16;
}

std::int64_t wallClockUs() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    constexpr std::int64_t kEpochTicks = 116444736000000000;  // 1601 to 1970 in 100 ns ticks
    return (ticks - kEpochTicks) / 10;
}

bool toLocalTime(std::time_t t, std::tm& out) {
    return localtime_s(&out, &t) == 0;
}

bool toUtcTime(std::time_t t, std::tm& out) {
    return gmtime_s(&out, &t) == 0;
}

}  // namespace vg::platform
