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

// A relay on the control connection that writes every byte it passes
// into a file.
const char* const RelayScript = R"(
import socket, sys, threading
lst = socket.socket()
lst.bind(('127.0.0.1', 0))
lst.listen(1)
print('PORT %d' % lst.getsockname()[1], flush=True)
c, _ = lst.accept()
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
log = open(sys.argv[2], 'wb')
def pipe(a, b):
    while True:
        d = a.recv(65536)
        if not d:
            break
        log.write(d)
        log.flush()
        b.sendall(d)
    try:
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass
t = threading.Thread(target=pipe, args=(s, c))
t.start()
pipe(c, s)
t.join()
)";

TEST(FtpTls, PyftpdlibSessionIsProtected)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir, true);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    TLoopProcess relay({"/usr/bin/python3", "-c", RelayScript, std::to_string(server.Port), dir / "wire.bin"});
    auto relayPort = [&] {
        size_t p = relay.Output.find("PORT ");
        return p == std::string::npos ? 0 : std::atoi(relay.Output.c_str() + p + 5);
    };
    ASSERT_TRUE(RunUntil([&] { return relayPort() != 0 || relay.Exited; }, 20000));
    ASSERT_NE(relayPort(), 0);
    FtpTlsClient c;
    c.Target(relayPort(), server.User, server.Pass, true);
    c.Ftp.SetTlsFingerprint(server.Fingerprint);
    ASSERT_TRUE(c.Ftp.Connect()) << c.Ftp.GetErrorMessage();
    // The server takes PBSZ and PROT only over TLS.
    EXPECT_TRUE(c.Rec.Shown("> PROT P"));
    EXPECT_TRUE(c.Rec.Shown("< 200 Protection set to Private"));
    c.Ftp.SetHostFileName("made");
    ASSERT_TRUE(c.Ftp.RunSync(&TCustomFtpCli::MkdAsync)) << c.Ftp.GetErrorMessage();
    EXPECT_TRUE(std::filesystem::is_directory(server.Root + "/made"));
    ASSERT_TRUE(c.Ftp.Quit()) << c.Ftp.GetErrorMessage();
    // Only the greeting and AUTH TLS crossed in clear.
    const std::string wire = Slurp(dir / "wire.bin");
    EXPECT_NE(wire.find("AUTH TLS"), std::string::npos);
    for (const char* secret : {"USER", "secret", "PROT", "MKD", "made"})
        EXPECT_EQ(wire.find(secret), std::string::npos) << secret;
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
