#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>

#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "app/Program.h"
#include "app/main.h"
#include "app/setting.h"
#include "app/weblogin.h"
#include "gui/FormView.h"
#include "gui/GuiFrontEnd.h"
#include "gui/QueueBridge.h"
#include "net/WSocket.h"
#include "platform/Application.h"

namespace {

void ClickAt(QWidget* W, QPoint At)
{
    Press(W, At);
    Release(W, At);
}

void Type(QWidget* W, const QString& Text)
{
    for (QChar c : Text) {
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(W, &key);
    }
}

void ClearLine(QLineEdit* Line)
{
    Line->selectAll();
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(Line, &del);
}

class SettingsView : public ::testing::Test {
protected:
    SettingsView()
    {
        StartProgram(App, Dir / "doc/", Dir / "videosetting.ini", {});
        Front.SetBoxRunner([this](QMessageBox& Box) { Boxes.push_back(Box.windowTitle() + "|" + Box.text()); });
        CreateProgramForms();
        Main = std::make_unique<TFormView>(capmain);
        Dialog = std::make_unique<TFormView>(settingform);
        Front.SetOwner(Main.get());
        capmain->Show();
    }
    ~SettingsView() override
    {
        Dialog.reset();
        Main.reset();
    }

    template <class T>
    T* W(const char* Name)
    {
        auto* w = qobject_cast<T*>(Dialog->WidgetOf(Name));
        EXPECT_NE(w, nullptr) << Name;
        return w;
    }

    struct QtFirst {
        QtFirst() { TestApp(); }
    } Qt_;
    TTempDir Dir;
    TApplication App;
    TGuiFrontEnd Front{App};
    TQueueBridge Bridge;
    std::vector<QString> Boxes;
    std::unique_ptr<TFormView> Main;
    std::unique_ptr<TFormView> Dialog;
};

TEST_F(SettingsView, DialogWindowWidgetsAndTheMaskedPassword)
{
    FtpPass = "abc d";
    bool checked = false;
    QTimer::singleShot(0, [&] {
        checked = true;
        EXPECT_TRUE(Dialog->isVisible());
        EXPECT_TRUE(Dialog->isModal());
        EXPECT_TRUE(Dialog->windowFlags() & Qt::Dialog);
        EXPECT_FALSE(Dialog->windowFlags() & Qt::FramelessWindowHint);
        EXPECT_EQ(Dialog->size(), QSize(335, 310));
        EXPECT_EQ(Dialog->windowTitle(), QString("settingform"));
        EXPECT_EQ(Dialog->font().family(), QString("IPAPGothic"));
        EXPECT_EQ(Dialog->WidgetOf("Edithost")->geometry(), QRect(88, 24, 225, 20));
        EXPECT_TRUE(Dialog->WidgetOf("CheckPasv")->isVisible());
        for (const char* hidden : {"CheckH", "CheckD", "Label7", "Label8", "Label9", "Label10"})
            EXPECT_FALSE(Dialog->WidgetOf(hidden)->isVisible()) << hidden;
        auto* pass = W<QLineEdit>("editpass");
        EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
        EXPECT_EQ(pass->text(), QString("abc d"));
        EXPECT_EQ(pass->displayText(), QString("*****"));
        EXPECT_EQ(W<QLineEdit>("Edithost")->echoMode(), QLineEdit::Normal);
        // The option captions fit their boxes.
        for (const char* name : {"CheckPasv", "CheckAtomic", "CheckTls"}) {
            auto* box = W<QCheckBox>(name);
            EXPECT_LE(box->sizeHint().width(), box->width()) << name;
        }
        // The interval captions stay clear of the field and the edge.
        EXPECT_LE(Dialog->WidgetOf("Label6")->geometry().right(), 87);
        EXPECT_LE(Dialog->WidgetOf("Label5")->geometry().right(), 334);
        auto* memo = W<QPlainTextEdit>("Memo1");
        EXPECT_TRUE(memo->isReadOnly());
        QString lines = "Server Address:";
        for (const std::string& a : LocalAddressList())
            lines += QString::fromStdString("\nhttp://" + a + ":8765");
        EXPECT_EQ(memo->toPlainText(), lines);
        // Tab goes host, user, password, directory, addresses, interval,
        // then the switches.
        QStringList chain;
        const QStringList named{"Edithost", "editname", "editpass", "editdir", "Memo1",
                                "editint",  "CheckH",   "CheckD",   "CheckPasv", "CheckAtomic"};
        QWidget* w = W<QLineEdit>("Edithost");
        for (int i = 0; i < 100 && chain.size() < named.size(); ++i, w = w->nextInFocusChain())
            if (named.contains(w->objectName()) && !chain.contains(w->objectName()))
                chain << w->objectName();
        EXPECT_EQ(chain, named);
        Dialog->close();
    });
    ClickAt(Main->WidgetOf("SpeedButton7"), {12, 12});
    EXPECT_TRUE(checked);
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(FtpPass, "abc d");
}

TEST_F(SettingsView, TypedValuesAndOkReachTheSettingsAndTheTimer)
{
    FtpInterval = 0;
    QTimer::singleShot(0, [&] {
        auto* host = W<QLineEdit>("Edithost");
        ClearLine(host);
        Type(host, "ftp.example.org:2121");
        auto* interval = W<QLineEdit>("editint");
        ClearLine(interval);
        Type(interval, "10");
        ClickAt(W<QCheckBox>("CheckPasv"), {5, 8});
        ClickAt(Dialog->WidgetOf("SpeedButton1"), {30, 12});
    });
    ClickAt(Main->WidgetOf("SpeedButton7"), {12, 12});
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(FtpHost, "ftp.example.org:2121");
    EXPECT_EQ(FtpInterval, 10);
    EXPECT_TRUE(FtpPassive);
    EXPECT_FALSE(FtpAtomic);
    EXPECT_TRUE(capmain->Timer1->Enabled());
    EXPECT_EQ(capmain->Timer1->Interval(), 600000u);

    // Again, "abc" as the interval and the close box: nothing changes.
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(W<QLineEdit>("editint")->text(), QString("10"));
        EXPECT_TRUE(W<QCheckBox>("CheckPasv")->isChecked());
        auto* interval = W<QLineEdit>("editint");
        ClearLine(interval);
        Type(interval, "abc");
        Dialog->close();
    });
    ClickAt(Main->WidgetOf("SpeedButton7"), {12, 12});
    EXPECT_EQ(FtpInterval, 10);

    // "abc" and ok: auto-upload off.
    QTimer::singleShot(0, [&] {
        auto* interval = W<QLineEdit>("editint");
        ClearLine(interval);
        Type(interval, "abc");
        ClickAt(Dialog->WidgetOf("SpeedButton1"), {30, 12});
    });
    ClickAt(Main->WidgetOf("SpeedButton7"), {12, 12});
    EXPECT_EQ(FtpInterval, 0);
    EXPECT_FALSE(capmain->Timer1->Enabled());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(SettingsView, WebLoginButtonOpensItsDialogAndOkStoresTheLogin)
{
    TFormView login(webloginform);
    HttpUser = "old";
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] {
            EXPECT_EQ(qobject_cast<QLineEdit*>(login.WidgetOf("edituser"))->text(), QString("old"));
            auto* pass = qobject_cast<QLineEdit*>(login.WidgetOf("editpass"));
            EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
            ClearLine(qobject_cast<QLineEdit*>(login.WidgetOf("edituser")));
            Type(login.WidgetOf("edituser"), "alice");
            Type(pass, "pw");
            ClickAt(login.WidgetOf("SpeedButton1"), {30, 12});
        });
        ClickAt(Dialog->WidgetOf("SpeedButton2"), {20, 12});
        Dialog->close();
    });
    ClickAt(Main->WidgetOf("SpeedButton7"), {12, 12});
    EXPECT_EQ(HttpUser + ":" + HttpPass, "alice:pw");
}

} // namespace
