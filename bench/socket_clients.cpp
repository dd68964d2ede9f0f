// Holds many simultaneous client connections to one TWSocketServer on
// 127.0.0.1; each client sends a line and waits for its echo.
//
//   bench_socket_clients [clients]   (default 1000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "net/WSocketS.h"

namespace {

using TClock = std::chrono::steady_clock;

long ResidentKb()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (count <= 0)
        count = 1000;

    TWSocketServer server(nullptr);
    server.SetBanner("");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    std::string port = server.GetBoundPort();

    long before = ResidentKb();
    std::vector<std::unique_ptr<TWSocket>> clients;
    int echoed = 0, failed = 0, accepted = 0;
    server.OnClientConnect = [&accepted](TObject*, TWSocketClient* Client, WORD) {
        ++accepted;
        Client->SetLineMode(true);
        Client->OnDataAvailable = [Client](TObject*, WORD) { Client->SendStr(Client->ReceiveStr()); };
    };
    auto start = TClock::now();
    // Connects are paced to the listen backlog (5): beyond it the kernel
    // drops the handshake and the client retries a second later.
    auto startOne = [&](int i) {
        auto c = std::make_unique<TWSocket>(nullptr);
        TWSocket* s = c.get();
        std::string line = "hello from client " + std::to_string(i) + "\r\n";
        s->SetLineMode(true);
        s->OnSessionConnected = [s, line, &failed](TObject*, WORD Error) {
            if (Error)
                ++failed;
            else
                s->SendStr(line);
        };
        s->OnDataAvailable = [s, line, &echoed](TObject*, WORD) {
            if (s->ReceiveStr() == line)
                ++echoed;
        };
        s->SetAddr("127.0.0.1");
        s->SetPort(port);
        s->Connect();
        clients.push_back(std::move(c));
    };
    auto canStart = [&] {
        return static_cast<int>(clients.size()) < count && static_cast<int>(clients.size()) - accepted < 5;
    };
    while (echoed + failed < count) {
        while (canStart())
            startOne(static_cast<int>(clients.size()));
        PumpPendingMessages();
        if (echoed + failed < count && !canStart())
            WaitMessageTimeout(1000);
    }
    double secs = std::chrono::duration<double>(TClock::now() - start).count();
    long after = ResidentKb();
    std::printf("%d clients, %d echoed, %d failed, %d served at once\n", count, echoed, failed, server.ClientCount());
    std::printf("time: %.3f s (%.3f ms per client)\n", secs, secs * 1000 / count);
    std::printf("resident memory: %ld kB more, %.1f kB per connection (both ends in this process)\n", after - before,
                static_cast<double>(after - before) / count);
    return 0;
}
