#include "bench/workload.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <system_error>

#include "platform/clock.h"

namespace vg::bench {

namespace {

constexpr std::size_t kQ1Offset = 5;  // the second Q14 word of a quaternion packet
constexpr std::size_t kTagOffset = 12;

void count(Stream& s, std::uint8_t kind) {
    ++s.packets;
    if (kind == sim::kAngleAccelKind) {
        ++s.angleAccel;
    } else if (kind == sim::kQuaternionKind) {
        ++s.quaternions;
    } else if (kind != sim::kRateKind && kind != sim::kAngleKind && kind != sim::kAccelKind) {
        ++s.others;
    }
}

// The simulated board's default motion from the given seed.
sim::Board seededBoard(std::uint64_t seed) {
    sim::BoardConfig config = sim::defaultConfig();
    config.seed = seed;
    sim::Board board;
    sim::initBoard(board, config);
    return board;
}

}  // namespace

Stream angleAccelStream(std::size_t packets, std::uint64_t seed) {
    const sim::Board board = seededBoard(seed);
    Stream s;
    s.bytes.reserve(packets * sim::kAngleAccelLength);
    std::array<std::uint8_t, sim::kAngleAccelLength> packet{};
    for (std::size_t n = 0; n < packets; ++n) {
        const std::size_t len = sim::encodeAngleAccel(packet.data(), static_cast<std::uint16_t>(n),
                                                      sim::motionAt(board, n));
        s.bytes.insert(s.bytes.end(), packet.begin(), packet.begin() + static_cast<long>(len));
        count(s, sim::kAngleAccelKind);
    }
    return s;
}

Stream quaternionStream(std::size_t packets, std::uint64_t seed) {
    const sim::Board board = seededBoard(seed);
    Stream s;
    s.bytes.reserve(packets * sim::kQuaternionLength);
    std::array<std::uint8_t, sim::kQuaternionLength> packet{};
    std::uint8_t tag = 0;
    for (std::uint64_t n = 0; s.packets < packets; ++n) {
        const sim::Motion m = sim::motionAt(board, n);
        sim::encodeQuaternion(packet.data(), m.quat, m.buttons, tag);
        if (packet[kQ1Offset] == 0 && packet[kQ1Offset + 1] == 0) {
            continue;  // the logger would not track this one
        }
        s.bytes.insert(s.bytes.end(), packet.begin(), packet.end());
        count(s, sim::kQuaternionKind);
        ++tag;
    }
    // Tags count up modulo 256, so only a length of 256k + 1 ends on the first packet's tag.
    if (packets > 1 && packets % 256 == 1) {
        s.bytes[s.bytes.size() - sim::kQuaternionLength + kTagOffset] = 1;
    }
    return s;
}

Stream boardStream(std::size_t samples, const sim::BoardConfig& config) {
    sim::Board board;
    sim::initBoard(board, config);
    Stream s;
    sim::SampleBytes sample;
    for (std::size_t n = 0; n < samples; ++n) {
        sim::nextSample(board, sample);
        s.bytes.insert(s.bytes.end(), sample.bytes.begin(),
                       sample.bytes.begin() + static_cast<long>(sample.size));
        for (std::size_t i = 0; i < sample.packetCount; ++i) {
            count(s, sample.packets[i].kind);
        }
    }
    return s;
}

Decoded decodeStream(const Stream& stream) {
    constexpr std::int32_t kDumpBytes = 14;  // what a misc-log line shows of a packet
    auto app = std::make_unique<app::App>();
    prepareApp(*app);
    Decoded d;
    char line[logging::kMaxSampleLine];
    // Packet by packet: framing one at a time keeps the ring from ever overflowing.
    const std::uint8_t* bytes = stream.bytes.data();
    for (std::size_t at = 0; at < stream.bytes.size(); ++at) {
        if (sio::frameBytes(app->link.framer, app->ring, bytes + at, 1) == 0) {
            continue;
        }
        decode::decodeNextPacket(app->decoder, app->ring, app->state, app->files.logs);
        ++d.packets;
        const std::uint8_t kind = app->decoder.rxBuffer[2];
        if (kind == sim::kAngleAccelKind) {
            d.records.push_back(app->decoder.record);
            d.samplesLogBytes += logging::formatAngleAccelLine(line, app->decoder.record);
        } else if (kind != sim::kQuaternionKind && kind != sim::kRateKind &&
                   kind != sim::kAngleKind && kind != sim::kAccelKind) {
            d.miscLogBytes +=
                logging::formatDumpLine(line, app->decoder.rxBuffer.data(), kDumpBytes);
        }
    }
    return d;
}

void prepareApp(app::App& app) {
    sio::setRingSize(app.ring, sio::kMaxSlots);
    initSensorState(&app.state);
}

std::size_t feedStream(app::App& app, const std::uint8_t* bytes, std::size_t size,
                       std::size_t chunk) {
    std::size_t decoded = 0;
    for (std::size_t at = 0; at < size; at += chunk) {
        sio::frameBytes(app.link.framer, app.ring, bytes + at, std::min(chunk, size - at));
        std::uint16_t pktsInBuffer = 0;
        sio::countPackets(app.ring, pktsInBuffer);
        for (std::uint16_t i = 0; i < pktsInBuffer; ++i) {
            if (decode::decodeNextPacket(app.decoder, app.ring, app.state, app.files.logs) == 0) {
                ++decoded;
            }
        }
        logging::flushLogsIfDue(app.files.logs, platform::monotonicMs());
    }
    return decoded;
}

ScratchDir::ScratchDir() {
    std::error_code ec;
    home_ = std::filesystem::current_path(ec);
    std::string tmpl = (std::filesystem::temp_directory_path(ec) / "vglog-bench-XXXXXX").string();
    if (ec || mkdtemp(tmpl.data()) == nullptr) {
        return;
    }
    if (chdir(tmpl.c_str()) != 0) {
        std::filesystem::remove(tmpl, ec);
        return;
    }
    dir_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (dir_.empty()) {
        return;
    }
    std::error_code ec;
    std::filesystem::current_path(home_, ec);
    std::filesystem::remove_all(dir_, ec);
}

}  // namespace vg::bench
