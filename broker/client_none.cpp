// A build without an MQTT client library: --mqtt says so before anything starts.
#include "broker/broker.h"

namespace vg::broker {

struct Client {};

bool available() {
    return false;
}

bool loadClient(std::string& why) {
    why = "no MQTT client in this build";
    return false;
}

std::unique_ptr<Client, void (*)(Client*)> startClient(const Config&, StartError& error, int& err,
                                                       int& code) {
    error = StartError::Unavailable;
    err = 0;
    code = 0;
    return {nullptr, stopClient};
}

void pushSample(Client&, const Sample&) {}
void kick(Client&) {}
void postStatus(Client&, std::string_view) {}
bool takeReport(Client&, Report&) {
    return false;
}
Report currentReport(Client&) {
    return {};
}
Counts counts(const Client&) {
    return {};
}
void finishClient(Client&, std::string_view, unsigned) {}
void stopClient(Client* client) {
    delete client;
}

}  // namespace vg::broker
