// Console output through the C library's streams: written at once, blocking.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace vg::platform {

namespace {

std::FILE* fileOf(ConsoleStream stream) {
    return stream == ConsoleStream::Out ? stdout : stderr;
}

}  // namespace

void consoleWrite(ConsoleStream stream, const char* text, std::size_t length) {
    std::FILE* f = fileOf(stream);
    std::fwrite(text, 1, length, f);
    std::fflush(f);
}

void consoleWrite(ConsoleStream stream, const char* text) {
    consoleWrite(stream, text, std::strlen(text));
}

void consolePrint(ConsoleStream stream, const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) {
        consoleWrite(stream, buf,
                     static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                              : sizeof buf - 1);
    }
}

void consoleStatus(const char* line) {
    if (!consoleIsTerminal(ConsoleStream::Err)) {
        return;
    }
    std::fputs("\r\x1b[K", stderr);
    if (line != nullptr) {
        std::fputs(line, stderr);
    }
    std::fflush(stderr);
}

std::uint64_t consoleDroppedMessages() {
    return 0;  // blocking writes drop nothing
}

void consoleFlush(int) {
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace vg::platform
