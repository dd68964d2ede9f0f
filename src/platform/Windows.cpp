#include "platform/Windows.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// One thread's queue: posted messages, timers and watched descriptors.
class Queue {
public:
    Queue()
    {
        FEpoll = epoll_create1(EPOLL_CLOEXEC);
        FWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = WakeKey;
        epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &ev);
    }
    ~Queue()
    {
        close(FWake);
        close(FEpoll);
    }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    void Post(const MSG& m)
    {
        std::lock_guard<std::mutex> g(FLock);
        FPosted.push_back(m);
        // The owner looks at the queue before it waits: only other threads
        // need the wake-up descriptor.
        if (std::this_thread::get_id() != FOwner)
            SignalLocked();
    }

    void PostQuit(int code)
    {
        std::lock_guard<std::mutex> g(FLock);
        FQuitPending = true;
        FQuitCode = code;
        SignalLocked();
    }

    // Takes the first matching message. Quit is reported only when asked
    // for and nothing else matches.
    bool Take(MSG* out, HWND wnd, UINT lo, UINT hi, bool remove, bool allowQuit)
    {
        if (FSinceCollect >= 32 || Empty())
            Collect(0);
        std::lock_guard<std::mutex> g(FLock);
        for (auto it = FPosted.begin(); it != FPosted.end(); ++it) {
            if (wnd && it->hwnd != wnd)
                continue;
            if ((lo || hi) && (it->message < lo || it->message > hi))
                continue;
            *out = *it;
            if (remove) {
                FPosted.erase(it);
                ++FSinceCollect;
            }
            return true;
        }
        if (allowQuit && FQuitPending && (!(lo || hi) || (WM_QUIT >= lo && WM_QUIT <= hi))) {
            *out = MSG{};
            out->message = WM_QUIT;
            out->wParam = static_cast<WPARAM>(FQuitCode);
            out->time = static_cast<DWORD>(NowMs());
            if (remove)
                FQuitPending = false;
            return true;
        }
        return false;
    }

    bool Empty()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FPosted.empty();
    }

    bool HasWork()
    {
        std::lock_guard<std::mutex> g(FLock);
        return !FPosted.empty() || FQuitPending;
    }

    bool QuitPending()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FQuitPending;
    }

    // Waits up to timeoutMs (-1: no limit, cut short by the next timer)
    // for descriptors, then turns due timers into messages.
    void Collect(int timeoutMs)
    {
        FSinceCollect = 0;
        if (HasWork())
            timeoutMs = 0;
        int next = NextTimeout();
        if (next >= 0 && (timeoutMs < 0 || next < timeoutMs))
            timeoutMs = next;
        epoll_event evs[64];
        int n = epoll_wait(FEpoll, evs, 64, timeoutMs);
        for (int i = 0; i < n; ++i) {
            uint64_t key = evs[i].data.u64;
            if (key == WakeKey) {
                uint64_t v;
                while (read(FWake, &v, sizeof v) > 0) {
                }
                std::lock_guard<std::mutex> g(FLock);
                FSignalled = false;
                continue;
            }
            int fd = static_cast<int>(key & 0xFFFFFFFFu);
            auto w = FWatches.find(fd);
            if (w == FWatches.end() || w->second.Gen != static_cast<uint32_t>(key >> 32))
                continue;
            TDescriptorHandler h = w->second.Handler;
            h(evs[i].events);
        }
        FireDueTimers();
    }

    // Re-arms the wake descriptor when work is left behind.
    void Resignal()
    {
        std::lock_guard<std::mutex> g(FLock);
        if (!FPosted.empty() || FQuitPending)
            SignalLocked();
    }

    int Descriptor() const { return FEpoll; }

    // Timers.
    void SetTimer(HWND wnd, UINT id, UINT elapse)
    {
        RemoveTimerMessages(wnd, id);
        for (auto& t : FTimers)
            if (t.Wnd == wnd && t.Id == id) {
                t.Interval = std::max<UINT>(elapse, 1);
                t.Due = NowMs() + t.Interval;
                t.Pending = false;
                return;
            }
        FTimers.push_back(Timer{wnd, id, std::max<UINT>(elapse, 1), NowMs() + std::max<UINT>(elapse, 1), false});
    }

    bool KillTimer(HWND wnd, UINT id)
    {
        auto it = std::find_if(FTimers.begin(), FTimers.end(), [&](const Timer& t) { return t.Wnd == wnd && t.Id == id; });
        if (it == FTimers.end())
            return false;
        FTimers.erase(it);
        RemoveTimerMessages(wnd, id);
        return true;
    }

    void DropMessages(HWND wnd)
    {
        std::lock_guard<std::mutex> g(FLock);
        FPosted.erase(std::remove_if(FPosted.begin(), FPosted.end(), [&](const MSG& m) { return m.hwnd == wnd; }), FPosted.end());
    }

    void DropMessages(HWND wnd, UINT msg, WPARAM wparam)
    {
        std::lock_guard<std::mutex> g(FLock);
        FPosted.erase(std::remove_if(FPosted.begin(), FPosted.end(),
                                     [&](const MSG& m) { return m.hwnd == wnd && m.message == msg && m.wParam == wparam; }),
                      FPosted.end());
    }

    void KillTimers(HWND wnd)
    {
        FTimers.erase(std::remove_if(FTimers.begin(), FTimers.end(), [&](const Timer& t) { return t.Wnd == wnd; }), FTimers.end());
    }

    void TimerDispatched(HWND wnd, UINT id)
    {
        for (auto& t : FTimers)
            if (t.Wnd == wnd && t.Id == id)
                t.Pending = false;
    }

    int NextTimeout() const
    {
        uint64_t now = NowMs();
        int best = -1;
        for (const auto& t : FTimers) {
            if (t.Pending)
                continue;
            int d = t.Due <= now ? 0 : static_cast<int>(std::min<uint64_t>(t.Due - now, 0x7FFFFFFF));
            if (best < 0 || d < best)
                best = d;
        }
        return best;
    }

    // Descriptors.
    void Watch(int fd, uint32_t events, TDescriptorHandler h)
    {
        Unwatch(fd);
        uint32_t gen = ++FNextGen;
        if (gen == 0)
            gen = ++FNextGen;
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = (static_cast<uint64_t>(gen) << 32) | static_cast<uint32_t>(fd);
        epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev);
        FWatches[fd] = WatchRec{gen, events, std::move(h)};
    }

    void Change(int fd, uint32_t events)
    {
        auto w = FWatches.find(fd);
        if (w == FWatches.end() || w->second.Events == events)
            return;
        w->second.Events = events;
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = (static_cast<uint64_t>(w->second.Gen) << 32) | static_cast<uint32_t>(fd);
        epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev);
    }

    void Unwatch(int fd)
    {
        auto w = FWatches.find(fd);
        if (w == FWatches.end())
            return;
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
        FWatches.erase(w);
    }

private:
    static constexpr uint64_t WakeKey = ~uint64_t{0};

    struct Timer {
        HWND Wnd;
        UINT Id;
        UINT Interval;
        uint64_t Due;
        bool Pending;
    };
    struct WatchRec {
        uint32_t Gen;
        uint32_t Events;
        TDescriptorHandler Handler;
    };

    void SignalLocked()
    {
        if (FSignalled)
            return;
        FSignalled = true;
        uint64_t one = 1;
        ssize_t r = write(FWake, &one, sizeof one);
        (void)r;
    }

    void FireDueTimers()
    {
        uint64_t now = NowMs();
        for (auto& t : FTimers) {
            if (t.Pending || t.Due > now)
                continue;
            t.Pending = true;
            t.Due = now + t.Interval;
            MSG m;
            m.hwnd = t.Wnd;
            m.message = WM_TIMER;
            m.wParam = t.Id;
            m.time = static_cast<DWORD>(now);
            Post(m);
        }
    }

    void RemoveTimerMessages(HWND wnd, UINT id)
    {
        std::lock_guard<std::mutex> g(FLock);
        FPosted.erase(std::remove_if(FPosted.begin(), FPosted.end(),
                                     [&](const MSG& m) { return m.message == WM_TIMER && m.hwnd == wnd && m.wParam == id; }),
                      FPosted.end());
    }

    const std::thread::id FOwner = std::this_thread::get_id();
    std::mutex FLock;
    std::deque<MSG> FPosted;
    bool FQuitPending = false;
    int FQuitCode = 0;
    bool FSignalled = false;
    int FEpoll = -1;
    int FWake = -1;
    int FSinceCollect = 0;
    std::vector<Timer> FTimers;
    std::unordered_map<int, WatchRec> FWatches;
    uint32_t FNextGen = 0;
};

std::shared_ptr<Queue>& ThisQueueShared()
{
    thread_local auto q = std::make_shared<Queue>();
    return q;
}

Queue& ThisQueue() { return *ThisQueueShared(); }

struct WindowRec {
    WNDPROC Proc = nullptr;
    LONG_PTR UserData = 0;
    LONG_PTR Id = 0;
    HWND Parent = nullptr;
    Queue* Owner = nullptr;
    std::weak_ptr<Queue> OwnerRef;
    std::string Title;
    RECT Rect;
    RECT NormalRect;
    bool Visible = false;
    bool Iconic = false;
    bool Enabled = true;
    bool Destroying = false;
    TWindowHost Host;
};

// The window table: handles are numbers, never reused.
std::mutex gWindowLock;
std::unordered_map<uintptr_t, std::shared_ptr<WindowRec>> gWindows;
uintptr_t gNextHandle = 0x100;

std::shared_ptr<WindowRec> Find(HWND wnd)
{
    if (!wnd)
        return nullptr;
    std::lock_guard<std::mutex> g(gWindowLock);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
    return it == gWindows.end() ? nullptr : it->second;
}

void Notify(HWND wnd, const std::shared_ptr<WindowRec>& w, TWindowChange change)
{
    if (w->Host) {
        TWindowHost h = w->Host;
        h(wnd, change);
    }
}

} // namespace

HWND CreateWindowHandle(WNDPROC Proc, HWND Parent, LONG_PTR UserData, const std::string& Title)
{
    auto rec = std::make_shared<WindowRec>();
    rec->Proc = Proc;
    rec->UserData = UserData;
    rec->Parent = Parent;
    rec->Title = Title;
    rec->Owner = &ThisQueue();
    rec->OwnerRef = ThisQueueShared();
    HWND h;
    {
        std::lock_guard<std::mutex> g(gWindowLock);
        h = reinterpret_cast<HWND>(gNextHandle++);
        gWindows.emplace(reinterpret_cast<uintptr_t>(h), rec);
    }
    SendMessage(h, WM_CREATE, 0, 0);
    return h;
}

BOOL DestroyWindow(HWND Wnd)
{
    auto w = Find(Wnd);
    if (!w || w->Destroying)
        return false;
    w->Destroying = true;
    SendMessage(Wnd, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> g(gWindowLock);
        for (auto& [id, rec] : gWindows)
            if (rec->Parent == Wnd)
                children.push_back(reinterpret_cast<HWND>(id));
    }
    for (HWND c : children)
        DestroyWindow(c);
    w->Owner->KillTimers(Wnd);
    {
        std::lock_guard<std::mutex> g(gWindowLock);
        gWindows.erase(reinterpret_cast<uintptr_t>(Wnd));
    }
    w->Owner->DropMessages(Wnd);
    Notify(Wnd, w, TWindowChange::Destroyed);
    return true;
}

BOOL IsWindow(HWND Wnd) { return Find(Wnd) != nullptr; }

HWND GetParent(HWND Wnd)
{
    auto w = Find(Wnd);
    return w ? w->Parent : nullptr;
}

HWND SetParent(HWND Wnd, HWND NewParent)
{
    auto w = Find(Wnd);
    if (!w)
        return nullptr;
    HWND old = w->Parent;
    w->Parent = NewParent;
    return old;
}

LONG_PTR GetWindowLongPtr(HWND Wnd, int Index)
{
    auto w = Find(Wnd);
    if (!w)
        return 0;
    switch (Index) {
    case GWL_WNDPROC: return reinterpret_cast<LONG_PTR>(w->Proc);
    case GWL_USERDATA: return w->UserData;
    case GWL_ID: return w->Id;
    default: return 0;
    }
}

LONG_PTR SetWindowLongPtr(HWND Wnd, int Index, LONG_PTR Value)
{
    auto w = Find(Wnd);
    if (!w)
        return 0;
    LONG_PTR old = GetWindowLongPtr(Wnd, Index);
    switch (Index) {
    case GWL_WNDPROC: w->Proc = reinterpret_cast<WNDPROC>(Value); break;
    case GWL_USERDATA: w->UserData = Value; break;
    case GWL_ID: w->Id = Value; break;
    default: return 0;
    }
    return old;
}

LRESULT CallWindowProc(WNDPROC Proc, HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return Proc ? Proc(Wnd, Msg, wParam, lParam) : DefWindowProc(Wnd, Msg, wParam, lParam);
}

LRESULT DefWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM)
{
    switch (Msg) {
    case WM_CLOSE: DestroyWindow(Wnd); return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE)
            ShowWindow(Wnd, SW_MINIMIZE);
        else if ((wParam & 0xFFF0) == SC_RESTORE)
            ShowWindow(Wnd, SW_RESTORE);
        return 0;
    case WM_NCLBUTTONDOWN:
        if (wParam == HTCAPTION)
            if (auto w = Find(Wnd))
                Notify(Wnd, w, TWindowChange::SystemMove);
        return 0;
    default: return 0;
    }
}

BOOL GetWindowRect(HWND Wnd, RECT* Rect)
{
    auto w = Find(Wnd);
    if (!w || !Rect)
        return false;
    *Rect = w->Rect;
    return true;
}

namespace {

void ApplyRect(HWND wnd, const std::shared_ptr<WindowRec>& w, const RECT& r)
{
    bool moved = r.left != w->Rect.left || r.top != w->Rect.top;
    bool sized = (r.right - r.left) != (w->Rect.right - w->Rect.left) || (r.bottom - r.top) != (w->Rect.bottom - w->Rect.top);
    w->Rect = r;
    if (!w->Iconic)
        w->NormalRect = r;
    if (!moved && !sized)
        return;
    Notify(wnd, w, TWindowChange::Geometry);
    if (moved)
        SendMessage(wnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(r.left), static_cast<WORD>(r.top)));
    if (sized)
        SendMessage(wnd, WM_SIZE, 0, MAKELPARAM(static_cast<WORD>(r.right - r.left), static_cast<WORD>(r.bottom - r.top)));
}

} // namespace

BOOL MoveWindow(HWND Wnd, int X, int Y, int Width, int Height, BOOL)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    ApplyRect(Wnd, w, RECT{X, Y, X + Width, Y + Height});
    return true;
}

BOOL SetWindowPos(HWND Wnd, HWND InsertAfter, int X, int Y, int Cx, int Cy, UINT Flags)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    WINDOWPOS pos{Wnd, InsertAfter, X, Y, Cx, Cy, Flags};
    SendMessage(Wnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    RECT r = w->Rect;
    if (!(pos.flags & SWP_NOMOVE)) {
        r.right = pos.x + (r.right - r.left);
        r.bottom = pos.y + (r.bottom - r.top);
        r.left = pos.x;
        r.top = pos.y;
    }
    if (!(pos.flags & SWP_NOSIZE)) {
        r.right = r.left + pos.cx;
        r.bottom = r.top + pos.cy;
    }
    ApplyRect(Wnd, w, r);
    return true;
}

BOOL ShowWindow(HWND Wnd, int CmdShow)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    bool was = w->Visible;
    switch (CmdShow) {
    case SW_HIDE:
        w->Visible = false;
        Notify(Wnd, w, TWindowChange::Show);
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
        w->Visible = true;
        if (!w->Iconic) {
            w->Iconic = true;
            Notify(Wnd, w, TWindowChange::Minimize);
        }
        break;
    case SW_SHOWNORMAL:
    case SW_RESTORE:
        w->Visible = true;
        if (w->Iconic) {
            w->Iconic = false;
            Notify(Wnd, w, TWindowChange::Restore);
        } else {
            Notify(Wnd, w, TWindowChange::Show);
        }
        break;
    default:
        w->Visible = true;
        Notify(Wnd, w, TWindowChange::Show);
        break;
    }
    return was;
}

BOOL IsWindowVisible(HWND Wnd)
{
    auto w = Find(Wnd);
    return w && w->Visible;
}

BOOL IsIconic(HWND Wnd)
{
    auto w = Find(Wnd);
    return w && w->Iconic;
}

BOOL IsWindowEnabled(HWND Wnd)
{
    auto w = Find(Wnd);
    return w && w->Enabled;
}

BOOL EnableWindow(HWND Wnd, BOOL Enable)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    bool wasDisabled = !w->Enabled;
    w->Enabled = Enable != 0;
    return wasDisabled;
}

BOOL SetForegroundWindow(HWND Wnd)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    Notify(Wnd, w, TWindowChange::Foreground);
    return true;
}

BOOL GetWindowPlacement(HWND Wnd, WINDOWPLACEMENT* Placement)
{
    auto w = Find(Wnd);
    if (!w || !Placement)
        return false;
    Placement->showCmd = w->Iconic ? SW_SHOWMINIMIZED : (w->Visible ? SW_SHOWNORMAL : SW_HIDE);
    Placement->rcNormalPosition = w->NormalRect;
    return true;
}

BOOL SetWindowPlacement(HWND Wnd, const WINDOWPLACEMENT* Placement)
{
    auto w = Find(Wnd);
    if (!w || !Placement)
        return false;
    w->NormalRect = Placement->rcNormalPosition;
    if (!w->Iconic)
        ApplyRect(Wnd, w, Placement->rcNormalPosition);
    return true;
}

BOOL ReleaseCapture() { return true; }

void SetWindowHost(HWND Wnd, TWindowHost Host)
{
    if (auto w = Find(Wnd))
        w->Host = std::move(Host);
}

BOOL PostMessage(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    MSG m;
    m.hwnd = Wnd;
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    if (!Wnd) {
        ThisQueue().Post(m);
        return true;
    }
    auto w = Find(Wnd);
    if (!w)
        return false;
    auto q = w->OwnerRef.lock();
    if (!q)
        return false;
    q->Post(m);
    return true;
}

void RemovePostedMessages(HWND Wnd, UINT Msg, WPARAM wParam)
{
    auto w = Find(Wnd);
    if (!w)
        return;
    if (auto q = w->OwnerRef.lock())
        q->DropMessages(Wnd, Msg, wParam);
}

LRESULT SendMessage(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto w = Find(Wnd);
    if (!w)
        return 0;
    return CallWindowProc(w->Proc, Wnd, Msg, wParam, lParam);
}

void PostQuitMessage(int ExitCode) { ThisQueue().PostQuit(ExitCode); }

BOOL PeekMessage(MSG* Msg, HWND Wnd, UINT Min, UINT Max, UINT RemoveFlag)
{
    return ThisQueue().Take(Msg, Wnd, Min, Max, (RemoveFlag & PM_REMOVE) != 0, true);
}

BOOL GetMessage(MSG* Msg, HWND Wnd, UINT Min, UINT Max)
{
    Queue& q = ThisQueue();
    while (!q.Take(Msg, Wnd, Min, Max, true, true))
        q.Collect(-1);
    return Msg->message != WM_QUIT;
}

BOOL TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessage(const MSG* Msg)
{
    if (!Msg->hwnd)
        return 0;
    if (Msg->message == WM_TIMER)
        ThisQueue().TimerDispatched(Msg->hwnd, static_cast<UINT>(Msg->wParam));
    return SendMessage(Msg->hwnd, Msg->message, Msg->wParam, Msg->lParam);
}

BOOL WaitMessage()
{
    Queue& q = ThisQueue();
    while (!q.HasWork())
        q.Collect(-1);
    return true;
}

bool WaitMessageTimeout(int TimeoutMs)
{
    Queue& q = ThisQueue();
    if (TimeoutMs < 0)
        return WaitMessage();
    uint64_t deadline = NowMs() + static_cast<uint64_t>(TimeoutMs);
    for (;;) {
        if (q.HasWork())
            return true;
        uint64_t now = NowMs();
        if (now >= deadline)
            return false;
        q.Collect(static_cast<int>(deadline - now));
    }
}

bool PumpPendingMessages()
{
    Queue& q = ThisQueue();
    MSG m;
    while (q.Take(&m, nullptr, 0, 0, true, false)) {
        TranslateMessage(&m);
        DispatchMessage(&m);
    }
    q.Resignal();
    return q.QuitPending();
}

UINT SetTimer(HWND Wnd, UINT Id, UINT ElapseMs)
{
    auto w = Find(Wnd);
    if (!w)
        return 0;
    w->Owner->SetTimer(Wnd, Id, ElapseMs);
    return Id;
}

BOOL KillTimer(HWND Wnd, UINT Id)
{
    auto w = Find(Wnd);
    if (!w)
        return false;
    return w->Owner->KillTimer(Wnd, Id);
}

void WatchDescriptor(int Fd, uint32_t Events, TDescriptorHandler Handler) { ThisQueue().Watch(Fd, Events, std::move(Handler)); }
void ChangeDescriptor(int Fd, uint32_t Events) { ThisQueue().Change(Fd, Events); }
void UnwatchDescriptor(int Fd) { ThisQueue().Unwatch(Fd); }

int QueueDescriptor() { return ThisQueue().Descriptor(); }
void SignalPendingMessages() { ThisQueue().Resignal(); }
int NextTimerTimeout() { return ThisQueue().NextTimeout(); }

namespace {
std::atomic<DWORD> gTickShift{0};
}

DWORD GetTickCount() { return static_cast<DWORD>(NowMs()) + gTickShift.load(std::memory_order_relaxed); }

void SetTickCountShift(DWORD Ms) { gTickShift.store(Ms, std::memory_order_relaxed); }

DWORD TickCountShift() { return gTickShift.load(std::memory_order_relaxed); }

void Sleep(DWORD Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }
