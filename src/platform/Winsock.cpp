#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace winsock {

namespace {

thread_local int tLastError = 0;

int Fail(int Code)
{
    tLastError = Code;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(ErrnoToWinsock(errno)); }

// What WSAAsyncSelect asked for on one socket.
enum class TPhase { Fresh, Connecting, Connected, Listening, Failed };

struct TSelectRec {
    HWND Wnd = nullptr;
    UINT Msg = 0;
    long Events = 0;        // requested
    long Armed = 0;         // requested and not yet delivered
    bool CloseSent = false;
    bool Datagram = false;
    bool AcceptStarved = false;  // accept ran out of descriptors
    bool Watched = false;
    bool UrgentAhead = false;    // an urgent byte was taken aside; its mark may lie ahead
    bool Accepted = false;       // made by accept: a non-blocking stream socket
    uint32_t WatchMask = 0;
    TPhase Phase = TPhase::Fresh;
};

std::mutex gSelectLock;
std::map<SOCKET, TSelectRec>& Selects()
{
    static auto* m = new std::map<SOCKET, TSelectRec>;
    return *m;
}

void OnReady(SOCKET S, uint32_t Events);

// Bytes of the normal stream, -1 when the count fails. Urgent bytes stay
// out of it, as under Winsock: FIONREAD stops at their mark, so there the
// count is 1 when a byte follows, and the next read passes the mark.
int StreamBytes(SOCKET S, TSelectRec& R)
{
    int avail = 0;
    if (::ioctl(S, FIONREAD, &avail) != 0)
        return -1;
    if (avail > 0 || !R.UrgentAhead)
        return avail;
    int mark = 0;
    char c;
    if (::ioctl(S, SIOCATMARK, &mark) != 0 || !mark) {
        R.UrgentAhead = false;
        return 0;
    }
    return ::recv(S, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1 ? 1 : 0;
}

// Takes an announced urgent byte out of the way: nobody asks for FD_OOB.
void DropUrgentByte(SOCKET S, TSelectRec& R)
{
    char c;
    ::recv(S, &c, 1, MSG_OOB | MSG_DONTWAIT);
    R.UrgentAhead = true;
}

// Brings the epoll registration in line with the armed events. Nothing
// armed means no registration, so a hung-up socket cannot wake the queue.
// Without Shrink a registration that covers more is kept: the event just
// delivered is usually re-enabled before the next wait, and a wait that
// finds it disarmed shrinks it then.
void UpdateWatch(SOCKET S, TSelectRec& R, bool Shrink = true)
{
    uint32_t mask = 0;
    if (R.Wnd && R.Msg) {
        switch (R.Phase) {
        case TPhase::Connecting:
            if (R.Armed & (FD_CONNECT | FD_WRITE))
                mask = EPOLLOUT;
            break;
        case TPhase::Listening:
            if ((R.Armed & FD_ACCEPT) && !R.AcceptStarved)
                mask = EPOLLIN;
            break;
        case TPhase::Connected:
            if (R.Armed & FD_WRITE)
                mask |= EPOLLOUT;
            // After the peer's FIN the socket reads as ready for ever: it is
            // watched for reading only while unread data remains, so that a
            // wait for FD_WRITE is not cut short.
            if ((R.Armed & FD_READ) && (!R.CloseSent || StreamBytes(S, R) > 0))
                mask |= EPOLLIN | EPOLLRDHUP | (R.Datagram ? 0u : static_cast<uint32_t>(EPOLLPRI));
            if ((R.Armed & FD_CLOSE) && !R.Datagram)
                mask |= EPOLLRDHUP;
            break;
        default:
            break;
        }
    }
    if (!Shrink && (mask & ~R.WatchMask) == 0 && (R.Watched || mask == 0))
        return;
    if (mask == 0) {
        if (R.Watched)
            UnwatchDescriptor(S);
        R.Watched = false;
        R.WatchMask = 0;
        return;
    }
    if (!R.Watched) {
        WatchDescriptor(S, mask, [S](uint32_t ev) { OnReady(S, ev); });
        R.Watched = true;
    } else if (mask != R.WatchMask) {
        ChangeDescriptor(S, mask);
    }
    R.WatchMask = mask;
}

void Arm(SOCKET S, long Event)
{
    std::lock_guard<std::mutex> g(gSelectLock);
    auto it = Selects().find(S);
    if (it == Selects().end())
        return;
    TSelectRec& r = it->second;
    if (Event == FD_CLOSE && r.CloseSent)
        return;
    r.Armed |= (r.Events & Event);
    UpdateWatch(S, r);
}

int SocketError(SOCKET S)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(S, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return ErrnoToWinsock(errno);
    return err ? ErrnoToWinsock(err) : 0;
}

void Post(const TSelectRec& R, SOCKET S, long Event, int Error)
{
    PostMessage(R.Wnd, R.Msg, static_cast<WPARAM>(S), WSAMAKESELECTREPLY(static_cast<WORD>(Event), static_cast<WORD>(Error)));
}

void OnReady(SOCKET S, uint32_t Events)
{
    std::lock_guard<std::mutex> g(gSelectLock);
    auto it = Selects().find(S);
    if (it == Selects().end()) {
        UnwatchDescriptor(S);
        return;
    }
    TSelectRec& r = it->second;
    bool posted = false;
    bool hup = (Events & (EPOLLERR | EPOLLHUP)) != 0;
    switch (r.Phase) {
    case TPhase::Connecting:
        if (Events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
            int err = SocketError(S);
            if (err == 0 && hup)
                err = WSAECONNREFUSED;
            if (r.Armed & FD_CONNECT) {
                Post(r, S, FD_CONNECT, err);
                posted = true;
            }
            r.Armed &= ~FD_CONNECT;
            if (err) {
                r.Phase = TPhase::Failed;
                r.Armed = 0;
            } else {
                r.Phase = TPhase::Connected;
                if (r.Armed & FD_WRITE) {
                    Post(r, S, FD_WRITE, 0);
                    posted = true;
                    r.Armed &= ~FD_WRITE;
                }
            }
        }
        break;
    case TPhase::Listening:
        if ((Events & EPOLLIN) && (r.Armed & FD_ACCEPT)) {
            Post(r, S, FD_ACCEPT, 0);
            posted = true;
            r.Armed &= ~FD_ACCEPT;
        }
        break;
    case TPhase::Connected: {
        if ((Events & EPOLLOUT) && (r.Armed & FD_WRITE)) {
            Post(r, S, FD_WRITE, 0);
            posted = true;
            r.Armed &= ~FD_WRITE;
        }
        if (r.Datagram) {
            if ((Events & EPOLLIN) && (r.Armed & FD_READ)) {
                Post(r, S, FD_READ, 0);
                posted = true;
                r.Armed &= ~FD_READ;
            }
            break;
        }
        bool eof = (Events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        if (Events & EPOLLPRI) {
            DropUrgentByte(S, r);
            posted = true;  // keeps the registration for the bytes behind it
        }
        // Readable without a hang-up means bytes of the stream: the count is
        // asked only when the peer has gone as well.
        int avail = 0;
        if ((r.Armed & FD_READ) && (Events & EPOLLIN) && !eof)
            avail = 1;
        else if ((r.Armed & FD_READ) && (Events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            avail = std::max(StreamBytes(S, r), 0);
        if (avail > 0 && (r.Armed & FD_READ)) {
            Post(r, S, FD_READ, 0);
            posted = true;
            r.Armed &= ~FD_READ;
        }
        if (eof && (r.Armed & FD_CLOSE) && !r.CloseSent) {
            int err = (Events & EPOLLERR) ? SocketError(S) : 0;
            if (err == 0 && (Events & EPOLLHUP) && !(Events & EPOLLRDHUP))
                err = WSAECONNRESET;
            Post(r, S, FD_CLOSE, err);
            posted = true;
            r.CloseSent = true;
            r.Armed &= ~FD_CLOSE;
        }
        break;
    }
    default:
        break;
    }
    if (!posted) {
        // An event delivered before and not re-enabled yet: the
        // registration shrinks to what is armed.
        const uint32_t before = r.WatchMask;
        if (!(Events & (EPOLLHUP | EPOLLERR))) {
            UpdateWatch(S, r);
            if (!r.Watched || r.WatchMask != before)
                return;
        }
        // Nothing deliverable (a hung-up socket whose events are spent):
        // drop the registration until the next re-enabling call.
        if (r.Watched)
            UnwatchDescriptor(S);
        r.Watched = false;
        r.WatchMask = 0;
        return;
    }
    UpdateWatch(S, r, false);
}

void SetPhase(SOCKET S, TPhase Phase)
{
    std::lock_guard<std::mutex> g(gSelectLock);
    TSelectRec& r = Selects()[S];
    r.Phase = Phase;
    if (Phase == TPhase::Connecting)
        r.Armed |= (r.Events & FD_CONNECT);
    UpdateWatch(S, r);
}

bool IsDatagram(SOCKET S)
{
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(S, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
}

// Name lookups.
struct TLookup {
    WSAASYNCHANDLE Handle = 0;
    HWND Wnd = nullptr;
    UINT Msg = 0;
    char* Buf = nullptr;
    int BufLen = 0;
    bool Forward = true;
    std::string Name;
    in_addr Addr{};
};

std::mutex gLookupLock;
WSAASYNCHANDLE gNextLookup = 0;
// Requests whose completion has been posted; cancelling one of them still
// succeeds (its message is then ignored by the owner).
std::deque<WSAASYNCHANDLE>& Completed()
{
    static auto* d = new std::deque<WSAASYNCHANDLE>;
    return *d;
}
std::map<WSAASYNCHANDLE, std::shared_ptr<TLookup>>& Lookups()
{
    static auto* m = new std::map<WSAASYNCHANDLE, std::shared_ptr<TLookup>>;
    return *m;
}

int GaiToWinsock(int Code)
{
    switch (Code) {
    case 0:
        return 0;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
    case EAI_MEMORY:
        return WSAENOBUFS;
    default:
        return WSAHOST_NOT_FOUND;
    }
}

// Lays out a hostent with its name and addresses in Buf. The result is 0 or
// WSAENOBUFS when the area is too small.
int PackHostent(const std::string& Name, const std::vector<in_addr>& Addrs, char* Buf, int BufLen)
{
    size_t need = sizeof(hostent) + sizeof(char*) /* aliases */ + (Addrs.size() + 1) * sizeof(char*) +
                  Addrs.size() * sizeof(in_addr) + Name.size() + 1;
    need += alignof(hostent);
    if (need > static_cast<size_t>(BufLen))
        return WSAENOBUFS;
    char* base = Buf;
    size_t mis = reinterpret_cast<uintptr_t>(base) % alignof(hostent);
    if (mis)
        base += alignof(hostent) - mis;
    auto* h = reinterpret_cast<hostent*>(base);
    auto** aliases = reinterpret_cast<char**>(base + sizeof(hostent));
    auto** list = aliases + 1;
    auto* addrs = reinterpret_cast<char*>(list + Addrs.size() + 1);
    char* name = addrs + Addrs.size() * sizeof(in_addr);
    aliases[0] = nullptr;
    for (size_t i = 0; i < Addrs.size(); ++i) {
        std::memcpy(addrs + i * sizeof(in_addr), &Addrs[i], sizeof(in_addr));
        list[i] = addrs + i * sizeof(in_addr);
    }
    list[Addrs.size()] = nullptr;
    std::memcpy(name, Name.c_str(), Name.size() + 1);
    h->h_name = name;
    h->h_aliases = aliases;
    h->h_addrtype = AF_INET;
    h->h_length = sizeof(in_addr);
    h->h_addr_list = list;
    return 0;
}

// Forward lookup: the canonical name and every IPv4 address, in order,
// without repeats.
int ResolveName(const std::string& Name, std::string& Official, std::vector<in_addr>& Addrs)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(Name.c_str(), nullptr, &hints, &res);
    if (rc != 0)
        return GaiToWinsock(rc);
    Official = (res && res->ai_canonname) ? res->ai_canonname : Name;
    for (addrinfo* a = res; a; a = a->ai_next) {
        in_addr ia = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
        bool seen = false;
        for (const in_addr& x : Addrs)
            seen = seen || x.s_addr == ia.s_addr;
        if (!seen)
            Addrs.push_back(ia);
    }
    ::freeaddrinfo(res);
    return Addrs.empty() ? WSANO_DATA : 0;
}

int ResolveAddr(in_addr Addr, std::string& Official)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = Addr;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return GaiToWinsock(rc);
    Official = host;
    return 0;
}

void RunLookup(std::shared_ptr<TLookup> L)
{
    std::string official;
    std::vector<in_addr> addrs;
    int err;
    if (L->Forward) {
        err = ResolveName(L->Name, official, addrs);
    } else {
        err = ResolveAddr(L->Addr, official);
        addrs.push_back(L->Addr);
    }
    std::lock_guard<std::mutex> g(gLookupLock);
    if (!Lookups().erase(L->Handle))
        return;  // cancelled: the result area may be gone
    if (err == 0)
        err = PackHostent(official, addrs, L->Buf, L->BufLen);
    PostMessage(L->Wnd, L->Msg, static_cast<WPARAM>(L->Handle),
                WSAMAKEASYNCREPLY(static_cast<WORD>(err == 0 ? L->BufLen : 0), static_cast<WORD>(err)));
    Completed().push_back(L->Handle);
    if (Completed().size() > 256)
        Completed().pop_front();
}

WSAASYNCHANDLE StartLookup(std::shared_ptr<TLookup> L)
{
    {
        std::lock_guard<std::mutex> g(gLookupLock);
        if (++gNextLookup == 0)
            ++gNextLookup;
        L->Handle = gNextLookup;
        Lookups()[L->Handle] = L;
    }
    try {
        std::thread(RunLookup, L).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> g(gLookupLock);
        Lookups().erase(L->Handle);
        tLastError = WSAENOBUFS;
        return 0;
    }
    return L->Handle;
}

}  // namespace

int ErrnoToWinsock(int E)
{
    switch (E) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return WSAEINVAL;
    }
}

int WSAStartup(WORD Version, WSADATA* Data)
{
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit rl{};
        if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
            rl.rlim_cur = rl.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &rl);
        }
    });
    if (Data) {
        *Data = WSADATA{};
        Data->wVersion = Version;
        Data->wHighVersion = 0x0101;
        std::strcpy(Data->szDescription, "POSIX sockets");
        std::strcpy(Data->szSystemStatus, "Running");
        Data->iMaxSockets = 0xFFFF;
        Data->iMaxUdpDg = 0xFFFF;
    }
    return 0;
}

int WSACleanup() { return 0; }
int WSAGetLastError() { return tLastError; }
void WSASetLastError(int Error) { tLastError = Error; }

int WSAAsyncSelect(SOCKET S, HWND Wnd, UINT Msg, long Events)
{
    if (S < 0)
        return Fail(WSAENOTSOCK);
    std::lock_guard<std::mutex> g(gSelectLock);
    TSelectRec& r = Selects()[S];
    if (!r.Accepted) {
        int fl = ::fcntl(S, F_GETFL);
        if (fl < 0)
            return FailErrno();
        if (!(fl & O_NONBLOCK))
            ::fcntl(S, F_SETFL, fl | O_NONBLOCK);
    }
    if (Msg == 0 || Events == 0 || !Wnd) {
        r.Wnd = nullptr;
        r.Msg = 0;
        r.Events = r.Armed = 0;
        UpdateWatch(S, r);
        return 0;
    }
    r.Wnd = Wnd;
    r.Msg = Msg;
    r.Events = Events;
    r.AcceptStarved = false;
    r.Datagram = !r.Accepted && IsDatagram(S);
    if (r.Phase == TPhase::Fresh) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int acc = 0;
        socklen_t alen = sizeof acc;
        if (r.Datagram)
            r.Phase = TPhase::Connected;
        else if (::getpeername(S, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
            r.Phase = TPhase::Connected;
        else if (::getsockopt(S, SOL_SOCKET, SO_ACCEPTCONN, &acc, &alen) == 0 && acc)
            r.Phase = TPhase::Listening;
    }
    r.Armed = Events & ~(r.Phase == TPhase::Connecting ? 0 : FD_CONNECT);
    if (r.CloseSent)
        r.Armed &= ~FD_CLOSE;
    UpdateWatch(S, r);
    return 0;
}

WSAASYNCHANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen)
{
    auto l = std::make_shared<TLookup>();
    l->Wnd = Wnd;
    l->Msg = Msg;
    l->Buf = Buf;
    l->BufLen = BufLen;
    l->Forward = true;
    l->Name = Name ? Name : "";
    return StartLookup(l);
}

WSAASYNCHANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf, int BufLen)
{
    if (!Addr || Len != 4 || Type != AF_INET) {
        tLastError = WSAEAFNOSUPPORT;
        return 0;
    }
    auto l = std::make_shared<TLookup>();
    l->Wnd = Wnd;
    l->Msg = Msg;
    l->Buf = Buf;
    l->BufLen = BufLen;
    l->Forward = false;
    std::memcpy(&l->Addr, Addr, 4);
    return StartLookup(l);
}

int WSACancelAsyncRequest(WSAASYNCHANDLE Request)
{
    std::lock_guard<std::mutex> g(gLookupLock);
    if (Lookups().erase(Request))
        return 0;
    auto it = std::find(Completed().begin(), Completed().end(), Request);
    if (it == Completed().end())
        return Fail(WSAEINVAL);
    Completed().erase(it);
    return 0;
}

SOCKET socket(int Family, int Type, int Protocol)
{
    int s = ::socket(Family, Type | SOCK_NONBLOCK | SOCK_CLOEXEC, Protocol);
    if (s < 0)
        return FailErrno();
    std::lock_guard<std::mutex> g(gSelectLock);
    Selects().erase(s);
    return s;
}

int closesocket(SOCKET S)
{
    {
        std::lock_guard<std::mutex> g(gSelectLock);
        auto it = Selects().find(S);
        if (it != Selects().end()) {
            if (it->second.Watched)
                UnwatchDescriptor(S);
            if (it->second.Wnd)
                RemovePostedMessages(it->second.Wnd, it->second.Msg, static_cast<WPARAM>(S));
            Selects().erase(it);
        }
    }
    if (::close(S) != 0)
        return FailErrno();
    // A descriptor is free again: listening sockets that ran out retry.
    std::lock_guard<std::mutex> g(gSelectLock);
    for (auto& [fd, r] : Selects())
        if (r.AcceptStarved) {
            r.AcceptStarved = false;
            UpdateWatch(fd, r);
        }
    return 0;
}

int shutdown(SOCKET S, int How)
{
    if (::shutdown(S, How) != 0)
        return FailErrno();
    return 0;
}

int setsockopt(SOCKET S, int Level, int Option, const void* Value, int Len)
{
    if (Level == SOL_SOCKET && Option == SO_LINGER && Len == static_cast<int>(sizeof(WSALINGER))) {
        WSALINGER w;
        std::memcpy(&w, Value, sizeof w);
        linger l{};
        l.l_onoff = w.l_onoff;
        l.l_linger = w.l_linger;
        if (::setsockopt(S, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
            return FailErrno();
        return 0;
    }
    if (Level == SOL_SOCKET && Len == 4 &&
        (Option == SO_KEEPALIVE || Option == SO_REUSEADDR || Option == SO_BROADCAST || Option == SO_OOBINLINE)) {
        int v;
        std::memcpy(&v, Value, 4);
        v = v ? 1 : 0;
        if (::setsockopt(S, Level, Option, &v, sizeof v) != 0)
            return FailErrno();
        return 0;
    }
    if (::setsockopt(S, Level, Option, Value, static_cast<socklen_t>(Len)) != 0)
        return FailErrno();
    return 0;
}

int getsockopt(SOCKET S, int Level, int Option, void* Value, int* Len)
{
    socklen_t l = Len ? static_cast<socklen_t>(*Len) : 0;
    if (::getsockopt(S, Level, Option, Value, &l) != 0)
        return FailErrno();
    if (Len)
        *Len = static_cast<int>(l);
    return 0;
}

int bind(SOCKET S, const sockaddr* Addr, int Len)
{
    // Winsock lets a server bind a port that still has connections in
    // TIME_WAIT; on Linux that takes SO_REUSEADDR (which, unlike on
    // Windows, never lets two sockets listen on one port).
    int type = 0;
    socklen_t tl = sizeof type;
    if (::getsockopt(S, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_STREAM) {
        int on = 1;
        ::setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(S, Addr, static_cast<socklen_t>(Len)) != 0)
        return FailErrno();
    return 0;
}

int listen(SOCKET S, int Backlog)
{
    if (::listen(S, Backlog) != 0)
        return FailErrno();
    SetPhase(S, TPhase::Listening);
    return 0;
}

SOCKET accept(SOCKET S, sockaddr* Addr, int* Len)
{
    socklen_t l = Len ? static_cast<socklen_t>(*Len) : 0;
    int c = ::accept4(S, Addr, Len ? &l : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int e = errno;
    if (c < 0 && (e == EMFILE || e == ENFILE)) {
        std::lock_guard<std::mutex> g(gSelectLock);
        auto it = Selects().find(S);
        if (it != Selects().end())
            it->second.AcceptStarved = true;
    }
    Arm(S, FD_ACCEPT);
    if (c < 0)
        return Fail(ErrnoToWinsock(e));
    if (Len)
        *Len = static_cast<int>(l);
    // Known to be connected even if the peer has already gone again.
    std::lock_guard<std::mutex> g(gSelectLock);
    Selects().erase(c);
    TSelectRec& r = Selects()[c];
    r.Phase = TPhase::Connected;
    r.Accepted = true;
    return c;
}

int connect(SOCKET S, const sockaddr* Addr, int Len)
{
    int rc = ::connect(S, Addr, static_cast<socklen_t>(Len));
    int e = errno;
    if (rc == 0 || e == EINPROGRESS) {
        if (!IsDatagram(S)) {
            SetPhase(S, TPhase::Connecting);
            return Fail(WSAEWOULDBLOCK);
        }
        return 0;
    }
    return Fail(ErrnoToWinsock(e));
}

int send(SOCKET S, const void* Buf, int Len, int Flags)
{
    ssize_t n = ::send(S, Buf, static_cast<size_t>(Len), Flags | MSG_NOSIGNAL);
    int e = errno;
    if (n < 0) {
        if (e == EAGAIN)
            Arm(S, FD_WRITE);
        return Fail(ErrnoToWinsock(e));
    }
    if (n < Len)
        Arm(S, FD_WRITE);
    return static_cast<int>(n);
}

int sendv(SOCKET S, const iovec* Vec, int Count, int Flags)
{
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(Vec);
    m.msg_iovlen = static_cast<size_t>(Count);
    size_t len = 0;
    for (int i = 0; i < Count; ++i)
        len += Vec[i].iov_len;
    ssize_t n = ::sendmsg(S, &m, Flags | MSG_NOSIGNAL);
    int e = errno;
    if (n < 0) {
        if (e == EAGAIN)
            Arm(S, FD_WRITE);
        return Fail(ErrnoToWinsock(e));
    }
    if (static_cast<size_t>(n) < len)
        Arm(S, FD_WRITE);
    return static_cast<int>(n);
}

int sendto(SOCKET S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen)
{
    ssize_t n = ::sendto(S, Buf, static_cast<size_t>(Len), Flags | MSG_NOSIGNAL, To, static_cast<socklen_t>(ToLen));
    int e = errno;
    if (n < 0) {
        if (e == EAGAIN)
            Arm(S, FD_WRITE);
        return Fail(ErrnoToWinsock(e));
    }
    return static_cast<int>(n);
}

int recv(SOCKET S, void* Buf, int Len, int Flags)
{
    ssize_t n = ::recv(S, Buf, static_cast<size_t>(Len), Flags);
    int e = errno;
    Arm(S, FD_READ);
    if (n < 0)
        return Fail(ErrnoToWinsock(e));
    return static_cast<int>(n);
}

int recvfrom(SOCKET S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen)
{
    socklen_t l = FromLen ? static_cast<socklen_t>(*FromLen) : 0;
    ssize_t n = ::recvfrom(S, Buf, static_cast<size_t>(Len), Flags, From, FromLen ? &l : nullptr);
    int e = errno;
    Arm(S, FD_READ);
    if (n < 0)
        return Fail(ErrnoToWinsock(e));
    if (FromLen)
        *FromLen = static_cast<int>(l);
    return static_cast<int>(n);
}

int ioctlsocket(SOCKET S, long Cmd, unsigned long* Arg)
{
    if (Cmd == FIONREAD_CMD || Cmd == static_cast<long>(FIONREAD)) {
        int n = 0;
        std::lock_guard<std::mutex> g(gSelectLock);
        auto it = Selects().find(S);
        if (it != Selects().end())
            n = StreamBytes(S, it->second);
        else if (::ioctl(S, FIONREAD, &n) != 0)
            n = -1;
        if (n < 0)
            return FailErrno();
        if (Arg)
            *Arg = static_cast<unsigned long>(n < 0 ? 0 : n);
        return 0;
    }
    return Fail(WSAEINVAL);
}

void WaitWritableOrMessage(SOCKET S)
{
    pollfd fds[2] = {{S, POLLOUT, 0}, {QueueDescriptor(), POLLIN, 0}};
    ::poll(fds, 2, NextTimerTimeout());
}

int getsockname(SOCKET S, sockaddr* Addr, int* Len)
{
    socklen_t l = Len ? static_cast<socklen_t>(*Len) : 0;
    if (::getsockname(S, Addr, &l) != 0)
        return FailErrno();
    if (Len)
        *Len = static_cast<int>(l);
    return 0;
}

int getpeername(SOCKET S, sockaddr* Addr, int* Len)
{
    socklen_t l = Len ? static_cast<socklen_t>(*Len) : 0;
    if (::getpeername(S, Addr, &l) != 0)
        return FailErrno();
    if (Len)
        *Len = static_cast<int>(l);
    return 0;
}

int gethostname(char* Name, int Len)
{
    if (::gethostname(Name, static_cast<size_t>(Len)) != 0)
        return FailErrno();
    return 0;
}

hostent* gethostbyname(const char* Name)
{
    thread_local std::vector<char> area;
    std::string official;
    std::vector<in_addr> addrs;
    int err = ResolveName(Name ? Name : "", official, addrs);
    if (err) {
        tLastError = err;
        return nullptr;
    }
    area.assign(sizeof(hostent) + official.size() + 64 + addrs.size() * (sizeof(in_addr) + sizeof(char*)), 0);
    if (PackHostent(official, addrs, area.data(), static_cast<int>(area.size())) != 0) {
        tLastError = WSAENOBUFS;
        return nullptr;
    }
    char* base = area.data();
    size_t mis = reinterpret_cast<uintptr_t>(base) % alignof(hostent);
    if (mis)
        base += alignof(hostent) - mis;
    return reinterpret_cast<hostent*>(base);
}

servent* getservbyname(const char* Name, const char* Proto)
{
    if (servent* s = ::getservbyname(Name, Proto))
        return s;
    // A system without a services database still knows the usual ones.
    static const struct {
        const char* Name;
        int Port;
    } known[] = {{"ftp-data", 20}, {"ftp", 21}, {"telnet", 23}, {"smtp", 25}, {"http", 80}, {"pop3", 110}, {"https", 443}};
    thread_local servent ent;
    thread_local std::string name, proto;
    for (const auto& k : known)
        if (std::strcmp(k.Name, Name) == 0) {
            name = k.Name;
            proto = Proto ? Proto : "tcp";
            ent = servent{};
            ent.s_name = name.data();
            ent.s_port = ::htons(static_cast<uint16_t>(k.Port));
            ent.s_proto = proto.data();
            static char* noAliases[] = {nullptr};
            ent.s_aliases = noAliases;
            return &ent;
        }
    tLastError = WSANO_DATA;
    return nullptr;
}

protoent* getprotobyname(const char* Name)
{
    if (protoent* p = ::getprotobyname(Name))
        return p;
    static const struct {
        const char* Name;
        int Number;
    } known[] = {{"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};
    thread_local protoent ent;
    thread_local std::string name;
    for (const auto& k : known)
        if (strcasecmp(k.Name, Name) == 0) {
            name = k.Name;
            ent = protoent{};
            ent.p_name = name.data();
            ent.p_proto = k.Number;
            static char* noAliases[] = {nullptr};
            ent.p_aliases = noAliases;
            return &ent;
        }
    tLastError = WSANO_DATA;
    return nullptr;
}

uint32_t inet_addr(const char* Text) { return ::inet_addr(Text); }
const char* inet_ntoa(in_addr Addr) { return ::inet_ntoa(Addr); }
uint16_t (htons)(uint16_t V) { return ::htons(V); }
uint16_t (ntohs)(uint16_t V) { return ::ntohs(V); }
uint32_t (htonl)(uint32_t V) { return ::htonl(V); }

}  // namespace winsock
