// The console writer's system part on POSIX: plain blocking writes to descriptors 1 and 2.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console_output_os.h"

namespace vg::platform::output_os {

void prepareProcess(void (*beforeFork)(), void (*afterForkParent)(), void (*afterForkChild)()) {
    // A reader that has gone away (`vglog ... | head -1`) must never end the run.
    signal(SIGPIPE, SIG_IGN);
    pthread_atfork(beforeFork, afterForkParent, afterForkChild);
}

namespace {

// The one writer's entry (a forked child starts its own with the same one).
struct WriterStart {
    void (*body)(void*) = nullptr;
    void* context = nullptr;
} writerStart;

void* runWriter(void*) {
    writerStart.body(writerStart.context);
    return nullptr;
}

}  // namespace

bool startWriter(void (*body)(void*), void* context) {
    // Signals belong to the main thread, whose sleeps and waits they must cut short.
    sigset_t all{};
    sigset_t previous{};
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    writerStart = {body, context};
    // pthread directly: a thread that cannot be made (a process out of resources) is a result
    // to handle, not an exception thrown through the standard library's failure path.
    pthread_t thread{};
    const bool started = pthread_create(&thread, nullptr, runWriter, nullptr) == 0;
    if (started) {
        pthread_detach(thread);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

bool writeAll(ConsoleStream stream, const void* bytes, std::size_t length) {
    const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    const auto* p = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = write(fd, p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Another program made the shared descriptor non-blocking: wait for room here.
            pollfd p1{fd, POLLOUT, 0};
            poll(&p1, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

StatusTerminal statusTerminal() {
    return isatty(STDERR_FILENO) == 1 ? StatusTerminal::Escapes : StatusTerminal::None;
}

}  // namespace vg::platform::output_os
