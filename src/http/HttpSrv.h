// The HTTP server: THttpConnection reads one browser's requests line by
// line and answers them from the document directory; THttpServer listens,
// sets up every connection and hands its events to the application.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpAuth.h"
#include "http/HttpDocCheck.h"
#include "net/TlsServerContext.h"
#include "net/WSocketS.h"
#include "platform/FileStream.h"

// Posted by a connection to its own window when a file answer is complete.
constexpr UINT WM_ANSWER_DONE = WM_USER + 40;

// What a document handler asks for; any other value closes (GET, HEAD).
enum THttpGetFlag : uint8_t { gfSendFile, gfSendStream, gfHandled, gfNotFound, gfAcceptData };

using THttpGetConnEvent = std::function<void(TObject* Sender, THttpGetFlag& Flags)>;

// Awaiting the request line, reading header lines, request complete.
enum THttpRequestState : uint8_t { hcRequestLine, hcHeader, hcRequestDone };

class THttpConnection : public TWSocketClient {
public:
    // Limits that keep a slow or hostile client from holding the server.
    static constexpr size_t MaxLineLength = 8192;
    static constexpr int MaxHeaderLines = 100;
    static constexpr UINT DefaultIdleTimeoutMs = 60000;
    // Bytes read and dropped per notification after a complete request.
    static constexpr int DiscardPerNotification = 65536;
    // Bytes of a document read at once, and the pieces sent in one turn at
    // most while the socket takes them (several in one call).
    static constexpr int32_t DocReadAhead = 65536;
    static constexpr int PiecesPerTurn = 44;
    // Unread input taken at most before a close.
    static constexpr int ClosingDrainLimit = 1 << 20;

    explicit THttpConnection(TComponent* AOwner);
    ~THttpConnection() override;

    const std::string& GetMethod() const { return FMethod; }
    const std::string& GetVersion() const { return FVersion; }
    const std::string& GetPath() const { return FPath; }
    const std::string& GetParams() const { return FParams; }
    // Every header line received on this connection, in arrival order (the
    // oldest are dropped beyond a bound on a kept-alive connection).
    const std::vector<std::string>& GetRequestHeader() const { return FRequestHeader; }
    THttpRequestState GetRequestState() const { return FState; }
    // How long a request may take to arrive after the connection or the
    // last answer, and how long an answer may go without progress, before
    // the connection is closed; a new value restarts a running wait.
    UINT GetIdleTimeout() const { return FIdleTimeout; }
    void SetIdleTimeout(UINT Ms);
    const std::string& GetDocDir() const { return FDocDir; }
    void SetDocDir(const std::string& Value)
    {
        FDocDir = Value;
        FResolvedDocDir.clear();
    }
    // DocDir with its links resolved, when the caller knows it already.
    void SetResolvedDocDir(const std::string& Value) { FResolvedDocDir = Value; }
    const std::string& GetDefaultDoc() const { return FDefaultDoc; }
    void SetDefaultDoc(const std::string& Value) { FDefaultDoc = Value; }
    // The file to answer with; a handler may change it.
    const std::string& GetDocument() const { return FDocument; }
    void SetDocument(const std::string& Value) { FDocument = Value; }
    // Installs the open stream that gfSendStream sends (replacing one still
    // open).
    void SetDocStream(std::unique_ptr<TStream> Stream) { FDocStream = std::move(Stream); }
    TStream* GetDocStream() const { return FDocStream.get(); }
    // A header line (ending in CR LF) that the next file answer carries
    // after its content length; cleared by every new request.
    void SetExtraHeader(const std::string& Value) { FExtraHeader = Value; }
    // The credentials every request must carry (none when null or off).
    void SetAuth(std::shared_ptr<THttpAuth> Value) { FAuth = std::move(Value); }
    // Link verdicts shared with other connections (each request resolves
    // the path when none is set).
    void SetDocCheck(std::shared_ptr<THttpDocCheck> Value) { FDocCheck = std::move(Value); }

    // For an answer a handler sends itself (gfHandled) over a long time.
    // AnswerProgressed restarts the wait after which a client that takes
    // nothing of the answer is given up on. EndAnswer finishes it: once
    // the send buffer has drained, the sending side is shut down and the
    // connection closes. When OnServerStop is assigned, the server's Stop
    // calls it instead of aborting the connection, so the answer can end
    // with EndAnswer.
    void AnswerProgressed() { StartIdleTimer(); }
    void EndAnswer();
    TNotifyEvent OnServerStop;

    int32_t ReqContentLength() const { return FRequestContentLength; }
    const std::string& ReqContentType() const { return FRequestContentType; }
    const std::string& ReqAccept() const { return FRequestAccept; }
    const std::string& ReqReferer() const { return FRequestReferer; }
    const std::string& ReqAcceptLanguage() const { return FRequestAcceptLanguage; }
    const std::string& ReqAcceptEncoding() const { return FRequestAcceptEncoding; }
    const std::string& ReqUserAgent() const { return FRequestUserAgent; }
    const std::string& ReqHost() const { return FRequestHost; }
    const std::string& ReqConnection() const { return FRequestConnection; }

    THttpGetConnEvent OnGetDocument;
    THttpGetConnEvent OnHeadDocument;
    THttpGetConnEvent OnPostDocument;
    TDataAvailable OnPostedData;

    void Dup(SOCKET NewHSocket) override;

protected:
    virtual void FireGetDocument(THttpGetFlag& Flags);
    virtual void FireHeadDocument(THttpGetFlag& Flags);
    virtual void FirePostDocument(THttpGetFlag& Flags);

    void WndProc(TMessage& MsgRec) override;
    bool FireDataAvailable(WORD Error) override;

    void ReceiveRequestData(TObject* Sender, WORD Error);
    void ParseRequestLine();
    void ParseHeaderLine();
    void DispatchRequest();
    void ServeGet();
    void ServeHead();
    // Answers a GET or HEAD as the handler's flags say.
    void ServeDocument(THttpGetFlag Flags, bool WithBody);
    void ServePost();
    void SendNotFound(bool WithBody = true);
    // False (and the refusal sent) when the request lacks the credentials.
    bool Authorized();
    void SendFileHeader(bool WithBody);
    void StartBodyTransfer();
    void SendNextChunk(TObject* Sender, WORD Error);
    // Refills the read-ahead buffer from the document; false at its end.
    bool ReadDocAhead();
    void EndBody();
    void FinishAnswer();

private:
    // Opens Document; null when the mapped path leads out of DocDir.
    std::unique_ptr<TFileStream> OpenDocument();
    // A file or queued answer is still on its way to the client.
    bool AnswerInProgress() const;
    // Reads and drops what the client sends, up to the notification's share.
    void DiscardInput();
    // Closes a connection whose client broke a limit; what it still sends
    // is read and dropped.
    void DropConnection();
    void StartIdleTimer();
    void SetCorked(bool Value);
    void StopIdleTimer();

    std::string FRcvdLine;
    std::string FMethod;
    std::string FVersion;
    std::string FPath;
    std::string FParams;
    std::vector<std::string> FRequestHeader;
    THttpRequestState FState = hcRequestLine;
    std::string FDocDir;
    std::string FDefaultDoc;
    std::string FDocument;
    std::unique_ptr<TStream> FDocStream;
    std::unique_ptr<char[]> FDocBuf;  // read ahead of the pieces sent, while a body is sent
    int32_t FDocPos = 0, FDocLen = 0;  // the next piece, the bytes read
    std::string FDocContentType;
    int32_t FRequestContentLength = 0;
    std::string FRequestContentType;
    std::string FRequestAccept;
    std::string FRequestReferer;
    std::string FRequestAcceptLanguage;
    std::string FRequestAcceptEncoding;
    std::string FRequestUserAgent;
    std::string FRequestHost;
    std::string FRequestConnection;
    std::string FRequestAuthorization;
    std::shared_ptr<THttpAuth> FAuth;
    std::shared_ptr<THttpDocCheck> FDocCheck;
    bool FAcceptPostedData = false;

    std::string FMappedDocument;  // Document as mapped from the request path
    std::string FResolvedDocDir;  // DocDir with its links resolved, once known
    int FHeaderLineCount = 0;     // header lines of the current request
    bool FDropping = false;
    bool FIdleTimerSet = false;
    bool FCorked = false;
    UINT FIdleTimeout = DefaultIdleTimeoutMs;
    int64_t FBodyLeft = -1;       // body bytes still to send; -1: to the stream's end
    bool FPeerShutdown = false;   // the client has shut down its sending side
    int FDiscardBudget = 0;
    std::string FExtraHeader;
    bool FEndingAnswer = false;
};

class THttpServer;
using THttpConnectEvent = std::function<void(TObject* Sender, THttpConnection* Client, WORD Error)>;
using THttpGetEvent = std::function<void(TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags)>;
using THttpPostedDataEvent = std::function<void(TObject* Sender, THttpConnection* Client, WORD Error)>;

class THttpServer : public TComponent {
public:
    explicit THttpServer(TComponent* AOwner);
    ~THttpServer() override;

    const std::string& GetPort() const { return FPort; }
    void SetPort(const std::string& Value);
    const std::string& GetAddr() const { return FAddr; }
    void SetAddr(const std::string& Value);
    const TWSocketClientClass& GetClientClass() const { return FClientClass; }
    void SetClientClass(TWSocketClientClass Value) { FClientClass = std::move(Value); }
    const std::string& GetDocDir() const { return FDocDir; }
    void SetDocDir(const std::string& Value) { FDocDir = Value; }
    const std::string& GetDefaultDoc() const { return FDefaultDoc; }
    void SetDefaultDoc(const std::string& Value) { FDefaultDoc = Value; }
    TSocketLingerOnOff GetLingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int GetLingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
    // HTTP Basic authentication for every request; an empty user: none.
    void SetCredentials(const std::string& User, const std::string& Password)
    {
        FAuth->SetCredentials(User, Password);
    }
    // PEM certificate (with its chain) and key; with both set, Start loads
    // them (throwing ESocketException naming a bad file) and every
    // connection speaks TLS only.
    void SetTlsFiles(const std::string& CertFile, const std::string& KeyFile)
    {
        FCertFile = CertFile;
        FKeyFile = KeyFile;
    }
    bool GetSecure() const { return !FCertFile.empty() && !FKeyFile.empty(); }
    // The listening socket, null after it has been destroyed.
    TWSocketServer* GetWSocketServer() const { return FWSocketServer.get(); }

    TNotifyEvent OnServerStarted;
    TNotifyEvent OnServerStopped;
    THttpConnectEvent OnClientConnect;
    THttpConnectEvent OnClientDisconnect;
    THttpGetEvent OnGetDocument;
    THttpGetEvent OnHeadDocument;
    THttpGetEvent OnPostDocument;
    THttpPostedDataEvent OnPostedData;

    // Listens on Addr:Port; nothing when already listening.
    virtual void Start();
    // Stops listening and aborts every connection.
    virtual void Stop();

protected:
    virtual void FireServerStarted();
    virtual void FireServerStopped();
    virtual void FirePostDocument(THttpConnection* Client, THttpGetFlag& Flags);
    virtual void FirePostedData(THttpConnection* Client, WORD Error);
    void FireClientConnect(THttpConnection* Client, WORD Error);
    void FireClientDisconnect(THttpConnection* Client, WORD Error);
    void FireGetDocument(THttpConnection* Client, THttpGetFlag& Flags);
    void FireHeadDocument(THttpConnection* Client, THttpGetFlag& Flags);

    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    void SetUpConnection(THttpConnection* Client, WORD Error);
    void RestartIfListening();

    std::unique_ptr<TWSocketServer> FWSocketServer;
    std::string FPort = "80";
    std::string FAddr = "0.0.0.0";
    TWSocketClientClass FClientClass = ClientClassOf<THttpConnection>();
    std::string FDocDir = "/var/www";
    std::string FDefaultDoc = "index.html";
    TSocketLingerOnOff FLingerOnOff = wsLingerNoSet;
    int FLingerTimeout = 0;
    // DocDir with its links resolved, for the DocDir it was made from.
    std::string FResolvedDocDir;
    std::string FResolvedFor;
    std::shared_ptr<THttpAuth> FAuth = std::make_shared<THttpAuth>();
    std::shared_ptr<THttpDocCheck> FDocCheck = std::make_shared<THttpDocCheck>();
    std::string FCertFile, FKeyFile;
    std::unique_ptr<TTlsServerContext> FTlsContext;
};
