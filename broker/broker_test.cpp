#include "broker/broker.h"

#include <gtest/gtest.h>

#include <string>

namespace vg::broker {
namespace {

TEST(BrokerUrl, ParsesWhatTheOptionTakesAndRefusesTheRest) {
    struct Case {
        const char* text;
        UrlError error;
        bool tls;
        const char* user;
        const char* host;
        std::uint16_t port;
        const char* prefix;
    };
    const Case cases[] = {
        {"mqtt://broker.lab", UrlError::None, false, "", "broker.lab", 1883, "vglog"},
        {"mqtt://10.0.0.5:1884/lab/line2", UrlError::None, false, "", "10.0.0.5", 1884,
         "lab/line2"},
        {"mqtts://h/", UrlError::None, true, "", "h", 8883, "vglog"},
        {"mqtts://ann@h:8884/x/", UrlError::None, true, "ann", "h", 8884, "x"},
        {"mqtt://[::1]:1900/p", UrlError::None, false, "", "::1", 1900, "p"},
        {"http://h/p", UrlError::Scheme, false, "", "", 0, ""},
        {"mqtt://ann:secret@h/p", UrlError::Password, false, "", "", 0, ""},
        {"mqtt://ann:@h/p", UrlError::Password, false, "", "", 0, ""},
        {"mqtt:///p", UrlError::Host, false, "", "", 0, ""},
        {"mqtt://h st/p", UrlError::Host, false, "", "", 0, ""},
        {"mqtt://h:/p", UrlError::Port, false, "", "", 0, ""},
        {"mqtt://h:0/p", UrlError::Port, false, "", "", 0, ""},
        {"mqtt://h:65536/p", UrlError::Port, false, "", "", 0, ""},
        {"mqtt://h:12a/p", UrlError::Port, false, "", "", 0, ""},
        {"mqtt://h/lab/+/x", UrlError::Prefix, false, "", "", 0, ""},
        {"mqtt://h/lab//x", UrlError::Prefix, false, "", "", 0, ""},
        {"mqtt://h/#", UrlError::Prefix, false, "", "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Url url;
        ASSERT_EQ(parseUrl(c.text, url), c.error);
        if (c.error != UrlError::None) {
            continue;
        }
        EXPECT_EQ(url.tls, c.tls);
        EXPECT_EQ(url.user, c.user);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.prefix, c.prefix);
    }
}

TEST(BrokerSample, JsonCarriesTheLogsValuesAndTheTimes) {
    Sample s;
    s.line = 12;
    s.record.sample = 65535;  // the log prints the counter signed
    s.record.phi = 0.5f;
    s.record.quat = {1.0f, 0.0f, 0.0f, 0.0f};
    s.record.z = std::numeric_limits<float>::quiet_NaN();
    s.wallUs = 1'765'238'400'123'456;  // 2025-12-09T00:00:00.123456Z
    logging::UtcCache utc;
    char buf[kMaxSampleJson];
    std::string json(buf, formatSample(buf, s, utc));
    char value[logging::kMaxValueText];
    const std::string phi(value, logging::formatLogValue(value, 0.5f));
    EXPECT_NE(json.find("{\"line\":12,\"sample\":-1,\"phi\":" + phi + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find(",null],\"world\":"), std::string::npos) << json;
    EXPECT_NE(json.find("\"host_utc\":\"2025-12-09T00:00:00.123456Z\"}"), std::string::npos)
        << json;
    s.hasBoard = true;
    s.boardUs = -1'500'000;
    json.assign(buf, formatSample(buf, s, utc));
    EXPECT_NE(json.find("Z\",\"board_s\":-1.500000}"), std::string::npos) << json;
}

}  // namespace
}  // namespace vg::broker
