#include "gui/GuiFrontEnd.h"

#include <QApplication>
#include <QCoreApplication>

#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QVBoxLayout>

#include "app/Forms.h"
#include "capture/CaptureDriver.h"
#include "gui/ControlViews.h"
#include "gui/FormView.h"
#include "platform/Application.h"

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* Owner, const QString& Text, const QString& Caption, UINT Flags)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (Flags & 0xF0) {
    case MB_ICONHAND: icon = QMessageBox::Critical; break;
    case MB_ICONEXCLAMATION: icon = QMessageBox::Warning; break;
    case MB_ICONASTERISK: icon = QMessageBox::Information; break;
    default: break;
    }
    auto box = std::make_unique<QMessageBox>(icon, Caption, Text, QMessageBox::Ok, Owner);
    box->setWindowModality(Qt::ApplicationModal);
    box->setDefaultButton(QMessageBox::Ok);
    return box;
}

namespace {

void AddItems(QMenu& Menu, const std::vector<TMenuItem*>& Items)
{
    for (TMenuItem* item : Items) {
        if (!item->Visible)
            continue;
        QString text = QString::fromStdString(item->Caption);
        if (item->Caption == "-") {
            Menu.addSeparator();
            continue;
        }
        if (!item->Items.empty()) {
            QMenu* sub = Menu.addMenu(text);
            sub->setEnabled(item->Enabled);
            AddItems(*sub, item->Items);
            continue;
        }
        QAction* a = Menu.addAction(text);
        a->setEnabled(item->Enabled);
        a->setCheckable(item->AutoCheck || item->Checked);
        a->setChecked(item->Checked);
        a->setData(QVariant::fromValue(static_cast<void*>(item)));
    }
}

} // namespace

std::unique_ptr<QMenu> MakePopupMenu(TPopupMenu& Menu, QWidget* Owner)
{
    auto menu = std::make_unique<QMenu>(Owner);
    menu->setObjectName(QString::fromStdString(Menu.Name()));
    AddItems(*menu, Menu.Items);
    return menu;
}

int RunChoiceDialog(QWidget* Owner, const QString& Title, const QStringList& Choices, int Current)
{
    QDialog dlg(Owner);
    dlg.setWindowTitle(Title);
    dlg.setWindowModality(Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(&dlg);
    auto* list = new QListWidget(&dlg);
    list->addItems(Choices);
    if (Current >= 0 && Current < Choices.size())
        list->setCurrentRow(Current);
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dlg);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dlg, &QDialog::accept);
    if (dlg.exec() != QDialog::Accepted)
        return -1;
    return list->currentRow();
}

TGuiFrontEnd::TGuiFrontEnd(TApplication& App) : FApp(App)
{
    FRunner = [](QMessageBox& Box) { Box.exec(); };
    FMenuRunner = [](QMenu& Menu, const QPoint& At) { return Menu.exec(At); };
    FormsFrontEnd.Popup = [this](TPopupMenu& Menu, int X, int Y) { Popup(Menu, X, Y); };
    // A modal form's loop: wait for Qt's next event; the bridge handles
    // the queue's work among them.
    FormsFrontEnd.HandleMessage = [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); };
    SetCaptureDialog([this](const std::string& Title, const std::vector<std::string>& Choices, int Current) {
        QStringList list;
        for (const auto& c : Choices)
            list << QString::fromStdString(c);
        return RunChoiceDialog(FOwner, QString::fromStdString(Title), list, Current);
    });
    FApp.FrontEnd.ProcessEvents = [] { QCoreApplication::processEvents(); };
    FApp.FrontEnd.ShowMessage = [this](const std::string& Text, const std::string& Caption, UINT Flags) {
        Show(Text, Caption, Flags);
    };
    FApp.FrontEnd.ShowDetailedMessage = [this](const std::string& Text, const std::string& Caption, UINT Flags,
                                               const std::string& Detail) {
        auto box = MakeMessageBox(FOwner, QString::fromStdString(Text), QString::fromStdString(Caption), Flags);
        box->setInformativeText(QString::fromStdString(Detail));
        FRunner(*box);
    };
    FApp.FrontEnd.Beep = [](UINT) { QApplication::beep(); };
}

TGuiFrontEnd::~TGuiFrontEnd()
{
    FApp.FrontEnd = TApplication::TFrontEnd{};
    FormsFrontEnd = TFormsFrontEnd{};
    SetCaptureDialog(nullptr);
}

void TGuiFrontEnd::Popup(TPopupMenu& Menu, int X, int Y)
{
    TFormView::MenuShown = true;
    auto menu = MakePopupMenu(Menu, FOwner);
    QAction* chosen = FMenuRunner(*menu, QPoint(X, Y));
    if (!chosen)
        return;
    auto* item = static_cast<TMenuItem*>(chosen->data().value<void*>());
    // An exception of the item's handler ends at the error display, as
    // one from any other handler.
    if (item)
        Guarded([&] { item->Click(); });
}

void TGuiFrontEnd::Show(const std::string& Text, const std::string& Caption, UINT Flags)
{
    auto box = MakeMessageBox(FOwner, QString::fromStdString(Text), QString::fromStdString(Caption), Flags);
    // The box's loop keeps Qt and, through the bridge, the queue running.
    FRunner(*box);
}
