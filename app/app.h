// The application driver: start-up, command line, the polling main loop and shutdown.
#pragma once

#include <cstdint>

#include "app/file_set.h"
#include "app/recording.h"
#include "app/run_status.h"
#include "app/summary_json.h"
#include "decode/decode.h"
#include "logging/logging.h"
#include "logging/raw_capture.h"
#include "sio/sio.h"
#include "state/sensor_state.h"
#include "timing/sample_times.h"

namespace vg::app {

inline constexpr const char* kVersion = "Varnelv1.0";
inline constexpr std::uint32_t kBaudRate = 115200;

// Everything the program keeps for the whole run. The program has exactly one, with static
// lifetime; tests make their own.
struct App {
    sio::SerialLink link;
    sio::PacketRing ring;
    decode::Decoder decoder;
    FileSet files;  // the set open now (a rotation's next one lives only while it is opened)
    SensorState state;
    RunStatus run;
    timing::SampleTimes times;  // counts for the times file (and the capture's times)
    Recording recording;        // --dir, --duration, --samples, --rotate
    RunSummary summary;         // what the summary said, for --summary-json
};

// The standard decimal conversion (leading white space, optional sign, digits up to the first
// non-digit, none gives 0), kept to its low 16 bits: "7" is 7, "65536" is 0, "-1" is 65535.
std::uint16_t portFromArgument(const char* text);

// Configures the link from the one command-line argument: anything with a slash (or backslash)
// names the device by path, a name beginning with a letter is a device name (ttyUSB0 is
// /dev/ttyUSB0; COM5 is COM5), anything else is a port number.
void configureLink(sio::SerialLink& link, const char* argument);

// Decodes the packets waiting in the ring, as many as it holds when called, but none past the
// --samples limit: the live loop and a replay share it.
void decodeWaitingPackets(App& app);

// Points the link's capture and the decoder's times at the set open now (after a start or a
// rotation): the capture takes every byte read, the times a row per sample line.
void hookFileSet(App& app);

// Runs the program from start-up to exit and returns the exit status: 0 after the exit key
// with every line logged, 1 when the link or the logs could not be opened or a log write failed,
// 2 for a usage error, 3 when the link was lost under --no-reconnect.
int runLogger(App& app, int argc, char** argv);

}  // namespace vg::app
