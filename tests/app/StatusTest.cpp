#include <gtest/gtest.h>

#include "app/Status.h"

TEST(Status, JsonReportsCameraUploadAndEscapes)
{
    TStatus failed;
    failed.CameraState = CameraNoSignal;
    failed.CameraName = "Desk \"Cam\"\\1";
    failed.CameraDevice = "/dev/video5";
    failed.LastFrame = 86400;
    failed.LastUpload = {true, false, 86401, "530 Login\r\nincorrect."};
    failed.StreamClients = 3;
    failed.Motion = {true, true, 2, 86403, 12};
    failed.UptimeSeconds = 42;
    failed.Version = "1.0.0";
    TStatus ok = failed;
    ok.LastUpload = {true, true, 86402, ""};
    const struct {
        TStatus In;
        const char* Want;
    } cases[] = {
        {TStatus{}, "{\n  \"camera\": {\"state\": \"closed\", \"name\": \"\", \"device\": \"\", \"last_frame\": null},\n"
                    "  \"last_upload\": {\"done\": false},\n  \"stream_clients\": 0,\n"
                    "  \"motion\": {\"enabled\": false, \"active\": false, \"events\": 0, \"last_start\": null, "
                    "\"last_length_seconds\": null},\n  \"uptime_seconds\": 0,\n"
                    "  \"version\": \"\"\n}\n"},
        {failed, "{\n  \"camera\": {\"state\": \"no signal\", \"name\": \"Desk \\\"Cam\\\"\\\\1\", \"device\": \"/dev/video5\", "
                 "\"last_frame\": \"1970-01-02T00:00:00Z\"},\n  \"last_upload\": {\"done\": true, \"ok\": false, \"time\": "
                 "\"1970-01-02T00:00:01Z\", \"reason\": \"530 Login\\u000d\\u000aincorrect.\"},\n  \"stream_clients\": 3,\n"
                 "  \"motion\": {\"enabled\": true, \"active\": true, \"events\": 2, \"last_start\": "
                 "\"1970-01-02T00:00:03Z\", \"last_length_seconds\": 12},\n"
                 "  \"uptime_seconds\": 42,\n  \"version\": \"1.0.0\"\n}\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatusJson(c.In), c.Want);
    EXPECT_NE(StatusJson(ok).find("\"last_upload\": {\"done\": true, \"ok\": true, \"time\": \"1970-01-02T00:00:02Z\"}"),
              std::string::npos);
}
