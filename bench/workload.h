// What the benchmarks feed the logger: realistic byte streams from the simulated board, the main
// loop's pass over them, and a scratch directory for the logs they write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "app/app.h"
#include "tools/sim/board.h"

namespace vg::bench {

// A byte stream and what is in it.
struct Stream {
    std::vector<std::uint8_t> bytes;
    std::size_t packets = 0;
    std::size_t angleAccel = 0;  // packets of kind 10
    std::size_t quaternions = 0;
    std::size_t others = 0;  // kinds that go to the misc log
};

// AngleAccel packets only, one per motion sample of a board with this seed, end to end.
Stream angleAccelStream(std::size_t packets, std::uint64_t seed);
// Quaternion packets only, each with a tag unlike the one before it (also from the last packet
// round to the first, so the stream can be replayed) and a non-zero q1 word: every packet runs
// the tracker.
Stream quaternionStream(std::size_t packets, std::uint64_t seed);
// What the board sends for that many motion samples with this configuration.
Stream boardStream(std::size_t samples, const sim::BoardConfig& config);

// What the logs receive from a stream, found packet by packet with the logs closed.
struct Decoded {
    std::size_t packets = 0;
    std::vector<logging::AngleAccelRecord> records;  // one per AngleAccel packet, in order
    std::size_t samplesLogBytes = 0;                 // without the header
    std::size_t miscLogBytes = 0;
};
Decoded decodeStream(const Stream& stream);

// Sizes the ring as opening the link does and sets the sensor state up as start-up does.
void prepareApp(app::App& app);

// One pass of the main loop for each read of at most chunk bytes of the stream: frame the read
// into the ring, count, decode that many packets, flush the logs if due. Returns the packets
// decoded.
std::size_t feedStream(app::App& app, const std::uint8_t* bytes, std::size_t size,
                       std::size_t chunk);

// A fresh directory under the system's temporary directory that becomes the current directory
// for its lifetime; it is removed, with everything in it, afterwards.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    const std::filesystem::path& path() const { return dir_; }

  private:
    std::filesystem::path home_;
    std::filesystem::path dir_;
};

}  // namespace vg::bench
