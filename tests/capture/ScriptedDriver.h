// A driver table whose drivers answer as a test sets them, and a recorder
// of the messages the capture windows receive.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureDriver.h"
#include "capture/Vfw.h"
#include "platform/Windows.h"

struct TScript {
    bool RefuseConnect = false;
    bool Overlay = false;
    bool SourceDialog = true;
    bool FormatDialog = true;
    bool DialogResult = true;
    // Runs inside every grab, before the frame is made.
    std::function<void(class TScriptedDriver&)> DuringGrab;
    int Width = 320;
    int Height = 240;
    // What happened.
    int Opens = 0;
    int Closes = 0;
    int Dialogs = 0;
    int Grabs = 0;
};

class TScriptedDriver : public TCaptureDriver {
public:
    explicit TScriptedDriver(TScript& AScript) : S(AScript) {}
    bool Open() override
    {
        ++S.Opens;
        return !S.RefuseConnect;
    }
    void Close() override { ++S.Closes; }
    bool HasOverlay() const override { return S.Overlay; }
    bool HasDlgVideoSource() const override { return S.SourceDialog; }
    bool HasDlgVideoFormat() const override { return S.FormatDialog; }
    bool DlgVideoSource() override { return ++S.Dialogs, S.DialogResult; }
    bool DlgVideoFormat() override { return ++S.Dialogs, S.DialogResult; }
    bool SetOverlay(bool) override { return S.Overlay; }
    int Width() const override { return S.Width; }
    int Height() const override { return S.Height; }
    bool LatestFrame(TBitmap& Frame) override
    {
        ++S.Grabs;
        if (S.DuringGrab) {
            auto during = S.DuringGrab;
            during(*this);
        }
        Frame.SetSize(S.Width, S.Height);
        return true;
    }
    void RaiseError(int Code, const std::string& Text) { ReportError(Code, Text); }
    void RaiseStatus(int Code, const std::string& Text) { ReportStatus(Code, Text); }
    TCaptureEvents* Sink() const { return Events(); }

private:
    TScript& S;
};

class TScriptedTable : public TDriverTable {
public:
    TScriptedTable() { SetDriverTable(this); }
    ~TScriptedTable() override { SetDriverTable(nullptr); }

    std::map<int, TScript> Drivers;
    TScriptedDriver* Last = nullptr;

    static std::string NameOf(int Index) { return "Scripted " + std::to_string(Index); }

    bool Describe(int Index, std::string& Name, std::string& Version) override
    {
        if (!Drivers.count(Index))
            return false;
        Name = NameOf(Index);
        Version = "v" + std::to_string(Index);
        return true;
    }
    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        if (!Drivers.count(Index))
            return nullptr;
        auto d = std::make_unique<TScriptedDriver>(Drivers[Index]);
        Last = d.get();
        return d;
    }
};

struct TSentMessage {
    HWND Wnd;
    UINT Msg;
    WPARAM wParam;
    LPARAM lParam;
};

class TMessageLog {
public:
    TMessageLog()
    {
        capSetMessageObserver([this](HWND w, UINT m, WPARAM wp, LPARAM lp) { All.push_back({w, m, wp, lp}); });
    }
    ~TMessageLog() { capSetMessageObserver(nullptr); }
    std::vector<TSentMessage> Of(UINT Msg) const
    {
        std::vector<TSentMessage> r;
        for (const auto& m : All)
            if (m.Msg == Msg)
                r.push_back(m);
        return r;
    }
    // The callback registrations, in order.
    std::vector<UINT> Registrations() const
    {
        std::vector<UINT> r;
        for (const auto& m : All)
            if (m.Msg >= WM_CAP_SET_CALLBACK_ERRORA && m.Msg <= WM_CAP_SET_CALLBACK_WAVESTREAM)
                r.push_back(m.Msg);
        return r;
    }
    std::vector<TSentMessage> All;
};

// Runs the message loop until Done holds or the deadline passes.
template <class F>
bool RunUntil(F Done, int TimeoutMs = 5000)
{
    const DWORD start = GetTickCount();
    while (!Done()) {
        if (static_cast<int>(GetTickCount() - start) > TimeoutMs)
            return false;
        WaitMessageTimeout(50);
        PumpPendingMessages();
    }
    return true;
}
