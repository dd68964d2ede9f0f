#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "TestSupport.h"
#include "app/FtpServers.h"
#include "ftp/FtpTestPeers.h"
#include "app/main.h"
#include "net/NetTestUtil.h"
#include "platform/Application.h"
#include "platform/Profile.h"

namespace {

using namespace std::chrono_literals;

const std::string FailedBox = "[ERR ftp faild] FTPできませんでした";
const std::string OkBox = "[ ftp ok] FTP完了。\r指定ディレクトリにcam.htmlをup";
const std::string AutoOffBox = "[ERR ftp faild] ERR ftp faild. \"Auto UPLOAD\" turn OFF!!";

class UploadJob : public ::testing::Test {
protected:
    UploadJob()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Ini = Dir + "/videosetting.ini";
        std::filesystem::create_directories(Root + "www");
        App.Title = "Quorrelane";
        App.FrontEnd.ShowMessage = [this](const std::string& text, const std::string& caption, UINT) {
            Messages.push_back("[" + caption + "] " + text);
        };
        CreateForm<Tcapmain>();
        capmain->srv->SetPort("0");
        capmain->srv->SetAddr("127.0.0.1");
        capmain->FrameGrabber1->SetDriverIndex(0);
        capmain->FrameGrabber1->SetDriverOpen(true);
        FtpUser = "cam";
        FtpPass = "secret";
        FtpDir = "www";
    }
    ~UploadJob() override { App.DrainQueue(); }  // a quit left by a close

    TPyFtpd& Server()
    {
        if (!Py) {
            Py = std::make_unique<TPyFtpd>(Root, "cam", "secret");
            EXPECT_NE(Py->Port(), 0);
        }
        FtpHost = "127.0.0.1:" + std::to_string(Py->Port());
        return *Py;
    }

    // "Start FTP"; the run is over when the click returns.
    void StartFtp() { capmain->SpeedButton4->Click(); }

    std::string Local(const std::string& Name) { return Slurp(AppDir + Name); }

    // The page as the job writes it at one of the seconds in [From, To].
    static bool PageMatches(const std::string& Page, const std::string& Message, const std::vector<std::string>& Live,
                            TSnapshotStamp From, TSnapshotStamp To)
    {
        for (auto t = std::chrono::floor<std::chrono::seconds>(From); t <= To; t += 1s) {
            std::string expect = "<html><body bgcolor=white>\r\n<img src=\"http.jpg\"><br>\r\n";
            if (!Message.empty())
                expect += "Message: " + Message + "<br>\r\n";
            expect += "Quorrelane " + StampText(t) + "<br>\r\n";
            for (const std::string& url : Live)
                expect += "Live camera is now!!!!&gt;&gt;<a href=" + url + ">" + url + "<br></a>\r\n";
            expect += "</body></html>\r\n";
            if (Page == expect)
                return true;
        }
        return false;
    }

    TTempDir Temp;
    std::string Dir = Temp.Name(), Ini, Root = Dir + "/ftp/";
    TApplication App;
    std::vector<std::string> Messages;
    std::unique_ptr<TPyFtpd> Py;
};

std::vector<std::string> Verbs(const std::vector<std::string>& Commands)
{
    std::vector<std::string> verbs;
    for (const std::string& c : Commands)
        verbs.push_back(c.rfind("PORT ", 0) == 0 ? "PORT" : c);
    return verbs;
}

} // namespace

TEST_F(UploadJob, ManualRunsUploadPictureHistoryCopyAndTheExactPage)
{
    TPyFtpd& ftpd = Server();
    FtpPass = " secret \t";  // sent without the blanks
    auto from = std::chrono::system_clock::now();
    StartFtp();
    auto to = std::chrono::system_clock::now();
    ASSERT_TRUE(ftpd.WaitReceived(2));
    EXPECT_EQ(ftpd.Received(), (std::vector<std::string>{"www/http.jpg", "www/cam.html"}));
    EXPECT_EQ(Verbs(ftpd.Commands()),
              (std::vector<std::string>{"USER cam", "PASS secret", "CWD www", "TYPE I", "PORT", "STOR http.jpg",
                                        "TYPE I", "PORT", "STOR cam.html", "QUIT"}));
    EXPECT_EQ(Slurp(Root + "www/http.jpg"), Local("http.jpg"));
    EXPECT_EQ(Slurp(Root + "www/cam.html"), Local("cam.html"));
    EXPECT_TRUE(PageMatches(Local("cam.html"), "", {}, from, to)) << Local("cam.html");
    EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
    EXPECT_EQ(capmain->msg->Caption(), "Ready.");
    EXPECT_TRUE(capmain->SpeedButton4->Enabled());
    EXPECT_FALSE(capmain->Timer1->Enabled());

    // History on, a message, the server running: the time-stamped copy
    // before the page, which has the message and one line per address.
    HistoryUpload = true;
    capmain->Edit2->SetText("<b>hi</b> & \"you\"");
    capmain->SpeedButton1->Click();
    ASSERT_EQ(capmain->srv->Tag, 1);
    Messages.clear();
    from = std::chrono::system_clock::now();
    StartFtp();
    to = std::chrono::system_clock::now();
    ASSERT_TRUE(ftpd.WaitReceived(5));
    std::vector<std::string> got = ftpd.Received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[2], "www/http.jpg");
    EXPECT_TRUE(std::regex_match(got[3], std::regex(R"(www/\d{14}\.jpg)"))) << got[3];
    EXPECT_EQ(got[4], "www/cam.html");
    EXPECT_EQ(Slurp(Root + got[3]), Local("http.jpg"));
    // The copy's name is the local time of the run.
    bool inRun = false;
    for (auto t = std::chrono::floor<std::chrono::seconds>(from); t <= to; t += 1s)
        inRun = inRun || "www/" + HistoryFileName(t) == got[3];
    EXPECT_TRUE(inRun) << got[3];
    std::vector<std::string> live;
    for (const std::string& a : LocalAddressList())
        live.push_back("http://" + a + ":8765");
    EXPECT_TRUE(PageMatches(Local("cam.html"), "<b>hi</b> & \"you\"", live, from, to)) << Local("cam.html");
    EXPECT_EQ(Slurp(Root + "www/cam.html"), Local("cam.html"));
    EXPECT_EQ(Messages, std::vector<std::string>{OkBox});

    // Stopped again: no "Live camera" lines.
    capmain->srv->Stop();
    capmain->Edit2->SetText("");
    HistoryUpload = false;
    StartFtp();
    ASSERT_TRUE(ftpd.WaitReceived(7));
    EXPECT_EQ(Local("cam.html").find("Live camera"), std::string::npos);
}

TEST_F(UploadJob, FailuresEndTheRunWithTheFailureBox)
{
    TPyFtpd& ftpd = Server();
    struct Case {
        const char* Name;
        std::function<void()> Set;
        const char* Reason;  // the status line's "Upload failed: " reason
    };
    TRawListener silent;  // accepts, never greets
    const int down = UnusedPort();
    const Case cases[] = {
        {"wrong password", [] { FtpPass = "wrong"; }, "530 Authentication failed\\."},
        {"server down", [down] { FtpHost = "127.0.0.1:" + std::to_string(down); }, "Connection refused"},
        // A directory the server refuses: nothing lands in the login
        // directory instead.
        {"refused CWD", [] { FtpDir = "missing"; }, "550 No such file or directory\\."},
        {"silent server", [&silent] {
             FtpHost = "127.0.0.1:" + silent.PortText();
             capmain->ftp->SetTimeout(1);
         }, "timed out after 1 s in CONNECT"},
        {"no TLS on the server", [] { FtpTls = true; }, "server refused AUTH TLS: 5\\d\\d .*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Server();
        FtpPass = "secret";
        FtpDir = "www";
        FtpTls = false;
        capmain->ftp->SetTimeout(15);
        c.Set();
        Messages.clear();
        std::filesystem::remove(AppDir + "cam.html");
        StartFtp();
        EXPECT_EQ(Messages, std::vector<std::string>{FailedBox});
        EXPECT_TRUE(std::filesystem::exists(AppDir + "cam.html"));  // written all the same
        EXPECT_TRUE(std::regex_match(capmain->msg->Caption(), std::regex(std::string("Upload failed: ") + c.Reason)))
            << capmain->msg->Caption();
        EXPECT_TRUE(capmain->LastUpload.Done && !capmain->LastUpload.Ok);
        EXPECT_EQ("Upload failed: " + capmain->LastUpload.Reason, capmain->msg->Caption());
        EXPECT_TRUE(capmain->SpeedButton4->Enabled());
        EXPECT_EQ(capmain->ftp->GetState(), ftpStateReady);
    }
    EXPECT_TRUE(ftpd.Received().empty());
    EXPECT_TRUE(std::filesystem::is_empty(Root + "www"));

    // No prompts: nothing shown.
    DisablePrompt = true;
    Messages.clear();
    StartFtp();
    EXPECT_TRUE(Messages.empty());
    DisablePrompt = false;
}

TEST_F(UploadJob, TimedRunsAndTheCamera)
{
    TPyFtpd& ftpd = Server();
    FtpInterval = 5;
    capmain->ArmUploadTimer();
    capmain->Timer1->OnTimer(capmain->Timer1);
    ASSERT_TRUE(ftpd.WaitReceived(2));
    EXPECT_TRUE(Messages.empty());
    EXPECT_TRUE(capmain->Timer1->Enabled());
    EXPECT_EQ(capmain->Timer1->Interval(), 300000u);
    EXPECT_TRUE(capmain->SpeedButton4->Enabled());
    EXPECT_TRUE(capmain->LastUpload.Done && capmain->LastUpload.Ok && capmain->LastUpload.Time > 0);

    // A tick while a manual run waits for the server is skipped.
    int ticks = 0;
    capmain->msg->OnViewChanged = [&](TControl* c) {
        if (c->Caption() == "PUT jpg...") {
            ++ticks;
            capmain->Timer1->OnTimer(capmain->Timer1);
        }
    };
    StartFtp();
    capmain->msg->OnViewChanged = nullptr;
    EXPECT_EQ(ticks, 1);
    ASSERT_TRUE(ftpd.WaitReceived(4));
    EXPECT_EQ(ftpd.Received().size(), 4u);
    EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
    EXPECT_TRUE(capmain->Timer1->Enabled());

    // The camera closed: a tick does nothing, "Start FTP" says why.
    capmain->CloseDriver();
    Messages.clear();
    capmain->Timer1->OnTimer(capmain->Timer1);
    EXPECT_TRUE(Messages.empty());
    EXPECT_TRUE(capmain->Timer1->Enabled());
    StartFtp();
    EXPECT_EQ(Messages, std::vector<std::string>{"[ERR ftp faild] camera is not opened"});

    // No server set: a tick uploads nothing and the timer stays on.
    capmain->FrameGrabber1->SetDriverOpen(true);
    FtpHost.clear();
    Messages.clear();
    capmain->Timer1->OnTimer(capmain->Timer1);
    EXPECT_EQ(ftpd.Received().size(), 4u);
    EXPECT_TRUE(Messages.empty() && capmain->Timer1->Enabled() && FtpInterval == 5);

    // A failed timed run turns auto-upload off, with its box whatever the
    // prompt switch and "/a" say, and "fint=0" is written at close.
    FtpHost = "127.0.0.1:" + std::to_string(UnusedPort());
    DisablePrompt = true;
    Startup.Args = {"/a"};
    Messages.clear();
    capmain->Timer1->OnTimer(capmain->Timer1);
    EXPECT_EQ(Messages, std::vector<std::string>{AutoOffBox});
    EXPECT_TRUE(capmain->LastUpload.Done && !capmain->LastUpload.Ok);
    EXPECT_EQ(FtpInterval, 0);
    EXPECT_FALSE(capmain->Timer1->Enabled());
    EXPECT_TRUE(capmain->SpeedButton4->Enabled());
    capmain->Close();
    EXPECT_EQ(GetPrivateProfileString("setting", "fint", "", 1024, Ini), "0");
}

TEST_F(UploadJob, AutoStartUploadsWithoutTheSuccessBox)
{
    TPyFtpd& ftpd = Server();
    capmain->CloseDriver();
    Startup.Args = {"/a"};
    capmain->Show();  // camera, server, "Start FTP"
    ASSERT_TRUE(ftpd.WaitReceived(2));
    EXPECT_EQ(ftpd.Received(), (std::vector<std::string>{"www/http.jpg", "www/cam.html"}));
    EXPECT_NE(Local("cam.html").find("Live camera"), std::string::npos);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(UploadJob, LocalErrorAbortsTheSessionAndGivesTheButtonAndTimerBack)
{
    TPyFtpd& ftpd = Server();
    // The page cannot be put in place: a directory holds its name.
    std::filesystem::create_directories(AppDir + "cam.html/x");
    FtpInterval = 5;
    capmain->ArmUploadTimer();
    for (bool timed : {false, true}) {
        SCOPED_TRACE(timed ? "timed" : "manual");
        Messages.clear();
        if (timed)
            capmain->Timer1->OnTimer(capmain->Timer1);
        else
            StartFtp();
        ASSERT_EQ(Messages.size(), 1u);
        EXPECT_EQ(Messages[0].rfind("[Quorrelane] ", 0), 0u) << Messages[0];
        EXPECT_FALSE(capmain->ftp->GetConnected());
        EXPECT_EQ(capmain->ftp->GetState(), ftpStateReady);
        EXPECT_TRUE(capmain->SpeedButton4->Enabled());
        EXPECT_TRUE(capmain->Timer1->Enabled());
        EXPECT_EQ(FtpInterval, 5);
    }
    // The next run works once the page can be written.
    std::filesystem::remove_all(AppDir + "cam.html");
    Messages.clear();
    StartFtp();
    EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
    ASSERT_TRUE(ftpd.WaitReceived(3));
    EXPECT_EQ(ftpd.Received().back(), "www/cam.html");
}

TEST_F(UploadJob, PassiveAndTemporaryNamesOnPyftpdlib)
{
    TPyFtpd& ftpd = Server();
    FtpPassive = true;
    FtpAtomic = true;
    HistoryUpload = true;
    StartFtp();
    EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
    ASSERT_TRUE(ftpd.WaitReceived(3));
    std::vector<std::string> cmds = ftpd.Commands();
    ASSERT_GE(cmds.size(), 18u);
    std::vector<std::string> head(cmds.begin(), cmds.begin() + 9);
    EXPECT_EQ(head, (std::vector<std::string>{"USER cam", "PASS secret", "CWD www", "TYPE I", "PASV",
                                              "STOR http.jpg.part", "RNFR http.jpg.part", "RNTO http.jpg", "TYPE I"}));
    EXPECT_EQ(std::vector<std::string>(cmds.end() - 5, cmds.end()),
              (std::vector<std::string>{"PASV", "STOR cam.html.part", "RNFR cam.html.part", "RNTO cam.html", "QUIT"}));
    for (const std::string& c : cmds)
        EXPECT_EQ(c.rfind("PORT", 0), std::string::npos) << c;
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Root + "www"))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{14}\.jpg)"))) << names[0];
    EXPECT_EQ(names[1], "cam.html");
    EXPECT_EQ(names[2], "http.jpg");
    EXPECT_EQ(Slurp(Root + "www/cam.html"), Local("cam.html"));
    EXPECT_EQ(Slurp(Root + "www/http.jpg"), Local("http.jpg"));
}

TEST_F(UploadJob, PassiveActiveAndTemporaryNamesOnVsftpd)
{
    TTempDir serverDir;
    TRealFtpServer vsftpd(TRealFtpServer::Vsftpd, serverDir);
    if (!vsftpd.SkipReason.empty())
        GTEST_SKIP() << vsftpd.SkipReason;
    FtpHost = "127.0.0.1:" + std::to_string(vsftpd.Port);
    FtpUser = vsftpd.User;
    FtpPass = vsftpd.Pass;
    FtpDir = vsftpd.Root;
    for (int mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        FtpPassive = mode >= 1;
        FtpAtomic = mode == 2;
        capmain->Edit2->SetText("run " + std::to_string(mode));
        Messages.clear();
        StartFtp();
        EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
        EXPECT_EQ(Slurp(vsftpd.Root + "/http.jpg"), Local("http.jpg"));
        EXPECT_EQ(Slurp(vsftpd.Root + "/cam.html"), Local("cam.html"));
        EXPECT_NE(Local("cam.html").find("run " + std::to_string(mode)), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(vsftpd.Root + "/cam.html.part"));
    }
}

TEST_F(UploadJob, TlsToVsftpdRefusingPlainSessions)
{
    TTempDir serverDir;
    TRealFtpServer vsftpd(TRealFtpServer::Vsftpd, serverDir, true);
    if (!vsftpd.SkipReason.empty())
        GTEST_SKIP() << vsftpd.SkipReason;
    FtpHost = "127.0.0.1:" + std::to_string(vsftpd.Port);
    FtpUser = vsftpd.User;
    FtpPass = vsftpd.Pass;
    FtpDir = vsftpd.Root;
    FtpTls = true;
    FtpTlsFingerprint = vsftpd.Fingerprint;
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive);
        FtpPassive = passive;
        Messages.clear();
        StartFtp();
        EXPECT_EQ(Messages, std::vector<std::string>{OkBox});
        EXPECT_EQ(Slurp(vsftpd.Root + "/http.jpg"), Local("http.jpg"));
        EXPECT_EQ(Slurp(vsftpd.Root + "/cam.html"), Local("cam.html"));
        std::filesystem::remove(vsftpd.Root + "/cam.html");
    }

    // Another certificate's fingerprint: nothing is sent.
    FtpTlsFingerprint = "00:11:22:33";
    Messages.clear();
    StartFtp();
    EXPECT_EQ(Messages, std::vector<std::string>{FailedBox});
    EXPECT_TRUE(std::regex_search(capmain->ftp->GetErrorMessage(), std::regex("^certificate verify failed: ")))
        << capmain->ftp->GetErrorMessage();
    // The reason names the certificate's own fingerprint, ready to pin.
    EXPECT_EQ(capmain->msg->Caption().rfind("Upload failed: certificate verify failed: ", 0), 0u);
    EXPECT_NE(capmain->LastUpload.Reason.find(vsftpd.Fingerprint), std::string::npos) << capmain->LastUpload.Reason;
    // No pin: the self-signed certificate is refused with its fingerprint.
    FtpTlsFingerprint.clear();
    StartFtp();
    EXPECT_TRUE(std::regex_search(capmain->LastUpload.Reason, std::regex("self-signed certificate")))
        << capmain->LastUpload.Reason;
    EXPECT_NE(capmain->LastUpload.Reason.find(vsftpd.Fingerprint), std::string::npos) << capmain->LastUpload.Reason;
    EXPECT_FALSE(std::filesystem::exists(vsftpd.Root + "/cam.html"));
}

TEST(UploadPieces, HostPortAndPasswordAsSent)
{
    const std::tuple<const char*, const char*, const char*> hosts[] = {
        {"ftp.example.org", "ftp.example.org", "ftp"}, {"ftp.example.org:2121", "ftp.example.org", "2121"},
        {"10.0.0.5:21", "10.0.0.5", "21"},            {"host:", "host", "ftp"},
        {"host:ftp", "host:ftp", "ftp"},              {"a:1:2", "a:1:2", "ftp"},
    };
    for (const auto& [text, host, port] : hosts) {
        std::string h, p;
        SplitFtpHost(text, h, p);
        EXPECT_EQ(h, host) << text;
        EXPECT_EQ(p, port) << text;
    }
    EXPECT_EQ(TrimPassword(" \t\x01pa ss\r\n "), "pa ss");
    EXPECT_EQ(TrimPassword("\xE3\x81\x82"), "\xE3\x81\x82");
    EXPECT_EQ(TrimPassword(" \t"), "");

    // Failure reasons: replies as they came (last line), the client's own
    // texts without their code.
    const std::tuple<const char*, const char*> reasons[] = {
        {"530-Denied\r\n530 Login incorrect.\r\n", "530 Login incorrect."},
        {"500 Host not found (Winsock error #11001)", "Host not found"},
        {"500 ESocketException: DNS lookup: invalid host name.", "DNS lookup: invalid host name."},
        {"426 Timeout", "timed out after 15 s in PUT x"},
        {"", "PUT x failed"},
    };
    for (const auto& [text, reason] : reasons)
        EXPECT_EQ(FtpFailureReason(text, "PUT x", 15), reason) << text;
}
