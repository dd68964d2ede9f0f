// The program's state for monitors and home automation: the JSON answer
// of /status.json.
#pragma once

#include <ctime>
#include <string>

#include "app/main.h"

// Camera states as reported.
constexpr const char* CameraLive = "live";
constexpr const char* CameraNoSignal = "no signal";
constexpr const char* CameraClosed = "closed";

// Motion detection as reported.
struct TMotionStatus {
    bool Enabled = false;
    bool Active = false;         // an event runs
    int Events = 0;              // events since start
    std::time_t LastStart = 0;   // the last event's start; 0: none
    long long LastLengthSeconds = 0;
};

struct TStatus {
    std::string CameraState = CameraClosed;
    std::string CameraName;    // the driver's description
    std::string CameraDevice;  // its device path; empty when it has none
    std::time_t LastFrame = 0; // the newest camera frame taken; 0: none
    TUploadOutcome LastUpload;
    int StreamClients = 0;
    TMotionStatus Motion;
    long long UptimeSeconds = 0;
    std::string Version;
};

// The state of the main window Main, as of now.
TStatus CollectStatus(const Tcapmain& Main);

// One JSON object; times in UTC as "YYYY-MM-DDThh:mm:ssZ", null when none.
std::string StatusJson(const TStatus& Status);
