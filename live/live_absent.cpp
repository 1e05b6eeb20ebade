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

}  // namespace vg::live
