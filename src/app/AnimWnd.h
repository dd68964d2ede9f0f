// TAnimateWindow: minimise and restore of a borderless main form through
// the application window, with OnMinimize/OnRestore (Sender: Application).
//
// The form's window procedure is replaced while the form's window exists
// (a hook window, child of the form, installs and removes it); the
// application window's procedure is replaced by the animator of the first
// form and stays for the life of the program.
#pragma once

#include <memory>

#include "app/Forms.h"

class TAnimateWindow;

class TAnimateHookWnd : public TWinControl {
public:
    TAnimateHookWnd(TComponent* AOwner, TAnimateWindow* Animator);

protected:
    void CreateHandle() override;
    void DestroyHandle() override;
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;

private:
    TAnimateWindow* FAnimator;
};

class TAnimateWindow : public TComponent {
public:
    // Raises "AnimateWindowはフォームに一つしか置けません" when AOwner already
    // has an animator.
    explicit TAnimateWindow(TComponent* AOwner);
    ~TAnimateWindow() override;

    // Makes the hook window a child of Value (a windowed control).
    void SetParentComponent(TComponent* Value);
    // Asks the owner form to minimise.
    void Minimize();

    TNotifyEvent OnMinimize;
    TNotifyEvent OnRestore;

private:
    friend class TAnimateHookWnd;
    static LRESULT FormProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    static LRESULT AppProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    LRESULT FormWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    LRESULT AppWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    TForm* OwnerForm();
    void InstallFormProc();
    void RemoveFormProc();
    void DoMinimize();
    void DoRestore();

    TComponent* FOwnerForm = nullptr;
    HWND FFormWnd = nullptr;          // the window whose procedure is replaced
    WNDPROC FPrevFormProc = nullptr;
    bool FAppProcInstalled = false;
    HWND FAppWnd = nullptr;
    WNDPROC FPrevAppProc = nullptr;
    std::unique_ptr<TAnimateHookWnd> FHookWnd;
};
