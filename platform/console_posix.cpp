#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

#include "platform/console.h"

namespace vg::platform {

namespace {

volatile sig_atomic_t stopRequested = 0;
int wakePipe[2] = {-1, -1};  // the signal handler's way to end a poll at once
bool inputClosed = false;
bool terminalChanged = false;
termios savedTerminal{};

void onStopSignal(int) {
    const int savedErrno = errno;
    stopRequested = 1;
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
    }
    errno = savedErrno;
}

void drainWakePipe() {
    char buf[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], buf, sizeof buf) > 0) {
    }
}

bool ownsTerminal() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

}  // namespace

void consoleOpen() {
    // A closed standard stream would hand its number to the next open: the serial port could
    // become "standard output". Park /dev/null there first.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            if (fd == STDIN_FILENO) {
                inputClosed = true;
            }
            const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
    if (pipe(wakePipe) == 0) {
        for (const int fd : wakePipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal must cut a sleep or a wait short
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }

    if (!inputClosed && isatty(STDIN_FILENO)) {
        // A logger started in the background must not be stopped by reading or reconfiguring
        // the terminal of the job in front; it takes its keys only from a terminal it owns.
        if (!ownsTerminal()) {
            inputClosed = true;
            return;
        }
        if (tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
            termios keys = savedTerminal;
            keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // single keys, unechoed
            keys.c_cc[VMIN] = 1;
            keys.c_cc[VTIME] = 0;
            if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0) {
                terminalChanged = true;
                std::atexit(consoleRestore);
            }
        }
    }
}

void consoleRestore() {
    if (terminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        terminalChanged = false;
    }
}

bool keyWaiting() {
    if (stopRequested) {
        return true;
    }
    if (inputClosed) {
        return false;
    }
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) <= 0) {
        return false;
    }
    if ((in.revents & POLLNVAL) != 0) {
        inputClosed = true;
        return false;
    }
    // End of file and errors count as waiting: the read that follows finds them.
    return (in.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool inputEnded() {
    return inputClosed;
}

int readKey() {
    if (stopRequested) {
        return kExitKey;
    }
    if (inputClosed) {
        return -1;
    }
    unsigned char key = 0;
    const ssize_t n = read(STDIN_FILENO, &key, 1);
    if (n == 1) {
        return key;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        inputClosed = true;  // nothing more can come; stop polling it
    }
    return stopRequested ? kExitKey : -1;
}

void sleepMs(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal ends it early, which is what we want
}

void waitForActivity(PortHandle port, int timeoutMs) {
    if (stopRequested) {
        return;
    }
    pollfd fds[3];
    nfds_t n = 0;
    if (wakePipe[0] >= 0) {
        fds[n++] = {wakePipe[0], POLLIN, 0};
    }
    if (!inputClosed) {
        fds[n++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (port != kInvalidPort) {
        fds[n++] = {port, POLLIN, 0};
    }
    if (poll(fds, n, timeoutMs < 0 ? -1 : timeoutMs) > 0 && wakePipe[0] >= 0 &&
        (fds[0].revents & POLLIN) != 0) {
        drainWakePipe();
    }
}

}  // namespace vg::platform

namespace vg::platform {

bool consoleIsTerminal(ConsoleStream stream) {
    return isatty(stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

}  // namespace vg::platform

namespace vg::platform {

bool stopPending() {
    return stopRequested != 0;
}

}  // namespace vg::platform
