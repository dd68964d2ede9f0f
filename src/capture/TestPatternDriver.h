// The built-in test pattern: a deterministic moving picture (a choice of
// backgrounds, a marker that moves one step a frame, and the frame number).
#pragma once

#include <string>
#include <vector>

#include "capture/CaptureDriver.h"

class TTestPatternDriver : public TCaptureDriver {
public:
    static constexpr const char* DriverName = "Quorrelane test pattern";
    static constexpr const char* DriverVersion = "Version 1.0";

    struct TSize {
        int Width, Height;
    };
    static const std::vector<TSize>& Sizes();
    static const std::vector<std::string>& Patterns();

    bool Open() override;
    void Close() override;
    bool DlgVideoSource() override;
    bool DlgVideoFormat() override;
    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    bool LatestFrame(TBitmap& Frame) override;

    void SetSize(int AWidth, int AHeight);
    int Pattern() const { return FPattern; }
    void SetPattern(int Value);
    unsigned FrameNumber() const { return FFrame; }

    // Draws frame Number of Pattern into Frame at Frame's size.
    static void Render(TBitmap& Frame, int Pattern, unsigned Number);

private:
    // Keeps size and pattern for the next open.
    void Remember() const;

    int FWidth = 320;
    int FHeight = 240;
    int FPattern = 0;
    unsigned FFrame = 0;
};
