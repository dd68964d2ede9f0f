// Host, port and protocol resolution, the error texts and the socket's
// asynchronous name lookups.
#include "net/WSocket.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/WSocketUnit.h"
#include "platform/SysUtils.h"

using wsocket_unit::Format;
using wsocket_unit::IsDigit;

std::string wsocket_unit::Format(const char* Fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, Fmt);
    vsnprintf(buf, sizeof buf, Fmt, ap);
    va_end(ap);
    return buf;
}

// ---------------------------------------------------------------------------
// Binding texts.

std::string WinsockLoadErrorText(int SystemError)
{
    return std::string("Unable to load ") + WinsockLibName + " Error #" + std::to_string(SystemError);
}

std::string WinsockStartupErrorText(int Result) { return Format("%s: WSAStartup error #%d", WinsockLibName, Result); }

std::string WinsockEntryErrorText(const std::string& Name, int SystemError)
{
    return "Procedure " + Name + " not found in " + WinsockLibName + " Error #" + std::to_string(SystemError);
}

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
