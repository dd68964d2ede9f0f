// The socket API with Winsock 1.1 semantics over POSIX sockets.
//
// Sockets are non-blocking; stream sockets take urgent data in line, as
// the stream reader has no other way to see it. WSAAsyncSelect delivers readiness as posted
// messages (wParam the socket, lParam WSAMAKESELECTREPLY(event, error)),
// each event one-shot until its re-enabling call: FD_READ by recv, FD_ACCEPT
// by accept, FD_WRITE after connect/accept and again after a send that would
// block (or went out only in part), FD_CONNECT and FD_CLOSE once. Failures
// store a Winsock code for WSAGetLastError. Name lookups run on a worker
// thread and post their completion.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

#include "platform/Windows.h"

using SOCKET = int;
using WSAASYNCHANDLE = uintptr_t;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr long FIONREAD_CMD = 0x4004667F;

inline LPARAM WSAMAKESELECTREPLY(WORD Event, WORD Error) { return MAKELPARAM(Event, Error); }
inline LPARAM WSAMAKEASYNCREPLY(WORD BufLen, WORD Error) { return MAKELPARAM(BufLen, Error); }
inline WORD WSAGETSELECTEVENT(LPARAM l) { return LOWORD(static_cast<uintptr_t>(l)); }
inline WORD WSAGETSELECTERROR(LPARAM l) { return HIWORD(static_cast<uintptr_t>(l)); }
inline WORD WSAGETASYNCBUFLEN(LPARAM l) { return LOWORD(static_cast<uintptr_t>(l)); }
inline WORD WSAGETASYNCERROR(LPARAM l) { return HIWORD(static_cast<uintptr_t>(l)); }

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct WSADATA {
    WORD wVersion = 0;
    WORD wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    unsigned short iMaxSockets = 0;
    unsigned short iMaxUdpDg = 0;
    char* lpVendorInfo = nullptr;
};

// The 4-byte linger record of SO_LINGER.
struct WSALINGER {
    uint16_t l_onoff = 0;
    uint16_t l_linger = 0;
};

namespace winsock {

// The Winsock code of an errno value.
int ErrnoToWinsock(int Errno);

// Start-up raises the soft limit of open files to the hard limit once.
int WSAStartup(WORD Version, WSADATA* Data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int Error);

int WSAAsyncSelect(SOCKET S, HWND Wnd, UINT Msg, long Events);
// The result area receives a hostent followed by its lists and names.
WSAASYNCHANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen);
WSAASYNCHANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf, int BufLen);
int WSACancelAsyncRequest(WSAASYNCHANDLE Request);

SOCKET socket(int Family, int Type, int Protocol);
int closesocket(SOCKET S);
int shutdown(SOCKET S, int How);
// SO_LINGER takes a WSALINGER; boolean options take any non-zero 32-bit value.
int setsockopt(SOCKET S, int Level, int Option, const void* Value, int Len);
int getsockopt(SOCKET S, int Level, int Option, void* Value, int* Len);
int bind(SOCKET S, const sockaddr* Addr, int Len);
int listen(SOCKET S, int Backlog);
SOCKET accept(SOCKET S, sockaddr* Addr, int* Len);
int connect(SOCKET S, const sockaddr* Addr, int Len);
int send(SOCKET S, const void* Buf, int Len, int Flags);
// One send of several buffers in order (a stream socket); like send.
int sendv(SOCKET S, const iovec* Vec, int Count, int Flags);
int sendto(SOCKET S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen);
int recv(SOCKET S, void* Buf, int Len, int Flags);
int recvfrom(SOCKET S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen);
// FIONREAD_CMD (or the POSIX FIONREAD) gives the bytes waiting.
int ioctlsocket(SOCKET S, long Cmd, unsigned long* Arg);
// Blocks until S can be written to, the calling thread's queue has work or
// its next timer is due: the wait of a socket whose notifications are off.
void WaitWritableOrMessage(SOCKET S);
int getsockname(SOCKET S, sockaddr* Addr, int* Len);
int getpeername(SOCKET S, sockaddr* Addr, int* Len);

int gethostname(char* Name, int Len);
// Blocking lookups; the result lives until the thread's next call.
hostent* gethostbyname(const char* Name);
servent* getservbyname(const char* Name, const char* Proto);
protoent* getprotobyname(const char* Name);

uint32_t inet_addr(const char* Text);
const char* inet_ntoa(in_addr Addr);
uint16_t (htons)(uint16_t V);
uint16_t (ntohs)(uint16_t V);
uint32_t (htonl)(uint32_t V);

}  // namespace winsock
