// The FTP client against a scripted server on 127.0.0.1: reply assembly,
// login rules, sequences, both data-connection modes and their orderings,
// and the failures.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>

#include "ftp/FtpTestPeers.h"
#include "platform/Application.h"

namespace {

std::string Pattern(size_t Size)
{
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

class FtpScripted : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(std::to_string(Server.Port));
        Ftp.SetUserName("user");
        Ftp.SetPassWord("secret");
        Rec.Attach(Ftp);
    }
    void TearDown() override
    {
        if (HasFailure())
            for (const auto& d : Rec.Display)
                std::printf("display: %s\n", d.c_str());
        // Whatever is still posted for the client is handled while it lives.
        RunIdle();
    }
    static void RunIdle()
    {
        for (int i = 0; i < 50; ++i)
            PumpPendingMessages();
    }
    bool WaitReady(int Ms = 10000)
    {
        return RunUntil([&] { return Ftp.GetState() == ftpStateReady; }, Ms);
    }
    // Lines received by the server that start with Prefix.
    int Count(const std::string& Prefix) const
    {
        return static_cast<int>(std::count_if(Server.Lines.begin(), Server.Lines.end(),
                                              [&](const std::string& l) { return l.rfind(Prefix, 0) == 0; }));
    }

    TScriptedFtpServer Server;
    TFtpClient Ftp{nullptr};
    TFtpRecorder Rec;
    TTempDir Dir;
};

// Reply lines: split over reads, joined in one read, LF alone, and the
// continuation lines of a multi-line reply.
TEST_F(FtpScripted, ReplyLinesAreAssembledWhateverTheirPacketsAndEnds)
{
    Server.Greeting = "";
    int responses = 0;
    std::vector<std::string> seen;
    Ftp.OnResponse = [&](TObject*) {
        ++responses;
        seen.push_back(Ftp.GetLastResponse());
    };
    Ftp.OpenAsync();
    ASSERT_TRUE(RunUntil([&] { return Server.Accepted; }));
    Server.SendRaw("120-Wait");
    RunIdle();
    Server.SendRaw(" a moment\n220 rea");
    RunIdle();
    EXPECT_EQ(Ftp.GetState(), ftpStateWaitingBanner);
    Server.SendRaw("dy\r\n");
    ASSERT_TRUE(WaitReady());
    EXPECT_TRUE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetLastResponse(), "220 ready");
    EXPECT_EQ(seen, (std::vector<std::string>{"120-Wait a moment", "220 ready"}));

    // Three lines of one reply in one read: three OnResponse events, only
    // the last one shown and judged.
    Server.OnLine = [&](const std::string&) { Server.SendRaw("230-Welcome\r\n230-Second line\r\n230 Logged in\r\n"); };
    responses = 0;
    Rec.Display.clear();
    Ftp.UserAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(responses, 3);
    EXPECT_EQ(Ftp.GetRequestResult(), 0);
    EXPECT_EQ(Rec.Display, (std::vector<std::string>{"> USER user", "< 230 Logged in"}));

    // Without ftpAcceptLF a bare LF does not end a line.
    Ftp.SetOptions({});
    Server.OnLine = [&](const std::string&) { Server.SendRaw("200 one\n200 two\r\n"); };
    Ftp.SetLocalFileName("NOOP");
    Ftp.QuoteAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetLastResponse(), "200 one\n200 two");

    // Lines nobody waits for are only shown.
    Rec.Display.clear();
    Server.SendRaw("200 unsolicited\r\n");
    RunUntil([&] { return !Rec.Display.empty(); }, 2000);
    EXPECT_EQ(Rec.Display, (std::vector<std::string>{"< 200 unsolicited"}));
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
}

TEST_F(FtpScripted, RefusedGreetingClosesAndReportsItsCode)
{
    Server.Greeting = "421 Too many users\r\n";
    Ftp.OpenAsync();
    ASSERT_TRUE(RunUntil([&] { return !Rec.Done.empty(); }));
    EXPECT_EQ(Rec.Done[0], std::make_pair(ftpReqOpen, WORD(421)));
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetErrorMessage(), "421 Too many users");
    RunIdle();
    EXPECT_EQ(Rec.Done.size(), 1u);
}

TEST_F(FtpScripted, ConnectionFailuresCarryTheSocketText)
{
    Ftp.SetPort(std::to_string(UnusedPort()));
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetStatusCode(), 500);
    EXPECT_EQ(Ftp.GetErrorMessage(), "500 " + WinsockErrorText(10061) + " (Winsock error #10061)");
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
    // Without a connection the other calls fail at once.
    Ftp.SetHostDirName("/x");
    EXPECT_FALSE(Ftp.Cwd());
    EXPECT_FALSE(Ftp.Quit());
}

TEST_F(FtpScripted, LoginRules)
{
    // 230 to USER: PASS is skipped.
    Server.Replies["USER"] = "230 No password needed";
    EXPECT_TRUE(Ftp.Connect());
    EXPECT_EQ(Count("PASS"), 0);
    EXPECT_TRUE(Ftp.Quit());
    EXPECT_FALSE(Ftp.GetConnected());

    // 530 to USER: one command, its line is the error, the connection stays.
    Server.Lines.clear();
    Server.Replies["USER"] = "530 Not allowed";
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetErrorMessage(), "530 Not allowed");
    EXPECT_EQ(Server.Lines, (std::vector<std::string>{"USER user"}));
    EXPECT_TRUE(Ftp.GetConnected());
    EXPECT_FALSE(Ftp.Connect());  // already connected
    // A QUIT answered with something else still closes.
    Server.Replies["QUIT"] = "500 What";
    EXPECT_FALSE(Ftp.Quit());
    EXPECT_FALSE(Ftp.GetConnected());

    // Empty names are refused before anything is sent.
    // An empty user name ends the sequence after the greeting.
    Ftp.SetUserName("");
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetErrorMessage(), "UserName emtpy");
    EXPECT_TRUE(Ftp.GetConnected());
    EXPECT_FALSE(Ftp.Quit());  // QUIT still answered "500 What"
    EXPECT_FALSE(Ftp.GetConnected());
}

TEST_F(FtpScripted, ServerClosingDuringAStepEndsTheSequence)
{
    Server.OnLine = [&](const std::string&) { Server.CloseControl(); };
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetErrorMessage(), "421 Connection closed by the server");
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
    RunIdle();
    ASSERT_EQ(Rec.Done.size(), 1u);
    EXPECT_EQ(Rec.Done[0].first, ftpReqConnect);
}

TEST_F(FtpScripted, OverlongReplyLineEndsTheSession)
{
    Server.Greeting = std::string(5000, 'x');
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetErrorMessage().rfind("500 Reply line too long", 0), 0u) << Ftp.GetErrorMessage();
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
}

TEST_F(FtpScripted, SilentServerTimesOutWithoutBurningTheCpu)
{
    Server.Greeting = "";
    Ftp.SetTimeout(1);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    DWORD start = GetTickCount();
    EXPECT_FALSE(Ftp.Connect());
    DWORD wall = GetTickCount() - start;
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_EQ(Ftp.GetErrorMessage(), "426 Timeout");
    EXPECT_EQ(Ftp.GetStatusCode(), 426);
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_GE(wall, 1000u);
    // A spinning wait would use the whole second.
    EXPECT_LT(us(after) - us(before), static_cast<long>(wall) * 1000 / 2);
}

TEST_F(FtpScripted, CommandsRepliesAndParsedValues)
{
    ASSERT_TRUE(Ftp.Connect());
    Ftp.OnCommand = [](TObject*, std::string& Cmd) {
        if (Cmd == "PWD")
            Cmd = "XPWD";
    };
    Server.Replies["XPWD"] = "257 \"/a \"\"b\"\" c\" is current";
    Ftp.PwdAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Server.Lines.back(), "XPWD");
    EXPECT_TRUE(Rec.Shown("> XPWD"));
    EXPECT_EQ(Ftp.GetDirResult(), "/a \"b\" c");
    Ftp.OnCommand = nullptr;

    Server.Replies["MKD"] = "257 created";
    Ftp.SetHostFileName("new");
    Ftp.MkdAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetDirResult(), "");

    Server.Replies["SIZE"] = "213 123456";
    Ftp.SizeAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetSizeResult(), 123456);

    // An empty code list accepts anything below 500.
    Ftp.SetLocalFileName("SITE X");
    Server.Replies["SITE"] = "499 odd but fine";
    Ftp.QuoteAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 0);
    Server.Replies["SITE"] = "502 no";
    Ftp.QuoteAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 502);

    // Starting while busy is refused.
    Ftp.SystAsync();
    EXPECT_THROW(Ftp.PwdAsync(), FtpException);
    ASSERT_TRUE(WaitReady());

    // With OnError assigned nothing is raised and nothing is sent.
    std::vector<std::string> errors;
    Ftp.OnError = [&](TObject*, std::string& M) { errors.push_back(M); };
    size_t lines = Server.Lines.size();
    Ftp.SetHostDirName("");
    Ftp.Cwd();
    EXPECT_EQ(errors, (std::vector<std::string>{"HostDirName emtpy"}));
    EXPECT_EQ(Server.Lines.size(), lines);
}

TEST_F(FtpScripted, SequenceRestoresTheReplyBeforeQuit)
{
    Server.Replies["SIZE"] = "213 77";
    Ftp.SetHostFileName("f");
    Ftp.FileSizeAsync();  // Open User Pass (Cwd skipped) Size Quit
    ASSERT_TRUE(RunUntil([&] { return !Rec.Done.empty(); }));
    EXPECT_EQ(Rec.Done[0], std::make_pair(ftpReqSize, WORD(0)));
    EXPECT_EQ(Count("CWD"), 0);
    EXPECT_EQ(Server.Lines.back(), "QUIT");
    EXPECT_EQ(Ftp.GetLastResponse(), "213 77");
    EXPECT_EQ(Ftp.GetStatusCode(), 213);
    EXPECT_EQ(Ftp.GetSizeResult(), 77);
    EXPECT_FALSE(Ftp.GetConnected());
}

TEST_F(FtpScripted, ActiveUploadAnnouncesLoopbackAndSendsWholeBlocks)
{
    const std::string content = Pattern(1514 * 3);
    Spit(Dir / "up.bin", content);
    std::vector<int> counts;
    Ftp.OnProgress = [&](TObject*, int Count, bool&) {
        if (counts.empty() || counts.back() != Count)
            counts.push_back(Count);
    };
    ASSERT_TRUE(Ftp.Connect());
    ASSERT_TRUE(Ftp.TypeBinary());
    Ftp.SetHostFileName("up.bin");
    Ftp.SetLocalFileName(Dir / "up.bin");
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Server.DataIn, content);
    EXPECT_EQ(Server.ActiveAddress, "127.0.0.1");
    EXPECT_EQ(Count("PORT 127,0,0,1,"), 1);
    EXPECT_EQ(Count("TYPE I"), 1);
    EXPECT_EQ(counts, (std::vector<int>{0, 1514, 3028, 4542}));
    EXPECT_EQ(Ftp.GetByteCount(), 4542);
    EXPECT_TRUE(std::any_of(Rec.Display.begin(), Rec.Display.end(), [](const std::string& d) {
        return d.rfind("! 4542 bytes received/sent in 0 seconds", 0) == 0;
    }));
    EXPECT_TRUE(Ftp.Quit());
    RunIdle();
    // Connect, Type, Put, Quit: one event each.
    EXPECT_EQ(Rec.Done.size(), 4u);
    EXPECT_EQ(Rec.Done[2], std::make_pair(ftpReqPut, WORD(0)));
}

TEST_F(FtpScripted, ActiveUploadStartsOnceInEitherOrder)
{
    const std::string content = Pattern(20000);
    Spit(Dir / "up.bin", content);
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Ftp.Connect());
    for (bool acceptFirst : {true, false}) {
        bool stor = false;
        Server.OnLine = [&](const std::string& Line) {
            if (Line.rfind("STOR", 0) == 0)
                stor = true;
            else
                Server.Standard(Line);
        };
        Server.DataIn.clear();
        Ftp.PutAsync();
        ASSERT_TRUE(RunUntil([&] { return stor; }));
        if (acceptFirst) {
            Server.ConnectData();
            RunIdle();
            Server.Reply("150 go");
        } else {
            Server.Reply("150 go");
            RunIdle();
            Server.ConnectData();
        }
        Server.OnDataClosed = [&] { Server.Reply("226 done"); };
        ASSERT_TRUE(WaitReady());
        EXPECT_EQ(Ftp.GetRequestResult(), 0) << acceptFirst;
        EXPECT_EQ(Server.DataIn, content) << acceptFirst;
    }
}

TEST_F(FtpScripted, ForeignDataConnectionIsTurnedAway)
{
    const std::string content = Pattern(5000);
    Spit(Dir / "up.bin", content);
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Ftp.Connect());
    int intruder = -1;
    std::string stolen;
    Server.OnLine = [&](const std::string& Line) {
        if (Line.rfind("STOR", 0) != 0)
            return Server.Standard(Line);
        // Another host reaches the announced port first.
        intruder = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from = LoopbackAddress(0);
        from.sin_addr.s_addr = inet_addr("127.0.0.2");
        ::bind(intruder, reinterpret_cast<sockaddr*>(&from), sizeof from);
        sockaddr_in to = LoopbackAddress(Server.ActivePort);
        ::connect(intruder, reinterpret_cast<sockaddr*>(&to), sizeof to);
        Server.Reply("150 go");
        RunIdle();
        Server.ConnectData();
        Server.OnDataClosed = [&] { Server.Reply("226 done"); };
    };
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Server.DataIn, content);
    EXPECT_TRUE(Rec.Shown("! Data connection from 127.0.0.2 refused"));
    ::fcntl(intruder, F_SETFL, O_NONBLOCK);
    char buf[100];
    ssize_t n = ::recv(intruder, buf, sizeof buf, 0);
    EXPECT_LE(n, 0);  // refused: nothing to read, closed
    ::close(intruder);
}

TEST_F(FtpScripted, PassiveUploadIgnoresTheAddressOfThe227)
{
    const std::string content = Pattern(70000);
    Spit(Dir / "up.bin", content);
    Server.PasvAddress = "10,0,0,5";
    Ftp.SetConnectionType(ftpProxy);  // passive
    Ftp.SetConnectionType(ftpDirect);
    ASSERT_TRUE(Ftp.GetPassive());
    Ftp.SetProxyServer("");
    ASSERT_TRUE(Ftp.Connect());
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Count("PASV"), 1);
    EXPECT_EQ(Server.DataIn, content);
    // Changing the type while connected is refused.
    EXPECT_THROW(Ftp.SetConnectionType(ftpSocks5), FtpException);
}

TEST_F(FtpScripted, PassiveReplyWithoutAWellFormedPortOpensNoConnection)
{
    Spit(Dir / "up.bin", "data");
    const auto pair = [](int P) { return std::to_string(P / 256) + "," + std::to_string(P % 256); };
    const std::vector<std::pair<std::function<std::string(int)>, bool>> cases = {
        {[](int) { return "227 Entering Passive Mode"; }, false},
        {[](int) { return "227 Entering Passive Mode (127,0,0,1,300,5)"; }, false},
        {[](int) { return "227 Entering Passive Mode (127,0,0,1,4)"; }, false},
        {[](int) { return "229 Entering Extended Passive Mode (|||)"; }, false},
        {[](int) { return "229 Entering Extended Passive Mode (|||70000|)"; }, false},
        {[&](int P) { return "227 Entering Passive Mode =127,0,0,1," + pair(P); }, true},
        {[](int P) { return "229 Entering Extended Passive Mode (|||" + std::to_string(P) + "|)"; }, true},
    };
    Ftp.SetPassive(true);
    ASSERT_TRUE(Ftp.Connect());
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    for (const auto& [reply, ok] : cases) {
        Server.PasvReply = reply;
        const std::string text = reply(0);
        SCOPED_TRACE(text);
        EXPECT_EQ(Ftp.Put(), ok) << Ftp.GetErrorMessage();
        if (!ok) {
            EXPECT_EQ(Ftp.GetErrorMessage(), "426 No data port in the passive reply: " + reply(Server.Port));
        }
    }
    EXPECT_EQ(Server.PassiveConnections, 2);
    EXPECT_EQ(Count("STOR"), 2);
    EXPECT_TRUE(Ftp.GetConnected());
}

TEST_F(FtpScripted, UploadEdges)
{
    ASSERT_TRUE(Ftp.Connect());
    Ftp.SetHostFileName("x");

    // An empty file.
    Spit(Dir / "empty", "");
    Ftp.SetLocalFileName(Dir / "empty");
    ASSERT_TRUE(Ftp.Put());
    EXPECT_EQ(Server.DataIn, "");
    EXPECT_EQ(Ftp.GetByteCount(), 0);
    EXPECT_TRUE(Server.DataEof);

    // ResumeAt skips the start; progress counts from it.
    const std::string content = Pattern(5000);
    Spit(Dir / "up.bin", content);
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetResumeAt(1000);
    int first = -1;
    Ftp.OnProgress = [&](TObject*, int Count, bool&) {
        if (first < 0)
            first = Count;
    };
    ASSERT_TRUE(Ftp.Put());
    EXPECT_EQ(Server.DataIn, content.substr(1000));
    EXPECT_EQ(first, 1000);
    EXPECT_EQ(Ftp.GetResumeAt(), 0);

    // The application aborts from OnProgress: the upload fails.
    Ftp.OnProgress = [&](TObject*, int Count, bool& Abort) { Abort = Count >= 3028; };
    EXPECT_FALSE(Ftp.Put());
    EXPECT_TRUE(Rec.Shown("! Abort requested"));
    EXPECT_EQ(Server.DataIn, content.substr(0, 3028));
    EXPECT_EQ(Ftp.GetStatusCode(), 426);
    Ftp.OnProgress = nullptr;

    // OnReadyToTransmit cancels.
    Ftp.OnReadyToTransmit = [](TObject*, bool& Cancel) { Cancel = true; };
    EXPECT_FALSE(Ftp.Put());
    EXPECT_EQ(Ftp.GetErrorMessage(), "426 Transmit cancelled by application");
    Ftp.OnReadyToTransmit = nullptr;

    // A missing local file.
    Ftp.SetLocalFileName(Dir / "missing");
    EXPECT_FALSE(Ftp.Put());
    EXPECT_EQ(Ftp.GetErrorMessage(), "426 Unable to open local file " + Dir / "missing");
    EXPECT_TRUE(Rec.Shown("! 426 Unable to open local file " + Dir / "missing"));

    // STOR refused.
    Ftp.SetLocalFileName(Dir / "up.bin");
    Server.OnLine = [&](const std::string& Line) {
        if (Line.rfind("STOR", 0) == 0)
            Server.Reply("553 Not allowed");
        else
            Server.Standard(Line);
    };
    EXPECT_FALSE(Ftp.Put());
    EXPECT_EQ(Ftp.GetErrorMessage(), "553 Not allowed");
    EXPECT_EQ(Ftp.GetStatusCode(), 553);
    EXPECT_TRUE(Ftp.GetConnected());
}

TEST_F(FtpScripted, FlowingUploadOutlastsTheTimeout)
{
    // Each block takes a while (a slow link), the whole upload longer than
    // the timeout: progress keeps moving the deadline.
    const std::string content = Pattern(1514 * 60);
    Spit(Dir / "up.bin", content);
    ASSERT_TRUE(Ftp.Connect());
    Ftp.SetTimeout(1);
    Ftp.OnProgress = [](TObject*, int, bool&) { Sleep(25); };
    Ftp.SetHostFileName("up.bin");
    Ftp.SetLocalFileName(Dir / "up.bin");
    DWORD start = GetTickCount();
    EXPECT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_GT(GetTickCount() - start, 1000u);
    EXPECT_EQ(Server.DataIn, content);
}

TEST_F(FtpScripted, DownloadsInEitherOrderAndToTheDisplay)
{
    ASSERT_TRUE(Ftp.Connect());
    Server.DownloadData = Pattern(30000);
    Ftp.SetHostFileName("f");
    Ftp.SetLocalFileName(Dir / "down.bin");
    Ftp.GetAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 0);
    EXPECT_EQ(Slurp(Dir / "down.bin"), Server.DownloadData);

    // 226 before the data.
    Server.OnLine = [&](const std::string& Line) {
        if (Line.rfind("RETR", 0) != 0)
            return Server.Standard(Line);
        Server.ConnectData();
        Server.Reply("150 go");
        Server.Reply("226 done early");
        RunIdle();
        Server.SendData("late data");
        Server.CloseData();
    };
    Ftp.GetAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 0);
    EXPECT_EQ(Slurp(Dir / "down.bin"), "late data");
    Server.OnLine = nullptr;

    // A listing shown line by line, nothing written.
    Server.DownloadData = "line one\r\nline two\r\n\r\nline three\r\n";
    Ftp.SetLocalFileName("");
    Ftp.SetHostFileName("");
    Ftp.SetDisplayFileFlag(true);
    Ftp.DirAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 0);
    EXPECT_EQ(Server.Lines.back(), "LIST");
    EXPECT_EQ(Rec.Files, (std::vector<std::string>{"line one", "line two", "line three"}));
    Ftp.SetDisplayFileFlag(false);

    // RETR refused.
    Ftp.SetLocalFileName(Dir / "down.bin");
    Ftp.SetHostFileName("f");
    Server.OnLine = [&](const std::string& Line) {
        if (Line.rfind("RETR", 0) == 0)
            Server.Reply("550 No such file");
        else
            Server.Standard(Line);
    };
    Ftp.GetAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 550);
    EXPECT_EQ(Ftp.GetErrorMessage(), "550 No such file");
}

TEST_F(FtpScripted, LocalFileFailuresOfDownloads)
{
    ASSERT_TRUE(Ftp.Connect());
    Server.DownloadData = Pattern(10000);
    Ftp.SetHostFileName("f");
    Ftp.SetLocalFileName(Dir / "no/such/dir/file");
    Ftp.GetAsync();
    ASSERT_TRUE(WaitReady());
    EXPECT_EQ(Ftp.GetRequestResult(), 550);
    EXPECT_EQ(Ftp.GetLastResponse(), "Unable to open local file " + Dir / "no/such/dir/file");

    // A full disk fails the request even though the server reports success
    // (a file size limit makes the writes fail the same way).
    Ftp.SetLocalFileName(Dir / "full.bin");
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    Ftp.GetAsync();
    bool ready = WaitReady();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(ready);
    EXPECT_EQ(Ftp.GetRequestResult(), 426);
    EXPECT_TRUE(Rec.Shown("! Error writing local file"));
    EXPECT_EQ(Ftp.GetErrorMessage(), "426 Error writing local file " + Dir / "full.bin");
}

TEST_F(FtpScripted, RestartGetResumesFromThePartialFile)
{
    const std::string content = Pattern(3000);
    Spit(Dir / "part.bin", content.substr(0, 1000));
    int restAt = -1;
    Server.OnLine = [&](const std::string& Line) {
        if (Line.rfind("REST ", 0) == 0) {
            restAt = std::stoi(Line.substr(5));
            Server.Reply("350 Restarting");
        } else {
            if (Line.rfind("RETR", 0) == 0)
                Server.DownloadData = content.substr(static_cast<size_t>(restAt));
            Server.Standard(Line);
        }
    };
    Ftp.SetHostFileName("f");
    Ftp.SetLocalFileName(Dir / "part.bin");
    Ftp.RestartGetAsync();
    ASSERT_TRUE(RunUntil([&] { return !Rec.Done.empty(); }));
    EXPECT_EQ(Rec.Done[0], std::make_pair(ftpReqRestartGet, WORD(0)));
    EXPECT_EQ(restAt, 1000);
    EXPECT_EQ(Slurp(Dir / "part.bin"), content);

    // No local file: no REST, the download starts from 0.
    Server.Lines.clear();
    Rec.Done.clear();
    restAt = 0;
    Ftp.SetLocalFileName(Dir / "fresh.bin");
    Ftp.RestartGetAsync();
    ASSERT_TRUE(RunUntil([&] { return !Rec.Done.empty(); }));
    EXPECT_EQ(Count("REST"), 0);
    EXPECT_EQ(Slurp(Dir / "fresh.bin"), content);
}

TEST_F(FtpScripted, AbortEndsARunningSequence)
{
    Server.OnLine = [](const std::string&) {};  // USER is never answered
    Ftp.ConnectAsync();
    ASSERT_TRUE(RunUntil([&] { return !Server.Lines.empty(); }));
    Ftp.Abort();
    ASSERT_TRUE(RunUntil([&] { return !Rec.Done.empty(); }));
    EXPECT_EQ(Rec.Done[0], std::make_pair(ftpReqConnect, WORD(426)));
    EXPECT_EQ(Ftp.GetErrorMessage(), "426 Operation aborted.");
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
    RunIdle();
    EXPECT_EQ(Rec.Done.size(), 1u);
}

TEST_F(FtpScripted, TerminationEndsAWaitWithoutLimit)
{
    Server.Greeting = "";
    Ftp.SetTimeout(0);
    {
        TApplication app;
        app.Terminate();
        EXPECT_FALSE(Ftp.Connect());
        EXPECT_EQ(Ftp.GetErrorMessage(), "426 Timeout");
        EXPECT_FALSE(Ftp.GetConnected());
    }
    // The private pump of the multi-threaded wait sees the quit too.
    Ftp.SetMultiThreaded(true);
    PostQuitMessage(0);
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetStatusCode(), 426);
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
}

TEST_F(FtpScripted, ExceptionsFromTheDoneEventGoToOnBgException)
{
    std::string caught;
    Ftp.OnRequestDone = [](TObject*, TFtpRequest, WORD) { throw Exception("boom"); };
    Ftp.OnBgException = [&](TObject*, Exception& E, bool& CanClose) {
        caught = E.Message();
        EXPECT_TRUE(CanClose);
    };
    ASSERT_TRUE(Ftp.Connect());
    ASSERT_TRUE(RunUntil([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, "boom");
}

class StatsProbe : public TCustomFtpCli {
public:
    using TCustomFtpCli::TCustomFtpCli;
    // The statistics line for Bytes moved in Ms milliseconds.
    std::string Line(int Bytes, DWORD Ms)
    {
        std::string shown;
        OnDisplay = [&](TObject*, std::string& M) { shown = M; };
        for (int i = 0; i < 100; ++i) {
            FByteCount = Bytes;
            FStartTime = GetTickCount() - Ms;
            DisplayTransferStats();
            if (FStopTime - FStartTime == Ms)
                break;
        }
        return shown;
    }
};

TEST(FtpStats, StatisticsLine)
{
    StatsProbe p(nullptr);
    EXPECT_EQ(p.Line(100000, 2500), "! 100000 bytes received/sent in 2 seconds (40000 Bytes/sec)");
    EXPECT_EQ(p.Line(1000, 250), "! 1000 bytes received/sent in 0 seconds (4000 Bytes/sec)");
    EXPECT_EQ(p.Line(0, 0), "! 0 bytes received/sent in 0 seconds");
}

} // namespace
