// The console writer's system part on Windows: WriteFile on the standard handles, so the bytes
// are exactly those written (no C runtime text mode), as on POSIX.
#include <windows.h>

#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/console_output_os.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace vg::platform::output_os {

void prepareProcess(void (*)(), void (*)(), void (*)()) {
    // No fork and no SIGPIPE here: a write to a pipe whose reader is gone just fails.
}

bool startWriter(void (*body)(void*), void* context) {
    // Console control events come on threads of their own; nothing to keep from this one.
    try {
        std::thread(body, context).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool writeAll(ConsoleStream stream, const void* bytes, std::size_t length) {
    const HANDLE handle =
        GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const auto* p = static_cast<const char*>(bytes);
    while (length > 0) {
        const auto ask = static_cast<DWORD>(length > 0x10000000u ? 0x10000000u : length);
        DWORD written = 0;
        if (!WriteFile(handle, p, ask, &written, nullptr) || written == 0) {
            return false;
        }
        p += written;
        length -= written;
    }
    return true;
}

namespace {

DWORD savedErrorMode = 0;

// The console outlives the run: give it back the mode it had.
void restoreErrorMode() {
    SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), savedErrorMode);
}

}  // namespace

StatusTerminal statusTerminal() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == nullptr || err == INVALID_HANDLE_VALUE || GetConsoleMode(err, &mode) == 0) {
        return StatusTerminal::None;
    }
    // Consoles before the escape-sequence support refuse the mode: cover old text instead.
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return StatusTerminal::Escapes;
    }
    if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        savedErrorMode = mode;
        std::atexit(restoreErrorMode);
        return StatusTerminal::Escapes;
    }
    return StatusTerminal::Overwrite;
}

unsigned terminalColumns() {
    // Lines wrap at the width of the screen buffer, which may be wider than the window.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0 ||
        info.dwSize.X <= 0) {
        return 0;
    }
    return static_cast<unsigned>(info.dwSize.X);
}

bool inFront() {
    return true;  // a console has no background jobs
}

}  // namespace vg::platform::output_os
