#include <gtest/gtest.h>

#include <filesystem>
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

// HEAD through Python's http.client: "status body-length;" per address.
const char HeadScript[] = R"(
import base64, http.client, sys
for path in sys.argv[2:]:
    c = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=20)
    c.request('HEAD', path, headers={'Authorization': 'Basic ' + base64.b64encode(b'alice:pw').decode()})
    r = c.getresponse()
    print(r.status, len(r.read()), end=';')
)";

} // namespace

TEST(Proxy, StreamAndSnapshotWithLoginThroughNginx)
{
#ifndef QUORRELANE_BINARY
    GTEST_SKIP() << "the program is not built";
#else
    TTempDir temp;
    const std::string dir = temp.Name(), ini = dir + "/videosetting.ini";
    const std::string port = std::to_string(UnusedPort()), proxyPort = std::to_string(UnusedPort());
    Spit(ini, "[setting]\nport=" + port + "\nDriverindex=0\nbind=127.0.0.1\n");
    EXPECT_EQ(RunClient({"/bin/sh", "-c", "echo pw | " QUORRELANE_BINARY " --config " + ini + " --web-login alice"}),
              "Viewers must log in.\n");
    EXPECT_NE(Slurp(ini).find("http_pass=" + ScramblePassword("pw") + "\n"), std::string::npos);
    std::filesystem::create_directory(dir + "/tmp");
    // Paths in the configuration are below the prefix, dir.
    Spit(dir + "/nginx.conf", "daemon off; master_process off; pid nginx.pid; error_log error.log; events {}\n"
                              "http { access_log off; client_body_temp_path tmp; proxy_temp_path tmp;\n"
                              "  fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp;\n"
                              "  server { listen 127.0.0.1:" + proxyPort + "; location / {\n"
                              "    proxy_pass http://127.0.0.1:" + port + "; proxy_buffering off; } } }\n");
    TLoopProcess program({QUORRELANE_BINARY, "--headless", "--docdir", dir + "/doc", "--config", ini, "/a"});
    TLoopProcess nginx({"nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"});
    const std::string direct = "127.0.0.1:" + port, proxied = "127.0.0.1:" + proxyPort, login = "http://alice:pw@";
    const std::string urls[][2] = {
        {"http://" + direct + "/snapshot", "401"},         {"http://" + proxied + "/snapshot", "401"},
        {login + proxied + "/snapshot", "200"},            {login + proxied + "/?action=snapshot", "200"},
        {"http://alice:no@" + proxied + "/stream", "401"}, {login + direct + "/http.jpg", "200"},
    };
    for (const auto& u : urls)
        EXPECT_EQ(RunClient({"curl", "-s", "--max-time", "30", "--retry", "30", "--retry-delay", "1",
                             "--retry-connrefused", "-o", "/dev/null", "-w", "%{http_code}", u[0]}),
                  u[1])
            << u[0];

    // The stream moves through the proxy: several parts within seconds.
    int code = 0;
    const std::string stream = RunClient({"curl", "-s", "-N", "--max-time", "4", login + proxied + "/stream"}, &code);
    EXPECT_EQ(code, 28);  // ended by the time limit, not by the server
    size_t parts = 0;
    const std::string part = "Content-Type: image/jpeg";
    for (size_t p = stream.find(part); p != std::string::npos; p = stream.find(part, p + 1))
        ++parts;
    EXPECT_GE(parts, 3u);

    // HEAD answers carry the GET's status and fields and no body, for curl and Python.
    const std::string head = RunClient({"curl", "-s", "-I", "--max-time", "20", login + direct + "/snapshot"});
    EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK") << head;
    EXPECT_NE(head.find("Content-Type: image/jpeg\r\n"), std::string::npos) << head;
    EXPECT_EQ(RunClient({"/usr/bin/python3", "-c", HeadScript, port, "/snapshot", "/?action=snapshot", "/stream",
                         "/?action=stream", "/none.jpg"}),
              "200 0;200 0;200 0;200 0;404 0;");

    // Bound to 127.0.0.1: no other address of the host answers.
    for (const std::string& a : LocalAddressList()) {
        if (a.rfind("127.", 0) != 0) {
            EXPECT_EQ(RunClient({"curl", "-s", "--max-time", "5", "-o", "/dev/null", "-w", "%{http_code}",
                                 "http://" + a + ":" + port + "/http.jpg"}),
                      "000");
        }
    }
#endif
}
