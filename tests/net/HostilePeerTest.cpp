// Peers that send urgent bytes, floods and resets, and handlers that close,
// reconnect, send or pump messages at awkward moments.
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/NetTestUtil.h"
#include "net/WSocketS.h"
#include "platform/Application.h"

namespace {

// A TWSocket connected to a plain peer descriptor.
struct TPair : TSocketPeer {
    TPair() { Connect(); }
    bool Connect()
    {
        return TSocketPeer::Connect([this] { return S.GetState() == wsConnected; });
    }
    // The peer goes away with a reset.
    void ResetPeer()
    {
        linger l{1, 0};
        ::setsockopt(Peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(Peer);
        Peer = -1;
    }
};

class HostileServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        TCountingClient::Destroyed = 0;
        Server = std::make_unique<TWSocketServer>(nullptr);
        Server->SetClientClass(ClientClassOf<TCountingClient>());
        Server->SetBanner("");
        Server->OnClientDisconnect = [this](TObject*, TWSocketClient*, WORD) { ++Disconnects; };
        Server->SetAddr("127.0.0.1");
        Server->SetPort("0");
        Server->Listen();
        Port = std::stoi(Server->GetBoundPort());
    }
    TApplication App;
    std::unique_ptr<TWSocketServer> Server;
    int Port = 0;
    int Disconnects = 0;
};

}  // namespace

TEST_F(HostileServer, UrgentByteDoesNotStallTheConnection)
{
    Server->OnClientConnect = [](TObject*, TWSocketClient* c, WORD) {
        c->SetLineMode(true);
        c->OnDataAvailable = [c](TObject*, WORD) {
            std::string line = c->ReceiveStr();
            c->SendStr("got " + line);
        };
    };
    TLoopClient a(Port);
    ASSERT_TRUE(RunUntil([&] { return Server->ClientCount() == 1; }));
    ASSERT_EQ(::send(a.Fd(), "!", 1, MSG_OOB), 1);
    RunIdle();
    a.Send("hello\r\n");
    ASSERT_TRUE(RunUntil([&] { return a.Data.find("hello\r\n") != std::string::npos; }));
    EXPECT_EQ(a.Data, "got hello\r\n");  // the urgent byte is not in the stream
}

TEST_F(HostileServer, FloodOfShortLinesLeavesRoomForOthers)
{
    constexpr size_t FloodBytes = 12u << 20;
    constexpr size_t LineBytes = 16;
    constexpr long FloodLines = static_cast<long>(FloodBytes / LineBytes);
    long floodSeen = 0;
    long floodSeenAtPing = -1;
    int pingFd = -1;
    size_t maxBuffered = 0;
    Server->OnClientConnect = [&](TObject*, TWSocketClient* c, WORD) {
        c->SetLineMode(true);
        c->SetLineEnd("\n");
        c->OnDataAvailable = [&, c](TObject*, WORD) {
            std::string line = c->ReceiveStr();
            maxBuffered = std::max(maxBuffered, static_cast<size_t>(c->GetBufferedCount()));
            if (line == "ping\n") {
                floodSeenAtPing = floodSeen;
                c->SendStr("pong\n");
            } else if (line.size() == LineBytes && ++floodSeen == 1) {
                // The flood is being read: the other client asks now.
                ::send(pingFd, "ping\n", 5, MSG_NOSIGNAL);
            }
        };
    };
    TLoopClient other(Port);
    pingFd = other.Fd();
    ASSERT_TRUE(RunUntil([&] { return Server->ClientCount() == 1; }));

    int flood = RawConnect(Port);
    ASSERT_TRUE(RunUntil([&] { return Server->ClientCount() == 2; }));
    int fl = ::fcntl(flood, F_GETFL);
    ::fcntl(flood, F_SETFL, fl & ~O_NONBLOCK);
    std::thread writer([flood] {
        std::string chunk;
        for (int i = 0; i < 4096; ++i)
            chunk += "0123456789abcde\n";
        for (size_t sent = 0; sent < FloodBytes; sent += chunk.size())
            if (::send(flood, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size()))
                break;
    });
    bool consumed = RunUntil([&] { return floodSeen == FloodLines; }, 120000);
    writer.join();
    ::close(flood);
    ASSERT_TRUE(consumed) << floodSeen;
    ASSERT_TRUE(RunUntil([&] { return other.Data == "pong\n"; }));
    EXPECT_GE(floodSeenAtPing, 1);
    EXPECT_LT(floodSeenAtPing, FloodLines / 2) << "the ping waited for the flood";
    // What one pass takes in stays small whatever the peer sends.
    EXPECT_LE(maxBuffered, 256u * 1024);
}

TEST(LineLimit, UnterminatedLineIsCutOffAtTheLimit)
{
    // The handler of OnLineTooLong leaves the cut to the socket, or closes.
    for (bool handlerCloses : {false, true}) {
        SCOPED_TRACE(handlerCloses);
        TPair p;
        p.S.SetLineMode(true);
        p.S.SetLineLimit(4096);
        int tooLong = 0;
        int biggest = 0;
        std::vector<std::string> lines;
        p.S.OnLineTooLong = [&](TObject*) {
            ++tooLong;
            biggest = std::max(biggest, p.S.GetBufferedCount());
            if (handlerCloses)
                p.S.Close();
        };
        p.S.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(p.S.ReceiveStr()); };
        std::string junk(1 << 20, 'x');
        std::thread writer([&, fd = p.Peer] { ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL); });
        bool closed = RunUntil([&] { return !p.Closed.empty(); });
        ::shutdown(p.Peer, SHUT_RDWR);
        writer.join();
        ASSERT_TRUE(closed);
        EXPECT_EQ(tooLong, 1);
        EXPECT_GT(biggest, 4096);
        EXPECT_LE(biggest, 4096 + 65536);
        EXPECT_TRUE(lines.empty());  // the cut-off part is never a line
        EXPECT_EQ(p.S.GetState(), wsClosed);
    }
}

TEST(LineLimit, HandlerMayTakeTheLongLineAsPlainData)
{
    TPair p;
    p.S.SetLineMode(true);
    p.S.SetLineLimit(8);
    std::string plain;
    p.S.OnLineTooLong = [&](TObject*) { p.S.SetLineMode(false); };
    p.S.OnDataAvailable = [&](TObject*, WORD) { plain += p.S.ReceiveStr(); };
    SendAll(p.Peer, "abcdefghijklmnop");
    ASSERT_TRUE(RunUntil([&] { return plain.size() >= 16; }));
    EXPECT_EQ(plain, "abcdefghijklmnop");
    EXPECT_EQ(p.S.GetState(), wsConnected);
}

TEST(SessionClose, OneEventForCloseFromTheLastEmptyRead)
{
    TPair p;
    p.S.OnDataAvailable = [&](TObject*, WORD) {
        char buf[100];
        if (p.S.Receive(buf, sizeof buf) == 0)
            p.S.Close();
    };
    SendAll(p.Peer, "bye");
    ::shutdown(p.Peer, SHUT_WR);
    ASSERT_TRUE(RunUntil([&] { return p.S.GetState() == wsClosed; }));
    RunIdle();
    EXPECT_EQ(p.Closed, std::vector<int>{0});
}

TEST(SessionClose, ReconnectFromTheHandlerOfARemoteClose)
{
    TPair p;
    int closes = 0;
    p.S.OnSessionClosed = [&](TObject*, WORD) {
        if (++closes == 1) {
            p.S.Close();
            p.S.SetAddr("127.0.0.1");
            p.S.SetPort(p.Listener.PortText());
            p.S.Connect();
        }
    };
    ::close(p.Peer);
    p.Peer = -1;
    int second = -1;
    ASSERT_TRUE(RunUntil([&] { return (second = second >= 0 ? second : p.Listener.Accept()) >= 0; }));
    p.Peer = second;
    ASSERT_TRUE(RunUntil([&] { return p.S.GetState() == wsConnected; }));
    RunIdle();
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(p.S.GetState(), wsConnected);
    // The new connection works.
    std::string got;
    p.S.OnDataAvailable = [&](TObject*, WORD) { got += p.S.ReceiveStr(); };
    SendAll(p.Peer, "again");
    ASSERT_TRUE(RunUntil([&] { return got == "again"; }));
}

TEST(SendBufferReentry, SendFromOnSendDataGoesOutOnceInOrder)
{
    TPair p;
    std::string first(1505, 'a'), second(1505, 'b');
    bool added = false;
    p.S.OnSendData = [&](TObject*, int) {
        if (!added) {
            added = true;
            p.S.Send(second.data(), static_cast<int>(second.size()));
        }
    };
    p.S.Send(first.data(), static_cast<int>(first.size()));
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        ReadSome(p.Peer, got);
        return got.size() >= 3010 && p.S.GetAllSent();
    }));
    RunIdle();
    ReadSome(p.Peer, got);
    EXPECT_EQ(got.size(), 3010u);
    EXPECT_TRUE(got == first + second);
}

TEST(SendBufferReentry, FlushOfAPausedSocketReturnsWhenDrained)
{
    TPair p;
    std::string data(32 << 20, 'f');
    p.S.Send(data.data(), static_cast<int>(data.size()));
    ASSERT_GT(p.S.BufferedByteCount(), 0);
    p.S.Pause();
    // The peer drains on its own thread: nothing reaches the queue.
    int fd = p.Peer;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size_t got = 0;
    std::thread reader([&got, fd, total = data.size()] {
        char buf[65536];
        while (got < total) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    });
    p.S.Flush();
    EXPECT_EQ(p.S.BufferedByteCount(), 0);
    reader.join();
    EXPECT_EQ(got, data.size());
    p.S.Resume();
}

TEST(LineEcho, PeerResetWhileEchoIsPending)
{
    TPair p;
    p.S.SetLineMode(true);
    p.S.SetLineEdit(true);
    p.S.SetLineEcho(true);
    std::vector<std::string> lines;
    p.S.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(p.S.ReceiveStr()); };
    SendAll(p.Peer, "ab\bc\tz\r\nrest");
    p.ResetPeer();
    ASSERT_TRUE(RunUntil([&] { return !p.Closed.empty(); }));
    RunIdle();
    EXPECT_EQ(p.Closed.size(), 1u);
    EXPECT_EQ(p.S.GetState(), wsClosed);
}

TEST_F(HostileServer, ClientFlushingInItsHandlerOutlivesTheHandler)
{
    // The peer resets from a timer that fires inside Flush's message pump.
    static int resetFd = -1;
    HWND w = CreateWindowHandle(
        [](HWND Wnd, UINT Msg, WPARAM, LPARAM) -> LRESULT {
            if (Msg == WM_TIMER && resetFd >= 0) {
                KillTimer(Wnd, 1);
                linger l{1, 0};
                ::setsockopt(resetFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                ::close(resetFd);
                resetFd = -1;
            }
            return 0;
        },
        nullptr, 0);
    bool handlerDone = false;
    int destroyedInHandler = -1;
    std::string big(32 << 20, 'z');
    Server->OnClientConnect = [&](TObject*, TWSocketClient* c, WORD) {
        c->OnDataAvailable = [&, c, w](TObject*, WORD) {
            c->ReceiveStr();
            c->Send(big.data(), static_cast<int>(big.size()));
            SetTimer(w, 1, 1);
            c->Flush();
            destroyedInHandler = TCountingClient::Destroyed;
            EXPECT_EQ(c->GetState(), wsClosed);
            handlerDone = true;
        };
    };
    resetFd = RawConnect(Port);
    ASSERT_TRUE(RunUntil([&] { return Server->ClientCount() == 1; }));
    ASSERT_EQ(::send(resetFd, "go", 2, MSG_NOSIGNAL), 2);
    ASSERT_TRUE(RunUntil([&] { return handlerDone && Server->ClientCount() == 0; }));
    RunIdle();
    DestroyWindow(w);
    EXPECT_EQ(destroyedInHandler, 0);
    EXPECT_EQ(TCountingClient::Destroyed, 1);
    EXPECT_EQ(Disconnects, 1);
}

TEST_F(HostileServer, StaleCloseNotificationSparesANewClientAtTheSameAddress)
{
    TLoopClient a(Port);
    ASSERT_TRUE(RunUntil([&] { return Server->ClientCount() == 1; }));
    TWSocketClient* old = Server->ClientAt(0);
    old->Close();  // posts the close notification
    delete old;    // and goes before the server has seen it
    EXPECT_EQ(Server->ClientCount(), 0);
    // A new client, very likely where the old one lived.
    TWSocketClient* fresh = Server->GetClientClass()(Server.get()).release();
    fresh->SetServer(Server.get());
    RunIdle();
    EXPECT_TRUE(Server->IsClient(fresh));
    EXPECT_EQ(Disconnects, 0);
    EXPECT_EQ(TCountingClient::Destroyed, 1);
}
