#include "live/live.h"

#include <gtest/gtest.h>

#include <string>

namespace vg::live {
namespace {

TEST(LiveServer, AddressesAreServedOrRefusedWithTheReason) {
    struct Case {
        const char* address;
        const char* url;  // what the URL starts with; null: refused
    };
    const Case cases[] = {
        {"0", "http://127.0.0.1:"},
        {"127.0.0.1:0", "http://127.0.0.1:"},
        {"localhost:0", "http://localhost:"},
        {"", nullptr},
        {"http", nullptr},
        {"127.0.0.1:", nullptr},
        {":0", nullptr},
        {"127.0.0.1:65536", nullptr},
        {"127.0.0.1:-1", nullptr},
        {"::1:0", nullptr},  // IPv6 goes in brackets
        {"[::1", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        std::string url;
        std::string error;
        auto server = startServer(c.address, url, error);
        if (c.url == nullptr) {
            EXPECT_EQ(server, nullptr);
            EXPECT_NE(error.find(c.address), std::string::npos) << error;
            continue;
        }
        ASSERT_NE(server, nullptr) << error;
        ASSERT_EQ(url.rfind(c.url, 0), 0u) << url;
        // PORT 0 asks for a free port: the URL names the one bound.
        const std::string port = url.substr(std::string(c.url).size());
        EXPECT_GT(std::stoi(port), 0) << url;
        EXPECT_EQ(port.back(), '/');
    }
}

}  // namespace
}  // namespace vg::live
