#include "timing/read_pacing.h"

namespace vg::timing {

NextPass planNextPass(ReadPacing& pacing, std::uint64_t passStartMs, std::size_t drained,
                      std::uint64_t nowMs) {
    if (drained == 0) {
        // Nothing came while held (or nothing at all): wait for the next piece as it comes.
        pacing = ReadPacing{pacing.passMs};
        return {};
    }
    if (!pacing.holding) {
        const bool fast = pacing.readBefore && passStartMs - pacing.lastReadPassMs < pacing.passMs;
        pacing.fastPasses = fast ? pacing.fastPasses + 1 : 0;
        pacing.holding = pacing.fastPasses >= kFastPassesToHold;
    }
    pacing.readBefore = true;
    pacing.lastReadPassMs = passStartMs;
    if (!pacing.holding) {
        return {};
    }
    const std::uint64_t due = passStartMs + pacing.passMs;
    return {nowMs < due ? due - nowMs : 0, false};
}

}  // namespace vg::timing
