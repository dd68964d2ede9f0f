// Binding to the socket library and the wrappers through its entry points.
#include "net/WSocket.h"

#include <algorithm>
#include <string>

#include "net/WSocketUnit.h"

const char* const WinsockLibName = "wsock32.dll";

int wsocket_unit::SocketCount = 0;

using wsocket_unit::SocketCount;

namespace {

// ---------------------------------------------------------------------------
// Binding state.

bool gLoaded = false;
WSADATA gWSAData;

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

}  // namespace

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
    SocketCount = 0;
}

bool WinsockLoaded() { return gLoaded; }
int WSocketCount() { return SocketCount; }

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
