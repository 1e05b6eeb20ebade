#include <time.h>

#include "platform/clock.h"

namespace vg::platform {

std::uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

std::int64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::uint64_t sleepStepMs() {
    return 1;
}

std::int64_t wallClockUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool toLocalTime(std::time_t t, std::tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

bool toUtcTime(std::time_t t, std::tm& out) {
    return gmtime_r(&t, &out) != nullptr;
}

}  // namespace vg::platform
