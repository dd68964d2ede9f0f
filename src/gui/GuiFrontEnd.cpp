#include "gui/GuiFrontEnd.h"

#include <QApplication>
#include <QCoreApplication>

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

TGuiFrontEnd::TGuiFrontEnd(TApplication& App) : FApp(App)
{
    FRunner = [](QMessageBox& Box) { Box.exec(); };
    FApp.FrontEnd.ProcessEvents = [] { QCoreApplication::processEvents(); };
    FApp.FrontEnd.ShowMessage = [this](const std::string& Text, const std::string& Caption, UINT Flags) {
        Show(Text, Caption, Flags);
    };
    FApp.FrontEnd.Beep = [](UINT) { QApplication::beep(); };
}

TGuiFrontEnd::~TGuiFrontEnd()
{
    FApp.FrontEnd = TApplication::TFrontEnd{};
}

void TGuiFrontEnd::Show(const std::string& Text, const std::string& Caption, UINT Flags)
{
    auto box = MakeMessageBox(FOwner, QString::fromStdString(Text), QString::fromStdString(Caption), Flags);
    // The box's loop keeps Qt and, through the bridge, the queue running.
    FRunner(*box);
}
