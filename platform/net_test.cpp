#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/library.h"
#include "platform/net.h"

namespace {

struct Pair {
    int listener = -1, client = -1, server = -1;
    ~Pair() {
        for (const int fd : {listener, client, server}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
};

// A connected TCP pair on the loopback, writes unbuffered (as the broker client sets them).
void connectPair(Pair& p) {
    p.listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(p.listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(p.listener, 1), 0);
    ASSERT_EQ(getsockname(p.listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    p.client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(p.client, reinterpret_cast<sockaddr*>(&addr), len), 0);
    p.server = accept(p.listener, nullptr, nullptr);
    ASSERT_GE(p.server, 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(p.client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

TEST(HoldSocketWrites, WritesWaitForTheReleaseAndThenLeaveTogether) {
    Pair p;
    connectPair(p);
    ASSERT_EQ(vg::platform::holdSocketWrites(p.client, true), 0);
    const auto wrote = std::chrono::steady_clock::now();
    ASSERT_EQ(write(p.client, "abc", 3), 3);
    ASSERT_EQ(write(p.client, "def", 3), 3);
    // The system lets a held write go after 200 ms on its own: only a quicker look proves the hold.
    const bool early = readable(p.server);
    if (std::chrono::steady_clock::now() - wrote < std::chrono::milliseconds(150)) {
        EXPECT_FALSE(early);
    }
    ASSERT_EQ(vg::platform::holdSocketWrites(p.client, false), 0);
    pollfd in{p.server, POLLIN, 0};
    ASSERT_EQ(poll(&in, 1, 5000), 1);
    char got[8] = {};
    ASSERT_EQ(read(p.server, got, sizeof got), 6);
    EXPECT_STREQ(got, "abcdef");
}

TEST(HoldSocketWrites, ANonSocketSaysWhy) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_NE(vg::platform::holdSocketWrites(fds[1], true), 0);
    EXPECT_NE(vg::platform::holdSocketWrites(-1, true), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(Library, OpensWhatIsThereAndSaysWhyNot) {
    vg::platform::Library library;
    std::string why;
    ASSERT_TRUE(vg::platform::openLibrary("libm.so.6", library, why)) << why;
    EXPECT_NE(vg::platform::librarySymbol(library, "cos"), nullptr);
    EXPECT_EQ(vg::platform::librarySymbol(library, "no_such_function_here"), nullptr);
    vg::platform::Library missing;
    EXPECT_FALSE(vg::platform::openLibrary("libvglog-no-such-library.so.9", missing, why));
    EXPECT_NE(why.find("libvglog-no-such-library.so.9"), std::string::npos) << why;
}

}  // namespace
