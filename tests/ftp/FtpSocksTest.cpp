// The FTP client through real SOCKS proxies (microsocks with
// authentication, danted) to a real FTP server (pyftpdlib), and through an
// FTP proxy. The SOCKS proxies connect out from 127.0.0.2, so the server
// refuses a data connection that would bypass the proxy: it does not come
// from the control connection's peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "ftp/FtpCli.h"
#include "ftp/FtpTestPeers.h"
#include "net/LoopPeers.h"
#include "net/SocksPeers.h"

namespace {

std::string Pattern(size_t Size)
{
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    return s;
}

// Connect, Put and a download back, byte for byte, through whatever way
// Ftp is set to take.
void UploadAndFetch(TFtpClient& Ftp, const TRealFtpServer& Server, const TTempDir& Dir)
{
    const std::string data = Pattern(300000);
    Spit(Dir / "up.bin", data);
    Ftp.SetHostName("127.0.0.1");
    Ftp.SetPort(std::to_string(Server.Port));
    Ftp.SetUserName(Server.User);
    Ftp.SetPassWord(Server.Pass);
    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();
    ASSERT_TRUE(Ftp.TypeBinary());
    Ftp.SetLocalFileName(Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(Server.Root + "/up.bin"), data);
    // A second data connection goes through the proxy as well.
    Ftp.SetLocalFileName(Dir / "back.bin");
    ASSERT_TRUE(Ftp.RunSync(&TCustomFtpCli::GetAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(Dir / "back.bin"), data);
    ASSERT_TRUE(Ftp.Quit());
}

}  // namespace

TEST(FtpSocks, Socks5WithAuthentication)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    auto proxy = TSocksProxy::Microsocks("alice", "s3cret", "127.0.0.2");
    ASSERT_TRUE(proxy->Listening());
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpSocks5);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(proxy->PortText());
    ftp.SetSocksUserCode("alice");
    ftp.SetSocksPassword("s3cret");
    ASSERT_NO_FATAL_FAILURE(UploadAndFetch(ftp, server, dir));
    EXPECT_EQ(ftp.GetSocksServer(), "127.0.0.1");
    // The proxy's log: the control and both data connections.
    EXPECT_TRUE(RunUntil([&] { return proxy->Count("connected to 127.0.0.1:") == 3; })) << proxy->Proc->Output;

    // A wrong proxy password fails the connect with the proxy's code.
    ftp.SetSocksPassword("wrong");
    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.GetErrorMessage(), "500 socks authentication failed (Winsock error #20015)");
}

TEST(FtpSocks, Socks4ThroughDante)
{
    if (!TSocksProxy::CanRunDante())
        GTEST_SKIP() << "danted must start as root to switch to its unprivileged user";
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    auto proxy = TSocksProxy::Dante("127.0.0.2");
    ASSERT_TRUE(proxy->Listening()) << proxy->DanteLog();
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpSocks4);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(proxy->PortText());
    ftp.SetSocksUserCode("cam");
    ASSERT_NO_FATAL_FAILURE(UploadAndFetch(ftp, server, dir));
    EXPECT_TRUE(RunUntil([&] { return Count(proxy->DanteLog(), "tcp/connect [") == 3; })) << proxy->DanteLog();
}

TEST(FtpSocks, Socks5WithoutPasswordAndActiveModeRefused)
{
    TTempDir dir;
    TRealFtpServer server(TRealFtpServer::Pyftpdlib, dir);
    if (!server.SkipReason.empty())
        GTEST_SKIP() << server.SkipReason;
    struct TCase {
        const char* Name;
        std::function<std::unique_ptr<TSocksProxy>()> Start;
        std::function<size_t(const TSocksProxy&)> Connections;
    };
    const auto microsocksLog = [](const TSocksProxy& P) { return P.Count("connected to 127.0.0.1:"); };
    const auto danteLog = [](const TSocksProxy& P) { return Count(P.DanteLog(), "tcp/connect ["); };
    std::vector<TCase> cases = {{"microsocks", [] { return TSocksProxy::Microsocks("", "", "127.0.0.2"); }, microsocksLog}};
    if (TSocksProxy::CanRunDante()) {
        cases.push_back({"danted", [] { return TSocksProxy::Dante("127.0.0.2"); }, danteLog});
        // Both methods allowed: without a user name it takes no authentication.
        cases.push_back({"danted with users", [] { return TSocksProxy::Dante("127.0.0.2", "username none"); }, danteLog});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto proxy = c.Start();
        ASSERT_TRUE(proxy->Listening());
        TFtpClient ftp(nullptr);
        ftp.SetConnectionType(ftpSocks5);
        ftp.SetSocksServer("127.0.0.1");
        ftp.SetSocksPort(proxy->PortText());
        ASSERT_NO_FATAL_FAILURE(UploadAndFetch(ftp, server, dir));
        EXPECT_TRUE(RunUntil([&] { return c.Connections(*proxy) == 3; }));

        // Active mode cannot go through the proxy: refused before anything
        // is sent, the control connection stays.
        ASSERT_TRUE(ftp.Connect());
        ftp.SetPassive(false);
        ftp.SetLocalFileName(dir / "up.bin");
        EXPECT_FALSE(ftp.Put());
        EXPECT_EQ(ftp.GetErrorMessage(), "501 Active mode cannot go through the SOCKS proxy: use passive mode");
        EXPECT_TRUE(ftp.GetConnected());
        EXPECT_TRUE(ftp.Quit());
        EXPECT_TRUE(RunUntil([&] { return c.Connections(*proxy) == 4; }));
    }
    // A proxy that wants a user name gets one when it is set.
    if (TSocksProxy::CanRunDante()) {
        auto proxy = TSocksProxy::Dante("127.0.0.2", "username");
        ASSERT_TRUE(proxy->Listening());
        TFtpClient ftp(nullptr);
        ftp.SetConnectionType(ftpSocks5);
        ftp.SetSocksServer("127.0.0.1");
        ftp.SetSocksPort(proxy->PortText());
        ftp.SetSocksUserCode("nobody");
        ftp.SetSocksPassword("wrong");
        ftp.SetHostName("127.0.0.1");
        ftp.SetPort(std::to_string(server.Port));
        EXPECT_FALSE(ftp.Connect());
        EXPECT_EQ(ftp.GetErrorMessage(), "500 socks authentication failed (Winsock error #20015)");
    }
}

TEST(FtpSocks, FtpProxyTakesTheHostInTheUserName)
{
    TScriptedFtpServer proxy;
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpProxy);
    ftp.SetProxyServer("127.0.0.1");
    ftp.SetHostName("ftp.example.org");
    ftp.SetPort(std::to_string(proxy.Port));
    ftp.SetUserName("cam");
    ftp.SetPassWord("pw");
    ASSERT_TRUE(ftp.Connect()) << ftp.GetErrorMessage();
    EXPECT_NE(std::find(proxy.Lines.begin(), proxy.Lines.end(), "USER cam@ftp.example.org"), proxy.Lines.end());
    EXPECT_TRUE(ftp.GetPassive());
}
