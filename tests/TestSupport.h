// Helpers shared by the tests and the benchmarks: whole files, temporary
// directories, loopback addresses and child processes.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// The whole content of a file; empty when it cannot be read.
inline std::string Slurp(const std::string& f)
{
    std::ifstream in(f, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes a file, making the directories it lies in.
inline void Spit(const std::string& f, const std::string& data)
{
    std::filesystem::path parent = std::filesystem::path(f).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    std::ofstream(f, std::ios::binary) << data;
}

// The settings file a fresh start writes: every key, in order.
inline const char* const DefaultSettingsText =
    "[setting]\nDriverindex=-1\nfhost=\nfname=\nfpass=\nfdir=\nfint=0\nport=8765\nhistory=0\ndisable_prompt=0\nfpasv=0\nfatomic=0\n"
    "[efx]\nr=55\ng=45\nb=20\n";

// A fresh directory below $TMPDIR (or /tmp), removed with its files.
class TTempDir {
public:
    TTempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorrelane-test-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        FPath = pattern + "/";
    }
    ~TTempDir() { RemoveTree(FPath); }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return FPath; }  // ends with '/'
    // The path without the closing '/'.
    std::string Name() const { return FPath.substr(0, FPath.size() - 1); }
    std::string operator/(const std::string& Name) const { return FPath + Name; }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(FPath.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            ::closedir(d);
        }
        return names;
    }

private:
    static void RemoveTree(const std::string& Path)
    {
        if (DIR* d = ::opendir(Path.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                const std::string full = Path + "/" + name;
                struct stat st {};
                if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    RemoveTree(full);
                else
                    ::unlink(full.c_str());
            }
            ::closedir(d);
        }
        ::rmdir(Path.c_str());
    }
    std::string FPath;
};

// 127.0.0.1:Port.
inline sockaddr_in LoopbackAddress(int Port = 0)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket bound to 127.0.0.1 on an ephemeral port, listening when Backlog
// is above 0; Port receives the port.
inline int BindLoopback(int& Port, int Backlog = 0)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = LoopbackAddress();
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (Backlog > 0)
        ::listen(fd, Backlog);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    return fd;
}

// A port on 127.0.0.1 where nothing listens.
inline int UnusedPort()
{
    int port = 0;
    ::close(BindLoopback(port));
    return port;
}

// Starts Argv[0], looked up in PATH unless it names a path, with the file
// actions Actions; the child's id, or -1.
inline pid_t SpawnProcess(const std::vector<std::string>& Argv, const posix_spawn_file_actions_t& Actions)
{
    std::vector<char*> args;
    for (const auto& a : Argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &Actions, nullptr, args.data(), environ) != 0)
        return -1;
    return pid;
}

// Sends Signal to a child and reaps it.
inline void StopProcess(pid_t Pid, int Signal = SIGKILL)
{
    if (Pid <= 0)
        return;
    kill(Pid, Signal);
    waitpid(Pid, nullptr, 0);
}
