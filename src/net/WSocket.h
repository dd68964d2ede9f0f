// Asynchronous TCP/UDP sockets driven by window messages.
//
// Every socket object owns a hidden notification window. Readiness, name
// lookup completions and deferred close/free arrive there as posted
// messages and become events. Nothing blocks except the host-name
// resolution inside Connect/Listen and the message-pumping helpers.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/WSockBuf.h"
#include "platform/Classes.h"
#include "platform/Windows.h"
#include "platform/Winsock.h"

constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 1;
constexpr UINT WM_HOSTBYNAME_DONE = WM_USER + 2;
constexpr UINT WM_HOSTBYADDR_DONE = WM_USER + 3;
constexpr UINT WM_CLOSE_LATER = WM_USER + 4;
constexpr UINT WM_FREE_LATER = WM_USER + 5;
constexpr UINT WM_TEST_EXCEPTION = WM_USER + 6;
constexpr UINT WM_LINE_REPLAY = WM_USER + 20;

// The name the binding texts give the socket library.
extern const char* const WinsockLibName;

// Error codes of a failed TLS start, as OnTlsDone reports them.
constexpr WORD WSA_TLS_HANDSHAKE_FAILED = 12150;
constexpr WORD WSA_TLS_VERIFY_FAILED = 12151;

// A TLS session kept for resumption on another connection.
struct ssl_session_st;
using TTlsSession = std::shared_ptr<ssl_session_st>;
struct TTlsState;
class TTlsServerContext;
struct TTlsStateDeleter {
    void operator()(TTlsState* State) const;
};

class ESocketException : public Exception {
public:
    using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Binding, resolution and error texts.

// Binds the socket library on first use and returns the named entry point
// (null for an empty name). Raises ESocketException with the texts for a
// missing library, a failed start-up or a missing entry point.
void* WinsockProc(const std::string& Name);
// Releases the library; the live-socket count becomes 0.
void UnloadWinsock();
bool WinsockLoaded();
// Live socket objects.
int WSocketCount();
// The texts of the three binding failures.
std::string WinsockLoadErrorText(int SystemError);
std::string WinsockStartupErrorText(int Result);
std::string WinsockEntryErrorText(const std::string& Name, int SystemError);

// Network-order IPv4 address of a dotted text or host name.
uint32_t WSocketResolveHost(const std::string& InAddr);
// Port number (host order) of a decimal text or service name.
int WSocketResolvePort(const std::string& Port, const std::string& Proto);
int WSocketResolveProto(const std::string& Proto);
bool IsDottedIP(const std::string& S);
int ParsePortNumber(const std::string& S);
void CollectAddresses(const hostent* Entry, std::vector<std::string>& List);
std::string WinsockErrorText(int ErrCode);
std::string LocalHostName();
// The host's IPv4 interface addresses, non-loopback ones first in interface
// order, 127.0.0.1 only when there is nothing else. The list belongs to the
// unit and is refilled by every call.
const std::vector<std::string>& LocalAddressList();

// Wrappers through the bound entry points.
int WSocket_WSAStartup(WORD Version, WSADATA* Data);
int WSocket_WSACleanup();
void WSocket_WSASetLastError(int Error);
int WSocket_WSAGetLastError();
int WSocket_WSACancelAsyncRequest(WSAASYNCHANDLE Request);
WSAASYNCHANDLE WSocket_WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen);
WSAASYNCHANDLE WSocket_WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf, int BufLen);
int WSocket_WSAAsyncSelect(SOCKET S, HWND Wnd, UINT Msg, long Events);
servent* WSocket_getservbyname(const char* Name, const char* Proto);
protoent* WSocket_getprotobyname(const char* Name);
hostent* WSocket_gethostbyname(const char* Name);
int WSocket_gethostname(char* Name, int Len);
SOCKET WSocket_socket(int Family, int Type, int Protocol);
int WSocket_shutdown(SOCKET S, int How);
int WSocket_setsockopt(SOCKET S, int Level, int Option, const void* Value, int Len);
int WSocket_getsockopt(SOCKET S, int Level, int Option, void* Value, int* Len);
int WSocket_sendto(SOCKET S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen);
int WSocket_send(SOCKET S, const void* Buf, int Len, int Flags);
int WSocket_sendv(SOCKET S, const iovec* Vec, int Count, int Flags);
int WSocket_recv(SOCKET S, void* Buf, int Len, int Flags);
int WSocket_recvfrom(SOCKET S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen);
uint16_t WSocket_ntohs(uint16_t V);
int WSocket_listen(SOCKET S, int Backlog);
int WSocket_ioctlsocket(SOCKET S, long Cmd, unsigned long* Arg);
const char* WSocket_inet_ntoa(in_addr Addr);
uint32_t WSocket_inet_addr(const char* Text);
uint16_t WSocket_htons(uint16_t V);
uint32_t WSocket_htonl(uint32_t V);
int WSocket_getsockname(SOCKET S, sockaddr* Addr, int* Len);
int WSocket_getpeername(SOCKET S, sockaddr* Addr, int* Len);
int WSocket_connect(SOCKET S, const sockaddr* Addr, int Len);
int WSocket_closesocket(SOCKET S);
int WSocket_bind(SOCKET S, const sockaddr* Addr, int Len);
SOCKET WSocket_accept(SOCKET S, sockaddr* Addr, int* Len);

// ---------------------------------------------------------------------------
// Socket types.

enum TSocketState : uint8_t {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption { wsoNoReceiveLoop };
using TWSocketOptions = std::set<TWSocketOption>;

using TDataAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TDataSent = std::function<void(TObject* Sender, WORD Error)>;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TObject* Sender, WORD Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TSessionConnected = std::function<void(TObject* Sender, WORD Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, WORD Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;

// The message record handed to WndProc.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// ---------------------------------------------------------------------------
// The socket core.
class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner);
    ~TCustomWSocket() override;

    // Properties.
    const std::string& GetAddr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& GetPort() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& GetProto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& GetLocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    const std::string& GetLocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    const std::string& GetDnsResult() const { return FDnsResult; }
    const std::vector<std::string>& GetDnsResultList() const { return FDnsResultList; }
    TSocketState GetState() const { return FState; }
    int GetReadCount() const { return FReadCount; }
    virtual int GetRcvdCount();
    int GetLastError() const { return FLastError; }
    bool GetMultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    const TWSocketOptions& GetComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(const TWSocketOptions& Value) { FComponentOptions = Value; }
    int GetFlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
    TSocketSendFlags GetSendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff GetLingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int GetLingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
    // The open handle, INVALID_SOCKET when none.
    SOCKET GetHSocket() const { return FHSocket; }
    // The hidden notification window.
    HWND GetHandle() const { return FWindowHandle; }
    // True when the send buffer has been drained.
    bool GetAllSent() const { return FAllSent; }
    // On a connected stream, the pieces the send buffer writes are gathered
    // (up to GatherSize bytes) and written together when the next does not
    // fit, when a write notification is handled, and before the sending
    // side shuts down. Each piece still fires OnSendData when taken;
    // OnDataSent waits until the gathered bytes are written. Reset by a close.
    void SetGatherSends(bool Value) { FGatherSends = Value; }
    static constexpr int GatherSize = 65536;
    bool GetTerminated() const { return FTerminated; }
    // True while one of this socket's handlers is on the stack.
    bool InHandler() const { return FDispatchDepth > 0; }

    // TLS, client side, on a connected stream socket. StartTls begins the
    // handshake; OnTlsDone reports its end (0, or a WSA_TLS_* code with
    // GetTlsErrorText, after which the socket closes). Until then Send
    // only queues and nothing is received. The peer's certificate must
    // verify against the system's CA store for HostName, or, when a
    // fingerprint is set, have that SHA-256 fingerprint (hex, colons
    // allowed). A session given by SetTlsSession is offered for resumption.
    void StartTls(const std::string& HostName);
    // TLS, server side, on an accepted connection: the handshake with
    // Context's certificate; OnTlsDone and the rules above as for StartTls.
    void AcceptTls(const TTlsServerContext& Context);
    void SetTlsFingerprint(const std::string& Value) { FTlsFingerprint = Value; }
    const std::string& GetTlsFingerprint() const { return FTlsFingerprint; }
    void SetTlsSession(TTlsSession Value) { FTlsSession = std::move(Value); }
    // The session of the established connection (null without one).
    TTlsSession GetTlsSession() const;
    bool GetTlsActive() const { return FTls != nullptr; }
    bool GetTlsEstablished() const;
    bool GetTlsSessionReused() const;
    const std::string& GetTlsErrorText() const { return FTlsErrorText; }
    TSessionConnected OnTlsDone;

    // Events.
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TNotifyEvent OnLineTooLong;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // Operations.
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();
    virtual void FreeLater();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitUntilClosed();
    virtual void Listen();
    virtual SOCKET Accept();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveStr();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendStr(const std::string& Str);
    // Sends Data as pieces of at most the chunk size behind what the send
    // buffer holds, as many as the network takes in one call (More: the
    // caller has more to send right after); each piece fires OnSendData for
    // what of it left. The first piece not sent in full goes to the buffer
    // and the rest of Data is left to the caller. Returns the bytes taken
    // (as Send for one piece where a gathered call is not possible), -1
    // when not connected.
    int SendPieces(const void* Data, int Len, bool More);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();
    virtual int GetPeerSockAddr(sockaddr_in& Addr, int& Len);
    virtual std::string GetBoundPort();
    virtual bool TimerIsSet(const timeval& Tv);
    virtual void TimerClear(timeval& Tv);
    virtual bool TimerCmp(const timeval& A, const timeval& B, bool Equal);
    virtual int GetSockName(sockaddr_in& Addr, int& Len);
    virtual void Dup(SOCKET NewHSocket);
    virtual void Shutdown(int How);
    virtual int Pause();
    virtual int Resume();
    virtual void MessagePump();
    // Dispatches every message waiting for this thread; WM_QUIT sets the
    // terminated flag instead.
    void PumpMessages();

    // Send buffer.
    void AppendToSendBuffer(const void* Data, int Len);
    void AppendStrToSendBuffer(const std::string& Str);
    void ClearSendBuffer();
    void TryToSend();
    void ApplyLinger();
    // Bytes queued and not yet written.
    int BufferedByteCount() const;

protected:
    virtual void WndProc(TMessage& MsgRec);
    virtual void ResetToDefaults();
    virtual void DoClose(bool Shut, int Error);
    virtual void BindLocal();
    virtual int RawSend(const void* Data, int Len);
    virtual void ReportErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual void ReportError(const std::string& Msg);
    virtual void HandleBgException(Exception& E);
    // Hands E to OnBgException and aborts if the handler leaves CanClose set.
    void FireBgException(Exception& E, bool CanClose);
    virtual bool FireDataAvailable(WORD Error);
    virtual void FireSessionAvailable(WORD Error);
    virtual void FireSessionConnected(WORD Error);
    virtual void FireSessionClosed(WORD Error);
    virtual void FireDataSent(WORD Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(WORD Error);
    virtual void FireError();
    virtual void FireSendData(int BytesSent);
    virtual int RecvRaw(void* Buffer, int BufferSize, int Flags);
    virtual int RecvFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);

    void ReportSocketError(const std::string& Operation);
    void ChangeState(TSocketState NewState);
    // False when the notification's share of work ran out with bytes
    // still waiting.
    bool ReceiveLoop(WORD Error);
    // Handlers of this socket run between the two; the last leave carries
    // out what had to wait for them (DispatchDone).
    void EnterDispatch() { ++FDispatchDepth; }
    void LeaveDispatch();
    // Runs once no handler of this socket is on the stack any more: a
    // FreeLater that came in meanwhile destroys the socket here.
    virtual void DispatchDone();
    // Adds Count to ReadCount, wrapping like the 32-bit counter it is.
    void CountRead(int Count);
    // Bytes waiting in the socket (FIONREAD), -1 on failure.
    int SocketRcvdCount();

    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    SOCKET FASocket = INVALID_SOCKET;
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    int FBufSize = DefaultChunkSize;
    int FSendFlags = 0;
    int FLastError = 0;
    HWND FWindowHandle = nullptr;
    alignas(8) char FDnsLookupBuffer[1025] = {};
    WSAASYNCHANDLE FDnsLookupHandle = 0;
    long FSelectEvent = 0;
    SOCKET FHSocket = INVALID_SOCKET;
    std::string FAddrStr;
    bool FAddrResolved = false;
    int FAddrFormat = AF_INET;
    bool FAddrAssigned = false;
    int FProto = IPPROTO_TCP;
    bool FProtoAssigned = true;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::string FProtoStr = "tcp";
    std::string FPortStr;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    int FPortNum = 0;
    std::string FLocalPortStr = "0";
    int FLocalPortNum = 0;
    std::string FLocalAddr = "0.0.0.0";
    int FType = SOCK_STREAM;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    bool FAllSent = true;
    bool FSentNotePosted = false;  // a completion for the drained buffer waits in the queue
    bool FWriteShut = false;       // the sending side is shut down
    bool FGatherSends = false;
    bool FGatherBlocked = false;   // the network refused part of the gathered bytes
    int FGatherOut = 0;            // gathered bytes already written
    std::vector<char> FGather;
    bool FReadDrained = false;     // the last read found the socket empty
    int FReadCount = 0;
    bool FPaused = false;
    bool FCloseInvoked = false;
    int FFlushTimeout = 60;
    bool FMultiThreaded = false;
    TWSocketOptions FComponentOptions;
    TSocketState FState = wsClosed;
    bool FTerminated = false;
    sockaddr_in FSin{};
    // Changes with every close, so that work begun for one connection
    // stops when a handler has closed it (and perhaps opened another).
    unsigned FConnSerial = 0;
    int FDispatchDepth = 0;
    bool FFreePending = false;
    // A remote close that came in while paused, posted again by Resume.
    LPARAM FHeldClose = 0;
    // TLS state of the connection, null for a plain one.
    std::unique_ptr<TTlsState, TTlsStateDeleter> FTls;
    std::string FTlsFingerprint;
    TTlsSession FTlsSession;
    std::string FTlsErrorText;

    // TLS hooks of the core: true when the handshake took the notification.
    bool TlsNotify(WORD Event, WORD Error);
    int TlsRecv(void* Buffer, int BufferSize, int Flags);
    int TlsSend(const void* Data, int Len);
    // Decrypted or buffered bytes the socket no longer shows.
    int TlsPendingCount() const;
    // Posts a read notification while decrypted bytes wait.
    void TlsReannounce();
    void TlsCloseNotify();
    void TlsRelease();
    void TlsContinueHandshake();
    void TlsFail(WORD Code, const std::string& Text);

private:
    static LRESULT NotifyWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    void CreateNotifyWindow();
    void HandleSocketNotify(WPARAM wParam, LPARAM lParam);
    // One send of the buffer's bytes, without OnSendData.
    int SendChunk(const void* Data, int Len);
    // Takes a piece into the gather, writing the gather first when full.
    int GatherSend(const void* Data, int Len);
    // Writes the gathered bytes; false when some are left (the error is the
    // last Winsock error).
    bool FlushGather();
    // FlushGather at a write notification; false when bytes are left,
    // after handling the error.
    bool SendGathered();
    // The writes of a write notification: the gather, the buffer, the gather.
    void SendPending();
    void DropGather();
    // A failed send: closes on connection loss, reports other errors.
    void SendFailed();
    // Cancels a running lookup and clears the results; false, after
    // reporting, for an empty name.
    bool BeginLookup(const std::string& Name);
    void HandleLookupDone(const TMessage& MsgRec, bool Forward);
    bool ResolveForOpen(const char* Prefix, bool WithLocalPort);
    // Resolves, empties the send buffer and makes the handle; false after
    // reporting a failure.
    bool OpenHandle(const char* Prefix, bool WithLocalPort, const char* SocketError);
    // Reports an error and refuses unless the socket is closed.
    bool ChangeAllowed(const char* Name);
    void AssignEndpointPart(const char* Name, const std::string& Value, std::string& Str, bool& Assigned,
                            bool& Resolved);
};

// ---------------------------------------------------------------------------
// SOCKS proxy layer (WSocks.cpp): a TCP client reaches its destination
// through a SOCKS 4, 4A or 5 proxy. The owner sees OnSessionConnected only
// once the tunnel stands. With SocksServer empty every operation passes
// straight to the core.
enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { authStarted, authSucceeded, authFailed, authNotRequired };
using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* AOwner);

    const std::string& GetSocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& GetSocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& GetSocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    const std::string& GetSocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& GetSocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    TSocksAuthentication GetSocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    void Connect() override;
    void Listen() override;
    // The bytes left behind the proxy's reply while any are unread, else
    // the core count.
    int GetRcvdCount() override;

protected:
    void ResetToDefaults() override;
    bool FireDataAvailable(WORD Error) override;
    void FireSessionConnected(WORD Error) override;
    void FireSessionClosed(WORD Error) override;
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override;
    virtual void FireSocksConnected(WORD Error);
    virtual void FireSocksError(int Error, const std::string& Msg);
    virtual void FireSocksAuthState(TSocksAuthState AuthState);

    // True while the proxy negotiation runs (no tunnel yet).
    bool SocksNegotiating() const { return FSocksState != 0; }
    // What a read would return without blocking: the leftover bytes first,
    // else the bytes waiting in the socket (-1 on failure).
    int SocksWaitingCount();

    // The reply area: a version-5 connect reply carries a name of up to 255
    // bytes.
    static constexpr int SocksReplySize = 512;

    uint8_t FSocksState = 0;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    bool FSocksPortAssigned = false;
    bool FSocksServerAssigned = false;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    uint8_t FSocksAuthNumber = 0;
    uint8_t FSocksRcvBuf[SocksReplySize] = {};
    int FSocksRcvCnt = 0;
    int FSocksRcvdCnt = 0;
    int FSocksRcvdPtr = 0;

private:
    // Reports an error and refuses unless the socket is closed.
    bool SocksChangeAllowed(const char* Name);
    bool SocksLevel4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
    // Reads what the proxy sent into the reply area, at most up to Limit
    // bytes in all; false when nothing came.
    bool ReadSocksReply(int Limit);
    void SendGreeting();
    void EndSocksSession();
    void SocksDoAuthenticate();
    void SocksDoConnect();
    void SocksMethodReply();
    void SocksAuthReply();
    void SocksConnectReply5();
    void SocksConnectReply4();
    // The tunnel stands: the owner's OnSessionConnected(0), then the bytes
    // that came behind the reply.
    void SocksTunnelReady(int ReplyLen);
    // OnSocksError, OnSessionConnected(Error), then the close with Error.
    void SocksFailure(int Error, const std::string& Msg);

    bool FSocksFailing = false;
};

// ---------------------------------------------------------------------------
// Line mode: one OnDataAvailable per line ending in LineEnd.
constexpr int DefaultLineLimit = 65536;
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner);
    ~TCustomLineWSocket() override;

    bool GetLineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    const std::string& GetLineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
    bool GetLineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool GetLineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }
    // Most bytes an unterminated line may hold before OnLineTooLong; 0 or
    // less: no limit.
    int GetLineLimit() const { return FLineLimit; }
    void SetLineLimit(int Value) { FLineLimit = Value; }
    // In line mode the pending line length, else the bytes waiting.
    int GetRcvdCount() override;
    // Bytes held in the receive buffer.
    int GetBufferedCount() const { return FRcvdCnt; }

protected:
    void WndProc(TMessage& MsgRec) override;
    void ResetToDefaults() override;
    bool FireDataAvailable(WORD Error) override;
    void FireSessionClosed(WORD Error) override;
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override;
    virtual void ApplyLineEditing(int& Count);
    virtual void FireLineTooLong();

    std::unique_ptr<char[]> FRcvdPtr;
    int FRcvBufSize = 0;
    int FRcvdCnt = 0;
    // Where the held bytes begin in the receive buffer: lines are taken
    // off the front by moving this, and the rest moves to the front once
    // per pass.
    int FRcvdOff = 0;
    std::string FLineEnd = "\r\n";
    bool FLineMode = false;
    int FLineLength = 0;
    bool FLineEcho = false;
    bool FLineEdit = false;
    int FLineLimit = DefaultLineLimit;
    int FTimeout = 0;
    uint32_t FTimeStop = 0;

    // The held bytes.
    char* RcvdData() const { return FRcvdPtr.get() + FRcvdOff; }

private:
    // Room for Needed bytes from the front of the held data on.
    void GrowReceiveBuffer(int Needed);
    void CompactReceiveBuffer();
    // Takes Count bytes off the front of the held data.
    void ConsumeReceived(int Count);
    bool DeliverPendingLine();
    void DropReceiveBuffer();
    // An unterminated line beyond LineLimit: OnLineTooLong, and unless its
    // handler dealt with it, the bytes are dropped and the socket closed.
    void LineTooLong();
};

// ---------------------------------------------------------------------------
// Wait helpers for owners that want a blocking style on top of the events.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* AOwner);

    // Milliseconds a wait may last, 0 = no limit.
    int GetTimeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }

    // 0 when Done became true; 12001 on timeout or termination.
    virtual int RunAndWait(const std::function<void()>& Operation, bool& Done);
    virtual int WaitForFlag(bool& Done);
};

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* AOwner) : TCustomSyncWSocket(AOwner) {}
};
