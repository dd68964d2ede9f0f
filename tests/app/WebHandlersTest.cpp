#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "imaging/ImagingTestSupport.h"
#include "app/main.h"
#include "net/LoopPeers.h"
#include "net/WSocket.h"
#include "platform/Application.h"

namespace {

ino_t Inode(const std::string& f)
{
    struct stat st {};
    return ::stat(f.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool SamePicture(const TBitmap& a, const TBitmap& b)
{
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::equal(a.Data(), a.Data() + a.ByteSize(), b.Data());
}

class WebHandlers : public ::testing::Test {
protected:
    WebHandlers()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Dir + "/videosetting.ini";
        LastRefreshTick = 0;
        App.FrontEnd.ShowMessage = [this](const std::string& text, const std::string& caption, UINT) {
            Messages.push_back("[" + caption + "] " + text);
        };
        App.FrontEnd.Beep = [this](UINT) { ++Beeps; };
        App.FrontEnd.Log = [this](const std::string& line) { Logs.push_back(line); };
        CreateForm<Tcapmain>();
        capmain->srv->SetPort("0");
        capmain->srv->SetAddr("127.0.0.1");
    }

    void OpenCameraAndStart()
    {
        capmain->FrameGrabber1->SetDriverIndex(0);
        capmain->FrameGrabber1->SetDriverOpen(true);
        ASSERT_TRUE(capmain->FrameGrabber1->DriverOpen());
        capmain->SpeedButton1->Click();
        ASSERT_EQ(capmain->srv->GetWSocketServer()->GetState(), wsListening);
        Port = std::stoi(capmain->srv->GetWSocketServer()->GetBoundPort());
    }
    std::string Fetch(const std::string& request)
    {
        std::string answer;
        EXPECT_TRUE(LoopFetch(Port, request, answer));
        return answer;
    }
    std::string Get(const std::string& path) { return Fetch("GET " + path + " HTTP/1.0\r\n\r\n"); }
    static std::string Body(const std::string& answer)
    {
        size_t p = answer.find("\r\n\r\n");
        return p == std::string::npos ? std::string() : answer.substr(p + 4);
    }

    TTempDir Temp;
    std::string Dir = Temp.Name();
    TApplication App;
    std::vector<std::string> Messages;
    std::vector<std::string> Logs;
    int Beeps = 0;
    int Port = 0;
};

} // namespace

TEST_F(WebHandlers, ServerStartsOnlyWithTheCameraOpen)
{
    capmain->SpeedButton1->Click();
    EXPECT_NE(capmain->srv->GetWSocketServer()->GetState(), wsListening);
    EXPECT_TRUE(capmain->SpeedButton1->Enabled());
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(capmain->srv->Tag, 0);

    OpenCameraAndStart();
    std::string text = "[server stat ok.] サーバはスタートしました\n\n";
    for (const std::string& a : LocalAddressList())
        text += "http://" + a + ":8765\n";
    EXPECT_EQ(Messages, std::vector<std::string>{text});
    EXPECT_EQ(capmain->srv->Tag, 1);
    EXPECT_TRUE(SamePicture(capmain->SpeedButton1->Glyph, capmain->im12->Picture()));
    EXPECT_TRUE(capmain->SpeedButton1->Enabled());
    EXPECT_EQ(capmain->srv->GetDocDir(), Dir + "/doc");
    // The log names the address the server listens on and the port it got.
    const std::string served = "Serving http://127.0.0.1:" + std::to_string(Port);
    EXPECT_EQ(Logs, (std::vector<std::string>{served + "/http.jpg", served + "/stream"}));

    // Again: nothing more.
    capmain->SpeedButton1->Click();
    EXPECT_EQ(Messages.size(), 1u);

    capmain->srv->Stop();
    EXPECT_EQ(Logs.back(), "Server stopped");
    EXPECT_EQ(capmain->srv->Tag, 0);
    EXPECT_TRUE(SamePicture(capmain->SpeedButton1->Glyph, capmain->im11->Picture()));
}

TEST_F(WebHandlers, NoStartMessageWhenPromptsAreDisabled)
{
    DisablePrompt = true;
    OpenCameraAndStart();
    DisablePrompt = false;
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(Logs.size(), 2u);
    EXPECT_EQ(capmain->srv->Tag, 1);
}

TEST_F(WebHandlers, PictureRequestsAreCountedAndRefreshedAtMostEvery2500ms)
{
    OpenCameraAndStart();
    std::string jpg = AppDir + "http.jpg";
    ASSERT_FALSE(std::filesystem::exists(jpg));

    // The first request takes the picture it is then served.
    std::string first = Get("/http.jpg");
    EXPECT_EQ(first.rfind("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n", 0), 0u);
    EXPECT_EQ(Body(first), Slurp(jpg));
    EXPECT_EQ(JpegSize(Body(first)), std::make_pair(320, 240));
    EXPECT_EQ(capmain->Label2->Caption(), "Quorrelane 1");
    EXPECT_EQ(capmain->Caption(), "Quorrelane 1");
    ino_t taken = Inode(jpg);

    // Soon after: counted, not retaken.
    Get("/http.jpg?x=1");
    EXPECT_EQ(capmain->Caption(), "Quorrelane 2");
    EXPECT_EQ(Inode(jpg), taken);

    Get("/http.jpg");
    EXPECT_EQ(Inode(jpg), taken);
    EXPECT_EQ(capmain->RequestCount, 3);

    // Not counted: another case, another file.
    EXPECT_EQ(Get("/HTTP.JPG").rfind("HTTP/1.0 404", 0), 0u);
    std::filesystem::copy_file(jpg, AppDir + "cam.html");
    EXPECT_EQ(Body(Get("/cam.html")), Slurp(jpg));
    // "/" without an index.html: the built-in page.
    EXPECT_NE(Get("/").find("<img src=\"/stream\""), std::string::npos);
    EXPECT_EQ(capmain->Caption(), "Quorrelane 3");

    // Any .jpg path counts and refreshes http.jpg; the file asked for is
    // what is served.
    LastRefreshTick = GetTickCount() - 2600;
    EXPECT_EQ(Get("/other.jpg").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(capmain->Caption(), "Quorrelane 4");
    EXPECT_NE(Inode(jpg), taken);
}

// The refresh rule at a tick count near 0, near 2^31 and just before the
// 32-bit wrap.
class WebHandlersAtTick : public WebHandlers, public ::testing::WithParamInterface<DWORD> {
protected:
    ~WebHandlersAtTick() override { SetTickCountShift(0); }
    // Makes GetTickCount read Tick now.
    static void SetTick(DWORD Tick)
    {
        SetTickCountShift(0);
        SetTickCountShift(Tick - GetTickCount());
    }
};

TEST_P(WebHandlersAtTick, FirstRequestTakesThePictureAnd2500msHoldAcrossTheWrap)
{
    OpenCameraAndStart();
    std::string jpg = AppDir + "http.jpg";
    SetTick(GetParam());
    std::string first = Get("/http.jpg");
    ASSERT_EQ(first.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << first.substr(0, 40);
    ino_t taken = Inode(jpg);

    SetTick(LastRefreshTick + 1000);
    Get("/http.jpg");
    EXPECT_EQ(Inode(jpg), taken);

    SetTick(LastRefreshTick + 3000);
    Get("/http.jpg");
    EXPECT_NE(Inode(jpg), taken);
    taken = Inode(jpg);

    // No request for more than 2^31 ms: the picture is old, not new.
    SetTick(LastRefreshTick + 0x80000000u + 5000);
    Get("/http.jpg");
    EXPECT_NE(Inode(jpg), taken);
    EXPECT_EQ(capmain->RequestCount, 4);
}

INSTANTIATE_TEST_SUITE_P(Ticks, WebHandlersAtTick, ::testing::Values(0u, 0x7FFFFFFFu - 999u, 0xFFFFFFFFu - 999u));

TEST_F(WebHandlers, PostBeepsAndIsNotFound)
{
    OpenCameraAndStart();
    std::string answer = Fetch("POST /http.jpg HTTP/1.0\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(answer.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(Beeps, 1);
    EXPECT_EQ(capmain->Caption(), "Quorrelane");
}

TEST_F(WebHandlers, AddressLabelOpensTheUrl)
{
    // A stand-in opener on PATH reports its argument through a FIFO.
    std::string bin = Dir + "/bin", fifo = Dir + "/opened";
    std::filesystem::create_directories(bin);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        std::ofstream s(bin + "/xdg-open");
        s << "#!/bin/sh\nprintf '%s' \"$1\" > '" << fifo << "'\n";
    }
    std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

    TLoopProcess reader({"cat", fifo});
    capmain->Label1->SetCaption("192.0.2.7");
    capmain->Label1->Click();
    bool done = RunUntil([&] { return reader.Exited; });
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_TRUE(done);
    EXPECT_EQ(reader.Output, "http://192.0.2.7:8765");
}

TEST_F(WebHandlers, PortInUseLeavesTheButtonDisabled)
{
    int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    socklen_t len = sizeof sin;
    getsockname(busy, reinterpret_cast<sockaddr*>(&sin), &len);
    capmain->srv->SetPort(std::to_string(ntohs(sin.sin_port)));

    capmain->FrameGrabber1->SetDriverIndex(0);
    capmain->FrameGrabber1->SetDriverOpen(true);
    EXPECT_THROW(capmain->SpeedButton1->Click(), ESocketException);
    EXPECT_FALSE(capmain->SpeedButton1->Enabled());
    EXPECT_NE(capmain->srv->GetWSocketServer()->GetState(), wsListening);
    EXPECT_EQ(capmain->srv->Tag, 0);
    ASSERT_EQ(Logs.size(), 1u);
    EXPECT_EQ(Logs[0], "Port " + capmain->srv->GetPort() + " is in use by another program. Stop Quorrelane, set "
                       "port= in section [setting] of " + Dir + "/videosetting.ini to a free port, and start it again.");
    ::close(busy);
}
