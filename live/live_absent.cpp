// The live view's interface in a build without it (VGLOG_LIVE=OFF): nothing is ever served.
#include "live/live.h"

namespace vg::live {

struct Server {};

bool built() {
    return false;
}

bool parseAddress(std::string_view, Address&) {
    return false;
}

ServerPtr startServer(const Config&, Started& started) {
    started.failure = StartFailure::Bind;
    started.reason = "the live view is not in this build";
    return {nullptr, stopServer};
}

void stopServer(Server*) {}

decode::SampleTap sampleTap(Server&) {
    return {};
}

void publishStatus(Server&, const Status&) {}

void publishMessage(Server&, const char*, std::size_t) {}

// Without the live view the broker's status topic carries the counts alone.
void appendStatusJson(std::string& out, const Status& status, std::uint64_t) {
    out += "{\"elapsed_s\":" + std::to_string(static_cast<double>(status.elapsedMs) / 1000.0) +
           ",\"link\":\"" + (status.linkUp ? "up" : "lost") +
           "\",\"samples\":" + std::to_string(status.samples);
}

}  // namespace vg::live
