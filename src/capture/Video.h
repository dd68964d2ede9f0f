// TFrameGrabber: a windowed control that owns one capture window, connected
// to the capture driver chosen by index, and raises the capture window's
// callbacks as events.
//
// For the front end: while the driver is open, CapWindowHandle() is the
// capture window and CapWindowRect() its rectangle inside the control; the
// frames it shows go to the function given to SetPreviewSink (kept across
// opens). OnViewChanged fires when the capture window appears, disappears
// or changes size, and when the control asks to be repainted. Mouse input
// over the capture window is sent to CapWindowHandle() as window messages
// (coordinates relative to the capture window, which sits at the control's
// origin); input over the rest of the control goes to Handle(). Both reach
// OnMouseDown, OnMouseUp, OnMouseMove, OnClick and OnDblClick. The drivers'
// own source and format dialogs are shown through the function given to
// SetCaptureDialog (capture/CaptureDriver.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/Vfw.h"
#include "platform/Classes.h"
#include "platform/Controls.h"

class ENoDriverException : public Exception {
public:
    using Exception::Exception;
};
class ENoCapWindowException : public Exception {
public:
    using Exception::Exception;
};
class ENotConnectException : public Exception {
public:
    using Exception::Exception;
};
class ENoOverlayException : public Exception {
public:
    using Exception::Exception;
};

using TCapStatusProc = std::function<void(TObject* Sender)>;
using TCapStatusCallback = std::function<void(TObject* Sender, int32_t nID, const std::string& status)>;
using TVideoStream = std::function<void(TObject* sender, PVIDEOHDR lpVhdr)>;
using TAudioStream = std::function<void(TObject* sender, PWaveHdr lpWHdr)>;
using TError = std::function<void(TObject* sender, int32_t nID, const std::string& errorstr)>;

enum TChannel : uint8_t { Stereo, Mono };
enum TFrequency : uint8_t { f8000Hz, f11025Hz, f22050Hz, f44100Hz };
enum TResolution : uint8_t { r8Bit, r16Bit };

class TAudioFormat : public TObject {
public:
    TChannel Channels() const { return FChannels; }
    void SetChannels(TChannel Value) { FChannels = Value; }
    TFrequency Frequency() const { return FFrequency; }
    void SetFrequency(TFrequency Value) { FFrequency = Value; }
    TResolution Resolution() const { return FResolution; }
    void SetResolution(TResolution Value) { FResolution = Value; }

private:
    TChannel FChannels = Mono;
    TFrequency FFrequency = f8000Hz;
    TResolution FResolution = r8Bit;
};

// The installed capture drivers, one line each ("name version"); line i is
// the driver of index i. At most 10 lines.
std::vector<std::string> GetDriverList();

class TFrameGrabber : public TWinControl {
public:
    explicit TFrameGrabber(TComponent* AOwner);
    ~TFrameGrabber() override;

    int32_t DriverIndex() const { return FDriverIndex; }
    void SetDriverIndex(int32_t Value);
    const std::string& DriverName() const { return FDriverName; }
    void SetDriverName(const std::string& Value);
    bool DriverOpen() const { return FCapWnd != nullptr; }
    void SetDriverOpen(bool Value);

    bool CreateCapWindow();
    void DestroyCapWindow();
    bool UpdateCapStatus();
    bool GetDriverCaps();
    void FreeCapBuffers();
    void SizeCapWindow();
    uint16_t ImageWidth() const;
    uint16_t ImageHeight() const;

    // Preview, overlay and scaling.
    bool VideoPreview() const;
    void SetVideoPreview(bool Value);
    bool VideoOverlay() const;
    void SetVideoOverlay(bool Value);
    uint16_t PreviewRate() const { return FPreviewRate; }
    void SetPreviewRate(uint16_t Value);
    bool PreviewScaleToWindow() const { return FPreviewScaleToWindow; }
    void SetPreviewScaleToWindow(bool Value);
    bool PreviewScaleProportional() const { return FPreviewScaleProportional; }
    void SetPreviewScaleProportional(bool Value);

    // Capture parameters, kept but not sent to the driver.
    uint32_t MicroSecPerFrame() const { return FMicroSecPerFrame; }
    void SetMicroSecPerFrame(uint32_t Value);
    uint16_t FrameRate() const;
    void SetFrameRate(uint16_t Value);
    uint32_t CapIndexSize() const { return FCapIndexSize; }
    void SetCapIndexSize(uint32_t Value);
    std::string VideoFileName = "Video.avi";
    // At most 263 characters: SaveAsDIB refuses longer names.
    std::string SingleImageFile = "Capture.bmp";
    bool CapAudio = false;
    uint16_t CapTimeLimit = 0;
    bool CapToFile = true;
    TAudioFormat* CapAudioFormat() const { return FCapAudioFormat.get(); }

    bool HasVideoOverlay();
    bool HasDlgVideoSource();
    bool HasDlgVideoFormat();
    bool DlgVideoFormat();
    bool DlgVideoSource();
    bool GrabFrame();
    bool GrabFrameNoStop();
    bool SaveAsDIB();

    // Events. The five callback events have setters that register their
    // callbacks with an open capture window.
    TCapStatusProc OnStatus;
    const TCapStatusCallback& OnStatusCallback() const { return FOnStatusCallback; }
    void SetOnStatusCallback(TCapStatusCallback Value);
    const TVideoStream& OnVideoStream() const { return FOnVideoStream; }
    void SetOnVideoStream(TVideoStream Value);
    const TAudioStream& OnAudioStream() const { return FOnAudioStream; }
    void SetOnAudioStream(TAudioStream Value);
    const TVideoStream& OnFrameCallback() const { return FOnFrameCallback; }
    void SetOnFrameCallback(TVideoStream Value);
    const TError& OnError() const { return FOnError; }
    void SetOnError(TError Value);

    // For the front end (see the top of this file).
    HWND CapWindowHandle() const { return FCapWnd; }
    RECT CapWindowRect() const;
    void SetPreviewSink(TPreviewSink Sink);
    // The camera's frames as delivered (kept across opens).
    void SetRawFrameSink(TRawFrameSink Sink);

    // The callback procedures the capture window calls.
    static LRESULT StatusCallbackProc(HWND hWnd, int nID, const char* lpsz);
    static LRESULT ErrorCallbackProc(HWND hWnd, int nID, const char* lpsz);
    static LRESULT FrameCallbackProc(HWND hWnd, VIDEOHDR* lpVHdr);
    static LRESULT VideoStreamCallbackProc(HWND hWnd, VIDEOHDR* lpVHdr);
    static LRESULT WaveStreamCallbackProc(HWND hWnd, WAVEHDR* lpWHdr);

protected:
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;

private:
    static LRESULT CapWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    static TFrameGrabber* FromCapWindow(HWND Wnd);
    LRESULT Send(UINT Msg, WPARAM wParam = 0, LPARAM lParam = 0) const;
    // Shows a driver dialog, opening the driver for it when closed.
    bool RunDriverDialog(UINT Msg);
    // Grabs one frame into the buffer with Msg.
    bool Grab(UINT Msg);
    void Register(UINT Msg, bool Assigned, void* Proc);
    void Invalidate() { Changed(); }
    bool MouseMessage(UINT Msg, WPARAM wParam, LPARAM lParam);

    int32_t FDriverIndex = -1;
    std::string FDriverName;
    HWND FCapWnd = nullptr;
    std::unique_ptr<CAPDRIVERCAPS> FCapDriverCaps;
    std::unique_ptr<CAPSTATUS> FCapStatus;
    bool FPreviewScaleToWindow = false;
    bool FPreviewScaleProportional = false;
    uint16_t FPreviewRate = 30;
    uint32_t FMicroSecPerFrame = 66667;
    uint32_t FCapIndexSize = 0;
    std::unique_ptr<TAudioFormat> FCapAudioFormat;
    TCapStatusCallback FOnStatusCallback;
    TVideoStream FOnVideoStream;
    TAudioStream FOnAudioStream;
    TVideoStream FOnFrameCallback;
    TError FOnError;
    TPreviewSink FPreviewSink;
    TRawFrameSink FRawFrameSink;
    bool FClicked = false;
};
