// The live view's interface in a build without it (VGLOG_LIVE=OFF): nothing is ever served.
#include "live/live.h"

namespace vg::live {

struct Server {};

bool built() {
    return false;
}

std::unique_ptr<Server, void (*)(Server*)> startServer(const char*, std::string&,
                                                       std::string& error) {
    error = "the live view is not in this build";
    return {nullptr, stopServer};
}

void stopServer(Server*) {}

decode::SampleTap sampleTap(Server&) {
    return {};
}

void publishStatus(Server&, const Status&) {}

void publishMessage(Server&, const char*, std::size_t) {}

}  // namespace vg::live
