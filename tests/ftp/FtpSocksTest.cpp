// The FTP client through a SOCKS 5 proxy with authentication (microsocks)
// to a real FTP server (pyftpdlib). The proxy connects out from 127.0.0.2,
// so the server sees which connections came through it, and refuses a
// data connection that does not come from the control connection's peer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "ftp/FtpCli.h"
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

}  // namespace

TEST(FtpSocks, PutAndGetThroughSocks5WithAuthentication)
{
    TTempDir dir;
    std::filesystem::create_directory(dir / "root");
    int ftpPort = UnusedPort(), proxyPort = UnusedPort();
    TLoopProcess server({"/usr/bin/python3", "-c", FtpServerScript, dir / "root", std::to_string(ftpPort), dir / "ftp.log"});
    TLoopProcess proxy({"/bin/sh", "-c",
                        "exec /usr/bin/microsocks -i 127.0.0.1 -p " + std::to_string(proxyPort) +
                            " -b 127.0.0.2 -u alice -P s3cret 2>&1"});
    ASSERT_TRUE(WaitListening(ftpPort) && WaitListening(proxyPort));

    const std::string data = Pattern(300000);
    Spit(dir / "up.bin", data);
    TFtpClient ftp(nullptr);
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(std::to_string(ftpPort));
    ftp.SetUserName("cam");
    ftp.SetPassWord("pw");
    ftp.SetConnectionType(ftpSocks5);
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort(std::to_string(proxyPort));
    ftp.SetSocksUserCode("alice");
    ftp.SetSocksPassword("s3cret");
    ASSERT_TRUE(ftp.Connect()) << ftp.GetErrorMessage();
    ASSERT_TRUE(ftp.TypeBinary());
    ftp.SetLocalFileName(dir / "up.bin");
    ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(ftp.Put()) << ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(dir / "root/up.bin"), data);
    // A second data connection goes through the proxy as well.
    ftp.SetLocalFileName(dir / "back.bin");
    ASSERT_TRUE(ftp.RunSync(&TCustomFtpCli::GetAsync)) << ftp.GetErrorMessage();
    EXPECT_EQ(Slurp(dir / "back.bin"), data);
    EXPECT_EQ(ftp.GetSocksServer(), "127.0.0.1");
    ASSERT_TRUE(ftp.Quit());

    // Control and both data connections came from the proxy.
    EXPECT_TRUE(RunUntil([&] {
        size_t n = 0;
        for (size_t at = 0; (at = proxy.Output.find("connected to 127.0.0.1:", at)) != std::string::npos; ++at)
            ++n;
        return n >= 3;
    })) << proxy.Output;
    std::string log = Slurp(dir / "ftp.log");
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

    // A wrong proxy password fails the connect with the proxy's code.
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPassword("wrong");
    EXPECT_FALSE(ftp.Connect());
    EXPECT_NE(ftp.GetErrorMessage().find("20015"), std::string::npos) << ftp.GetErrorMessage();
}
