// The command line: which action the run takes, the port argument and the switches.
#pragma once

namespace vg::app {

enum class Action {
    Log,         // log the board on the port argument (or prompt when there is not exactly one)
    Help,        // -h, --help: usage on standard output, status 0
    Version,     // -V, --version: the version lines, status 0
    List,        // --list: the serial ports this machine has, status 0
    Replay,      // --replay FILE: decode a raw capture into the two logs
    UsageError,  // an unknown switch or a missing value: usage on standard error, status 2
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
    const char* badArgument = nullptr;  // what made it a usage error
};

// Reads argv. Switches may stand anywhere; "--" ends them. An argument that begins with "-" and
// then a digit is a port number ("-1" is port 65535), not a switch.
Options parseOptions(int argc, char** argv);

// The usage text, lines ending in "\r\n" like the program's other messages.
const char* usageText();

}  // namespace vg::app
