#include <cstdio>

#include "sio/sio.h"

namespace vg::sio {

LinkEvent watchLink(SerialLink& link, std::uint64_t nowMs) {
    if (!link.lost) {
        if (!link.readFailed) {
            return LinkEvent::None;
        }
        // The packet that was arriving can never be completed: bytes after the return belong
        // to other packets.
        dropPartialPacket(link.framer);
        std::snprintf(link.lossReason.data(), link.lossReason.size(), "%s",
                      platform::serialReadFailure());
        closePort(link);
        link.readFailed = false;
        link.lost = true;
        ++link.losses;
        link.lostSinceMs = nowMs;
        link.nextRetryMs = nowMs + kRetryIntervalMs;
        return LinkEvent::Lost;
    }
    if (nowMs < link.nextRetryMs) {
        return LinkEvent::None;
    }
    link.nextRetryMs = nowMs + kRetryIntervalMs;
    if (reopenLink(link) != 0) {
        return LinkEvent::None;
    }
    link.lost = false;
    link.lostTotalMs += nowMs - link.lostSinceMs;
    return LinkEvent::Back;
}

std::int64_t msUntilRetry(const SerialLink& link, std::uint64_t nowMs) {
    if (!link.lost) {
        return -1;
    }
    return link.nextRetryMs > nowMs ? static_cast<std::int64_t>(link.nextRetryMs - nowMs) : 0;
}

}  // namespace vg::sio
