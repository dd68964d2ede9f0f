// Sends lines of 32 bytes from a plain client thread to a TWSocketServer
// client in line mode on 127.0.0.1, and the same bytes to a plain recv loop
// that splits them with memchr; prints lines per second and the CPU time of
// the receiving thread for both.
//
//   bench_line_mode [megabytes]   (default 10)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "net/WSocket.h"
#include "net/WSocketS.h"

namespace {

using TClock = std::chrono::steady_clock;
constexpr size_t LineBytes = 32;

struct TResult {
    long long Lines = 0;
    double Wall = 0;
    double Cpu = 0;
};

double ThreadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// 32-byte lines, numbered so that they differ.
std::string Lines(long long Total)
{
    std::string data;
    data.reserve(static_cast<size_t>(Total));
    char line[LineBytes + 1];
    for (long long i = 0; static_cast<long long>(data.size()) + static_cast<long long>(LineBytes) <= Total; ++i) {
        std::snprintf(line, sizeof line, "line %025lld\r\n", i);
        data.append(line, LineBytes);
    }
    return data;
}

// Writes Data to 127.0.0.1:Port from a thread of its own.
std::thread Sender(int Port, const std::string& Data)
{
    return std::thread([Port, &Data] {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(Port);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            size_t off = 0;
            while (off < Data.size()) {
                ssize_t n = ::send(s, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += static_cast<size_t>(n);
            }
        }
        ::close(s);
    });
}

TResult LineModeServer(const std::string& Data)
{
    const long long want = static_cast<long long>(Data.size() / LineBytes);
    TWSocketServer server(nullptr);
    server.SetBanner("");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    TResult r;
    server.OnClientConnect = [&](TObject*, TWSocketClient* Client, WORD) {
        Client->SetLineMode(true);
        Client->OnDataAvailable = [&, Client](TObject*, WORD) {
            std::string line = Client->ReceiveStr();
            if (line.size() == LineBytes)
                ++r.Lines;
        };
    };
    server.Listen();
    double cpu = ThreadCpu();
    auto start = TClock::now();
    std::thread sender = Sender(std::stoi(server.GetBoundPort()), Data);
    while (r.Lines < want) {
        PumpPendingMessages();
        if (r.Lines < want)
            WaitMessageTimeout(1000);
    }
    r.Wall = std::chrono::duration<double>(TClock::now() - start).count();
    r.Cpu = ThreadCpu() - cpu;
    sender.join();
    return r;
}

TResult PlainLoop(const std::string& Data)
{
    int port = 0;
    int lfd = BindLoopback(port, 1);
    TResult r;
    double cpu = ThreadCpu();
    auto start = TClock::now();
    std::thread sender = Sender(port, Data);
    int c = ::accept(lfd, nullptr, nullptr);
    std::vector<char> buf(1 << 16);
    std::string carry, line;
    for (;;) {
        ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        const char* p = buf.data();
        const char* end = p + n;
        while (p < end) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!lf) {
                carry.append(p, end);
                break;
            }
            line = carry;
            line.append(p, lf + 1);
            carry.clear();
            if (line.size() == LineBytes)
                ++r.Lines;
            p = lf + 1;
        }
    }
    r.Wall = std::chrono::duration<double>(TClock::now() - start).count();
    r.Cpu = ThreadCpu() - cpu;
    sender.join();
    ::close(c);
    ::close(lfd);
    return r;
}

void Print(const char* Name, const TResult& R)
{
    std::printf("%-36s %9.0f lines/s  %lld lines  wall %.3f s  cpu %.3f s\n", Name, R.Lines / R.Wall, R.Lines, R.Wall,
                R.Cpu);
}

}  // namespace

int main(int argc, char** argv)
{
    long long mb = argc > 1 ? std::atoll(argv[1]) : 10;
    if (mb <= 0)
        mb = 10;
    std::string data = Lines(mb << 20);
    TResult lines = LineModeServer(data);
    TResult plain = PlainLoop(data);
    std::printf("%lld MB of %zu-byte lines over 127.0.0.1\n", mb, LineBytes);
    Print("TWSocketServer client, line mode:", lines);
    Print("plain recv loop with memchr:", plain);
    std::printf("line mode / plain: %.2fx wall, %.2fx cpu\n", lines.Wall / plain.Wall, lines.Cpu / plain.Cpu);
    return 0;
}
