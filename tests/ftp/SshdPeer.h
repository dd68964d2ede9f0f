// OpenSSH's sshd on an ephemeral 127.0.0.1 port for the SFTP tests and the
// benchmark: host key made in the test's directory, internal-sftp starting
// in Root, one login (the system user User) allowed. The user's password
// works only while some test holds it: set when the first holder starts,
// replaced by "*" (no password matches) when the last one ends.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "TestSupport.h"

class TSshdServer {
public:
    static constexpr const char* User = "quorrelane-sftp";
    static constexpr const char* Password = "sftp-test-only";
    static constexpr const char* RsaPassphrase = "rsa-passphrase";

    explicit TSshdServer(const TTempDir& Dir) : Base(Dir.Name()), Root(Dir.Name() + "/root")
    {
        if (::geteuid() != 0 || !std::filesystem::exists("/usr/sbin/sshd")) {
            SkipReason = "sshd tests need root and openssh-server";
            return;
        }
        if (!Run("id -u " + std::string(User) + " >/dev/null 2>&1 || useradd -M -d /nonexistent -s /usr/sbin/nologin " +
                 User + " >/dev/null 2>&1 || id -u " + User + " >/dev/null 2>&1")) {
            SkipReason = "cannot create the test user";
            return;
        }
        HoldPassword(+1);
        FHolding = true;
        ::chmod(Base.c_str(), 0755);
        std::filesystem::create_directories(Root);
        Run("chown " + std::string(User) + " " + Root);
        Ed25519Key = Base + "/id_ed25519";
        RsaKey = Base + "/id_rsa";
        const std::string q = " -q -C test -f ";
        if (!Run("ssh-keygen -t ed25519 -N ''" + q + Base + "/host_ed25519") ||
            !Run("ssh-keygen -t ed25519 -N ''" + q + Ed25519Key) ||
            !Run("ssh-keygen -t rsa -b 2048 -N '" + std::string(RsaPassphrase) + "'" + q + RsaKey) ||
            !Run("cat " + Ed25519Key + ".pub " + RsaKey + ".pub > " + Base + "/authorized_keys")) {
            SkipReason = "ssh-keygen failed";
            return;
        }
        HostKeyLine = Slurp(Base + "/host_ed25519.pub");
        Fingerprint = Capture("ssh-keygen -lf " + Base + "/host_ed25519.pub | cut -d' ' -f2");
        ::mkdir("/run/sshd", 0755);
        Start();
    }

    ~TSshdServer()
    {
        Stop();
        if (FHolding)
            HoldPassword(-1);
    }
    TSshdServer(const TSshdServer&) = delete;
    TSshdServer& operator=(const TSshdServer&) = delete;

    // Starts (again) on a fresh port.
    void Start()
    {
        Port = UnusedPort();
        Spit(Base + "/sshd_config",
             "ListenAddress 127.0.0.1:" + std::to_string(Port) + "\nHostKey " + Base +
                 "/host_ed25519\nPidFile none\nAuthorizedKeysFile " + Base +
                 "/authorized_keys\nStrictModes no\nUsePAM no\nPasswordAuthentication yes\n"
                 "KbdInteractiveAuthentication no\nPermitRootLogin no\nAllowUsers " +
                 User + "\nSubsystem sftp internal-sftp\nForceCommand internal-sftp -d " + Root + "\n");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, (Base + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        Pid = SpawnProcess({"/usr/sbin/sshd", "-D", "-e", "-f", Base + "/sshd_config"}, fa);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 200 && !Listening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!Listening())
            SkipReason = "sshd did not start: " + Slurp(Base + "/sshd.log");
    }

    // Kills the listener and every session it started.
    void Stop()
    {
        if (Pid <= 0)
            return;
        KillSessions();
        StopProcess(Pid);
        Pid = -1;
    }

    // Kills the session processes, the listener stays.
    void KillSessions() const { KillChildren(Pid); }

    std::string Base, Root, SkipReason, Ed25519Key, RsaKey, HostKeyLine, Fingerprint;
    int Port = 0;
    pid_t Pid = -1;

private:
    static bool Run(const std::string& Command) { return std::system(Command.c_str()) == 0; }
    static std::string Capture(const std::string& Command)
    {
        std::string out;
        if (FILE* p = ::popen(Command.c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p))
                out += buf;
            ::pclose(p);
        }
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
            out.pop_back();
        return out;
    }
    // Kills the descendants of Parent, found by their parent ids.
    static void KillChildren(pid_t Parent)
    {
        for (const auto& e : std::filesystem::directory_iterator("/proc")) {
            const std::string name = e.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const std::string stat = Slurp(e.path().string() + "/stat");
            const size_t close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            int ppid = 0;
            char state = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == Parent) {
                const pid_t child = std::atoi(name.c_str());
                KillChildren(child);
                ::kill(child, SIGKILL);
            }
        }
    }
    bool Listening() const
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(Port);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }
    // Counts the holders of the password across test processes.
    static void HoldPassword(int Delta)
    {
        const int lock = ::open("/run/lock/quorrelane-sftp-user", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ::flock(lock, LOCK_EX);
        char buf[16] = {};
        ::pread(lock, buf, sizeof buf - 1, 0);
        int holders = std::max(0, std::atoi(buf) + Delta);
        if (Delta > 0 && holders == 1)
            Run("echo '" + std::string(User) + ":" + Password + "' | chpasswd");
        if (holders == 0)
            Run("usermod -p '*' " + std::string(User));
        const std::string text = std::to_string(holders) + "\n";
        ::ftruncate(lock, 0);
        ::pwrite(lock, text.data(), text.size(), 0);
        ::close(lock);  // unlocks
    }
    bool FHolding = false;
};
