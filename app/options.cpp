#include "app/options.h"

#include <cstring>

namespace vg::app {

namespace {

bool isNumberArgument(const char* arg) {
    return arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

bool is(const char* arg, const char* shortName, const char* longName) {
    return (shortName != nullptr && std::strcmp(arg, shortName) == 0) ||
           std::strcmp(arg, longName) == 0;
}

}  // namespace

Options parseOptions(int argc, char** argv) {
    Options o;
    bool switchesEnded = false;
    // The first of help, version, list or replay decides the action; a usage error beats all.
    auto setAction = [&o](Action a) {
        if (o.action == Action::Log) {
            o.action = a;
        }
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (switchesEnded || arg[0] != '-' || arg[1] == '\0' || isNumberArgument(arg)) {
            if (++o.portArguments == 1) {
                o.port = arg;
            } else {
                o.port = nullptr;
            }
            continue;
        }
        // Switches that take a value read the next argument, which must exist.
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                o.badArgument = arg;
                return nullptr;
            }
            return argv[++i];
        };
        if (std::strcmp(arg, "--") == 0) {
            switchesEnded = true;
        } else if (is(arg, "-h", "--help")) {
            setAction(Action::Help);
        } else if (is(arg, "-V", "--version")) {
            setAction(Action::Version);
        } else if (is(arg, nullptr, "--list")) {
            setAction(Action::List);
        } else if (is(arg, "-q", "--quiet")) {
            o.quiet = true;
        } else if (is(arg, nullptr, "--no-reconnect")) {
            o.noReconnect = true;
        } else if (is(arg, nullptr, "--no-dialog")) {
            o.noDialog = true;
        } else if (is(arg, nullptr, "--raw")) {
            o.raw = true;
        } else if (is(arg, nullptr, "--raw-file")) {
            o.rawFile = value();
            o.raw = o.rawFile != nullptr;
        } else if (is(arg, nullptr, "--replay")) {
            o.replayFile = value();
            if (o.replayFile != nullptr) {
                setAction(Action::Replay);
            }
        } else {
            o.badArgument = arg;
        }
        if (o.badArgument != nullptr) {
            o.action = Action::UsageError;
            return o;
        }
    }
    if (o.action == Action::Replay && o.portArguments > 0) {
        o.badArgument = o.port != nullptr ? o.port : "PORT";
        o.action = Action::UsageError;
    }
    return o;
}

const char* usageText() {
    return "Usage: vglog [OPTIONS] PORT\r\n"
           "       vglog --replay FILE\r\n"
           "       vglog --list\r\n"
           "  PORT  the serial port's number (COM PORT; on Linux /dev/ttyS<PORT-1>), a device\r\n"
           "        name such as ttyUSB0 (on Linux /dev/ttyUSB0), or a device path such as\r\n"
           "        /dev/serial/by-id/... (anything with a slash)\r\n"
           "Logs the board's stream at 115200 baud into anglesAndAccels.<time>.txt and\r\n"
           "misc.<time>.txt in the current directory until Ctrl+C (or the byte 3 on standard\r\n"
           "input, or SIGTERM/SIGHUP) ends the run.\r\n"
           "Options:\r\n"
           "  -q, --quiet        no status line on the terminal\r\n"
           "  --no-reconnect     end the run (status 3) when the board is lost, instead of\r\n"
           "                     waiting for it to come back\r\n"
           "  --raw              also keep every byte read in raw.<time>.bin\r\n"
           "  --raw-file NAME    also keep every byte read in the file NAME\r\n"
           "  --replay FILE      decode a raw capture into the two logs, then exit\r\n"
           "  --list             list the serial ports of this machine\r\n"
           "  --no-dialog        report errors without waiting on a message box (Windows)\r\n"
           "  -h, --help         this text\r\n"
           "  -V, --version      the version\r\n"
           "Exit status: 0 after a complete run, 1 when the port or the logs could not be "
           "opened\r\n"
           "or a log could not be completely written, 2 for a usage error, 3 when the link was\r\n"
           "lost under --no-reconnect.\r\n";
}

}  // namespace vg::app
