// The live stream on the fake camera (30 fps, YUYV) at 640x480 and
// 1280x720 with 1 and 10 clients: frames per second each client receives,
// the server's CPU share of one core, and its resident memory. The same
// load runs on ustreamer (Debian's package, software JPEG encoder, quality
// 80) when it is installed, on the same fake camera. Meanwhile a still
// picture is fetched every half second: the slowest answer shows whether
// the server stays responsive.
//
//   bench_stream [seconds per run]
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TestSupport.h"

namespace {

using bench::TClock;

// A blocking connection to 127.0.0.1:Port, retried while the program starts.
int ConnectWhenReady(int Port)
{
    const auto until = TClock::now() + std::chrono::seconds(10);
    while (TClock::now() < until) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(Port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

struct TClientCount {
    int Fd = -1;
    long Parts = 0;
    std::string Carry;  // the end of the last read, for a marker split across reads
};

// Reads every client for Seconds; the JPEG pictures each one received,
// counted by their start marker, whatever the server's part headers.
void Receive(std::vector<TClientCount>& Clients, double Seconds)
{
    const std::string start("\xff\xd8\xff", 3);
    std::vector<pollfd> fds;
    for (auto& c : Clients)
        fds.push_back(pollfd{c.Fd, POLLIN, 0});
    std::vector<char> buf(1 << 16);
    const auto until = TClock::now() + std::chrono::duration<double>(Seconds);
    while (TClock::now() < until) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count());
        if (::poll(fds.data(), fds.size(), std::max(1, left)) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            std::string text = Clients[i].Carry + std::string(buf.data(), static_cast<size_t>(n));
            for (size_t p = text.find(start); p != std::string::npos; p = text.find(start, p + 1))
                ++Clients[i].Parts;
            const size_t keep = std::min(text.size(), start.size() - 1);
            Clients[i].Carry = text.substr(text.size() - keep);
        }
    }
}

// Fetches Path every half second while it lives: the slowest answer in
// milliseconds, -1 once one fails.
class TSnapshotProbe {
public:
    TSnapshotProbe(int Port, const std::string& Path)
        : FRequest("GET " + Path + " HTTP/1.0\r\n\r\n"), FThread([this, Port] { Loop(Port); })
    {
    }
    double Stop()
    {
        FStop = true;
        FThread.join();
        return FSlowest;
    }

private:
    void Loop(int Port)
    {
        while (!FStop && FSlowest >= 0) {
            const auto start = TClock::now();
            const bool ok = Fetch(Port);
            const double ms = std::chrono::duration<double, std::milli>(TClock::now() - start).count();
            FSlowest = ok ? std::max(FSlowest, ms) : -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }
    bool Fetch(int Port)
    {
        const int fd = ConnectWhenReady(Port);
        if (fd < 0)
            return false;
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string answer;
        char buf[65536];
        ssize_t n = ::send(fd, FRequest.data(), FRequest.size(), MSG_NOSIGNAL);
        while (n > 0 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            answer.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return n == 0 && answer.rfind("HTTP/1.0 200", 0) == 0 && answer.find("\xff\xd8") != std::string::npos;
    }

    std::string FRequest;
    std::atomic<bool> FStop{false};
    double FSlowest = 0;
    std::thread FThread;
};

// A server under test: its name and how it starts on the fake camera whose
// control file is Dir/camera, serving its stream on Port.
struct TStreamer {
    const char* Name;
    const char* Snapshot;  // the still picture's path
    pid_t (*Start)(const std::string& Dir, int Port, int Width, int Height);
};

pid_t StartQuorrelane(const std::string& Dir, int Port, int Width, int Height)
{
    Spit(Dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(Port) +
                                        "\nDriverindex=1\ndisable_prompt=1\nstream_fps=30\nstream_clients=10\n");
    return bench::StartProgram(Dir, Width, Height, true);
}

const char UstreamerPath[] = "/usr/bin/ustreamer";

pid_t StartUstreamer(const std::string& Dir, int Port, int Width, int Height)
{
    return bench::SpawnQuietly({
        "env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM, "FAKECAM_CONTROL=" + Dir + "/camera", UstreamerPath,
        "--device", "/dev/video2", "--resolution", std::to_string(Width) + "x" + std::to_string(Height), "--format", "YUYV",
        "--desired-fps", "30", "--encoder", "CPU", "--quality", "80", "--host", "127.0.0.1", "--port", std::to_string(Port)});
}

void Run(const TStreamer& Server, int Width, int Height, int ClientCount, int Seconds)
{
    TTempDir temp;
    const std::string dir = temp.Name();
    const int port = UnusedPort();
    Spit(dir + "/camera", "add 2 yuyv usb-bench Bench Cam\n");
    const pid_t pid = Server.Start(dir, port, Width, Height);
    if (pid <= 0)
        return;

    std::vector<TClientCount> clients(static_cast<size_t>(ClientCount));
    const std::string request = "GET /stream HTTP/1.0\r\n\r\n";
    for (auto& c : clients) {
        c.Fd = ConnectWhenReady(port);
        if (c.Fd < 0 || ::send(c.Fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
            std::printf("  %-10s %4dx%-4d %2d clients: no answer\n", Server.Name, Width, Height, ClientCount);
            StopProcess(pid, SIGTERM);
            return;
        }
    }
    Receive(clients, 1.0);  // settle
    for (auto& c : clients)
        c.Parts = 0;
    bench::TCpuMeter cpu(pid);
    TSnapshotProbe probe(port, Server.Snapshot);
    Receive(clients, Seconds);
    const double wall = cpu.Stop();
    const double slowest = probe.Stop();
    const long rss = bench::RssKb(pid);
    double low = 1e9, high = 0;
    for (auto& c : clients) {
        low = std::min(low, c.Parts / wall);
        high = std::max(high, c.Parts / wall);
        ::close(c.Fd);
    }
    StopProcess(pid, SIGTERM);
    std::printf("  %-10s %4dx%-4d %2d clients: %5.1f..%5.1f fps each   CPU %5.1f %%   RSS %6.1f MB   still %s\n",
                Server.Name, Width, Height, ClientCount, low, high, cpu.Percent(), static_cast<double>(rss) / 1024.0,
                slowest < 0 ? "failed" : (std::to_string(static_cast<int>(slowest + 0.5)) + " ms").c_str());
}

} // namespace

int main(int argc, char** argv)
{
#if !defined(QUORRELANE_BINARY) || !defined(QUORRELANE_FAKECAM)
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "bench_stream needs the program and the fake camera library\n");
    return 1;
#else
    signal(SIGPIPE, SIG_IGN);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("Stream from the fake camera, 30 fps, stream_fps=30, over %d s:\n", seconds);
    std::vector<TStreamer> servers{{"quorrelane", "/http.jpg", StartQuorrelane}};
    if (::access(UstreamerPath, X_OK) == 0)
        servers.push_back({"ustreamer", "/snapshot", StartUstreamer});
    else
        std::printf("  (ustreamer is not installed: no comparison)\n");
    for (const auto& [w, h] : {std::pair{640, 480}, std::pair{1280, 720}})
        for (const int n : {1, 10})
            for (const TStreamer& server : servers)
                Run(server, w, h, n, seconds);
    return 0;
#endif
}
