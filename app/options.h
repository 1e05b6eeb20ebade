// The command line: which action the run takes, the port argument and the switches.
#pragma once

#include <cstdint>

namespace vg::app {

enum class Action {
    Log,         // log the board on the port argument (or prompt when there is not exactly one)
    Help,        // -h, --help: usage on standard output, status 0
    Version,     // -V, --version: the version lines, status 0
    List,        // --list: the serial ports of this machine, status 0
    Replay,      // --replay FILE: decode a raw capture into the two logs
    UsageError,  // see Options::error: two short lines on standard error, status 2
};

struct Options {
    Action action = Action::Log;
    // The one port argument, or null when there are none or several (the run then prompts).
    const char* port = nullptr;
    int portArguments = 0;             // how many port arguments were given
    bool quiet = false;                // --quiet: no status line
    bool noReconnect = false;          // --no-reconnect: a lost link ends the run (status 3)
    bool noDialog = false;             // --no-dialog: errors never wait on a message box
    bool raw = false;                  // --raw or --raw-file: keep the bytes read from the port
    const char* rawFile = nullptr;     // --raw-file NAME: the capture's name (else raw.<stamp>.bin)
    const char* replayFile = nullptr;  // --replay FILE
    bool times = false;                // -t, --times: a times file beside the logs
    const char* serve = nullptr;       // --serve [HOST:]PORT: the live view's address
    // --serve-host NAME (repeatable): names the live view answers to besides its address.
    static constexpr int kMaxServeHosts = 8;
    const char* serveHosts[kMaxServeHosts] = {};
    int serveHostCount = 0;
    const char* dir = nullptr;          // -o, --dir DIR: where the run's files are created
    std::uint64_t durationMs = 0;       // --duration TIME: the run ends by itself (0: never)
    std::uint64_t sampleLimit = 0;      // --samples N: the run ends after N samples (0: never)
    std::uint64_t rotateMs = 0;         // --rotate TIME: a new set of files every TIME (0: never)
    const char* summaryJson = nullptr;  // --summary-json FILE
    const char* mqtt = nullptr;         // --mqtt URL: publish to a broker (checked as parsed)
    const char* mqttCa = nullptr;       // --mqtt-ca FILE
    const char* mqttCert = nullptr;     // --mqtt-cert FILE (with --mqtt-key)
    const char* mqttKey = nullptr;      // --mqtt-key FILE
    int mqttQos = 0;                    // --mqtt-qos 0|1: the samples' QoS
    const char* mqttPasswordFile = nullptr;  // --mqtt-password-file FILE
    const char* name = nullptr;              // --name NAME: the board's name in topics
    std::uint64_t keepSets = 0;  // --keep N: sets of files left after a rotation (0: all)
    bool waitForPort = false;    // --wait-for-port: a port not there yet is waited for
    // A usage error's first line, without "vglog: " and the line end; the second line is always
    // "Try 'vglog --help' for more information."
    char error[256] = {};
};

// Reads argv. Switches may stand anywhere; "--" ends them. An argument that begins with "-" and
// then a digit is a port number ("-1" is port 65535), not a switch. A switch that takes a value
// takes it as the next argument or after "=" (--raw-file=NAME).
Options parseOptions(int argc, char** argv);

// A time as the options take it: "90" and "90s" are seconds, "15m" minutes, "2h" hours.
// False for anything else, zero included.
bool parseTimeSpan(const char* text, std::uint64_t& ms);

// The usage text, lines ending in "\r\n" like the program's other messages.
const char* usageText();

}  // namespace vg::app
