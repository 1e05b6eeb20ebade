// What the operator sees of a run on standard error: where it logs, the status line, the
// warning about a silent board, the link's losses and returns, and the summary at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "app/recording.h"
#include "decode/decode.h"
#include "logging/raw_capture.h"
#include "sio/sio.h"

namespace vg::app {

// A run's counts, all taken from the data path (framer, ring, decoder, link).
struct RunCounters {
    decode::PacketCounts packets{};
    std::uint64_t noiseBytes = 0;  // skipped by the framer
    std::uint64_t cutPackets = 0;  // cut off by a lost link
    std::uint64_t ringDrops = 0;   // pushed out of a full ring
    std::uint32_t linkLosses = 0;
    std::uint64_t msLost = 0;  // without the board, the current loss included
};

RunCounters countersOf(const sio::SerialLink& link, const sio::PacketRing& ring,
                       const decode::Decoder& decoder, std::uint64_t nowMs);

inline constexpr std::uint64_t kStatusPeriodMs = 500;
inline constexpr std::uint64_t kSilenceWarnMs = 5000;
// The width a status line is fitted to when the terminal tells none.
inline constexpr unsigned kDefaultColumns = 80;

struct RunStatus {
    bool showLine = false;  // standard error is a terminal and --quiet was not given
    std::uint64_t startMs = 0;
    std::uint64_t lastDrawMs = 0;
    std::uint64_t samplesAtDraw = 0;
    double samplesPerSecond = 0;
    unsigned drawnColumns = 0;      // the terminal width the line was last fitted to
    std::uint64_t lastBytesMs = 0;  // when bytes last arrived (or the link opened)
    bool silenceWarned = false;
    // Bytes that arrive but form no packet: the wrong port, baud rate or device.
    std::uint64_t lastPacketMs = 0;   // when a pass last found packets among little noise
    std::uint64_t packetsSeen = 0;    // packets found so far, decoded or pushed out of the ring
    std::uint64_t noiseSeen = 0;      // noise bytes so far
    std::uint64_t noiseAtPacket = 0;  // noise bytes as of lastPacketMs
    bool noiseWarned = false;
    // A replay's progress: bytes of the capture read, and its size (0: unknown, as for a FIFO).
    std::uint64_t replayBytes = 0;
    std::uint64_t replaySize = 0;
    // A field the status line shows after the angles (the broker's state); "" for none.
    std::array<char, 96> extraField{};
};

// Starts the run's display: one line naming the device and every file of the set, and where
// the samples are published (--mqtt) when publishing is not null.
void startRunStatus(RunStatus& status, bool quiet, const char* device, const FileSet& set,
                    std::uint64_t nowMs, const char* publishing = nullptr);

// The files of the set open now as the start and rotation lines name them: "A and B",
// "A, B and C".
std::size_t formatSetFiles(char* buf, std::size_t size, const FileSet& set);

// Once per loop pass, after the drain: notes arriving bytes, warns once about a board silent for
// 5 s and once about 5 s of bytes that form no packet (each again only after data or packets
// flowed), and redraws the status line when due or when the terminal's width changed.
void updateRunStatus(RunStatus& status, const sio::SerialLink& link, const RunCounters& counters,
                     const logging::AngleAccelRecord& latest, std::uint64_t nowMs);

// Milliseconds until updateRunStatus has something to do without new bytes; -1 for never.
std::int64_t msUntilStatusDue(const RunStatus& status, const sio::SerialLink& link,
                              std::uint64_t nowMs);

// Tells the operator that the link was lost or is back. (The console takes the status line
// away for every message and draws it again after.)
void reportLinkEvent(RunStatus& status, const sio::SerialLink& link, sio::LinkEvent event,
                     std::uint64_t nowMs);

// Takes the status line away for good before the run's last words.
void endRunStatus(const RunStatus& status);

// The status line's text (no line end) into buf; the length written. It is fitted into
// columns - 1 (columns 0: kDefaultColumns): the elapsed time and link state come first, then
// samples and rate, then the three angles (once a sample is logged), each in a narrower form
// when needed, and the rest (extra when not empty, packets by kind, noise, drops) only while
// they fit, dropped from the last.
std::size_t formatStatusLine(char* buf, std::size_t size, const RunCounters& counters,
                             std::uint64_t elapsedMs, double samplesPerSecond, bool linkUp,
                             const logging::AngleAccelRecord& latest, std::uint64_t consoleDrops,
                             unsigned columns, const char* extra = "");

// A replay's progress at a terminal: startReplayProgress before the capture is read (its size
// is known when it is a regular file), updateReplayProgress after each chunk is decoded; the
// line shows at most twice a second and endRunStatus takes it away.
void startReplayProgress(RunStatus& status, bool quiet, const char* path, std::uint64_t nowMs);
void updateReplayProgress(RunStatus& status, std::size_t chunkBytes,
                          const decode::PacketCounts& packets, std::uint64_t nowMs);
// The progress line, fitted like the status line: the share read (or, for a capture of unknown
// size, the bytes read), packets and their rate, and the time left (or the byte rate).
std::size_t formatReplayProgress(char* buf, std::size_t size, std::uint64_t bytesRead,
                                 std::uint64_t captureSize, std::uint64_t packets,
                                 std::uint64_t elapsedMs, unsigned columns);

// The summary at the end of a run (also of a replay): duration, packets, losses and the files
// written (the raw capture too, when there is one) with what each holds: the bytes (and lines of
// a log) that reached it, where it is now when it was moved, and whether writing it failed.
// Lines end in "\n"; control characters in names are escaped.
// "N samples logged" counts the lines the samples logs hold (samplesLogged); files are every
// file of the run, in the order written (with --rotate, every set).
std::size_t formatRunSummary(char* buf, std::size_t size, const RunCounters& counters,
                             std::uint64_t durationMs, std::uint64_t samplesLogged);
// One file's line of the summary.
std::size_t formatSummaryFileLine(char* buf, std::size_t size, const RunFile& file);
void printRunSummary(const RunCounters& counters, std::uint64_t durationMs,
                     std::uint64_t samplesLogged, const std::vector<RunFile>& files);

// --list: the ports on standard output, one a line; when there are none, a note on standard
// error. 0, or 1 when the ports could not be listed (the reason on standard error).
int listPorts();
// After a failed open, on standard error: for a device that does not exist, the ports there are
// (adapters first) and a hint to pass one, after the usage line when no port was named
// (prompted); for a device whose permissions refuse us, what to do about it. Nothing when the
// device was busy.
void suggestPorts(const sio::SerialLink& link, bool prompted);

}  // namespace vg::app
