// Windows, window procedures and the per-thread message queue.
//
// Every thread that creates a window owns a queue. Messages posted to a
// window go to its thread's queue in FIFO order (PostMessage is safe from
// any thread); SendMessage calls the procedure at once. The queue waits in
// epoll: posted messages, watched descriptors and timers wake it, nothing
// polls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using BOOL = int;
using LONG = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;

struct HWND__;
using HWND = HWND__*;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x = 0, y = 0;
};

struct RECT {
    LONG left = 0, top = 0, right = 0, bottom = 0;
};

struct MSG {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;
};

// WINDOWPOS, the record of WM_WINDOWPOSCHANGING.
struct WINDOWPOS {
    HWND hwnd = nullptr;
    HWND hwndInsertAfter = nullptr;
    int x = 0, y = 0, cx = 0, cy = 0;
    UINT flags = 0;
};

struct WINDOWPLACEMENT {
    UINT length = 44;
    UINT flags = 0;
    UINT showCmd = 0;
    POINT ptMinPosition;
    POINT ptMaxPosition;
    RECT rcNormalPosition;
};

inline WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline WORD HIWORD(uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
inline LPARAM MAKELPARAM(WORD lo, WORD hi) { return static_cast<LPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16)); }

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_WINDOWPOSCHANGING = 0x0046;
constexpr UINT WM_NCLBUTTONDOWN = 0x00A1;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_MBUTTONDBLCLK = 0x0209;
constexpr UINT WM_USER = 0x0400;

constexpr WPARAM SC_MINIMIZE = 0xF020;
constexpr WPARAM SC_RESTORE = 0xF120;
constexpr WPARAM HTCAPTION = 2;

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

constexpr int GWL_WNDPROC = -4;
constexpr int GWL_ID = -12;
constexpr int GWL_USERDATA = -21;

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

// Window creation and state. A window belongs to the thread that made it.
// CreateWindowHandle sends WM_CREATE; DestroyWindow destroys the children
// first, sends WM_DESTROY and drops messages still queued for the window.
HWND CreateWindowHandle(WNDPROC Proc, HWND Parent = nullptr, LONG_PTR UserData = 0,
                        const std::string& Title = std::string());
BOOL DestroyWindow(HWND Wnd);
BOOL IsWindow(HWND Wnd);
HWND GetParent(HWND Wnd);
HWND SetParent(HWND Wnd, HWND NewParent);
LONG_PTR GetWindowLongPtr(HWND Wnd, int Index);
LONG_PTR SetWindowLongPtr(HWND Wnd, int Index, LONG_PTR Value);
LRESULT CallWindowProc(WNDPROC Proc, HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Default handling: WM_CLOSE destroys the window, WM_SYSCOMMAND minimises
// or restores it, WM_NCLBUTTONDOWN on the caption asks the host to move it.
LRESULT DefWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Geometry and show state, kept per window and reported to the host.
BOOL GetWindowRect(HWND Wnd, RECT* Rect);
BOOL MoveWindow(HWND Wnd, int X, int Y, int Width, int Height, BOOL Repaint);
BOOL SetWindowPos(HWND Wnd, HWND InsertAfter, int X, int Y, int Cx, int Cy, UINT Flags);
BOOL ShowWindow(HWND Wnd, int CmdShow);
BOOL IsWindowVisible(HWND Wnd);
BOOL IsIconic(HWND Wnd);
BOOL IsWindowEnabled(HWND Wnd);
BOOL EnableWindow(HWND Wnd, BOOL Enable);
BOOL SetForegroundWindow(HWND Wnd);
BOOL GetWindowPlacement(HWND Wnd, WINDOWPLACEMENT* Placement);
BOOL SetWindowPlacement(HWND Wnd, const WINDOWPLACEMENT* Placement);
BOOL ReleaseCapture();

// What a front end is told when the program changes a window. The front
// end that draws the window carries the request out (moves, shows,
// minimises, starts a system move).
enum class TWindowChange { Geometry, Show, Minimize, Restore, Foreground, SystemMove, Destroyed };
using TWindowHost = std::function<void(HWND Wnd, TWindowChange Change)>;
void SetWindowHost(HWND Wnd, TWindowHost Host);

// Messages.
BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessage(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Drops the posted messages Msg for Wnd whose wParam is wParam (those of a
// socket handle that has been closed).
void RemovePostedMessages(HWND Wnd, UINT Msg, WPARAM wParam);
void PostQuitMessage(int ExitCode);
// Takes the first message for Wnd (any window of the thread when null)
// whose number lies in [Min, Max] (any when both are 0). Ready
// descriptors and due timers are turned into messages first.
BOOL PeekMessage(MSG* Msg, HWND Wnd, UINT Min, UINT Max, UINT RemoveFlag);
// Blocks until a message arrives; false for WM_QUIT.
BOOL GetMessage(MSG* Msg, HWND Wnd, UINT Min, UINT Max);
BOOL TranslateMessage(const MSG* Msg);
LRESULT DispatchMessage(const MSG* Msg);
// Blocks until the queue holds a message.
BOOL WaitMessage();
// Blocks until the queue holds a message or TimeoutMs passes (-1: no limit).
// True when a message is waiting.
bool WaitMessageTimeout(int TimeoutMs);
// Dispatches what is waiting (ready descriptors, due timers, posted
// messages) without blocking. A WM_QUIT is left in the queue; the return
// value is true when one is pending.
bool PumpPendingMessages();

// Timers: WM_TIMER with the timer id in wParam, posted to Wnd once per
// elapsed interval (never more than one waiting).
UINT SetTimer(HWND Wnd, UINT Id, UINT ElapseMs);
BOOL KillTimer(HWND Wnd, UINT Id);

// Descriptor readiness for the socket layer: Handler runs on the queue's
// thread, from inside the queue's wait, with the epoll events that are
// ready. It must only post messages or change its own registration.
using TDescriptorHandler = std::function<void(uint32_t Events)>;
void WatchDescriptor(int Fd, uint32_t Events, TDescriptorHandler Handler);
void ChangeDescriptor(int Fd, uint32_t Events);
void UnwatchDescriptor(int Fd);

// For a front end that runs its own loop on this thread: a descriptor that
// becomes readable whenever the queue has work, and the milliseconds until
// the next timer falls due (-1: none).
int QueueDescriptor();
// Messages the thread posted to itself do not make the descriptor readable;
// a loop that sleeps on it calls this before it sleeps.
void SignalPendingMessages();
int NextTimerTimeout();

// Clock and pause.
DWORD GetTickCount();
// Shifts what GetTickCount returns by Ms (wrapping at 32 bits), so that
// code meeting the counter's wrap can be run at any tick; 0 undoes it.
// Timers and waits keep the real clock.
void SetTickCountShift(DWORD Ms);
DWORD TickCountShift();
void Sleep(DWORD Ms);
