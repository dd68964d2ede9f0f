// The FTP client against real servers (pyftpdlib and vsftpd), in active
// and passive mode: the upload job's calls, a download back, listings,
// directory and file commands, append and resume, and refusals.
#include <gtest/gtest.h>

#include <filesystem>

#include "ftp/FtpTestPeers.h"

namespace {

std::string RandomContent(size_t Size, unsigned Seed)
{
    std::string s(Size, '\0');
    uint32_t x = Seed * 2654435761u + 1;
    for (size_t i = 0; i < Size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

struct TServerCase {
    TRealFtpServer::TKind Kind;
    bool Passive;
};

std::string CaseName(const TServerCase& C)
{
    return std::string(C.Kind == TRealFtpServer::Pyftpdlib ? "Pyftpdlib" : "Vsftpd") +
           (C.Passive ? "Passive" : "Active");
}

void PrintTo(const TServerCase& C, std::ostream* Os) { *Os << CaseName(C); }

class FtpRealServer : public ::testing::TestWithParam<TServerCase> {
protected:
    void SetUp() override
    {
        Server = std::make_unique<TRealFtpServer>(GetParam().Kind, Dir);
        if (!Server->SkipReason.empty())
            GTEST_SKIP() << Server->SkipReason;
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(std::to_string(Server->Port));
        Ftp.SetUserName(Server->User);
        Ftp.SetPassWord(Server->Pass);
        if (GetParam().Passive)
            Ftp.SetConnectionType(ftpProxy);  // every type but direct turns passive mode on
        Ftp.SetConnectionType(ftpDirect);
        Rec.Attach(Ftp);
    }
    void TearDown() override
    {
        if (HasFailure())
            for (const auto& d : Rec.Display)
                std::printf("display: %s\n", d.c_str());
        if (Ftp.GetConnected())
            Ftp.Quit();
        for (int i = 0; i < 20; ++i)
            PumpPendingMessages();
    }
    bool Run(void (TCustomFtpCli::*Op)()) { return Ftp.RunSync(Op); }
    std::string Local(const std::string& Name) { return Dir / Name; }
    std::string OnServer(const std::string& Name) { return Server->Root + "/" + Name; }

    TTempDir Dir;
    std::unique_ptr<TRealFtpServer> Server;
    TFtpClient Ftp{nullptr};
    TFtpRecorder Rec;
};

TEST_P(FtpRealServer, UploadJobCallsAndADownloadBack)
{
    std::filesystem::create_directories(OnServer("cam"));
    const std::string content = RandomContent(300000, 1);
    Spit(Local("pic.jpg"), content);

    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();
    Ftp.SetHostDirName("cam");
    ASSERT_TRUE(Ftp.Cwd()) << Ftp.GetErrorMessage();
    ASSERT_TRUE(Ftp.TypeBinary()) << Ftp.GetErrorMessage();
    Ftp.SetHostFileName("pic.jpg");
    Ftp.SetLocalFileName(Local("pic.jpg"));
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Ftp.GetByteCount(), 300000);
    EXPECT_EQ(Slurp(OnServer("cam/pic.jpg")), content);

    // A second file in the same session, then the same name again.
    Spit(Local("cam.html"), "<html>page</html>\r\n");
    Ftp.SetHostFileName("cam.html");
    Ftp.SetLocalFileName(Local("cam.html"));
    ASSERT_TRUE(Ftp.TypeBinary());
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(OnServer("cam/cam.html")), "<html>page</html>\r\n");

    // Back down, byte for byte.
    Ftp.SetHostFileName("pic.jpg");
    Ftp.SetLocalFileName(Local("back.jpg"));
    ASSERT_TRUE(Run(&TCustomFtpCli::GetAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(Local("back.jpg")), content);

    ASSERT_TRUE(Ftp.Quit()) << Ftp.GetErrorMessage();
    EXPECT_FALSE(Ftp.GetConnected());
    EXPECT_EQ(Ftp.GetState(), ftpStateReady);
}

TEST_P(FtpRealServer, ListingAndFileCommands)
{
    Spit(OnServer("one.txt"), "first file\n");
    Spit(OnServer("two.bin"), RandomContent(12345, 2));
    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();

    // LIST shown through OnDisplayFile.
    Ftp.SetDisplayFileFlag(true);
    Ftp.SetLocalFileName("");
    Ftp.SetHostFileName("");
    ASSERT_TRUE(Run(&TCustomFtpCli::DirAsync)) << Ftp.GetErrorMessage();
    auto listed = [&](const std::string& Name) {
        for (const auto& l : Rec.Files)
            if (l.size() >= Name.size() && l.compare(l.size() - Name.size(), Name.size(), Name) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(listed("one.txt"));
    EXPECT_TRUE(listed("two.bin"));
    Ftp.SetDisplayFileFlag(false);

    // MKD of a name with a double quote.
    Ftp.SetHostFileName("a\"b");
    ASSERT_TRUE(Run(&TCustomFtpCli::MkdAsync)) << Ftp.GetErrorMessage();
    EXPECT_TRUE(std::filesystem::is_directory(OnServer("a\"b")));
    EXPECT_EQ(Ftp.GetDirResult(), Server->RemotePath("a\"b"));

    // SIZE in binary type.
    ASSERT_TRUE(Run(&TCustomFtpCli::TypeBinaryAsync));
    Ftp.SetHostFileName("two.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::SizeAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Ftp.GetSizeResult(), 12345);

    // RNFR/RNTO.
    Ftp.SetHostFileName("one.txt");
    Ftp.SetLocalFileName("renamed.txt");
    ASSERT_TRUE(Run(&TCustomFtpCli::RenAsync)) << Ftp.GetErrorMessage();
    EXPECT_FALSE(std::filesystem::exists(OnServer("one.txt")));
    EXPECT_EQ(Slurp(OnServer("renamed.txt")), "first file\n");

    // DELE, and DELE of what is gone.
    Ftp.SetHostFileName("renamed.txt");
    ASSERT_TRUE(Run(&TCustomFtpCli::DeleAsync)) << Ftp.GetErrorMessage();
    EXPECT_FALSE(std::filesystem::exists(OnServer("renamed.txt")));
    EXPECT_FALSE(Run(&TCustomFtpCli::DeleAsync));
    EXPECT_EQ(Ftp.GetStatusCode(), 550);

    // A missing remote directory.
    Ftp.SetHostDirName("no-such-dir");
    EXPECT_FALSE(Ftp.Cwd());
    EXPECT_EQ(Ftp.GetStatusCode(), 550);
    EXPECT_EQ(Ftp.GetErrorMessage().substr(0, 3), "550");
    EXPECT_TRUE(Ftp.GetConnected());
}

TEST_P(FtpRealServer, AppendAndResume)
{
    const std::string content = RandomContent(50000, 3);
    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();
    ASSERT_TRUE(Ftp.TypeBinary());

    // APPE adds to what is there.
    Spit(OnServer("log.bin"), content.substr(0, 20000));
    Spit(Local("tail.bin"), content.substr(20000));
    Ftp.SetHostFileName("log.bin");
    Ftp.SetLocalFileName(Local("tail.bin"));
    ASSERT_TRUE(Run(&TCustomFtpCli::AppendAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(OnServer("log.bin")), content);

    // REST then RETR finishes a partial download.
    Spit(Local("part.bin"), content.substr(0, 1000));
    Ftp.SetLocalFileName(Local("part.bin"));
    ASSERT_TRUE(Run(&TCustomFtpCli::RestGetAsync)) << Ftp.GetErrorMessage();
    EXPECT_TRUE(Rec.Shown("> REST 1000"));
    EXPECT_EQ(Slurp(Local("part.bin")), content);

    // REST then STOR finishes a partial upload.
    Spit(OnServer("up.bin"), content.substr(0, 1000));
    Spit(Local("whole.bin"), content);
    Ftp.SetHostFileName("up.bin");
    Ftp.SetLocalFileName(Local("whole.bin"));
    Ftp.SetResumeAt(1000);
    ASSERT_TRUE(Run(&TCustomFtpCli::RestPutAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(OnServer("up.bin")), content);
}

TEST_P(FtpRealServer, RefusedLoginAndMissingFiles)
{
    Ftp.SetUserName("nobody-here");
    Ftp.SetPassWord("wrong");
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.GetErrorMessage().substr(0, 3), "530") << Ftp.GetErrorMessage();
    EXPECT_TRUE(Ftp.GetConnected());
    EXPECT_FALSE(Ftp.Connect());  // still connected
    EXPECT_TRUE(Ftp.Quit());
    EXPECT_FALSE(Ftp.GetConnected());

    Ftp.SetUserName(Server->User);
    Ftp.SetPassWord(Server->Pass);
    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();
    Ftp.SetHostFileName("missing.bin");
    Ftp.SetLocalFileName(Local("missing.bin"));
    EXPECT_FALSE(Run(&TCustomFtpCli::GetAsync));
    EXPECT_EQ(Ftp.GetStatusCode(), 550);
    // The session goes on.
    Spit(Local("ok.txt"), "ok");
    Ftp.SetHostFileName("ok.txt");
    Ftp.SetLocalFileName(Local("ok.txt"));
    EXPECT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(OnServer("ok.txt")), "ok");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer,
                         ::testing::Values(TServerCase{TRealFtpServer::Pyftpdlib, false},
                                           TServerCase{TRealFtpServer::Pyftpdlib, true},
                                           TServerCase{TRealFtpServer::Vsftpd, false},
                                           TServerCase{TRealFtpServer::Vsftpd, true}),
                         [](const ::testing::TestParamInfo<TServerCase>& I) { return CaseName(I.param); });

} // namespace
