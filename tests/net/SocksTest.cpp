// TWSocket through SOCKS proxies: real ones (microsocks, danted) to an echo
// server, and a scripted one for the replies real proxies will not give on
// demand.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "net/NetTestUtil.h"
#include "net/SocksPeers.h"
#include "net/WSocket.h"
#include "net/WSocketS.h"

namespace {

// Echoes every byte back, on 127.0.0.1.
struct TEchoServer {
    TWSocketServer Srv{nullptr};
    std::string Port;
    TEchoServer()
    {
        Srv.SetBanner("");
        Srv.OnClientConnect = [](TObject*, TWSocketClient* C, WORD) {
            C->OnDataAvailable = [C](TObject*, WORD) { C->SendStr(C->ReceiveStr()); };
        };
        Srv.SetAddr("127.0.0.1");
        Srv.SetPort("0");
        Srv.Listen();
        Port = Srv.GetBoundPort();
    }
};

// A proxy that plays a script on one connection in a thread of its own:
// it reads what the client sends into Received and writes each reply once
// the client has sent the byte count before it. After the script it
// records the tunnel data until the client closes, or hangs up at once.
class TScriptedProxy {
public:
    explicit TScriptedProxy(std::vector<std::pair<size_t, std::string>> Steps, bool Hangup = false)
        : FSteps(std::move(Steps)), FHangup(Hangup)
    {
        FListen = BindLoopback(Port, 1);
        FThread = std::thread([this] { Run(); });
    }
    ~TScriptedProxy() { Join(); }
    // Waits for the script's end; Received is safe to read afterwards.
    void Join()
    {
        if (!FThread.joinable())
            return;
        RunUntil([&] { return FDone.load(); });
        ::shutdown(FListen, SHUT_RDWR);
        if (int c = FConn.load(); c >= 0)
            ::shutdown(c, SHUT_RDWR);
        FThread.join();
        ::close(FListen);
    }
    std::string PortText() const { return std::to_string(Port); }

    int Port = 0;
    std::string Received;

private:
    void Run()
    {
        timeval tv{10, 0};
        setsockopt(FListen, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int c = ::accept(FListen, nullptr, nullptr);
        if (c >= 0) {
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            FConn = c;
            char buf[4096];
            for (const auto& [want, reply] : FSteps) {
                while (Received.size() < want) {
                    ssize_t n = ::recv(c, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    Received.append(buf, static_cast<size_t>(n));
                }
                ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            for (ssize_t n; !FHangup && (n = ::recv(c, buf, sizeof buf, 0)) > 0;)
                Received.append(buf, static_cast<size_t>(n));
            FConn = -1;
            ::close(c);
        }
        FDone = true;
    }
    std::vector<std::pair<size_t, std::string>> FSteps;
    bool FHangup;
    int FListen = -1;
    std::atomic<int> FConn{-1};
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

std::string B(std::initializer_list<int> Bytes)
{
    std::string s;
    for (int b : Bytes)
        s += static_cast<char>(b);
    return s;
}

// The 2-byte port in network order.
std::string P(int Port) { return B({Port >> 8, Port & 0xFF}); }

// A client socket that records its events as text.
struct TClient {
    TWSocket S{nullptr};
    std::vector<std::string> Events;
    std::string Data;
    bool Closed = false;
    TClient()
    {
        S.OnSocksConnected = [this](TObject*, WORD E) { Events.push_back("socks connected " + std::to_string(E)); };
        S.OnSocksError = [this](TObject*, int E, const std::string& M) {
            Events.push_back("socks error " + std::to_string(E) + " " + M);
        };
        S.OnSocksAuthState = [this](TObject*, TSocksAuthState A) { Events.push_back("auth " + std::to_string(A)); };
        S.OnSessionConnected = [this](TObject*, WORD E) { Events.push_back("connected " + std::to_string(E)); };
        S.OnSessionClosed = [this](TObject*, WORD E) {
            Events.push_back("closed " + std::to_string(E));
            Closed = true;
        };
        S.OnDataAvailable = [this](TObject*, WORD) { Data += S.ReceiveStr(); };
    }
    void Connect(const std::string& ProxyPort, const std::string& Port, const std::string& Level = "5",
                 const std::string& Addr = "127.0.0.1")
    {
        Closed = false;
        S.SetSocksServer("127.0.0.1");
        S.SetSocksPort(ProxyPort);
        S.SetSocksLevel(Level);
        S.SetAddr(Addr);
        S.SetPort(Port);
        S.Connect();
    }
    bool Has(const std::string& E) const { return std::find(Events.begin(), Events.end(), E) != Events.end(); }
    // Sends Text and waits for it to come back.
    bool Echoes(const std::string& Text)
    {
        Data.clear();
        S.SendStr(Text);
        return RunUntil([&] { return Data.size() >= Text.size(); }) && Data == Text;
    }
    // The three reports of a failed negotiation, in order, and nothing else.
    std::vector<std::string> Failure(int Code, const std::string& Text) const
    {
        return {"socks error " + std::to_string(Code) + " " + Text, "connected " + std::to_string(Code),
                "closed " + std::to_string(Code)};
    }
    std::vector<std::string> Tail(size_t N) const
    {
        return {Events.end() - static_cast<long>(std::min(N, Events.size())), Events.end()};
    }
};

}  // namespace

TEST(SocksSettings, RefusalsAndReset)
{
    TWSocket s(nullptr);
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.GetSocksLevel(), "4A");
    EXPECT_EQ(ErrorText([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.GetSocksServer(), "127.0.0.1");
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    EXPECT_EQ(ErrorText([&] { s.Listen(); }), "Listening is not supported thru socks server");
    s.SetProto("udp");
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
    s.SetProto("tcp");
    EXPECT_EQ(ErrorText([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");  // no SocksPort

    TEchoServer echo;
    auto proxy = TSocksProxy::Microsocks();
    ASSERT_TRUE(proxy->Listening());
    TClient c;
    c.S.SetSocksUsercode("kept");
    c.Connect(std::to_string(proxy->Port), echo.Port, "5");
    ASSERT_TRUE(RunUntil([&] { return c.Has("connected 0"); }));
    EXPECT_EQ(ErrorText([&] { c.S.SetSocksServer("x"); }), "Can't change socks server if not closed");
    EXPECT_EQ(ErrorText([&] { c.S.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(ErrorText([&] { c.S.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    c.S.Close();
    EXPECT_EQ(c.S.GetSocksServer(), "");
    EXPECT_EQ(c.S.GetSocksPort(), "");
    EXPECT_EQ(c.S.GetSocksUsercode(), "kept");
    // The next connection goes direct unless the proxy is set again.
    c.Events.clear();
    c.S.SetAddr("127.0.0.1");
    c.S.SetPort(echo.Port);
    c.S.Connect();
    ASSERT_TRUE(RunUntil([&] { return c.Has("connected 0"); }));
    EXPECT_FALSE(c.Has("socks connected 0"));
    EXPECT_TRUE(c.Echoes("direct"));
}

TEST(SocksMicrosocks, TunnelWithLinesAndWithAuthentication)
{
    TEchoServer echo;
    auto open = TSocksProxy::Microsocks();
    auto guarded = TSocksProxy::Microsocks("alice", "s3cret");
    ASSERT_TRUE(open->Listening() && guarded->Listening());

    // Line mode set before connecting sees only the tunnel's lines.
    TClient c;
    std::vector<std::string> lines;
    c.S.SetLineMode(true);
    c.S.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(c.S.ReceiveStr()); };
    c.Connect(std::to_string(open->Port), echo.Port);
    ASSERT_TRUE(RunUntil([&] { return c.Has("connected 0"); }));
    EXPECT_EQ(c.Events, (std::vector<std::string>{"socks connected 0", "connected 0"}));
    c.S.SendStr("one\r\ntwo\r\n");
    ASSERT_TRUE(RunUntil([&] { return lines.size() >= 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n"}));
    c.S.Close();

    TClient a;
    a.S.SetSocksUsercode("alice");
    a.S.SetSocksPassword("s3cret");
    a.S.SetSocksAuthentication(socksAuthenticateUsercode);
    a.Connect(std::to_string(guarded->Port), echo.Port);
    ASSERT_TRUE(RunUntil([&] { return a.Has("connected 0"); }));
    EXPECT_EQ(a.Events, (std::vector<std::string>{"socks connected 0", "auth 0", "auth 1", "connected 0"}));
    EXPECT_TRUE(a.Echoes(std::string(100000, 'x')));
    a.S.Close();
}

TEST(SocksMicrosocks, FailuresReachConnectAndClose)
{
    TEchoServer echo;
    auto guarded = TSocksProxy::Microsocks("alice", "s3cret");
    ASSERT_TRUE(guarded->Listening());
    std::string port = std::to_string(guarded->Port);
    TClient c;
    c.S.SetSocksUsercode("alice");
    c.S.SetSocksPassword("wrong");
    c.S.SetSocksAuthentication(socksAuthenticateUsercode);
    c.Connect(port, echo.Port);
    ASSERT_TRUE(RunUntil([&] { return c.Closed; }));
    EXPECT_EQ(c.Tail(5), (std::vector<std::string>{"auth 0", "socks error 20015 socks authentication failed",
                                                   "connected 20015", "auth 2", "closed 20015"}));
    EXPECT_EQ(c.S.GetState(), wsClosed);

    // Offering no authentication to a proxy that wants it.
    c.Events.clear();
    c.S.SetSocksAuthentication(socksNoAuthentication);
    c.Connect(port, echo.Port);
    ASSERT_TRUE(RunUntil([&] { return c.Closed; }));
    EXPECT_EQ(c.Tail(3), c.Failure(20003, "authentification method not acceptable"));

    // The proxy cannot reach the destination.
    c.Events.clear();
    c.S.SetSocksPassword("s3cret");
    c.S.SetSocksAuthentication(socksAuthenticateUsercode);
    c.Connect(port, std::to_string(UnusedPort()));
    ASSERT_TRUE(RunUntil([&] { return c.Closed; }));
    EXPECT_EQ(c.Tail(3), c.Failure(20008, "connection refused"));
    RunIdle();
    EXPECT_EQ(std::count(c.Events.begin(), c.Events.end(), "closed 20008"), 1);
}

TEST(SocksDante, Versions4And5)
{
    if (!TSocksProxy::CanRunDante())
        GTEST_SKIP() << "danted must start as root to switch to its unprivileged user";
    TEchoServer echo;
    auto dante = TSocksProxy::Dante();
    ASSERT_TRUE(dante->Listening()) << dante->DanteLog();
    for (const char* level : {"4", "5"}) {
        SCOPED_TRACE(level);
        TClient c;
        c.Connect(std::to_string(dante->Port), echo.Port, level);
        ASSERT_TRUE(RunUntil([&] { return c.Has("connected 0"); })) << dante->DanteLog();
        EXPECT_TRUE(c.Echoes(std::string("through dante ") + level));
        c.S.Close();
        c.Connect(std::to_string(dante->Port), std::to_string(UnusedPort()), level);
        ASSERT_TRUE(RunUntil([&] { return c.Closed; }));
        if (level[0] == '4')
            EXPECT_EQ(c.Tail(3), c.Failure(20016, "request rejected or failed"));
        else
            EXPECT_EQ(c.Tail(3), c.Failure(20008, "connection refused"));
    }
    EXPECT_TRUE(RunUntil([&] { return dante->DanteLog().find("Connection refused") != std::string::npos; }));
}

TEST(SocksScripted, Version4And4ARequestsAndReplyCodes)
{
    // 4A sends the name; 4 resolves it here.
    TScriptedProxy a({{22, B({0, 90, 0, 0, 0, 0, 0, 0}) + "tunnel"}});
    TClient c;
    c.S.SetSocksUsercode("bob");
    c.Connect(a.PortText(), "2121", "4A", "localhost");
    ASSERT_TRUE(RunUntil([&] { return c.Data == "tunnel"; }));
    EXPECT_EQ(c.Events, (std::vector<std::string>{"socks connected 0", "connected 0"}));
    c.S.Close();
    a.Join();
    EXPECT_EQ(a.Received, B({4, 1}) + P(2121) + B({0, 0, 0, 1}) + "bob" + B({0}) + "localhost" + B({0}));

    const std::vector<std::tuple<int, int, std::string>> codes = {
        {91, 20016, "request rejected or failed"},
        {92, 20008, "connection refused"},
        {93, 20015, "authentification failed"},
        {94, 20012, "unassigned error #94"},
    };
    for (const auto& [reply, code, text] : codes) {
        TScriptedProxy p({{9, B({0, reply, 0, 0, 0, 0, 0, 0})}});
        TClient c4;
        c4.Connect(p.PortText(), "80", "4", "127.0.0.1");
        ASSERT_TRUE(RunUntil([&] { return c4.Closed; })) << reply;
        EXPECT_EQ(c4.Tail(3), c4.Failure(code, text));
        p.Join();
        EXPECT_EQ(p.Received, B({4, 1}) + P(80) + B({127, 0, 0, 1, 0}));
    }

    // A destination that cannot be resolved here: nothing is sent.
    TScriptedProxy silent({});
    TClient bad;
    const std::string name(300, 'h');
    bad.Connect(silent.PortText(), "80", "4", name);
    ASSERT_TRUE(RunUntil([&] { return bad.Closed; }));
    EXPECT_EQ(bad.Tail(3),
              bad.Failure(20017, "ESocketException WSocketResolveHost: '" + name + "' Invalid Hostname."));
    silent.Join();
    EXPECT_EQ(silent.Received, "");
}

TEST(SocksScripted, Version5ReplyCodes)
{
    const std::string request = B({5, 1, 0, 3, 9}) + "127.0.0.1" + P(7);
    const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                           "network unreachable",          "host unreachable",
                           "connection refused",           "time to live expired",
                           "command not supported",        "address type not supported"};
    for (int reply = 1; reply <= 10; ++reply) {
        std::string answer = reply <= 9 ? B({5, reply, 0, 1}) : B({5, 0, 0, 4, 0});  // 10: an IPv6 address
        TScriptedProxy p({{3, B({5, 0})}, {3 + request.size(), answer}});
        TClient c;
        c.Connect(p.PortText(), "7");
        ASSERT_TRUE(RunUntil([&] { return c.Closed; })) << reply;
        std::vector<std::string> want = reply <= 8   ? c.Failure(20003 + reply, texts[reply - 1])
                                        : reply == 9 ? c.Failure(20012, "unassigned error #9")
                                                     : c.Failure(20011, "address type not supported");
        want.insert(want.begin(), "socks connected 0");
        EXPECT_EQ(c.Events, want);
        p.Join();
        EXPECT_EQ(p.Received, B({5, 1, 0}) + request);
    }
}

TEST(SocksScripted, BytesBehindTheReplyComeFirstAndCount)
{
    // A name reply of 16 bytes with tunnel data in the same write; newer
    // data only after the client asks.
    TScriptedProxy p(
        {{3, B({5, 0})}, {3 + 16, B({5, 0, 0, 3, 9}) + "proxyhost" + P(1080) + "EXTRA"}, {3 + 16 + 2, "NEWER"}});
    TClient c;
    int countAtConnect = -1;
    std::vector<std::string> reads;
    c.S.OnSessionConnected = [&](TObject*, WORD) { countAtConnect = c.S.GetRcvdCount(); };
    c.S.OnDataAvailable = [&](TObject*, WORD) {
        char buf[2];
        int n = c.S.Receive(buf, sizeof buf);
        if (n > 0)
            reads.emplace_back(buf, static_cast<size_t>(n));
        if (reads.size() == 3)
            c.S.SendStr("go");
    };
    c.Connect(p.PortText(), "7");
    ASSERT_TRUE(RunUntil([&] { return reads.size() >= 6; }));
    EXPECT_EQ(countAtConnect, 5);
    EXPECT_EQ(reads, (std::vector<std::string>{"EX", "TR", "A", "NE", "WE", "R"}));
    EXPECT_EQ(c.S.GetReadCount(), 2 + 16 + 5 + 5);  // each byte counted once
    c.S.Close();
}

TEST(SocksScripted, LineModeStartsBehindTheReply)
{
    TScriptedProxy p({{3, B({5, 0})}, {19, B({5, 0, 0, 1, 127, 0, 0, 1, 0, 7}) + "line1\r\nli"}, {20, "ne2\r\n"}});
    TClient c;
    std::vector<std::string> lines;
    c.S.SetLineMode(true);
    c.S.OnDataAvailable = [&](TObject*, WORD) {
        lines.push_back(c.S.ReceiveStr());
        c.S.SendStr("!");
    };
    c.Connect(p.PortText(), "7");
    ASSERT_TRUE(RunUntil([&] { return lines.size() >= 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"line1\r\n", "line2\r\n"}));
}

TEST(SocksScripted, OddMethodAndAuthenticationReplies)
{
    struct TCase {
        std::vector<std::pair<size_t, std::string>> Script;
        std::vector<std::string> Want;
        std::string User = "u";
    };
    // No authentication is always offered; user name and password with a
    // user name only.
    const std::string offerBoth = B({5, 2, 0, 2}), offerNone = B({5, 1, 0});
    const std::string auth = B({1, 1}) + "u" + B({1}) + "p";
    const std::string request = B({5, 1, 0, 3, 9}) + "127.0.0.1" + P(7);
    std::vector<TCase> cases = {
        {{{4, B({5, 1})}},
         {"socks error 20003 authentification method not acceptable", "connected 20003", "closed 20003"}},
        {{{4, B({4, 0})}}, {"socks error 20002 socks version error", "connected 20002", "closed 20002"}},
        {{{4, B({5, 2})}, {4 + auth.size(), B({1, 0, 9})}},
         {"auth 0", "socks error 20001 too much data availaible", "connected 20001", "auth 2", "closed 20001"}},
        {{{4, B({5, 2})}, {4 + auth.size(), B({5, 0})}},
         {"auth 0", "socks error 20002 socks version error", "connected 20002", "auth 2", "closed 20002"}},
        // No authentication needed after all: the connection proceeds.
        {{{4, B({5, 0})}, {4 + request.size(), B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "hi"}}, {"auth 3", "connected 0"}},
        // The proxy gives up without a word.
        {{{4, ""}}, {"socks error 10054 socks server closed the connection", "connected 10054", "closed 10054"}},
        // Without a user name: no authentication alone, and nothing else is
        // taken.
        {{{3, B({5, 0})}, {3 + request.size(), B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "hi"}}, {"connected 0"}, ""},
        {{{3, B({5, 2})}},
         {"socks error 20003 authentification method not acceptable", "connected 20003", "closed 20003"},
         ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        TScriptedProxy p(cases[i].Script, i == 5);
        TClient c;
        c.S.SetSocksUsercode(cases[i].User);
        c.S.SetSocksPassword("p");
        c.S.SetSocksAuthentication(socksAuthenticateUsercode);
        c.Connect(p.PortText(), "7");
        ASSERT_TRUE(RunUntil([&] { return c.Closed || c.Data == "hi"; }));
        EXPECT_EQ(std::vector<std::string>(c.Events.begin() + 1, c.Events.end()), cases[i].Want);
        c.S.Close();
        p.Join();
        const std::string& greeting = cases[i].User.empty() ? offerNone : offerBoth;
        EXPECT_EQ(p.Received.substr(0, greeting.size()), greeting);
    }
}

TEST(SocksScripted, ReconnectFromTheCloseHandlerGoesDirect)
{
    TEchoServer echo;
    TScriptedProxy p({{3, B({5, 1})}});
    TClient c;
    int closes = 0;
    c.S.OnSessionClosed = [&](TObject*, WORD E) {
        c.Events.push_back("closed " + std::to_string(E));
        if (++closes == 1) {
            c.S.SetAddr("127.0.0.1");
            c.S.SetPort(echo.Port);
            c.S.Connect();
        }
    };
    c.Connect(p.PortText(), echo.Port);
    ASSERT_TRUE(RunUntil([&] { return c.Has("connected 0"); })) << c.Events.size();
    EXPECT_EQ(c.Events, (std::vector<std::string>{"socks connected 0",
                                                  "socks error 20003 authentification method not acceptable",
                                                  "connected 20003", "closed 20003", "connected 0"}));
    EXPECT_TRUE(c.Echoes("direct"));
}
