// Capture drivers and the table of installed drivers.
//
// The default table has the built-in test pattern at index 0, then every
// V4L2 capture device (/dev/video* with the capture capability, in name
// order). A program (or a test) may install its own table.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Vfw.h"
#include "imaging/Bitmap.h"

// What a connected driver reports back to its capture window.
class TCaptureEvents {
public:
    virtual ~TCaptureEvents() = default;
    virtual void DriverStatus(int Code, const std::string& Text) = 0;
    virtual void DriverError(int Code, const std::string& Text) = 0;
    // A new frame is ready (drivers that stream by themselves).
    virtual void DriverFrameReady() = 0;
    virtual void DriverVideoStream(VIDEOHDR* Header) = 0;
    virtual void DriverWaveStream(WAVEHDR* Header) = 0;
    // A frame just taken from the camera, in its own format.
    virtual void DriverRawFrame(const TRawFrame&) {}
};

class TCaptureDriver {
public:
    virtual ~TCaptureDriver() = default;
    TCaptureDriver() = default;
    TCaptureDriver(const TCaptureDriver&) = delete;
    TCaptureDriver& operator=(const TCaptureDriver&) = delete;

    // Connects to the device. False when it cannot be used.
    virtual bool Open() = 0;
    virtual void Close() = 0;

    virtual bool HasOverlay() const { return false; }
    virtual bool HasDlgVideoSource() const { return true; }
    virtual bool HasDlgVideoFormat() const { return true; }
    // The driver's dialogs; true when the user confirmed them.
    virtual bool DlgVideoSource() { return false; }
    virtual bool DlgVideoFormat() { return false; }
    // Overlay on or off; false when the driver has no overlay.
    virtual bool SetOverlay(bool) { return false; }

    virtual int Width() const = 0;
    virtual int Height() const = 0;

    // Live frames: between StartStream and StopStream the driver keeps a
    // newest frame ready for LatestFrame.
    virtual bool StartStream() { return true; }
    virtual void StopStream() {}
    // The frame to show now; false when there is none yet.
    virtual bool LatestFrame(TBitmap& Frame) = 0;
    // One frame on demand, streaming or not; false when none could be had.
    virtual bool GrabFrame(TBitmap& Frame) { return LatestFrame(Frame); }
    // Called on the capture window's thread after DriverFrameReady.
    virtual void ServiceStream() {}
    // Called about once a second while the driver is connected.
    virtual void Tick() {}

    void Attach(TCaptureEvents* Events) { FEvents = Events; }

protected:
    TCaptureEvents* Events() const { return FEvents; }
    void ReportStatus(int Code, const std::string& Text)
    {
        if (FEvents)
            FEvents->DriverStatus(Code, Text);
    }
    void ReportError(int Code, const std::string& Text)
    {
        if (FEvents)
            FEvents->DriverError(Code, Text);
    }
    void ReportRawFrame(const TRawFrame& Frame)
    {
        if (FEvents)
            FEvents->DriverRawFrame(Frame);
    }

private:
    TCaptureEvents* FEvents = nullptr;
};

// A plain "NO SIGNAL" picture of Width x Height, for a device that
// delivers nothing.
void DrawNoSignal(TBitmap& Frame, int Width, int Height);

// The drivers' own settings: each camera's chosen size and input, kept in
// FileName (capture.ini beside the program's settings file) under the
// camera's stable identity. An empty name (the default) keeps nothing.
void SetCaptureSettingsFile(const std::string& FileName);
int ReadCaptureSetting(const std::string& Camera, const std::string& Key, int Default);
void WriteCaptureSetting(const std::string& Camera, const std::string& Key, int Value);
// A size asked for on the command line: every driver opened takes it (as
// near as it can) instead of the remembered one, and remembers it. 0 x 0:
// none.
void SetRequestedCaptureSize(int Width, int Height);
bool RequestedCaptureSize(int& Width, int& Height);

// Where a driver's pictures come from, and the sizes it offers ("WxH").
struct TDriverDetails {
    std::string Path;
    std::vector<std::string> Sizes;
};

// The installed drivers.
class TDriverTable {
public:
    virtual ~TDriverTable() = default;
    // Name and version of the driver at Index; false when there is none.
    virtual bool Describe(int Index, std::string& Name, std::string& Version) = 0;
    // Device path and sizes of the driver at Index; false when unknown.
    virtual bool Details(int, TDriverDetails&) { return false; }
    // A new, unconnected driver for Index; null when there is none.
    virtual std::unique_ptr<TCaptureDriver> Create(int Index) = 0;
};

// The table in use (the default one unless another was installed).
TDriverTable& DriverTable();
// Installs Table (not owned; null restores the default table).
void SetDriverTable(TDriverTable* Table);

// The index of the driver Device names: its index, its device path, or its
// name (exactly, else the one name that contains it, ignoring case); -1
// when none does.
int FindCaptureDriver(const std::string& Device);

// The drivers' dialogs. A front end installs a function that shows Title
// with the list of Choices, Current selected, and returns the chosen index,
// or -1 when the user cancels. Without one, dialogs answer with Current.
using TCaptureDialog =
    std::function<int(const std::string& Title, const std::vector<std::string>& Choices, int Current)>;
void SetCaptureDialog(TCaptureDialog Dialog);
int ShowCaptureDialog(const std::string& Title, const std::vector<std::string>& Choices, int Current);
