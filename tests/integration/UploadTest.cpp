#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/FtpServers.h"
#include "ftp/FtpTestPeers.h"
#include "ftp/SshdPeer.h"
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

TEST(Upload, AutoStartedHeadlessProgramUploadsOverSftpAndNamesWhyItFails)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp, serverDir;
    TSshdServer sshd(serverDir);
    if (!sshd.SkipReason.empty())
        GTEST_SKIP() << sshd.SkipReason;
    std::filesystem::create_directories(sshd.Root + "/www");
    std::filesystem::permissions(sshd.Root + "/www", std::filesystem::perms::all);
    const std::string dir = temp.Name();
    const std::string ini = dir + "/videosetting.ini";
    auto run = [&](const std::string& Pin) {
        Spit(ini, "[setting]\nport=" + std::to_string(UnusedPort()) + "\nfhost=127.0.0.1:" +
                      std::to_string(sshd.Port) + "\nfname=" + TSshdServer::User + "\nfdir=www\nhistory=1\nfatomic=1\n" +
                      "fproto=sftp\nfkey=" + sshd.Ed25519Key + "\nfhostkey=" + Pin + "\n");
        auto program = std::make_unique<TLoopProcess>(
            std::vector<std::string>{QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config", ini, "/a"});
        auto readies = [&] {
            auto lines = LinesOf(program->Output);
            return std::count(lines.begin(), lines.end(), "Ready.");
        };
        EXPECT_TRUE(RunUntil([&] { return readies() >= 2 || program->Exited; }, 30000)) << program->Output;
        RunUntil([&] { return program->Output.find("Upload failed") != std::string::npos; }, 300);
        return program;
    };
    auto ok = run(sshd.Fingerprint);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(sshd.Root + "/www"))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u) << ok->Output;
    EXPECT_TRUE(std::regex_match(names[0], std::regex("\\d{14}\\.jpg")));
    EXPECT_EQ((std::vector<std::string>{names[1], names[2]}), (std::vector<std::string>{"cam.html", "http.jpg"}));
    EXPECT_EQ(Slurp(sshd.Root + "/www/cam.html"), Slurp(dir + "/doc/cam.html"));
    EXPECT_EQ(Slurp(sshd.Root + "/www/http.jpg"), Slurp(dir + "/doc/http.jpg"));
    EXPECT_EQ(Slurp(sshd.Root + "/www/" + names[0]), Slurp(dir + "/doc/http.jpg"));
    EXPECT_EQ(ok->Output.find("Upload failed"), std::string::npos);

    // Without the pin the host key is unknown: after the run's last
    // status line, one more names it in the form to pin.
    auto unknown = run("");
    const std::string tail = "Ready.\nUpload failed: unknown host key fhostkey=" + sshd.Fingerprint + " (";
    EXPECT_NE(unknown->Output.find(tail), std::string::npos) << unknown->Output;
#endif
}
