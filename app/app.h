// The application driver: start-up, command line, the polling main loop and shutdown.
#pragma once

#include <cstdint>

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
    logging::LogFiles logs;
    logging::RawCapture capture;  // open only under --raw / --raw-file
    SensorState state;
    RunStatus run;
    timing::SampleTimes times;   // the times file (and the capture's times), under --times
    Recording recording;         // --dir, --duration, --samples, --rotate
    logging::LogFiles nextLogs;  // a rotation's new set, while it is being opened
    logging::RawCapture nextCapture;
    logging::TimesFile nextTimes;  // and its times, under --times
    logging::CaptureTimes nextCaptureTimes;
    RunSummary summary;  // what the summary said, for --summary-json
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

// Closes the times file and the capture's times, if open; 0 when every row reached them.
int closeTimes(timing::SampleTimes& times);

// Prints the run's summary on standard error (after the logs are closed, for their sizes) and
// keeps it in app.summary.
void summarizeRun(App& app);

// Runs the program from start-up to exit and returns the exit status: 0 after the exit key
// with every line logged, 1 when the link or the logs could not be opened or a log write failed,
// 2 for a usage error, 3 when the link was lost under --no-reconnect.
int runLogger(App& app, int argc, char** argv);

}  // namespace vg::app
