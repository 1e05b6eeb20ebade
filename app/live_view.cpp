#include "app/live_view.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/app.h"
#include "app/mqtt_tap.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace vg::app {

LiveView::~LiveView() {
    if (server) {
        platform::consoleObserve(nullptr, nullptr);
        app.decoder.sampleTaps[1] = {};
    }
}

bool LiveView::start(const Options& options) {
    live::Config config;
    live::parseAddress(options.serve, config.address);  // checked with the options
    config.hostNames.assign(options.serveHosts, options.serveHosts + options.serveHostCount);
    live::Started started;
    server = live::startServer(config, started);
    if (!server) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: cannot serve the live view at %s: %s\n", options.serve,
                               started.reason.c_str());
        return false;
    }
    device = options.replayFile;
    app.decoder.sampleTaps[1] = live::sampleTap(*server);
    platform::consoleObserve(
        [](void* context, platform::ConsoleStream, const char* text, std::size_t length) {
            live::publishMessage(*static_cast<live::Server*>(context), text, length);
        },
        server.get());
    platform::consolePrint(platform::ConsoleStream::Err, "live view at %s\n", started.url.c_str());
    if (started.openToNetwork) {
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: the live view is open to the network, without any login: "
                               "whoever reaches %s sees the run\n",
                               started.url.c_str());
    }
    return true;
}

void LiveView::pass(const App& /*app*/, const RunCounters& c, std::uint64_t nowMs) {
    // A replay passes thousands of times a second; a page redraws a few times.
    if (!published || nowMs - lastPublishMs >= kPublishMs) {
        publish(c, nowMs);
    }
}

void LiveView::finished(const App& /*app*/, const RunSummary& summary) {
    publish(summary.counters, app.run.startMs + summary.durationMs);
}

live::Status viewStatus(const App& app, const RunCounters& c, std::uint64_t nowMs,
                        const MqttTap* mqtt, const char* device) {
    live::Status s;
    s.elapsedMs = nowMs - app.run.startMs;
    s.linkUp = !app.link.lost;
    if (app.link.lost) {
        std::snprintf(s.lossReason.data(), s.lossReason.size(), "%s", app.link.lossReason.data());
        s.lostForMs = nowMs - std::min(nowMs, app.link.lostSinceMs);
    }
    char name[platform::kPortNameSize];
    std::snprintf(s.device.data(), s.device.size(), "%s",
                  device != nullptr ? device : sio::linkDeviceName(app.link, name));
    s.samples = c.packets.angleAccel;
    s.quaternion = c.packets.quaternion;
    s.vector = c.packets.vector;
    s.other = c.packets.other;
    s.noiseBytes = c.noiseBytes;
    s.ringDrops = c.ringDrops;
    s.cutPackets = c.cutPackets;
    s.linkLosses = c.linkLosses;
    for (std::size_t i = 0; i < live::kFiles && i < kSetFiles; ++i) {
        std::snprintf(s.files[i].data(), s.files[i].size(), "%s", setFileName(app.files, i));
    }
    if (mqtt != nullptr && mqtt->on()) {
        mqtt->describe(s);
    }
    return s;
}

void LiveView::publish(const RunCounters& c, std::uint64_t nowMs) {
    if (!server) {
        return;
    }
    published = true;
    lastPublishMs = nowMs;
    live::publishStatus(*server, viewStatus(app, c, nowMs, mqtt, device));
}

}  // namespace vg::app
