// The headless program's HTTP server against nginx with one worker, both
// serving the same 640x480 JPEG of about 34 KB on 127.0.0.1, loaded by wrk
// with "Connection: close". Then 1000 connections held open at once on
// each server: resident memory per connection, and every request answered.
//
//   bench_http_vs_nginx [seconds]   (default 10; needs nginx and wrk)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "imaging/Bitmap.h"
#include "imaging/JpegWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

int ConnectTo(int port, bool blocking)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in sin = LoopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WaitForPort(int port, int seconds)
{
    auto end = TClock::now() + std::chrono::seconds(seconds);
    while (TClock::now() < end) {
        int fd = ConnectTo(port, true);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = SpawnProcess(argv, fa);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

std::string Run(const std::vector<std::string>& argv)
{
    char name[] = "/tmp/bench_outXXXXXX";
    int fd = mkstemp(name);
    ::close(fd);
    pid_t pid = Spawn(argv, name);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    std::ifstream f(name);
    std::stringstream ss;
    ss << f.rdbuf();
    std::remove(name);
    return ss.str();
}

long ResidentKb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// The first child of Parent (nginx's worker).
pid_t ChildOf(pid_t parent)
{
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream f(e.path() / "stat");
        std::string stat;
        std::getline(f, stat);
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        pid_t ppid;
        rest >> state >> ppid;
        if (ppid == parent)
            return std::stoi(name);
    }
    return -1;
}

// A 640x480 picture with enough detail to make a JPEG of about 34 KB at
// quality 80.
std::vector<uint8_t> MakePicture()
{
    std::vector<uint8_t> best;
    double lo = 0, hi = 64;
    for (int round = 0; round < 14; ++round) {
        double amp = (lo + hi) / 2;
        TBitmap b(640, 480);
        uint32_t seed = 12345;
        for (int y = 0; y < 480; ++y) {
            uint8_t* row = b.ScanLine(y);
            for (int x = 0; x < 640; ++x) {
                seed = seed * 1103515245u + 12345u;
                int noise = static_cast<int>((seed >> 16) % 256) - 128;
                int base[3] = {x * 255 / 640, y * 255 / 480, (x + y) * 255 / 1120};
                for (int c = 0; c < 3; ++c) {
                    int v = base[c] + static_cast<int>(noise * amp / 128);
                    row[x * 3 + c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
        }
        best = EncodeJpeg(b, 80);
        if (best.size() > 34 * 1024 + 512)
            hi = amp;
        else if (best.size() < 34 * 1024 - 512)
            lo = amp;
        else
            break;
    }
    return best;
}

struct TWrkResult {
    double Rps = 0;
    std::string Errors;  // wrk's socket error and non-2xx lines
};

// Script: empty for wrk's own HTTP/1.1 request with a "Connection: close"
// header, else a wrk script that sends its own request.
TWrkResult Wrk(int port, int conns, int seconds, const std::string& script)
{
    int threads = conns >= 100 ? 2 : 1;
    std::vector<std::string> argv{"wrk", "-t" + std::to_string(threads), "-c" + std::to_string(conns),
                                  "-d" + std::to_string(seconds) + "s"};
    if (script.empty()) {
        argv.push_back("-H");
        argv.push_back("Connection: close");
    } else {
        argv.push_back("-s");
        argv.push_back(script);
    }
    argv.push_back("http://127.0.0.1:" + std::to_string(port) + "/bench.jpg");
    std::string out = Run(argv);
    TWrkResult r;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t p = line.find("Requests/sec:");
        if (p != std::string::npos)
            r.Rps = std::atof(line.c_str() + p + 13);
        if (line.find("Socket errors") != std::string::npos || line.find("Non-2xx") != std::string::npos)
            r.Errors += (r.Errors.empty() ? "" : "; ") + line.substr(line.find_first_not_of(' '));
    }
    if (r.Rps == 0)
        r.Errors += out;
    return r;
}

struct THoldResult {
    int Held = 0;       // connections open at once
    long KbPerConnection10 = 0;  // resident memory per connection, in tenths of KB
    int Answered = 0;   // complete 200 answers afterwards
};

// Opens Count connections with an unfinished request, measures the
// server's resident memory, then finishes every request and reads the
// answers.
THoldResult Hold(int port, pid_t server, int count, size_t fileSize)
{
    THoldResult r;
    long before = ResidentKb(server);
    std::vector<int> fds;
    const std::string head = "GET /bench.jpg HTTP/1.0\r\n";
    for (int i = 0; i < count; ++i) {
        int fd = ConnectTo(port, true);
        if (fd < 0)
            break;
        if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
            ::close(fd);
            break;
        }
        fds.push_back(fd);
    }
    r.Held = static_cast<int>(fds.size());
    // Let the server take every connection and read its first line.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long during = ResidentKb(server);
    r.KbPerConnection10 = r.Held ? (during - before) * 10 / r.Held : 0;

    for (int fd : fds) {
        ::send(fd, "\r\n", 2, MSG_NOSIGNAL);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    std::vector<std::string> got(fds.size());
    std::vector<bool> done(fds.size(), false);
    size_t left = fds.size();
    auto end = TClock::now() + std::chrono::seconds(60);
    while (left > 0 && TClock::now() < end) {
        std::vector<pollfd> pfds;
        std::vector<size_t> index;
        for (size_t i = 0; i < fds.size(); ++i)
            if (!done[i]) {
                pfds.push_back({fds[i], POLLIN, 0});
                index.push_back(i);
            }
        if (poll(pfds.data(), pfds.size(), 1000) <= 0)
            continue;
        for (size_t k = 0; k < pfds.size(); ++k) {
            if (!pfds[k].revents)
                continue;
            size_t i = index[k];
            char buf[65536];
            ssize_t n = ::recv(fds[i], buf, sizeof buf, 0);
            if (n > 0) {
                got[i].append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EAGAIN)
                continue;
            done[i] = true;
            --left;
            size_t body = got[i].find("\r\n\r\n");
            if (got[i].rfind("HTTP/1.", 0) == 0 && got[i].compare(8, 8, " 200 OK\r") == 0 && body != std::string::npos &&
                got[i].size() - body - 4 == fileSize)
                ++r.Answered;
        }
    }
    for (int fd : fds)
        ::close(fd);
    return r;
}

} // namespace

int main(int argc, char** argv)
{
#ifndef QUORRELANE_BINARY
    std::fprintf(stderr, "bench_http_vs_nginx: the program was not built\n");
    return 1;
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0)
        seconds = 10;
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    signal(SIGPIPE, SIG_IGN);

    TTempDir temp;
    fs::path root = temp.Name();
    // nginx's worker runs as an unprivileged user and must read the files.
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::create_directories(root / "ours" / "doc");
    fs::create_directories(root / "nginx" / "doc");
    fs::create_directories(root / "nginx" / "tmp");
    std::vector<uint8_t> picture = MakePicture();
    for (const char* side : {"ours", "nginx"}) {
        std::ofstream f(root / side / "doc" / "bench.jpg", std::ios::binary);
        f.write(reinterpret_cast<const char*>(picture.data()), static_cast<std::streamsize>(picture.size()));
    }
    std::printf("file: 640x480 JPEG, %zu bytes; wrk %d s per run, Connection: close\n", picture.size(), seconds);

    int ourPort = UnusedPort();
    std::ofstream(root / "ours" / "videosetting.ini")
        << "[setting]\nport=" << ourPort << "\nDriverindex=0\ndisable_prompt=1\n";
    pid_t ours = Spawn({QUORRELANE_BINARY, "--headless", "--docdir", (root / "ours" / "doc").string(), "--config",
                        (root / "ours" / "videosetting.ini").string(), "/a"},
                       (root / "ours" / "out.txt").string());

    int nginxPort = UnusedPort();
    fs::path n = root / "nginx";
    std::ofstream(n / "nginx.conf") << "worker_processes 1;\n"
                                       "daemon off;\n"
                                       "worker_rlimit_nofile 8192;\n"
                                       "pid " << (n / "nginx.pid").string() << ";\n"
                                    << "error_log " << (n / "error.log").string() << ";\n"
                                    << "events { worker_connections 4096; }\n"
                                       "http {\n"
                                       "  access_log off;\n"
                                       "  types { image/jpeg jpg; }\n"
                                       "  default_type application/octet-stream;\n"
                                       "  sendfile on;\n"
                                       "  tcp_nopush on;\n"
                                       "  client_body_temp_path " << (n / "tmp").string() << ";\n"
                                    << "  proxy_temp_path " << (n / "tmp").string() << ";\n"
                                    << "  fastcgi_temp_path " << (n / "tmp").string() << ";\n"
                                    << "  uwsgi_temp_path " << (n / "tmp").string() << ";\n"
                                    << "  scgi_temp_path " << (n / "tmp").string() << ";\n"
                                    << "  server { listen 127.0.0.1:" << nginxPort << "; root "
                                    << (n / "doc").string() << "; }\n"
                                    << "}\n";
    pid_t nginx = Spawn({"nginx", "-c", (n / "nginx.conf").string(), "-p", n.string() + "/", "-e",
                         (n / "error.log").string()},
                        (n / "out.txt").string());

    int status = 0;
    if (!WaitForPort(ourPort, 30) || !WaitForPort(nginxPort, 30)) {
        std::fprintf(stderr, "a server did not start (see %s)\n", root.c_str());
        StopProcess(ours, SIGTERM);
        StopProcess(nginx, SIGTERM);
        return 1;
    }

    std::string script = (root / "http10.lua").string();
    std::ofstream(script) << "request = function() return "
                             "\"GET /bench.jpg HTTP/1.0\\r\\nHost: 127.0.0.1\\r\\nConnection: close\\r\\n\\r\\n\" end\n";
    const struct {
        const char* Title;
        std::string Script;
    } loads[] = {
        {"HTTP/1.1 requests with \"Connection: close\" (wrk's own request)", ""},
        {"HTTP/1.0 requests with \"Connection: close\"", script},
    };
    for (const auto& load : loads) {
        std::printf("\n%s\n%-12s %14s %14s %8s\n", load.Title, "connections", "ours req/s", "nginx req/s", "ratio");
        for (int conns : {10, 100}) {
            TWrkResult a = Wrk(ourPort, conns, seconds, load.Script);
            TWrkResult b = Wrk(nginxPort, conns, seconds, load.Script);
            std::printf("%-12d %14.1f %14.1f %8.2f\n", conns, a.Rps, b.Rps, b.Rps > 0 ? a.Rps / b.Rps : 0.0);
            if (!a.Errors.empty())
                std::printf("  ours: %s\n", a.Errors.c_str());
            if (!b.Errors.empty())
                std::printf("  nginx: %s\n", b.Errors.c_str());
        }
    }

    std::printf("\n1000 connections held open with an unfinished request, then answered:\n");
    pid_t worker = ChildOf(nginx);
    THoldResult a = Hold(ourPort, ours, 1000, picture.size());
    THoldResult b = Hold(nginxPort, worker > 0 ? worker : nginx, 1000, picture.size());
    std::printf("  ours:  %d held, %ld.%ld KB resident per connection, %d answered in full\n", a.Held,
                a.KbPerConnection10 / 10, std::labs(a.KbPerConnection10 % 10), a.Answered);
    std::printf("  nginx: %d held, %ld.%ld KB resident per connection, %d answered in full\n", b.Held,
                b.KbPerConnection10 / 10, std::labs(b.KbPerConnection10 % 10), b.Answered);
    if (a.Held != 1000 || a.Answered != 1000)
        status = 1;

    StopProcess(ours, SIGTERM);
    StopProcess(nginx, SIGTERM);
    return status;
#endif
}
