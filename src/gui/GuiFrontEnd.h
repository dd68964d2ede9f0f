// The Qt side of the application's front-end hooks: toolkit event
// processing, message boxes owned by the main window, the beep.
#pragma once

#include <functional>
#include <memory>

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "platform/Windows.h"

class TApplication;

// Builds the box a message is shown in: OK only, the caption as title,
// owned by Owner (may be null), application modal.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* Owner, const QString& Text, const QString& Caption, UINT Flags);

class TGuiFrontEnd {
public:
    // How a built box is shown; the default runs it modally. Tests put a
    // runner here that looks at the box and returns at once.
    using TBoxRunner = std::function<void(QMessageBox& Box)>;

    // Installs the hooks on App; Remove() (or destruction) takes them out.
    explicit TGuiFrontEnd(TApplication& App);
    ~TGuiFrontEnd();
    TGuiFrontEnd(const TGuiFrontEnd&) = delete;
    TGuiFrontEnd& operator=(const TGuiFrontEnd&) = delete;

    void SetOwner(QWidget* Owner) { FOwner = Owner; }
    QWidget* Owner() const { return FOwner; }
    void SetBoxRunner(TBoxRunner Runner) { FRunner = std::move(Runner); }

private:
    void Show(const std::string& Text, const std::string& Caption, UINT Flags);

    TApplication& FApp;
    QPointer<QWidget> FOwner;
    TBoxRunner FRunner;
};
