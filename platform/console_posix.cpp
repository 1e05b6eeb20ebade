#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <initializer_list>

#include "platform/console.h"

namespace vg::platform {

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t resumed = 0;  // SIGCONT came: the terminal may be ours again
int wakePipe[2] = {-1, -1};         // the signal handler's way to end a poll at once
bool inputClosed = false;
bool inputTerminal = false;
bool terminalChanged = false;  // single-key mode is set and not yet put back
bool terminalSaved = false;
termios savedTerminal{};

// Typed bytes are read in bulk, so an exit key behind a run of others is seen in one pass.
unsigned char keys[256];
std::size_t keysHeld = 0;
std::size_t keysNext = 0;

void wake() {
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
    }
}

void onStopSignal(int) {
    const int savedErrno = errno;
    stopRequested = 1;
    wake();
    errno = savedErrno;
}

void onContinue(int) {
    const int savedErrno = errno;
    resumed = 1;
    wake();
    errno = savedErrno;
}

void drainWakePipe() {
    char buf[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], buf, sizeof buf) > 0) {
    }
}

// A job in the background (started with "&", or after Ctrl+Z and "bg") would be stopped by
// the terminal for reading it or changing its settings, and would change them for the job in
// front; fg and bg move the terminal at any time, so this is asked each time.
bool ownsTerminal() {
    const pid_t front = tcgetpgrp(STDIN_FILENO);
    // A terminal that is not our controlling one has no foreground for us to be out of.
    return front == getpgrp() || (front < 0 && errno == ENOTTY);
}

// Runs f with the terminal's stop signal held back, so a terminal lost between the check and
// the call can never stop the process: a read fails with EIO instead, a setting goes through.
template <typename F>
void withHeld(int sig, F f) {
    sigset_t held{};
    sigset_t previous{};
    sigemptyset(&held);
    sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    f();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Puts the terminal into single-key mode when this process is in front and has not done so.
void takeKeys() {
    if (!inputTerminal || terminalChanged || !ownsTerminal()) {
        return;
    }
    withHeld(SIGTTOU, [] {
        termios now{};
        if (tcgetattr(STDIN_FILENO, &now) != 0) {
            return;
        }
        // Coming back to the front, the shell may have handed our own settings back: the ones
        // to restore at the end are still the first ones saved.
        if (!terminalSaved || (now.c_lflag & ICANON) != 0) {
            savedTerminal = now;
            terminalSaved = true;
        }
        termios single = now;
        single.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // single keys, unechoed
        single.c_cc[VMIN] = 1;
        single.c_cc[VTIME] = 0;
        if (ownsTerminal() && tcsetattr(STDIN_FILENO, TCSANOW, &single) == 0) {
            terminalChanged = true;
        }
    });
}

// Keys are read only from input that is not a terminal, or a terminal this process is in
// front of; a background job leaves them to the job in front.
bool keysReadable() {
    if (inputClosed) {
        return false;
    }
    if (!inputTerminal) {
        return true;
    }
    if (resumed) {
        resumed = 0;
        terminalChanged = false;  // the shell had the terminal meanwhile and set it its way
        takeKeys();
    }
    if (!ownsTerminal()) {
        terminalChanged = false;
        return false;
    }
    takeKeys();
    return true;
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
        // A signal ignored by whoever started us (nohup, a script's background job) stays so.
        struct sigaction inherited {};
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(sig, &action, nullptr);
    }
    action.sa_handler = onContinue;
    action.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &action, nullptr);

    inputTerminal = !inputClosed && isatty(STDIN_FILENO);
    if (inputTerminal) {
        std::atexit(consoleRestore);
        takeKeys();
    }
}

void consoleRestore() {
    if (!terminalChanged) {
        return;
    }
    terminalChanged = false;
    // From the background the terminal is no longer ours to set: the shell has set it its way.
    withHeld(SIGTTOU, [] {
        if (ownsTerminal()) {
            tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        }
    });
}

bool keyWaiting() {
    if (stopRequested || keysNext < keysHeld) {
        return true;
    }
    if (!keysReadable()) {
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
    if (keysNext < keysHeld) {
        return keys[keysNext++];
    }
    if (!keysReadable()) {
        return -1;
    }
    ssize_t n = -1;
    withHeld(SIGTTIN, [&n] { n = read(STDIN_FILENO, keys, sizeof keys); });
    if (n < 0 && errno == EIO && inputTerminal && !ownsTerminal()) {
        return stopRequested ? kExitKey : -1;  // sent to the background meanwhile
    }
    if (n > 0) {
        keysHeld = static_cast<std::size_t>(n);
        keysNext = 1;
        return keys[0];
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
    if (stopRequested || keysNext < keysHeld) {
        return;
    }
    pollfd fds[3];
    nfds_t n = 0;
    if (wakePipe[0] >= 0) {
        fds[n++] = {wakePipe[0], POLLIN, 0};
    }
    if (keysReadable()) {
        fds[n++] = {STDIN_FILENO, POLLIN, 0};
    } else if (inputTerminal && !inputClosed && (timeoutMs < 0 || timeoutMs > 500)) {
        timeoutMs = 500;  // in the background: look again now and then whether fg came
    }
    if (port != kInvalidPort) {
        fds[n++] = {port, POLLIN, 0};
    }
    if (poll(fds, n, timeoutMs < 0 ? -1 : timeoutMs) > 0 && wakePipe[0] >= 0 &&
        (fds[0].revents & POLLIN) != 0) {
        drainWakePipe();
    }
}

bool consoleIsTerminal(ConsoleStream stream) {
    return isatty(stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

bool stopPending() {
    return stopRequested != 0;
}

}  // namespace vg::platform
