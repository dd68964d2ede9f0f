#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "imaging/ImagingTestSupport.h"
#include "net/LoopPeers.h"

TEST(WebServing, AutoStartedProgramServesTheLivePicture)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp;
    std::string dir = temp.Name();
    int port = UnusedPort();
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\n");
    {
        TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config",
                              dir + "/videosetting.ini", "/a"});
        std::string base = "http://127.0.0.1:" + std::to_string(port);
        TLoopProcess picture({"curl", "-s", "--max-time", "30", "--retry", "30", "--retry-delay", "1",
                              "--retry-connrefused", base + "/http.jpg"});
        ASSERT_TRUE(RunUntil([&] { return picture.Exited; }, 60000));
        EXPECT_EQ(picture.ExitCode, 0);
        EXPECT_EQ(JpegSize(picture.Output), std::make_pair(320, 240));

        TLoopProcess outside({"curl", "-s", "--path-as-is", "-o", "/dev/null", "-w", "%{http_code}", "--max-time",
                              "30", base + "/../../../../etc/passwd"});
        ASSERT_TRUE(RunUntil([&] { return outside.Exited; }, 60000));
        EXPECT_EQ(outside.Output, "404");

        TLoopClient huge(port);
        huge.Send("GET /" + std::string(100000, 'x'));
        ASSERT_TRUE(RunUntil([&] { return huge.Closed; }, 30000));
        EXPECT_EQ(huge.Data, "");
        // The program goes on serving.
        TLoopProcess again({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "30",
                            base + "/http.jpg"});
        ASSERT_TRUE(RunUntil([&] { return again.Exited; }, 60000));
        EXPECT_EQ(again.Output, "200");

        // "/": a page with the stream until the data directory has its own;
        // the status is never cached.
        const auto get = [&](const std::string& Path) {
            TLoopProcess curl({"curl", "-s", "-i", "--max-time", "30", base + Path});
            RunUntil([&] { return curl.Exited; }, 60000);
            return curl.Output;
        };
        EXPECT_NE(get("/").find("<img src=\"/stream\""), std::string::npos);
        const std::string status = get("/status.json");
        EXPECT_NE(status.find("Cache-Control: no-store\r\n"), std::string::npos) << status;
        EXPECT_NE(status.find("\"state\": \"live\""), std::string::npos) << status;
        EXPECT_NE(status.find("\"version\": \"1."), std::string::npos) << status;
        Spit(dir + "/doc/index.html", "own page");
        EXPECT_NE(get("/").find("\r\n\r\nown page"), std::string::npos);
    }
#endif
}
