#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "net/LoopPeers.h"

namespace {

const char Chromium[] = "/usr/bin/chromium";
const char ChromeDriver[] = "/usr/bin/chromedriver";

// The string value of "Key" in a JSON answer, up to the next quote (enough
// for session ids and base64); empty if absent.
std::string JsonString(const std::string& Json, const std::string& Key)
{
    const std::string lead = "\"" + Key + "\":\"";
    const size_t p = Json.find(lead);
    if (p == std::string::npos)
        return "";
    const size_t start = p + lead.size();
    const size_t end = Json.find('"', start);
    return end == std::string::npos ? "" : Json.substr(start, end - start);
}

// A WebDriver session in headless Chromium, through chromedriver on an
// unused port; ended (with the browser) when it goes.
class TBrowser {
public:
    explicit TBrowser(const std::string& ProfileDir)
        : FPort(UnusedPort()), FBase("http://127.0.0.1:" + std::to_string(FPort)),
          FDriver({ChromeDriver, "--port=" + std::to_string(FPort)})
    {
        if (Call("GET", "/status", "", 30, true).find("\"ready\":true") == std::string::npos)
            return;
        std::string args;
        for (const std::string a : {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                    "--disable-dev-shm-usage", "--window-size=800,600"})
            args += "\"" + a + "\",";
        args += "\"--user-data-dir=" + ProfileDir + "\"";
        // "eager": the page counts as loaded once parsed, since its
        // picture never finishes loading.
        FSession = JsonString(Call("POST", "/session",
                                   R"({"capabilities":{"alwaysMatch":{"pageLoadStrategy":"eager","goog:chromeOptions":{"binary":")" +
                                       std::string(Chromium) + R"(","args":[)" + args + "]}}}}",
                                   60),
                              "sessionId");
    }
    ~TBrowser()
    {
        if (!FSession.empty())
            Call("DELETE", "/session/" + FSession, "", 30);
        FDriver.Stop(SIGTERM, 10000);
    }

    bool Started() const { return !FSession.empty(); }
    std::string Log() const { return FDriver.Output; }

    // A command of the session: the answer's JSON.
    std::string Command(const std::string& Method, const std::string& Path, const std::string& Body = "")
    {
        return Call(Method, "/session/" + FSession + Path, Body, 30);
    }
    // The script's result as JSON text ("value":...).
    std::string Run(const std::string& Script)
    {
        return Command("POST", "/execute/sync", R"({"script":")" + Script + R"(","args":[]})");
    }
    // The window's content as base64 PNG.
    std::string Screenshot() { return JsonString(Command("GET", "/screenshot"), "value"); }

private:
    // Retry: ask again while chromedriver is starting.
    std::string Call(const std::string& Method, const std::string& Path, const std::string& Body, int Seconds,
                     bool Retry = false)
    {
        std::vector<std::string> argv{"curl", "-s", "--max-time", std::to_string(Seconds), "-X", Method, FBase + Path};
        if (Retry)
            argv.insert(argv.end(), {"--retry", "20", "--retry-delay", "1", "--retry-connrefused"});
        if (!Body.empty())
            argv.insert(argv.end(), {"-H", "Content-Type: application/json", "--data-binary", Body});
        TLoopProcess curl(argv);
        RunUntil([&] { return curl.Exited; }, (Seconds + 30) * 1000);
        return curl.Output;
    }

    int FPort;
    std::string FBase;
    TLoopProcess FDriver;
    std::string FSession;
};

} // namespace

TEST(Browser, PageWithTheStreamShowsAMovingPicture)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    if (::access(Chromium, X_OK) != 0 || ::access(ChromeDriver, X_OK) != 0)
        GTEST_SKIP() << "chromium and chromium-driver are not installed";
    TTempDir temp;
    const std::string dir = temp.Name();
    const int port = UnusedPort();
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\n");
    std::filesystem::create_directories(dir + "/doc");
    Spit(dir + "/doc/live.html", "<html><body style=\"margin:0\"><img id=\"live\" src=\"/stream\"></body></html>\n");
    TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config", dir + "/videosetting.ini",
                          "/a"});
    ASSERT_TRUE(RunUntil([&] { return program.Output.find("Serving http://") != std::string::npos; }, 30000))
        << program.Output;

    TBrowser browser(dir + "/profile");
    ASSERT_TRUE(browser.Started()) << browser.Log();
    browser.Command("POST", "/url", R"({"url":"http://127.0.0.1:)" + std::to_string(port) + R"(/live.html"})");
    // The first part decoded: the picture has the test pattern's size.
    std::string size;
    EXPECT_TRUE(RunUntil([&] {
        size = browser.Run("var i = document.getElementById('live'); return i.naturalWidth + 'x' + i.naturalHeight;");
        return size.find("320x240") != std::string::npos;
    }, 20000, 200))
        << size;

    const std::string first = browser.Screenshot();
    RunUntil([] { return false; }, 1000);
    const std::string second = browser.Screenshot();
    ASSERT_GT(first.size(), 1000u);
    ASSERT_GT(second.size(), 1000u);
    EXPECT_TRUE(first != second) << "two screenshots a second apart are the same";
#endif
}
