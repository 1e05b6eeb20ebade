// Serial device layer: an exclusive, raw, non-blocking serial port. POSIX and Win32 versions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vg::platform {

#ifdef _WIN32
using PortHandle = void*;
inline const PortHandle kInvalidPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
using PortHandle = int;
inline constexpr PortHandle kInvalidPort = -1;
#endif

}  // namespace vg::platform
