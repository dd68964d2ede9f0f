#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "imaging/ImagingTestSupport.h"
#include "app/main.h"
#include "capture/CaptureDriver.h"
#include "net/LoopPeers.h"
#include "net/WSocket.h"
#include "platform/Application.h"

namespace {

ino_t Inode(const std::string& f)
{
    struct stat st {};
    return ::stat(f.c_str(), &st) == 0 ? st.st_ino : 0;
}

// What a stream client has received: the answer's header, the complete
// parts in order, and whether the closing boundary followed the last one.
struct TReceived {
    std::string Header;
    std::vector<std::string> Parts;  // the JPEG data of each part
    bool Ended = false;              // the closing boundary arrived
    bool Malformed = false;
    size_t Tail = 0;                 // bytes after the last complete part
};

TReceived ParseStream(const std::string& Data)
{
    TReceived r;
    size_t p = Data.find("\r\n\r\n");
    if (p == std::string::npos)
        return r;
    r.Header = Data.substr(0, p + 4);
    p += 4;
    const std::string boundary = std::string("--") + StreamBoundary;
    for (;;) {
        r.Tail = Data.size() - p;
        if (Data.compare(p, boundary.size() + 4, boundary + "--\r\n") == 0) {
            r.Ended = true;
            r.Tail = Data.size() - p - boundary.size() - 4;
            return r;
        }
        size_t head = Data.find("\r\n\r\n", p);
        if (head == std::string::npos)
            return r;
        const std::string expectStart = boundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: ";
        if (Data.compare(p, expectStart.size(), expectStart) != 0) {
            r.Malformed = true;
            return r;
        }
        const size_t length = std::stoul(Data.substr(p + expectStart.size(), head - p - expectStart.size()));
        const size_t body = head + 4;
        if (Data.size() < body + length + 2)
            return r;
        if (Data.compare(body + length, 2, "\r\n") != 0) {
            r.Malformed = true;
            return r;
        }
        r.Parts.push_back(Data.substr(body, length));
        p = body + length + 2;
    }
}

// The frame number the test pattern prints at its top-left corner; -1
// when it cannot be read.
long FrameNumber(const std::string& Jpeg)
{
    TDecodedJpeg d = DecodeJpeg(std::vector<uint8_t>(Jpeg.begin(), Jpeg.end()));
    if (!d.Ok)
        return -1;
    static constexpr uint8_t Digits[10][5] = {
        {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
        {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
    };
    const TBitmap& b = d.Picture;
    const int scale = std::max(1, b.Height() / 60);
    long n = 0;
    int digits = 0;
    for (int i = 0;; ++i) {
        uint8_t rows[5] = {};
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 3; ++c) {
                const int x = 2 * scale + (i * 4 + c) * scale + scale / 2, y = 2 * scale + r * scale + scale / 2;
                if (x >= b.Width())
                    return digits ? n : -1;
                const uint8_t* px = b.ScanLine(y) + x * 3;
                if ((px[0] + px[1] + px[2]) / 3 > 128)
                    rows[r] |= static_cast<uint8_t>(4 >> c);
            }
        int found = -1;
        for (int k = 0; k < 10; ++k)
            if (std::equal(rows, rows + 5, Digits[k]))
                found = k;
        if (found < 0)
            return digits ? n : -1;
        n = n * 10 + found;
        ++digits;
    }
}

class StreamTest : public ::testing::Test {
protected:
    StreamTest()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Dir + "/videosetting.ini";
        LastRefreshTick = 0;
        App.FrontEnd.ShowMessage = [](const std::string&, const std::string&, UINT) {};
        App.FrontEnd.Log = [](const std::string&) {};
        CreateForm<Tcapmain>();
        capmain->srv->SetPort("0");
        capmain->srv->SetAddr("127.0.0.1");
    }

    // The test pattern with its preview running, and the server.
    void OpenCameraAndStart()
    {
        capmain->FrameGrabber1->SetDriverIndex(0);
        capmain->FrameGrabber1->SetPreviewRate(30);
        capmain->SpeedButton3->Click();
        ASSERT_TRUE(capmain->FrameGrabber1->VideoPreview());
        capmain->SpeedButton1->Click();
        ASSERT_EQ(capmain->srv->GetWSocketServer()->GetState(), wsListening);
        Port = std::stoi(capmain->srv->GetWSocketServer()->GetBoundPort());
    }

    std::string Get(const std::string& Path)
    {
        std::string answer;
        EXPECT_TRUE(LoopFetch(Port, "GET " + Path + " HTTP/1.0\r\n\r\n", answer));
        return answer;
    }

    std::unique_ptr<TLoopClient> StreamClient(bool SmallWindow = false, const std::string& Path = "/stream")
    {
        auto c = std::make_unique<TLoopClient>(Port, false);
        if (SmallWindow)
            c->SetSmallReceiveBuffer();
        c->Connect(Port);
        c->Send("GET " + Path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return c;
    }

    static size_t PartsOf(const TLoopClient& C) { return ParseStream(C.Data).Parts.size(); }

    // The server's end of the client on local port LocalPort.
    THttpConnection* ServerSide(int LocalPort)
    {
        TWSocketServer* ls = capmain->srv->GetWSocketServer();
        for (int i = 0; i < ls->ClientCount(); ++i) {
            sockaddr_in a{};
            int len = sizeof a;
            if (ls->ClientAt(i)->GetPeerSockAddr(a, len) == 0 && ntohs(a.sin_port) == LocalPort)
                return dynamic_cast<THttpConnection*>(ls->ClientAt(i));
        }
        return nullptr;
    }

    TTempDir Temp;
    std::string Dir = Temp.Name();
    TApplication App;
    int Port = 0;
};

// The picture's header as every file answer of it starts.
std::string JpegHeader(const std::string& Answer) { return Answer.substr(0, Answer.find("\r\n\r\n") + 4); }

} // namespace

TEST_F(StreamTest, SnapshotAddressesAnswerLikeThePictureWithNoStore)
{
    OpenCameraAndStart();
    const std::string jpg = AppDir + "http.jpg";
    const std::string plain = Get("/http.jpg");
    const std::string body = plain.substr(plain.find("\r\n\r\n") + 4);
    // The specified answer keeps its exact bytes.
    EXPECT_EQ(JpegHeader(plain),
              "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    const ino_t taken = Inode(jpg);

    // Within 2500 ms: the same file, counted, not retaken.
    for (const std::string path : {"/snapshot", "/?action=snapshot", "/?t=5&action=snapshot"}) {
        const std::string a = Get(path);
        EXPECT_EQ(JpegHeader(a), "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n\r\n")
            << path;
        EXPECT_EQ(a.substr(a.find("\r\n\r\n") + 4), body) << path;
    }
    EXPECT_EQ(Inode(jpg), taken);
    EXPECT_EQ(capmain->Caption(), "Quorrelane 4");

    // Later: retaken and served fresh.
    LastRefreshTick = GetTickCount() - 2600;
    const std::string fresh = Get("/?action=snapshot");
    EXPECT_NE(Inode(jpg), taken);
    EXPECT_EQ(fresh.substr(fresh.find("\r\n\r\n") + 4), Slurp(jpg));
    EXPECT_EQ(capmain->Caption(), "Quorrelane 5");

    // Not the aliases: other actions, other paths, and the old answer after them.
    EXPECT_EQ(Get("/?action=other").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(Get("/snapshot/").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(JpegHeader(Get("/http.jpg")).find("Cache-Control"), std::string::npos);
    EXPECT_EQ(capmain->RequestCount, 6);
}

TEST_F(StreamTest, StreamCarriesTwentyDecodableFramesInOrderAndStopsEncodingWithoutClients)
{
    OpenCameraAndStart();
    capmain->Effect1->Checked = true;
    capmain->Edit2->SetText("stream caption");
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(capmain->Stream->FramesEncoded(), 0u);

    auto c = StreamClient(false, "/?action=stream");
    ASSERT_TRUE(RunUntil([&] { return PartsOf(*c) >= 20; }));
    TReceived r = ParseStream(c->Data);
    EXPECT_EQ(r.Header, std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") +
                            StreamBoundary + "\r\nCache-Control: no-store\r\nPragma: no-cache\r\n\r\n");
    EXPECT_FALSE(r.Malformed);
    long last = -1;
    for (const std::string& part : r.Parts) {
        TDecodedJpeg d = DecodeJpeg(std::vector<uint8_t>(part.begin(), part.end()));
        ASSERT_TRUE(d.Ok) << d.Error;
        EXPECT_EQ(d.Picture.Width(), 320);
        EXPECT_EQ(d.Picture.Height(), 240);
        EXPECT_TRUE(d.JFIF);
        EXPECT_FALSE(d.Progressive);
        const long n = FrameNumber(part);
        EXPECT_GT(n, last);
        last = n;
    }
    // The effect brightens the odd rows: in the black bar at the right,
    // row 51 is lighter than row 50.
    TDecodedJpeg d = DecodeJpeg(std::vector<uint8_t>(r.Parts.back().begin(), r.Parts.back().end()));
    auto light = [&](int y) {
        const uint8_t* p = d.Picture.ScanLine(y) + 300 * 3;
        return p[0] + p[1] + p[2];
    };
    EXPECT_GT(light(51), light(50) + 40);
    // Stream requests are not picture requests.
    EXPECT_EQ(capmain->RequestCount, 0);

    c->Close();
    ASSERT_TRUE(RunUntil([&] { return capmain->Stream->ClientCount() == 0; }));
    EXPECT_FALSE(capmain->FrameGrabber1->OnFrameCallback());
}

TEST_F(StreamTest, StalledClientHoldsAtMostTwoFramesWhileAnotherKeepsReceiving)
{
    OpenCameraAndStart();
    auto stalled = StreamClient(true);
    stalled->Reading = false;
    auto reader = StreamClient();
    ASSERT_TRUE(RunUntil([&] { return capmain->Stream->ClientCount() == 2 && PartsOf(*reader) >= 5; }));
    THttpConnection* server = ServerSide(stalled->LocalPort());
    ASSERT_NE(server, nullptr);

    size_t largest = 0, most = 0;
    ASSERT_TRUE(RunUntil([&] {
        for (const std::string& p : ParseStream(reader->Data).Parts)
            largest = std::max(largest, p.size() + 200);
        // Ours and the system's: what the client has not acknowledged.
        int unsent = 0;
        ioctl(server->GetHSocket(), SIOCOUTQ, &unsent);
        most = std::max(most, static_cast<size_t>(server->BufferedByteCount()) + static_cast<size_t>(unsent));
        return PartsOf(*reader) >= 40;
    }, 20000, 20));
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, 2 * largest);
    EXPECT_EQ(server->GetState(), wsConnected);

    // Reading again, the stalled client gets the newest frame, not the
    // ones it missed.
    const long newest = FrameNumber(ParseStream(reader->Data).Parts.back());
    stalled->Reading = true;
    ASSERT_TRUE(RunUntil([&] {
        TReceived r = ParseStream(stalled->Data);
        return !r.Parts.empty() && FrameNumber(r.Parts.back()) >= newest;
    }));
    TReceived r = ParseStream(stalled->Data);
    EXPECT_FALSE(r.Malformed);
    EXPECT_LT(r.Parts.size() + 10, PartsOf(*reader));
}

TEST_F(StreamTest, ClientsBeyondTheLimitGet503)
{
    OpenCameraAndStart();
    std::vector<std::unique_ptr<TLoopClient>> clients;
    for (int i = 0; i < 10; ++i)
        clients.push_back(StreamClient());
    ASSERT_TRUE(RunUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [](const auto& c) { return PartsOf(*c) >= 1; });
    }));
    EXPECT_EQ(capmain->Stream->ClientCount(), 10);

    auto eleventh = StreamClient();
    ASSERT_TRUE(RunUntil([&] { return eleventh->Closed; }));
    EXPECT_EQ(eleventh->Data.rfind("HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n", 0), 0u);
    EXPECT_NE(eleventh->Data.find("at most 10"), std::string::npos);
    EXPECT_FALSE(eleventh->Reset);

    // A place that frees up is taken again; the others go on meanwhile.
    clients.front()->Close();
    ASSERT_TRUE(RunUntil([&] { return capmain->Stream->ClientCount() == 9; }));
    auto again = StreamClient();
    const size_t before = PartsOf(*clients.back());
    ASSERT_TRUE(RunUntil([&] { return PartsOf(*again) >= 2 && PartsOf(*clients.back()) >= before + 2; }));
}

TEST_F(StreamTest, StreamLimitsComeFromTheSettingsFile)
{
    // Read when the server starts.
    Spit(Dir + "/videosetting.ini", "[setting]\nstream_clients=1\nstream_fps=5\n");
    OpenCameraAndStart();
    EXPECT_EQ(capmain->Stream->MaxFps(), 5);
    EXPECT_EQ(capmain->Stream->MaxClients(), 1);
    // A slower preview runs at the stream's rate while it is watched.
    capmain->FrameGrabber1->SetPreviewRate(3);
    auto first = StreamClient();
    ASSERT_TRUE(RunUntil([&] { return PartsOf(*first) >= 1; }));
    EXPECT_EQ(capmain->FrameGrabber1->PreviewRate(), 5);
    auto second = StreamClient();
    ASSERT_TRUE(RunUntil([&] { return second->Closed; }));
    EXPECT_EQ(second->Data.rfind("HTTP/1.0 503", 0), 0u);
    first->Close();
    ASSERT_TRUE(RunUntil([&] { return capmain->Stream->ClientCount() == 0; }));
    EXPECT_EQ(capmain->FrameGrabber1->PreviewRate(), 3);
}

// How the streams are ended: the server stops, the camera closes, the
// main window closes.
class StreamEnd : public StreamTest, public ::testing::WithParamInterface<int> {};

TEST_P(StreamEnd, EveryStreamEndsWithACompleteLastPart)
{
    OpenCameraAndStart();
    auto slow = StreamClient(true);
    auto fast = StreamClient();
    ASSERT_TRUE(RunUntil([&] { return PartsOf(*slow) >= 1 && PartsOf(*fast) >= 3; }));
    slow->Reading = false;
    ASSERT_TRUE(RunUntil([&] { return PartsOf(*fast) >= 10; }));

    switch (GetParam()) {
    case 0: capmain->srv->Stop(); break;
    case 1: capmain->CloseDriver(); break;
    default: capmain->Close(); break;
    }
    slow->Reading = true;
    ASSERT_TRUE(RunUntil([&] { return slow->Closed && fast->Closed; }));
    for (TLoopClient* c : {slow.get(), fast.get()}) {
        TReceived r = ParseStream(c->Data);
        EXPECT_FALSE(c->Reset);
        EXPECT_FALSE(r.Malformed);
        EXPECT_TRUE(r.Ended);
        EXPECT_EQ(r.Tail, 0u);
        ASSERT_FALSE(r.Parts.empty());
        EXPECT_TRUE(DecodeJpeg(std::vector<uint8_t>(r.Parts.back().begin(), r.Parts.back().end())).Ok);
    }
    if (GetParam() == 1) {
        // With the camera closed a new stream is refused.
        auto late = StreamClient();
        ASSERT_TRUE(RunUntil([&] { return late->Closed; }));
        EXPECT_EQ(late->Data.rfind("HTTP/1.0 503", 0), 0u);
        EXPECT_NE(late->Data.find("camera is closed"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, StreamEnd, ::testing::Values(0, 1, 2));

TEST_F(StreamTest, SlowSteadyReaderKeepsItsStreamAndOneThatTakesNothingIsDropped)
{
    SetRequestedCaptureSize(1280, 720);
    OpenCameraAndStart();
    SetRequestedCaptureSize(0, 0);
    auto slow = StreamClient(true);
    slow->Reading = false;
    THttpConnection* server = nullptr;
    ASSERT_TRUE(RunUntil([&] { return (server = ServerSide(slow->LocalPort())) && capmain->Stream->FramesEncoded() > 0; }));
    server->SetIdleTimeout(1500);
    // 512 bytes every 50 ms: a part (about 19 KB) takes longer than the
    // wait, but bytes flow.
    for (DWORD start = GetTickCount(); GetTickCount() - start < 6000;) {
        RunUntil([] { return false; }, 50);
        char buf[512];
        if (const ssize_t n = ::recv(slow->Fd(), buf, sizeof buf, MSG_DONTWAIT); n > 0)
            slow->Data.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(ServerSide(slow->LocalPort()), server);
    EXPECT_GE(ParseStream(slow->Data).Parts.size(), 2u);
    // Taking nothing: dropped.
    EXPECT_TRUE(RunUntil([&] { return capmain->Stream->ClientCount() == 0; }, 5000));
}
