#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/main.h"
#include "net/LoopPeers.h"
#include "net/WSocket.h"

namespace {

// Runs a client to its end and gives what it printed.
std::string RunClient(const std::vector<std::string>& Argv, int* ExitCode = nullptr)
{
    TLoopProcess p(Argv);
    EXPECT_TRUE(RunUntil([&] { return p.Exited; }, 60000)) << Argv[0];
    if (ExitCode)
        *ExitCode = p.ExitCode;
    return p.Output;
}

// HEAD through Python's http.client: "status body-length" per address.
const char HeadScript[] = R"(
import base64, http.client, sys
auth = {'Authorization': 'Basic ' + base64.b64encode(b'alice:pw').decode()}
for path in sys.argv[2:]:
    c = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=20)
    c.request('HEAD', path, headers=auth)
    r = c.getresponse()
    print(r.status, len(r.read()), end=';')
    c.close()
)";

} // namespace

TEST(Proxy, StreamAndSnapshotWithLoginThroughNginx)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp;
    const std::string dir = temp.Name();
    const int port = UnusedPort(), proxyPort = UnusedPort();
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\nbind=127.0.0.1\n");
    EXPECT_EQ(RunClient({"/bin/sh", "-c", std::string("echo pw | ") + QUORRELANE_BINARY + " --config " + dir +
                                             "/videosetting.ini --web-login alice"}),
              "Viewers must log in.\n");
    EXPECT_NE(Slurp(dir + "/videosetting.ini").find("http_pass=" + ScramblePassword("pw") + "\n"), std::string::npos);
    std::filesystem::create_directory(dir + "/tmp");
    std::ofstream(dir + "/nginx.conf") << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\n"
                                       << "error_log " << dir << "/error.log;\nevents {}\nhttp {\n  access_log off;\n"
                                       << "  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir
                                       << "/tmp;\n  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir
                                       << "/tmp;\n  scgi_temp_path " << dir << "/tmp;\n"
                                       << "  server {\n    listen 127.0.0.1:" << proxyPort << ";\n"
                                       << "    location / {\n      proxy_pass http://127.0.0.1:" << port << ";\n"
                                       << "      proxy_buffering off;\n    }\n  }\n}\n";
    TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config",
                          dir + "/videosetting.ini", "/a"});
    TLoopProcess nginx({"nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"});
    const std::string direct = "http://127.0.0.1:" + std::to_string(port);
    const std::string proxied = "http://127.0.0.1:" + std::to_string(proxyPort);
    const std::vector<std::string> curl = {"curl", "-s", "--max-time", "30", "--retry", "30", "--retry-delay", "1",
                                           "--retry-connrefused", "-o", "/dev/null", "-w", "%{http_code}"};
    auto status = [&](const std::string& Url, const std::string& Login) {
        std::vector<std::string> argv = curl;
        if (!Login.empty())
            argv.insert(argv.end(), {"-u", Login});
        argv.push_back(Url);
        return RunClient(argv);
    };
    ASSERT_EQ(status(direct + "/snapshot", ""), "401");
    const struct {
        std::string Base, Path, Login, Status;
    } cases[] = {
        {proxied, "/snapshot", "", "401"},          {proxied, "/snapshot", "alice:pw", "200"},
        {proxied, "/?action=snapshot", "alice:pw", "200"}, {proxied, "/stream", "alice:wrong", "401"},
        {direct, "/http.jpg", "alice:pw", "200"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status(c.Base + c.Path, c.Login), c.Status) << c.Base << c.Path << " " << c.Login;

    // The stream moves through the proxy: several parts within seconds.
    int code = 0;
    const std::string stream =
        RunClient({"curl", "-s", "-N", "--max-time", "4", "-u", "alice:pw", proxied + "/stream"}, &code);
    EXPECT_EQ(code, 28);  // ended by the time limit, not by the server
    size_t parts = 0;
    for (size_t p = stream.find("Content-Type: image/jpeg"); p != std::string::npos;
         p = stream.find("Content-Type: image/jpeg", p + 1))
        ++parts;
    EXPECT_GE(parts, 3u);

    // HEAD answers carry the GET's status and no body, for curl and Python.
    const std::string head = RunClient({"curl", "-s", "-I", "--max-time", "20", "-u", "alice:pw", direct + "/snapshot"});
    EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK") << head;
    EXPECT_NE(head.find("Content-Type: image/jpeg\r\n"), std::string::npos) << head;
    EXPECT_EQ(RunClient({"/usr/bin/python3", "-c", HeadScript, std::to_string(port), "/snapshot", "/?action=snapshot",
                         "/stream", "/?action=stream", "/none.jpg"}),
              "200 0;200 0;200 0;200 0;404 0;");

    // Bound to 127.0.0.1: no other address of the host answers.
    for (const std::string& a : LocalAddressList()) {
        if (a.rfind("127.", 0) == 0)
            continue;
        EXPECT_EQ(RunClient({"curl", "-s", "--max-time", "5", "-o", "/dev/null", "-w", "%{http_code}",
                             "http://" + a + ":" + std::to_string(port) + "/http.jpg"}),
                  "000")
            << a;
    }
#endif
}
