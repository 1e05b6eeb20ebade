#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/net.h"

namespace vg::platform {

int holdSocketWrites(int socket, bool hold) {
#if defined(TCP_CORK)
    const int on = hold ? 1 : 0;
    return setsockopt(socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0 ? 0 : errno;
#elif defined(TCP_NOPUSH)
    const int on = hold ? 1 : 0;
    return setsockopt(socket, IPPROTO_TCP, TCP_NOPUSH, &on, sizeof on) == 0 ? 0 : errno;
#else
    (void)socket;
    (void)hold;
    return ENOTSUP;
#endif
}

}  // namespace vg::platform
