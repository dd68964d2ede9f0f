#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "TestSupport.h"
#include "net/LoopPeers.h"

namespace {

// Width and height of a decodable JPEG image; 0, 0 otherwise.
std::pair<int, int> JpegSize(const std::string& data)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = [](j_common_ptr) { throw std::runtime_error("bad jpeg"); };
    try {
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.data()), data.size());
        jpeg_read_header(&cinfo, TRUE);
        jpeg_start_decompress(&cinfo);
        std::vector<unsigned char> row(cinfo.output_width * cinfo.output_components);
        while (cinfo.output_scanline < cinfo.output_height) {
            unsigned char* p = row.data();
            jpeg_read_scanlines(&cinfo, &p, 1);
        }
        jpeg_finish_decompress(&cinfo);
        std::pair<int, int> size(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
        jpeg_destroy_decompress(&cinfo);
        return size;
    } catch (const std::exception&) {
        jpeg_destroy_decompress(&cinfo);
        return {0, 0};
    }
}

} // namespace

TEST(WebServing, AutoStartedProgramServesTheLivePicture)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp;
    std::string dir = temp.Name();
    int port = UnusedPort();
    std::ofstream(dir + "/videosetting.ini") << "[setting]\nport=" << port << "\nDriverindex=0\n";
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
    }
#endif
}
