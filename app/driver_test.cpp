#include <memory>

#include <gtest/gtest.h>

#include "app/app.h"

namespace vg::app {
namespace {

TEST(PortArgumentTest, DecimalConversionKeepsTheLow16Bits) {
    const struct {
        const char* text;
        std::uint16_t port;
    } cases[] = {
        {"7", 7},
        {"0", 0},
        {"abc", 0},
        {"65536", 0},
        {" 12x", 12},
        {"-1", 65535},
        {"+3", 3},
        {"65535", 65535},
        {"65537", 1},
        {"\t\n 9", 9},
        {"", 0},
        {"- 5", 0},
        {"x7", 0},
        {"4294967303", 7},                // 2^32 + 7: only the low bits count
        {"99999999999999999999", 65535},  // 10^20 is a multiple of 2^16
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portFromArgument(c.text), c.port) << '"' << c.text << '"';
    }
}

TEST(PortArgumentTest, ConfiguresTheLinkOnlyForAUsablePort) {
    // Numbers keep the decimal reading; a name that begins with a letter is a device name, and
    // anything with a slash is a path as given.
    const struct {
        const char* text;
        std::uint16_t port;
        std::uint32_t baud;
        const char* device;
    } cases[] = {
        {"7", 7, 115200, nullptr},         {"0", 0, 0, nullptr},
        {"65536", 0, 0, nullptr},          {" 12x", 12, 115200, nullptr},
        {"-1", 65535, 115200, nullptr},
#ifdef _WIN32
        {"abc", 0, 115200, "\\\\.\\abc"},  {"COM5", 0, 115200, "\\\\.\\COM5"},
#else
        {"abc", 0, 115200, "/dev/abc"},    {"ttyUSB0", 0, 115200, "/dev/ttyUSB0"},
#endif
        {"./board", 0, 115200, "./board"}, {"serial/by-id/x", 0, 115200, "serial/by-id/x"},
    };
    for (const auto& c : cases) {
        auto link = std::make_unique<sio::SerialLink>();
        configureLink(*link, c.text);
        EXPECT_EQ(link->portNumber, c.port) << c.text;
        EXPECT_EQ(link->baudRate, c.baud) << c.text;
        if (c.device == nullptr) {
            EXPECT_EQ(link->devicePath, nullptr) << c.text;
        } else {
            EXPECT_STREQ(link->devicePath, c.device) << c.text;
        }
    }
}

TEST(PortArgumentTest, APathNamesTheDevice) {
    auto link = std::make_unique<sio::SerialLink>();
    const char* path = "/dev/pts/7";
    configureLink(*link, path);
    EXPECT_STREQ(link->devicePath, path);
    EXPECT_EQ(link->baudRate, 115200u);
}

}  // namespace
}  // namespace vg::app
