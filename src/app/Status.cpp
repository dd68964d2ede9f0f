#include "app/Status.h"

#include <chrono>
#include <cstdio>

#include "capture/CaptureDriver.h"

namespace {

std::string Quote(const std::string& Text)
{
    std::string out = "\"";
    for (unsigned char c : Text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Time(std::time_t T)
{
    if (T == 0)
        return "null";
    std::tm tm{};
    gmtime_r(&T, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "\"%Y-%m-%dT%H:%M:%SZ\"", &tm);
    return buf;
}

std::string Bool(bool B) { return B ? "true" : "false"; }

} // namespace

TStatus CollectStatus(const Tcapmain& Main)
{
    TStatus s;
    const TFrameGrabber& grabber = *Main.FrameGrabber1;
    if (grabber.DriverOpen())
        s.CameraState = Main.CameraLost ? CameraNoSignal : CameraLive;
    s.CameraName = grabber.DriverName();
    s.CameraDevice = Main.CameraDevice();
    s.LastFrame = Main.LastFrameTime;
    s.LastUpload = Main.LastUpload;
    s.StreamClients = Main.Stream ? Main.Stream->ClientCount() : 0;
    s.Motion = {MotionSettings.Enabled, Main.Motion.Active(), Main.Motion.Events(), Main.MotionStart(),
                static_cast<long long>(Main.Motion.EventLengthMs() / 1000)};
    s.UptimeSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - Main.StartedAt).count();
    s.Version = QUORRELANE_VERSION;
    return s;
}

std::string StatusJson(const TStatus& S)
{
    std::string upload = "{\"done\": " + Bool(S.LastUpload.Done);
    if (S.LastUpload.Done) {
        upload += ", \"ok\": " + Bool(S.LastUpload.Ok) + ", \"time\": " + Time(S.LastUpload.Time);
        if (!S.LastUpload.Ok && !S.LastUpload.Reason.empty())
            upload += ", \"reason\": " + Quote(S.LastUpload.Reason);
    }
    upload += "}";
    const TMotionStatus& m = S.Motion;
    const bool event = m.Events > 0;
    const std::string motion = "{\"enabled\": " + Bool(m.Enabled) + ", \"active\": " + Bool(m.Active) +
                               ", \"events\": " + std::to_string(m.Events) + ", \"last_start\": " +
                               (event ? Time(m.LastStart) : "null") + ", \"last_length_seconds\": " +
                               (event ? std::to_string(m.LastLengthSeconds) : "null") + "}";
    return "{\n"
           "  \"camera\": {\"state\": " + Quote(S.CameraState) + ", \"name\": " + Quote(S.CameraName) +
           ", \"device\": " + Quote(S.CameraDevice) + ", \"last_frame\": " + Time(S.LastFrame) + "},\n"
           "  \"last_upload\": " + upload + ",\n"
           "  \"stream_clients\": " + std::to_string(S.StreamClients) + ",\n"
           "  \"motion\": " + motion + ",\n"
           "  \"uptime_seconds\": " + std::to_string(S.UptimeSeconds) + ",\n"
           "  \"version\": " + Quote(S.Version) + "\n"
           "}\n";
}
