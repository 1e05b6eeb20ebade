#include "app/options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "app/set_names.h"
#include "broker/broker.h"
#include "common/common.h"
#include "live/live.h"

namespace vg::app {

namespace {

enum class Switch {
    Help,
    Version,
    List,
    Quiet,
    NoReconnect,
    NoDialog,
    Raw,
    RawFile,
    Replay,
    Times,
    Serve,
    ServeHost,
    Dir,
    Duration,
    Samples,
    Rotate,
    SummaryJson,
    Mqtt,
    MqttCa,
    MqttCert,
    MqttKey,
    MqttQos,
    MqttPasswordFile,
    Name,
    Keep,
    WaitForPort,
    EndOfSwitches,
};

struct SwitchInfo {
    Switch id;
    const char* longName;
    const char* shortName;  // null for none
    const char* needs;      // what its value is, for "needs ..."; null when it takes none
};

constexpr SwitchInfo kSwitches[] = {
    {Switch::Help, "--help", "-h", nullptr},
    {Switch::Version, "--version", "-V", nullptr},
    {Switch::List, "--list", nullptr, nullptr},
    {Switch::Quiet, "--quiet", "-q", nullptr},
    {Switch::NoReconnect, "--no-reconnect", nullptr, nullptr},
    {Switch::NoDialog, "--no-dialog", nullptr, nullptr},
    {Switch::Raw, "--raw", nullptr, nullptr},
    {Switch::RawFile, "--raw-file", nullptr, "a file name"},
    {Switch::Replay, "--replay", nullptr, "a capture file"},
    {Switch::Times, "--times", "-t", nullptr},
    {Switch::Serve, "--serve", nullptr, "an address ([HOST:]PORT)"},
    {Switch::ServeHost, "--serve-host", nullptr, "a host name"},
    {Switch::Dir, "--dir", "-o", "a folder"},
    {Switch::Duration, "--duration", nullptr, "a time (90, 90s, 15m, 2h)"},
    {Switch::Samples, "--samples", nullptr, "a number of samples"},
    {Switch::Rotate, "--rotate", nullptr, "a time (90, 90s, 15m, 2h)"},
    {Switch::SummaryJson, "--summary-json", nullptr, "a file name"},
    {Switch::Mqtt, "--mqtt", nullptr, "a broker's URL (mqtt://HOST[:PORT]/PREFIX)"},
    {Switch::MqttCa, "--mqtt-ca", nullptr, "a file of CA certificates"},
    {Switch::MqttCert, "--mqtt-cert", nullptr, "a certificate file"},
    {Switch::MqttKey, "--mqtt-key", nullptr, "a key file"},
    {Switch::MqttQos, "--mqtt-qos", nullptr, "0 or 1"},
    {Switch::MqttPasswordFile, "--mqtt-password-file", nullptr, "a file name"},
    {Switch::Name, "--name", nullptr, "a name"},
    {Switch::Keep, "--keep", nullptr, "a number of sets"},
    {Switch::WaitForPort, "--wait-for-port", nullptr, nullptr},
};

bool isNumberArgument(const char* arg) {
    return arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

// Edit distance, for "did you mean": option names are short, so the table stays small.
std::size_t editDistance(std::string_view a, std::string_view b) {
    constexpr std::size_t kMax = 32;
    if (a.size() >= kMax || b.size() >= kMax) {
        return kMax;
    }
    std::size_t row[kMax + 1];
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t change = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min(change, std::min(above, row[j - 1]) + 1);
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The one long option close to name (a typo, a missing dash), or null when none or several are.
const char* closestSwitch(std::string_view name) {
    std::string_view bare = name.substr(0, name.find('='));
    const char* best = nullptr;
    std::size_t bestDistance = 3;  // at most two edits
    bool tie = false;
    for (const auto& s : kSwitches) {
        const std::size_t d = editDistance(bare, s.longName);
        if (d < bestDistance) {
            best = s.longName;
            bestDistance = d;
            tie = false;
        } else if (d == bestDistance) {
            tie = true;
        }
    }
    return tie ? nullptr : best;
}

template <typename... Args>
void fail(Options& o, const char* format, Args... args) {
    if (o.action == Action::UsageError) {
        return;  // the first error is the one to fix first
    }
    o.action = Action::UsageError;
    std::snprintf(o.error, sizeof o.error, format, args...);
}

// A whole number above 0 and at most 19 digits long, nothing else.
bool parseCount(const char* text, std::uint64_t& value) {
    std::size_t digits = 0;
    const char* end = common::readDecimal(text, value, digits);
    return *end == '\0' && digits > 0 && digits <= 19 && value > 0;
}

// The --mqtt switches agree with each other and the URL holds no secret. False after a failure.
bool checkMqtt(Options& o) {
    if (o.mqtt == nullptr) {
        const char* stray = o.mqttCa != nullptr             ? "--mqtt-ca"
                            : o.mqttCert != nullptr         ? "--mqtt-cert"
                            : o.mqttKey != nullptr          ? "--mqtt-key"
                            : o.mqttPasswordFile != nullptr ? "--mqtt-password-file"
                                                            : nullptr;
        if (stray != nullptr) {
            fail(o, "%s goes with --mqtt URL", stray);
        }
        return stray == nullptr;
    }
    if (!broker::available()) {
        fail(o,
             "--mqtt: this build of vglog has no MQTT client (it was built without "
             "libmosquitto)");
        return false;
    }
    if (std::string why; !broker::loadClient(why)) {
        fail(o, "--mqtt: the MQTT client library cannot be loaded (Debian: libmosquitto1): %s",
             why.c_str());
        return false;
    }
    broker::Url url;
    switch (broker::parseUrl(o.mqtt, url)) {
        case broker::UrlError::None:
            break;
        case broker::UrlError::Scheme:
            fail(o, "--mqtt needs mqtt://HOST[:PORT]/PREFIX or mqtts://HOST[:PORT]/PREFIX");
            return false;
        case broker::UrlError::Password:
            fail(o,
                 "--mqtt: a password in the URL is refused (others can read a command "
                 "line); give it in VGLOG_MQTT_PASSWORD or --mqtt-password-file");
            return false;
        case broker::UrlError::Host:
            fail(o, "--mqtt: no host name or address in '%s'", o.mqtt);
            return false;
        case broker::UrlError::Port:
            fail(o, "--mqtt: the port must be a number from 1 to 65535 in '%s'", o.mqtt);
            return false;
        case broker::UrlError::Prefix:
            fail(o,
                 "--mqtt: the prefix must not hold '+', '#', '//' or control characters "
                 "in '%s'",
                 o.mqtt);
            return false;
    }
    if ((o.mqttCa != nullptr || o.mqttCert != nullptr || o.mqttKey != nullptr) && !url.tls) {
        fail(o, "--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL");
        return false;
    }
    if ((o.mqttCert == nullptr) != (o.mqttKey == nullptr)) {
        fail(o, "--mqtt-cert and --mqtt-key go together");
        return false;
    }
    if (o.replayFile != nullptr) {
        fail(o, "--mqtt publishes a live run; --replay decodes a file");
        return false;
    }
    return true;
}

// The --mqtt switches: what each sets.
void applyMqttSwitch(Options& o, Switch id, const char* value) {
    switch (id) {
        case Switch::Mqtt:
            o.mqtt = value;
            break;
        case Switch::MqttCa:
            o.mqttCa = value;
            break;
        case Switch::MqttCert:
            o.mqttCert = value;
            break;
        case Switch::MqttKey:
            o.mqttKey = value;
            break;
        case Switch::MqttQos:
            if (std::strcmp(value, "0") != 0 && std::strcmp(value, "1") != 0) {
                fail(o, "--mqtt-qos needs 0 or 1, not '%s'", value);
            }
            o.mqttQos = value[0] - '0';
            break;
        case Switch::MqttPasswordFile:
            o.mqttPasswordFile = value;
            break;
        case Switch::Name:
            if (!broker::isTopicLevel(value)) {
                fail(o,
                     "--name must not be empty nor hold '/', '+', '#' or control "
                     "characters: '%s'",
                     value);
            }
            o.name = value;
            break;
        default:
            break;
    }
}

// What a switch (with its value, if it takes one) asks for.
void applySwitch(Options& o, Switch id, const char* value) {
    switch (id) {
        case Switch::Help:
            o.action = o.action == Action::Log ? Action::Help : o.action;
            break;
        case Switch::Version:
            o.action = o.action == Action::Log ? Action::Version : o.action;
            break;
        case Switch::List:
            o.action = o.action == Action::Log ? Action::List : o.action;
            break;
        case Switch::Quiet:
            o.quiet = true;
            break;
        case Switch::NoReconnect:
            o.noReconnect = true;
            break;
        case Switch::NoDialog:
            o.noDialog = true;
            break;
        case Switch::Raw:
            o.raw = true;
            break;
        case Switch::RawFile:
            o.raw = true;
            o.rawFile = value;
            break;
        case Switch::Replay:
            o.replayFile = value;
            break;
        case Switch::Times:
            o.times = true;
            break;
        case Switch::Serve: {
            live::Address address;
            if (!live::built()) {
                fail(o, "--serve: the live view is not in this build");
            } else if (!live::parseAddress(value, address)) {
                fail(o,
                     "--serve needs [HOST:]PORT (PORT 0 to 65535, an IPv6 HOST in brackets), "
                     "not '%s'",
                     value);
            }
            o.serve = value;
            break;
        }
        case Switch::ServeHost:
            if (o.serveHostCount == Options::kMaxServeHosts) {
                fail(o, "--serve-host is given at most %d times", Options::kMaxServeHosts);
            } else {
                o.serveHosts[o.serveHostCount++] = value;
            }
            break;
        case Switch::Dir:
            o.dir = value;
            break;
        case Switch::Duration:
            if (!parseTimeSpan(value, o.durationMs)) {
                fail(o, "--duration needs a time such as 90, 90s, 15m or 2h, not '%s'", value);
            }
            break;
        case Switch::Samples:
            if (!parseCount(value, o.sampleLimit)) {
                fail(o, "--samples needs a whole number above 0, not '%s'", value);
            }
            break;
        case Switch::Rotate:
            if (!parseTimeSpan(value, o.rotateMs)) {
                fail(o, "--rotate needs a time such as 1h, 15m or 90s, not '%s'", value);
            }
            break;
        case Switch::SummaryJson:
            o.summaryJson = value;
            break;
        case Switch::Mqtt:
        case Switch::MqttCa:
        case Switch::MqttCert:
        case Switch::MqttKey:
        case Switch::MqttQos:
        case Switch::MqttPasswordFile:
        case Switch::Name:
            applyMqttSwitch(o, id, value);
            break;
        case Switch::Keep:
            if (!parseCount(value, o.keepSets)) {
                fail(o, "--keep needs a whole number above 0, not '%s'", value);
            }
            break;
        case Switch::WaitForPort:
            o.waitForPort = true;
            break;
        case Switch::EndOfSwitches:
            break;
    }
}

// A replay decodes a file: what only a port or a live run has is refused, not ignored.
void checkReplay(Options& o) {
    const char* live = o.rawFile != nullptr ? "--raw-file"
                       : o.raw              ? "--raw"
                       : o.rotateMs != 0    ? "--rotate"
                       : o.noReconnect      ? "--no-reconnect"
                       : o.durationMs != 0  ? "--duration"
                                            : nullptr;
    if (o.portArguments > 0) {
        fail(o, "--replay decodes a file and takes no port: unexpected '%s'",
             o.port != nullptr ? o.port : "PORT");
    } else if (live != nullptr) {
        fail(o, "--replay decodes a file and takes no %s", live);
    } else {
        o.action = Action::Replay;
    }
}

// The value of the last --summary-json among the switches, however the others read.
const char* summaryJsonAnywhere(int argc, char** argv) {
    const char* found = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--") {
            break;
        }
        if (arg == "--summary-json" && i + 1 < argc && argv[i + 1][0] != '\0') {
            found = argv[++i];
        } else if (arg.substr(0, 15) == "--summary-json=" && arg.size() > 15) {
            found = argv[i] + 15;
        }
    }
    return found;
}

// The folder and name a path comes to, for comparing two names of one file.
std::filesystem::path placeOf(const char* name, const char* dir) {
    std::filesystem::path p = pathOfUtf8(name);
    if (dir != nullptr && p.is_relative()) {
        p = pathOfUtf8(dir) / p;
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(p, ec);
    return (ec ? p : absolute).lexically_normal();
}

// Switches that each read well but not together.
void checkCombinations(Options& o) {
    if (o.keepSets != 0 && o.rotateMs == 0) {
        fail(o, "--keep needs --rotate");
    }
    if (o.summaryJson == nullptr) {
        return;
    }
    // The summary would be written over a file of the run (or deleted with an old set).
    SetKey key;
    SetFile kind{};
    const std::filesystem::path summary = placeOf(o.summaryJson, nullptr);
    const bool named = parseSetFileName(utf8OfPath(summary.filename()), key, kind);
    bool capture = false;
    if (o.rawFile != nullptr) {
        const std::filesystem::path raw = placeOf(o.rawFile, o.dir);
        capture = summary == raw || utf8OfPath(summary) == utf8OfPath(raw) + ".times";
    }
    if (named || capture) {
        fail(o, "--summary-json %s names one of the run's own files", o.summaryJson);
        o.summaryJson = nullptr;  // nor is the usage error written over such a file
    }
}

}  // namespace

bool parseTimeSpan(const char* text, std::uint64_t& ms) {
    ms = 0;
    char number[24];
    const std::size_t len = std::strlen(text);
    if (len == 0 || len >= sizeof number) {
        return false;
    }
    std::uint64_t unitMs = 1000;
    std::size_t digits = len;
    switch (text[len - 1]) {
        case 's':
            digits = len - 1;
            break;
        case 'm':
            digits = len - 1;
            unitMs = 60'000;
            break;
        case 'h':
            digits = len - 1;
            unitMs = 3'600'000;
            break;
        case 'd':
            digits = len - 1;
            unitMs = 86'400'000;
            break;
        default:
            break;
    }
    std::memcpy(number, text, digits);
    number[digits] = '\0';
    std::uint64_t count = 0;
    if (!parseCount(number, count) || count > UINT64_MAX / unitMs / 2) {
        return false;
    }
    ms = count * unitMs;
    return true;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    bool switchesEnded = false;
    const char* alone = nullptr;  // --help, --version or --list: nothing may stand beside them
    int others = 0;               // arguments that are not one of those
    const char* firstOther = nullptr;
    for (int i = 1; i < argc && o.action != Action::UsageError; ++i) {
        const char* arg = argv[i];
        if (switchesEnded || arg[0] != '-' || arg[1] == '\0' || isNumberArgument(arg)) {
            if (++o.portArguments == 1) {
                o.port = arg;
            } else {
                o.port = nullptr;
            }
            if (others++ == 0) {
                firstOther = arg;
            }
            continue;
        }
        const std::string_view text(arg);
        if (text == "--") {
            switchesEnded = true;
            continue;
        }
        const std::size_t eq = std::min(text.find('='), text.size());
        const std::string_view name = text.substr(0, eq);
        const SwitchInfo* sw = nullptr;
        for (const auto& s : kSwitches) {
            if (name == s.longName || (s.shortName != nullptr && name == s.shortName)) {
                sw = &s;
            }
        }
        if (sw == nullptr) {
            const char* close = closestSwitch(text);
            if (close != nullptr) {
                fail(o, "unknown option '%s'; did you mean '%s'?", arg, close);
            } else {
                fail(o, "unknown option '%s'", arg);
            }
            break;
        }
        const char* value = nullptr;
        if (sw->needs != nullptr) {
            if (eq < text.size()) {
                value = arg + eq + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            if (value == nullptr || value[0] == '\0') {
                fail(o, "%s needs %s", sw->longName, sw->needs);
                break;
            }
        } else if (eq < text.size()) {
            fail(o, "%s takes no value", sw->longName);
            break;
        }
        const bool standsAlone =
            sw->id == Switch::Help || sw->id == Switch::Version || sw->id == Switch::List;
        if (standsAlone && (alone == nullptr || alone == sw->longName)) {
            alone = sw->longName;
        } else if (others++ == 0) {  // "-V --list" asks for two things: neither stands alone
            firstOther = arg;
        }
        applySwitch(o, sw->id, value);
    }
    if (o.action == Action::UsageError) {
        // The script waiting for the summary gets it, wherever the switch stood.
        o.summaryJson = summaryJsonAnywhere(argc, argv);
        return o;
    }
    if (alone != nullptr && others > 0) {
        fail(o, "%s stands alone: unexpected '%s'", alone, firstOther);
    } else if (!checkMqtt(o)) {
        return o;
    } else if (o.replayFile != nullptr) {
        checkReplay(o);
    }
    checkCombinations(o);
    return o;
}

const char* usageText() {
    return "Usage: vglog [OPTIONS] PORT\r\n"
           "       vglog --replay FILE [OPTIONS]\r\n"
           "       vglog --list\r\n"
           "  PORT  the serial port's number (COM PORT; on Linux /dev/ttyS<PORT-1>), a device\r\n"
           "        name such as ttyUSB0 (on Linux /dev/ttyUSB0), or a device path such as\r\n"
           "        /dev/serial/by-id/... (anything with a slash)\r\n"
           "Logs the board's stream at 115200 baud into anglesAndAccels.<time>.txt and\r\n"
           "misc.<time>.txt in the current directory until Ctrl+C (or the byte 3 on standard\r\n"
           "input, or SIGTERM/SIGHUP) ends the run.\r\n"
           "Options (a value may also follow '=', as in --raw-file=NAME):\r\n"
           "  -q, --quiet          no status line on the terminal\r\n"
           "  --no-reconnect       end the run (status 3) when the board is lost, instead of\r\n"
           "                       waiting for it to come back\r\n"
           "  --raw                also keep every byte read in raw.<time>.bin\r\n"
           "  --raw-file NAME      also keep every byte read in the file NAME\r\n"
           "  -t, --times          also write times.<time>.csv: when each sample arrived\r\n"
           "  -o, --dir DIR        create the run's files in DIR (it must exist)\r\n"
           "  --duration TIME      end the run after TIME (90, 90s, 15m, 2h)\r\n"
           "  --samples N          end the run once N samples are logged\r\n"
           "  --rotate TIME        start a new set of files every TIME (at least 60 s)\r\n"
           "  --summary-json FILE  write the run's summary as JSON to FILE: a running record\r\n"
           "                       from the start, the final one at the end\r\n"
           "  --keep N             with --rotate, delete the oldest sets of files in the\r\n"
           "                       folder after each rotation so that N remain\r\n"
           "  --wait-for-port      wait for a port that is not there yet, as for a lost board\r\n"
           "  --serve [HOST:]PORT  serve a live view at http://HOST:PORT/ (HOST 127.0.0.1)\r\n"
           "  --serve-host NAME    a name the live view answers to besides its address\r\n"
           "  --mqtt URL           also publish every sample and the run's status to an MQTT\r\n"
           "                       broker: mqtt://HOST[:PORT]/PREFIX or mqtts://... (TLS);\r\n"
           "                       topics PREFIX/NAME/samples and PREFIX/NAME/status\r\n"
           "  --mqtt-ca FILE       the CA certificates that vouch for an mqtts broker\r\n"
           "  --mqtt-cert FILE, --mqtt-key FILE  a client certificate and its key\r\n"
           "  --mqtt-qos 0|1       the samples' QoS (default 0; the status is always 1)\r\n"
           "  --mqtt-password-file FILE  the broker password (only its owner may read it);\r\n"
           "                       else VGLOG_MQTT_PASSWORD; the user: VGLOG_MQTT_USER\r\n"
           "  --name NAME          the board's name in topics (default: the adapter's USB\r\n"
           "                       serial number, else the device's name)\r\n"
           "  --replay FILE        decode a raw capture into the two logs, then exit\r\n"
           "  --list               list the serial ports of this machine\r\n"
           "  --no-dialog          report errors without waiting on a message box (Windows)\r\n"
           "  -h, --help           this text\r\n"
           "  -V, --version        the version\r\n"
           "Exit status: 0 after a complete run, 1 when the port or the logs could not be "
           "opened\r\n"
           "or a log could not be completely written, 2 for a usage error, 3 when the link was\r\n"
           "lost under --no-reconnect.\r\n";
}

}  // namespace vg::app
