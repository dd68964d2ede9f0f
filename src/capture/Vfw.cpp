#include "capture/Vfw.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "capture/CaptureDriver.h"
#include "imaging/BmpFile.h"

namespace {

constexpr UINT PreviewTimer = 1;
constexpr UINT TickTimer = 2;
constexpr UINT TickMs = 1000;
constexpr UINT WM_CAP_FRAME_READY = WM_USER + 0x300;
constexpr UINT DefaultPreviewMs = 66;

void CopyText(const std::string& Text, char* Buffer, int Size)
{
    if (!Buffer || Size <= 0)
        return;
    const size_t n = std::min(Text.size(), static_cast<size_t>(Size - 1));
    std::memcpy(Buffer, Text.data(), n);
    Buffer[n] = '\0';
}

// One capture window: the driver it is connected to and the window's own
// state (preview, overlay, scaling, the frame buffer, the callbacks).
class TCapWindow : public TCaptureEvents {
public:
    explicit TCapWindow(HWND AWnd) : Wnd(AWnd) {}
    ~TCapWindow() override { Disconnect(); }

    LRESULT Proc(UINT Msg, WPARAM wParam, LPARAM lParam);

    void DriverStatus(int Code, const std::string& Text) override
    {
        if (StatusCb)
            StatusCb(Wnd, Code, Text.c_str());
    }
    void DriverError(int Code, const std::string& Text) override
    {
        if (ErrorCb)
            ErrorCb(Wnd, Code, Text.c_str());
    }
    void DriverFrameReady() override { PostMessage(Wnd, WM_CAP_FRAME_READY, 0, 0); }
    void DriverVideoStream(VIDEOHDR* Header) override
    {
        if (VideoCb)
            VideoCb(Wnd, Header);
    }
    void DriverWaveStream(WAVEHDR* Header) override
    {
        if (WaveCb)
            WaveCb(Wnd, Header);
    }

    void DriverRawFrame(const TRawFrame& Frame) override
    {
        if (RawSink) {
            TRawFrameSink sink = RawSink;
            sink(Frame);
        }
    }

    // What WM_CAP_FILE_SAVEDIBA writes; null when it writes nothing.
    const TBitmap* SavableFrame() const { return FDriver && FHaveFrame ? &FFrame : nullptr; }

    HWND Wnd;
    LONG_PTR UserData = 0;
    TPreviewSink Sink;
    bool YuyvFrames = false;
    TRawFrameSink RawSink;
    bool Destroyed = false;

private:
    bool Connect(int AIndex);
    bool Disconnect();
    bool SetPreview(bool On);
    bool SetOverlay(bool On);
    bool Grab(bool StopPreview);
    void PreviewTick();
    void Show(bool Grabbed);
    void ShowYuyv(const TRawFrame& Frame);
    void FillCaps(CAPDRIVERCAPS& Caps) const;
    void FillStatus(CAPSTATUS& Status) const;
    template <class F>
    auto Call(F&& f)
    {
        struct Guard {
            TCapWindow* Self;
            ~Guard()
            {
                if (--Self->FBusy == 0)
                    Self->FRetired.clear();
            }
        } g{this};
        ++FBusy;
        return f();
    }

    std::unique_ptr<TCaptureDriver> FDriver;
    std::vector<std::unique_ptr<TCaptureDriver>> FRetired;
    int FBusy = 0;
    int FIndex = -1;
    bool FPreview = false;
    bool FOverlay = false;
    bool FScale = false;
    UINT FRateMs = DefaultPreviewMs;
    TBitmap FFrame;
    bool FHaveFrame = false;
    DWORD FFrameCount = 0;
    DWORD FStartTick = 0;

    CAPSTATUSCALLBACK StatusCb = nullptr;
    CAPERRORCALLBACK ErrorCb = nullptr;
    CAPVIDEOCALLBACK FrameCb = nullptr;
    CAPVIDEOCALLBACK VideoCb = nullptr;
    CAPWAVECALLBACK WaveCb = nullptr;
};

// The capture windows of this program, by handle.
std::unordered_map<HWND, std::shared_ptr<TCapWindow>> gCapWindows;
TCapMessageObserver gObserver;

std::shared_ptr<TCapWindow> FindCapWindow(HWND Wnd)
{
    auto it = gCapWindows.find(Wnd);
    return it == gCapWindows.end() ? nullptr : it->second;
}

LRESULT CapWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto self = FindCapWindow(Wnd);
    if (!self)
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    if (gObserver) {
        TCapMessageObserver observer = gObserver;
        observer(Wnd, Msg, wParam, lParam);
    }
    if (Msg == WM_DESTROY) {
        gCapWindows.erase(Wnd);
        self->Destroyed = true;
        return 0;
    }
    return self->Proc(Msg, wParam, lParam);
}

bool TCapWindow::Connect(int AIndex)
{
    Disconnect();
    auto driver = DriverTable().Create(AIndex);
    if (!driver)
        return false;
    driver->Attach(this);
    if (!Call([&] { return driver->Open(); })) {
        driver->Attach(nullptr);
        if (FBusy)
            FRetired.push_back(std::move(driver));
        return false;
    }
    FDriver = std::move(driver);
    FIndex = AIndex;
    SetTimer(Wnd, TickTimer, TickMs);
    FStartTick = GetTickCount();
    FFrameCount = 0;
    std::string name, version;
    DriverTable().Describe(AIndex, name, version);
    DriverStatus(IDS_CAP_CONNECTED, "Connected to " + name);
    return true;
}

bool TCapWindow::Disconnect()
{
    if (!FDriver)
        return false;
    KillTimer(Wnd, PreviewTimer);
    KillTimer(Wnd, TickTimer);
    FPreview = false;
    FOverlay = false;
    FHaveFrame = false;
    FIndex = -1;
    auto driver = std::move(FDriver);
    driver->StopStream();
    driver->Close();
    driver->Attach(nullptr);
    // A driver that is still running one of its own calls further up the
    // stack is freed when that call returns.
    if (FBusy)
        FRetired.push_back(std::move(driver));
    return true;
}

bool TCapWindow::SetPreview(bool On)
{
    if (!FDriver)
        return false;
    if (On == FPreview)
        return true;
    if (On) {
        if (FOverlay)
            SetOverlay(false);
        if (!Call([&] { return FDriver->StartStream(); }))
            return false;
        if (!FDriver)
            return false;
        FPreview = true;
        SetTimer(Wnd, PreviewTimer, FRateMs);
        DriverStatus(IDS_CAP_PREVIEW_ON, "Preview started");
    } else {
        FPreview = false;
        KillTimer(Wnd, PreviewTimer);
        Call([&] { FDriver->StopStream(); });
        DriverStatus(IDS_CAP_PREVIEW_OFF, "Preview stopped");
    }
    return true;
}

bool TCapWindow::SetOverlay(bool On)
{
    if (!FDriver || !FDriver->HasOverlay())
        return false;
    if (On == FOverlay)
        return true;
    if (On && FPreview)
        SetPreview(false);
    if (!FDriver || !Call([&] { return FDriver->SetOverlay(On); }))
        return false;
    FOverlay = On;
    return true;
}

void TCapWindow::Show(bool Grabbed)
{
    FHaveFrame = true;
    ++FFrameCount;
    if (Sink) {
        TPreviewSink sink = Sink;
        sink(FFrame);
    }
    if (FrameCb && !Destroyed) {
        VIDEOHDR hdr{};
        hdr.lpData = FFrame.Data();
        hdr.dwBufferLength = static_cast<DWORD>(FFrame.ByteSize());
        hdr.dwBytesUsed = hdr.dwBufferLength;
        hdr.dwTimeCaptured = GetTickCount() - FStartTick;
        hdr.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
        hdr.dwUser = Grabbed ? 1 : 0;
        FrameCb(Wnd, &hdr);
    }
}

bool TCapWindow::Grab(bool StopPreview)
{
    if (!FDriver)
        return false;
    if (StopPreview) {
        SetPreview(false);
        SetOverlay(false);
        if (!FDriver)
            return false;
    }
    if (!Call([&] { return FDriver->GrabFrame(FFrame); }) || Destroyed)
        return false;
    Show(true);
    return true;
}

void TCapWindow::PreviewTick()
{
    if (!FDriver || !FPreview)
        return;
    // Nobody looks at the frames: do not make them.
    if (!Sink && !FrameCb)
        return;
    TRawFrame raw;
    if (!Sink && YuyvFrames) {
        if (Call([&] { return FDriver->LatestYuyv(raw); })) {
            if (!Destroyed)
                ShowYuyv(raw);
            return;
        }
        if (Destroyed || !FDriver)
            return;
    }
    if (!Call([&] { return FDriver->LatestFrame(FFrame); }) || Destroyed)
        return;
    Show(false);
}

void TCapWindow::ShowYuyv(const TRawFrame& Frame)
{
    ++FFrameCount;
    if (!FrameCb)
        return;
    VIDEOHDR hdr{};
    hdr.lpData = const_cast<BYTE*>(Frame.Data);
    hdr.dwBufferLength = static_cast<DWORD>(Frame.BytesPerLine) * static_cast<DWORD>(Frame.Height);
    hdr.dwBytesUsed = hdr.dwBufferLength;
    hdr.dwTimeCaptured = GetTickCount() - FStartTick;
    hdr.dwFlags = VHDR_DONE | VHDR_KEYFRAME | VHDR_YUYV;
    hdr.dwReserved[0] = static_cast<uintptr_t>(Frame.Width);
    hdr.dwReserved[1] = static_cast<uintptr_t>(Frame.Height);
    hdr.dwReserved[2] = static_cast<uintptr_t>(Frame.BytesPerLine);
    FrameCb(Wnd, &hdr);
}

void TCapWindow::FillCaps(CAPDRIVERCAPS& Caps) const
{
    Caps = CAPDRIVERCAPS{};
    Caps.wDeviceIndex = static_cast<UINT>(FIndex);
    Caps.fHasOverlay = FDriver->HasOverlay();
    Caps.fHasDlgVideoSource = FDriver->HasDlgVideoSource();
    Caps.fHasDlgVideoFormat = FDriver->HasDlgVideoFormat();
    Caps.fCaptureInitialized = true;
}

void TCapWindow::FillStatus(CAPSTATUS& Status) const
{
    Status = CAPSTATUS{};
    Status.uiImageWidth = static_cast<UINT>(FDriver->Width());
    Status.uiImageHeight = static_cast<UINT>(FDriver->Height());
    Status.fLiveWindow = FPreview;
    Status.fOverlayWindow = FOverlay;
    Status.fScale = FScale;
    Status.dwCurrentVideoFrame = FFrameCount;
    Status.dwCurrentTimeElapsedMS = GetTickCount() - FStartTick;
    Status.wNumVideoAllocated = 1;
}

LRESULT TCapWindow::Proc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_CAP_SET_CALLBACK_ERRORA: ErrorCb = reinterpret_cast<CAPERRORCALLBACK>(lParam); return 1;
    case WM_CAP_SET_CALLBACK_STATUSA: StatusCb = reinterpret_cast<CAPSTATUSCALLBACK>(lParam); return 1;
    case WM_CAP_SET_CALLBACK_FRAME: FrameCb = reinterpret_cast<CAPVIDEOCALLBACK>(lParam); return 1;
    case WM_CAP_SET_CALLBACK_VIDEOSTREAM: VideoCb = reinterpret_cast<CAPVIDEOCALLBACK>(lParam); return 1;
    case WM_CAP_SET_CALLBACK_WAVESTREAM: WaveCb = reinterpret_cast<CAPWAVECALLBACK>(lParam); return 1;
    case WM_CAP_GET_USER_DATA: return UserData;
    case WM_CAP_SET_USER_DATA: UserData = lParam; return 1;
    case WM_CAP_DRIVER_CONNECT: return Connect(LOWORD(wParam));
    case WM_CAP_DRIVER_DISCONNECT: return Disconnect();
    case WM_CAP_DRIVER_GET_NAMEA:
    case WM_CAP_DRIVER_GET_VERSIONA: {
        std::string name, version;
        if (!FDriver || !DriverTable().Describe(FIndex, name, version))
            return 0;
        CopyText(Msg == WM_CAP_DRIVER_GET_NAMEA ? name : version, reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
        return 1;
    }
    case WM_CAP_DRIVER_GET_CAPS: {
        if (!FDriver || !lParam)
            return 0;
        CAPDRIVERCAPS caps;
        FillCaps(caps);
        std::memcpy(reinterpret_cast<void*>(lParam), &caps, std::min<size_t>(wParam, sizeof caps));
        return 1;
    }
    case WM_CAP_GET_STATUS: {
        if (!FDriver || !lParam)
            return 0;
        CAPSTATUS status;
        FillStatus(status);
        std::memcpy(reinterpret_cast<void*>(lParam), &status, std::min<size_t>(wParam, sizeof status));
        return 1;
    }
    case WM_CAP_FILE_SAVEDIBA: {
        const char* name = reinterpret_cast<const char*>(lParam);
        if (!FDriver || !FHaveFrame || !name || !*name)
            return 0;
        try {
            SaveBitmapFile(FFrame, name);
            return 1;
        } catch (const std::exception&) {
            return 0;
        }
    }
    case WM_CAP_DLG_VIDEOFORMAT:
    case WM_CAP_DLG_VIDEOSOURCE: {
        if (!FDriver)
            return 0;
        const bool format = Msg == WM_CAP_DLG_VIDEOFORMAT;
        if (format ? !FDriver->HasDlgVideoFormat() : !FDriver->HasDlgVideoSource())
            return 0;
        bool ok = Call([&] { return format ? FDriver->DlgVideoFormat() : FDriver->DlgVideoSource(); });
        if (ok && FDriver && !Destroyed) {
            DriverStatus(format ? IDS_CAP_FORMAT_CHANGED : IDS_CAP_SOURCE_CHANGED,
                         format ? "Video format " + std::to_string(FDriver->Width()) + "x" + std::to_string(FDriver->Height())
                                : std::string("Video source changed"));
        }
        return ok;
    }
    case WM_CAP_SET_PREVIEW: return SetPreview(wParam != 0);
    case WM_CAP_SET_OVERLAY: return SetOverlay(wParam != 0);
    case WM_CAP_SET_PREVIEWRATE:
        FRateMs = std::max<UINT>(1, static_cast<UINT>(wParam));
        if (FPreview)
            SetTimer(Wnd, PreviewTimer, FRateMs);
        return 1;
    case WM_CAP_SET_SCALE: FScale = wParam != 0; return 1;
    case WM_CAP_GRAB_FRAME: return Grab(true);
    case WM_CAP_GRAB_FRAME_NOSTOP: return Grab(false);
    case WM_TIMER:
        if (wParam == PreviewTimer)
            PreviewTick();
        else if (wParam == TickTimer && FDriver)
            Call([&] { FDriver->Tick(); });
        return 0;
    case WM_CAP_FRAME_READY:
        if (FDriver)
            Call([&] { FDriver->ServiceStream(); });
        return 0;
    default: return DefWindowProc(Wnd, Msg, wParam, lParam);
    }
}

} // namespace

HWND capCreateCaptureWindowA(const char* lpszWindowName, DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                             HWND hwndParent, int nID)
{
    if ((dwStyle & WS_CHILD) && !IsWindow(hwndParent))
        return nullptr;
    HWND wnd = CreateWindowHandle(&CapWindowProc, hwndParent, 0, lpszWindowName ? lpszWindowName : "");
    if (!wnd)
        return nullptr;
    gCapWindows[wnd] = std::make_shared<TCapWindow>(wnd);
    SetWindowLongPtr(wnd, GWL_ID, nID);
    MoveWindow(wnd, x, y, nWidth, nHeight, false);
    ShowWindow(wnd, (dwStyle & WS_VISIBLE) ? SW_SHOW : SW_HIDE);
    return wnd;
}

BOOL capGetDriverDescriptionA(UINT wDriverIndex, char* lpszName, int cbName, char* lpszVer, int cbVer)
{
    std::string name, version;
    if (wDriverIndex > INT32_MAX || !DriverTable().Describe(static_cast<int>(wDriverIndex), name, version))
        return false;
    CopyText(name, lpszName, cbName);
    CopyText(version, lpszVer, cbVer);
    return true;
}

void capSetPreviewSink(HWND hCapWnd, TPreviewSink Sink)
{
    if (auto w = FindCapWindow(hCapWnd))
        w->Sink = std::move(Sink);
}

void capSetYuyvFrames(HWND hCapWnd, bool Accept)
{
    if (auto w = FindCapWindow(hCapWnd))
        w->YuyvFrames = Accept;
}

void capSetRawFrameSink(HWND hCapWnd, TRawFrameSink Sink)
{
    if (auto w = FindCapWindow(hCapWnd))
        w->RawSink = std::move(Sink);
}

const TBitmap* capSavableFrame(HWND hCapWnd)
{
    auto w = FindCapWindow(hCapWnd);
    return w ? w->SavableFrame() : nullptr;
}

void capSetMessageObserver(TCapMessageObserver Observer) { gObserver = std::move(Observer); }
