#include <gtest/gtest.h>

#include <sys/socket.h>

#include "net/NetTestUtil.h"
#include "net/WSocket.h"

namespace {

std::string StateName(TSocketState S)
{
    static const char* names[] = {"invalid", "opened", "bound", "connecting", "connected", "accepting", "listening", "closed"};
    return names[S];
}

// Records every event of a socket as a line of text.
struct TRecorder {
    std::vector<std::string> Events;
    void Attach(TWSocket& S)
    {
        S.OnChangeState = [this](TObject*, TSocketState O, TSocketState N) {
            Events.push_back("state " + StateName(O) + "->" + StateName(N));
        };
        S.OnSessionConnected = [this](TObject*, WORD E) { Events.push_back("connected " + std::to_string(E)); };
        S.OnSessionClosed = [this](TObject*, WORD E) { Events.push_back("closed " + std::to_string(E)); };
        S.OnDataSent = [this](TObject*, WORD E) { Events.push_back("sent " + std::to_string(E)); };
    }
    bool Has(const std::string& E) const { return std::find(Events.begin(), Events.end(), E) != Events.end(); }
};

// Connects S to Peer; the peer's side, or -1 when the connection did not
// come up.
int ConnectToPeer(TWSocket& S, TRawListener& Peer)
{
    S.SetAddr("127.0.0.1");
    S.SetPort(Peer.PortText());
    S.Connect();
    int fd = -1;
    if (!RunUntil([&] { return S.GetState() == wsConnected && (fd = fd >= 0 ? fd : Peer.Accept()) >= 0; }))
        return -1;
    return fd;
}

}  // namespace

TEST(WSocketEvents, ClientConnectionThenLocalClose)
{
    TRawListener peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return r.Has("sent 0"); }));
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(s.GetPeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.GetPeerPort(), peer.PortText());
    s.Close();
    std::vector<std::string> want = {"state closed->opened",    "state opened->connecting", "state connecting->connected",
                                     "connected 0",             "sent 0",                   "state connected->closed",
                                     "closed 0"};
    EXPECT_EQ(r.Events, want);
    s.Close();  // a second close does nothing
    EXPECT_EQ(r.Events.size(), want.size());
    EXPECT_EQ(s.GetPeerAddr(), "error");
    // The peer sees an orderly end of stream, not a reset.
    std::string got;
    char c;
    ASSERT_TRUE(RunUntil([&] { return ::recv(fd, &c, 1, 0) == 0; }));
    ::close(fd);
}

TEST(WSocketEvents, RemoteClose)
{
    TRawListener peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    std::string received;
    s.OnDataAvailable = [&](TObject*, WORD) { received += s.ReceiveStr(); };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    int fd = -1;
    ASSERT_TRUE(RunUntil([&] { return (fd = fd >= 0 ? fd : peer.Accept()) >= 0 && r.Has("sent 0"); }));
    SendAll(fd, "last words");
    ::close(fd);
    ASSERT_TRUE(RunUntil([&] { return s.GetState() == wsClosed; }));
    EXPECT_EQ(received, "last words");
    ASSERT_GE(r.Events.size(), 2u);
    EXPECT_EQ(r.Events[r.Events.size() - 2], "closed 0");
    EXPECT_EQ(r.Events.back(), "state connected->closed");
    RunIdle();
    EXPECT_EQ(std::count(r.Events.begin(), r.Events.end(), "closed 0"), 1);
}

TEST(WSocketEvents, RefusedConnection)
{
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(UnusedPort()));
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return r.Has("closed 0"); }));
    std::vector<std::string> want = {"state closed->opened",        "state opened->connecting", "state connecting->connected",
                                     "connected 10061",             "state connected->closed",  "closed 0"};
    EXPECT_EQ(r.Events, want);
    RunIdle();
    EXPECT_EQ(r.Events, want);
}

TEST(WSocketProperties, RefusalTexts)
{
    TRawListener peer;
    TWSocket s(nullptr);
    s.SetAddr(" 127.0.0.1 ");
    EXPECT_EQ(s.GetAddr(), "127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Connect: Socket already in use");
    s.SetAddr("127.0.0.1");  // same text: nothing
    s.SetPort(peer.PortText());
    EXPECT_EQ(ErrorText([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ErrorText([&] { s.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ErrorText([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(ErrorText([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(ErrorText([&] { s.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
    s.Close();
    // After a close the address must be assigned again.
    EXPECT_EQ(s.GetAddr(), "127.0.0.1");
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort(peer.PortText());
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetProto("");
    s.SetAddr("127.0.0.1");
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Connect: No Protocol Specified");

    s.SetLocalAddr("127.1");
    EXPECT_EQ(s.GetLocalAddr(), "127.0.0.1");
    s.SetLocalAddr("");
    EXPECT_EQ(s.GetLocalAddr(), "0.0.0.0");
    EXPECT_EQ(ErrorText([&] { s.SetLocalAddr("localhost"); }), "SetLocalAddr(): Invalid IP address");
    EXPECT_EQ(ErrorText([&] { s.SetLocalAddr("255.255.255.255"); }), "SetLocalAddr(): Invalid IP address");
    EXPECT_EQ(ErrorText([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.GetSendFlags(), wsSendUrgent);
    EXPECT_EQ(s.GetPeerPort(), "error");
    EXPECT_EQ(s.GetBoundPort(), "error");
}

TEST(WSocketProperties, ResolutionFailureAndOnError)
{
    TWSocket s(nullptr);
    s.SetAddr("1.2.3.4");
    s.SetPort("");
    s.SetPort("x");
    s.SetProto("tcp");
    s.SetPort(std::string(32, '1'));
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.GetState(), wsClosed);
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.GetLastError(), WSAENOTCONN);
    EXPECT_EQ(errors, 2);
}

TEST(WSocketProperties, SendWhileConnectingClosesWithoutSessionClosed)
{
    TRawListener peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    EXPECT_EQ(s.GetState(), wsConnecting);
    EXPECT_EQ(ErrorText([&] { s.Send("x", 1); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(s.GetState(), wsClosed);
    EXPECT_EQ(s.GetHSocket(), INVALID_SOCKET);
    RunIdle();
    EXPECT_FALSE(r.Has("closed 0"));
    EXPECT_FALSE(r.Has("connected 0"));
}

TEST(WSocketServer, ListenAcceptDupAndData)
{
    TWSocket server(nullptr), client(nullptr), conn(nullptr);
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    std::string serverGot;
    int connSent = 0;
    conn.OnDataSent = [&](TObject*, WORD) { ++connSent; };
    conn.OnDataAvailable = [&](TObject*, WORD) { serverGot += conn.ReceiveStr(); };
    server.OnSessionAvailable = [&](TObject*, WORD E) {
        ASSERT_EQ(E, 0);
        conn.Dup(server.Accept());
    };
    server.Listen();
    ASSERT_EQ(server.GetState(), wsListening);
    EXPECT_EQ(server.GetPeerAddr(), "error");
    std::string port = server.GetBoundPort();
    ASSERT_NE(port, "error");
    ASSERT_NE(port, "0");

    std::string clientGot;
    client.OnDataAvailable = [&](TObject*, WORD) { clientGot += client.ReceiveStr(); };
    client.OnSessionConnected = [&](TObject*, WORD) { client.SendStr("hello"); };
    client.SetAddr("127.0.0.1");
    client.SetPort(port);
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return serverGot == "hello"; }));
    EXPECT_EQ(conn.GetState(), wsConnected);
    EXPECT_EQ(connSent, 1);  // the writable notification right after Dup
    conn.SendStr("world");
    ASSERT_TRUE(RunUntil([&] { return clientGot == "world"; }));
    EXPECT_EQ(conn.GetPeerAddr(), "127.0.0.1");
    EXPECT_EQ(conn.GetPeerPort(), client.GetBoundPort());
    EXPECT_EQ(ErrorText([&] { client.Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
}

TEST(WSocketServer, ListenRefusals)
{
    TWSocket s(nullptr);
    EXPECT_EQ(ErrorText([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    s.SetPort("0");
    EXPECT_EQ(ErrorText([&] { s.Listen(); }), "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    // A port already listened on.
    TRawListener taken;
    s.SetAddr("127.0.0.1");
    s.SetPort(taken.PortText());
    EXPECT_EQ(ErrorText([&] { s.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(s.GetState(), wsClosed);
    EXPECT_EQ(s.GetHSocket(), INVALID_SOCKET);
}

TEST(WSocketData, NoHandlerDiscardsAndHandlerReadingNothingDoesNotSpin)
{
    TRawListener peer;
    TWSocket s(nullptr);
    int fd = ConnectToPeer(s, peer);
    ASSERT_GE(fd, 0);
    SendAll(fd, std::string(5000, 'a'));
    RunIdle();
    EXPECT_EQ(s.GetRcvdCount(), 0);  // read and dropped
    EXPECT_EQ(s.GetReadCount(), 0);

    int calls = 0;
    s.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    SendAll(fd, "zz");
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    RunIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.GetRcvdCount(), 2);
    EXPECT_EQ(s.ReceiveStr(), "zz");
    EXPECT_EQ(s.GetState(), wsConnected);
    ::close(fd);
}

TEST(WSocketData, CloseLaterAndFreeLaterRunAfterTheHandler)
{
    TRawListener peer;
    auto* s = new TWSocket(nullptr);
    int before = WSocketCount();
    s->SetAddr("127.0.0.1");
    s->SetPort(peer.PortText());
    bool closedInside = true;
    bool closed = false;
    s->OnSessionClosed = [&](TObject*, WORD) { closed = true; };
    s->OnSessionConnected = [&](TObject*, WORD) {
        s->CloseLater();
        closedInside = s->GetState() == wsClosed;
    };
    s->Connect();
    ASSERT_TRUE(RunUntil([&] { return closed; }));
    EXPECT_FALSE(closedInside);

    bool aliveInside = false;
    s->OnChangeState = nullptr;
    s->OnSessionClosed = [&](TObject*, WORD) {
        s->FreeLater();
        aliveInside = WSocketCount() == before;
    };
    s->SetAddr("127.0.0.1");
    s->SetPort(peer.PortText());
    s->OnSessionConnected = [&](TObject*, WORD) { s->Close(); };
    s->Connect();
    ASSERT_TRUE(RunUntil([&] { return WSocketCount() == before - 1; }));
    EXPECT_TRUE(aliveInside);
}

TEST(WSocketData, BackgroundExceptionAbortsUnlessKept)
{
    TRawListener peer;
    TWSocket s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return s.GetState() == wsConnected; }));
    std::string text;
    s.OnBgException = [&](TObject*, Exception& E, bool& CanClose) {
        text = E.Message();
        CanClose = false;
    };
    PostMessage(s.GetHandle(), WM_TEST_EXCEPTION, 0, 0);
    ASSERT_TRUE(RunUntil([&] { return !text.empty(); }));
    EXPECT_EQ(text, "Test exception in WSocket");
    EXPECT_EQ(s.GetState(), wsConnected);
    s.OnBgException = nullptr;
    PostMessage(s.GetHandle(), WM_TEST_EXCEPTION, 0, 0);
    ASSERT_TRUE(RunUntil([&] { return s.GetState() == wsClosed; }));
}

TEST(WSocketDns, DottedAddressAnswersInsideTheCall)
{
    TWSocket s(nullptr);
    std::vector<int> done;
    s.OnDnsLookupDone = [&](TObject*, WORD E) { done.push_back(E); };
    s.DnsLookup("127.0.0.1");
    ASSERT_EQ(done, std::vector<int>{0});
    EXPECT_EQ(s.GetDnsResult(), "127.0.0.1");
    EXPECT_TRUE(s.GetDnsResultList().empty());

    EXPECT_EQ(ErrorText([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(done, (std::vector<int>{0, 10022}));
}

TEST(WSocketDns, AsynchronousLookupsAndCancel)
{
    TWSocket s(nullptr);
    std::vector<int> done;
    s.OnDnsLookupDone = [&](TObject*, WORD E) { done.push_back(E); };
    s.DnsLookup("localhost");
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done[0], 0);
    EXPECT_EQ(s.GetDnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.GetDnsResultList().empty());
    EXPECT_EQ(s.GetDnsResultList()[0], "127.0.0.1");

    done.clear();
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done[0], 0);
    EXPECT_FALSE(s.GetDnsResult().empty());
    EXPECT_EQ(s.GetDnsResultList().size(), 1u);

    done.clear();
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(done, std::vector<int>{10004});
    RunIdle();
    EXPECT_EQ(done, std::vector<int>{10004});  // the completion is not reported

    // Destroying a socket with a lookup pending reports nothing.
    done.clear();
    {
        TWSocket t(nullptr);
        t.OnDnsLookupDone = [&](TObject*, WORD E) { done.push_back(E); };
        t.DnsLookup("localhost");
    }
    RunIdle();
    EXPECT_TRUE(done.empty());
}

TEST(WSocketUdp, ListenConnectBroadcast)
{
    // The recorder outlives the sockets, whose destruction it still records.
    TRecorder r;
    TWSocket rx(nullptr), tx(nullptr), bc(nullptr);
    r.Attach(rx);
    rx.SetProto("udp");
    rx.SetAddr("127.0.0.1");
    rx.SetPort("0");
    rx.Listen();
    std::vector<std::string> want = {"state closed->bound", "state bound->listening", "state listening->connected",
                                     "connected 0"};
    EXPECT_EQ(std::vector<std::string>(r.Events.begin(), r.Events.begin() + 4), want);
    std::string port = rx.GetBoundPort();
    std::string got;
    rx.OnDataAvailable = [&](TObject*, WORD) {
        char buf[100];
        sockaddr_in from{};
        int len = sizeof from;
        int n = rx.ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    tx.SetProto("udp");
    tx.SetAddr("127.0.0.1");
    tx.SetPort(port);
    tx.Connect();
    EXPECT_EQ(tx.GetState(), wsConnected);
    EXPECT_EQ(tx.SendStr("datagram"), 8);
    ASSERT_TRUE(RunUntil([&] { return got == "datagram"; }));

    bc.SetProto("udp");
    bc.SetAddr("255.255.255.255");
    bc.SetPort(port);
    bc.Connect();
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(bc.GetHSocket(), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(WSocketPause, PauseHoldsNotifications)
{
    TRawListener peer;
    TWSocket s(nullptr);
    std::string got;
    s.OnDataAvailable = [&](TObject*, WORD) { got += s.ReceiveStr(); };
    int fd = ConnectToPeer(s, peer);
    ASSERT_GE(fd, 0);
    RunIdle();
    s.Pause();
    SendAll(fd, "held");
    RunIdle();
    EXPECT_EQ(got, "");
    s.Resume();
    ASSERT_TRUE(RunUntil([&] { return got == "held"; }));
    ::close(fd);
}

TEST(WSocketData, WaitUntilClosedDeliversTheRest)
{
    TRawListener peer;
    TWSocket s(nullptr);
    std::string got;
    s.OnDataAvailable = [&](TObject*, WORD) { got += s.ReceiveStr(); };
    int fd = ConnectToPeer(s, peer);
    ASSERT_GE(fd, 0);
    SendAll(fd, "goodbye");
    ::close(fd);
    s.WaitUntilClosed();
    EXPECT_EQ(s.GetState(), wsClosed);
    EXPECT_EQ(got, "goodbye");
}

TEST(WSocketServer, PeerGoneBeforeDupStillCloses)
{
    TWSocket server(nullptr), conn(nullptr);
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    int fd = RawConnect(std::stoi(server.GetBoundPort()));
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    bool closed = false;
    conn.OnSessionClosed = [&](TObject*, WORD) { closed = true; };
    server.OnSessionAvailable = [&](TObject*, WORD) {
        SOCKET h = server.Accept();
        ::close(fd);  // reset before the handle is adopted
        RunIdle();
        conn.Dup(h);
    };
    ASSERT_TRUE(RunUntil([&] { return closed; }));
    EXPECT_EQ(conn.GetState(), wsClosed);
}

TEST(WSocketData, FreeLaterOfAnOwnedSocket)
{
    TComponent owner(nullptr);
    TWSocket* s = owner.Make<TWSocket>();
    EXPECT_EQ(owner.ComponentCount(), 1);
    s->FreeLater();
    EXPECT_EQ(owner.ComponentCount(), 1);
    RunIdle();
    EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(WSocketData, ReconnectFromOnSessionClosed)
{
    TRawListener peer;
    TWSocket s(nullptr);
    int closes = 0;
    s.OnSessionClosed = [&](TObject*, WORD) {
        if (++closes == 1) {
            s.SetAddr("127.0.0.1");
            s.SetPort(peer.PortText());
            s.Connect();
        }
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return s.GetState() == wsConnected; }));
    s.Close();
    EXPECT_EQ(closes, 1);
    ASSERT_TRUE(RunUntil([&] { return s.GetState() == wsConnected; }));
    s.Close();
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(s.GetState(), wsClosed);
}

TEST(WSocketPause, PrivatePumpStopsAtQuit)
{
    TWSocket s(nullptr);
    s.SetMultiThreaded(true);
    bool ran = false;
    HWND w = s.GetHandle();
    (void)w;
    s.OnDnsLookupDone = [&](TObject*, WORD) { ran = true; };
    s.DnsLookup("localhost");
    PostQuitMessage(0);
    RunUntil([&] {
        s.PumpMessages();
        return ran;
    });
    EXPECT_TRUE(s.GetTerminated());
    EXPECT_TRUE(ran);
}
