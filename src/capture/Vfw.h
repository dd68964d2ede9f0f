// The capture window: a window that connects to one capture driver and
// answers the WM_CAP_* messages. Drivers are numbered from 0 (see
// CaptureDriver.h for the table of installed drivers).
//
// Front-end hook: capSetPreviewSink gives the capture window a function
// that receives every frame it shows (each preview tick and each grabbed
// frame). The front end draws that frame into the capture window's
// rectangle (GetWindowRect of the capture window, relative to its parent
// control): stretched to the rectangle when scaling is on, at its own size
// from the top-left corner otherwise. Mouse input over the rectangle is sent
// to the capture window as WM_MOUSEMOVE / WM_xBUTTONxxx messages with
// coordinates relative to the rectangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "imaging/Bitmap.h"
#include "platform/Windows.h"

constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;

constexpr UINT WM_CAP_START = WM_USER;
constexpr UINT WM_CAP_SET_CALLBACK_ERRORA = WM_CAP_START + 2;
constexpr UINT WM_CAP_SET_CALLBACK_STATUSA = WM_CAP_START + 3;
constexpr UINT WM_CAP_SET_CALLBACK_YIELD = WM_CAP_START + 4;
constexpr UINT WM_CAP_SET_CALLBACK_FRAME = WM_CAP_START + 5;
constexpr UINT WM_CAP_SET_CALLBACK_VIDEOSTREAM = WM_CAP_START + 6;
constexpr UINT WM_CAP_SET_CALLBACK_WAVESTREAM = WM_CAP_START + 7;
constexpr UINT WM_CAP_GET_USER_DATA = WM_CAP_START + 8;
constexpr UINT WM_CAP_SET_USER_DATA = WM_CAP_START + 9;
constexpr UINT WM_CAP_DRIVER_CONNECT = WM_CAP_START + 10;
constexpr UINT WM_CAP_DRIVER_DISCONNECT = WM_CAP_START + 11;
constexpr UINT WM_CAP_DRIVER_GET_NAMEA = WM_CAP_START + 12;
constexpr UINT WM_CAP_DRIVER_GET_VERSIONA = WM_CAP_START + 13;
constexpr UINT WM_CAP_DRIVER_GET_CAPS = WM_CAP_START + 14;
constexpr UINT WM_CAP_FILE_SAVEDIBA = WM_CAP_START + 25;
constexpr UINT WM_CAP_DLG_VIDEOFORMAT = WM_CAP_START + 41;
constexpr UINT WM_CAP_DLG_VIDEOSOURCE = WM_CAP_START + 42;
constexpr UINT WM_CAP_DLG_VIDEODISPLAY = WM_CAP_START + 43;
constexpr UINT WM_CAP_SET_PREVIEW = WM_CAP_START + 50;
constexpr UINT WM_CAP_SET_OVERLAY = WM_CAP_START + 51;
constexpr UINT WM_CAP_SET_PREVIEWRATE = WM_CAP_START + 52;
constexpr UINT WM_CAP_SET_SCALE = WM_CAP_START + 53;
constexpr UINT WM_CAP_GET_STATUS = WM_CAP_START + 54;
constexpr UINT WM_CAP_GRAB_FRAME = WM_CAP_START + 60;
constexpr UINT WM_CAP_GRAB_FRAME_NOSTOP = WM_CAP_START + 61;

// Status and error codes the capture window reports through its callbacks.
constexpr int IDS_CAP_CONNECTED = 1;
constexpr int IDS_CAP_PREVIEW_ON = 2;
constexpr int IDS_CAP_PREVIEW_OFF = 3;
constexpr int IDS_CAP_FORMAT_CHANGED = 4;
constexpr int IDS_CAP_SOURCE_CHANGED = 5;
constexpr int IDS_CAP_DEVICE_RETURNED = 6;   // a lost device is back
constexpr int IDS_CAP_DEVICE_FAILED = 1001;   // error: the device stopped working
constexpr int IDS_CAP_NO_FRAME = 1002;        // error: no frame arrived in time

// Handles inside the records are 32-bit fields, as on the platform the
// records come from, so the records keep their sizes.
using CAPHANDLE32 = uint32_t;

struct CAPDRIVERCAPS {
    UINT wDeviceIndex;
    BOOL fHasOverlay;
    BOOL fHasDlgVideoSource;
    BOOL fHasDlgVideoFormat;
    BOOL fHasDlgVideoDisplay;
    BOOL fCaptureInitialized;
    BOOL fDriverSuppliesPalettes;
    CAPHANDLE32 hVideoIn;
    CAPHANDLE32 hVideoOut;
    CAPHANDLE32 hVideoExtIn;
    CAPHANDLE32 hVideoExtOut;
};
static_assert(sizeof(CAPDRIVERCAPS) == 44);
static_assert(offsetof(CAPDRIVERCAPS, fHasOverlay) == 4 && offsetof(CAPDRIVERCAPS, fHasDlgVideoSource) == 8 &&
              offsetof(CAPDRIVERCAPS, fHasDlgVideoFormat) == 12);

struct CAPSTATUS {
    UINT uiImageWidth;
    UINT uiImageHeight;
    BOOL fLiveWindow;
    BOOL fOverlayWindow;
    BOOL fScale;
    POINT ptScroll;
    BOOL fUsingDefaultPalette;
    BOOL fAudioHardware;
    BOOL fCapFileExists;
    DWORD dwCurrentVideoFrame;
    DWORD dwCurrentVideoFramesDropped;
    DWORD dwCurrentWaveSamples;
    DWORD dwCurrentTimeElapsedMS;
    CAPHANDLE32 hPalCurrent;
    BOOL fCapturingNow;
    DWORD dwReturn;
    UINT wNumVideoAllocated;
    UINT wNumAudioAllocated;
};
static_assert(sizeof(CAPSTATUS) == 76);
static_assert(offsetof(CAPSTATUS, uiImageHeight) == 4 && offsetof(CAPSTATUS, fLiveWindow) == 8 &&
              offsetof(CAPSTATUS, fOverlayWindow) == 12 && offsetof(CAPSTATUS, wNumAudioAllocated) == 72);

// A video buffer. lpData holds the frame as 24-bit RGB, rows top-down, no
// padding (the layout of TBitmap).
struct VIDEOHDR {
    BYTE* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesUsed;
    DWORD dwTimeCaptured;
    uintptr_t dwUser;
    DWORD dwFlags;
    uintptr_t dwReserved[4];
};
using PVIDEOHDR = VIDEOHDR*;

constexpr DWORD VHDR_DONE = 0x00000001;
constexpr DWORD VHDR_PREPARED = 0x00000002;
constexpr DWORD VHDR_INQUEUE = 0x00000004;
constexpr DWORD VHDR_KEYFRAME = 0x00000008;

struct WAVEHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    uintptr_t dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};
using PWaveHdr = WAVEHDR*;

using CAPSTATUSCALLBACK = LRESULT (*)(HWND hWnd, int nID, const char* lpsz);
using CAPERRORCALLBACK = LRESULT (*)(HWND hWnd, int nID, const char* lpsz);
using CAPVIDEOCALLBACK = LRESULT (*)(HWND hWnd, VIDEOHDR* lpVHdr);
using CAPWAVECALLBACK = LRESULT (*)(HWND hWnd, WAVEHDR* lpWHdr);

// Creates a capture window as a child of Parent; null when Parent is not a
// window. The window is not connected to a driver yet.
HWND capCreateCaptureWindowA(const char* lpszWindowName, DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                             HWND hwndParent, int nID);

// Fills the name and version of the driver at wDriverIndex (zero-terminated,
// cut to the buffer sizes); false when no driver is installed there.
BOOL capGetDriverDescriptionA(UINT wDriverIndex, char* lpszName, int cbName, char* lpszVer, int cbVer);

// The frames the capture window shows go to Sink (null: none). Frames come
// on the capture window's thread, from its message dispatch.
using TPreviewSink = std::function<void(const TBitmap& Frame)>;
void capSetPreviewSink(HWND hCapWnd, TPreviewSink Sink);

// A frame as the camera delivered it, before any conversion: Format is the
// camera's pixel format (a V4L2 fourcc such as YUYV or MJPG), BytesPerLine
// 0 for compressed formats. The data is valid during the call only.
struct TRawFrame {
    uint32_t Format = 0;
    int Width = 0, Height = 0;
    int BytesPerLine = 0;
    const BYTE* Data = nullptr;
    size_t Size = 0;
};
// Every frame the driver takes from the camera goes to Sink (null: none),
// on the capture window's thread; drivers that make their own pictures
// deliver none.
using TRawFrameSink = std::function<void(const TRawFrame& Frame)>;
void capSetRawFrameSink(HWND hCapWnd, TRawFrameSink Sink);

// Diagnostics: Observer sees every message that reaches a capture window's
// own procedure (null: none).
using TCapMessageObserver = std::function<void(HWND hCapWnd, UINT Msg, WPARAM wParam, LPARAM lParam)>;
void capSetMessageObserver(TCapMessageObserver Observer);
