// The FTP client through real SOCKS proxies (microsocks with
// authentication, danted) to a real FTP server (pyftpdlib), and through an
// FTP proxy. The SOCKS proxies connect out from 127.0.0.2, so the server
// refuses a data connection that would bypass the proxy: it does not come
// from the control connection's peer.
#include <gtest/gtest.h>

#include <algorithm>
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
