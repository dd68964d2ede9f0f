#include "net/WSocket.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/WSocketUnit.h"
#include "platform/Application.h"
#include "platform/SysUtils.h"

using wsocket_unit::SocketCount;

namespace {

// Bytes one read notification takes in before the other notifications
// waiting in the queue have their turn; the rest comes with the next one.
constexpr unsigned ReceiveBudget = 256 * 1024;

}  // namespace

// ---------------------------------------------------------------------------
// The socket core.

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    CreateNotifyWindow();
    ResetToDefaults();
    ++SocketCount;
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
    if (--SocketCount <= 0)
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
    if (ev & FD_WRITE)
        FSentNotePosted = false;
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
        SendPending();
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
        FReadDrained = false;
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
        // A read that found fewer bytes than it asked for emptied the socket.
        if (FReadDrained && !FTls)
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
    FSentNotePosted = false;
    FWriteShut = false;
    FGatherSends = false;
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
    FSentNotePosted = false;
    FWriteShut = false;
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
    FSentNotePosted = false;
    FWriteShut = false;
    DropGather();
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
    DropGather();
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
    if (FHSocket == INVALID_SOCKET || (How == 1 && FWriteShut))
        return;
    // Gathered bytes go before the end; owners that must lose nothing
    // shut down after OnDataSent, when the gather is empty.
    if (How != 0 && !FGather.empty())
        FlushGather();
    FWriteShut = FWriteShut || How != 0;
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
