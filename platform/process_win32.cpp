#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/process.h"

namespace vg::platform {

void prepareStandardStreams() {
    // The console's own messages go out through WriteFile, untouched; anything written through
    // the C runtime must not turn "\r\n" into "\r\r\n" either.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void holdSignalsInThisThread() {
    // Console control events come on a thread of their own: nothing to hold back.
}

}  // namespace vg::platform
