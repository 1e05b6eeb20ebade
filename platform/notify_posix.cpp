#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/notify.h"

namespace vg::platform {

namespace {

std::uint64_t watchdogFromEnvironment() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || usec[0] == '\0') {
        return 0;
    }
    // The watchdog is meant for one process: a child that inherited it stays out of it.
    if (pid != nullptr && pid[0] != '\0' &&
        std::strtoll(pid, nullptr, 10) != static_cast<long long>(getpid())) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long us = std::strtoull(usec, &end, 10);
    return end != nullptr && *end == '\0' ? us : 0;
}

}  // namespace

int openNotifier(Notifier& n) {
    n = Notifier{};
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    const std::size_t length = std::strlen(path);
    sockaddr_un address{};
    static_assert(sizeof address <= sizeof n.address);
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path) {
        return EINVAL;  // neither a path nor an abstract name we can reach
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract name: no file behind it
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return errno;
    }
    n.socket = fd;
    std::memcpy(n.address.data(), &address, sizeof address);
    n.addressLength = offsetof(sockaddr_un, sun_path) + length;
    n.watchdogUs = watchdogFromEnvironment();
    return 0;
}

int notify(const Notifier& n, const char* text, std::size_t length) {
    if (n.socket < 0) {
        return 0;
    }
    for (;;) {
        const ssize_t sent = sendto(n.socket, text, length, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(n.address.data()),
                                    static_cast<socklen_t>(n.addressLength));
        if (sent >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;  // EAGAIN included: a manager that does not read is not waited for
        }
    }
}

void closeNotifier(Notifier& n) {
    if (n.socket >= 0) {
        close(n.socket);
    }
    n = Notifier{};
}

}  // namespace vg::platform
