#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options.h"

namespace vg::app {
namespace {

Options parse(std::vector<std::string> args) {
    static std::vector<std::string> keep;  // the parsed pointers must outlive the call
    keep = std::move(args);
    keep.insert(keep.begin(), "vglog");
    std::vector<char*> argv;
    for (auto& a : keep) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(keep.size()), argv.data());
}

TEST(OptionsTest, ActionsPortsAndSwitches) {
    const struct {
        std::vector<std::string> args;
        Action action;
        int portArguments;
        const char* port;
    } cases[] = {
        {{"3"}, Action::Log, 1, "3"},
        {{"-1"}, Action::Log, 1, "-1"},  // a number, not a switch
        {{}, Action::Log, 0, nullptr},
        {{"3", "4"}, Action::Log, 2, nullptr},
        {{"--quiet", "/dev/ttyUSB0"}, Action::Log, 1, "/dev/ttyUSB0"},
        {{"--", "-x"}, Action::Log, 1, "-x"},
        {{"-h"}, Action::Help, 0, nullptr},
        {{"--version", "3"}, Action::UsageError, 1, "3"},  // --version stands alone
        {{"--list"}, Action::List, 0, nullptr},
        {{"--replay", "raw.bin"}, Action::Replay, 0, nullptr},
        {{"--replay", "raw.bin", "3"}, Action::UsageError, 1, "3"},
        {{"--replay"}, Action::UsageError, 0, nullptr},
        {{"--raw-file"}, Action::UsageError, 0, nullptr},
        {{"-x", "3"}, Action::UsageError, 0, nullptr},
        {{"3", "--bogus"}, Action::UsageError, 1, "3"},
    };
    for (const auto& c : cases) {
        const Options o = parse(c.args);
        std::string what;
        for (const auto& a : c.args) {
            what += a + " ";
        }
        EXPECT_EQ(o.action, c.action) << what;
        EXPECT_EQ(o.portArguments, c.portArguments) << what;
        EXPECT_EQ(o.port == nullptr ? std::string("(null)") : std::string(o.port),
                  c.port == nullptr ? std::string("(null)") : std::string(c.port))
            << what;
    }
}

TEST(OptionsTest, SwitchValues) {
    const Options o = parse({"--raw-file", "cap.bin", "--no-reconnect", "-q", "--no-dialog", "7"});
    EXPECT_TRUE(o.raw);
    EXPECT_STREQ(o.rawFile, "cap.bin");
    EXPECT_TRUE(o.noReconnect);
    EXPECT_TRUE(o.quiet);
    EXPECT_TRUE(o.noDialog);
    EXPECT_STREQ(o.port, "7");
    EXPECT_STREQ(parse({"--replay", "x.bin"}).replayFile, "x.bin");
}

TEST(OptionsTest, UsageErrorsSayWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--quite", "3"}, "unknown option '--quite'; did you mean '--quiet'?"},
        {{"-quiet", "3"}, "unknown option '-quiet'; did you mean '--quiet'?"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"-x", "3"}, "unknown option '-x'"},
        {{"--raw-file"}, "--raw-file needs a file name"},
        {{"--raw-file="}, "--raw-file needs a file name"},
        {{"--quiet=yes", "3"}, "--quiet takes no value"},
        {{"--list", "3"}, "--list stands alone: unexpected '3'"},
        {{"--help", "-q"}, "--help stands alone: unexpected '-q'"},
        {{"-V", "--list"}, "--version stands alone: unexpected '--list'"},
        {{"--replay", "raw.bin", "3"}, "--replay decodes a file and takes no port: unexpected '3'"},
        {{"--duration", "5x", "3"}, "--duration needs a time such as 90, 90s, 15m or 2h, not '5x'"},
        {{"--samples", "0", "3"}, "--samples needs a whole number above 0, not '0'"},
        {{"--serve", "[127.0.0.1]:0", "3"},
         "--serve needs [HOST:]PORT (PORT 0 to 65535, an IPv6 HOST in brackets), not "
         "'[127.0.0.1]:0'"},
        {{"--serve=::1:0", "3"},
         "--serve needs [HOST:]PORT (PORT 0 to 65535, an IPv6 HOST in brackets), not '::1:0'"},
        {{"--serve", "host:65536", "3"},
         "--serve needs [HOST:]PORT (PORT 0 to 65535, an IPv6 HOST in brackets), not "
         "'host:65536'"},
    };
    for (const auto& c : cases) {
        const Options o = parse(c.args);
        EXPECT_EQ(o.action, Action::UsageError) << c.error;
        EXPECT_STREQ(o.error, c.error);
    }
}

TEST(OptionsTest, ValuesTakeBothForms) {
    const Options o =
        parse({"--raw-file=cap.bin", "-o", "out", "--duration=15m", "--samples", "500", "--rotate",
               "2h", "-t", "--serve=0.0.0.0:0", "--summary-json", "s.json", "3"});
    EXPECT_EQ(o.action, Action::Log);
    EXPECT_STREQ(o.rawFile, "cap.bin");
    EXPECT_TRUE(o.raw);
    EXPECT_STREQ(o.dir, "out");
    EXPECT_EQ(o.durationMs, 15u * 60'000);
    EXPECT_EQ(o.sampleLimit, 500u);
    EXPECT_EQ(o.rotateMs, 2u * 3'600'000);
    EXPECT_TRUE(o.times);
    EXPECT_STREQ(o.serve, "0.0.0.0:0");
    EXPECT_STREQ(o.summaryJson, "s.json");  // before the next parse takes the arguments' place
    const Options named = parse({"--serve=[::]:0", "--serve-host", "a.lan", "--serve-host=b", "3"});
    EXPECT_STREQ(named.serve, "[::]:0");
    ASSERT_EQ(named.serveHostCount, 2);
    EXPECT_STREQ(named.serveHosts[1], "b");
    EXPECT_STREQ(parse({"--replay=x.bin"}).replayFile, "x.bin");

    std::uint64_t ms = 0;
    for (const char* bad : {"", "s", "0", "1w", "-5", "99999999999999999999"}) {
        EXPECT_FALSE(parseTimeSpan(bad, ms)) << bad;
    }
    EXPECT_TRUE(parseTimeSpan("90", ms));
    EXPECT_EQ(ms, 90'000u);
    EXPECT_TRUE(parseTimeSpan("1d", ms));
    EXPECT_EQ(ms, 86'400'000u);
}

TEST(OptionsTest, TheServicesSwitches) {
    const Options o = parse({"--rotate", "1h", "--keep=24", "--wait-for-port", "3"});
    EXPECT_EQ(o.action, Action::Log);
    EXPECT_EQ(o.keepSets, 24u);
    EXPECT_TRUE(o.waitForPort);
    const struct {
        std::vector<const char*> args;
        const char* error;    // null: no usage error
        const char* summary;  // --summary-json as read
    } cases[] = {
        {{"--keep", "3", "3"}, "--keep needs --rotate", nullptr},
        {{"--rotate", "1h", "--keep", "0", "3"},
         "--keep needs a whole number above 0, not '0'",
         nullptr},
        // The summary is written after a usage error, wherever the switch stands.
        {{"--bogus", "--summary-json", "s.json"}, "unknown option '--bogus'", "s.json"},
        {{"--duration", "x", "--summary-json=t.json", "3"},
         "--duration needs a time such as 90, 90s, 15m or 2h, not 'x'",
         "t.json"},
        // Never over one of the run's own files.
        {{"--summary-json", "out/misc.2026Dec09-101500.txt", "3"},
         "--summary-json out/misc.2026Dec09-101500.txt names one of the run's own files",
         nullptr},
        {{"-o", "out", "--raw-file", "cap.bin", "--summary-json", "out/./cap.bin", "3"},
         "--summary-json out/./cap.bin names one of the run's own files",
         nullptr},
        {{"-o", "out", "--raw-file", "cap.bin", "--summary-json", "cap.bin", "3"},
         nullptr,
         "cap.bin"},
    };
    for (const auto& c : cases) {
        const Options r = parse(std::vector<std::string>(c.args.begin(), c.args.end()));
        EXPECT_EQ(r.action, c.error != nullptr ? Action::UsageError : Action::Log) << c.args[0];
        if (c.error != nullptr) {
            EXPECT_STREQ(r.error, c.error);
        }
        EXPECT_STREQ(r.summaryJson, c.summary);
    }
}

}  // namespace
}  // namespace vg::app
