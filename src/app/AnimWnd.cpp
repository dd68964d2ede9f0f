#include "app/AnimWnd.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

// The forms that have an animator.
std::vector<TComponent*>& Registry()
{
    static std::vector<TComponent*> list;
    return list;
}

// Which animator a replaced procedure belongs to.
std::map<HWND, TAnimateWindow*>& FormInstances()
{
    static std::map<HWND, TAnimateWindow*> map;
    return map;
}
TAnimateWindow* gAppInstance = nullptr;

HWND MainFormHandle()
{
    if (!Application)
        return nullptr;
    auto* form = dynamic_cast<TWinControl*>(Application->MainForm);
    return form ? form->Handle() : nullptr;
}

} // namespace

TAnimateHookWnd::TAnimateHookWnd(TComponent* AOwner, TAnimateWindow* Animator)
    : TWinControl(AOwner), FAnimator(Animator)
{
}

void TAnimateHookWnd::CreateHandle()
{
    bool had = HandleAllocated();
    TWinControl::CreateHandle();
    if (!had && HandleAllocated())
        FAnimator->InstallFormProc();
}

void TAnimateHookWnd::DestroyHandle()
{
    if (HandleAllocated())
        FAnimator->RemoveFormProc();
    TWinControl::DestroyHandle();
}

LRESULT TAnimateHookWnd::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    // The form's window is going: its children are destroyed first.
    if (Msg == WM_DESTROY)
        FAnimator->RemoveFormProc();
    return TWinControl::WndProc(Msg, wParam, lParam);
}

TAnimateWindow::TAnimateWindow(TComponent* AOwner) : TComponent(AOwner)
{
    auto& reg = Registry();
    if (std::find(reg.begin(), reg.end(), AOwner) != reg.end())
        throw Exception("AnimateWindowはフォームに一つしか置けません");
    FOwnerForm = AOwner;
    FHookWnd = std::make_unique<TAnimateHookWnd>(this, this);
    if (Application && !Application->MainForm && !gAppInstance) {
        HWND app = Application->Handle();
        FAppWnd = app;
        FPrevAppProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtr(app, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(&TAnimateWindow::AppProc)));
        FAppProcInstalled = true;
        gAppInstance = this;
    }
    reg.push_back(AOwner);
    // What the form loader does for a component placed on a form. An owner
    // that is not a form fails here; nothing of this object stays behind.
    if (dynamic_cast<TWinControl*>(AOwner)) {
        try {
            SetParentComponent(AOwner);
        } catch (...) {
            reg.pop_back();
            if (FAppProcInstalled && IsWindow(FAppWnd))
                SetWindowLongPtr(FAppWnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(FPrevAppProc));
            if (gAppInstance == this)
                gAppInstance = nullptr;
            throw;
        }
    }
}

TAnimateWindow::~TAnimateWindow()
{
    BeginDestroy();
    if (FAppProcInstalled && Application && !Application->MainForm && IsWindow(FAppWnd))
        SetWindowLongPtr(FAppWnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(FPrevAppProc));
    // Otherwise the replaced procedure stays with the application window
    // and passes everything on to the default handling.
    if (gAppInstance == this)
        gAppInstance = nullptr;
    RemoveFormProc();
    FHookWnd.reset();
    auto& reg = Registry();
    if (auto it = std::find(reg.begin(), reg.end(), FOwnerForm); it != reg.end())
        reg.erase(it);
}

void TAnimateWindow::SetParentComponent(TComponent* Value)
{
    if (auto* parent = dynamic_cast<TWinControl*>(Value)) {
        FHookWnd->SetParent(parent);
        FHookWnd->HandleNeeded();
    }
}

void TAnimateWindow::Minimize() { SendMessage(OwnerForm()->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0); }

TForm* TAnimateWindow::OwnerForm()
{
    auto* form = dynamic_cast<TForm*>(FOwnerForm);
    if (!form)
        throw EInvalidCast();
    return form;
}

void TAnimateWindow::InstallFormProc()
{
    if (FFormWnd)
        return;
    HWND wnd = OwnerForm()->Handle();
    FPrevFormProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtr(wnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(&TAnimateWindow::FormProc)));
    FFormWnd = wnd;
    FormInstances()[wnd] = this;
}

void TAnimateWindow::RemoveFormProc()
{
    if (!FFormWnd)
        return;
    if (IsWindow(FFormWnd))
        SetWindowLongPtr(FFormWnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(FPrevFormProc));
    FormInstances().erase(FFormWnd);
    FFormWnd = nullptr;
}

LRESULT TAnimateWindow::FormProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto& map = FormInstances();
    auto it = map.find(Wnd);
    if (it == map.end())
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    return it->second->FormWndProc(Wnd, Msg, wParam, lParam);
}

LRESULT TAnimateWindow::AppProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!gAppInstance)
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    return gAppInstance->AppWndProc(Wnd, Msg, wParam, lParam);
}

LRESULT TAnimateWindow::FormWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC prev = FPrevFormProc;
    HWND app = Application ? Application->Handle() : nullptr;
    if (Msg == WM_SYSCOMMAND && wParam == SC_MINIMIZE) {
        if (Application && Application->MainForm == FOwnerForm)
            DoMinimize();
        else if (app)
            PostMessage(app, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (Msg == WM_WINDOWPOSCHANGING && app && IsIconic(app)) {
        auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (pos && pos->flags == (SWP_NOSIZE | SWP_NOMOVE))
            PostMessage(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    }
    return CallWindowProc(prev, Wnd, Msg, wParam, lParam);
}

LRESULT TAnimateWindow::AppWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC prev = FPrevAppProc;
    if (Msg == WM_SYSCOMMAND) {
        if (wParam == SC_MINIMIZE)
            DoMinimize();
        else if (wParam == SC_RESTORE)
            DoRestore();
    }
    return CallWindowProc(prev, Wnd, Msg, wParam, lParam);
}

void TAnimateWindow::DoMinimize()
{
    HWND app = Application->Handle();
    if (!IsWindowEnabled(app))
        EnableWindow(app, true);
    RECT r{};
    GetWindowRect(OwnerForm()->Handle(), &r);
    SetForegroundWindow(app);
    SetWindowPos(app, nullptr, r.left, r.top, r.right - r.left, 0, SWP_NOZORDER);
    DefWindowProc(app, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ShowWindow(app, SW_SHOWMINIMIZED);
    if (OnMinimize)
        OnMinimize(Application);
}

void TAnimateWindow::DoRestore()
{
    HWND app = Application->Handle();
    HWND mainWnd = MainFormHandle();
    WINDOWPLACEMENT mainPl{}, appPl{};
    mainPl.length = 44;
    appPl.length = 44;
    if (mainWnd)
        GetWindowPlacement(mainWnd, &mainPl);
    GetWindowPlacement(app, &appPl);
    appPl.flags = 0;
    appPl.rcNormalPosition = mainPl.rcNormalPosition;
    appPl.rcNormalPosition.bottom = appPl.rcNormalPosition.top;
    SetWindowPlacement(app, &appPl);
    SetForegroundWindow(app);
    DefWindowProc(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    ShowWindow(app, SW_RESTORE);
    SetWindowPos(app, nullptr, 0, 0, 0, 0, SWP_NOZORDER);
    auto* mainForm = Application ? dynamic_cast<TControl*>(Application->MainForm) : nullptr;
    if (mainWnd && mainForm && !mainForm->Visible()) {
        ShowWindow(mainWnd, SW_RESTORE);
        mainForm->SetVisible(true);
    }
    // The form's window minimised with the application window; it comes
    // back at its own place.
    if (mainWnd && IsIconic(mainWnd))
        ShowWindow(mainWnd, SW_RESTORE);
    if (OnRestore)
        OnRestore(Application);
}
