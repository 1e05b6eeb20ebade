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
        {{"--version", "3"}, Action::Version, 1, "3"},
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

}  // namespace
}  // namespace vg::app
