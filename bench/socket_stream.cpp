// Streams bytes from a TWSocket to a TWSocketServer client on 127.0.0.1 and
// compares the rate with a plain blocking socket pair doing 1514-byte
// writes.
//
//   bench_socket_stream [megabytes]   (default 200)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "net/WSocket.h"
#include "net/WSocketS.h"

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point Start) { return std::chrono::duration<double>(TClock::now() - Start).count(); }

double StreamWithSockets(long long Total)
{
    TWSocketServer server(nullptr);
    server.SetBanner("");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    long long received = 0;
    std::vector<char> sink(1 << 16);
    server.OnClientConnect = [&](TObject*, TWSocketClient* Client, WORD) {
        Client->OnDataAvailable = [&, Client](TObject*, WORD) {
            int n = Client->Receive(sink.data(), static_cast<int>(sink.size()));
            if (n > 0)
                received += n;
        };
    };
    server.Listen();

    TWSocket client(nullptr);
    std::string block(1 << 20, 'q');
    long long queued = 0;
    auto more = [&] {
        if (queued >= Total)
            return;
        int n = static_cast<int>(std::min<long long>(static_cast<long long>(block.size()), Total - queued));
        client.Send(block.data(), n);
        queued += n;
    };
    client.OnDataSent = [&](TObject*, WORD) { more(); };
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetBoundPort());
    auto start = TClock::now();
    client.Connect();
    while (received < Total) {
        PumpPendingMessages();
        if (received < Total)
            WaitMessageTimeout(1000);
    }
    return Seconds(start);
}

double StreamPlain(long long Total)
{
    int port = 0;
    int lfd = BindLoopback(port, 1);
    sockaddr_in a = LoopbackAddress(port);
    auto start = TClock::now();
    std::thread reader([lfd, Total] {
        int c = ::accept(lfd, nullptr, nullptr);
        std::vector<char> buf(1 << 16);
        long long got = 0;
        while (got < Total) {
            ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            got += n;
        }
        ::close(c);
    });
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::string chunk(1514, 'q');
    long long sent = 0;
    while (sent < Total) {
        size_t n = static_cast<size_t>(std::min<long long>(1514, Total - sent));
        ssize_t w = ::send(s, chunk.data(), n, MSG_NOSIGNAL);
        if (w <= 0)
            break;
        sent += w;
    }
    reader.join();
    double t = Seconds(start);
    ::close(s);
    ::close(lfd);
    return t;
}

}  // namespace

int main(int argc, char** argv)
{
    long long mb = argc > 1 ? std::atoll(argv[1]) : 200;
    if (mb <= 0)
        mb = 200;
    long long total = mb << 20;
    double tw = StreamWithSockets(total);
    double tp = StreamPlain(total);
    std::printf("%lld MB over 127.0.0.1\n", mb);
    std::printf("TWSocket -> TWSocketServer client : %8.1f MB/s (%.2f s)\n", mb / tw, tw);
    std::printf("plain blocking pair, 1514-byte writes: %8.1f MB/s (%.2f s)\n", mb / tp, tp);
    return 0;
}
