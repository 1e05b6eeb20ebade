#include <cstdio>

#include "platform/process.h"

namespace vg::platform {

void prepareStandardStreams() {
    // POSIX streams never translate line ends; line buffering shows each message of a stdio
    // writer at once, also in a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

}  // namespace vg::platform
