#include "app/summary_json.h"

#include <gtest/gtest.h>

namespace vg::app {
namespace {

TEST(SummaryJson, NamesAreEscapedAndUnknownsAreNull) {
    RunSummary s;
    s.startedUtc = 0;
    s.endedUtc = 90061;
    s.durationMs = 90061500;
    s.exitStatus = 3;
    s.samplesLogged = 7;
    s.counters.msLost = 1005;
    s.files = {RunFile{"a \"b\"\\c\n.txt", "", 151, 1}, RunFile{"raw.bin", "", 0, -1}};
    const std::string json = formatSummaryJson(s);
    EXPECT_NE(json.find("\"device\": null, \"started_utc\": \"1970-01-01T00:00:00Z\", "
                        "\"ended_utc\": \"1970-01-02T01:01:01Z\", \"duration_s\": 90061.500, "
                        "\"exit_status\": 3, \"samples\": 7"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"lost_s\": 1.005"), std::string::npos) << json;
    EXPECT_NE(
        json.find("[{\"path\": \"a \\\"b\\\"\\\\c\\u000a.txt\", \"bytes\": 151, \"lines\": 1}, "
                  "{\"path\": \"raw.bin\", \"bytes\": 0, \"lines\": null}]}\n"),
        std::string::npos)
        << json;
}

TEST(SummaryJson, ARunningRecordSaysSoAndTellsTheLink) {
    RunSummary s;
    s.running = true;
    s.device = "/dev/ttyUSB0";
    s.updatedUtc = 60;
    s.linkUp = false;
    s.linkReason = "the device is gone";
    s.samplesPerSecond = 99.96;
    const std::string json = formatSummaryJson(s);
    for (const char* part :
         {"\"state\": \"running\", \"device\": \"/dev/ttyUSB0\"", "\"ended_utc\": null",
          "\"exit_status\": null",
          "\"updated_utc\": \"1970-01-01T00:01:00Z\", \"link\": \"lost\", "
          "\"link_reason\": \"the device is gone\", \"samples_per_s\": 100.0, \"files\": []}\n"}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    }
    s.running = false;
    const std::string ended = formatSummaryJson(s);
    EXPECT_NE(ended.find("\"state\": \"ended\""), std::string::npos) << ended;
    EXPECT_EQ(ended.find("\"link\""), std::string::npos) << ended;
}

}  // namespace
}  // namespace vg::app
