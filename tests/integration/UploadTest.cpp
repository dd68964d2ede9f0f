#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/FtpServers.h"
#include "ftp/FtpTestPeers.h"
#include "net/LoopPeers.h"

namespace {

std::vector<std::string> LinesOf(const std::string& Text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t end; (end = Text.find('\n', pos)) != std::string::npos; pos = end + 1)
        lines.push_back(Text.substr(pos, end - pos));
    return lines;
}

std::string Scrambled(const std::string& Password)
{
    std::string s;
    for (char c : Password)
        s += static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
    return s;
}

} // namespace

TEST(Upload, AutoStartedHeadlessProgramUploadsAndPrintsEachStepOnce)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp;
    std::string dir = temp.Name();
    std::filesystem::create_directories(dir + "/ftp/www");
    TPyFtpd ftpd(dir + "/ftp/", "cam", "secret");
    ASSERT_NE(ftpd.Port(), 0);
    std::string pass;
    for (char c : std::string("secret"))
        pass += static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
    const std::string ini = dir + "/videosetting.ini";
    Spit(ini, "[setting]\nport=" + std::to_string(UnusedPort()) + "\nfhost=127.0.0.1:" +
                  std::to_string(ftpd.Port()) + "\nfname=cam\nfpass=" + pass + "\nfdir=www\nfpasv=1\nhistory=1\n");
    TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config", ini, "/a"});
    ASSERT_TRUE(ftpd.WaitReceived(3));
    auto readies = [&] {
        auto lines = LinesOf(program.Output);
        return std::count(lines.begin(), lines.end(), "Ready.");
    };
    ASSERT_TRUE(RunUntil([&] { return readies() >= 2; }, 20000)) << program.Output;
    std::vector<std::string> status;
    for (const std::string& line : LinesOf(program.Output))
        if (line == "Ready." || line.find("...") != std::string::npos)
            status.push_back(line);
    EXPECT_EQ(status, (std::vector<std::string>{"Ready.", "FTP Start...", "Connecting...", "CWD...", "PUT jpg...",
                                                "PUT history jpg...", "PUT cam.html...", "Ready."}));
    EXPECT_EQ(Slurp(dir + "/ftp/www/cam.html"), Slurp(dir + "/doc/cam.html"));
    EXPECT_NE(Slurp(dir + "/doc/cam.html").find("Live camera is now"), std::string::npos);
    EXPECT_EQ(ftpd.Commands()[4], "PASV");
#endif
}

TEST(Upload, AutoStartedHeadlessProgramUploadsOverTls)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp, serverDir;
    TRealFtpServer vsftpd(TRealFtpServer::Vsftpd, serverDir, true);
    if (!vsftpd.SkipReason.empty())
        GTEST_SKIP() << vsftpd.SkipReason;
    const std::string dir = temp.Name();
    const std::string ini = dir + "/videosetting.ini";
    Spit(ini, "[setting]\nport=" + std::to_string(UnusedPort()) + "\nfhost=127.0.0.1:" + std::to_string(vsftpd.Port) +
                  "\nfname=" + vsftpd.User + "\nfpass=" + Scrambled(vsftpd.Pass) + "\nfdir=" + vsftpd.Root +
                  "\nfpasv=1\nftls=1\nftlsfp=" + vsftpd.Fingerprint + "\n");
    TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config", ini, "/a"});
    auto status = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : LinesOf(program.Output))
            if (line == "Ready." || line.find("...") != std::string::npos)
                lines.push_back(line);
        return lines;
    };
    auto readies = [&] {
        auto lines = status();
        return std::count(lines.begin(), lines.end(), "Ready.");
    };
    ASSERT_TRUE(RunUntil([&] { return readies() >= 2 || program.Exited; }, 20000)) << program.Output;
    EXPECT_EQ(status(), (std::vector<std::string>{"Ready.", "FTP Start...", "Connecting (TLS)...", "CWD...",
                                                  "PUT jpg...", "PUT cam.html...", "Ready."}));
    EXPECT_EQ(Slurp(vsftpd.Root + "/cam.html"), Slurp(dir + "/doc/cam.html"));
    EXPECT_EQ(Slurp(vsftpd.Root + "/http.jpg"), Slurp(dir + "/doc/http.jpg"));
    EXPECT_FALSE(Slurp(vsftpd.Root + "/http.jpg").empty());
#endif
}
