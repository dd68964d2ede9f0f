// The FTP client through real SOCKS proxies (microsocks with
// authentication, danted) to a real FTP server (pyftpdlib), and through an
// FTP proxy. The SOCKS proxies connect out from 127.0.0.2, so the server
// sees which connections came through them, and refuses a data connection
// that does not come from the control connection's peer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "ftp/FtpCli.h"
#include "ftp/FtpTestPeers.h"
#include "net/LoopPeers.h"

namespace {

bool WaitListening(int Port)
{
    return RunUntil([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(Port);
        bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return up;
    });
}

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
    int proxyPort = UnusedPort();
    TLoopProcess proxy({"/bin/sh", "-c",
                        "exec /usr/bin/microsocks -i 127.0.0.1 -p " + std::to_string(proxyPort) +
                            " -b 127.0.0.2 -u alice -P s3cret 2>&1"});
    ASSERT_TRUE(WaitListening(server.Port) && WaitListening(proxyPort));
    TFtpClient ftp(nullptr);
    ftp.SetConnectionType(ftpSocks5);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(std::to_string(proxyPort));
    ftp.SetSocksUserCode("alice");
    ftp.SetSocksPassword("s3cret");
    UploadAndFetch(ftp, server);
    EXPECT_EQ(ftp.GetSocksServer(), "127.0.0.1");
    server.ExpectProxiedSession();
    // The proxy's own log: control and both data connections.
    EXPECT_TRUE(RunUntil([&] {
        size_t n = 0;
        for (size_t at = 0; (at = proxy.Output.find("connected to 127.0.0.1:", at)) != std::string::npos; ++at)
            ++n;
        return n >= 3;
    })) << proxy.Output;

    // A wrong proxy password fails the connect with the proxy's code.
    ftp.SetSocksPassword("wrong");
    EXPECT_FALSE(ftp.Connect());
    EXPECT_NE(ftp.GetErrorMessage().find("20015"), std::string::npos) << ftp.GetErrorMessage();
}

TEST(FtpSocks, Socks4ThroughDante)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "danted must start as root to switch to its unprivileged user";
    TFtpServer server;
    int proxyPort = UnusedPort();
    Spit(server.Dir / "danted.conf",
         "logoutput: " + server.Dir / "danted.log" + "\ninternal: 127.0.0.1 port = " + std::to_string(proxyPort) +
             "\nexternal: 127.0.0.2\nclientmethod: none\nsocksmethod: none\n"
             "user.privileged: root\nuser.unprivileged: nobody\n"
             "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
             "socks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n command: connect\n log: connect\n}\n");
    TLoopProcess proxy({"/usr/sbin/danted", "-f", server.Dir / "danted.conf", "-p", server.Dir / "danted.pid"});
    ASSERT_TRUE(WaitListening(server.Port) && WaitListening(proxyPort)) << Slurp(server.Dir / "danted.log");
    {
        TFtpClient ftp(nullptr);
        ftp.SetConnectionType(ftpSocks4);
        ftp.SetSocksServer("127.0.0.1");
        ftp.SetSocksPort(std::to_string(proxyPort));
        ftp.SetSocksUserCode("cam");
        UploadAndFetch(ftp, server);
        server.ExpectProxiedSession();
    }
    // danted ends its children on SIGTERM; its output closes when all are gone.
    std::string pid = Slurp(server.Dir / "danted.pid");
    if (!pid.empty() && std::stoi(pid) > 0 && kill(std::stoi(pid), SIGTERM) == 0)
        RunUntil([&] { return proxy.Exited; }, 5000);
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
