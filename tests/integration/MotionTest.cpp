#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/FtpServers.h"
#include "net/LoopPeers.h"

namespace {

size_t Count(const std::string& Text, const std::string& What)
{
    size_t n = 0;
    for (size_t p = Text.find(What); p != std::string::npos; p = Text.find(What, p + 1))
        ++n;
    return n;
}

} // namespace

// The headless program on the fake camera: a block moving across starts an
// event that ends when the block is gone; its pictures cannot be saved.
// The next event's pictures land in motion/ and on the FTP server, and it
// ends when the camera stalls.
TEST(Motion, MovingBlockEventsAreToldSavedUploadedAndEnded)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    if (!std::ifstream(QUORRELANE_FAKECAM).good())
        GTEST_SKIP() << "the fake camera library is not built";
    TTempDir temp;
    const std::string dir = temp.Name(), control = dir + "/camera", ini = dir + "/videosetting.ini";
    const auto command = [&](const std::string& Line) { std::ofstream(control, std::ios::app) << Line << "\n"; };
    command("add 2 yuyv usb-2 Motion Cam");
    std::filesystem::create_directories(dir + "/ftp/www");
    std::filesystem::create_directories(dir + "/doc");
    Spit(dir + "/doc/motion", "");  // not a directory: no picture can be saved
    TPyFtpd ftpd(dir + "/ftp/", "cam", "pw");
    ASSERT_NE(ftpd.Port(), 0);
    Spit(ini, "[setting]\nDriverindex=1\nport=" + std::to_string(UnusedPort()) + "\nfhost=127.0.0.1:" +
                  std::to_string(ftpd.Port()) + "\nfname=cam\nfpass=\xd7\xd0\nfdir=www\nfpasv=1\nmotion=1\n"
                  "motion_gap=2\nmotion_interval=1\n");
    TLoopProcess program({"env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM, "FAKECAM_CONTROL=" + control,
                          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0", QUORRELANE_BINARY, "--headless",
                          "--docdir", dir + "/doc", "--config", ini, "/a"});
    ASSERT_TRUE(RunUntil([&] { return Count(program.Output, "Ready.") >= 2; }, 30000)) << program.Output;
    EXPECT_EQ(Count(program.Output, "Motion detected"), 0u) << program.Output;

    // A picture that cannot be saved is a line; the event goes on and ends.
    command("block 2 1");
    ASSERT_TRUE(RunUntil([&] { return Count(program.Output, "Motion picture not saved") >= 1; }, 10000)) << program.Output;
    command("block 2 0");
    EXPECT_TRUE(RunUntil([&] { return Count(program.Output, "Motion ended after") == 1; }, 15000)) << program.Output;

    std::filesystem::remove(dir + "/doc/motion");
    command("block 2 1");
    ASSERT_TRUE(RunUntil([&] { return Count(program.Output, "Motion detected") == 2; }, 10000)) << program.Output;
    const auto uploaded = [&] {
        std::vector<std::string> names;
        for (const std::string& r : ftpd.Received())
            if (r.size() == 22 && r.rfind("www/2", 0) == 0)
                names.push_back(r.substr(4));
        return names;
    };
    ASSERT_TRUE(RunUntil([&] { return !uploaded().empty(); }, 20000)) << program.Output;
    for (const std::string& name : uploaded())
        EXPECT_EQ(Slurp(dir + "/ftp/www/" + name), Slurp(dir + "/doc/motion/" + name)) << name;
    command("stall 2 1");
    EXPECT_TRUE(RunUntil([&] { return Count(program.Output, "Motion ended after") == 2; }, 10000)) << program.Output;
    EXPECT_EQ(program.Stop(), 0);
    EXPECT_NE(Slurp(ini).find("motion_gap=2"), std::string::npos);
#endif
}
