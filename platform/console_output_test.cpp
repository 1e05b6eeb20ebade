// The console's status line, in a child process: the console is one per process and looks at
// its descriptors once.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string readAll(int fd) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(ConsoleOutputTest, StatusLineIsTakenAwayForEachMessageAndAtTheEnd) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int status = inChild(slave, [] {
        consoleStatus("rx 10");
        consoleFlush(0);  // no wait: only the latest status line matters
        consoleStatus("rx 12");
        consoleWrite(ConsoleStream::Err, "note\n");
        consoleFlush(2000);
        return 0;
    });
    close(slave);
    EXPECT_EQ(status, 0);
    const std::string got = readAll(master);
    close(master);
    // However far the writer got with the status lines around the message, none was left in
    // front of it, and nothing of one is left on the line at the end.
    const std::string e = "\r\x1b[K";
    const auto note = got.find("note\r\n");
    ASSERT_NE(note, std::string::npos) << got;
    const std::string before = got.substr(0, note);
    const std::string after = got.substr(note + 6);
    // The flush between the two may have taken "rx 10" away on its own: erases may double.
    std::string shown = before;
    for (auto at = shown.find(e); at != std::string::npos; at = shown.find(e)) {
        shown.erase(at, e.size());
    }
    EXPECT_TRUE(before.empty() || before.ends_with(e)) << before;
    EXPECT_TRUE(shown.empty() || shown == "rx 10" || shown == "rx 12" || shown == "rx 10rx 12")
        << before;
    EXPECT_TRUE(after.empty() || after == e + "rx 12" + e) << after;
}

}  // namespace
}  // namespace vg::platform
