// The console's status line, in a child process: the console is one per process and looks at
// its descriptors once.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/console.h"

namespace vg::platform {
namespace {

// Runs body in a child whose standard output and error are out; the child's exit status is the
// body's result.
int inChild(int out, int (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

const char* childTerm = nullptr;

std::string readAll(int fd) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    // The child has left: the far end's hang-up ends the read once every byte is taken.
    while (poll(&p, 1, 10000) > 0) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// What the terminal is told for a status line, by kind of terminal: drawn (over one prev columns
// wide) and erased (one shown columns wide).
struct Drawing {
    bool escapes;
    std::string draw(const std::string& line, std::size_t prev) const {
        if (escapes) {
            return "\x1b[?7l\r\x1b[K" + line + "\x1b[?7h";
        }
        return "\r" + line + std::string(prev > line.size() ? prev - line.size() : 0, ' ');
    }
    std::string erase(std::size_t shown) const {
        return escapes ? "\r\x1b[K" : "\r" + std::string(shown, ' ') + "\r";
    }
};

TEST(ConsoleOutputTest, StatusLineFitsTheTerminalAndMakesWayForEachMessage) {
    struct Case {
        const char* term;  // null: no TERM at all
        unsigned short columns;
        bool escapes;
    };
    for (const Case c : {Case{"xterm-256color", 0, true}, Case{"xterm", 12, true},
                         Case{"dumb", 0, false}, Case{nullptr, 12, false}}) {
        SCOPED_TRACE(c.term != nullptr ? c.term : "(no TERM)");
        SCOPED_TRACE(c.columns);
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_col = c.columns;
        size.ws_row = 24;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
        childTerm = c.term;
        const int status = inChild(slave, [] {
            if (childTerm != nullptr) {
                setenv("TERM", childTerm, 1);
            } else {
                unsetenv("TERM");
            }
            consoleStatus("rx 10 and more");
            consoleFlush(0);  // takes the line away, without waiting for it to go
            consoleStatus("rx 12");
            consoleWrite(ConsoleStream::Err, "note\n");
            consoleFlush(30000);  // returns once written: the time counts only on a stalled machine
            return 0;
        });
        close(slave);
        EXPECT_EQ(status, 0);
        const std::string got = readAll(master);
        close(master);
        // However far the writer got with the status lines around the message, none was left
        // in front of it, none took the terminal's last column, and nothing of one is left on
        // the line at the end.
        const Drawing d{c.escapes};
        const std::string a =
            c.columns > 0 ? std::string("rx 10 and more").substr(0, 11) : "rx 10 and more";
        const std::string b = "rx 12";
        const auto note = got.find("note\r\n");
        ASSERT_NE(note, std::string::npos) << got;
        const std::string before = got.substr(0, note);
        const std::string after = got.substr(note + 6);
        EXPECT_TRUE(before.empty() || before == d.draw(a, 0) + d.erase(a.size()) ||
                    before == d.draw(b, 0) + d.erase(b.size()) ||
                    before == d.draw(a, 0) + d.draw(b, a.size()) + d.erase(b.size()) ||
                    before == d.draw(a, 0) + d.erase(a.size()) + d.draw(b, 0) + d.erase(b.size()))
            << before;
        EXPECT_TRUE(after.empty() || after == d.draw(b, 0) + d.erase(b.size())) << after;
        if (!c.escapes) {
            EXPECT_EQ(got.find('\x1b'), std::string::npos) << got;
        }
    }
}

}  // namespace
}  // namespace vg::platform
