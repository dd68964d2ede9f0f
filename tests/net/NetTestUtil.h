// Plain POSIX peers for the socket tests; the loop runs through LoopPeers.h.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "net/LoopPeers.h"
#include "net/WSocket.h"
#include "net/WSocketS.h"
#include "platform/Windows.h"

// Runs the loop until it has been idle for a moment.
inline void RunIdle()
{
    for (int i = 0; i < 1000; ++i) {
        PumpPendingMessages();
        if (!WaitMessageTimeout(50))
            return;
    }
}

// A plain listening socket on 127.0.0.1 with an ephemeral port.
struct TRawListener {
    int Fd = -1;
    int Port = 0;
    TRawListener()
    {
        Fd = BindLoopback(Port, 16);
        ::fcntl(Fd, F_SETFL, O_NONBLOCK);
    }
    ~TRawListener()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    // Non-blocking accept: -1 while nobody is waiting.
    int Accept() { return ::accept4(Fd, nullptr, nullptr, SOCK_NONBLOCK); }
    std::string PortText() const { return std::to_string(Port); }
};

// A TWSocket connected to a plain peer descriptor the listener accepts.
struct TSocketPeer {
    TRawListener Listener;
    TWSocket S{nullptr};
    int Peer = -1;
    std::vector<int> Closed;

    TSocketPeer() { S.OnSessionClosed = [this](TObject*, WORD E) { Closed.push_back(E); }; }
    ~TSocketPeer()
    {
        if (Peer >= 0)
            ::close(Peer);
    }
    TSocketPeer(const TSocketPeer&) = delete;
    TSocketPeer& operator=(const TSocketPeer&) = delete;
    // Connects S to the listener and accepts the peer; true once Ready
    // holds as well.
    bool Connect(const std::function<bool()>& Ready)
    {
        S.SetAddr("127.0.0.1");
        S.SetPort(Listener.PortText());
        S.Connect();
        Peer = -1;
        return RunUntil([&] { return Ready() && (Peer = Peer >= 0 ? Peer : Listener.Accept()) >= 0; });
    }
};

// A server's client that counts the destroyed ones.
class TCountingClient : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;
    ~TCountingClient() override { ++Destroyed; }
    static inline int Destroyed = 0;
};

// A non-blocking client connected to 127.0.0.1:Port.
inline int RawConnect(int Port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = LoopbackAddress(Port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// Appends what a non-blocking descriptor has (at most Max bytes).
inline void ReadSome(int Fd, std::string& Into, size_t Max = 1 << 20)
{
    char buf[65536];
    while (Max > 0) {
        ssize_t n = ::recv(Fd, buf, std::min(sizeof buf, Max), 0);
        if (n <= 0)
            return;
        Into.append(buf, static_cast<size_t>(n));
        Max -= static_cast<size_t>(n);
    }
}

inline void SendAll(int Fd, const std::string& Data)
{
    size_t off = 0;
    while (off < Data.size()) {
        ssize_t n = ::send(Fd, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
        if (n > 0)
            off += static_cast<size_t>(n);
        else
            WaitMessageTimeout(1);
    }
}

// The message of the socket exception F raises, or "(no error)".
inline std::string ErrorText(const std::function<void()>& F)
{
    try {
        F();
    } catch (const ESocketException& E) {
        return E.Message();
    }
    return "(no error)";
}
