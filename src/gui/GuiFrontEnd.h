// The Qt side of the front-end hooks: toolkit event processing, message
// boxes owned by the main window, the beep, pop-up menus, the modal
// loop's wait and the capture drivers' choice dialogs.
#pragma once

#include <functional>
#include <memory>

#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "platform/Windows.h"

class TApplication;
class TPopupMenu;

// Builds the menu for Menu: one action per visible item (sub-menus for
// items with items), checkable for check items; each action's data is the
// item's address.
std::unique_ptr<QMenu> MakePopupMenu(TPopupMenu& Menu, QWidget* Owner);
// Shows Choices under Title with Current selected; the chosen index, -1
// when cancelled.
int RunChoiceDialog(QWidget* Owner, const QString& Title, const QStringList& Choices, int Current);

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
    // How a built menu is shown at a screen point; returns the chosen
    // action (null: none). Default: QMenu::exec.
    using TMenuRunner = std::function<QAction*(QMenu& Menu, const QPoint& At)>;
    void SetMenuRunner(TMenuRunner Runner) { FMenuRunner = std::move(Runner); }

private:
    void Show(const std::string& Text, const std::string& Caption, UINT Flags);
    void Popup(TPopupMenu& Menu, int X, int Y);

    TApplication& FApp;
    QPointer<QWidget> FOwner;
    TBoxRunner FRunner;
    TMenuRunner FMenuRunner;
};
