// --mqtt: the run published to a broker. Follows the run as a RunTap; every logged sample goes
// to the broker client's queue from the decoder's sample tap, and the client's changes of state
// are put into words here, one line each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/options.h"
#include "app/run_tap.h"
#include "broker/broker.h"
#include "live/live.h"

namespace vg::timing {
struct SampleTimes;
}

namespace vg::app {

struct App;

class MqttTap : public RunTap {
  public:
    // Before anything is opened: the credentials the options name can be had. 0 when fine (or
    // without --mqtt), else 2 with the reason said.
    int check(const Options& options);
    // Starts the client for the link's device (its name in topics) and hooks the decoder. 0 when
    // started or without --mqtt; else 1 with the reason said.
    int start(App& app, const Options& options);
    bool on() const { return client_ != nullptr; }
    // "mqtt://HOST:PORT/PREFIX/NAME/", for the start line.
    const char* target() const { return target_.c_str(); }

    void started(const App& app, std::uint64_t nowMs) override;
    void pass(const App& app, const RunCounters& c, std::uint64_t nowMs) override;
    void linkEvent(const App& app, sio::LinkEvent e, std::uint64_t nowMs) override;
    std::int64_t msUntilDue(std::uint64_t nowMs) const override;
    // Publishes the summary as the final status (for a few seconds at most) and says the
    // broker's part of the summary; fillSummary then gives that part to --summary-json.
    void finished(const App& app, const RunSummary& summary) override;
    void fillSummary(RunSummary& summary) const;

    // The broker's part of a status: its state, reason and counts.
    void describe(live::Status& status) const;

  private:
    static void tapSample(void* context, const logging::AngleAccelRecord& record,
                          std::uint64_t line);
    void sayChange(const broker::Report& report);
    std::string reasonText(const broker::Report& report) const;

    std::unique_ptr<broker::Client, void (*)(broker::Client*)> client_{nullptr, broker::stopClient};
    broker::Config config_;
    std::string target_;
    RunStatus* run_ = nullptr;
    const sio::PacketRing* ring_ = nullptr;
    const timing::SampleTimes* times_ = nullptr;  // under --times: its row gives the times
    std::int64_t startUs_ = 0, wallStartUs_ = 0;
    std::uint64_t nextStatusMs_ = 0;
    std::uint64_t pushed_ = 0, kickedAt_ = 0;  // samples handed over, and as of the last kick
    std::string json_;
};

}  // namespace vg::app
