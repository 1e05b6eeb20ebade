// The live view of a run (--serve) as a tap of the loop: samples from the decoder's sample tap,
// the status every pass (at most every kPublishMs), the run's messages as they are said.
#pragma once

#include <memory>

#include "app/options.h"
#include "app/run_tap.h"
#include "live/live.h"

namespace vg::app {

class MqttTap;

// The run's status as /api/status (and the broker's status topic) shows it, from the app's state
// now; device names a replay's capture (null: the link's device).
live::Status viewStatus(const App& app, const RunCounters& counters, std::uint64_t nowMs,
                        const MqttTap* mqtt, const char* device = nullptr);

struct LiveView final : RunTap {
    static constexpr std::uint64_t kPublishMs = 50;

    App& app;
    std::unique_ptr<live::Server, void (*)(live::Server*)> server{nullptr, live::stopServer};
    bool published = false;
    std::uint64_t lastPublishMs = 0;
    const char* device = nullptr;
    const MqttTap* mqtt = nullptr;  // the broker's state joins the status when publishing  // a
                                    // replay's capture; else the link names the device

    explicit LiveView(App& a) : app(a) {}
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;
    ~LiveView() override;

    // Serves address before anything is opened: one that cannot be served leaves nothing behind.
    // False (with the reason said) when it cannot be served.
    bool start(const Options& options);

    void pass(const App& app, const RunCounters& c, std::uint64_t nowMs) override;
    void finished(const App& app, const RunSummary& summary) override;

    // The status as the live view shows it.
    void publish(const RunCounters& c, std::uint64_t nowMs);
};

}  // namespace vg::app
