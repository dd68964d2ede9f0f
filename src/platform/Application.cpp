#include "platform/Application.h"

#include <cstdio>

TApplication* Application = nullptr;

namespace {

LRESULT AppWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}

} // namespace

TApplication::TApplication() : TComponent(nullptr)
{
    FHandle = CreateWindowHandle(&AppWndProc, nullptr, reinterpret_cast<LONG_PTR>(this));
    if (!Application)
        Application = this;
}

TApplication::~TApplication()
{
    BeginDestroy();
    DestroyWindow(FHandle);
    if (Application == this)
        Application = nullptr;
}

bool TApplication::ProcessMessage()
{
    MSG m;
    if (!PeekMessage(&m, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (m.message == WM_QUIT) {
        FTerminated = true;
        return true;
    }
    try {
        TranslateMessage(&m);
        DispatchMessage(&m);
    } catch (...) {
        HandleException();
    }
    return true;
}

void TApplication::DrainQueue()
{
    while (ProcessMessage()) {
    }
}

void TApplication::ProcessMessages()
{
    if (FrontEnd.ProcessEvents)
        FrontEnd.ProcessEvents();
    DrainQueue();
}

void TApplication::WaitForMessage(int TimeoutMs) { WaitMessageTimeout(TimeoutMs); }

void TApplication::Run()
{
    while (!FTerminated) {
        if (!ProcessMessage())
            WaitMessage();
    }
}

void TApplication::Terminate()
{
    PostQuitMessage(0);
}

void TApplication::ShowException(const std::exception& E)
{
    MessageBox(E.what(), Title, MB_OK | MB_ICONHAND);
}

void TApplication::HandleException()
{
    try {
        throw;
    } catch (const std::exception& E) {
        ShowException(E);
    } catch (...) {
        MessageBox("Unknown exception", Title, MB_OK | MB_ICONHAND);
    }
}

void TApplication::MessageBox(const std::string& Text, const std::string& Caption, UINT Flags)
{
    if (FrontEnd.ShowMessage)
        FrontEnd.ShowMessage(Text, Caption, Flags);
    else
        std::fprintf(stderr, "[%s] %s\n", Caption.c_str(), Text.c_str());
}

void TApplication::MessageBox(const std::string& Text, const std::string& Caption, UINT Flags,
                              const std::string& Detail)
{
    if (!Detail.empty() && FrontEnd.ShowDetailedMessage)
        FrontEnd.ShowDetailedMessage(Text, Caption, Flags, Detail);
    else
        MessageBox(Text, Caption, Flags);
}

void TApplication::Log(const std::string& Line)
{
    if (FrontEnd.Log)
        FrontEnd.Log(Line);
}

BOOL MessageBeep(UINT Type)
{
    if (Application && Application->FrontEnd.Beep)
        Application->FrontEnd.Beep(Type);
    return true;
}
