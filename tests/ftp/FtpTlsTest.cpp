// Explicit FTP over TLS against vsftpd (requiring TLS on both connections
// and session reuse on data connections) in active and passive mode,
// against pyftpdlib's TLS handler on the control connection (its TLS data
// connections fail with any client), and the ways it must fail without
// falling back.
#include <gtest/gtest.h>

#include <filesystem>

#include "ftp/FtpTestPeers.h"

namespace {

std::string Pattern(size_t Size, unsigned Seed)
{
    std::string s(Size, '\0');
    uint32_t x = Seed * 2654435761u + 7;
    for (size_t i = 0; i < Size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

bool StartsWith(const std::string& S, const std::string& Prefix) { return S.compare(0, Prefix.size(), Prefix) == 0; }

struct TTlsCase {
    TRealFtpServer::TKind Kind;
    bool Passive;
};

void PrintTo(const TTlsCase& C, std::ostream* Os)
{
    *Os << (C.Kind == TRealFtpServer::Pyftpdlib ? "Pyftpdlib" : "Vsftpd") << (C.Passive ? "Passive" : "Active");
}

class FtpTlsClient {
public:
    FtpTlsClient() { Rec.Attach(Ftp); }
    ~FtpTlsClient()
    {
        if (::testing::Test::HasFailure())
            Dump();
        if (Ftp.GetConnected())
            Ftp.Quit();
        for (int i = 0; i < 20; ++i)
            PumpPendingMessages();
    }
    void Target(int Port, const std::string& User, const std::string& Pass, bool Passive)
    {
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(std::to_string(Port));
        Ftp.SetUserName(User);
        Ftp.SetPassWord(Pass);
        if (Passive)
            Ftp.SetConnectionType(ftpProxy);  // every type but direct turns passive mode on
        Ftp.SetConnectionType(ftpDirect);
        Ftp.SetTls(true);
        Ftp.SetTimeout(20);
    }
    bool SentInClear(const std::string& Verb) const
    {
        for (const auto& d : Rec.Display)
            if (StartsWith(d, "> " + Verb))
                return true;
        return false;
    }
    void Dump() const
    {
        for (const auto& d : Rec.Display)
            std::printf("display: %s\n", d.c_str());
    }

    TFtpClient Ftp{nullptr};
    TFtpRecorder Rec;
};

class FtpTlsServer : public ::testing::TestWithParam<TTlsCase> {};

TEST_P(FtpTlsServer, UploadAndDownloadByteForByte)
{
    TTempDir dir;
    TRealFtpServer server(GetParam().Kind, dir, true);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    FtpTlsClient c;
    c.Target(server.Port, server.User, server.Pass, GetParam().Passive);
    // Colons and case do not matter.
    std::string fp = server.Fingerprint;
    for (char& ch : fp)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    c.Ftp.SetTlsFingerprint(fp);

    const std::string content = Pattern(700000, 3);
    Spit(dir / "pic.jpg", content);
    ASSERT_TRUE(c.Ftp.Connect()) << c.Ftp.GetErrorMessage();
    EXPECT_TRUE(c.Ftp.GetControlSocket()->GetTlsEstablished());
    ASSERT_TRUE(c.Ftp.TypeBinary()) << c.Ftp.GetErrorMessage();
    c.Ftp.SetHostFileName("pic.jpg");
    c.Ftp.SetLocalFileName(dir / "pic.jpg");
    ASSERT_TRUE(c.Ftp.Put()) << c.Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(server.Root + "/pic.jpg"), content);
    // A second data connection in the same session, shorter than a record.
    Spit(dir / "cam.html", "<html>page</html>\r\n");
    c.Ftp.SetHostFileName("cam.html");
    c.Ftp.SetLocalFileName(dir / "cam.html");
    ASSERT_TRUE(c.Ftp.Put()) << c.Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(server.Root + "/cam.html"), "<html>page</html>\r\n");

    c.Ftp.SetHostFileName("pic.jpg");
    c.Ftp.SetLocalFileName(dir / "back.jpg");
    ASSERT_TRUE(c.Ftp.RunSync(&TCustomFtpCli::GetAsync)) << c.Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(dir / "back.jpg"), content);
    ASSERT_TRUE(c.Ftp.Quit()) << c.Ftp.GetErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsServer,
                         ::testing::Values(TTlsCase{TRealFtpServer::Vsftpd, false},
                                           TTlsCase{TRealFtpServer::Vsftpd, true}),
                         [](const auto& Info) {
                             return std::string(Info.param.Kind == TRealFtpServer::Pyftpdlib ? "Pyftpdlib"
                                                                                             : "Vsftpd") +
                                    (Info.param.Passive ? "Passive" : "Active");
                         });

TEST(FtpTls, PyftpdlibSessionIsProtected)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir, true);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    FtpTlsClient c;
    c.Target(server.Port, server.User, server.Pass, true);
    c.Ftp.SetTlsFingerprint(server.Fingerprint);
    ASSERT_TRUE(c.Ftp.Connect()) << c.Ftp.GetErrorMessage();
    // The server takes PBSZ and PROT only over TLS.
    EXPECT_TRUE(c.Rec.Shown("> PROT P"));
    EXPECT_TRUE(c.Rec.Shown("< 200 Protection set to Private"));
    c.Ftp.SetHostFileName("made");
    ASSERT_TRUE(c.Ftp.RunSync(&TCustomFtpCli::MkdAsync)) << c.Ftp.GetErrorMessage();
    EXPECT_TRUE(std::filesystem::is_directory(server.Root + "/made"));
    ASSERT_TRUE(c.Ftp.Quit()) << c.Ftp.GetErrorMessage();
}

// The certificate is refused, by fingerprint or by the CA store; the
// password never leaves.
TEST(FtpTls, WrongFingerprintAndUntrustedCertificateFail)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir, true);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    {
        FtpTlsClient c;
        c.Target(server.Port, server.User, server.Pass, true);
        c.Ftp.SetTlsFingerprint(std::string(95, '0').replace(2, 1, ":"));
        EXPECT_FALSE(c.Ftp.Connect());
        EXPECT_TRUE(StartsWith(c.Ftp.GetErrorMessage(), "certificate verify failed: SHA-256 fingerprint does not match"))
            << c.Ftp.GetErrorMessage();
        EXPECT_NE(c.Ftp.GetErrorMessage().find(server.Fingerprint), std::string::npos);
        EXPECT_FALSE(c.SentInClear("USER"));
        EXPECT_FALSE(c.Ftp.GetConnected());
        EXPECT_EQ(c.Ftp.GetState(), ftpStateReady);
    }
    {
        FtpTlsClient c;
        c.Target(server.Port, server.User, server.Pass, true);
        EXPECT_FALSE(c.Ftp.Connect());
        EXPECT_TRUE(StartsWith(c.Ftp.GetErrorMessage(), "certificate verify failed: self-signed certificate"))
            << c.Ftp.GetErrorMessage();
        EXPECT_FALSE(c.SentInClear("USER"));
    }
}

TEST(FtpTls, ServerWithoutAuthTlsIsNotUsedInClear)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir, false);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    FtpTlsClient c;
    c.Target(server.Port, server.User, server.Pass, true);
    EXPECT_FALSE(c.Ftp.Connect());
    EXPECT_TRUE(StartsWith(c.Ftp.GetErrorMessage(), "534 ")) << c.Ftp.GetErrorMessage();
    EXPECT_FALSE(c.SentInClear("USER"));
    EXPECT_FALSE(c.SentInClear("PASS"));
    EXPECT_FALSE(c.Ftp.GetConnected());
}

TEST(FtpTls, ServerClosingDuringTheHandshake)
{
    // After 234 the server hangs up, once at once and once after some
    // bytes that are no TLS.
    for (const std::string& junk : {std::string(), std::string("garbage, not a TLS record\r\n")}) {
        TScriptedFtpServer server;
        server.OnLine = [&](const std::string& Line) {
            if (Line == "AUTH TLS") {
                server.Reply("234 Go ahead");
                if (!junk.empty())
                    server.SendRaw(junk);
                server.CloseControl();
            } else {
                server.Standard(Line);
            }
        };
        FtpTlsClient c;
        c.Target(server.Port, "user", "secret", true);
        EXPECT_FALSE(c.Ftp.Connect());
        EXPECT_TRUE(StartsWith(c.Ftp.GetErrorMessage(), "TLS handshake failed: ")) << c.Ftp.GetErrorMessage();
        for (const auto& l : server.Lines)
            EXPECT_FALSE(StartsWith(l, "USER") || StartsWith(l, "PASS")) << l;
        EXPECT_FALSE(c.Ftp.GetConnected());
    }
}

} // namespace
