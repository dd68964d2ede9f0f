#include <gtest/gtest.h>

#include "net/NetTestUtil.h"
#include "net/WSocket.h"

namespace {

// A line-mode TWSocket connected to a plain peer.
struct TLinePair {
    TRawListener Listener;
    TWSocket S{nullptr};
    int Peer = -1;
    std::vector<std::string> Lines;
    bool Closed = false;

    explicit TLinePair(const std::string& LineEnd = "\r\n")
    {
        S.SetLineEnd(LineEnd);
        S.SetLineMode(true);
        S.OnDataAvailable = [this](TObject*, WORD) { Lines.push_back(S.ReceiveStr()); };
        S.OnSessionClosed = [this](TObject*, WORD) { Closed = true; };
        S.SetAddr("127.0.0.1");
        S.SetPort(Listener.PortText());
        S.Connect();
        RunUntil([&] { return S.GetState() == wsConnected && (Peer = Peer >= 0 ? Peer : Listener.Accept()) >= 0; });
    }
    ~TLinePair()
    {
        if (Peer >= 0)
            ::close(Peer);
    }
    // Sends and waits until the socket has read it all.
    void Feed(const std::string& Data)
    {
        int before = S.GetReadCount();
        SendAll(Peer, Data);
        RunUntil([&] { return S.GetReadCount() >= before + static_cast<int>(Data.size()); });
        RunIdle();
    }
};

}  // namespace

TEST(LineMode, LinesAcrossReads)
{
    TLinePair p;
    ASSERT_GE(p.Peer, 0);
    p.Feed("abc\r\nde");
    EXPECT_EQ(p.Lines, std::vector<std::string>{"abc\r\n"});
    EXPECT_EQ(p.S.GetBufferedCount(), 2);
    EXPECT_EQ(p.S.GetRcvdCount(), 0);  // no line pending outside the event
    p.Feed("f\r\n");
    EXPECT_EQ(p.Lines, (std::vector<std::string>{"abc\r\n", "def\r\n"}));
    // A terminator split between two reads.
    p.Feed("gh\r");
    EXPECT_EQ(p.Lines.size(), 2u);
    p.Feed("\nij\r\nkl\r\nmn\r\n");
    EXPECT_EQ(p.Lines, (std::vector<std::string>{"abc\r\n", "def\r\n", "gh\r\n", "ij\r\n", "kl\r\n", "mn\r\n"}));
}

TEST(LineMode, LfTerminatorKeepsCr)
{
    TLinePair p("\n");
    p.Feed("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(p.Lines, (std::vector<std::string>{"GET / HTTP/1.0\r\n", "\r\n"}));
}

TEST(LineMode, LongTerminatorAndEmptyTerminator)
{
    TLinePair p("END");
    p.Feed("oneEN");
    p.Feed("Dtwo");
    EXPECT_EQ(p.Lines, std::vector<std::string>{"oneEND"});
    p.S.SetLineEnd("");  // behaves as line mode off
    p.Lines.clear();
    p.Feed("xyz");
    ASSERT_FALSE(p.Lines.empty());
    std::string all;
    for (auto& l : p.Lines)
        all += l;
    EXPECT_EQ(all, "twoxyz");
}

TEST(LineMode, ReadingALineInPieces)
{
    TLinePair p;
    std::vector<int> reads;
    std::vector<int> counts;
    p.S.OnDataAvailable = [&](TObject*, WORD) {
        counts.push_back(p.S.GetRcvdCount());
        char buf[4];
        reads.push_back(p.S.Receive(buf, sizeof buf));
    };
    p.Feed("01234567\r\n");
    EXPECT_EQ(reads, (std::vector<int>{4, 4, 2}));
    EXPECT_EQ(counts, (std::vector<int>{10, 6, 2}));
}

TEST(LineMode, SwitchingOffDeliversTheRestFromTheLoop)
{
    TLinePair p;
    std::string body;
    bool switchedInside = false;
    p.S.OnDataAvailable = [&](TObject*, WORD) {
        if (p.S.GetLineMode()) {
            std::string line = p.S.ReceiveStr();
            p.Lines.push_back(line);
            if (line == "\r\n") {
                p.S.SetLineMode(false);
                switchedInside = body.empty();
            }
        } else {
            char buf[3];
            int n = p.S.Receive(buf, sizeof buf);
            if (n > 0)
                body.append(buf, static_cast<size_t>(n));
        }
    };
    SendAll(p.Peer, "POST / HTTP/1.0\r\n\r\nbody bytes");
    ASSERT_TRUE(RunUntil([&] { return body.size() >= 10; }));
    EXPECT_TRUE(switchedInside);
    EXPECT_EQ(p.Lines, (std::vector<std::string>{"POST / HTTP/1.0\r\n", "\r\n"}));
    EXPECT_EQ(body, "body bytes");
    SendAll(p.Peer, "+more");
    ASSERT_TRUE(RunUntil([&] { return body == "body bytes+more"; }));
}

TEST(LineMode, SwitchingOnReplaysBufferedLines)
{
    TLinePair p("\n");
    p.S.SetLineMode(false);
    p.S.OnDataAvailable = nullptr;
    // Without a handler the bytes are drained; keep them in the buffer by
    // letting a handler leave them there.
    p.S.SetLineMode(true);
    p.S.OnDataAvailable = [&](TObject*, WORD) {};  // reads nothing: the line stays
    p.Feed("x\ny");
    EXPECT_EQ(p.S.GetBufferedCount(), 3);
    p.S.OnDataAvailable = [&](TObject*, WORD) { p.Lines.push_back(p.S.ReceiveStr()); };
    p.S.SetLineMode(false);
    p.S.SetLineMode(true);
    EXPECT_TRUE(p.Lines.empty());  // the replay runs from the loop
    RunIdle();
    EXPECT_EQ(p.Lines, std::vector<std::string>{"x\n"});
    EXPECT_EQ(p.S.GetBufferedCount(), 1);
}

TEST(LineMode, FinalUnterminatedLineAtClose)
{
    TLinePair p;
    std::vector<std::string> order;
    p.S.OnDataAvailable = [&](TObject*, WORD) { order.push_back("line " + p.S.ReceiveStr()); };
    p.S.OnSessionClosed = [&](TObject*, WORD) { order.push_back("closed"); };
    SendAll(p.Peer, "tail");
    ::close(p.Peer);
    p.Peer = -1;
    ASSERT_TRUE(RunUntil([&] { return p.S.GetState() == wsClosed; }));
    EXPECT_EQ(order, (std::vector<std::string>{"line tail", "closed"}));
}

TEST(LineMode, EditingAndEcho)
{
    TLinePair p;
    p.S.SetLineEdit(true);
    p.Feed("abX\bc\r\n");
    EXPECT_EQ(p.Lines, std::vector<std::string>{"abc\r\n"});
    p.Feed("a\tb\r\n");
    EXPECT_EQ(p.Lines.back(), "a       b\r\n");
    p.Feed("\bq\r\n");  // backspace at the start is dropped
    EXPECT_EQ(p.Lines.back(), "q\r\n");
    // A backspace erases a byte of an earlier read.
    p.Feed("mn");
    p.Feed("\bo\r\n");
    EXPECT_EQ(p.Lines.back(), "mo\r\n");

    p.S.SetLineEcho(true);
    p.Feed("abX\bc\r\n");
    EXPECT_EQ(p.Lines.back(), "abc\r\n");
    std::string echoed;
    ASSERT_TRUE(RunUntil([&] {
        ReadSome(p.Peer, echoed);
        return echoed.size() >= 9;
    }));
    EXPECT_EQ(echoed, std::string("abX\b \bc\r\n"));
}

TEST(LineMode, EchoWithoutEditing)
{
    TLinePair p;
    p.S.SetLineEcho(true);
    p.Feed("hi\b\r\n");
    EXPECT_EQ(p.Lines, std::vector<std::string>{"hi\b\r\n"});
    std::string echoed;
    ASSERT_TRUE(RunUntil([&] {
        ReadSome(p.Peer, echoed);
        return echoed.size() >= 5;
    }));
    EXPECT_EQ(echoed, "hi\b\r\n");
}

TEST(LineMode, HandlerReadingNothingIsNotCalledForever)
{
    TLinePair p;
    int calls = 0;
    p.S.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    p.Feed("one\r\ntwo\r\n");
    EXPECT_EQ(calls, 1);
    // The line is kept and offered again with the next data.
    p.S.OnDataAvailable = [&](TObject*, WORD) { p.Lines.push_back(p.S.ReceiveStr()); };
    p.Feed("three\r\n");
    EXPECT_EQ(p.Lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
}

TEST(SyncSocket, WaitForFlag)
{
    TRawListener peer;
    TWSocket s(nullptr);
    bool connected = false;
    s.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    EXPECT_EQ(s.RunAndWait([&] { s.Connect(); }, connected), 0);
    EXPECT_EQ(s.GetState(), wsConnected);
    bool never = false;
    s.SetTimeout(30);
    EXPECT_EQ(s.WaitForFlag(never), 12001);
}

TEST(LineMode, SwitchingBackAndForthKeepsEveryByteOnce)
{
    TLinePair p("\n");
    std::string all;
    int calls = 0;
    p.S.OnDataAvailable = [&](TObject*, WORD) {
        ++calls;
        char buf[2];
        int n = p.S.Receive(buf, sizeof buf);
        if (n > 0)
            all.append(buf, static_cast<size_t>(n));
        // Toggle in the middle of lines.
        p.S.SetLineMode(!p.S.GetLineMode());
    };
    std::string data = "first line\nsecond\nthird one\nrest";
    p.Feed(data);
    EXPECT_GT(calls, 4);
    // Whatever is still buffered comes out once, after everything read.
    p.S.OnDataAvailable = nullptr;
    p.S.SetLineMode(false);
    all += p.S.ReceiveStr();
    EXPECT_EQ(all, data);
}
