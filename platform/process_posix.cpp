#include <signal.h>

#include <cstdio>

#include "platform/process.h"

namespace vg::platform {

void prepareStandardStreams() {
    // POSIX streams never translate line ends; line buffering shows each message of a stdio
    // writer at once, also in a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void holdSignalsInThisThread() {
    sigset_t all{};
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace vg::platform
