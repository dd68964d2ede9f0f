#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "GuiTestSupport.h"
#include "gui/GuiFrontEnd.h"
#include "gui/QueueBridge.h"
#include "platform/Application.h"

namespace {

// gtest owns the environment.
const ::testing::Environment* const gQt = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

std::vector<UINT> gSeen;

LRESULT RecordProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg >= WM_USER || Msg == WM_TIMER)
        gSeen.push_back(Msg == WM_TIMER ? static_cast<UINT>(0x10000 + wParam) : Msg);
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        gSeen.clear();
        Wnd = CreateWindowHandle(&RecordProc);
    }
    void TearDown() override { DestroyWindow(Wnd); }

    struct QtFirst {
        QtFirst() { TestApp(); }
    } Qt;
    TApplication App;
    TQueueBridge Bridge;
    HWND Wnd = nullptr;
};

TEST_F(BridgeTest, PostedMessagesReachTheirWindowInOrderFromQtsLoop)
{
    PostMessage(Wnd, WM_USER + 1, 0, 0);
    PostMessage(Wnd, WM_USER + 2, 0, 0);
    ASSERT_TRUE(RunUntil([] { return gSeen.size() >= 2; }));
    EXPECT_EQ(gSeen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
}

TEST_F(BridgeTest, PostFromAnotherThreadWakesTheLoop)
{
    std::thread t([w = Wnd] { PostMessage(w, WM_USER + 7, 0, 0); });
    t.join();
    ASSERT_TRUE(RunUntil([] { return !gSeen.empty(); }));
    EXPECT_EQ(gSeen.front(), WM_USER + 7);
}

TEST_F(BridgeTest, TimerSetFromAQtHandlerFires)
{
    // Setting a timer wakes nothing; the bridge must notice the new
    // deadline before Qt sleeps.
    QTimer::singleShot(0, [w = Wnd] { SetTimer(w, 5, 30); });
    ASSERT_TRUE(RunUntil([] { return !gSeen.empty(); }));
    EXPECT_EQ(gSeen.front(), 0x10000u + 5);
    KillTimer(Wnd, 5);
}

TEST_F(BridgeTest, TimerRepeatsThroughTheBridge)
{
    SetTimer(Wnd, 9, 10);
    ASSERT_TRUE(RunUntil([] { return gSeen.size() >= 3; }));
    KillTimer(Wnd, 9);
    for (UINT m : gSeen)
        EXPECT_EQ(m, 0x10000u + 9);
}

TEST_F(BridgeTest, WaitingForATimerSleepsInsteadOfSpinning)
{
    int wakes = 0;
    auto* d = QAbstractEventDispatcher::instance();
    auto c = QObject::connect(d, &QAbstractEventDispatcher::awake, [&] { ++wakes; });
    SetTimer(Wnd, 3, 200);
    ASSERT_TRUE(RunUntil([] { return !gSeen.empty(); }));
    KillTimer(Wnd, 3);
    QObject::disconnect(c);
    // A loop that polls wakes thousands of times in 200 ms.
    EXPECT_LT(wakes, 20);
}

TEST_F(BridgeTest, TerminateEndsTheQtLoop)
{
    QTimer::singleShot(0, [] { Application->Terminate(); });
    // A fallback so a broken bridge fails instead of hanging.
    QTimer fallback;
    fallback.setSingleShot(true);
    bool fellBack = false;
    QObject::connect(&fallback, &QTimer::timeout, [&] { fellBack = true; QCoreApplication::exit(1); });
    fallback.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(fellBack);
    EXPECT_TRUE(Application->Terminated());
}

TEST_F(BridgeTest, NestedProcessingInsideAHandlerKeepsQtAndTheQueueGoing)
{
    TGuiFrontEnd front(App);
    bool qtRan = false;
    // Inside the first message, ProcessMessages must run both Qt's events
    // and the messages queued behind it.
    struct Ctx { bool* QtRan; HWND Wnd; } ctx{&qtRan, Wnd};
    static Ctx* sCtx;
    sCtx = &ctx;
    WNDPROC nested = [](HWND W, UINT M, WPARAM wp, LPARAM lp) -> LRESULT {
        if (M == WM_USER + 1) {
            QTimer::singleShot(0, [] { *sCtx->QtRan = true; });
            PostMessage(sCtx->Wnd, WM_USER + 2, 0, 0);
            Application->ProcessMessages();
            gSeen.push_back(*sCtx->QtRan ? 1u : 0u);
            return 0;
        }
        return RecordProc(W, M, wp, lp);
    };
    SetWindowLongPtr(Wnd, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(nested));
    PostMessage(Wnd, WM_USER + 1, 0, 0);
    ASSERT_TRUE(RunUntil([] { return gSeen.size() >= 2; }));
    EXPECT_EQ(gSeen, (std::vector<UINT>{WM_USER + 2, 1u}));
}

TEST(MessageBoxTest, BoxHasOkOnlyTheCaptionAsTitleAndTheOwner)
{
    TestApp();
    TApplication app;
    TGuiFrontEnd front(app);
    QWidget owner;
    front.SetOwner(&owner);
    int shown = 0;
    front.SetBoxRunner([&](QMessageBox& Box) {
        ++shown;
        EXPECT_EQ(Box.windowTitle(), QString("ERR"));
        EXPECT_EQ(Box.text(), QString::fromUtf8("カメラをスタートできませんでした"));
        EXPECT_EQ(Box.standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(Box.parentWidget(), &owner);
        EXPECT_TRUE(Box.isModal());
    });
    app.MessageBox("カメラをスタートできませんでした", "ERR");
    EXPECT_EQ(shown, 1);
}

TEST(MessageBoxTest, ExceptionFromAHandlerIsShownInABox)
{
    TestApp();
    TApplication app;
    app.Title = "Quorrelane";
    TGuiFrontEnd front(app);
    QString text;
    front.SetBoxRunner([&](QMessageBox& Box) { text = Box.text(); });
    try {
        throw Exception("broken");
    } catch (...) {
        app.HandleException();
    }
    EXPECT_EQ(text, QString("broken"));
}

TEST(MessageBoxTest, DefaultRunnerIsModalAndClosesWithOk)
{
    TestApp();
    TApplication app;
    TGuiFrontEnd front(app);
    // Press OK on the real box from inside its own loop.
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        box->button(QMessageBox::Ok)->click();
    });
    app.MessageBox("text", "cap");
    SUCCEED();
}

} // namespace
