// A V4L2 capture device, opened through libv4l2 so that every camera format
// arrives as RGB24, streaming through memory-mapped buffers.
#pragma once

#include <string>
#include <vector>

#include "capture/CaptureDriver.h"

struct TV4l2Device {
    std::string Path;
    std::string Card;
    std::string Version;
};

// The capture devices (/dev/video* that can capture), in number order
// (video2 before video10).
std::vector<TV4l2Device> ListV4l2Devices();

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
    bool GrabFrame(TBitmap& Frame) override;
    void ServiceStream() override;

private:
    struct TBuffer {
        void* Start = nullptr;
        size_t Length = 0;
    };
    struct TSize {
        int Width, Height;
    };

    bool SetFormat(int AWidth, int AHeight);
    void ListSizes();
    bool Begin();
    void End();
    // Takes every filled buffer, keeps the newest; false on a device error.
    bool Dequeue(bool& Got);
    bool WaitForFrame(int TimeoutMs);
    void Fail(const std::string& What, int Error);
    void Watch();

    std::string FPath;
    int FFd = -1;
    int FWidth = 0, FHeight = 0;
    unsigned FStride = 0;
    std::vector<TBuffer> FBuffers;
    std::vector<TSize> FSizes;
    std::vector<std::string> FInputs;
    bool FStreaming = false;
    bool FWatching = false;
    bool FFailed = false;
    bool FHaveFrame = false;
    TBitmap FLatest;
};
