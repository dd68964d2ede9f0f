// Real SOCKS proxies for the tests, each on an ephemeral 127.0.0.1 port
// with its own configuration in a temporary directory.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "net/LoopPeers.h"

// True once something accepts connections on 127.0.0.1:Port.
inline bool WaitListening(int Port)
{
    return RunUntil([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(Port);
        bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return up;
    });
}

// How often Text occurs in Log.
inline size_t Count(const std::string& Log, const std::string& Text)
{
    size_t n = 0;
    for (size_t at = 0; (at = Log.find(Text, at)) != std::string::npos; at += Text.size())
        ++n;
    return n;
}

struct TSocksProxy {
    TTempDir Dir;
    int Port = UnusedPort();
    // Collects what the proxy prints: microsocks logs every connection.
    std::unique_ptr<TLoopProcess> Proc;

    // microsocks; with a User it demands that name and Pass. Outgoing
    // connections leave from BindAddr when one is given.
    static std::unique_ptr<TSocksProxy> Microsocks(const std::string& User = "", const std::string& Pass = "",
                                                   const std::string& BindAddr = "")
    {
        auto p = std::make_unique<TSocksProxy>();
        std::string cmd = "exec /usr/bin/microsocks -i 127.0.0.1 -p " + p->PortText();
        if (!User.empty())
            cmd += " -u " + User + " -P " + Pass;
        if (!BindAddr.empty())
            cmd += " -b " + BindAddr;
        p->Proc = std::make_unique<TLoopProcess>(std::vector<std::string>{"/bin/sh", "-c", cmd + " 2>&1"});
        return p;
    }

    // danted needs root to switch to its unprivileged user.
    static bool CanRunDante() { return geteuid() == 0; }
    // danted, SOCKS 4 and 5 with the SOCKS methods Methods (without
    // authentication by default; "username" checks the system's users),
    // connecting out from External; it logs to DanteLog().
    static std::unique_ptr<TSocksProxy> Dante(const std::string& External = "127.0.0.1",
                                              const std::string& Methods = "none")
    {
        auto p = std::make_unique<TSocksProxy>();
        Spit(p->Dir / "danted.conf", "logoutput: " + p->Dir / "danted.log" + "\ninternal: 127.0.0.1 port = " +
                                         p->PortText() + "\nexternal: " + External +
                                         "\nclientmethod: none\nsocksmethod: " + Methods +
                                         "\nuser.privileged: root\nuser.unprivileged: nobody\n"
                                         "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                                         "socks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n command: connect\n"
                                         " log: connect disconnect error\n}\n");
        p->Proc = std::make_unique<TLoopProcess>(std::vector<std::string>{
            "/usr/sbin/danted", "-f", p->Dir / "danted.conf", "-p", p->Dir / "danted.pid", "-N", "1"});
        return p;
    }

    ~TSocksProxy()
    {
        // danted ends its children itself on SIGTERM; its output closes
        // once all of them are gone.
        std::string pid = Slurp(Dir / "danted.pid");
        if (Proc && !Proc->Exited && !pid.empty() && std::stoi(pid) > 0 && kill(std::stoi(pid), SIGTERM) == 0)
            RunUntil([&] { return Proc->Exited; }, 5000);
    }

    std::string PortText() const { return std::to_string(Port); }
    std::string DanteLog() const { return Slurp(Dir / "danted.log"); }
    bool Listening() const { return WaitListening(Port); }
    // How often the proxy printed Text.
    size_t Count(const std::string& Text) const { return ::Count(Proc->Output, Text); }
};
