#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "http/HttpSrv.h"
#include "net/LoopPeers.h"
#include "platform/Application.h"
#include "platform/FileStream.h"

namespace {

std::string Pattern(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 7 % 61);
    return s;
}

// What a get handler saw of a request.
struct TSeen {
    std::string Method, Path, Params, Version, Connection, Accept, Host;
    int32_t ContentLength = -1;
    std::vector<std::string> Header;
};

class HttpServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Top = Temp.Name();
        Docs = Top / "docs";
        std::filesystem::create_directory(Docs);
        Server = std::make_unique<THttpServer>(nullptr);
        Server->SetAddr("127.0.0.1");
        Server->SetPort("0");
        Server->SetDocDir(Docs.string());
        Server->OnServerStarted = [this](TObject*) { Events.push_back("started"); };
        Server->OnServerStopped = [this](TObject*) { Events.push_back("stopped"); };
        Server->OnClientConnect = [this](TObject*, THttpConnection* c, WORD) {
            Connections.push_back(c);
            if (OnConnect)
                OnConnect(c);
        };
        Server->OnClientDisconnect = [this](TObject*, THttpConnection*, WORD) { ++Disconnects; };
        Server->OnGetDocument = [this](TObject*, THttpConnection* c, THttpGetFlag& f) { Record(c, f); };
        Server->OnHeadDocument = [this](TObject*, THttpConnection* c, THttpGetFlag& f) { Record(c, f); };
    }
    void TearDown() override
    {
        Server.reset();
    }
    void Start()
    {
        Server->Start();
        ASSERT_EQ(Server->GetWSocketServer()->GetState(), wsListening);
        Port = std::stoi(Server->GetWSocketServer()->GetBoundPort());
    }
    void Record(THttpConnection* c, THttpGetFlag& f)
    {
        TSeen s;
        s.Method = c->GetMethod();
        s.Path = c->GetPath();
        s.Params = c->GetParams();
        s.Version = c->GetVersion();
        s.Connection = c->ReqConnection();
        s.Accept = c->ReqAccept();
        s.Host = c->ReqHost();
        s.ContentLength = c->ReqContentLength();
        s.Header = c->GetRequestHeader();
        Seen.push_back(s);
        if (OnDocument)
            OnDocument(c, f);
    }
    // Sends a request and waits until the server has closed.
    std::string Fetch(const std::string& request)
    {
        std::string answer;
        EXPECT_TRUE(LoopFetch(Port, request, answer));
        return answer;
    }
    // Keeps the server's side of each new connection from buffering much.
    void SmallServerSendBuffers()
    {
        OnConnect = [](THttpConnection* c) {
            int v = 4096;
            setsockopt(c->GetHSocket(), SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
        };
    }
    int ActiveClients() const { return Server->GetWSocketServer()->ClientCount(); }

    TApplication App;
    TTempDir Temp;
    std::filesystem::path Top, Docs;
    std::unique_ptr<THttpServer> Server;
    std::vector<std::string> Events;
    std::vector<THttpConnection*> Connections;
    std::vector<TSeen> Seen;
    std::function<void(THttpConnection*)> OnConnect;
    std::function<void(THttpConnection*, THttpGetFlag&)> OnDocument;
    int Disconnects = 0;
    int Port = 0;
};

const std::string NotFoundXJpg =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 148\r\nConnection: close\r\n\r\n"
    "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The requested URL /x.jpg"
    " was not found on this server.<P></BODY></HTML>\r\n";

} // namespace

TEST_F(HttpServer, DefaultsAndStartOnce)
{
    THttpServer fresh(nullptr);
    EXPECT_EQ(fresh.GetPort(), "80");
    EXPECT_EQ(fresh.GetAddr(), "0.0.0.0");
    EXPECT_EQ(fresh.GetDefaultDoc(), "index.html");
    int stopped = 0;
    fresh.OnServerStopped = [&](TObject*) { ++stopped; };
    fresh.Stop();
    EXPECT_EQ(stopped, 0);

    Start();
    Server->Start();
    EXPECT_EQ(Events, std::vector<std::string>{"started"});
}

TEST_F(HttpServer, RequestLinesAndHeaderFields)
{
    Start();
    OnDocument = [](THttpConnection*, THttpGetFlag& f) { f = gfNotFound; };
    Fetch("GET /snap/http.jpg?x=1&y=2 HTTP/1.1\r\nCONNECTION:keep-alive\r\nContent-Length: 12abc\r\n"
          "X-Custom: 1\r\nAccept:   */* \r\n\r\n");
    Fetch("get /a\n\n");
    Fetch("GET  /a   http/1.1 \nHost: h\ncontent-length:   42\nAccept-Language: ja\n\n");
    Fetch("GET /a?b?c HTTP/1.0\r\nHost\r: x\r\n\r\n");
    ASSERT_EQ(Seen.size(), 4u);

    EXPECT_EQ(Seen[0].Method, "GET");
    EXPECT_EQ(Seen[0].Path, "/snap/http.jpg");
    EXPECT_EQ(Seen[0].Params, "x=1&y=2");
    EXPECT_EQ(Seen[0].Version, "HTTP/1.1");
    EXPECT_EQ(Seen[0].Connection, "keep-alive");
    EXPECT_EQ(Seen[0].ContentLength, 0);
    EXPECT_EQ(Seen[0].Accept, "*/* ");
    EXPECT_EQ(Seen[0].Header, (std::vector<std::string>{"CONNECTION:keep-alive", "Content-Length: 12abc",
                                                        "X-Custom: 1", "Accept:   */* "}));

    EXPECT_EQ(Seen[1].Method, "GET");
    EXPECT_EQ(Seen[1].Path, "/a");
    EXPECT_EQ(Seen[1].Version, "HTTP/1.0");

    // Bare line feeds read like CR LF.
    EXPECT_EQ(Seen[2].Path, "/a");
    EXPECT_EQ(Seen[2].Version, "HTTP/1.1");
    EXPECT_EQ(Seen[2].ContentLength, 42);
    EXPECT_EQ(Seen[2].Host, "h");

    EXPECT_EQ(Seen[3].Path, "/a");
    EXPECT_EQ(Seen[3].Params, "b?c");
    // A bare CR does not end a line; the line has no Host: prefix.
    EXPECT_EQ(Seen[3].Host, "");
    EXPECT_EQ(Seen[3].Header, std::vector<std::string>{"Host\r: x"});
}

TEST_F(HttpServer, NotFoundPageByteForByte)
{
    Start();
    EXPECT_EQ(Fetch("GET /x.jpg HTTP/1.1\r\n\r\n"), NotFoundXJpg);
    EXPECT_EQ(Fetch("HEAD /x.jpg HTTP/1.1\r\n\r\n"), NotFoundXJpg.substr(0, NotFoundXJpg.find("<HTML>")));
    std::string put = Fetch("PUT /x.jpg HTTP/1.1\r\n\r\n");
    EXPECT_EQ(put, NotFoundXJpg);
    int posts = 0;
    Server->OnPostDocument = [&](TObject*, THttpConnection*, THttpGetFlag&) { ++posts; };
    Spit(Docs / "x.jpg", "exists");
    EXPECT_EQ(Fetch("POST /x.jpg HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"), NotFoundXJpg);
    EXPECT_EQ(posts, 1);
    // No target at all.
    std::string bare = Fetch("GET\r\n\r\n");
    EXPECT_EQ(bare.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << bare;
}

TEST_F(HttpServer, FileInPiecesThenShutdownAndClose)
{
    std::string body = Pattern(5000, 'a');
    Spit(Docs / "f.jpg", body);
    Start();
    std::vector<int> pieces;
    OnConnect = [&](THttpConnection* c) { c->OnSendData = [&](TObject*, int n) { pieces.push_back(n); }; };
    std::string got = Fetch("GET /f.jpg HTTP/1.0\r\n\r\n");
    std::string header = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5000\r\n\r\n";
    EXPECT_EQ(got, header + body);
    EXPECT_EQ(pieces, (std::vector<int>{static_cast<int>(header.size()), 1514, 1514, 1514, 458}));
    ASSERT_TRUE(RunUntil([&] { return ActiveClients() == 0; }));
    EXPECT_EQ(Disconnects, 1);

    // HEAD carries the size and nothing else.
    EXPECT_EQ(Fetch("HEAD /f.jpg HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5000\r\nConnection: close\r\n\r\n");
    Spit(Docs / "readme", "r");
    EXPECT_EQ(Fetch("GET /readme HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: application/binary\r\nContent-Length: 1\r\n\r\nr");
    // An urgent byte, ahead of the request or inside it, stays out of it.
    for (const char* before : {"", "GET /rea"}) {
        TLoopClient u(Port);
        u.Send(before);
        RunUntil([] { return false; }, 50);
        ASSERT_EQ(::send(u.Fd(), "!", 1, MSG_OOB), 1);
        u.Send(std::string("GET /readme HTTP/1.0\r\n\r\n").substr(std::strlen(before)));
        ASSERT_TRUE(RunUntil([&] { return u.Closed; }));
        EXPECT_EQ(u.Data.substr(0, 17), "HTTP/1.0 200 OK\r\n") << before;
    }
    Spit(Docs / "index.html", "<p>");
    EXPECT_EQ(Fetch("GET / HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3\r\n\r\n<p>");
}

TEST_F(HttpServer, KeepAliveKeepsTheConnectionAndTheHeaderLines)
{
    Spit(Docs / "a.txt", "hello");
    Start();
    TLoopClient c(Port);
    c.Send("GET /a.txt HTTP/1.0\r\nConnection: kEEP-aLIVE\r\nAccept: x\r\n\r\n");
    // The sending side is shut down after the answer; the connection stays.
    ASSERT_TRUE(RunUntil([&] { return c.Closed; }));
    EXPECT_EQ(c.Data, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
    ASSERT_TRUE(RunUntil([&] { return ActiveClients() == 1 && Connections[0]->GetRequestState() == hcRequestLine; }));
    RunPending();
    EXPECT_EQ(ActiveClients(), 1);

    OnDocument = [](THttpConnection*, THttpGetFlag& f) { f = gfHandled; };
    c.Send("GET /b HTTP/1.0\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return Seen.size() == 2; }));
    EXPECT_EQ(Seen[1].Accept, "");
    EXPECT_EQ(Seen[1].Connection, "");
    EXPECT_EQ(Seen[1].Header, (std::vector<std::string>{"Connection: kEEP-aLIVE", "Accept: x", "Host: h"}));
}

TEST_F(HttpServer, HandlersSteerTheAnswer)
{
    Spit(Docs / "a.txt", "AAAA");
    Spit(Top / "stream.bin", "streamed bytes");
    Start();
    OnDocument = [&](THttpConnection* c, THttpGetFlag& f) {
        if (c->GetPath() == "/other")
            c->SetDocument((Docs / "a.txt").string());
        else if (c->GetPath() == "/stream") {
            c->SetDocStream(std::make_unique<TFileStream>((Top / "stream.bin").string(), fmOpenRead));
            f = gfSendStream;
        } else if (c->GetPath() == "/nostream")
            f = gfSendStream;
        else if (c->GetPath() == "/handled") {
            c->SendStr("mine");
            c->CloseLater();
            f = gfHandled;
        } else if (c->GetPath() == "/bad")
            f = static_cast<THttpGetFlag>(7);
        else if (c->GetPath() == "/throws")
            throw Exception("handler failed");
    };
    EXPECT_EQ(Fetch("GET /other HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nAAAA");
    EXPECT_EQ(Fetch("GET /stream HTTP/1.0\r\n\r\n"), "streamed bytes");
    EXPECT_EQ(Fetch("GET /nostream HTTP/1.0\r\n\r\n"), "");
    EXPECT_EQ(Fetch("GET /handled HTTP/1.0\r\n\r\n"), "mine");
    EXPECT_EQ(Fetch("GET /bad HTTP/1.0\r\n\r\n"), "");
    EXPECT_EQ(Fetch("GET /throws HTTP/1.0\r\n\r\n"), "");
}

TEST_F(HttpServer, PostedDataReachesTheHandler)
{
    Start();
    std::string posted;
    Server->OnPostDocument = [](TObject*, THttpConnection*, THttpGetFlag& f) { f = gfAcceptData; };
    Server->OnPostedData = [&](TObject*, THttpConnection* c, WORD) {
        posted += c->ReceiveStr();
        if (posted.size() >= 6) {
            c->SendStr("ok");
            c->CloseLater();
        }
    };
    EXPECT_EQ(Fetch("POST /form HTTP/1.0\r\nContent-Length: 6\r\n\r\nab\ncd\n"), "ok");
    EXPECT_EQ(posted, "ab\ncd\n");
}

TEST_F(HttpServer, TraversalIsRefused)
{
    Spit(Top / "secret.txt", "SECRET");
    std::filesystem::create_symlink(Top / "secret.txt", Docs / "link.txt");
    std::filesystem::create_directory(Docs / "sub");
    std::filesystem::create_directory(Docs / "sw");
    Spit(Docs / "sw" / "a.txt", "fine");
    Spit(Top / "a.txt", "SECRET");
    Start();
    // A verdict kept for the file inside does not cover the one behind a
    // link swapped in afterwards.
    EXPECT_NE(Fetch("GET /sw/a.txt HTTP/1.0\r\n\r\n").find("fine"), std::string::npos);
    std::filesystem::remove_all(Docs / "sw");
    std::filesystem::create_directory_symlink(Top, Docs / "sw");
    for (const char* path :
         {"/../secret.txt", "/sub/../../secret.txt", "../secret.txt", "/link.txt", "/sub", "/sw/a.txt"}) {
        std::string got = Fetch(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(got.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << path;
        EXPECT_EQ(got.find("SECRET"), std::string::npos) << path;
    }
}

TEST_F(HttpServer, OversizedAndSlowRequestsAreClosed)
{
    Start();
    // A line that never ends.
    TLoopClient a(Port);
    a.Send("GET /" + std::string(20000, 'a'));
    ASSERT_TRUE(RunUntil([&] { return a.Closed; }));
    EXPECT_EQ(a.Data, "");
    // A complete line that is too long.
    EXPECT_EQ(Fetch("GET /" + std::string(9000, 'b') + " HTTP/1.0\r\n\r\n"), "");
    // Too many header lines.
    std::string many = "GET /x HTTP/1.0\r\n";
    for (int i = 0; i < 101; ++i)
        many += "X-H: " + std::to_string(i) + "\r\n";
    EXPECT_EQ(Fetch(many + "\r\n"), "");
    // One hundred are fine.
    std::string hundred = "GET /x.jpg HTTP/1.1\r\n";
    for (int i = 0; i < 100; ++i)
        hundred += "X-H: " + std::to_string(i) + "\r\n";
    EXPECT_EQ(Fetch(hundred + "\r\n"), NotFoundXJpg);
    EXPECT_TRUE(Seen.size() == 1 && Seen[0].Header.size() == 100u);

    // A silent client is closed when its wait runs out.
    OnConnect = [](THttpConnection* c) { c->SetIdleTimeout(50); };
    TLoopClient silent(Port);
    ASSERT_TRUE(RunUntil([&] { return silent.Closed; }));
    EXPECT_EQ(silent.Data, "");
    ASSERT_TRUE(RunUntil([&] { return ActiveClients() == 0; }));
}

TEST_F(HttpServer, UnopenableFileGetsTheNotFoundPage)
{
    Spit(Docs / "x.jpg", "locked");
    TFileStream locker((Docs / "x.jpg").string(), fmOpenReadWrite | fmShareExclusive);
    Start();
    EXPECT_EQ(Fetch("GET /x.jpg HTTP/1.1\r\n\r\n"), NotFoundXJpg);
}

TEST_F(HttpServer, RenamedFileLeavesTheOldSenderWhole)
{
    std::string oldBody = Pattern(2 << 20, 'o');
    std::string newBody = Pattern(3000, 'n');
    Spit(Docs / "http.jpg", oldBody);
    SmallServerSendBuffers();
    Start();
    TLoopClient slow(Port, false);
    slow.SetSmallReceiveBuffer();
    slow.Reading = false;
    slow.Connect(Port);
    slow.Send("GET /http.jpg HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return !Connections.empty() && Connections[0]->GetDocStream() != nullptr; }));

    Spit(Docs / "http.jpg.tmp", newBody);
    std::filesystem::rename(Docs / "http.jpg.tmp", Docs / "http.jpg");
    std::string fresh = Fetch("GET /http.jpg HTTP/1.0\r\n\r\n");
    EXPECT_EQ(fresh.substr(fresh.size() - newBody.size()), newBody);

    slow.Reading = true;
    ASSERT_TRUE(RunUntil([&] { return slow.Closed; }, 30000));
    ASSERT_GE(slow.Data.size(), oldBody.size());
    EXPECT_TRUE(slow.Data.substr(slow.Data.size() - oldBody.size()) == oldBody);
}

TEST_F(HttpServer, StopAbortsConnectionsThatAreSending)
{
    Spit(Docs / "big.bin", Pattern(2 << 20, 'b'));
    SmallServerSendBuffers();
    Start();
    TLoopClient a(Port, false), b(Port, false);
    for (TLoopClient* c : {&a, &b}) {
        c->SetSmallReceiveBuffer();
        c->Reading = false;
        c->Connect(Port);
        c->Send("GET /big.bin HTTP/1.0\r\n\r\n");
    }
    ASSERT_TRUE(RunUntil([&] {
        return Connections.size() == 2 && Connections[0]->GetDocStream() && Connections[1]->GetDocStream();
    }));
    Server->Stop();
    EXPECT_EQ(Events, (std::vector<std::string>{"started", "stopped"}));
    EXPECT_EQ(Disconnects, 0);
    ASSERT_TRUE(RunUntil([&] { return Disconnects == 2; }));
    EXPECT_EQ(ActiveClients(), 0);
    a.Reading = b.Reading = true;
    ASSERT_TRUE(RunUntil([&] { return a.Closed && b.Closed; }));
    EXPECT_LT(a.Data.size(), 2u << 20);
}

TEST_F(HttpServer, PortChangeRestartsAndDocDirAppliesToNewConnections)
{
    Spit(Docs / "a.txt", "one");
    std::filesystem::create_directory(Top / "docs2");
    Spit(Top / "docs2" / "a.txt", "two");
    Start();
    TLoopClient kept(Port);
    ASSERT_TRUE(RunUntil([&] { return Connections.size() == 1; }));

    int newPort = UnusedPort();
    Server->SetPort(std::to_string(newPort));
    EXPECT_EQ(Events, (std::vector<std::string>{"started", "stopped", "started"}));
    EXPECT_EQ(Server->GetWSocketServer()->GetBoundPort(), std::to_string(newPort));
    Server->SetDocDir((Top / "docs2").string());
    Port = newPort;
    EXPECT_EQ(Fetch("GET /a.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\ntwo");
    // The connection made before the change still runs with its DocDir.
    kept.Send("GET /a.txt HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return kept.Closed; }));
    EXPECT_EQ(kept.Data, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\none");
}

TEST_F(HttpServer, CurlFetchesFilesAndHeads)
{
    std::string body = Pattern(100000, 'c');
    Spit(Docs / "pic.jpg", body);
    Start();
    std::string url = "http://127.0.0.1:" + std::to_string(Port) + "/pic.jpg";
    TLoopProcess get({"curl", "-s", "-S", "--max-time", "20", url});
    ASSERT_TRUE(RunUntil([&] { return get.Exited; }, 30000));
    EXPECT_EQ(get.ExitCode, 0);
    EXPECT_TRUE(get.Output == body);

    TLoopProcess head({"curl", "-s", "-S", "-I", "--max-time", "20", url});
    ASSERT_TRUE(RunUntil([&] { return head.Exited; }, 30000));
    EXPECT_EQ(head.ExitCode, 0);
    EXPECT_EQ(head.Output,
              "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n");

    TLoopProcess missing({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "20",
                          "http://127.0.0.1:" + std::to_string(Port) + "/nothing.jpg"});
    ASSERT_TRUE(RunUntil([&] { return missing.Exited; }, 30000));
    EXPECT_EQ(missing.Output, "404");
}

TEST_F(HttpServer, OnlyRegularFilesAreServed)
{
    ASSERT_EQ(mkfifo((Docs / "fifo.jpg").c_str(), 0600), 0);
    int unix = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::string sockPath = (Docs / "sock.jpg").string();
    ASSERT_LT(sockPath.size(), sizeof sun.sun_path);
    std::memcpy(sun.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(::bind(unix, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
    std::filesystem::create_symlink("/dev/null", Docs / "null.jpg");
    std::vector<std::string> paths{"/fifo.jpg", "/sock.jpg", "/null.jpg", "/zero"};
    // A device node inside the directory itself, where the system allows one.
    if (mknod((Docs / "dev.jpg").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0)
        paths.push_back("/dev.jpg");
    Spit(Docs / "a.txt", "fine");
    Start();
    // A document the handler chooses is not checked for links.
    OnDocument = [](THttpConnection* c, THttpGetFlag&) {
        if (c->GetPath() == "/zero")
            c->SetDocument("/dev/zero");
    };
    for (const std::string& path : paths) {
        std::string got = Fetch("GET " + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(got.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << path << ": " << got.substr(0, 60);
        EXPECT_EQ(Fetch("GET /a.txt HTTP/1.0\r\n\r\n"),
                  "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nfine");
    }
    ::close(unix);
}

TEST_F(HttpServer, BodyIsExactlyTheAnnouncedLengthWhenTheFileChanges)
{
    const size_t size = 2 << 20;
    std::string body = Pattern(size, 'g');
    Spit(Docs / "grow.bin", body);
    Spit(Docs / "shrink.bin", body);
    SmallServerSendBuffers();
    Start();
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/binary\r\nContent-Length: " +
                               std::to_string(size) + "\r\n\r\n";
    // Sends the request from a client that does not read, changes the file
    // while the answer waits, then reads everything.
    auto fetchWhile = [&](const std::string& request, const std::function<void()>& change) {
        TLoopClient c(Port, false);
        c.SetSmallReceiveBuffer();
        c.Reading = false;
        c.Connect(Port);
        c.Send(request);
        size_t n = Connections.size() + 1;
        EXPECT_TRUE(RunUntil([&] { return Connections.size() == n && Connections.back()->GetDocStream(); }));
        change();
        c.Reading = true;
        EXPECT_TRUE(RunUntil([&] { return c.Closed; }, 30000));
        // Closed by the server, not kept for another request.
        EXPECT_TRUE(RunUntil([&] { return ActiveClients() == 0; }));
        return c.Data;
    };

    std::string grown = fetchWhile("GET /grow.bin HTTP/1.0\r\n\r\n", [&] {
        std::ofstream(Docs / "grow.bin", std::ios::binary | std::ios::app) << std::string(100000, 'X');
    });
    EXPECT_EQ(grown.size(), header.size() + size);
    EXPECT_TRUE(grown == header + body);

    // A file that ends early ends the connection, even a kept-alive one.
    std::string shrunk = fetchWhile("GET /shrink.bin HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n",
                                    [&] { std::filesystem::resize_file(Docs / "shrink.bin", size / 2); });
    EXPECT_EQ(shrunk.rfind(header, 0), 0u);
    EXPECT_LT(shrunk.size(), header.size() + size);
}

TEST_F(HttpServer, BytesAfterTheRequestAreDroppedWithoutEndingTheAnswer)
{
    std::string body = Pattern(300000, 'd');
    Spit(Docs / "d.bin", body);
    Start();
    std::string got = Fetch("GET /d.bin HTTP/1.0\r\n\r\n" + std::string(100000, 'x'));
    EXPECT_EQ(got.size(), body.size() + 77);
    EXPECT_TRUE(got.size() >= body.size() && got.substr(got.size() - body.size()) == body);
    // On a kept-alive connection the next request still has its limits.
    TLoopClient c(Port);
    c.Send("GET /d.bin HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + std::string(50000, 'y') + "\n");
    ASSERT_TRUE(RunUntil([&] { return c.Data.size() >= body.size() + 77; }));
    ASSERT_TRUE(RunUntil([&] { return ActiveClients() == 1 && Connections.back()->GetRequestState() == hcRequestLine; }));
    c.Send("GET /" + std::string(20000, 'z'));
    EXPECT_TRUE(RunUntil([&] { return ActiveClients() == 0; }));
}

TEST_F(HttpServer, ClientThatStopsReadingIsClosedAfterTheIdleTimeout)
{
    Spit(Docs / "big.bin", Pattern(2 << 20, 's'));
    SmallServerSendBuffers();
    OnConnect = [](THttpConnection* c) {
        int v = 4096;
        setsockopt(c->GetHSocket(), SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
        c->SetIdleTimeout(200);
    };
    Start();
    TLoopClient c(Port, false);
    c.SetSmallReceiveBuffer();
    c.Reading = false;
    c.Connect(Port);
    c.Send("GET /big.bin HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return Disconnects == 1; }));
    EXPECT_EQ(ActiveClients(), 0);
}

TEST_F(HttpServer, HalfClosedClientGetsTheWholeAnswerAndResetIsDroppedAtOnce)
{
    const size_t size = 4 << 20;
    std::string body = Pattern(size, 'h');
    Spit(Docs / "big.bin", body);
    Start();
    TLoopClient c(Port);
    c.Send("GET /big.bin HTTP/1.0\r\n\r\n");
    c.ShutdownWrite();
    ASSERT_TRUE(RunUntil([&] { return c.Closed; }, 30000)) << c.Data.size();
    EXPECT_EQ(c.Data.size(), size + 78);
    EXPECT_TRUE(c.Data == "HTTP/1.0 200 OK\r\nContent-Type: application/binary\r\nContent-Length: 4194304\r\n\r\n" + body);
    EXPECT_FALSE(c.Reset);
    ASSERT_TRUE(RunUntil([&] { return ActiveClients() == 0; }));

    // A peer that resets while the answer is on its way.
    TLoopClient r(Port, false);
    r.SetSmallReceiveBuffer();
    r.Reading = false;
    r.Connect(Port);
    r.Send("GET /big.bin HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return Connections.size() == 2 && Connections[1]->GetDocStream(); }));
    linger l{1, 0};
    setsockopt(r.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    r.Close();
    EXPECT_TRUE(RunUntil([&] { return Disconnects == 2; }));
}

TEST_F(HttpServer, LongHandlerAnswersEndCleanlyOnStopAndStalledOnesAreGivenUp)
{
    // A handler answers itself with a large body; Stop lets it end with
    // EndAnswer instead of aborting it.
    const std::string body = Pattern(1 << 20, 'h');
    int stops = 0;
    SmallServerSendBuffers();
    OnDocument = [&](THttpConnection* c, THttpGetFlag& f) {
        if (c->GetPath() == "/plain.txt") {
            c->SetExtraHeader("X-Extra: 1\r\n");
            return;
        }
        f = gfHandled;
        c->SetIdleTimeout(c->GetPath() == "/stall" ? 200 : 60000);
        c->OnServerStop = [&stops, &body](TObject* s) {
            ++stops;
            auto* conn = static_cast<THttpConnection*>(s);
            conn->SendStr("end");
            conn->EndAnswer();
        };
        c->SendStr(body);
        c->AnswerProgressed();
    };
    Spit(Docs / "plain.txt", "abc");
    Start();

    // The extra header line goes on the answer it was set for only.
    EXPECT_EQ(Fetch("GET /plain.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\nX-Extra: 1\r\n\r\nabc");

    // A client that takes nothing is given up on after the idle time.
    TLoopClient stalled(Port, false);
    stalled.SetSmallReceiveBuffer();
    stalled.Reading = false;
    stalled.Connect(Port);
    stalled.Send("GET /stall HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return Disconnects == 2; }));

    TLoopClient slow(Port, false);
    slow.SetSmallReceiveBuffer();
    slow.Reading = false;
    slow.Connect(Port);
    slow.Send("GET /long HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil([&] { return Connections.size() == 3 && Connections[2]->BufferedByteCount() > 0; }));
    Server->Stop();
    EXPECT_EQ(stops, 1);
    slow.Reading = true;
    ASSERT_TRUE(RunUntil([&] { return slow.Closed; }));
    EXPECT_FALSE(slow.Reset);
    EXPECT_EQ(slow.Data, body + "end");
    ASSERT_TRUE(RunUntil([&] { return Disconnects == 3; }));
}

TEST_F(HttpServer, CredentialsGateEveryRequestBeforeItsHandler)
{
    Spit(Docs / "pic.jpg", "picture");
    Server->SetCredentials("alice", "pw");
    Start();
    const std::string good = "Authorization: Basic YWxpY2U6cHc=\r\n", bad = "Authorization: Basic YWxpY2U6cHg=\r\n";
    const struct {
        std::string Request, Field, Status;
        bool Body;
    } cases[] = {
        {"GET /pic.jpg", "", "401", true},      {"HEAD /pic.jpg", "", "401", false},
        {"GET /../etc", "", "401", true},       {"POST /pic.jpg", bad, "401", true},
        {"GET /pic.jpg", good, "200", true},    {"HEAD /pic.jpg", good, "200", false},
        {"GET /none.jpg", good, "404", true},   {"HEAD /none.jpg", good, "404", false},
    };
    for (const auto& c : cases) {
        std::string answer = Fetch(c.Request + " HTTP/1.1\r\n" + c.Field + "\r\n");
        EXPECT_EQ(answer.substr(9, 3), c.Status) << c.Request << c.Field;
        EXPECT_EQ(answer.find("\r\n\r\n") + 4 < answer.size(), c.Body) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
        const bool challenged =
            answer.find("WWW-Authenticate: Basic realm=\"Quorrelane\", charset=\"UTF-8\"\r\n") != std::string::npos;
        EXPECT_EQ(challenged, c.Status == "401");
    }
    EXPECT_EQ(Seen.size(), 4u);  // only the requests with the credentials
    for (int i = 0; i < 9; ++i)
        Fetch("GET /pic.jpg HTTP/1.0\r\n" + bad + "\r\n");
    EXPECT_EQ(Fetch("GET /pic.jpg HTTP/1.0\r\n" + good + "\r\n").substr(0, 12), "HTTP/1.0 429");
    EXPECT_EQ(Seen.size(), 4u);
}

TEST_F(HttpServer, TlsWithTheCertificateOnlyAndNoAnswerToPlainRequests)
{
    const std::string cert = (Top / "cert.pem").string(), key = (Top / "key.pem").string(),
                      other = (Top / "other.pem").string(), missing = (Top / "missing.pem").string();
    TLoopProcess make({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                       "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1"});
    TLoopProcess makeOther(
        {"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", other});
    ASSERT_TRUE(RunUntil([&] { return make.Exited && makeOther.Exited; }, 60000));
    // Each bad pair stops the start with a text naming the file at fault.
    const std::string pairs[][3] = {{missing, key, missing}, {key, key, key}, {cert, cert, cert}, {cert, other, other}};
    for (const auto& p : pairs) {
        Server->SetTlsFiles(p[0], p[1]);
        try {
            Server->Start();
            ADD_FAILURE() << p[0] << " " << p[1];
        } catch (const ESocketException& e) {
            EXPECT_NE(std::string(e.what()).find(p[2]), std::string::npos) << e.what();
        }
        EXPECT_NE(Server->GetWSocketServer()->GetState(), wsListening);
    }
    Server->SetTlsFiles(cert, key);
    const std::string body = Pattern(300000, 't');
    Spit(Docs / "big.jpg", body);
    Start();
    TLoopProcess get({"curl", "-s", "-S", "--max-time", "20", "--cacert", cert,
                      "https://127.0.0.1:" + std::to_string(Port) + "/big.jpg"});
    ASSERT_TRUE(RunUntil([&] { return get.Exited; }, 30000));
    EXPECT_EQ(get.ExitCode, 0);
    EXPECT_TRUE(get.Output == body);
    EXPECT_EQ(Fetch("GET /big.jpg HTTP/1.1\r\n\r\n"), "");
}
