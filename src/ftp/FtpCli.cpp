// TCustomFtpCli: construction, properties, the control connection and the
// command/reply engine.
#include "ftp/FtpCli.h"

#include <cctype>
#include <cstring>

namespace {

// Skips blanks and reads an optionally signed decimal number; P is left
// on the first character after the digits.
int ReadNumber(const char*& P)
{
    while (*P == ' ' || *P == '\t' || *P == '\r' || *P == '\n')
        ++P;
    bool neg = false;
    if (*P == '+' || *P == '-') {
        neg = *P == '-';
        ++P;
    }
    long long v = 0;
    while (*P >= '0' && *P <= '9') {
        if (v < 0x7FFFFFFF)
            v = v * 10 + (*P - '0');
        ++P;
    }
    if (v > 0x7FFFFFFF)
        v = 0x7FFFFFFF;
    return static_cast<int>(neg ? -v : v);
}

// True for a final reply line: it starts with a digit and the leading
// number is not followed by a hyphen.
bool IsFinalReply(const std::string& Line, int& Code)
{
    if (Line.empty() || !std::isdigit(static_cast<unsigned char>(Line[0])))
        return false;
    const char* p = Line.c_str();
    Code = ReadNumber(p);
    return *p != '-';
}

} // namespace

std::string ExceptionClassName(const std::exception& E)
{
    if (dynamic_cast<const FtpException*>(&E))
        return "FtpException";
    if (dynamic_cast<const ESocketException*>(&E))
        return "ESocketException";
    if (dynamic_cast<const EFOpenError*>(&E))
        return "EFOpenError";
    if (dynamic_cast<const EFCreateError*>(&E))
        return "EFCreateError";
    if (dynamic_cast<const EStreamError*>(&E))
        return "EStreamError";
    return "Exception";
}

TCustomFtpCli::TCustomFtpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FWindowHandle = CreateWindowHandle(&FtpWindowProc, nullptr,
                                       reinterpret_cast<LONG_PTR>(static_cast<TObject*>(this)), "TFtpCliWindow");
    FControlSocket = std::make_unique<TWSocket>(this);
    InstallControlHandlers();
    FDataSocket = std::make_unique<TWSocket>(this);
}

TCustomFtpCli::~TCustomFtpCli()
{
    BeginDestroy();
    for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()}) {
        if (!s)
            continue;
        s->OnDnsLookupDone = nullptr;
        s->OnSessionConnected = nullptr;
        s->OnSessionAvailable = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnDataSent = nullptr;
        s->OnSessionClosed = nullptr;
    }
    FDataSocket.reset();
    FControlSocket.reset();
    CloseLocalFile();
    if (FWindowHandle)
        DestroyWindow(FWindowHandle);
}

void TCustomFtpCli::InstallControlHandlers()
{
    TWSocket* c = FControlSocket.get();
    c->OnDnsLookupDone = [this](TObject* S, WORD E) { ControlDnsLookupDone(S, E); };
    c->OnSessionConnected = [this](TObject* S, WORD E) { ControlSessionConnected(S, E); };
    c->OnDataAvailable = [this](TObject* S, WORD E) { ControlDataAvailable(S, E); };
    c->OnSessionClosed = [this](TObject* S, WORD E) { ControlSessionClosed(S, E); };
    // The proxy's own words for a failed connect.
    c->OnSocksError = [this](TObject*, int, const std::string& Msg) { FSocksError = Msg; };
}

void TCustomFtpCli::Notification(TComponent* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove)
        return;
    if (FControlSocket && AComponent == FControlSocket.get())
        static_cast<void>(FControlSocket.release());
    if (FDataSocket && AComponent == FDataSocket.get())
        static_cast<void>(FDataSocket.release());
}

// ---------------------------------------------------------------------------
// Hidden window.

LRESULT TCustomFtpCli::FtpWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* obj = reinterpret_cast<TObject*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    auto* ftp = obj ? dynamic_cast<TCustomFtpCli*>(obj) : nullptr;
    if (!ftp || (Msg != WM_FTP_REQUEST_DONE && Msg != WM_FTP_SENDDATA))
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    TMessage m;
    m.Msg = Msg;
    m.WParam = wParam;
    m.LParam = lParam;
    ftp->WindowProc(m);
    return m.Result;
}

void TCustomFtpCli::WindowProc(TMessage& MsgRec)
{
    try {
        switch (MsgRec.Msg) {
        case WM_FTP_REQUEST_DONE:
            if (OnRequestDone)
                OnRequestDone(this, FRequestType, static_cast<WORD>(MsgRec.LParam & 0xFFFF));
            break;
        case WM_FTP_SENDDATA:
            StartSending();
            break;
        default:
            MsgRec.Result = DefWindowProc(FWindowHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
            break;
        }
    } catch (Exception& E) {
        HandleBackgroundException(E);
    }
}

void TCustomFtpCli::HandleBackgroundException(Exception& E)
{
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// Properties.

void TCustomFtpCli::SetConnectionType(TFtpConnectionType Value)
{
    if (FConnected) {
        HandleError("FTP component connected");
        return;
    }
    FProxyKind = Value;
    for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()}) {
        if (!s)
            continue;
        switch (Value) {
        case ftpDirect:
        case ftpProxy:
            s->SetSocksAuthentication(socksNoAuthentication);
            break;
        case ftpSocks4:
        case ftpSocks4A:
        case ftpSocks5:
            s->SetSocksLevel(Value == ftpSocks4 ? "4" : Value == ftpSocks4A ? "4A" : "5");
            s->SetSocksAuthentication(socksAuthenticateUsercode);
            break;
        }
    }
    if (Value != ftpDirect)
        FPassive = true;
}

std::string TCustomFtpCli::GetSocksServer() const { return FSocksServer; }

void TCustomFtpCli::SetSocksServer(const std::string& Value)
{
    FSocksServer = Value;
    if (FControlSocket)
        FControlSocket->SetSocksServer(Value);
    if (FDataSocket)
        FDataSocket->SetSocksServer(Value);
}

std::string TCustomFtpCli::GetSocksPort() const { return FSocksPort; }

void TCustomFtpCli::SetSocksPort(const std::string& Value)
{
    FSocksPort = Value;
    if (FControlSocket)
        FControlSocket->SetSocksPort(Value);
    if (FDataSocket)
        FDataSocket->SetSocksPort(Value);
}

void TCustomFtpCli::ApplySocks(TWSocket* Socket)
{
    if (!Socket || Socket->GetState() != wsClosed)
        return;
    TFtpConnectionType kind = GetConnectionType();
    if (kind != ftpSocks4 && kind != ftpSocks4A && kind != ftpSocks5) {
        Socket->SetSocksServer("");
        return;
    }
    Socket->SetSocksServer(FSocksServer);
    Socket->SetSocksPort(FSocksPort);
    Socket->SetSocksLevel(kind == ftpSocks4 ? "4" : kind == ftpSocks4A ? "4A" : "5");
    Socket->SetSocksAuthentication(socksAuthenticateUsercode);
}

std::string TCustomFtpCli::GetSocksUserCode() const
{
    return FControlSocket ? FControlSocket->GetSocksUsercode() : std::string();
}

void TCustomFtpCli::SetSocksUserCode(const std::string& Value)
{
    if (FControlSocket)
        FControlSocket->SetSocksUsercode(Value);
    if (FDataSocket)
        FDataSocket->SetSocksUsercode(Value);
}

std::string TCustomFtpCli::GetSocksPassword() const
{
    return FControlSocket ? FControlSocket->GetSocksPassword() : std::string();
}

void TCustomFtpCli::SetSocksPassword(const std::string& Value)
{
    if (FControlSocket)
        FControlSocket->SetSocksPassword(Value);
    if (FDataSocket)
        FDataSocket->SetSocksPassword(Value);
}

TFtpShareMode TCustomFtpCli::GetShareMode() const
{
    switch (FShareMode) {
    case fmShareExclusive: return ftpShareExclusive;
    case fmShareDenyWrite: return ftpShareDenyWrite;
    case fmShareDenyRead: return ftpShareDenyRead;
    case fmShareDenyNone: return ftpShareDenyNone;
    default: return ftpShareCompat;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode Value)
{
    static constexpr uint16_t modes[] = {fmShareCompat, fmShareExclusive, fmShareDenyWrite, fmShareDenyRead,
                                         fmShareDenyNone};
    FShareMode = modes[Value <= ftpShareDenyNone ? Value : ftpShareExclusive];
}

// ---------------------------------------------------------------------------
// Events and errors.

void TCustomFtpCli::TriggerDisplay(const std::string& Msg)
{
    if (OnDisplay) {
        std::string m = Msg;
        OnDisplay(this, m);
    }
}

void TCustomFtpCli::TriggerDisplayFile(const std::string& Msg)
{
    if (OnDisplayFile) {
        std::string m = Msg;
        OnDisplayFile(this, m);
    }
}

void TCustomFtpCli::TriggerError(const std::string& Msg)
{
    if (OnError) {
        std::string m = Msg;
        OnError(this, m);
    }
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& bCancel)
{
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, bCancel);
}

void TCustomFtpCli::DisplayLastResponse() { TriggerDisplay("< " + FLastResponse); }

void TCustomFtpCli::HandleError(const std::string& Msg)
{
    ++FErrorCount;
    FLastErrorText = Msg;
    if (OnError)
        TriggerError(Msg);
    else
        throw FtpException(Msg);
}

bool TCustomFtpCli::CheckReady()
{
    if (FState == ftpStateReady || FState == ftpStateInternalReady)
        return true;
    HandleError("FTP component not ready");
    return false;
}

void TCustomFtpCli::SetState(TFtpClientState NewState)
{
    if (NewState == FState)
        return;
    FState = NewState;
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::SetErrorMessage()
{
    if (FErrorMessage.empty())
        FErrorMessage = FLastResponse;
}

void TCustomFtpCli::FailRequest(int Code, const std::string& Text)
{
    FLastResponse = Text;
    FStatusCode = Code;
    FRequestResult = Code;
    SetErrorMessage();
    FinishRequest(static_cast<WORD>(Code));
}

void TCustomFtpCli::CloseLocalFile() { FLocalStream.reset(); }

// ---------------------------------------------------------------------------
// Control connection.

void TCustomFtpCli::OpenAsync()
{
    if (!CheckReady())
        return;
    if (FConnected) {
        HandleError("FTP component already connected");
        return;
    }
    if (!FSequenceFlag)
        FRequestType = ftpReqOpen;
    FRequestDoneFlag = false;
    FReceiveLen = 0;
    FReceiveBuffer[0] = '\0';
    FRequestResult = 0;
    FDnsResult.clear();
    SetState(ftpStateDnsLookup);
    try {
        FControlSocket->DnsLookup(GetConnectionType() == ftpProxy ? FProxyServer : FHostName);
    } catch (const std::exception& E) {
        // An empty or unusable name: the request ends like a failed lookup.
        FailRequest(500, "500 " + ExceptionClassName(E) + ": " + E.what());
    }
}

void TCustomFtpCli::ControlDnsLookupDone(TObject*, WORD Error)
{
    if (Error != 0) {
        FLastResponse = "500 " + WinsockErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        FinishRequest(Error);
        return;
    }
    FDnsResult = FControlSocket->GetDnsResult();
    try {
        FControlSocket->SetAddr(FDnsResult);
        FControlSocket->SetProto("tcp");
        FControlSocket->SetPort(FPort);
        ApplySocks(FControlSocket.get());
        SetState(ftpStateWaitingBanner);
        FControlSocket->Connect();
    } catch (const std::exception& E) {
        FLastResponse = "500 " + ExceptionClassName(E) + ": " + E.what();
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        FinishRequest(500);
    }
}

void TCustomFtpCli::ControlSessionConnected(TObject*, WORD Error)
{
    if (Error != 0) {
        std::string text = FSocksError.empty() ? WinsockErrorText(Error) : FSocksError;
        FSocksError.clear();
        FLastResponse = "500 " + text + " (Winsock error #" + std::to_string(Error) + ")";
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        FNextStep = nullptr;
        FinishRequest(Error);
        if (FControlSocket->GetState() != wsClosed)
            FControlSocket->Close();
        SetState(ftpStateReady);
        return;
    }
    FConnected = true;
}

void TCustomFtpCli::SendCommand(const std::string& Cmd)
{
    std::string c = Cmd;
    if (OnCommand)
        OnCommand(this, c);
    TriggerDisplay("> " + c);
    if (FControlSocket && FControlSocket->GetState() == wsConnected)
        FControlSocket->SendStr(c + "\r\n");
}

void TCustomFtpCli::StartCommand(TFtpRequest RqType, const std::string& Cmd, std::initializer_list<int> OkCodes,
                                 TFtpNextProc DoneAction)
{
    if (!CheckReady())
        return;
    if (!FConnected) {
        HandleError("FTP component not connected");
        return;
    }
    if (!FSequenceFlag)
        FRequestType = RqType;
    int n = 0;
    for (int c : OkCodes) {
        if (n >= 15)
            break;
        FOkCodes[n++] = c;
    }
    FOkCodes[n] = 0;
    FRequestDoneFlag = false;
    FNext = &TCustomFtpCli::CheckCommandReply;
    FDoneAction = DoneAction;
    SetState(ftpStateWaitingResponse);
    SendCommand(Cmd);
}

void TCustomFtpCli::ControlDataAvailable(TObject*, WORD Error)
{
    TWSocket* sock = FControlSocket.get();
    // A reply line that fills the buffer can never end: the session is
    // broken, so it is closed and the request fails.
    auto lineTooLong = [&] {
        FLastResponse = "500 Reply line too long (more than " + std::to_string(ReceiveBufferSize - 1) +
                        " bytes without a line end)";
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        TriggerDisplay("! " + FLastResponse);
        FReceiveLen = 0;
        FReceiveBuffer[0] = '\0';
        sock->Close();
    };
    if (FReceiveLen >= ReceiveBufferSize - 1) {
        lineTooLong();
        return;
    }
    int n = sock->Receive(FReceiveBuffer + FReceiveLen, ReceiveBufferSize - 1 - FReceiveLen);
    if (n == 0) {
        sock->Close();
        return;
    }
    if (n < 0)
        return;
    FReceiveLen += n;
    FReceiveBuffer[FReceiveLen] = '\0';

    while (FReceiveLen > 0) {
        const bool acceptLF = FOptions.count(ftpAcceptLF) != 0;
        const char* end = nullptr;
        int endLen = 0;
        if (acceptLF) {
            end = static_cast<const char*>(std::memchr(FReceiveBuffer, '\n', static_cast<size_t>(FReceiveLen)));
            endLen = 1;
        } else {
            for (int i = 0; i + 1 < FReceiveLen; ++i)
                if (FReceiveBuffer[i] == '\r' && FReceiveBuffer[i + 1] == '\n') {
                    end = FReceiveBuffer + i;
                    break;
                }
            endLen = 2;
        }
        if (!end) {
            if (FReceiveLen >= ReceiveBufferSize - 1)
                lineTooLong();
            return;
        }
        int lineLen = static_cast<int>(end - FReceiveBuffer);
        FLastResponse.assign(FReceiveBuffer, static_cast<size_t>(lineLen));
        while (!FLastResponse.empty() && (FLastResponse.back() == '\r' || FLastResponse.back() == '\n'))
            FLastResponse.pop_back();
        if (OnResponse)
            OnResponse(this);
        int consumed = lineLen + endLen;
        FReceiveLen -= consumed;
        if (FReceiveLen < 0)
            FReceiveLen = 0;
        std::memmove(FReceiveBuffer, FReceiveBuffer + consumed, static_cast<size_t>(FReceiveLen));
        FReceiveBuffer[FReceiveLen] = '\0';

        int code = 0;
        switch (FState) {
        case ftpStateWaitingBanner:
            DisplayLastResponse();
            if (FLastResponse.empty() || !std::isdigit(static_cast<unsigned char>(FLastResponse[0])))
                continue;
            if (!IsFinalReply(FLastResponse, code)) {
                FStatusCode = code;
                continue;
            }
            FStatusCode = code;
            if (FStatusCode != 220) {
                SetErrorMessage();
                FRequestResult = FStatusCode;
                sock->Close();
                return;
            }
            if (FTls) {
                StartAuthTls();
                break;
            }
            SetState(ftpStateConnected);
            if (OnSessionConnected)
                OnSessionConnected(this, Error);
            FinishRequest(0);
            break;
        case ftpStateWaitingResponse:
            if (!IsFinalReply(FLastResponse, code))
                continue;
            FStatusCode = code;
            if (FNext)
                (this->*FNext)();
            else
                HandleError("Program error: FNext is nil");
            break;
        default:
            DisplayLastResponse();
            break;
        }
        // A handler may have closed the connection.
        if (!FControlSocket || FControlSocket->GetState() != wsConnected)
            return;
    }
}

void TCustomFtpCli::CheckCommandReply()
{
    DisplayLastResponse();
    int code = 0;
    if (!IsFinalReply(FLastResponse, code))
        return;
    bool ok;
    if (FOkCodes[0] == 0) {
        ok = FStatusCode < 500;
    } else {
        ok = false;
        for (int i = 0; i < 16 && FOkCodes[i] != 0; ++i)
            if (FOkCodes[i] == FStatusCode) {
                ok = true;
                break;
            }
    }
    if (ok) {
        FRequestResult = 0;
    } else {
        FRequestResult = FStatusCode;
        SetErrorMessage();
    }
    if (FPassive && (FStatusCode == 227 || FStatusCode == 229))
        FPasvResponse = FLastResponse;
    ParseReplyValue();
    if (FDoneAction)
        (this->*FDoneAction)();
    else
        FinishRequest(static_cast<WORD>(FRequestResult));
}

void TCustomFtpCli::ParseReplyValue()
{
    if (FRequestResult != 0)
        return;
    const char* p = FLastResponse.c_str();
    if (FCurrentStep == ftpStepSize) {
        ReadNumber(p);
        FSizeResult = ReadNumber(p);
    } else if (FCurrentStep == ftpStepCwd || FCurrentStep == ftpStepMkd || FCurrentStep == ftpStepPwd ||
               FCurrentStep == ftpStepCDup) {
        ReadNumber(p);
        while (*p == ' ' || *p == '\t')
            ++p;
        FDirResult.clear();
        if (*p != '"')
            return;
        ++p;
        while (*p) {
            if (*p == '"') {
                if (p[1] != '"')
                    break;
                ++p;
            }
            FDirResult += *p++;
        }
    }
}

void TCustomFtpCli::FinishRequest(WORD Error)
{
    if (FRequestDoneFlag)
        return;
    FRequestDoneFlag = true;
    if (Error == 0 && FNextStep) {
        if (FState != ftpStateAbort)
            SetState(ftpStateInternalReady);
        const unsigned errors = FErrorCount;
        bool failed = false;
        std::string failure;
        try {
            (this->*FNextStep)();
        } catch (const std::exception& E) {
            failed = true;
            failure = E.what();
        }
        if (!failed && FErrorCount != errors) {
            failed = true;
            failure = FLastErrorText;
        }
        // A step that could not start leaves the sequence waiting for
        // nothing: end it with the step's error.
        if (failed && FRequestDoneFlag && FState == ftpStateInternalReady) {
            FNextStep = nullptr;
            if (FErrorMessage.empty())
                FErrorMessage = failure;
            FRequestResult = 500;
            FRequestDoneFlag = false;
            FinishRequest(500);
        }
        return;
    }
    SetState(ftpStateReady);
    if (FDataSocket && FDataSocket->GetState() != wsClosed)
        FDataSocket->Close();
    if (FSequenceFlag && FSavedStatusCode >= 0) {
        FLastResponse = FSavedResponse;
        FStatusCode = FSavedStatusCode;
    }
    FSequenceFlag = false;
    FNextStep = nullptr;
    PostMessage(FWindowHandle, WM_FTP_REQUEST_DONE, 0, static_cast<LPARAM>(Error));
}

void TCustomFtpCli::ControlSessionClosed(TObject*, WORD Error)
{
    // A second notice for a session already closed and finished changes
    // nothing.
    if (!FConnected && FRequestDoneFlag && FState == ftpStateReady)
        return;
    // A server that hangs up while a greeting or a reply is awaited has
    // not done what was asked: the request fails (the close after QUIT is
    // the expected end).
    if ((FState == ftpStateWaitingBanner || FState == ftpStateWaitingResponse) && !FClosingAfterQuit &&
        FRequestResult == 0 && !FRequestDoneFlag) {
        FLastResponse = "421 Connection closed by the server";
        FStatusCode = 421;
        FRequestResult = 421;
        SetErrorMessage();
    }
    FClosingAfterQuit = false;
    if (FConnected) {
        FConnected = false;
        if (FState != ftpStateAbort)
            SetState(ftpStateNotConnected);
        if (OnSessionClosed)
            OnSessionClosed(this, Error);
    }
    if (FState != ftpStateAbort)
        SetState(ftpStateInternalReady);
    FinishRequest(static_cast<WORD>(FRequestResult));
}

void TCustomFtpCli::Abort()
{
    TFtpClientState old = FState;
    SetState(ftpStateAbort);
    CloseLocalFile();
    if (old == ftpStateDnsLookup && FControlSocket)
        FControlSocket->CancelDnsLookup();
    if (FControlSocket && FControlSocket->GetState() != wsClosed)
        FControlSocket->Close();
    if (FDataSocket && FDataSocket->GetState() != wsClosed)
        FDataSocket->Close();
    CloseLocalFile();
    FConnected = false;
    SetState(ftpStateReady);
}
