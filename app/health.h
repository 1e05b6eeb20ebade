// Health while a run goes on: the running record under --summary-json, refreshed every few
// seconds, and, under a service manager, the notifications that the run is ready, what it is
// doing (one line), and that its loop still turns (the watchdog).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/run_tap.h"
#include "app/summary_json.h"
#include "platform/notify.h"
#include "sio/sio.h"

namespace vg::app {

// The running record is written at least this often.
inline constexpr std::uint64_t kRecordPeriodMs = 5000;
// The manager's status line at most this often.
inline constexpr std::uint64_t kNotifyStatusPeriodMs = 1000;

struct Health final : RunTap {
    SummaryJsonFile* record = nullptr;  // the summary file, under --summary-json
    platform::Notifier notifier;
    std::uint64_t nextRecordMs = 0;
    std::uint64_t nextStatusMs = 0;
    std::uint64_t nextWatchdogMs = 0;
    std::uint64_t rateSinceMs = 0;  // the rate is that of the samples since then
    std::uint64_t rateSinceSamples = 0;
    double samplesPerSecond = 0;
    std::array<char, 256> statusSent{};
    bool recordFailed = false;  // said once on standard error

    void started(const App& app, std::uint64_t nowMs) override;
    void pass(const App& app, const RunCounters& c, std::uint64_t nowMs) override;
    void linkEvent(const App& app, sio::LinkEvent e, std::uint64_t nowMs) override;
    void rotated(const App& app, std::uint64_t nowMs) override;
    std::int64_t msUntilDue(std::uint64_t nowMs) const override;
};

// Opens the manager's socket when there is one; a socket that cannot be used is said once on
// standard error and the run goes on without it.
void startHealth(Health& health, SummaryJsonFile* record);
void stopHealth(Health& health);
// The run is over and its status known (after the final record): the manager is told.
void endHealth(Health& health, const RunSummary& summary);

// The manager's one-line status: "link up, 123456 samples, 100.0/s" or "link LOST: <reason>".
std::string healthStatusText(bool linkUp, const char* lossReason, std::uint64_t samples,
                             double samplesPerSecond);

}  // namespace vg::app
