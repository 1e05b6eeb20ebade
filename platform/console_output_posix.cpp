// The console writer's system part on POSIX: plain blocking writes to descriptors 1 and 2.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/console_output_os.h"

namespace vg::platform::output_os {

namespace {

// The width is read once and again after each SIGWINCH, from whichever thread asks next.
std::atomic<bool> resized{true};
std::atomic<unsigned> columns{0};

void onResize(int) {
    resized.store(true);
}

}  // namespace

void prepareProcess(void (*beforeFork)(), void (*afterForkParent)(), void (*afterForkChild)()) {
    // A reader that has gone away (`vglog ... | head -1`) must never end the run.
    signal(SIGPIPE, SIG_IGN);
    pthread_atfork(beforeFork, afterForkParent, afterForkChild);
    // A resize also cuts the main loop's wait short, so the line is fitted again at once.
    struct sigaction action {};
    action.sa_handler = onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
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
    if (isatty(STDERR_FILENO) != 1) {
        return StatusTerminal::None;
    }
    // A terminal that declares no type, or none that knows escape sequences, gets plain text.
    const char* term = std::getenv("TERM");
    if (term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0) {
        return StatusTerminal::Overwrite;
    }
    return StatusTerminal::Escapes;
}

unsigned terminalColumns() {
    if (resized.exchange(false)) {
        winsize size{};
        columns.store(ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0u);
    }
    return columns.load();
}

bool inFront() {
    const pid_t front = tcgetpgrp(STDERR_FILENO);
    // A terminal that is not our controlling one has no foreground for us to be out of.
    return front == getpgrp() || (front < 0 && errno == ENOTTY);
}

}  // namespace vg::platform::output_os
