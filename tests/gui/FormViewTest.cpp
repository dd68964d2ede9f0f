#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QListWidget>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QToolButton>
#include <QWindow>

#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "app/Program.h"
#include "app/driver.h"
#include "app/main.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "gui/FormView.h"
#include "gui/GuiFrontEnd.h"
#include "gui/QueueBridge.h"
#include "platform/Application.h"

namespace {

void ClickOn(QWidget* W, Qt::MouseButton B = Qt::LeftButton)
{
    QPoint c = W->rect().center();
    Press(W, c, B);
    Release(W, c, B);
}

// The program's forms with their views, settings and files in a fresh
// temporary directory.
class FormViewTest : public ::testing::Test {
protected:
    FormViewTest()
    {
        StartProgram(App, Dir / "doc/", Dir / "videosetting.ini", Args);
        Front.SetBoxRunner([this](QMessageBox& Box) { Boxes.push_back(Box.windowTitle() + "|" + Box.text()); });
        Front.SetMenuRunner([this](QMenu& Menu, const QPoint& At) -> QAction* {
            MenuAt = At;
            MenuItems.clear();
            for (QAction* a : Menu.actions())
                MenuItems.push_back(a->text() + (a->isEnabled() ? "" : " (disabled)") +
                                    (a->isCheckable() ? (a->isChecked() ? " [x]" : " [ ]") : ""));
            ++MenuCount;
            QAction* pick = nullptr;
            for (QAction* a : Menu.actions())
                if (a->text() == MenuPick)
                    pick = a;
            return pick;
        });
        CreateProgramForms();
        Main = std::make_unique<TFormView>(capmain);
        Dialog = std::make_unique<TFormView>(dlgdriver);
        Front.SetOwner(Main.get());
        capmain->Show();
    }
    ~FormViewTest() override
    {
        Dialog.reset();
        Main.reset();
    }

    QWidget* W(TFormView& View, const char* Name)
    {
        QWidget* w = View.WidgetOf(Name);
        EXPECT_NE(w, nullptr) << Name;
        return w;
    }

    struct QtFirst {
        QtFirst() { TestApp(); }
    } Qt_;
    TTempDir Dir;
    std::vector<std::string> Args;
    TApplication App;
    TGuiFrontEnd Front{App};
    TQueueBridge Bridge;
    std::vector<QString> Boxes;
    std::vector<QString> MenuItems;
    QString MenuPick;
    QPoint MenuAt;
    int MenuCount = 0;
    std::unique_ptr<TFormView> Main;
    std::unique_ptr<TFormView> Dialog;
};

TEST_F(FormViewTest, MainWindowIsABorderless217By230WhiteWindow)
{
    EXPECT_TRUE(Main->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(Main->size(), QSize(217, 230));
    EXPECT_EQ(Main->windowTitle(), QString("Quorrelane"));
    EXPECT_TRUE(Main->isVisible());
    EXPECT_EQ(Main->font().family(), QString("IPAPGothic"));
    QImage shot = Main->grab().toImage();
    // The skin's inside is white, the preview black.
    EXPECT_EQ(QColor(shot.pixel(100, 200)), QColor(Qt::white));
    EXPECT_EQ(QColor(shot.pixel(108, 117)), QColor(Qt::black));
}

TEST_F(FormViewTest, NamedControlsHaveTheirGeometryCaptionsAndHints)
{
    struct Expect {
        const char* Name;
        QRect Geometry;
        const char* Hint;
    };
    const Expect expect[] = {
        {"FrameGrabber1", {28, 57, 160, 120}, ""},  {"SpeedButton1", {56, 30, 25, 25}, "Server Start"},
        {"SpeedButton4", {82, 30, 41, 25}, "Start FTP"}, {"SpeedButton3", {27, 30, 25, 25}, "Camera OPEN"},
        {"SpeedButton7", {128, 30, 25, 25}, "Setting"},  {"SpeedButton8", {160, 30, 25, 25}, "OPtion"},
        {"SpeedButton6", {196, 3, 16, 16}, ""},          {"SpeedButton5", {179, 3, 16, 16}, ""},
        {"Label2", {10, 3, 167, 16}, ""},                {"msg", {27, 208, 164, 12}, ""},
        {"Edit2", {56, 184, 134, 20}, ""},               {"Image1", {0, 0, 217, 230}, ""},
        {"s1", {27, 56, 162, 122}, ""},                  {"SpeedButton2", {360, 144, 73, 17}, ""},
    };
    for (const auto& e : expect) {
        QWidget* w = W(*Main, e.Name);
        if (!w)
            continue;
        EXPECT_EQ(w->geometry(), e.Geometry) << e.Name;
        EXPECT_EQ(w->toolTip(), QString(e.Hint)) << e.Name;
        EXPECT_TRUE(w->isVisibleTo(Main.get())) << e.Name;
    }
    EXPECT_EQ(W(*Main, "Label3")->pos(), QPoint(27, 190));
    EXPECT_EQ(qobject_cast<QToolButton*>(W(*Main, "SpeedButton2"))->text(), QString("devicesetup"));
    for (const char* hidden : {"Edit1", "Label1", "Button1", "Imagel", "Imagelb", "Imagelt", "Imagert", "Imager",
                               "Imagerb", "im31", "im32", "im11", "im12"})
        if (QWidget* w = W(*Main, hidden)) {
            EXPECT_FALSE(w->isVisibleTo(Main.get())) << hidden;
        }
    // Glyphs become the buttons' icons at the glyph's size.
    auto* close = qobject_cast<QToolButton*>(W(*Main, "SpeedButton6"));
    EXPECT_FALSE(close->icon().isNull());
    EXPECT_TRUE(close->autoRaise());
}

TEST_F(FormViewTest, DeviceDialogIsItsSkinnedWindowWithTheDriverList)
{
    EXPECT_TRUE(Dialog->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(Dialog->size(), QSize(297, 121));
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(W(*Dialog, "SpeedButton1")->geometry(), QRect(96, 72, 113, 25));
    EXPECT_EQ(qobject_cast<QToolButton*>(W(*Dialog, "SpeedButton1"))->text(), QString("OK"));
    EXPECT_EQ(W(*Dialog, "Label1")->pos(), QPoint(72, 6));
    auto* combo = qobject_cast<QComboBox*>(W(*Dialog, "ComboBox1"));
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->geometry().topLeft(), QPoint(24, 40));
    EXPECT_EQ(combo->width(), 257);
    EXPECT_EQ(combo->currentText(), QString("ComboBox1"));
}

TEST_F(FormViewTest, ClickOnARenderedButtonReachesItsHandler)
{
    int clicks = 0;
    std::vector<TMouseButton> downs;
    capmain->SpeedButton7->OnClick = [&](TObject* Sender) {
        EXPECT_EQ(Sender, capmain->SpeedButton7);
        ++clicks;
    };
    capmain->SpeedButton7->OnMouseDown = [&](TObject*, TMouseButton B, TShiftState S, int X, int Y) {
        downs.push_back(B);
        EXPECT_EQ(X, 12);
        EXPECT_EQ(Y, 12);
        EXPECT_TRUE(S & (B == mbLeft ? ssLeft : ssRight));
    };
    QWidget* w = W(*Main, "SpeedButton7");
    ClickOn(w);
    EXPECT_EQ(clicks, 1);
    // Only a left press and release inside makes a click.
    ClickOn(w, Qt::RightButton);
    Press(w, {12, 12});
    Release(w, {40, 40});
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(downs, (std::vector<TMouseButton>{mbLeft, mbRight, mbLeft}));
    capmain->SpeedButton7->SetEnabled(false);
    EXPECT_FALSE(w->isEnabled());
    ClickOn(w);
    EXPECT_EQ(clicks, 1);
}

TEST_F(FormViewTest, HandlerErrorsGoToTheErrorDisplay)
{
    capmain->SpeedButton7->OnClick = [](TObject*) { throw Exception("no settings dialog"); };
    ClickOn(W(*Main, "SpeedButton7"));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], QString("Quorrelane|no settings dialog"));
}

TEST_F(FormViewTest, EditAndStatusLineFollowTheModelBothWays)
{
    auto* edit = qobject_cast<QLineEdit*>(W(*Main, "Edit2"));
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(edit, &key);
    EXPECT_EQ(capmain->Edit2->Text(), edit->text().toStdString());
    EXPECT_TRUE(edit->text().endsWith("a"));
    capmain->Edit2->SetText("日本語");
    EXPECT_EQ(edit->text(), QString::fromUtf8("日本語"));
    // The status line draws what the model holds.
    auto darkPixels = [&] {
        QImage img = W(*Main, "msg")->grab().toImage();
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                n += QColor(img.pixel(x, y)).lightness() < 128;
        return n;
    };
    EXPECT_GT(darkPixels(), 0);
    capmain->msg->TLabel::SetCaption("");
    EXPECT_EQ(darkPixels(), 0);
}

TEST_F(FormViewTest, TypedDeviceNameThatIsNotInTheListChoosesNothing)
{
    capmain->FrameGrabber1->SetDriverIndex(-1);
    QTimer::singleShot(0, [&] {
        auto* combo = qobject_cast<QComboBox*>(Dialog->WidgetOf("ComboBox1"));
        ASSERT_NE(combo, nullptr);
        combo->setCurrentIndex(0);
        emit combo->activated(0);
        EXPECT_EQ(dlgdriver->ComboBox1->ItemIndex(), 0);
        combo->lineEdit()->setFocus();
        QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
        QApplication::sendEvent(combo->lineEdit(), &key);
        EXPECT_EQ(dlgdriver->ComboBox1->ItemIndex(), -1);
        EXPECT_EQ(dlgdriver->ComboBox1->Text(), combo->currentText().toStdString());
        ClickOn(Dialog->WidgetOf("SpeedButton1"));
    });
    ClickOn(W(*Main, "SpeedButton3"));
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(capmain->FrameGrabber1->DriverIndex(), -1);
    EXPECT_FALSE(capmain->FrameGrabber1->DriverOpen());
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(W(*Main, "SpeedButton3")->isEnabled());
}

TEST_F(FormViewTest, OptionButtonOpensTheMenuAtThePointerForAnyButton)
{
    QWidget* w = W(*Main, "SpeedButton8");
    ClickOn(w, Qt::RightButton);
    EXPECT_EQ(MenuCount, 1);  // not a second time as the right-click menu
    ClickOn(w);
    EXPECT_EQ(MenuCount, 2);
    EXPECT_EQ(MenuItems, (std::vector<QString>{"src (disabled)", "format (disabled)", "camera Effect", "devicesetup", "motion"}));
    // Main window left + button left + X.
    EXPECT_EQ(MenuAt, QPoint(capmain->Left() + 160 + 12, capmain->Top() + 30 + 12));
}

TEST_F(FormViewTest, MenuChoiceRunsTheItemAndChecksShow)
{
    MenuPick = "camera Effect";
    ClickOn(W(*Main, "SpeedButton8"));
    EXPECT_TRUE(capmain->Effect1->Checked);
    MenuPick.clear();
    ClickOn(W(*Main, "SpeedButton8"));
    ASSERT_GE(MenuItems.size(), 3);
    EXPECT_EQ(MenuItems[MenuItems.size() - 3], QString("camera Effect [x]"));
    EXPECT_EQ(MenuItems[MenuItems.size() - 2], QString("devicesetup"));
    MenuPick = "motion";
    ClickOn(W(*Main, "SpeedButton8"));
    EXPECT_TRUE(capmain->motion1->Checked);
    EXPECT_TRUE(capmain->MotionTimer->Enabled());
}

TEST_F(FormViewTest, CameraButtonRunsTheModalDeviceDialogAndThePreviewDraws)
{
    // The dialog is modal: pick the test pattern and press OK from inside
    // its loop.
    bool sawDialog = false;
    QTimer::singleShot(0, [&] {
        sawDialog = Dialog->isVisible() && Dialog->isModal();
        auto* combo = qobject_cast<QComboBox*>(Dialog->WidgetOf("ComboBox1"));
        ASSERT_NE(combo, nullptr);
        ASSERT_GE(combo->count(), 1);
        EXPECT_EQ(combo->itemText(0).left(23), QString("Quorrelane test pattern"));
        combo->setCurrentIndex(0);
        emit combo->activated(0);
        ClickOn(Dialog->WidgetOf("SpeedButton1"));
    });
    ClickOn(W(*Main, "SpeedButton3"));
    EXPECT_TRUE(sawDialog);
    EXPECT_FALSE(Dialog->isVisible());
    ASSERT_TRUE(capmain->FrameGrabber1->DriverOpen()) << (Boxes.empty() ? "" : Boxes[0].toStdString());
    EXPECT_TRUE(capmain->FrameGrabber1->VideoPreview());
    // 320x240 test-pattern frames fill the 160x120 control: its bars show
    // from the left edge to the bottom.
    QWidget* preview = W(*Main, "FrameGrabber1");
    ASSERT_TRUE(RunUntil([&] {
        QImage img = preview->grab().toImage();
        return QColor(img.pixel(1, 60)) != QColor(Qt::black) && QColor(img.pixel(2, 119)) != QColor(Qt::black) &&
               QColor(img.pixel(125, 60)) != QColor(Qt::black);
    }));
    // A right click on the picture opens the window's menu, now with the
    // driver's dialogs.
    ClickOn(preview, Qt::RightButton);
    EXPECT_EQ(MenuCount, 1);
    EXPECT_EQ(MenuItems[0], QString("src"));
    EXPECT_EQ(MenuItems[1], QString("format"));
    // Clicks on the picture reach the control's events.
    int downs = 0;
    capmain->FrameGrabber1->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int X, int Y) {
        ++downs;
        EXPECT_EQ(X, 80);
        EXPECT_EQ(Y, 60);
    };
    Press(preview, {80, 60});
    Release(preview, {80, 60});
    EXPECT_EQ(downs, 1);
}

TEST_F(FormViewTest, TitleDragMovesTheWindowWithTheLeftButtonOnly)
{
    // Without a window manager to run the move, the window follows the
    // pointer itself.
    QWidget* title = W(*Main, "Label2");
    QPoint before = Main->pos();
    Press(title, {20, 8}, Qt::RightButton);
    Release(title, {20, 8}, Qt::RightButton);
    QPoint start = title->mapToGlobal(QPoint(20, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(0, 0), QPointF(start + QPoint(30, 40)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Main.get(), &move);
    EXPECT_EQ(Main->pos(), before);
    Press(title, {20, 8});
    QApplication::sendEvent(Main.get(), &move);
    EXPECT_EQ(Main->pos(), before + QPoint(30, 40));
    // The form knows its new place.
    EXPECT_EQ(capmain->Left(), before.x() + 30);
    EXPECT_EQ(capmain->Top(), before.y() + 40);
    QMouseEvent up(QEvent::MouseButtonRelease, QPointF(0, 0), QPointF(start + QPoint(30, 40)), Qt::LeftButton,
                   Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Main.get(), &up);
    QMouseEvent later(QEvent::MouseMove, QPointF(0, 0), QPointF(start), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Main.get(), &later);
    EXPECT_EQ(Main->pos(), before + QPoint(30, 40));
}

TEST_F(FormViewTest, MinimizeAndRestoreKeepThePlace)
{
    QPoint before = Main->pos();
    ClickOn(W(*Main, "SpeedButton5"));
    EXPECT_TRUE(Main->isMinimized());
    SendMessage(Application->Handle(), WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(Main->isMinimized());
    EXPECT_TRUE(Main->isVisible());
    EXPECT_EQ(Main->pos(), before);
}

TEST_F(FormViewTest, WindowManagerMinimizeAndTaskBarRestoreGoThroughTheLogic)
{
    int minimized = 0, restored = 0;
    capmain->am->OnMinimize = [&](TObject* Sender) {
        EXPECT_EQ(Sender, Application);
        ++minimized;
    };
    capmain->am->OnRestore = [&](TObject*) { ++restored; };
    QPoint before = Main->pos();
    Main->showMinimized();
    ASSERT_TRUE(RunUntil([&] { return minimized == 1; }));
    EXPECT_TRUE(IsIconic(Application->Handle()));
    Main->showNormal();
    ASSERT_TRUE(RunUntil([&] { return restored == 1; }));
    EXPECT_FALSE(IsIconic(capmain->Handle()));
    EXPECT_FALSE(Main->isMinimized());
    EXPECT_EQ(Main->pos(), before);
}

TEST_F(FormViewTest, DriverDialogsChooseFromAQtList)
{
    // Accept the second line, then cancel.
    QTimer::singleShot(0, [] {
        auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(dlg->windowTitle(), QString("Video Format"));
        auto* list = dlg->findChild<QListWidget*>();
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->count(), 3);
        EXPECT_EQ(list->currentRow(), 0);
        list->setCurrentRow(1);
        dlg->accept();
    });
    EXPECT_EQ(ShowCaptureDialog("Video Format", {"160x120", "320x240", "640x480"}, 0), 1);
    QTimer::singleShot(0, [] {
        auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dlg, nullptr);
        dlg->reject();
    });
    EXPECT_EQ(ShowCaptureDialog("Video Source", {"a", "b"}, 1), -1);
}

TEST_F(FormViewTest, EnterAndEscapePressTheDefaultAndCancelButtons)
{
    auto* form = App.Make<TForm>();
    form->SetBounds(10, 10, 120, 80);
    auto* ok = form->Make<TButton>();
    ok->SetParent(form);
    ok->SetBounds(5, 5, 50, 20);
    ok->SetCaption("OK");
    ok->Default = true;
    auto* cancel = form->Make<TButton>();
    cancel->SetParent(form);
    cancel->SetBounds(60, 5, 50, 20);
    cancel->Cancel = true;
    auto* edit = form->Make<TEdit>();
    edit->SetName("Edit");
    edit->SetParent(form);
    edit->SetBounds(5, 40, 100, 20);
    std::vector<std::string> pressed;
    ok->OnClick = [&](TObject*) { pressed.push_back("ok"); };
    cancel->OnClick = [&](TObject*) { pressed.push_back("cancel"); };
    TFormView view(form);
    EXPECT_FALSE(view.windowFlags() & Qt::FramelessWindowHint);
    // From inside the edit box, as the operator would.
    auto* line = qobject_cast<QLineEdit*>(view.WidgetOf("Edit"));
    ASSERT_NE(line, nullptr);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(line, &enter);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(line, &escape);
    EXPECT_EQ(pressed, (std::vector<std::string>{"ok", "cancel"}));
}

TEST_F(FormViewTest, CloseButtonWritesTheSettingsAndEndsTheProgram)
{
    // The click runs from inside Qt's loop, which then ends.
    QTimer::singleShot(0, [this] { ClickOn(W(*Main, "SpeedButton6")); });
    QTimer fallback;
    QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    fallback.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(Application->Terminated());
    EXPECT_EQ(Slurp(Dir / "videosetting.ini"), DefaultSettingsText);
}

TEST_F(FormViewTest, WindowManagerCloseAsksTheForm)
{
    Main->close();
    EXPECT_TRUE(Main->isVisible());  // the logic decides, from the queue
    EXPECT_TRUE(RunUntil([] { return Application->Terminated(); }));
}

} // namespace
