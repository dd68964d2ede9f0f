#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace {

std::string Scramble(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
    return out;
}

// The program as a child with its output on pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& Args)
    {
#ifdef QUORRELANE_BINARY
        int out[2], err[2];
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(pipe(err), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addclose(&fa, err[0]);
        std::vector<std::string> all{QUORRELANE_BINARY};
        all.insert(all.end(), Args.begin(), Args.end());
        Pid = SpawnProcess(all, fa);
        EXPECT_GT(Pid, 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        Out = out[0];
        Err = err[0];
#endif
    }
    ~Program()
    {
        if (!Exited)
            StopProcess(Pid);
        close(Out);
        close(Err);
    }

    // Reads until Text shows up on stdout (or stderr) or the deadline passes.
    bool WaitFor(const std::string& Text, bool OnStderr = false, int Seconds = 60)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
        std::string& buf = OnStderr ? ErrText : OutText;
        while (buf.find(Text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !ReadSome(static_cast<int>(left)))
                return false;
        }
        return true;
    }

    // Waits for the exit; the exit code, or -1.
    int Wait(int Seconds = 60)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
        while (ReadSome(static_cast<int>(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               end - std::chrono::steady_clock::now())
                                                               .count())))) {
        }
        int status = 0;
        if (waitpid(Pid, &status, 0) != Pid)
            return -1;
        Exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t Pid = -1;
    std::string OutText, ErrText;

private:
    // False at the end of both pipes or at the deadline.
    bool ReadSome(int TimeoutMs)
    {
        pollfd fds[2] = {{Out, POLLIN, 0}, {Err, POLLIN, 0}};
        if (fds[0].fd < 0 && fds[1].fd < 0)
            return false;
        if (poll(fds, 2, TimeoutMs) <= 0)
            return false;
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? OutText : ErrText).append(chunk, static_cast<size_t>(n));
                any = true;
            } else {
                close(fds[i].fd);
                (i == 0 ? Out : Err) = -1;
                any = true;
            }
        }
        return any;
    }

    int Out = -1, Err = -1;
    bool Exited = false;
};

class Headless : public ::testing::Test {
protected:
    Headless()
    {
        Ini = Dir + "/config/videosetting.ini";
    }
    void SetUp() override
    {
#ifndef QUORRELANE_BINARY
        GTEST_SKIP() << "the program is not built";
#endif
    }
    std::vector<std::string> Options() { return {"--headless", "--docdir", Dir + "/doc", "--config", Ini}; }
    TTempDir Temp;
    std::string Dir = Temp.Name(), Ini;
};

} // namespace

TEST_F(Headless, HelpAndVersion)
{
    Program help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.OutText.find("--docdir"), std::string::npos);
    Program version({"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_NE(version.OutText.find("Quorrelane"), std::string::npos);
    Program bad({"--nonsense"});
    EXPECT_NE(bad.Wait(), 0);
}

TEST_F(Headless, SigtermWritesTheSettingsBack)
{
    const std::string pass = Scramble("geheim");
    Spit(Ini, "[setting]\nfhost=ftp.example.org\nfpass=" + pass + "\nfint=0x0A\nport=9000\n[efx]\ng=7\n");
    Program p(Options());
    ASSERT_TRUE(p.WaitFor("Ready.")) << p.ErrText;
    EXPECT_TRUE(std::filesystem::is_directory(Dir + "/doc"));
    kill(p.Pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0) << p.ErrText;
    EXPECT_EQ(Slurp(Ini), "[setting]\nfhost=ftp.example.org\nfpass=" + pass +
                              "\nfint=10\nport=9000\nDriverindex=-1\nfname=\nfdir=\nhistory=0\ndisable_prompt=0\nfpasv=0\nfatomic=0\n"
                              "[efx]\ng=7\nr=55\nb=20\n");
    struct stat st{};
    ASSERT_EQ(stat(Ini.c_str(), &st), 0);
}

TEST_F(Headless, FreshStartWritesEveryKeyInOrder)
{
    Program p(Options());
    ASSERT_TRUE(p.WaitFor("Ready.")) << p.ErrText;
    kill(p.Pid, SIGINT);
    EXPECT_EQ(p.Wait(), 0) << p.ErrText;
    EXPECT_EQ(Slurp(Ini), DefaultSettingsText);
    struct stat st{};
    ASSERT_EQ(stat(Ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Headless, FailedWriteIsPrintedAndASecondSignalEnds)
{
    std::filesystem::create_directories(Ini);  // the file cannot be written
    Program p(Options());
    ASSERT_TRUE(p.WaitFor("Ready.")) << p.ErrText;
    kill(p.Pid, SIGTERM);
    ASSERT_TRUE(p.WaitFor("[Quorrelane] " + Ini + " に書き込めません", true)) << p.ErrText;
    kill(p.Pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_TRUE(std::filesystem::is_directory(Ini));
}

TEST_F(Headless, SaysWhereItServesAndWhenNothingWasStarted)
{
    Program idle(Options());
    ASSERT_TRUE(idle.WaitFor("Nothing started: run with /a")) << idle.OutText;
    kill(idle.Pid, SIGTERM);
    EXPECT_EQ(idle.Wait(), 0);

    int port = UnusedPort();
    Spit(Ini, "[setting]\nport=" + std::to_string(port) + "\ndisable_prompt=1\nDriverindex=0\n");
    std::vector<std::string> args = Options();
    args.push_back("/a");
    Program p(args);
    ASSERT_TRUE(p.WaitFor(":" + std::to_string(port) + "/http.jpg\n")) << p.OutText << p.ErrText;
    EXPECT_NE(p.OutText.find("Serving http://"), std::string::npos);
    kill(p.Pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(p.OutText.find("Server stopped\n"), std::string::npos) << p.OutText;
    EXPECT_EQ(p.ErrText, "");
}

TEST_F(Headless, PortInUseNamesTheSettingAndTheFile)
{
    int port = 0;
    int busy = BindLoopback(port, 1);
    Spit(Ini, "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\n");
    std::vector<std::string> args = Options();
    args.push_back("/a");
    Program p(args);
    ASSERT_TRUE(p.WaitFor("to a free port")) << p.OutText << p.ErrText;
    EXPECT_NE(p.OutText.find("Port " + std::to_string(port) + " is in use"), std::string::npos);
    EXPECT_NE(p.OutText.find("port= in section [setting] of " + Ini), std::string::npos);
    // The socket error is one line.
    ASSERT_TRUE(p.WaitFor("Address already in use\n", true)) << p.ErrText;
    size_t error = p.ErrText.find("[Quorrelane] Error 10048 in function ");
    ASSERT_NE(error, std::string::npos) << p.ErrText;
    std::string line = p.ErrText.substr(error, p.ErrText.find('\n', error) - error);
    EXPECT_EQ(line.substr(line.size() - 23), " Address already in use") << line;
    EXPECT_EQ(p.ErrText.find('\r'), std::string::npos);
    // A service manager sees the failure: the program ends by itself.
    EXPECT_EQ(p.Wait(), 4) << p.ErrText;
    EXPECT_NE(p.ErrText.find("the server cannot listen on port " + std::to_string(port)), std::string::npos);
    close(busy);
}

TEST_F(Headless, StartUpFailuresEndWithStatusTwo)
{
    const std::string loop = Dir + "/loop.ini";  // unreadable, even for root
    std::filesystem::create_symlink(loop, loop);
    const struct {
        std::vector<std::string> Extra;
        std::string Says;
    } cases[] = {
        {{"--config", loop, "/a"}, "cannot read the settings file " + loop},
        {{"--device", "/dev/video99", "/a"}, "no capture device /dev/video99"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = Options();
        args.insert(args.end(), c.Extra.begin(), c.Extra.end());
        Program p(args);
        EXPECT_EQ(p.Wait(), 2) << c.Says;
        EXPECT_NE(p.ErrText.find(c.Says), std::string::npos) << p.ErrText;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(loop));
}

// The daemon as a service runs it: no upload without a host, the stream
// address named, and no GUI toolkit in the process.
TEST_F(Headless, DaemonWithoutHostServesAndLoadsNoToolkit)
{
    int port = UnusedPort();
    Spit(Ini, "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\n");
    // The service manager's socket: told once the server listens.
    const std::string notify = Dir + "/notify";
    int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notify.c_str());
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(setenv("NOTIFY_SOCKET", notify.c_str(), 1), 0);
    std::vector<std::string> args = Options();
    args.push_back("/a");
    Program p(args);
    ASSERT_TRUE(p.WaitFor(":" + std::to_string(port) + "/stream\n")) << p.OutText << p.ErrText;
    char state[64] = {};
    pollfd ready{manager, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 60000), 1);
    EXPECT_EQ(std::string(state, static_cast<size_t>(recv(manager, state, sizeof state, 0))), "READY=1");
    close(manager);
    ASSERT_TRUE(p.WaitFor("Uploads are off until an FTP server is set: fhost= in section [setting] of " + Ini)) << p.OutText;
    const std::string maps = Slurp("/proc/" + std::to_string(p.Pid) + "/maps");
    ASSERT_NE(maps.find("libc.so"), std::string::npos);
    for (const char* lib : {"libQt", "libX11", "libxcb", "libGL", "libEGL", "libOpenGL", "libicu"})
        EXPECT_EQ(maps.find(lib), std::string::npos) << lib;
    kill(p.Pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.ErrText, "");
}

// The GUI takes the same signals: a SIGTERM closes the window and writes
// the settings. The settings folder appears once the window exists.
TEST_F(Headless, GuiSigtermWritesTheSettings)
{
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, Dir.c_str(), IN_CREATE), 0);
    ASSERT_EQ(setenv("QT_QPA_PLATFORM", "offscreen", 1), 0);
    Program p({"--docdir", Dir + "/doc", "--config", Ini});
    bool created = std::filesystem::exists(Dir + "/config");
    while (!created) {
        pollfd fd{watch, POLLIN, 0};
        ASSERT_EQ(poll(&fd, 1, 60000), 1) << "the settings folder was never made";
        alignas(inotify_event) char buf[4096];
        ssize_t n = read(watch, buf, sizeof buf);
        for (char* q = buf; q < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(q);
            created = created || (ev->len && std::string(ev->name) == "config");
            q += sizeof(inotify_event) + ev->len;
        }
    }
    close(watch);
    kill(p.Pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0) << p.ErrText;
    EXPECT_EQ(Slurp(Ini), DefaultSettingsText);
}
