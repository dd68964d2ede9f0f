// Motion detection on the camera's delivered frames: a small grey picture
// of each examined frame (one cell for every 8 x 8 pixels) is compared with
// a slowly adapting background, and runs of frames that show motion make
// events. Pure logic: time comes in as milliseconds, and what an event
// asks for comes back as an action for the caller to carry out.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/Vfw.h"

// The [setting] keys motion, motion_fps, ... (defaults: detection off).
struct TMotionSettings {
    bool Enabled = false;
    int Fps = 5;          // frames examined a second, at most
    int Noise = 16;       // a cell changed: differs by more than this (0..255)
    int Threshold = 15;   // a frame shows motion: more than this per mille of cells changed
    int Frames = 2;       // consecutive such frames start an event
    int Gap = 10;         // seconds without motion end it
    int LightSwitch = 50; // a brightness change of more percent in one frame starts nothing
    int Interval = 2;     // seconds between the pictures of an event
    int Keep = 500;       // pictures kept in motion/
};

// A grey picture, one byte per cell, rows top-down.
struct TLumaGrid {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Cells;
};

// Reduces Frame to Grid (each side 1/8, at least 1 cell): the Y values of
// YUYV and UYVY, the luminance of MJPEG decoded at 1/8 scale, the grey of
// GREY, the green of RGB24 and BGR24. False for other formats and frames
// that cannot be read.
bool LumaOfFrame(const TRawFrame& Frame, TLumaGrid& Grid);

enum class TMotionAction {
    None,
    Started,  // an event begins: take its first picture
    Picture,  // another picture of the running event
    Ended,    // the event is over
};

class TMotionDetector {
public:
    explicit TMotionDetector(const TMotionSettings& Settings) : FSettings(Settings) {}

    // A frame the camera delivered at NowMs. Examined when due (motion_fps).
    TMotionAction Frame(const TRawFrame& Frame, uint64_t NowMs);
    // The same for a frame already reduced.
    TMotionAction Examine(const TLumaGrid& Grid, uint64_t NowMs);
    // Time passing: the gap that ends an event, the interval pictures.
    TMotionAction Tick(uint64_t NowMs);
    // The camera is lost or shows no signal: a running event ends, and the
    // background is learnt again from the next frame.
    TMotionAction SignalLost(uint64_t NowMs);
    // Everything forgotten (detection switched off, another camera).
    void Reset();

    bool Active() const { return FActive; }
    int Events() const { return FEvents; }
    uint64_t EventStartMs() const { return FStartMs; }    // the last event's start
    uint64_t EventLengthMs() const { return FLengthMs; }  // the last event's length, so far while it runs
    int LastChangedPerMille() const { return FChanged; }

private:
    TMotionAction End(uint64_t NowMs);

    const TMotionSettings& FSettings;
    std::vector<int32_t> FBackground;  // cells x 256
    int FWidth = 0, FHeight = 0;
    int FLastMean = -1;
    bool FExamined = false;
    uint64_t FLastExamMs = 0;
    uint64_t FQuietUntilMs = 0;  // relearning after a light switch
    int FRun = 0;                // consecutive frames with motion
    bool FActive = false;
    uint64_t FStartMs = 0, FLengthMs = 0, FLastMotionMs = 0, FNextPictureMs = 0;
    int FEvents = 0;
    int FChanged = 0;
    TLumaGrid FGrid;
};
