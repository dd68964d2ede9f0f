// A V4L2 capture device, opened through libv4l2, streaming in the camera's
// own format through memory-mapped buffers; libv4lconvert turns a frame
// into RGB24 only when somebody looks at it (a preview frame or a grab).
//
// While the driver is open the device streams, whether or not anybody
// looks; the first frames after a stream start are dropped while the
// camera's exposure settles. Frames that cannot be had (flagged by the
// device, undecodable, of another size) are skipped. A lost device (gone
// from /dev, hung up, ENODEV) turns the picture into a "NO SIGNAL" frame,
// is reported as an error, and is opened again by itself when a device of
// the same identity comes back.
#pragma once

#include <linux/videodev2.h>

#include <string>
#include <vector>

#include "capture/CaptureDriver.h"

struct TV4l2Device {
    std::string Path;
    std::string Card;
    std::string Version;
    std::string Identity;
    std::vector<std::string> Sizes;  // "WxH", smallest first
};

// The names of the /dev/videoN nodes, video2 before video10 (no node is
// opened).
std::vector<std::string> V4l2Nodes();

// The capture devices (/dev/video* that can capture), in number order
// (video2 before video10).
std::vector<TV4l2Device> ListV4l2Devices();

// The stable identity of the device at Path: its /dev/v4l/by-id name, else
// card name and bus.
std::string V4l2Identity(const std::string& Path, const std::string& Card, const std::string& Bus);

class TV4l2Driver : public TCaptureDriver {
public:
    explicit TV4l2Driver(std::string Path);
    ~TV4l2Driver() override;

    bool Open() override;
    void Close() override;
    bool HasDlgVideoSource() const override { return FInputs.size() > 1; }
    bool HasDlgVideoFormat() const override { return !FSizes.empty(); }
    bool DlgVideoSource() override;
    bool DlgVideoFormat() override;
    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    bool StartStream() override;
    void StopStream() override;
    bool LatestFrame(TBitmap& Frame) override;
    bool LatestYuyv(TRawFrame& Frame) override;
    bool GrabFrame(TBitmap& Frame) override;
    void ServiceStream() override;
    void Tick() override;

    const std::string& Identity() const { return FIdentity; }
    bool Lost() const { return FLost; }

private:
    struct TBuffer {
        void* Start = nullptr;
        size_t Length = 0;
    };
    struct TMode {
        int Width, Height;
        uint32_t Format;  // the camera's pixel format
    };

    // Opens FPath and sets it up; false (device closed again) on failure.
    bool Connect();
    void Disconnect();
    // The camera's format nearest AWidth x AHeight, in pixel format Format
    // (0: whichever converts best).
    bool SetFormat(int AWidth, int AHeight, uint32_t Format = 0);
    // Reads frames as Format says from now on.
    void UseFormat(const v4l2_format& Format);
    void ListModes();
    // Takes in the newest camera frame, once: a compressed one is decoded
    // into FLatest, a frame of rows stays where it is until it is asked
    // for. False when there is no picture.
    bool Convert();
    // Frames of rows: they always convert, so no copy of the last good
    // picture is kept for them.
    bool Uncompressed() const { return FSrcFmt.fmt.pix.bytesperline != 0; }
    // The newest good picture into Frame; false when there is none.
    bool TakeLatest(TBitmap& Frame);
    bool ConvertHeld(TBitmap& Into);
    bool Begin();
    void End();
    void Restart();
    // Takes every filled buffer, keeps the newest good one. False when the
    // device was lost.
    bool Dequeue(bool& Got);
    // Waits up to TimeoutMs for a frame; false when none came.
    bool WaitForFrame(int TimeoutMs);
    void Watch();
    // The device is gone: close it, report it, wait for it to come back.
    void Lose(const std::string& What, int Error);
    bool Reconnect();
    void NoSignal(TBitmap& Frame);
    // Keeps size and input for the next open of this camera.
    void Remember();
    bool Settled() const;
    // Tells once when the picture turns to NO SIGNAL, and once when good
    // frames come again.
    void WatchSignal();

    std::string FPath;
    std::string FIdentity;
    std::string FCard;
    int FFd = -1;
    int FWidth = 0, FHeight = 0;
    uint32_t FPixelFormat = 0;
    int FFramePeriodMs = 33;
    struct v4lconvert_data* FConvert = nullptr;
    v4l2_format FSrcFmt{}, FDstFmt{};
    std::vector<TBuffer> FBuffers;
    std::vector<TMode> FSizes;
    std::vector<std::string> FInputs;
    bool FStreaming = false;
    bool FWatching = false;
    bool FHangUp = false;
    bool FLost = false;
    bool FSignalLost = false;  // NO SIGNAL has been told
    // The newest good camera frame stays dequeued until a newer one comes.
    int FHeld = -1;
    uint32_t FHeldBytes = 0;
    bool FRawFresh = false;
    bool FHaveRaw = false;
    DWORD FRawTick = 0;
    bool FHaveFrame = false;
    DWORD FLatestTick = 0;
    DWORD FStreamTick = 0;
    int FWarmup = 0;
    unsigned FSkipped = 0;
    std::string FSeenNodes;
    TBitmap FLatest;   // compressed frames only
    TBitmap FScratch;
    TBitmap FNoSignal;
};
