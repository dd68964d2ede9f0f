// SOCKS 4, 4A and 5 client negotiation inside the socket.
//
// Connect opens the TCP connection to the proxy; the replies are collected
// in a reply area and answered state by state (1 = method reply, 2 = user
// name/password reply, 3 = connect reply). When the tunnel stands the owner
// gets OnSessionConnected(0), and bytes that came behind the connect reply
// are served by the next reads before anything newer from the socket.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/WSocket.h"
#include "platform/SysUtils.h"

namespace {

constexpr int socksProtocolError = 20001;
constexpr int socksVersionError = 20002;
constexpr int socksAuthMethodError = 20003;
constexpr int socksReplyBase = 20003;  // + version-5 reply code 1..8
constexpr int socksAddressTypeError = 20011;
constexpr int socksUnassignedError = 20012;
constexpr int socksInternalError = 20013;
constexpr int socksAuthenticationFailed = 20015;
constexpr int socksRejectedOrFailed = 20016;
constexpr int socksConnectionRefused = 20008;
constexpr int socksResolveError = 20017;

const char* const Socks5ReplyText[8] = {
    "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
    "host unreachable",             "connection refused",               "time to live expired",
    "command not supported",        "address type not supported",
};

std::string LowerCase(std::string S)
{
    for (char& c : S)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return S;
}

// Sends a request; a failing send shows as the connection's end.
void SendRequest(TCustomWSocket& Sock, const std::string& Request)
{
    try {
        Sock.SendStr(Request);
    } catch (const Exception&) {
    }
}

std::string ExceptionClassName(const Exception& E)
{
    return dynamic_cast<const ESocketException*>(&E) ? "ESocketException" : "Exception";
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    FSocksState = 0;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksPortAssigned = false;
    FSocksServerAssigned = false;
    FSocksRcvCnt = 0;
    FSocksRcvdCnt = 0;
    FSocksRcvdPtr = 0;
    FSocksFailing = false;
}

// Settings.

bool TCustomSocksWSocket::SocksChangeAllowed(const char* Name)
{
    if (FState == wsClosed)
        return true;
    ReportError(std::string("Can't change socks ") + Name + " if not closed");
    return false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    if (SocksChangeAllowed("server")) {
        FSocksServer = Trim(Value);
        FSocksServerAssigned = !FSocksServer.empty();
    }
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    if (SocksChangeAllowed("port")) {
        FSocksPort = Trim(Value);
        FSocksPortAssigned = !FSocksPort.empty();
    }
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value)
{
    if (!SocksChangeAllowed("level"))
        return;
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Value == "4a" ? "4A" : Value;
}

// Opening.

void TCustomSocksWSocket::Connect()
{
    // Direct, or a connection the core refuses with its own texts.
    if (!FSocksServerAssigned || (FHSocket != INVALID_SOCKET && FState != wsClosed) || !FPortAssigned ||
        !FAddrAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (LowerCase(FProtoStr) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    // The requests carry these in one length byte each.
    bool authenticate = !SocksLevel4() && FSocksAuthentication == socksAuthenticateUsercode;
    if ((FSocksLevel != "4" && FAddrStr.size() > 255) ||
        (authenticate && (FSocksUsercode.size() > 255 || FSocksPassword.size() > 255))) {
        ReportError("connect: socks request field longer than 255 bytes");
        return;
    }
    try {
        // The TCP connection goes to the proxy; Port is the destination's.
        if (!FPortResolved) {
            FSin.sin_port = WSocket_htons(static_cast<uint16_t>(WSocketResolvePort(FSocksPort, FProtoStr)));
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            FAddrResolved = true;
        }
        FPortNum = WSocketResolvePort(FPortStr, FProtoStr) & 0xFFFF;
        FSocksState = 1;
        FSocksRcvCnt = 0;
    } catch (const Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (FSocksServerAssigned) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

// Negotiation.

void TCustomSocksWSocket::FireSessionConnected(WORD Error)
{
    if (FSocksState == 1) {
        FireSocksConnected(Error);
        if (Error == 0) {
            if (FState != wsConnected)
                return;  // closed by the handler
            if (SocksLevel4())
                SocksDoConnect();
            else
                SendGreeting();
            return;
        }
    }
    TCustomWSocket::FireSessionConnected(Error);
}

void TCustomSocksWSocket::SendGreeting()
{
    // No authentication is always offered, user name and password only when
    // there is a user name to send.
    const bool withUser = FSocksAuthentication == socksAuthenticateUsercode && !FSocksUsercode.empty();
    FSocksAuthNumber = withUser ? 2 : 0;
    SendRequest(*this, withUser ? std::string{5, 2, 0, 2} : std::string{5, 1, 0});
}

void TCustomSocksWSocket::SocksDoAuthenticate()
{
    FSocksState = 2;
    FireSocksAuthState(authStarted);
    if (FState != wsConnected)
        return;
    std::string req;
    req += '\x01';
    req += static_cast<char>(FSocksUsercode.size());
    req += FSocksUsercode;
    req += static_cast<char>(FSocksPassword.size());
    req += FSocksPassword;
    SendRequest(*this, req);
}

void TCustomSocksWSocket::SocksDoConnect()
{
    FSocksState = 3;
    FSocksRcvCnt = 0;
    std::string req;
    char port[2] = {static_cast<char>((FPortNum >> 8) & 0xFF), static_cast<char>(FPortNum & 0xFF)};
    if (!SocksLevel4()) {
        // Always by name, so the proxy resolves it.
        req = {5, 1, 0, 3, static_cast<char>(FAddrStr.size())};
        req += FAddrStr;
        req.append(port, 2);
    } else {
        uint32_t ip = 0;
        if (FSocksLevel == "4A") {
            ip = WSocket_htonl(1);
        } else {
            try {
                ip = WSocketResolveHost(FAddrStr);
            } catch (const Exception& E) {
                SocksFailure(socksResolveError, ExceptionClassName(E) + " " + E.Message());
                return;
            }
        }
        req = {4, 1};
        req.append(port, 2);
        req.append(reinterpret_cast<const char*>(&ip), 4);
        req += FSocksUsercode;
        req += '\0';
        if (FSocksLevel == "4A") {
            req += FAddrStr;
            req += '\0';
        }
    }
    SendRequest(*this, req);
}

bool TCustomSocksWSocket::ReadSocksReply(int Limit)
{
    int room = std::min(Limit, SocksReplySize - 1) - FSocksRcvCnt;
    if (room <= 0)
        return false;
    int n = Receive(FSocksRcvBuf + FSocksRcvCnt, room);
    if (n <= 0)
        return false;
    FSocksRcvCnt += n;
    return true;
}

bool TCustomSocksWSocket::FireDataAvailable(WORD Error)
{
    if (FSocksState == 0)
        return TCustomWSocket::FireDataAvailable(Error);
    if (Error != 0) {
        SocksFailure(Error, "data receive error");
        return false;
    }
    switch (FSocksState) {
    case 1:
        if (ReadSocksReply(SocksReplySize - 1))
            SocksMethodReply();
        break;
    case 2:
        if (ReadSocksReply(SocksReplySize - 1))
            SocksAuthReply();
        break;
    case 3:
        // A version-4 reply is read exactly: what follows is tunnel data.
        if (SocksLevel4()) {
            if (ReadSocksReply(8))
                SocksConnectReply4();
        } else if (ReadSocksReply(SocksReplySize - 1)) {
            SocksConnectReply5();
        }
        break;
    default:
        SocksFailure(socksInternalError, "internal error");
        return false;
    }
    return true;
}

void TCustomSocksWSocket::SocksMethodReply()
{
    if (SocksLevel4()) {
        SocksFailure(socksProtocolError, "TWSocket logic error");
        return;
    }
    if (FSocksRcvCnt < 2)
        return;
    FSocksRcvCnt = 0;
    if (FSocksRcvBuf[0] != 5) {
        SocksFailure(socksVersionError, "socks version error");
        return;
    }
    if (FSocksRcvBuf[1] == 0) {
        if (FSocksAuthNumber != 0) {
            FireSocksAuthState(authNotRequired);
            if (FState != wsConnected)
                return;
        }
        SocksDoConnect();
    } else if (FSocksRcvBuf[1] == 2 && FSocksAuthNumber == 2) {
        SocksDoAuthenticate();
    } else {
        SocksFailure(socksAuthMethodError, "authentification method not acceptable");
    }
}

void TCustomSocksWSocket::SocksAuthReply()
{
    if (FSocksRcvCnt >= 1 && FSocksRcvBuf[0] != 1) {
        SocksFailure(socksVersionError, "socks version error");
        return;
    }
    if (FSocksRcvCnt < 2)
        return;
    if (FSocksRcvCnt > 2) {
        SocksFailure(socksProtocolError, "too much data availaible");
        return;
    }
    if (FSocksRcvBuf[1] != 0) {
        SocksFailure(socksAuthenticationFailed, "socks authentication failed");
        return;
    }
    FSocksRcvCnt = 0;
    FireSocksAuthState(authSucceeded);
    if (FState != wsConnected)
        return;
    SocksDoConnect();
}

void TCustomSocksWSocket::SocksConnectReply5()
{
    if (FSocksRcvCnt >= 1 && FSocksRcvBuf[0] != 5) {
        SocksFailure(socksVersionError, "socks version error");
        return;
    }
    if (FSocksRcvCnt >= 2 && FSocksRcvBuf[1] != 0) {
        int code = FSocksRcvBuf[1];
        if (code >= 1 && code <= 8)
            SocksFailure(socksReplyBase + code, Socks5ReplyText[code - 1]);
        else
            SocksFailure(socksUnassignedError, "unassigned error #" + std::to_string(code));
        return;
    }
    if (FSocksRcvCnt < 5)
        return;
    int len;
    if (FSocksRcvBuf[3] == 1) {
        len = 10;
    } else if (FSocksRcvBuf[3] == 3) {
        len = 7 + FSocksRcvBuf[4];
    } else {
        SocksFailure(socksAddressTypeError, Socks5ReplyText[7]);
        return;
    }
    if (FSocksRcvCnt < len)
        return;
    SocksTunnelReady(len);
}

void TCustomSocksWSocket::SocksConnectReply4()
{
    if (FSocksRcvCnt < 8)
        return;
    if (FSocksRcvBuf[0] != 0) {
        FSocksRcvCnt = 0;
        SocksFailure(socksVersionError, "socks version error");
        return;
    }
    int code = FSocksRcvBuf[1];
    switch (code) {
    case 90:
        SocksTunnelReady(8);
        return;
    case 91:
        SocksFailure(socksRejectedOrFailed, "request rejected or failed");
        break;
    case 92:
        SocksFailure(socksConnectionRefused, "connection refused");
        break;
    case 93:
        SocksFailure(socksAuthenticationFailed, "authentification failed");
        break;
    default:
        SocksFailure(socksUnassignedError, "unassigned error #" + std::to_string(code));
        break;
    }
}

void TCustomSocksWSocket::SocksTunnelReady(int ReplyLen)
{
    FSocksState = 0;
    FSocksRcvdPtr = ReplyLen;
    FSocksRcvdCnt = std::max(0, FSocksRcvCnt - ReplyLen);
    FSocksRcvCnt = 0;
    // Counted once more when the owner reads them.
    CountRead(-FSocksRcvdCnt);
    const unsigned serial = FConnSerial;
    try {
        TCustomWSocket::FireSessionConnected(0);
    } catch (Exception& E) {
        HandleBgException(E);
        return;
    }
    // Offer what is there (through line mode when it is on) while the
    // owner keeps reading the leftover bytes.
    for (;;) {
        if (FConnSerial != serial || FState != wsConnected)
            return;
        int before = FSocksRcvdCnt;
        FireDataAvailable(0);
        if (FSocksRcvdCnt == 0 || FSocksRcvdCnt == before)
            return;
    }
}

void TCustomSocksWSocket::SocksFailure(int Error, const std::string& Msg)
{
    FSocksFailing = true;
    FireSocksError(Error, Msg);
    try {
        TCustomWSocket::FireSessionConnected(static_cast<WORD>(Error));
    } catch (Exception& E) {
        HandleBgException(E);
    }
    DoClose(true, Error);
}

void TCustomSocksWSocket::FireSessionClosed(WORD Error)
{
    if (FSocksState == 2)
        FireSocksAuthState(authFailed);
    if (FSocksState != 0 && !FSocksFailing && FState != wsClosed) {
        // The proxy closed before the tunnel stood: that is the connect's
        // result too.
        WORD code = Error != 0 ? Error : static_cast<WORD>(WSAECONNRESET);
        FSocksFailing = true;
        FireSocksError(code, "socks server closed the connection");
        try {
            TCustomWSocket::FireSessionConnected(code);
        } catch (Exception& E) {
            HandleBgException(E);
        }
        EndSocksSession();
        TCustomWSocket::FireSessionClosed(code);
        return;
    }
    EndSocksSession();
    TCustomWSocket::FireSessionClosed(Error);
}

// The proxy settings hold for one connection: a handler that connects again
// from OnSessionClosed goes direct unless it sets them again.
void TCustomSocksWSocket::EndSocksSession()
{
    if (FSocksServerAssigned) {
        // The address record holds the proxy's address and port.
        FAddrResolved = false;
        FPortResolved = false;
    }
    FSocksState = 0;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksServerAssigned = false;
    FSocksPortAssigned = false;
    FSocksRcvCnt = 0;
    FSocksFailing = false;
}

// Reading.

int TCustomSocksWSocket::GetRcvdCount()
{
    if (FSocksRcvdCnt > 0)
        return FSocksRcvdCnt;
    return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::SocksWaitingCount()
{
    if (FSocksRcvdCnt > 0)
        return FSocksRcvdCnt;
    return SocketRcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags)
{
    if (FSocksRcvdCnt > 0 && BufferSize > 0) {
        int n = std::min(BufferSize, FSocksRcvdCnt);
        std::memcpy(Buffer, FSocksRcvBuf + FSocksRcvdPtr, static_cast<size_t>(n));
        FSocksRcvdPtr += n;
        FSocksRcvdCnt -= n;
        return n;
    }
    return TCustomWSocket::RecvRaw(Buffer, BufferSize, Flags);
}

// Events.

void TCustomSocksWSocket::FireSocksConnected(WORD Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}
