// Test peers that live beside the message loop: a plain non-blocking TCP
// client and a child process whose output is collected. Both wake the
// queue through watched descriptors, so waiting never polls.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/Windows.h"

extern char** environ;

namespace looppeers {

class TPeer;
inline std::set<TPeer*>& Peers()
{
    static std::set<TPeer*> peers;
    return peers;
}

inline LRESULT WakeProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return Msg >= WM_USER ? 0 : DefWindowProc(Wnd, Msg, wParam, lParam);
}

// A descriptor whose readiness wakes the queue; Poll reads it.
class TPeer {
public:
    TPeer() { Peers().insert(this); }
    virtual ~TPeer()
    {
        Peers().erase(this);
        Unwatch();
        if (FWake)
            DestroyWindow(FWake);
    }
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;
    virtual void Poll() = 0;

protected:
    void Watch(int Fd, uint32_t Events)
    {
        if (!FWake)
            FWake = CreateWindowHandle(&WakeProc);
        FFd = Fd;
        FHungUp = false;
        WatchDescriptor(Fd, Events, [this](uint32_t Ready) {
            // Quiet until the next Poll has read what is waiting; a hang-up
            // cannot be masked, so its watch ends here.
            if (Ready & (EPOLLHUP | EPOLLERR)) {
                UnwatchDescriptor(FFd);
                FHungUp = true;
            } else {
                ChangeDescriptor(FFd, 0);
            }
            PostMessage(FWake, WM_USER, 0, 0);
        });
        FEvents = Events;
    }
    void Rearm()
    {
        if (FFd >= 0 && !FHungUp)
            ChangeDescriptor(FFd, FEvents);
    }
    void Unwatch()
    {
        if (FFd >= 0 && !FHungUp)
            UnwatchDescriptor(FFd);
        FFd = -1;
    }

private:
    HWND FWake = nullptr;
    int FFd = -1;
    uint32_t FEvents = 0;
    bool FHungUp = false;
};

} // namespace looppeers

// Runs the message loop until Done holds or TimeoutMs passes. Done is
// checked again at least every Slice ms, for conditions no message
// announces.
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = 10000, int Slice = 100)
{
    DWORD start = GetTickCount();
    for (;;) {
        PumpPendingMessages();
        for (auto* p : std::vector<looppeers::TPeer*>(looppeers::Peers().begin(), looppeers::Peers().end()))
            p->Poll();
        if (Done())
            return true;
        int left = TimeoutMs - static_cast<int>(GetTickCount() - start);
        if (left <= 0)
            return false;
        WaitMessageTimeout(std::min(left, Slice));
    }
}

// Dispatches what is waiting now, and what that causes, without waiting
// for anything new.
inline void RunPending()
{
    for (int i = 0; i < 20; ++i)
        PumpPendingMessages();
}

// A plain TCP client on 127.0.0.1.
class TLoopClient : public looppeers::TPeer {
public:
    explicit TLoopClient(int Port, bool ConnectNow = true)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (ConnectNow)
            Connect(Port);
    }
    ~TLoopClient() override { Close(); }

    void Connect(int Port)
    {
        sockaddr_in sin = LoopbackAddress(Port);
        ::connect(FFd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        Watch(FFd, EPOLLIN | EPOLLRDHUP);
    }
    int Fd() const { return FFd; }
    int LocalPort() const
    {
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        getsockname(FFd, reinterpret_cast<sockaddr*>(&sin), &len);
        return ntohs(sin.sin_port);
    }

    // Writes everything, running the loop while the socket is full.
    bool Send(const std::string& Data)
    {
        size_t done = 0;
        while (done < Data.size()) {
            ssize_t n = ::send(FFd, Data.data() + done, Data.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINPROGRESS && errno != ENOTCONN)
                return false;
            PumpPendingMessages();
            WaitMessageTimeout(10);
        }
        return true;
    }

    // When Reading is false the client leaves the data in the socket.
    bool Reading = true;
    void Poll() override
    {
        if (FFd < 0 || Closed || !Reading)
            return;
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n > 0) {
                Data.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                Closed = true;
                Reset = n < 0;
                Unwatch();
                return;
            }
            break;
        }
        Rearm();
    }

    void ShutdownWrite() { ::shutdown(FFd, SHUT_WR); }
    void Close()
    {
        Unwatch();
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }
    // Shrinks the receive window so that a server's sends block.
    void SetSmallReceiveBuffer()
    {
        int v = 4096;
        setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);
    }

    std::string Data;
    bool Closed = false;
    bool Reset = false;

private:
    int FFd = -1;
};

// Sends Request to 127.0.0.1:Port and collects the answer until the server
// closes; false when it does not close in time.
inline bool LoopFetch(int Port, const std::string& Request, std::string& Answer)
{
    TLoopClient c(Port);
    c.Send(Request);
    bool closed = RunUntil([&] { return c.Closed; });
    Answer = c.Data;
    return closed;
}

// A child process whose standard output is collected until it exits.
class TLoopProcess : public looppeers::TPeer {
public:
    explicit TLoopProcess(const std::vector<std::string>& Argv)
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        FPid = SpawnProcess(Argv, fa);
        posix_spawn_file_actions_destroy(&fa);
        ::close(p[1]);
        FOut = p[0];
        fcntl(FOut, F_SETFL, O_NONBLOCK);
        Watch(FOut, EPOLLIN);
    }
    ~TLoopProcess() override
    {
        Unwatch();
        if (FOut >= 0)
            ::close(FOut);
        if (!Exited)
            StopProcess(FPid);
    }
    void Poll() override
    {
        if (FOut < 0 || Exited)
            return;
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(FOut, buf, sizeof buf);
            if (n > 0) {
                Output.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) {
                Unwatch();
                int status = 0;
                waitpid(FPid, &status, 0);
                ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                Exited = true;
                return;
            }
            break;
        }
        Rearm();
    }
    // Sends Signal (0: none, waits for the exit), then collects the output
    // until the process ends; its exit code, -1 if it did not end in time.
    int Stop(int Signal = SIGTERM, int TimeoutMs = 30000)
    {
        if (!Exited && FPid > 0) {
            if (Signal)
                kill(FPid, Signal);
            RunUntil([&] { return Exited; }, TimeoutMs);
        }
        return Exited ? ExitCode : -1;
    }

    std::string Output;
    bool Exited = false;
    int ExitCode = -1;

private:
    pid_t FPid = -1;
    int FOut = -1;
};
