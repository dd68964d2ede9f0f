// The snapshot: the camera's current frame as the JPEG picture the program
// serves and uploads, with the optional row tint and the caption.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/PixelView.h"

using TSnapshotStamp = std::chrono::system_clock::time_point;

// What a snapshot takes from the main window.
struct TSnapshotInput {
    std::string AppDir;   // ends with '/'; both files are written there
    std::string Message;  // Edit2's text; empty: the stamp is printed
    bool Effect = false;  // the "camera Effect" check mark
    int32_t EffectR = 55, EffectG = 45, EffectB = 20;
};

// Writes the camera's current frame to the bitmap file named (or leaves an
// older file there when the camera is closed).
using TGrabToFile = std::function<void(const std::string& BitmapFile)>;
// Grabs the camera's current frame and gives its pixels (valid until the
// grabber's next call), or nullptr when there are none; the snapshot
// writes them to the bitmap file.
using TGrabFrame = std::function<const TBitmap*(const std::string& BitmapFile)>;

constexpr const char* SnapshotBitmapName = "http.bmp";
constexpr int SnapshotQuality = 80;
constexpr double CaptionPointSize = 9;

// Grab into AppDir + "http.bmp", load it, tint, caption, and save the JPEG
// as AppDir + FileName. Errors (EFOpenError, EInvalidGraphic, EFCreateError,
// EJPEG) reach the caller; the previous JPEG then stays in place.
void TakeSnapshot(const TGrabToFile& Grab, const TSnapshotInput& Input,
                  const std::string& FileName, TSnapshotStamp Stamp);
// The same; the pixels the grab gives are written to the bitmap file and
// encoded as they are in memory, and the bitmap file is loaded only when
// the grab gives none.
void TakeSnapshot(const TGrabFrame& Grab, const TSnapshotInput& Input,
                  const std::string& FileName, TSnapshotStamp Stamp);

// The capture control's part of a snapshot: SingleImageFile, then
// GrabFrameNoStop; the frame the capture window would save, when it has
// one.
template <class TGrabber>
TGrabFrame GrabberToFile(TGrabber& Grabber)
{
    return [&Grabber](const std::string& BitmapFile) -> const TBitmap* {
        Grabber.SingleImageFile = BitmapFile;
        Grabber.GrabFrameNoStop();
        return Grabber.SavedFrame();
    };
}

// The steps, for the main window and for tests.
// Adds the offsets to every odd row, each sum clamped to 0..255.
void ApplyCameraEffect(TBitmap& Bitmap, int32_t R, int32_t G, int32_t B);
void ApplyCameraEffect(const TPixelView& Pixels, int32_t R, int32_t G, int32_t B);
// The stamp as the locale's short date, a blank and its long time.
std::string StampText(TSnapshotStamp Stamp);
// Message when not empty, else StampText(Stamp).
std::string CaptionText(const std::string& Message, TSnapshotStamp Stamp);
// White text on an opaque black box ending 3 pixels from the right and
// bottom edges.
void DrawCaption(TBitmap& Bitmap, const std::string& Text);
void DrawCaption(const TPixelView& Pixels, const std::string& Text);
// The caption alone, its black box as large as the text, for a picture
// drawn elsewhere.
TBitmap CaptionPicture(const std::string& Text);
