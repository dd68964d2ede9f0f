#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/Timer.h"
#include "platform/Windows.h"

namespace {

std::vector<UINT> gSeen;
HWND gNestedTarget = nullptr;

LRESULT RecordProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg >= WM_USER) {
        gSeen.push_back(Msg);
        if (Msg == WM_USER + 100 && gNestedTarget) {
            // Nested processing from inside a handler.
            PostMessage(gNestedTarget, WM_USER + 101, 0, 0);
            PumpPendingMessages();
            gSeen.push_back(WM_USER + 102);
        }
        return static_cast<LRESULT>(wParam + lParam);
    }
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}

class MessageQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        gSeen.clear();
        gNestedTarget = nullptr;
        Wnd = CreateWindowHandle(&RecordProc);
    }
    void TearDown() override { DestroyWindow(Wnd); }
    HWND Wnd = nullptr;
};

} // namespace

TEST_F(MessageQueue, PostedMessagesArriveInOrderAndSendRunsAtOnce)
{
    for (UINT i = 0; i < 5; ++i)
        PostMessage(Wnd, WM_USER + i, 0, 0);
    EXPECT_EQ(SendMessage(Wnd, WM_USER + 9, 2, 3), 5);
    ASSERT_EQ(gSeen, std::vector<UINT>{WM_USER + 9});
    PumpPendingMessages();
    EXPECT_EQ(gSeen, (std::vector<UINT>{WM_USER + 9, WM_USER, WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4}));
}

TEST_F(MessageQueue, NestedProcessingDispatchesInsideTheHandler)
{
    gNestedTarget = Wnd;
    PostMessage(Wnd, WM_USER + 100, 0, 0);
    PumpPendingMessages();
    EXPECT_EQ(gSeen, (std::vector<UINT>{WM_USER + 100, WM_USER + 101, WM_USER + 102}));
}

TEST_F(MessageQueue, DestroyedWindowDropsQueuedMessagesAndQuitStaysLast)
{
    HWND other = CreateWindowHandle(&RecordProc);
    PostMessage(other, WM_USER + 1, 0, 0);
    DestroyWindow(other);
    EXPECT_FALSE(IsWindow(other));
    EXPECT_FALSE(PostMessage(other, WM_USER + 2, 0, 0));
    PostQuitMessage(3);
    PostMessage(Wnd, WM_USER + 3, 0, 0);
    MSG m;
    ASSERT_TRUE(GetMessage(&m, nullptr, 0, 0));
    DispatchMessage(&m);
    EXPECT_EQ(gSeen, std::vector<UINT>{WM_USER + 3});
    EXPECT_FALSE(GetMessage(&m, nullptr, 0, 0));
    EXPECT_EQ(m.wParam, 3u);
}

TEST_F(MessageQueue, PostFromAnotherThreadWakesTheWait)
{
    std::thread t([w = Wnd] { PostMessage(w, WM_USER + 7, 0, 0); });
    MSG m;
    ASSERT_TRUE(GetMessage(&m, nullptr, 0, 0));
    t.join();
    EXPECT_EQ(m.message, WM_USER + 7);
    EXPECT_EQ(m.hwnd, Wnd);
}

TEST_F(MessageQueue, WatchedDescriptorWakesTheWaitAndCanBeDropped)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int calls = 0;
    WatchDescriptor(sv[0], 0x001 /* EPOLLIN */, [&](uint32_t) {
        ++calls;
        char c;
        ASSERT_EQ(read(sv[0], &c, 1), 1);
        PostMessage(Wnd, WM_USER + 5, 0, 0);
    });
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    MSG m;
    ASSERT_TRUE(GetMessage(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, WM_USER + 5);
    EXPECT_EQ(calls, 1);
    UnwatchDescriptor(sv[0]);
    ASSERT_EQ(write(sv[1], "y", 1), 1);
    EXPECT_FALSE(WaitMessageTimeout(20));
    EXPECT_EQ(calls, 1);
    close(sv[0]);
    close(sv[1]);
}

TEST(Timers, FollowTheFormTimerRules)
{
    TApplication app;
    TTimer timer(nullptr);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) { ++ticks; };
    timer.SetEnabled(false);
    timer.SetInterval(30);
    EXPECT_EQ(NextTimerTimeout(), -1);
    timer.SetEnabled(true);
    int left = NextTimerTimeout();
    EXPECT_GT(left, 20);
    EXPECT_LE(left, 30);
    // Setting the same value does not restart the countdown.
    timer.SetInterval(30);
    timer.SetEnabled(true);
    EXPECT_LE(NextTimerTimeout(), left);
    while (ticks < 2)
        app.WaitForMessage(1000), app.DrainQueue();
    // A new interval restarts the countdown.
    timer.SetInterval(5000);
    EXPECT_GT(NextTimerTimeout(), 4900);
    timer.SetEnabled(false);
    EXPECT_EQ(NextTimerTimeout(), -1);
}

TEST(Application, HandlerErrorsGoToTheDefaultDisplay)
{
    TApplication app;
    app.Title = "Quorrelane";
    std::string shown;
    app.FrontEnd.ShowMessage = [&](const std::string& text, const std::string& caption, UINT) { shown = "[" + caption + "] " + text; };
    static LRESULT (*thrower)(HWND, UINT, WPARAM, LPARAM) = [](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_USER)
            throw Exception("boom");
        return DefWindowProc(w, m, wp, lp);
    };
    HWND w = CreateWindowHandle(thrower);
    PostMessage(w, WM_USER, 0, 0);
    app.DrainQueue();
    EXPECT_EQ(shown, "[Quorrelane] boom");
    app.Terminate();
    app.Run();
    EXPECT_TRUE(app.Terminated());
    DestroyWindow(w);
}
