#include <cstdio>
#include <cstring>

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
        platform::describeSerialFailure(link.readFailure, link.lossReason.data(),
                                        link.lossReason.size());
        closePort(link);
        link.readFailed = false;
        link.lost = true;
        ++link.losses;
        link.lostSinceMs = nowMs;
        link.nextRetryMs = nowMs + kRetryIntervalMs;
        link.waitReason = WaitReason::Missing;  // what the loss itself says
        return LinkEvent::Lost;
    }
    if (!link.reconnect || nowMs < link.nextRetryMs) {
        return LinkEvent::None;
    }
    link.nextRetryMs = nowMs + kRetryIntervalMs;
    // The reason last said, to say a new one once.
    const WaitReason said = link.waitReason;
    char saidDetail[sizeof link.waitDetail];
    char saidDevice[sizeof link.foundIdentity.key];
    std::memcpy(saidDetail, link.waitDetail.data(), sizeof saidDetail);
    std::memcpy(saidDevice, link.foundIdentity.key, sizeof saidDevice);
    if (reopenLink(link) != 0) {
        const bool changed =
            link.waitReason != said ||
            (said == WaitReason::Other && std::strcmp(saidDetail, link.waitDetail.data()) != 0) ||
            (said == WaitReason::OtherDevice &&
             std::strcmp(saidDevice, link.foundIdentity.key) != 0);
        return changed ? LinkEvent::StillWaiting : LinkEvent::None;
    }
    link.lost = false;
    link.lostTotalMs += nowMs - link.lostSinceMs;
    return LinkEvent::Back;
}

std::int64_t msUntilRetry(const SerialLink& link, std::uint64_t nowMs) {
    if (!link.lost || !link.reconnect) {
        return -1;
    }
    return link.nextRetryMs > nowMs ? static_cast<std::int64_t>(link.nextRetryMs - nowMs) : 0;
}

}  // namespace vg::sio
