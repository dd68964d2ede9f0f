#include "capture/Video.h"

#include <cmath>
#include <cstring>

#include "platform/Application.h"

namespace {

constexpr int CapWindowId = 5001;
constexpr int DescriptionSize = 80;
constexpr size_t FileNameBufferSize = 264;

// Milliseconds per preview frame, rounded to nearest with ties to even.
WPARAM PreviewMs(uint16_t Rate) { return static_cast<WPARAM>(std::nearbyint(1.0 / Rate * 1000.0)); }

bool Describe(int Index, char (&Name)[DescriptionSize], char (&Version)[DescriptionSize])
{
    std::memset(Name, 0, sizeof Name);
    std::memset(Version, 0, sizeof Version);
    return capGetDriverDescriptionA(static_cast<UINT>(Index), Name, DescriptionSize, Version, DescriptionSize);
}

// An event handler that throws inside a callback is reported, not passed
// back into the capture window.
template <class F>
void Contained(F&& f)
{
    try {
        f();
    } catch (...) {
        if (Application)
            Application->HandleException();
    }
}

// Calls the grabber's handler, if it has one, with the callback's arguments.
template <class Event, class... Args>
LRESULT ForwardCallback(TFrameGrabber* Self, Event TFrameGrabber::*Handler, Args&&... A)
{
    if (Self && Self->*Handler) {
        Event event = Self->*Handler;
        Contained([&] { event(Self, A...); });
    }
    return 1;
}

std::string CallbackText(const char* lpsz) { return lpsz ? std::string(lpsz) : std::string(); }

} // namespace

std::vector<std::string> GetDriverList()
{
    std::vector<std::string> list;
    list.reserve(10);
    char name[DescriptionSize], version[DescriptionSize];
    for (int i = 0; i <= 9; ++i) {
        if (!Describe(i, name, version))
            break;
        list.push_back(std::string(name) + " " + version);
    }
    return list;
}

TFrameGrabber::TFrameGrabber(TComponent* AOwner) : TWinControl(AOwner), FCapAudioFormat(std::make_unique<TAudioFormat>())
{
    SetWidth(100);
    SetHeight(100);
    SetColor(clBlack);
}

TFrameGrabber::~TFrameGrabber()
{
    BeginDestroy();
    DestroyCapWindow();
    FreeCapBuffers();
    FCapAudioFormat.reset();
}

LRESULT TFrameGrabber::Send(UINT Msg, WPARAM wParam, LPARAM lParam) const { return SendMessage(FCapWnd, Msg, wParam, lParam); }

void TFrameGrabber::SetDriverIndex(int32_t Value)
{
    if (Value == FDriverIndex)
        return;
    DestroyCapWindow();
    FreeCapBuffers();
    if (Value >= 0) {
        char name[DescriptionSize], version[DescriptionSize];
        if (Describe(Value, name, version))
            FDriverName = name;
        else
            Value = -1;
    }
    if (Value == -1)
        FDriverName.clear();
    FDriverIndex = Value;
}

void TFrameGrabber::SetDriverName(const std::string& Value)
{
    if (Value == FDriverName)
        return;
    char name[DescriptionSize], version[DescriptionSize];
    for (int i = 0; i <= 9; ++i) {
        if (Describe(i, name, version) && Value == name) {
            FDriverName = Value;
            SetDriverIndex(i);
            return;
        }
    }
    FDriverName.clear();
    SetDriverIndex(-1);
}

void TFrameGrabber::SetDriverOpen(bool Value)
{
    if (Value == DriverOpen())
        return;
    if (Value)
        CreateCapWindow();
    else
        DestroyCapWindow();
}

void TFrameGrabber::Register(UINT Msg, bool Assigned, void* Proc)
{
    Send(Msg, 0, Assigned ? reinterpret_cast<LPARAM>(Proc) : 0);
}

bool TFrameGrabber::CreateCapWindow()
{
    if (FCapWnd)
        return true;
    if (FDriverIndex == -1) {
        ENoDriverException e("No capture driver selected");
        UpdateCapStatus();
        throw e;
    }
    FCapWnd = capCreateCaptureWindowA(Name().c_str(), WS_CHILD | WS_VISIBLE, 0, 0, Width(), Height(), Handle(), CapWindowId);
    if (!FCapWnd) {
        ENoCapWindowException e("Can not create capture window");
        UpdateCapStatus();
        throw e;
    }
    Send(WM_CAP_SET_USER_DATA, 0, reinterpret_cast<LPARAM>(this));
    LONG_PTR previous = SetWindowLongPtr(FCapWnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(&TFrameGrabber::CapWndProc));
    SetWindowLongPtr(FCapWnd, GWL_USERDATA, previous);
    if (FOnStatusCallback)
        Register(WM_CAP_SET_CALLBACK_STATUSA, true, reinterpret_cast<void*>(&StatusCallbackProc));
    if (FOnFrameCallback)
        Register(WM_CAP_SET_CALLBACK_FRAME, true, reinterpret_cast<void*>(&FrameCallbackProc));
    if (FOnError)
        Register(WM_CAP_SET_CALLBACK_ERRORA, true, reinterpret_cast<void*>(&ErrorCallbackProc));
    if (FOnVideoStream)
        Register(WM_CAP_SET_CALLBACK_VIDEOSTREAM, true, reinterpret_cast<void*>(&VideoStreamCallbackProc));
    if (FOnAudioStream)
        Register(WM_CAP_SET_CALLBACK_WAVESTREAM, true, reinterpret_cast<void*>(&WaveStreamCallbackProc));
    if (!Send(WM_CAP_DRIVER_CONNECT, static_cast<WORD>(FDriverIndex), 0)) {
        ENotConnectException e("Can not connect capture driver with capture window");
        DestroyCapWindow();
        UpdateCapStatus();
        throw e;
    }
    if (FPreviewSink)
        capSetPreviewSink(FCapWnd, FPreviewSink);
    if (FRawFrameSink)
        capSetRawFrameSink(FCapWnd, FRawFrameSink);
    Send(WM_CAP_SET_SCALE, FPreviewScaleToWindow ? 1 : 0, 0);
    Send(WM_CAP_SET_PREVIEWRATE, PreviewMs(FPreviewRate), 0);
    UpdateCapStatus();
    SizeCapWindow();
    Invalidate();
    return true;
}

void TFrameGrabber::DestroyCapWindow()
{
    if (!FCapWnd)
        return;
    HWND wnd = FCapWnd;
    SendMessage(wnd, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    SetWindowLongPtr(wnd, GWL_WNDPROC, GetWindowLongPtr(wnd, GWL_USERDATA));
    DestroyWindow(wnd);
    FCapWnd = nullptr;
    if (!Destroying())
        Invalidate();
}

bool TFrameGrabber::UpdateCapStatus()
{
    bool fetched = false;
    if (FCapWnd) {
        if (!FCapStatus)
            FCapStatus = std::make_unique<CAPSTATUS>(CAPSTATUS{});
        fetched = Send(WM_CAP_GET_STATUS, sizeof(CAPSTATUS), reinterpret_cast<LPARAM>(FCapStatus.get())) != 0;
    }
    if (OnStatus) {
        TCapStatusProc event = OnStatus;
        event(this);
    }
    return fetched;
}

bool TFrameGrabber::GetDriverCaps()
{
    if (FCapDriverCaps)
        return true;
    if (FDriverIndex == -1)
        return false;
    const bool wasOpen = DriverOpen();
    if (!wasOpen)
        CreateCapWindow();
    if (!FCapWnd)
        return false;
    FCapDriverCaps = std::make_unique<CAPDRIVERCAPS>(CAPDRIVERCAPS{});
    bool result = Send(WM_CAP_DRIVER_GET_CAPS, sizeof(CAPDRIVERCAPS), reinterpret_cast<LPARAM>(FCapDriverCaps.get())) != 0;
    if (!result)
        FCapDriverCaps.reset();
    if (!wasOpen)
        DestroyCapWindow();
    return result;
}

void TFrameGrabber::FreeCapBuffers()
{
    FCapDriverCaps.reset();
    FCapStatus.reset();
}

uint16_t TFrameGrabber::ImageWidth() const { return FCapStatus ? static_cast<uint16_t>(FCapStatus->uiImageWidth & 0xFFFF) : 0; }

uint16_t TFrameGrabber::ImageHeight() const { return FCapStatus ? static_cast<uint16_t>(FCapStatus->uiImageHeight & 0xFFFF) : 0; }

void TFrameGrabber::SizeCapWindow()
{
    if (!FCapWnd)
        return;
    int w, h;
    if (!FPreviewScaleToWindow) {
        w = ImageWidth();
        h = ImageHeight();
    } else if (!FPreviewScaleProportional) {
        w = Width();
        h = Height();
    } else {
        // Without a frame height or a control height there is no ratio:
        // the capture window stays as it is.
        if (ImageHeight() == 0 || Height() == 0)
            return;
        const float c = static_cast<float>(Width()) / static_cast<float>(Height());
        const float f = static_cast<float>(ImageWidth()) / static_cast<float>(ImageHeight());
        if (c > f) {
            h = Height();
            w = static_cast<int>(std::nearbyint(static_cast<double>(Height()) * f));
        } else {
            w = Width();
            h = static_cast<int>(std::nearbyint(static_cast<double>(Width()) / f));
        }
    }
    MoveWindow(FCapWnd, 0, 0, w, h, true);
    Invalidate();
}

RECT TFrameGrabber::CapWindowRect() const
{
    RECT r{};
    if (FCapWnd)
        GetWindowRect(FCapWnd, &r);
    return r;
}

void TFrameGrabber::SetPreviewSink(TPreviewSink Sink)
{
    FPreviewSink = std::move(Sink);
    if (FCapWnd)
        capSetPreviewSink(FCapWnd, FPreviewSink);
}

void TFrameGrabber::SetRawFrameSink(TRawFrameSink Sink)
{
    FRawFrameSink = std::move(Sink);
    if (FCapWnd)
        capSetRawFrameSink(FCapWnd, FRawFrameSink);
}

bool TFrameGrabber::VideoPreview() const { return FCapWnd && FCapStatus && FCapStatus->fLiveWindow != 0; }

void TFrameGrabber::SetVideoPreview(bool Value)
{
    if (Value == VideoPreview())
        return;
    if (Value && !DriverOpen())
        CreateCapWindow();
    Send(WM_CAP_SET_PREVIEW, Value ? 1 : 0, 0);
    UpdateCapStatus();
    Invalidate();
}

bool TFrameGrabber::VideoOverlay() const { return FCapWnd && FCapStatus && FCapStatus->fOverlayWindow != 0; }

void TFrameGrabber::SetVideoOverlay(bool Value)
{
    if (Value == VideoOverlay())
        return;
    if (!HasVideoOverlay())
        throw ENoOverlayException("Driver has no overlay mode");
    if (Value) {
        if (!DriverOpen())
            CreateCapWindow();
        GrabFrame();
    }
    Send(WM_CAP_SET_OVERLAY, Value ? 1 : 0, 0);
    UpdateCapStatus();
    Invalidate();
}

void TFrameGrabber::SetPreviewRate(uint16_t Value)
{
    if (Value == FPreviewRate)
        return;
    if (Value == 0)
        Value = 1;
    if (Value > 30)
        Value = 30;
    FPreviewRate = Value;
    if (FCapWnd)
        Send(WM_CAP_SET_PREVIEWRATE, PreviewMs(FPreviewRate), 0);
}

void TFrameGrabber::SetPreviewScaleToWindow(bool Value)
{
    if (Value == FPreviewScaleToWindow)
        return;
    FPreviewScaleToWindow = Value;
    if (FCapWnd) {
        Send(WM_CAP_SET_SCALE, Value ? 1 : 0, 0);
        SizeCapWindow();
    }
    Invalidate();
}

void TFrameGrabber::SetPreviewScaleProportional(bool Value)
{
    if (Value == FPreviewScaleProportional)
        return;
    FPreviewScaleProportional = Value;
    if (FCapWnd)
        SizeCapWindow();
    Invalidate();
}

void TFrameGrabber::SetMicroSecPerFrame(uint32_t Value)
{
    if (Value == FMicroSecPerFrame)
        return;
    FMicroSecPerFrame = static_cast<int32_t>(Value) < 33333 ? 33333 : Value;
}

uint16_t TFrameGrabber::FrameRate() const
{
    if (static_cast<int32_t>(FMicroSecPerFrame) <= 0)
        return 0;
    const double rate = std::nearbyint(1.0 / FMicroSecPerFrame * 1000000.0);
    // A period under 16 microseconds gives more than 16 bits: the largest
    // rate is reported.
    return rate > 65535.0 ? 65535 : static_cast<uint16_t>(rate);
}

void TFrameGrabber::SetFrameRate(uint16_t Value)
{
    if (Value == 0)
        return;
    FMicroSecPerFrame = static_cast<uint32_t>(std::nearbyint(1.0 / Value * 1000000.0));
}

void TFrameGrabber::SetCapIndexSize(uint32_t Value)
{
    if (Value == 0) {
        FCapIndexSize = 0;
        return;
    }
    int32_t v = static_cast<int32_t>(Value);
    if (v < 1800)
        v = 1800;
    if (v > 324000)
        v = 324000;
    FCapIndexSize = static_cast<uint32_t>(v);
}

bool TFrameGrabber::HasVideoOverlay() { return GetDriverCaps() && FCapDriverCaps->fHasOverlay != 0; }

bool TFrameGrabber::HasDlgVideoSource() { return GetDriverCaps() && FCapDriverCaps->fHasDlgVideoSource != 0; }

bool TFrameGrabber::HasDlgVideoFormat() { return GetDriverCaps() && FCapDriverCaps->fHasDlgVideoFormat != 0; }

bool TFrameGrabber::DlgVideoFormat() { return RunDriverDialog(WM_CAP_DLG_VIDEOFORMAT); }

bool TFrameGrabber::DlgVideoSource() { return RunDriverDialog(WM_CAP_DLG_VIDEOSOURCE); }

bool TFrameGrabber::RunDriverDialog(UINT Msg)
{
    if (FDriverIndex == -1)
        return false;
    const bool wasOpen = DriverOpen();
    if (!wasOpen)
        CreateCapWindow();
    const bool result = Send(Msg) != 0;
    if (result)
        UpdateCapStatus();
    if (!wasOpen)
        DestroyCapWindow();
    if (result) {
        SizeCapWindow();
        Invalidate();
    }
    return result;
}

bool TFrameGrabber::GrabFrame() { return Grab(WM_CAP_GRAB_FRAME); }

bool TFrameGrabber::GrabFrameNoStop() { return Grab(WM_CAP_GRAB_FRAME_NOSTOP); }

bool TFrameGrabber::Grab(UINT Msg)
{
    if (!DriverOpen())
        return false;
    const bool result = Send(Msg) != 0;
    if (result)
        UpdateCapStatus();
    return result;
}

bool TFrameGrabber::SaveAsDIB()
{
    if (!DriverOpen())
        return false;
    // The platform's buffer holds 263 characters and the terminator; a
    // longer name would be cut into another file's name.
    if (SingleImageFile.size() >= FileNameBufferSize)
        return false;
    char name[FileNameBufferSize] = {};
    std::memcpy(name, SingleImageFile.data(), SingleImageFile.size());
    return Send(WM_CAP_FILE_SAVEDIBA, 0, reinterpret_cast<LPARAM>(name)) != 0;
}

void TFrameGrabber::SetOnStatusCallback(TCapStatusCallback Value)
{
    FOnStatusCallback = std::move(Value);
    if (FCapWnd)
        Register(WM_CAP_SET_CALLBACK_STATUSA, static_cast<bool>(FOnStatusCallback), reinterpret_cast<void*>(&StatusCallbackProc));
}

void TFrameGrabber::SetOnVideoStream(TVideoStream Value)
{
    FOnVideoStream = std::move(Value);
    if (FCapWnd)
        Register(WM_CAP_SET_CALLBACK_VIDEOSTREAM, static_cast<bool>(FOnVideoStream),
                 reinterpret_cast<void*>(&VideoStreamCallbackProc));
}

void TFrameGrabber::SetOnAudioStream(TAudioStream Value)
{
    FOnAudioStream = std::move(Value);
    if (FCapWnd)
        Register(WM_CAP_SET_CALLBACK_WAVESTREAM, static_cast<bool>(FOnAudioStream),
                 reinterpret_cast<void*>(&WaveStreamCallbackProc));
}

void TFrameGrabber::SetOnFrameCallback(TVideoStream Value)
{
    FOnFrameCallback = std::move(Value);
    if (FCapWnd)
        Register(WM_CAP_SET_CALLBACK_FRAME, static_cast<bool>(FOnFrameCallback), reinterpret_cast<void*>(&FrameCallbackProc));
}

void TFrameGrabber::SetOnError(TError Value)
{
    FOnError = std::move(Value);
    if (FCapWnd)
        Register(WM_CAP_SET_CALLBACK_ERRORA, static_cast<bool>(FOnError), reinterpret_cast<void*>(&ErrorCallbackProc));
}

TFrameGrabber* TFrameGrabber::FromCapWindow(HWND Wnd)
{
    return reinterpret_cast<TFrameGrabber*>(SendMessage(Wnd, WM_CAP_GET_USER_DATA, 0, 0));
}

LRESULT TFrameGrabber::StatusCallbackProc(HWND hWnd, int nID, const char* lpsz)
{
    return ForwardCallback(FromCapWindow(hWnd), &TFrameGrabber::FOnStatusCallback, nID, CallbackText(lpsz));
}

LRESULT TFrameGrabber::ErrorCallbackProc(HWND hWnd, int nID, const char* lpsz)
{
    return ForwardCallback(FromCapWindow(hWnd), &TFrameGrabber::FOnError, nID, CallbackText(lpsz));
}

LRESULT TFrameGrabber::FrameCallbackProc(HWND hWnd, VIDEOHDR* lpVHdr)
{
    return ForwardCallback(FromCapWindow(hWnd), &TFrameGrabber::FOnFrameCallback, lpVHdr);
}

LRESULT TFrameGrabber::VideoStreamCallbackProc(HWND hWnd, VIDEOHDR* lpVHdr)
{
    return ForwardCallback(FromCapWindow(hWnd), &TFrameGrabber::FOnVideoStream, lpVHdr);
}

LRESULT TFrameGrabber::WaveStreamCallbackProc(HWND hWnd, WAVEHDR* lpWHdr)
{
    return ForwardCallback(FromCapWindow(hWnd), &TFrameGrabber::FOnAudioStream, lpWHdr);
}

LRESULT TFrameGrabber::CapWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
        SendMessage(GetParent(Wnd), Msg, wParam, lParam);
        return 1;
    default:
        return CallWindowProc(reinterpret_cast<WNDPROC>(GetWindowLongPtr(Wnd, GWL_USERDATA)), Wnd, Msg, wParam, lParam);
    }
}

// The mouse messages of the control's window become its mouse events.
bool TFrameGrabber::MouseMessage(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    constexpr WPARAM MK_LBUTTON = 0x01, MK_RBUTTON = 0x02, MK_SHIFT = 0x04, MK_CONTROL = 0x08, MK_MBUTTON = 0x10;
    TShiftState shift = 0;
    if (wParam & MK_SHIFT)
        shift |= ssShift;
    if (wParam & MK_CONTROL)
        shift |= ssCtrl;
    if (wParam & MK_LBUTTON)
        shift |= ssLeft;
    if (wParam & MK_RBUTTON)
        shift |= ssRight;
    if (wParam & MK_MBUTTON)
        shift |= ssMiddle;
    const int x = static_cast<int16_t>(LOWORD(static_cast<uintptr_t>(lParam)));
    const int y = static_cast<int16_t>(HIWORD(static_cast<uintptr_t>(lParam)));
    switch (Msg) {
    case WM_MOUSEMOVE: MouseMove(shift, x, y); return true;
    case WM_LBUTTONDOWN:
        FClicked = true;
        MouseDown(mbLeft, shift, x, y);
        return true;
    case WM_LBUTTONDBLCLK:
        DblClick();
        MouseDown(mbLeft, shift | ssDouble, x, y);
        return true;
    case WM_LBUTTONUP:
        if (FClicked) {
            FClicked = false;
            if (x >= 0 && y >= 0 && x < Width() && y < Height())
                Click();
        }
        MouseUp(mbLeft, shift, x, y);
        return true;
    case WM_RBUTTONDOWN: MouseDown(mbRight, shift, x, y); return true;
    case WM_RBUTTONDBLCLK: MouseDown(mbRight, shift | ssDouble, x, y); return true;
    case WM_RBUTTONUP: MouseUp(mbRight, shift, x, y); return true;
    case WM_MBUTTONDOWN: MouseDown(mbMiddle, shift, x, y); return true;
    case WM_MBUTTONDBLCLK: MouseDown(mbMiddle, shift | ssDouble, x, y); return true;
    case WM_MBUTTONUP: MouseUp(mbMiddle, shift, x, y); return true;
    default: return false;
    }
}

LRESULT TFrameGrabber::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SIZE) {
        if (FCapWnd && FPreviewScaleToWindow)
            SizeCapWindow();
        return 0;
    }
    if (MouseMessage(Msg, wParam, lParam))
        return 0;
    return TWinControl::WndProc(Msg, wParam, lParam);
}
