#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/process.h"

namespace vg::platform {

void prepareStandardStreams() {
    // In text mode every "\r\n" written would reach the console as "\r\r\n". Messages are
    // flushed one by one where they are written (the C runtime here has no line buffering).
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace vg::platform
