#include "http/HttpSrv.h"

#include <netinet/tcp.h>

#include <algorithm>

#include "http/HttpText.h"

namespace {

constexpr UINT IdleTimerId = 0x4854;

} // namespace

// ---------------------------------------------------------------------------
// THttpConnection: reading the request

THttpConnection::THttpConnection(TComponent* AOwner) : TWSocketClient(AOwner)
{
    SetLineMode(true);
    SetLineEdit(false);
    SetLineEnd("\n");
    OnDataAvailable = [this](TObject* Sender, WORD Error) { ReceiveRequestData(Sender, Error); };
}

THttpConnection::~THttpConnection() = default;

void THttpConnection::Dup(SOCKET NewHSocket)
{
    TWSocketClient::Dup(NewHSocket);
    if (GetState() == wsConnected)
        StartIdleTimer();
}

void THttpConnection::StartIdleTimer()
{
    SetTimer(GetHandle(), IdleTimerId, FIdleTimeout);
    FIdleTimerSet = true;
}

void THttpConnection::SetIdleTimeout(UINT Ms)
{
    FIdleTimeout = Ms;
    if (FIdleTimerSet)
        StartIdleTimer();
}

void THttpConnection::StopIdleTimer()
{
    if (FIdleTimerSet) {
        KillTimer(GetHandle(), IdleTimerId);
        FIdleTimerSet = false;
    }
}

void THttpConnection::SetCorked(bool Value)
{
    // The kernel gathers the 1514-byte pieces of one answer into full
    // segments; the answer leaves when the cork is pulled at its end.
    if (Value == FCorked || GetHSocket() == INVALID_SOCKET)
        return;
    int v = Value ? 1 : 0;
    WSocket_setsockopt(GetHSocket(), IPPROTO_TCP, TCP_CORK, &v, sizeof v);
    FCorked = Value;
}

void THttpConnection::DropConnection()
{
    FDropping = true;
    StopIdleTimer();
    CloseLater();
}

bool THttpConnection::FireDataAvailable(WORD Error)
{
    if (FDropping || (FState == hcRequestDone && !FAcceptPostedData)) {
        DiscardInput();
        return true;
    }
    bool handled = TWSocketClient::FireDataAvailable(Error);
    // A request line or header line that is still incomplete must not grow
    // without bound.
    if (!FDropping && FState != hcRequestDone && !FAcceptPostedData && GetLineMode() &&
        static_cast<size_t>(GetBufferedCount()) > MaxLineLength)
        DropConnection();
    return handled;
}

void THttpConnection::DiscardInput()
{
    // What is left waits for the next notification, so that a client that
    // keeps sending cannot hold the thread.
    char scratch[4096];
    while (FDiscardBudget > 0) {
        int n = Receive(scratch, std::min(static_cast<int>(sizeof scratch), FDiscardBudget));
        if (n <= 0)
            break;
        FDiscardBudget -= n;
    }
}

bool THttpConnection::AnswerInProgress() const
{
    return FState == hcRequestDone && (FDocStream || BufferedByteCount() > 0);
}

void THttpConnection::ReceiveRequestData(TObject*, WORD Error)
{
    if (FDropping) {
        ReceiveStr();
        return;
    }
    if (FState == hcRequestDone) {
        if (FAcceptPostedData && OnPostedData) {
            OnPostedData(this, Error);
            return;
        }
        FRcvdLine = ReceiveStr();
        return;
    }

    FRcvdLine = ReceiveStr();
    if (!FRcvdLine.empty() && FRcvdLine.back() == '\n') {
        FRcvdLine.pop_back();
        if (!FRcvdLine.empty() && FRcvdLine.back() == '\r')
            FRcvdLine.pop_back();
    }
    if (FRcvdLine.size() > MaxLineLength) {
        DropConnection();
        return;
    }

    if (FState == hcRequestLine) {
        FRequestContentType.clear();
        FRequestContentLength = 0;
        FRequestAccept.clear();
        FRequestReferer.clear();
        FRequestAcceptLanguage.clear();
        FRequestAcceptEncoding.clear();
        FRequestUserAgent.clear();
        FRequestHost.clear();
        FRequestConnection.clear();
        FRequestAuthorization.clear();
        FExtraHeader.clear();
        // Earlier requests keep at most one request's worth of lines.
        if (FRequestHeader.size() > static_cast<size_t>(MaxHeaderLines))
            FRequestHeader.erase(FRequestHeader.begin(), FRequestHeader.end() - MaxHeaderLines);
        FHeaderLineCount = 0;
        ParseRequestLine();
        FState = hcHeader;
    } else if (FRcvdLine.empty()) {
        FState = hcRequestDone;
        StopIdleTimer();
        try {
            DispatchRequest();
        } catch (...) {
            // A handler that failed leaves no answer behind: close rather
            // than keep the client waiting for one.
            CloseLater();
            throw;
        }
        // What follows the request is read as plain bytes and dropped.
        if (FState == hcRequestDone && !FAcceptPostedData)
            SetLineMode(false);
    } else {
        if (++FHeaderLineCount > MaxHeaderLines) {
            DropConnection();
            return;
        }
        ParseHeaderLine();
        FRequestHeader.push_back(FRcvdLine);
    }
}

void THttpConnection::ParseRequestLine()
{
    THttpRequestLine r = ParseHttpRequestLine(FRcvdLine);
    FMethod = r.Method;
    FPath = r.Path;
    FParams = r.Params;
    FVersion = r.Version;
}

void THttpConnection::ParseHeaderLine()
{
    std::string value;
    switch (MatchHttpHeaderLine(FRcvdLine, value)) {
    case THttpHeaderField::hfNone:
        break;
    case THttpHeaderField::hfContentType:
        FRequestContentType = value;
        break;
    case THttpHeaderField::hfContentLength:
        ParseHttpInteger(value, FRequestContentLength);
        break;
    case THttpHeaderField::hfAccept:
        FRequestAccept = value;
        break;
    case THttpHeaderField::hfReferer:
        FRequestReferer = value;
        break;
    case THttpHeaderField::hfAcceptLanguage:
        FRequestAcceptLanguage = value;
        break;
    case THttpHeaderField::hfAcceptEncoding:
        FRequestAcceptEncoding = value;
        break;
    case THttpHeaderField::hfUserAgent:
        FRequestUserAgent = value;
        break;
    case THttpHeaderField::hfHost:
        FRequestHost = value;
        break;
    case THttpHeaderField::hfConnection:
        FRequestConnection = value;
        break;
    case THttpHeaderField::hfAuthorization:
        FRequestAuthorization = value;
        break;
    }
}

void THttpConnection::FinishAnswer()
{
    FState = hcRequestLine;
    // What the client sent while it was answered is not a request.
    char scratch[4096];
    while (GetBufferedCount() > 0 && Receive(scratch, sizeof scratch) > 0) {
    }
    SetLineMode(true);
    if (!IsKeepAlive(FRequestConnection) || FPeerShutdown) {
        // Input left unread would turn the close into a reset that can cost
        // the client the end of the answer: what has come is taken first.
        char sink[16384];
        for (int left = ClosingDrainLimit; left > 0 && GetHSocket() != INVALID_SOCKET;) {
            const int n = WSocket_recv(GetHSocket(), sink, sizeof sink, 0);
            if (n <= 0)
                break;
            left -= n;
        }
        CloseLater();
    } else
        StartIdleTimer();
}

void THttpConnection::WndProc(TMessage& MsgRec)
{
    FDiscardBudget = DiscardPerNotification;
    try {
        WORD ev = WSAGETSELECTEVENT(MsgRec.LParam);
        if (MsgRec.Msg == WM_ANSWER_DONE) {
            FinishAnswer();
        } else if (MsgRec.Msg == WM_TIMER && MsgRec.WParam == IdleTimerId) {
            StopIdleTimer();
            if (FState != hcRequestDone && !FDropping) {
                DropConnection();
            } else if (!FDropping && AnswerInProgress()) {
                // The client has not taken any of the answer for the whole
                // wait: give up on it.
                FDocStream.reset();
                Abort();
            }
        } else if (MsgRec.Msg == WM_SOCKET_NOTIFY && (ev & FD_CLOSE) && WSAGETSELECTERROR(MsgRec.LParam) == 0 &&
                   static_cast<SOCKET>(MsgRec.WParam) == GetHSocket()) {
            // The client has shut down its sending side only: an answer on
            // its way is finished first, and the connection closes after it.
            // A reset still closes at once.
            if (ev != FD_CLOSE) {
                MsgRec.LParam = WSAMAKESELECTREPLY(ev & ~FD_CLOSE, 0);
                TWSocketClient::WndProc(MsgRec);
                if (static_cast<SOCKET>(MsgRec.WParam) != GetHSocket())
                    return;
            }
            if (AnswerInProgress()) {
                FPeerShutdown = true;
                return;
            }
            MsgRec.LParam = WSAMAKESELECTREPLY(FD_CLOSE, 0);
            TWSocketClient::WndProc(MsgRec);
        } else {
            TWSocketClient::WndProc(MsgRec);
        }
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

// ---------------------------------------------------------------------------
// THttpConnection: answering

void THttpConnection::FireGetDocument(THttpGetFlag& Flags)
{
    if (OnGetDocument)
        OnGetDocument(this, Flags);
}

void THttpConnection::FireHeadDocument(THttpGetFlag& Flags)
{
    if (OnHeadDocument)
        OnHeadDocument(this, Flags);
}

void THttpConnection::FirePostDocument(THttpGetFlag& Flags)
{
    if (OnPostDocument)
        OnPostDocument(this, Flags);
}

bool THttpConnection::Authorized()
{
    if (!FAuth)
        return true;
    const THttpAuthVerdict v = FAuth->Check(GetPeerAddr(), FRequestAuthorization, GetTickCount());
    if (v == avPass)
        return true;
    SendStr(HttpRefusal(FVersion, v == avTooMany, FMethod != "HEAD"));
    CloseLater();
    return false;
}

void THttpConnection::DispatchRequest()
{
    // Nothing of a request without the credentials reaches a handler.
    if (!Authorized())
        return;
    // A path that is empty or climbs out of the document directory is
    // never mapped.
    if (!IsSafeHttpPath(FPath)) {
        SendNotFound(FMethod != "HEAD");
        CloseLater();
        return;
    }
    FDocument = MapHttpDocument(FDocDir, FPath, FDefaultDoc);
    FMappedDocument = FDocument;
    if (FMethod == "GET")
        ServeGet();
    else if (FMethod == "POST")
        ServePost();
    else if (FMethod == "HEAD")
        ServeHead();
    else {
        SendNotFound();
        CloseLater();
    }
}

std::unique_ptr<TFileStream> THttpConnection::OpenDocument()
{
    // Regular files only: a FIFO or a device never ends or blocks.
    auto open = [this] { return std::make_unique<TFileStream>(FDocument, fmOpenRead | fmShareDenyWrite, true); };
    // The mapped path must not lead outside DocDir through a link; a
    // document chosen by the handler is the handler's business.
    if (FDocument != FMappedDocument)
        return open();
    if (FResolvedDocDir.empty())
        FResolvedDocDir = ResolveDocDir(FDocDir);
    if (FDocCheck)
        return FDocCheck->OpenInside(FResolvedDocDir, FDocument, open, GetTickCount());
    return DocumentInsideResolvedDir(FResolvedDocDir, FDocument) ? open() : nullptr;
}

void THttpConnection::ServeGet()
{
    THttpGetFlag flags = gfSendFile;
    FireGetDocument(flags);
    ServeDocument(flags, true);
}

void THttpConnection::ServeHead()
{
    THttpGetFlag flags = gfSendFile;
    FireHeadDocument(flags);
    ServeDocument(flags, false);
}

void THttpConnection::ServeDocument(THttpGetFlag Flags, bool WithBody)
{
    switch (Flags) {
    case gfSendFile:
        SendFileHeader(WithBody);
        break;
    case gfSendStream:
        FBodyLeft = -1;
        StartBodyTransfer();
        break;
    case gfHandled:
        break;
    case gfNotFound:
        SendNotFound(WithBody);
        CloseLater();
        break;
    default:
        CloseLater();
        break;
    }
}

void THttpConnection::ServePost()
{
    THttpGetFlag flags = gfNotFound;
    FirePostDocument(flags);
    if (flags == gfNotFound) {
        SendNotFound();
        CloseLater();
    } else if (flags == gfAcceptData) {
        FAcceptPostedData = true;
    }
}

void THttpConnection::SendNotFound(bool WithBody)
{
    std::string body = HttpNotFoundBody(FPath);
    std::string header = HttpNotFoundHeader(FVersion, body.size());
    header.insert(header.size() - 2, HttpCloseField(FVersion));
    SendStr(WithBody ? header + body : header);
}

void THttpConnection::SendFileHeader(bool WithBody)
{
    FDocContentType = ContentTypeFromExt(FDocument);
    FDocStream.reset();
    int64_t size = 0;
    try {
        if (auto file = OpenDocument()) {
            size = file->OpenedSize();
            FDocStream = std::move(file);
        }
    } catch (const EStreamError&) {
        // Exists but cannot be opened: answer instead of leaving the
        // client waiting.
    }
    if (!FDocStream) {
        SendNotFound(WithBody);
        CloseLater();
        return;
    }
    // Exactly the announced length is sent, whatever the file does.
    FBodyLeft = WithBody ? size : 0;
    if (!WithBody)
        FDocStream->Seek(0, soFromEnd);
    OnDataSent = [this](TObject* Sender, WORD Error) { SendNextChunk(Sender, Error); };
    SetCorked(true);
    StartIdleTimer();
    std::string header = HttpFileHeader(FVersion, FDocContentType, size);
    header.insert(header.size() - 2, FExtraHeader);
    // The sending side is shut down after every file answer, so even a
    // Keep-Alive request gets no second answer on this connection.
    header.insert(header.size() - 2, HttpCloseField(FVersion));
    if (!WithBody) {
        SendStr(header);
        return;
    }
    // The header leaves with the first pieces of the body.
    AppendStrToSendBuffer(header);
    StartBodyTransfer();
}

void THttpConnection::StartBodyTransfer()
{
    if (!FDocStream) {
        CloseLater();
        return;
    }
    if (!FDocBuf)
        FDocBuf = std::make_unique_for_overwrite<char[]>(DocReadAhead);
    FDocPos = FDocLen = 0;
    OnDataSent = [this](TObject* Sender, WORD Error) { SendNextChunk(Sender, Error); };
    SetCorked(true);
    StartIdleTimer();
    SendNextChunk(this, 0);
}

void THttpConnection::SendNextChunk(TObject*, WORD)
{
    // The pieces are cut from a larger read of the file and leave together
    // while the socket takes them; the rest follows the completion.
    for (int32_t budget = PiecesPerTurn * FBufSize; budget > 0;) {
        if (!FDocStream || GetState() != wsConnected)
            return;
        if (FDocPos >= FDocLen && !ReadDocAhead()) {
            // The header of an empty body leaves before the end.
            if (BufferedByteCount() > 0)
                Send(nullptr, 0);
            else
                EndBody();
            return;
        }
        const int32_t len = std::min(FDocLen - FDocPos, budget);
        StartIdleTimer();
        // The cork holds the tail back until the shutdown or close at the
        // end of the body, which sends it with the FIN.
        const int n = SendPieces(FDocBuf.get() + FDocPos, len, true);
        if (n <= 0)
            return;
        FDocPos += n;
        budget -= n;
        if (!GetAllSent())
            return;
    }
}

bool THttpConnection::ReadDocAhead()
{
    if (!FDocStream)
        return false;
    if (!FDocBuf)
        FDocBuf = std::make_unique_for_overwrite<char[]>(DocReadAhead);
    int32_t want = DocReadAhead;
    if (FBodyLeft >= 0 && FBodyLeft < want)
        want = static_cast<int32_t>(FBodyLeft);
    FDocPos = FDocLen = 0;
    const int32_t n = want > 0 ? FDocStream->Read(FDocBuf.get(), want) : 0;
    if (n <= 0)
        return false;
    FDocLen = n;
    if (FBodyLeft > 0)
        FBodyLeft -= n;
    return true;
}

void THttpConnection::EndBody()
{
    // End of the body, or a read error: the answer is over.
    FDocStream.reset();
    FDocBuf.reset();
    FDocPos = FDocLen = 0;
    StopIdleTimer();
    if (FBodyLeft > 0) {
        // The file ended before the announced length; only the close can
        // tell the client.
        SetCorked(false);
        CloseLater();
        return;
    }
    // The FIN takes along what the cork holds.
    Shutdown(1);
    Sleep(0);
    PostMessage(GetHandle(), WM_ANSWER_DONE, 0, 0);
}

void THttpConnection::EndAnswer()
{
    if (FEndingAnswer)
        return;
    FEndingAnswer = true;
    auto finish = [this] {
        if (BufferedByteCount() > 0)
            return;
        StopIdleTimer();
        Shutdown(1);
        CloseLater();
    };
    OnDataSent = [finish](TObject*, WORD) { finish(); };
    StartIdleTimer();
    finish();
}

// ---------------------------------------------------------------------------
// THttpServer

THttpServer::THttpServer(TComponent* AOwner) : TComponent(AOwner)
{
    FWSocketServer = std::make_unique<TWSocketServer>(this);
}

THttpServer::~THttpServer()
{
    if (FWSocketServer) {
        // Nothing reaches the application while the server goes away.
        FWSocketServer->OnSessionClosed = nullptr;
        FWSocketServer->OnChangeState = nullptr;
        FWSocketServer->OnClientDisconnect = nullptr;
        FWSocketServer.reset();
    }
}

void THttpServer::Notification(TComponent* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    // The listening socket destroyed by someone else is forgotten.
    if (Operation == opRemove && FWSocketServer && AComponent == FWSocketServer.get())
        static_cast<void>(FWSocketServer.release());
}

void THttpServer::Start()
{
    if (!FWSocketServer)
        FWSocketServer = std::make_unique<TWSocketServer>(this);
    TWSocketServer* ls = FWSocketServer.get();
    if (ls->GetState() == wsListening)
        return;
    ls->SetClientClass(FClientClass);
    ls->OnClientCreate = [this](TObject*, TWSocketClient* Client) {
        Client->SetLingerOnOff(FLingerOnOff);
        Client->SetLingerTimeout(FLingerTimeout);
    };
    ls->OnClientConnect = [this](TObject*, TWSocketClient* Client, WORD Error) {
        if (auto* conn = dynamic_cast<THttpConnection*>(Client))
            SetUpConnection(conn, Error);
    };
    ls->OnClientDisconnect = [this](TObject*, TWSocketClient* Client, WORD Error) {
        if (auto* conn = dynamic_cast<THttpConnection*>(Client))
            FireClientDisconnect(conn, Error);
    };
    ls->OnSessionClosed = [this](TObject*, WORD) { FireServerStopped(); };
    ls->OnChangeState = [this](TObject*, TSocketState, TSocketState NewState) {
        if (NewState == wsListening)
            FireServerStarted();
    };
    // A certificate that cannot be used stops the start: never plain
    // HTTP in its place.
    FTlsContext.reset();
    if (GetSecure())
        FTlsContext = std::make_unique<TTlsServerContext>(FCertFile, FKeyFile);
    ls->SetBanner("");
    ls->SetProto("tcp");
    ls->SetPort(FPort);
    ls->SetAddr(FAddr);
    ls->Listen();
}

void THttpServer::Stop()
{
    if (!FWSocketServer)
        return;
    FWSocketServer->Close();
    for (int i = FWSocketServer->ClientCount() - 1; i >= 0; --i) {
        try {
            if (TWSocketClient* c = FWSocketServer->ClientAt(i)) {
                // A long answer that can end cleanly is let end.
                auto* conn = dynamic_cast<THttpConnection*>(c);
                if (conn && conn->OnServerStop)
                    conn->OnServerStop(conn);
                else
                    c->Abort();
            }
        } catch (...) {
        }
    }
}

void THttpServer::SetPort(const std::string& Value)
{
    if (Value == FPort)
        return;
    FPort = Value;
    RestartIfListening();
}

void THttpServer::SetAddr(const std::string& Value)
{
    if (Value == FAddr)
        return;
    FAddr = Value;
    RestartIfListening();
}

void THttpServer::RestartIfListening()
{
    if (FWSocketServer && FWSocketServer->GetState() == wsListening) {
        FWSocketServer->Close();
        Start();
    }
}

void THttpServer::SetUpConnection(THttpConnection* Client, WORD Error)
{
    Client->SetLineMode(true);
    Client->SetLineEdit(false);
    Client->SetLineEnd("\n");
    Client->SetDocDir(FDocDir);
    // Resolved once per DocDir rather than once per request.
    if (FResolvedFor != FDocDir || FResolvedDocDir.empty()) {
        FResolvedDocDir = ResolveDocDir(FDocDir);
        FResolvedFor = FDocDir;
    }
    Client->SetResolvedDocDir(FResolvedDocDir);
    Client->SetDefaultDoc(FDefaultDoc);
    Client->SetAuth(FAuth);
    Client->SetDocCheck(FDocCheck);
    if (FTlsContext && Error == 0)
        Client->AcceptTls(*FTlsContext);
    Client->OnGetDocument = [this, Client](TObject*, THttpGetFlag& Flags) { FireGetDocument(Client, Flags); };
    Client->OnHeadDocument = [this, Client](TObject*, THttpGetFlag& Flags) { FireHeadDocument(Client, Flags); };
    Client->OnPostDocument = [this, Client](TObject*, THttpGetFlag& Flags) { FirePostDocument(Client, Flags); };
    Client->OnPostedData = [this, Client](TObject*, WORD E) { FirePostedData(Client, E); };
    FireClientConnect(Client, Error);
}

void THttpServer::FireServerStarted()
{
    if (OnServerStarted)
        OnServerStarted(this);
}

void THttpServer::FireServerStopped()
{
    if (OnServerStopped)
        OnServerStopped(this);
}

void THttpServer::FireClientConnect(THttpConnection* Client, WORD Error)
{
    if (OnClientConnect)
        OnClientConnect(this, Client, Error);
}

void THttpServer::FireClientDisconnect(THttpConnection* Client, WORD Error)
{
    if (OnClientDisconnect)
        OnClientDisconnect(this, Client, Error);
}

void THttpServer::FireGetDocument(THttpConnection* Client, THttpGetFlag& Flags)
{
    if (OnGetDocument)
        OnGetDocument(this, Client, Flags);
}

void THttpServer::FireHeadDocument(THttpConnection* Client, THttpGetFlag& Flags)
{
    if (OnHeadDocument)
        OnHeadDocument(this, Client, Flags);
}

void THttpServer::FirePostDocument(THttpConnection* Client, THttpGetFlag& Flags)
{
    if (OnPostDocument)
        OnPostDocument(this, Client, Flags);
}

void THttpServer::FirePostedData(THttpConnection* Client, WORD Error)
{
    if (OnPostedData)
        OnPostedData(this, Client, Error);
}
