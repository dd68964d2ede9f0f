// The FTP client through real SOCKS proxies (microsocks with
// authentication, danted) to a real FTP server (pyftpdlib), and through an
// FTP proxy. The SOCKS proxies connect out from 127.0.0.2, so the server
// sees which connections came through them, and refuses a data connection
// that does not come from the control connection's peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "ftp/FtpCli.h"
#include "ftp/FtpTestPeers.h"
#include "net/LoopPeers.h"
#include "net/SocksPeers.h"

namespace {

const char* const FtpServerScript = R"(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(filename=sys.argv[3], level=logging.INFO)
auth = DummyAuthorizer()
auth.add_user("cam", "pw", sys.argv[1], perm="elradfmw")
FTPHandler.authorizer = auth
FTPServer(("127.0.0.1", int(sys.argv[2])), FTPHandler).serve_forever()
)";

std::string Pattern(size_t Size)
{
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    return s;
}

// A pyftpdlib server in a temporary directory, logging to a file.
struct TFtpServer {
    TTempDir Dir;
    int Port = UnusedPort();
    std::unique_ptr<TLoopProcess> Proc;
    TFtpServer()
    {
        std::filesystem::create_directory(Dir / "root");
        Proc = std::make_unique<TLoopProcess>(std::vector<std::string>{
            "/usr/bin/python3", "-c", FtpServerScript, Dir / "root", std::to_string(Port), Dir / "ftp.log"});
    }
    // Every line of the session was logged with the proxy's address.
    void ExpectProxiedSession() const
    {
        std::string log = Slurp(Dir / "ftp.log");
        std::istringstream lines(log);
        int session = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.find("-[cam]") != std::string::npos) {
                ++session;
                EXPECT_NE(line.find("127.0.0.2:"), std::string::npos) << line;
            }
        EXPECT_GT(session, 0) << log;
        EXPECT_NE(log.find("STOR"), std::string::npos) << log;
        EXPECT_NE(log.find("RETR"), std::string::npos) << log;
    }
};

// Connect, Put and a download back, byte for byte.
void UploadAndFetch(TFtpClient& Ftp, const TFtpServer& Server)
{
    const std::string data = Pattern(300000);
    Spit(Server.Dir / "up.bin", data);
    Ftp.SetHostName("127.0.0.1");
    Ftp.SetPort(std::to_string(Server.Port));
    Ftp.SetUserName("cam");
    Ftp.SetPassWord("pw");
    ASSERT_TRUE(Ftp.Connect()) << Ftp.GetErrorMessage();
    ASSERT_TRUE(Ftp.TypeBinary());
    Ftp.SetLocalFileName(Server.Dir / "up.bin");
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Ftp.Put()) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(Server.Dir / "root/up.bin"), data);
    // A second data connection goes through the proxy as well.
    Ftp.SetLocalFileName(Server.Dir / "back.bin");
    ASSERT_TRUE(Ftp.RunSync(&TCustomFtpCli::GetAsync)) << Ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(Server.Dir / "back.bin"), data);
    ASSERT_TRUE(Ftp.Quit());
}

}  // namespace

TEST(FtpSocks, Socks5WithAuthentication)
{
    TFtpServer server;
    auto proxy = TSocksProxy::Microsocks("alice", "s3cret", "127.0.0.2");
    ASSERT_TRUE(WaitListening(server.Port) && proxy->Listening());
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpSocks5);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(proxy->PortText());
    ftp.SetSocksUserCode("alice");
    ftp.SetSocksPassword("s3cret");
    UploadAndFetch(ftp, server);
    EXPECT_EQ(ftp.GetSocksServer(), "127.0.0.1");
    server.ExpectProxiedSession();
    // The proxy's own log: control and both data connections.
    EXPECT_TRUE(RunUntil([&] { return proxy->Count("connected to 127.0.0.1:") >= 3; })) << proxy->Proc->Output;

    // A wrong proxy password fails the connect with the proxy's code.
    ftp.SetSocksPassword("wrong");
    EXPECT_FALSE(ftp.Connect());
    EXPECT_NE(ftp.GetErrorMessage().find("20015"), std::string::npos) << ftp.GetErrorMessage();
}

TEST(FtpSocks, Socks4ThroughDante)
{
    if (!TSocksProxy::CanRunDante())
        GTEST_SKIP() << "danted must start as root to switch to its unprivileged user";
    TFtpServer server;
    auto proxy = TSocksProxy::Dante("127.0.0.2");
    ASSERT_TRUE(WaitListening(server.Port) && proxy->Listening()) << proxy->DanteLog();
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpSocks4);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(proxy->PortText());
    ftp.SetSocksUserCode("cam");
    UploadAndFetch(ftp, server);
    server.ExpectProxiedSession();
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
