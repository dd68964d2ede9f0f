#include "net/WSocket.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Application.h"
#include "platform/SysUtils.h"

const char* const WinsockLibName = "wsock32.dll";

namespace {

// ---------------------------------------------------------------------------
// Binding state.

bool gLoaded = false;
WSADATA gWSAData;
int gSocketCount = 0;

enum TEntry {
    eWSAStartup,
    eWSACleanup,
    eWSASetLastError,
    eWSAGetLastError,
    eWSACancelAsyncRequest,
    eWSAAsyncGetHostByName,
    eWSAAsyncGetHostByAddr,
    eWSAAsyncSelect,
    egetservbyname,
    egetprotobyname,
    egethostbyname,
    egethostname,
    esocket,
    eshutdown,
    esetsockopt,
    egetsockopt,
    esendto,
    esend,
    erecv,
    erecvfrom,
    entohs,
    elisten,
    eioctlsocket,
    einet_ntoa,
    einet_addr,
    ehtons,
    ehtonl,
    egetsockname,
    egetpeername,
    econnect,
    eclosesocket,
    ebind,
    eaccept,
    eEntryCount
};

struct TEntryRec {
    const char* Name;
    void* Address;
};

template <class F>
void* Addr(F f)
{
    return reinterpret_cast<void*>(f);
}

const TEntryRec gEntries[eEntryCount] = {
    {"WSAStartup", Addr(&winsock::WSAStartup)},
    {"WSACleanup", Addr(&winsock::WSACleanup)},
    {"WSASetLastError", Addr(&winsock::WSASetLastError)},
    {"WSAGetLastError", Addr(&winsock::WSAGetLastError)},
    {"WSACancelAsyncRequest", Addr(&winsock::WSACancelAsyncRequest)},
    {"WSAAsyncGetHostByName", Addr(&winsock::WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", Addr(&winsock::WSAAsyncGetHostByAddr)},
    {"WSAAsyncSelect", Addr(&winsock::WSAAsyncSelect)},
    {"getservbyname", Addr(&winsock::getservbyname)},
    {"getprotobyname", Addr(&winsock::getprotobyname)},
    {"gethostbyname", Addr(&winsock::gethostbyname)},
    {"gethostname", Addr(&winsock::gethostname)},
    {"socket", Addr(&winsock::socket)},
    {"shutdown", Addr(&winsock::shutdown)},
    {"setsockopt", Addr(&winsock::setsockopt)},
    {"getsockopt", Addr(&winsock::getsockopt)},
    {"sendto", Addr(&winsock::sendto)},
    {"send", Addr(&winsock::send)},
    {"recv", Addr(&winsock::recv)},
    {"recvfrom", Addr(&winsock::recvfrom)},
    {"ntohs", Addr(&winsock::ntohs)},
    {"listen", Addr(&winsock::listen)},
    {"ioctlsocket", Addr(&winsock::ioctlsocket)},
    {"inet_ntoa", Addr(&winsock::inet_ntoa)},
    {"inet_addr", Addr(&winsock::inet_addr)},
    {"htons", Addr(&winsock::htons)},
    {"htonl", Addr(&winsock::htonl)},
    {"getsockname", Addr(&winsock::getsockname)},
    {"getpeername", Addr(&winsock::getpeername)},
    {"connect", Addr(&winsock::connect)},
    {"closesocket", Addr(&winsock::closesocket)},
    {"bind", Addr(&winsock::bind)},
    {"accept", Addr(&winsock::accept)},
};

void* gSlots[eEntryCount] = {};

template <class F>
F Slot(TEntry Index, F)
{
    if (!gSlots[Index])
        gSlots[Index] = WinsockProc(gEntries[Index].Name);
    return reinterpret_cast<F>(gSlots[Index]);
}

// The system's code for a missing entry point.
constexpr int ProcNotFoundError = 127;

std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* Fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, Fmt);
    vsnprintf(buf, sizeof buf, Fmt, ap);
    va_end(ap);
    return buf;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// Bytes one read notification takes in before the other notifications
// waiting in the queue have their turn; the rest comes with the next one.
constexpr unsigned ReceiveBudget = 256 * 1024;

bool IsConnectionLoss(int Code)
{
    return Code == WSAECONNRESET || Code == WSAENOTSOCK || Code == WSAENOTCONN || Code == WSAEINVAL ||
           Code == WSAECONNABORTED;
}

}  // namespace

// ---------------------------------------------------------------------------
// Binding.

std::string WinsockLoadErrorText(int SystemError)
{
    return std::string("Unable to load ") + WinsockLibName + " Error #" + std::to_string(SystemError);
}

std::string WinsockStartupErrorText(int Result) { return Format("%s: WSAStartup error #%d", WinsockLibName, Result); }

std::string WinsockEntryErrorText(const std::string& Name, int SystemError)
{
    return "Procedure " + Name + " not found in " + WinsockLibName + " Error #" + std::to_string(SystemError);
}

void* WinsockProc(const std::string& Name)
{
    if (!gLoaded) {
        // The POSIX socket calls are part of the C library, which is always
        // there; only the start-up can fail.
        int rc = winsock::WSAStartup(0x0101, &gWSAData);
        if (rc != 0)
            throw ESocketException(WinsockStartupErrorText(rc));
        gLoaded = true;
    }
    if (Name.empty())
        return nullptr;
    for (const TEntryRec& e : gEntries)
        if (Name == e.Name)
            return e.Address;
    throw ESocketException(WinsockEntryErrorText(Name, ProcNotFoundError));
}

void UnloadWinsock()
{
    if (gLoaded) {
        winsock::WSACleanup();
        gLoaded = false;
        std::fill(std::begin(gSlots), std::end(gSlots), nullptr);
    }
    gSocketCount = 0;
}

bool WinsockLoaded() { return gLoaded; }
int WSocketCount() { return gSocketCount; }

int WSocket_WSAStartup(WORD Version, WSADATA* Data) { return Slot(eWSAStartup, &winsock::WSAStartup)(Version, Data); }
int WSocket_WSACleanup() { return Slot(eWSACleanup, &winsock::WSACleanup)(); }
void WSocket_WSASetLastError(int Error) { Slot(eWSASetLastError, &winsock::WSASetLastError)(Error); }
int WSocket_WSAGetLastError() { return Slot(eWSAGetLastError, &winsock::WSAGetLastError)(); }
int WSocket_WSACancelAsyncRequest(WSAASYNCHANDLE Request)
{
    return Slot(eWSACancelAsyncRequest, &winsock::WSACancelAsyncRequest)(Request);
}
WSAASYNCHANDLE WSocket_WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen)
{
    return Slot(eWSAAsyncGetHostByName, &winsock::WSAAsyncGetHostByName)(Wnd, Msg, Name, Buf, BufLen);
}
WSAASYNCHANDLE WSocket_WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* A, int Len, int Type, char* Buf, int BufLen)
{
    return Slot(eWSAAsyncGetHostByAddr, &winsock::WSAAsyncGetHostByAddr)(Wnd, Msg, A, Len, Type, Buf, BufLen);
}
int WSocket_WSAAsyncSelect(SOCKET S, HWND Wnd, UINT Msg, long Events)
{
    return Slot(eWSAAsyncSelect, &winsock::WSAAsyncSelect)(S, Wnd, Msg, Events);
}
servent* WSocket_getservbyname(const char* Name, const char* Proto)
{
    return Slot(egetservbyname, &winsock::getservbyname)(Name, Proto);
}
protoent* WSocket_getprotobyname(const char* Name) { return Slot(egetprotobyname, &winsock::getprotobyname)(Name); }
hostent* WSocket_gethostbyname(const char* Name) { return Slot(egethostbyname, &winsock::gethostbyname)(Name); }
int WSocket_gethostname(char* Name, int Len) { return Slot(egethostname, &winsock::gethostname)(Name, Len); }
SOCKET WSocket_socket(int Family, int Type, int Protocol) { return Slot(esocket, &winsock::socket)(Family, Type, Protocol); }
int WSocket_shutdown(SOCKET S, int How) { return Slot(eshutdown, &winsock::shutdown)(S, How); }
int WSocket_setsockopt(SOCKET S, int Level, int Option, const void* Value, int Len)
{
    return Slot(esetsockopt, &winsock::setsockopt)(S, Level, Option, Value, Len);
}
int WSocket_getsockopt(SOCKET S, int Level, int Option, void* Value, int* Len)
{
    return Slot(egetsockopt, &winsock::getsockopt)(S, Level, Option, Value, Len);
}
int WSocket_sendto(SOCKET S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen)
{
    return Slot(esendto, &winsock::sendto)(S, Buf, Len, Flags, To, ToLen);
}
int WSocket_send(SOCKET S, const void* Buf, int Len, int Flags) { return Slot(esend, &winsock::send)(S, Buf, Len, Flags); }
int WSocket_recv(SOCKET S, void* Buf, int Len, int Flags) { return Slot(erecv, &winsock::recv)(S, Buf, Len, Flags); }
int WSocket_recvfrom(SOCKET S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen)
{
    return Slot(erecvfrom, &winsock::recvfrom)(S, Buf, Len, Flags, From, FromLen);
}
uint16_t WSocket_ntohs(uint16_t V) { return Slot(entohs, &winsock::ntohs)(V); }
int WSocket_listen(SOCKET S, int Backlog) { return Slot(elisten, &winsock::listen)(S, Backlog); }
int WSocket_ioctlsocket(SOCKET S, long Cmd, unsigned long* Arg) { return Slot(eioctlsocket, &winsock::ioctlsocket)(S, Cmd, Arg); }
const char* WSocket_inet_ntoa(in_addr A) { return Slot(einet_ntoa, &winsock::inet_ntoa)(A); }
uint32_t WSocket_inet_addr(const char* Text) { return Slot(einet_addr, &winsock::inet_addr)(Text); }
uint16_t WSocket_htons(uint16_t V) { return Slot(ehtons, &winsock::htons)(V); }
uint32_t WSocket_htonl(uint32_t V) { return Slot(ehtonl, &winsock::htonl)(V); }
int WSocket_getsockname(SOCKET S, sockaddr* A, int* Len) { return Slot(egetsockname, &winsock::getsockname)(S, A, Len); }
int WSocket_getpeername(SOCKET S, sockaddr* A, int* Len) { return Slot(egetpeername, &winsock::getpeername)(S, A, Len); }
int WSocket_connect(SOCKET S, const sockaddr* A, int Len) { return Slot(econnect, &winsock::connect)(S, A, Len); }
int WSocket_closesocket(SOCKET S) { return Slot(eclosesocket, &winsock::closesocket)(S); }
int WSocket_bind(SOCKET S, const sockaddr* A, int Len) { return Slot(ebind, &winsock::bind)(S, A, Len); }
SOCKET WSocket_accept(SOCKET S, sockaddr* A, int* Len) { return Slot(eaccept, &winsock::accept)(S, A, Len); }

// ---------------------------------------------------------------------------
// Resolution and texts.

bool IsDottedIP(const std::string& S)
{
    size_t i = 0, n = S.size();
    while (i < n && S[i] == ' ')
        ++i;
    if (i < n && S[i] == '.')
        return false;
    int dots = 0;
    long field = 0;
    for (; i < n; ++i) {
        char c = S[i];
        if (c == '.') {
            ++dots;
            if (dots > 3 || field > 255 || i + 1 >= n || !IsDigit(S[i + 1]))
                return false;
            field = 0;
        } else if (IsDigit(c)) {
            field = std::min(field * 10 + (c - '0'), 100000L);
        } else {
            while (i < n && S[i] == ' ')
                ++i;
            if (i < n)
                return false;
            break;
        }
    }
    return dots == 3 && field <= 255;
}

int ParsePortNumber(const std::string& S)
{
    size_t i = 0;
    while (i < S.size() && S[i] == ' ')
        ++i;
    // Long digit strings wrap around.
    uint32_t v = 0;
    for (; i < S.size() && IsDigit(S[i]); ++i)
        v = v * 10u + static_cast<uint32_t>(S[i] - '0');
    return static_cast<int>(v);
}

uint32_t WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    std::string t = Trim(InAddr);
    if (IsDottedIP(t)) {
        uint32_t a = WSocket_inet_addr(t.c_str());
        if (a == INADDR_NONE && t != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return a;
    }
    hostent* h = WSocket_gethostbyname(t.c_str());
    if (!h || !h->h_addr_list || !h->h_addr_list[0])
        throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", InAddr.c_str(),
                                      WSocket_WSAGetLastError()));
    uint32_t a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    return a;
}

int WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (IsDigit(Port[0]))
        return ParsePortNumber(Port);
    std::string p = Trim(Port), pr = Trim(Proto);
    servent* s = WSocket_getservbyname(p.c_str(), pr.empty() ? nullptr : pr.c_str());
    if (!s)
        throw ESocketException(
            Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(), WSocket_WSAGetLastError()));
    return WSocket_ntohs(static_cast<uint16_t>(s->s_port));
}

int WSocketResolveProto(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string t = Trim(Proto);
    if (!t.empty() && IsDigit(t[0]))
        return ParsePortNumber(t);
    protoent* p = WSocket_getprotobyname(t.c_str());
    if (!p)
        throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", Proto.c_str(),
                                      WSocket_WSAGetLastError()));
    return p->p_proto;
}

void CollectAddresses(const hostent* Entry, std::vector<std::string>& List)
{
    if (!Entry || !Entry->h_addr_list)
        return;
    for (char** p = Entry->h_addr_list; *p; ++p) {
        in_addr a;
        std::memcpy(&a, *p, sizeof a);
        List.push_back(WSocket_inet_ntoa(a));
    }
}

std::string WinsockErrorText(int ErrCode)
{
    switch (ErrCode) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
    }
}

std::string LocalHostName()
{
    char buf[64] = {};
    if (WSocket_gethostname(buf, sizeof buf) != 0)
        throw ESocketException("Winsock.GetHostName failed");
    buf[sizeof buf - 1] = 0;
    return buf;
}

const std::vector<std::string>& LocalAddressList()
{
    static std::vector<std::string> list;
    list.clear();
    ifaddrs* ifs = nullptr;
    if (::getifaddrs(&ifs) == 0) {
        for (ifaddrs* i = ifs; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
                continue;
            in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
            if ((i->ifa_flags & IFF_LOOPBACK) || (ntohl(a.s_addr) >> 24) == 127)
                continue;
            std::string text = WSocket_inet_ntoa(a);
            if (std::find(list.begin(), list.end(), text) == list.end())
                list.push_back(text);
        }
        ::freeifaddrs(ifs);
    }
    if (list.empty())
        list.push_back("127.0.0.1");
    return list;
}

// ---------------------------------------------------------------------------
// The socket core.

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    CreateNotifyWindow();
    ResetToDefaults();
    ++gSocketCount;
}

TCustomWSocket::~TCustomWSocket()
{
    BeginDestroy();
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (FHSocket != INVALID_SOCKET) {
        // A handle left open by a failed Connect/Listen.
        winsock::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
    }
    if (--gSocketCount <= 0)
        UnloadWinsock();
    ClearSendBuffer();
    if (FWindowHandle) {
        SetWindowLongPtr(FWindowHandle, GWL_USERDATA, 0);
        DestroyWindow(FWindowHandle);
        FWindowHandle = nullptr;
    }
}

void TCustomWSocket::CreateNotifyWindow()
{
    FWindowHandle = CreateWindowHandle(&NotifyWindowProc, nullptr,
                                       reinterpret_cast<LONG_PTR>(static_cast<TObject*>(this)), "XSocketWindowClass");
}

LRESULT TCustomWSocket::NotifyWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* obj = reinterpret_cast<TObject*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    auto* sock = obj ? dynamic_cast<TCustomWSocket*>(obj) : nullptr;
    if (!sock)
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    TMessage m;
    m.Msg = Msg;
    m.WParam = wParam;
    m.LParam = lParam;
    sock->EnterDispatch();
    try {
        sock->WndProc(m);
    } catch (...) {
        sock->LeaveDispatch();
        throw;
    }
    sock->LeaveDispatch();
    return m.Result;
}

void TCustomWSocket::LeaveDispatch()
{
    if (--FDispatchDepth == 0)
        DispatchDone();
}

void TCustomWSocket::DispatchDone()
{
    if (!FFreePending)
        return;
    FFreePending = false;
    if (Owner())
        Owner()->ReleaseOwned(this);
    delete this;
}

void TCustomWSocket::CountRead(int Count)
{
    FReadCount = static_cast<int>(static_cast<uint32_t>(FReadCount) + static_cast<uint32_t>(Count));
}

void TCustomWSocket::WndProc(TMessage& MsgRec)
{
    try {
        switch (MsgRec.Msg) {
        case WM_SOCKET_NOTIFY:
            HandleSocketNotify(MsgRec.WParam, MsgRec.LParam);
            break;
        case WM_HOSTBYNAME_DONE:
            HandleLookupDone(MsgRec, true);
            break;
        case WM_HOSTBYADDR_DONE:
            HandleLookupDone(MsgRec, false);
            break;
        case WM_CLOSE_LATER:
            Close();
            break;
        case WM_FREE_LATER:
            // Destroyed once its handlers, nested ones included, are done.
            MsgRec.Result = 0;
            FFreePending = true;
            if (FDispatchDepth == 0)
                DispatchDone();
            return;
        case WM_TEST_EXCEPTION:
            throw ESocketException("Test exception in WSocket");
        default:
            MsgRec.Result = DefWindowProc(FWindowHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
            break;
        }
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

void TCustomWSocket::HandleSocketNotify(WPARAM wParam, LPARAM lParam)
{
    if (static_cast<SOCKET>(wParam) != FHSocket)
        return;
    WORD ev = WSAGETSELECTEVENT(lParam);
    WORD err = WSAGETSELECTERROR(lParam);
    if (FPaused) {
        // A remote close is reported only once: keep it for Resume.
        if (ev & FD_CLOSE)
            FHeldClose = WSAMAKESELECTREPLY(FD_CLOSE, err);
        return;
    }
    if (FTls && TlsNotify(ev, err))
        return;
    // A handler that closes the connection (and perhaps opens another)
    // ends the handling of this notification.
    const unsigned serial = FConnSerial;
    auto closed = [&] { return FConnSerial != serial; };
    if (ev & FD_CONNECT) {
        ChangeState(wsConnected);
        FireSessionConnected(err);
        if (closed())
            return;
        if (err != 0 && FState != wsClosed) {
            Close();
            return;
        }
    }
    if (ev & FD_READ) {
        ReceiveLoop(err);
        if (closed())
            return;
    }
    if (ev & FD_WRITE) {
        TryToSend();
        if (closed())
            return;
        if (FAllSent)
            FireDataSent(err);
        if (closed())
            return;
    }
    if (ev & FD_ACCEPT) {
        FireSessionAvailable(err);
        if (closed())
            return;
    }
    if ((ev & FD_CLOSE) && FState != wsConnecting) {
        if (!ReceiveLoop(0)) {
            // More is waiting than one turn takes: the close comes after
            // the rest has been read, in turns.
            if (!closed())
                PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, wParam, WSAMAKESELECTREPLY(FD_CLOSE, err));
            return;
        }
        if (closed())
            return;
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(err);
            if (closed())
                return;
        }
        if (FState != wsClosed)
            Close();
    }
}

bool TCustomWSocket::ReceiveLoop(WORD Error)
{
    const unsigned serial = FConnSerial;
    const uint32_t start = static_cast<uint32_t>(FReadCount);
    uint32_t discarded = 0;
    for (;;) {
        FLastError = 0;
        int before = FReadCount;
        try {
            if (!FireDataAvailable(Error)) {
                char scratch[1024];
                int n = RecvRaw(scratch, sizeof scratch, 0);
                if (n > 0)
                    discarded += static_cast<uint32_t>(n);
                if (n < 0) {
                    FLastError = WSocket_WSAGetLastError();
                    if (FLastError == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                }
            } else if (FReadCount == before) {
                // The handler read nothing: asking again would spin.
                break;
            }
        } catch (const std::exception&) {
            break;
        }
        if (FComponentOptions.count(wsoNoReceiveLoop))
            break;
        if (FLastError != 0 || FHSocket == INVALID_SOCKET || FConnSerial != serial)
            break;
        unsigned long waiting = 0;
        if (WSocket_ioctlsocket(FHSocket, FIONREAD_CMD, &waiting) != 0) {
            FLastError = WSocket_WSAGetLastError();
            break;
        }
        if (FTls)
            waiting += static_cast<unsigned long>(TlsPendingCount());
        if (waiting == 0)
            break;
        // The socket re-announces what is left; other sockets go first.
        if (static_cast<uint32_t>(FReadCount) - start + discarded >= ReceiveBudget) {
            TlsReannounce();
            return false;
        }
    }
    return true;
}

void TCustomWSocket::ResetToDefaults()
{
    FSin = sockaddr_in{};
    FSin.sin_family = AF_INET;
    FAddrFormat = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    TlsRelease();
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FHeldClose = 0;
    FFlushTimeout = 60;
}

// Properties.

bool TCustomWSocket::ChangeAllowed(const char* Name)
{
    if (FState == wsClosed)
        return true;
    ReportError(std::string("Cannot change ") + Name + " if not closed");
    return false;
}

void TCustomWSocket::AssignEndpointPart(const char* Name, const std::string& Value, std::string& Str,
                                        bool& Assigned, bool& Resolved)
{
    std::string t = Trim(Value);
    if (Assigned && t == Str)
        return;
    if (!ChangeAllowed(Name))
        return;
    Str = t;
    Assigned = !t.empty();
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value)
{
    AssignEndpointPart("Addr", Value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    AssignEndpointPart("Port", Value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    AssignEndpointPart("Proto", Value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (!ChangeAllowed("LocalPort"))
        return;
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value)
{
    if (!ChangeAllowed("LocalAddr"))
        return;
    std::string t = Value.empty() ? "0.0.0.0" : Value;
    uint32_t a = WSocket_inet_addr(t.c_str());
    if (a == INADDR_NONE) {
        ReportError("SetLocalAddr(): Invalid IP address");
        return;
    }
    in_addr ia;
    ia.s_addr = a;
    FLocalAddr = WSocket_inet_ntoa(ia);
}

std::string TCustomWSocket::GetPeerAddr()
{
    if (FState != wsConnected)
        return "error";
    sockaddr_in peer{};
    int len = sizeof peer;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return WSocket_inet_ntoa(peer.sin_addr);
}

std::string TCustomWSocket::GetPeerPort()
{
    if (FState != wsConnected)
        return "error";
    sockaddr_in peer{};
    int len = sizeof peer;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocket_ntohs(peer.sin_port));
}

int TCustomWSocket::SocketRcvdCount()
{
    if (FHSocket == INVALID_SOCKET)
        return -1;
    unsigned long n = 0;
    if (WSocket_ioctlsocket(FHSocket, FIONREAD_CMD, &n) != 0)
        return -1;
    return static_cast<int>(n) + TlsPendingCount();
}

int TCustomWSocket::GetRcvdCount()
{
    unsigned long n = 0;
    if (WSocket_ioctlsocket(FHSocket, FIONREAD_CMD, &n) != 0) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(n) + TlsPendingCount();
}

TSocketSendFlags TCustomWSocket::GetSendFlags()
{
    if (FSendFlags == 0)
        return wsSendNormal;
    if (FSendFlags == 1)
        return wsSendUrgent;
    ReportError("Invalid internal SendFlags");
    return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal:
        FSendFlags = 0;
        break;
    case wsSendUrgent:
        FSendFlags = MSG_OOB;
        break;
    default:
        ReportError("Invalid SendFlags");
        break;
    }
}

// Opening.

bool TCustomWSocket::ResolveForOpen(const char* Prefix, bool WithLocalPort)
{
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr) & 0xFFFF;
            FSin.sin_port = WSocket_htons(static_cast<uint16_t>(FPortNum));
            FPortResolved = true;
        }
        if (WithLocalPort && !FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr) & 0xFFFF;
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const ESocketException& E) {
        ReportError(Prefix + E.Message());
        return false;
    }
    return true;
}

bool TCustomWSocket::OpenHandle(const char* Prefix, bool WithLocalPort, const char* SocketError)
{
    if (!ResolveForOpen(Prefix, WithLocalPort))
        return false;
    ClearSendBuffer();
    FHSocket = WSocket_socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError(SocketError);
        return false;
    }
    return true;
}

void TCustomWSocket::Connect()
{
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    if (!OpenHandle("connect: ", true, "Connect (socket)"))
        return;
    ChangeState(wsOpened);
    if (FType == SOCK_DGRAM) {
        BindLocal();
        if (FSin.sin_addr.s_addr == INADDR_BROADCAST) {
            int on = 1;
            if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0")
            BindLocal();
        ApplyLinger();
        int on = -1;
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_NOTIFY, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    if (FType == SOCK_DGRAM) {
        ChangeState(wsConnected);
        FireSessionConnected(0);
        return;
    }
    if (WSocket_connect(FHSocket, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) == 0 ||
        WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
        ChangeState(wsConnecting);
    } else {
        FLastError = WSocket_WSAGetLastError();
        ReportSocketError("Connect");
    }
}

void TCustomWSocket::BindLocal()
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = WSocket_htons(static_cast<uint16_t>(FLocalPortNum));
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (WSocket_bind(FHSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", WSocket_WSAGetLastError());
        return;
    }
    sockaddr_in bound{};
    int len = sizeof bound;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", WSocket_WSAGetLastError());
        return;
    }
    FLocalPortNum = WSocket_ntohs(bound.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
}

void TCustomWSocket::Listen()
{
    if (!FPortAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    if (!OpenHandle("listen: ", false, "socket"))
        return;
    if (WSocket_bind(FHSocket, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) != 0) {
        int err = WSocket_WSAGetLastError();
        WSocket_closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        WSocket_WSASetLastError(err);
        ReportSocketError("Bind");
        return;
    }
    ChangeState(wsBound);
    if (FType == SOCK_DGRAM) {
        ChangeState(wsListening);
        ChangeState(wsConnected);
        FireSessionConnected(0);
    } else {
        if (WSocket_listen(FHSocket, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        ChangeState(wsListening);
    }
    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_NOTIFY, FSelectEvent) != 0)
        ReportSocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof FSin;
    FASocket = WSocket_accept(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &len);
    if (FASocket == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket)
{
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        SOCKET old = FHSocket;
        FHSocket = INVALID_SOCKET;
        TlsRelease();
        ++FConnSerial;
        if (old != INVALID_SOCKET && WSocket_closesocket(old) != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    FHSocket = NewHSocket;
    ApplyLinger();
    FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_NOTIFY, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

void TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet)
        return;
    if (FHSocket == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    WSALINGER l;
    l.l_onoff = static_cast<uint16_t>(FLingerOnOff);
    l.l_linger = static_cast<uint16_t>(FLingerTimeout);
    if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        ReportSocketError("setsockopt(SO_LINGER)");
}

// Closing.

void TCustomWSocket::DoClose(bool Shut, int Error)
{
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (FState == wsClosed)
        return;
    if (Shut) {
        Shutdown(1);
        if (FTls) {
            // Records never read (a TLS 1.3 server's session tickets) would
            // turn the close into a reset that throws away what is still on
            // its way to the peer.
            char sink[4096];
            for (int left = 64 * 1024; left > 0; left -= static_cast<int>(sizeof sink))
                if (WSocket_recv(FHSocket, sink, sizeof sink, 0) <= 0)
                    break;
        }
        // A graceful close must not throw away what is still on its way:
        // the zero-timeout linger would reset the connection.
        if (FType == SOCK_STREAM && FLingerOnOff == wsLingerOn && FLingerTimeout == 0) {
            WSALINGER off;
            WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        }
    }
    for (;;) {
        if (WSocket_closesocket(FHSocket) == 0)
            break;
        FLastError = WSocket_WSAGetLastError();
        if (FLastError == WSANOTINITIALISED)
            break;
        if (FLastError == WSAEWOULDBLOCK) {
            MessagePump();
            continue;
        }
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    RemovePostedMessages(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket));
    FHSocket = INVALID_SOCKET;
    TlsRelease();
    ++FConnSerial;
    ChangeState(wsClosed);
    if (!Destroying() && !FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(static_cast<WORD>(Error));
    }
    // A handler that opened a new connection keeps it.
    if (FHSocket == INVALID_SOCKET) {
        try {
            ResetToDefaults();
        } catch (...) {
        }
    } else {
        FCloseInvoked = false;
    }
}

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseLater() { PostMessage(FWindowHandle, WM_CLOSE_LATER, 0, 0); }

void TCustomWSocket::FreeLater() { PostMessage(FWindowHandle, WM_FREE_LATER, 0, 0); }

void TCustomWSocket::Abort()
{
    CancelDnsLookup();
    ClearSendBuffer();
    if (FState == wsConnected && FType == SOCK_STREAM) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How)
{
    if (FHSocket == INVALID_SOCKET)
        return;
    // A TLS peer learns of the end from our close-notify before the FIN.
    if (How != 0)
        TlsCloseNotify();
    WSocket_shutdown(FHSocket, How);
}

void TCustomWSocket::WaitUntilClosed()
{
    // Waits in the queue between passes instead of polling.
    while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        MessagePump();
        if (FHSocket == INVALID_SOCKET || FState == wsClosed)
            break;
        unsigned long waiting = 0;
        if (WSocket_ioctlsocket(FHSocket, FIONREAD_CMD, &waiting) != 0) {
            FLastError = WSocket_WSAGetLastError();
            break;
        }
        if (waiting > 0)
            FireDataAvailable(0);
        if (FHSocket == INVALID_SOCKET || FState == wsClosed)
            break;
        WaitMessageTimeout(-1);
    }
}

// Reading.

int TCustomWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags)
{
    if (FTls)
        return TlsRecv(Buffer, BufferSize, Flags);
    return WSocket_recv(FHSocket, Buffer, BufferSize, Flags);
}

int TCustomWSocket::RecvFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    return WSocket_recvfrom(FHSocket, Buffer, BufferSize, 0, reinterpret_cast<sockaddr*>(&From), &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int n = RecvRaw(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        CountRead(n);
    return n;
}

std::string TCustomWSocket::ReceiveStr()
{
    int count = GetRcvdCount();
    if (count <= 0)
        return std::string();
    std::string s(static_cast<size_t>(count), '\0');
    int n = Receive(s.data(), count);
    if (n <= 0)
        return std::string();
    s.resize(static_cast<size_t>(n));
    return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    int n = RecvFromRaw(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        CountRead(n);
    return n;
}

// Sending.

int TCustomWSocket::SendChunk(const void* Data, int Len)
{
    if (FType == SOCK_DGRAM)
        return WSocket_sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin);
    if (FTls)
        return TlsSend(Data, Len);
    return WSocket_send(FHSocket, Data, Len, FSendFlags);
}

int TCustomWSocket::RawSend(const void* Data, int Len)
{
    int n = SendChunk(Data, Len);
    if (n > 0)
        FireSendData(n);
    return n;
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    int n = WSocket_sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (n > 0)
        FireSendData(n);
    return n;
}

void TCustomWSocket::AppendToSendBuffer(const void* Data, int Len)
{
    if (Len <= 0 || !Data)
        return;
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    const char* p = static_cast<const char*>(Data);
    TBuffer* b = FBufList.back().get();
    for (;;) {
        int n = b->Write(p, Len);
        if (n >= Len)
            break;
        p += n;
        Len -= n;
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
        b = FBufList.back().get();
    }
}

void TCustomWSocket::AppendStrToSendBuffer(const std::string& Str)
{
    AppendToSendBuffer(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::ClearSendBuffer() { FBufList.clear(); }

int TCustomWSocket::BufferedByteCount() const
{
    int total = 0;
    for (const auto& b : FBufList) {
        int len;
        b->Peek(len);
        total += len;
    }
    return total;
}

void TCustomWSocket::TryToSend()
{
    if (FHSocket == INVALID_SOCKET || FBufList.empty())
        return;
    const unsigned serial = FConnSerial;
    for (;;) {
        if (FHSocket == INVALID_SOCKET || FConnSerial != serial || FBufList.empty())
            break;
        TBuffer* b = FBufList.front().get();
        int len;
        const char* p = b->Peek(len);
        if (len <= 0) {
            if (FBufList.size() == 1) {
                FAllSent = true;
                break;
            }
            FBufList.pop_front();
            continue;
        }
        int n = SendChunk(p, len);
        if (n == 0)
            break;
        if (n < 0) {
            int err = WSocket_WSAGetLastError();
            if (IsConnectionLoss(err)) {
                FCloseInvoked = true;
                Close();
                FireSessionClosed(static_cast<WORD>(err));
                break;
            }
            if (err == WSAEWOULDBLOCK)
                break;
            ReportSocketError("TryToSend failed");
            break;
        }
        // The bytes leave the buffer before OnSendData runs, so a handler
        // that sends, flushes, clears or closes finds it as it is.
        b->Remove(n);
        FireSendData(n);
        if (n < len)
            break;
    }
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (FState != wsConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0) {
        AppendToSendBuffer(Data, Len);
        result = Len;
    }
    TryToSend();
    if (FAllSent && FHSocket != INVALID_SOCKET)
        PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_WRITE, 0));
    return result;
}

int TCustomWSocket::SendStr(const std::string& Str) { return Send(Str.data(), static_cast<int>(Str.size())); }

void TCustomWSocket::Flush()
{
    while (FHSocket != INVALID_SOCKET && !FAllSent && !FBufList.empty()) {
        TryToSend();
        if (FHSocket == INVALID_SOCKET || FAllSent)
            break;
        // Wait for the write notification rather than polling; a paused
        // socket gets none, so its handle is watched directly.
        if (FPaused)
            winsock::WaitWritableOrMessage(FHSocket);
        else
            WaitMessageTimeout(-1);
        MessagePump();
    }
}

// Lookups.

bool TCustomWSocket::BeginLookup(const std::string& Name)
{
    if (Name.empty()) {
        ReportError("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return false;
    }
    if (FDnsLookupHandle)
        WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsResult.clear();
    FDnsResultList.clear();
    return true;
}

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (!BeginLookup(HostName))
        return;
    uint32_t a = WSocket_inet_addr(HostName.c_str());
    if (a != INADDR_NONE) {
        in_addr ia;
        ia.s_addr = a;
        FDnsResult = WSocket_inet_ntoa(ia);
        FireDnsLookupDone(0);
        return;
    }
    FDnsLookupHandle = WSocket_WSAAsyncGetHostByName(FWindowHandle, WM_HOSTBYNAME_DONE, HostName.c_str(),
                                                     FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (FDnsLookupHandle == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSocket_WSAGetLastError());
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr)
{
    if (!BeginLookup(HostAddr))
        return;
    uint32_t a = WSocket_inet_addr(HostAddr.c_str());
    FDnsLookupHandle = WSocket_WSAAsyncGetHostByAddr(FWindowHandle, WM_HOSTBYADDR_DONE, reinterpret_cast<const char*>(&a),
                                                     4, AF_INET, FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (FDnsLookupHandle == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), WSocket_WSAGetLastError());
}

void TCustomWSocket::HandleLookupDone(const TMessage& MsgRec, bool Forward)
{
    if (FDnsLookupHandle == 0 || MsgRec.WParam != FDnsLookupHandle)
        return;
    FDnsLookupHandle = 0;
    WORD err = WSAGETASYNCERROR(MsgRec.LParam);
    if (err == 0) {
        const auto* h = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
        FDnsResultList.clear();
        if (Forward) {
            CollectAddresses(h, FDnsResultList);
            FDnsResult = FDnsResultList.empty() ? std::string() : FDnsResultList.front();
        } else {
            FDnsResult = h->h_name ? h->h_name : "";
            FDnsResultList.push_back(FDnsResult);
        }
    }
    FireDnsLookupDone(err);
}

void TCustomWSocket::CancelDnsLookup()
{
    if (FDnsLookupHandle == 0)
        return;
    if (WSocket_WSACancelAsyncRequest(FDnsLookupHandle) != 0) {
        FDnsLookupHandle = 0;
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    FDnsLookupHandle = 0;
    if (!Destroying())
        FireDnsLookupDone(WSAEINTR);
}

// Addresses.

int TCustomWSocket::GetPeerSockAddr(sockaddr_in& Addr, int& Len)
{
    if (FState != wsConnected)
        return -1;
    return WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &Len);
}

int TCustomWSocket::GetSockName(sockaddr_in& Addr, int& Len)
{
    return WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &Len);
}

std::string TCustomWSocket::GetBoundPort()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    sockaddr_in a{};
    int len = sizeof a;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return "error";
    return std::to_string(WSocket_ntohs(a.sin_port));
}

bool TCustomWSocket::TimerIsSet(const timeval& Tv) { return Tv.tv_sec != 0 || Tv.tv_usec != 0; }

void TCustomWSocket::TimerClear(timeval& Tv) { Tv.tv_sec = Tv.tv_usec = 0; }

bool TCustomWSocket::TimerCmp(const timeval& A, const timeval& B, bool Equal)
{
    bool same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
    return Equal ? same : !same;
}

// Notifications and pumping.

int TCustomWSocket::Pause()
{
    FPaused = true;
    return WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::Resume()
{
    FPaused = false;
    int rc = WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_NOTIFY, FSelectEvent);
    if (FHeldClose && FHSocket != INVALID_SOCKET)
        PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), FHeldClose);
    FHeldClose = 0;
    return rc;
}

void TCustomWSocket::MessagePump()
{
    if (FMultiThreaded || !Application)
        PumpMessages();
    else
        Application->ProcessMessages();
}

void TCustomWSocket::PumpMessages()
{
    MSG m;
    while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            FTerminated = true;
            continue;
        }
        TranslateMessage(&m);
        DispatchMessage(&m);
    }
}

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = FState;
    FState = NewState;
    FireChangeState(old, NewState);
}

// Errors.

void TCustomWSocket::ReportError(const std::string& Msg)
{
    if (OnError)
        FireError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const char* Fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, Fmt);
    vsnprintf(buf, sizeof buf, Fmt, ap);
    va_end(ap);
    ReportError(buf);
}

void TCustomWSocket::ReportSocketError(const std::string& Operation)
{
    int code = WSocket_WSAGetLastError();
    std::string text = "Error " + std::to_string(code) + " in function " + Operation + "\r\n" + WinsockErrorText(code);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        if (FHSocket != INVALID_SOCKET) {
            WSocket_closesocket(FHSocket);
            RemovePostedMessages(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket));
        }
        FHSocket = INVALID_SOCKET;
        TlsRelease();
        ++FConnSerial;
        ChangeState(wsClosed);
    }
    FLastError = code;
    ReportError(text);
}

void TCustomWSocket::HandleBgException(Exception& E)
{
    FireBgException(E, true);
}

void TCustomWSocket::FireBgException(Exception& E, bool CanClose)
{
    bool canClose = CanClose;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// Events.

bool TCustomWSocket::FireDataAvailable(WORD Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(WORD Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::FireSessionConnected(WORD Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::FireSessionClosed(WORD Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::FireDataSent(WORD Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(WORD Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::FireError()
{
    if (OnError)
        OnError(this);
}

void TCustomWSocket::FireSendData(int BytesSent)
{
    if (OnSendData)
        OnSendData(this, BytesSent);
}

// ---------------------------------------------------------------------------
// Line mode.
//
// The receive buffer holds, in arrival order, the unread part of the line
// being delivered ([0, FLineLength)) followed by the bytes received after
// it; a zero byte follows the last one.

namespace {
const char BackspaceEcho[3] = {8, 32, 8};
}

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner)
{
    FLineEnd = "\r\n";
    FLineMode = false;
}

TCustomLineWSocket::~TCustomLineWSocket() { BeginDestroy(); }

void TCustomLineWSocket::ResetToDefaults()
{
    TCustomSocksWSocket::ResetToDefaults();
    // Bytes of an old connection never reach the next one.
    DropReceiveBuffer();
}

void TCustomLineWSocket::DropReceiveBuffer()
{
    FRcvdPtr.reset();
    FRcvBufSize = 0;
    FRcvdCnt = 0;
    FRcvdOff = 0;
    FLineLength = 0;
}

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    bool replay = FRcvdCnt > 0 || FLineLength > 0;
    if (!Value)
        FLineLength = 0;  // an unread rest of a line is plain data now
    if (replay)
        PostMessage(FWindowHandle, WM_LINE_REPLAY, 0, 0);
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode && !FLineEnd.empty())
        return FLineLength;
    // Buffered bytes are read before the socket's, so they count too.
    if (FRcvdCnt > 0)
        return FRcvdCnt + std::max(SocketRcvdCount(), 0);
    return TCustomSocksWSocket::GetRcvdCount();
}

void TCustomLineWSocket::CompactReceiveBuffer()
{
    if (FRcvdOff == 0 || !FRcvdPtr)
        return;
    std::memmove(FRcvdPtr.get(), RcvdData(), static_cast<size_t>(FRcvdCnt) + 1);
    FRcvdOff = 0;
}

void TCustomLineWSocket::GrowReceiveBuffer(int Needed)
{
    if (FRcvdPtr && FRcvdOff + Needed <= FRcvBufSize)
        return;
    if (FRcvdPtr && Needed <= FRcvBufSize) {
        CompactReceiveBuffer();
        return;
    }
    // Doubling keeps the copies of a growing line linear in its length.
    int size = std::max({Needed, FRcvBufSize < (1 << 29) ? FRcvBufSize * 2 : Needed, 256});
    auto area = std::make_unique<char[]>(static_cast<size_t>(size));
    if (FRcvdPtr && FRcvdCnt > 0)
        std::memcpy(area.get(), RcvdData(), static_cast<size_t>(FRcvdCnt));
    area[static_cast<size_t>(FRcvdCnt)] = 0;
    FRcvdPtr = std::move(area);
    FRcvBufSize = size;
    FRcvdOff = 0;
}

void TCustomLineWSocket::ConsumeReceived(int Count)
{
    FRcvdOff += Count;
    FRcvdCnt -= Count;
    if (FRcvdCnt <= 0) {
        FRcvdCnt = 0;
        FRcvdOff = 0;
        FRcvdPtr[0] = 0;
    }
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags)
{
    if (BufferSize < 0)
        BufferSize = 0;
    bool lines = FLineMode && !FLineEnd.empty();
    int n;
    if (lines && FLineLength > 0)
        n = std::min({BufferSize, FLineLength, FRcvdCnt});
    else if (!lines && FRcvdCnt > 0)
        n = std::min(BufferSize, FRcvdCnt);
    else
        return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
    std::memcpy(Buffer, RcvdData(), static_cast<size_t>(n));
    ConsumeReceived(n);
    if (lines && FLineLength > 0)
        FLineLength -= n;
    return n;
}

// Raises OnDataAvailable while the pending line is unread. False when the
// handler stopped reading, so the line stays pending for a later call, or
// when the connection went away inside the handler.
bool TCustomLineWSocket::DeliverPendingLine()
{
    const unsigned serial = FConnSerial;
    while (FLineMode && FLineLength > 0) {
        int before = FLineLength;
        if (!TCustomSocksWSocket::FireDataAvailable(0)) {
            // No handler: the line is dropped.
            ConsumeReceived(FLineLength);
            FLineLength = 0;
            break;
        }
        if (!FRcvdPtr || FConnSerial != serial)
            return false;
        if (FLineMode && FLineLength == before)
            return false;
    }
    return true;
}

namespace {

// Index of the first LineEnd at or after From in Data[0, Count), -1 when
// there is none.
int FindLineEnd(const char* Data, int Count, int From, const std::string& LineEnd)
{
    int le = static_cast<int>(LineEnd.size());
    int last = Count - le;
    for (int i = From; i <= last;) {
        const void* q = std::memchr(Data + i, LineEnd[0], static_cast<size_t>(last - i + 1));
        if (!q)
            return -1;
        i = static_cast<int>(static_cast<const char*>(q) - Data);
        if (std::memcmp(Data + i, LineEnd.data(), static_cast<size_t>(le)) == 0)
            return i;
        ++i;
    }
    return -1;
}

// Bytes one line-mode pass reads from the socket at most.
constexpr int LineReadChunk = 64 * 1024;

}  // namespace

bool TCustomLineWSocket::FireDataAvailable(WORD Error)
{
    // The proxy's replies are never lines: line mode waits for the tunnel.
    if (!FLineMode || FLineEnd.empty() || SocksNegotiating())
        return TCustomSocksWSocket::FireDataAvailable(Error);
    const unsigned serial = FConnSerial;
    int le = static_cast<int>(FLineEnd.size());
    int waiting = FHSocket == INVALID_SOCKET ? 0 : SocksWaitingCount();
    if (waiting <= 0 && FRcvdCnt <= 0)
        return true;
    int searchStart = 0;
    if (waiting > 0) {
        waiting = std::min(waiting, LineReadChunk);
        CompactReceiveBuffer();
        GrowReceiveBuffer(FRcvdCnt + waiting + 1);
        int n = TCustomSocksWSocket::RecvRaw(RcvdData() + FRcvdCnt, waiting, 0);
        if (n < 0)
            FLastError = WSocket_WSAGetLastError();
        if (n <= 0)
            return true;
        CountRead(n);
        RcvdData()[FRcvdCnt + n] = 0;
        if (FLineEdit)
            ApplyLineEditing(n);
        else if (FLineEcho)
            Send(RcvdData() + FRcvdCnt, n);
        if (!FRcvdPtr || FConnSerial != serial)
            return true;
        searchStart = std::max(0, FRcvdCnt - le);
        FRcvdCnt += n;
    }
    if (FLineLength > 0) {
        // A line left pending by a handler that did not read it.
        if (!DeliverPendingLine())
            return true;
        searchStart = 0;
    }
    while (FLineMode && FRcvdPtr) {
        if (FLineEnd.empty())
            break;
        int i = FindLineEnd(RcvdData(), FRcvdCnt, searchStart, FLineEnd);
        if (i < 0)
            break;
        FLineLength = i + static_cast<int>(FLineEnd.size());
        if (!DeliverPendingLine())
            return true;
        searchStart = 0;
    }
    if (!FLineMode)
        FLineLength = 0;  // the rest is plain buffered data now
    else if (FLineLimit > 0 && FRcvdCnt > FLineLimit && FRcvdPtr && FConnSerial == serial)
        LineTooLong();
    return true;
}

void TCustomLineWSocket::FireLineTooLong()
{
    if (OnLineTooLong)
        OnLineTooLong(this);
}

void TCustomLineWSocket::LineTooLong()
{
    const unsigned serial = FConnSerial;
    FireLineTooLong();
    if (FConnSerial != serial || !FLineMode || FLineEnd.empty() || FLineLimit <= 0 || FRcvdCnt <= FLineLimit)
        return;
    // Nobody took it: the bytes go and so does the connection.
    FLineLength = 0;
    ConsumeReceived(FRcvdCnt);
    Close();
}

void TCustomLineWSocket::ApplyLineEditing(int& Count)
{
    int old = FRcvdCnt;
    int w = old, low = old;
    std::vector<char> scratch;
    // Echoed in one piece once the buffer is settled: a send that fails
    // closes the socket and takes the buffer with it.
    std::string echo;
    bool editing = false;
    const char* data = RcvdData();
    auto put = [&](char c) {
        if (w >= static_cast<int>(scratch.size()))
            scratch.resize(scratch.size() + 256);
        scratch[static_cast<size_t>(w)] = c;
    };
    auto startEditing = [&](int r) {
        if (editing)
            return;
        editing = true;
        scratch.assign(static_cast<size_t>(((old + Count + 256) / 256) * 256), 0);
        std::memcpy(scratch.data(), data, static_cast<size_t>(r));
    };
    for (int k = 0; k < Count; ++k) {
        int r = old + k;
        char c = data[r];
        if (c == 8) {
            startEditing(r);
            if (FLineEcho && w > 0)
                echo.append(BackspaceEcho, 3);
            if (w > 0) {
                --w;
                low = std::min(low, w);
            }
        } else if (c == 9) {
            startEditing(r);
            do {
                put(' ');
                if (FLineEcho)
                    echo += ' ';
                ++w;
            } while (w % 8 != 0);
        } else {
            if (FLineEcho)
                echo += c;
            if (editing)
                put(c);
            ++w;
        }
    }
    if (editing) {
        GrowReceiveBuffer(w + 1);
        char* dest = RcvdData();
        std::memcpy(dest, scratch.data(), static_cast<size_t>(w));
        dest[w] = 0;
        FRcvdCnt = low;
        Count = w - low;
    }
    if (!echo.empty())
        SendStr(echo);
}

void TCustomLineWSocket::FireSessionClosed(WORD Error)
{
    if (FRcvdPtr) {
        if (FLineMode && FRcvdCnt > 0) {
            // The unterminated rest is the last line.
            FLineLength = FRcvdCnt;
            DeliverPendingLine();
        }
        DropReceiveBuffer();
    }
    TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::WndProc(TMessage& MsgRec)
{
    if (MsgRec.Msg != WM_LINE_REPLAY) {
        TCustomSocksWSocket::WndProc(MsgRec);
        return;
    }
    try {
        while (FRcvdCnt > 0) {
            int before = FRcvdCnt;
            FireDataAvailable(0);
            if (FRcvdCnt == before)
                break;
        }
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

// ---------------------------------------------------------------------------
// Wait helpers.

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::WaitForFlag(bool& Done)
{
    FTimeStop = GetTickCount() + static_cast<uint32_t>(FTimeout);
    for (;;) {
        if (Done)
            return 0;
        int left = -1;
        if (FTimeout > 0) {
            left = static_cast<int32_t>(FTimeStop - GetTickCount());
            if (left < 0)
                return 12001;
        }
        if ((Application && Application->Terminated()) || FTerminated)
            return 12001;
        MessagePump();
        if (Done)
            return 0;
        WaitMessageTimeout(left);
    }
}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Operation, bool& Done)
{
    Done = false;
    if (Operation)
        Operation();
    return WaitForFlag(Done);
}
