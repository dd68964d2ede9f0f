// The FTP client: TCustomFtpCli runs one session over a control and a data
// connection, driven by socket events and its own posted messages;
// TFtpClient adds blocking calls that pump the message queue while they
// wait.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/FileStream.h"

// Private messages of the client's hidden window.
constexpr UINT WM_FTP_REQUEST_DONE = WM_USER + 1;
constexpr UINT WM_FTP_SENDDATA = WM_USER + 2;

class FtpException : public Exception {
public:
    using Exception::Exception;
};

enum TFtpConnectionType : uint8_t { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };
enum TFtpOption : uint8_t { ftpAcceptLF, ftpNoAutoResumeAt };
using TFtpOptions = std::set<TFtpOption>;
enum TFtpShareMode : uint8_t {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone
};
enum TFtpClientState : uint8_t {
    ftpStateNotConnected,
    ftpStateReady,
    ftpStateInternalReady,
    ftpStateDnsLookup,
    ftpStateConnected,
    ftpStateAbort,
    ftpStateWaitingBanner,
    ftpStateWaitingResponse
};

enum TFtpRequest : uint8_t {
    ftpReqNone = 0,
    ftpReqOpen = 1,
    ftpReqUser = 2,
    ftpReqPass = 3,
    ftpReqCwd = 4,
    ftpReqConnect = 5,
    ftpReqReceive = 6,
    ftpReqDir = 7,
    ftpReqLs = 8,
    ftpReqPort = 9,
    ftpReqGet = 10,
    ftpReqDirectory = 11,
    ftpReqNameList = 12,
    ftpReqSystem = 13,
    ftpReqSyst = 14,
    ftpReqQuit = 15,
    ftpReqSize = 16,
    ftpReqPut = 17,
    ftpReqAppend = 18,
    ftpReqMkd = 21,
    ftpReqRmd = 22,
    ftpReqRename = 23,
    ftpReqDele = 24,
    ftpReqRen = 25,
    ftpReqRenTo = 26,
    ftpReqRenFrom = 27,
    ftpReqDelete = 28,
    ftpReqMkdir = 29,
    ftpReqRmdir = 30,
    ftpReqPwd = 31,
    ftpReqQuote = 32,
    ftpReqCDup = 33,
    ftpReqDoQuote = 34,
    ftpReqTransmit = 35,
    ftpReqTypeSet = 36,
    ftpReqRest = 37,
    ftpReqRestGet = 38,
    ftpReqRestartGet = 39,
    ftpReqRestPut = 40,
    ftpReqRestartPut = 41
};

// Steps of a sequence; the value is the step's bit in TFtpStepSet.
enum TFtpStep : uint8_t {
    ftpStepNone = 0,
    ftpStepOpen = 1,
    ftpStepUser = 2,
    ftpStepPass = 3,
    ftpStepCwd = 4,
    ftpStepSize = 5,
    ftpStepMkd = 6,
    ftpStepRmd = 7,
    ftpStepRenFrom = 8,
    ftpStepRenTo = 9,
    ftpStepGet = 10,
    ftpStepDir = 11,
    ftpStepQuit = 12,
    ftpStepSyst = 13,
    ftpStepDele = 14,
    ftpStepPwd = 15,
    ftpStepQuote = 16,
    ftpStepPut = 17,
    ftpStepTypeSet = 18,
    ftpStepRest = 19,
    ftpStepCDup = 20,
    ftpStepLs = 21,
    ftpStepAppend = 22,
    ftpStepPort = 23
};
using TFtpStepSet = uint32_t;
constexpr TFtpStepSet FtpSteps(std::initializer_list<TFtpStep> Steps)
{
    TFtpStepSet s = 0;
    for (TFtpStep st : Steps)
        s |= TFtpStepSet(1) << st;
    return s;
}

using TFtpDisplay = std::function<void(TObject* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TObject* Sender, std::string& Cmd)>;
using TFtpRequestDone = std::function<void(TObject* Sender, TFtpRequest RqType, WORD Error)>;
using TFtpProgress = std::function<void(TObject* Sender, int Count, bool& Abort)>;
using TFtpReadyToTransmit = std::function<void(TObject* Sender, bool& bCancel)>;

// The class name of an exception, for the texts that report it.
std::string ExceptionClassName(const std::exception& E);

class TCustomFtpCli;
// An operation of the client, as RunSync takes it.
using TFtpOperation = void (TCustomFtpCli::*)();

class TCustomFtpCli : public TComponent {
public:
    // Longest reply text kept while a line is assembled.
    static constexpr int ReceiveBufferSize = 4096;
    static constexpr int SendBlockSize = 1514;
    static constexpr int ReceiveBlockSize = 65536;
    // The local file is read this much at a time, the pieces are cut from
    // it; one turn sends the pieces of one read, this many at most, while
    // the socket takes them at once.
    static constexpr int FileReadAhead = 65536;
    static constexpr int PiecesPerTurn = 44;

    explicit TCustomFtpCli(TComponent* AOwner);
    ~TCustomFtpCli() override;

    // Published properties.
    const std::string& GetHostName() const { return FHostName; }
    void SetHostName(const std::string& Value) { FHostName = Value; }
    const std::string& GetPort() const { return FPort; }
    void SetPort(const std::string& Value) { FPort = Value; }
    TFtpConnectionType GetConnectionType() const { return static_cast<TFtpConnectionType>(FProxyKind); }
    void SetConnectionType(TFtpConnectionType Value);
    const std::string& GetProxyServer() const { return FProxyServer; }
    void SetProxyServer(const std::string& Value) { FProxyServer = Value; }
    std::string GetSocksServer() const;
    void SetSocksServer(const std::string& Value);
    std::string GetSocksPort() const;
    void SetSocksPort(const std::string& Value);
    std::string GetSocksUserCode() const;
    void SetSocksUserCode(const std::string& Value);
    std::string GetSocksPassword() const;
    void SetSocksPassword(const std::string& Value);
    const TFtpOptions& GetOptions() const { return FOptions; }
    void SetOptions(const TFtpOptions& Value) { FOptions = Value; }
    const std::string& GetErrorMessage() const { return FErrorMessage; }
    const std::string& GetUserName() const { return FUserName; }
    void SetUserName(const std::string& Value) { FUserName = Value; }
    const std::string& GetPassWord() const { return FPassWord; }
    void SetPassWord(const std::string& Value) { FPassWord = Value; }
    const std::string& GetHostDirName() const { return FHostDirName; }
    void SetHostDirName(const std::string& Value) { FHostDirName = Value; }
    const std::string& GetHostFileName() const { return FHostFileName; }
    void SetHostFileName(const std::string& Value) { FHostFileName = Value; }
    const std::string& GetLocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& Value) { FLocalFileName = Value; }
    bool GetDisplayFileFlag() const { return FDisplayFileFlag; }
    void SetDisplayFileFlag(bool Value) { FDisplayFileFlag = Value; }
    bool GetBinary() const { return FType == 'I'; }
    void SetBinary(bool Value) { FType = Value ? 'I' : 'A'; }
    TFtpShareMode GetShareMode() const;
    void SetShareMode(TFtpShareMode Value);
    // Explicit FTP over TLS: AUTH TLS after the greeting, PBSZ 0 and PROT P
    // after the login, every data connection in TLS resuming the control
    // connection's session. Never falls back to plain FTP.
    bool GetTls() const { return FTls; }
    void SetTls(bool Value) { FTls = Value; }
    // The accepted server certificate's SHA-256 fingerprint (hex, colons
    // allowed); empty verifies against the system's CA store instead.
    const std::string& GetTlsFingerprint() const { return FTlsFingerprint; }
    void SetTlsFingerprint(const std::string& Value) { FTlsFingerprint = Value; }

    // Run-time state.
    TFtpClientState GetState() const { return FState; }
    bool GetConnected() const { return FConnected; }
    TFtpRequest GetRequestType() const { return FRequestType; }
    int GetRequestResult() const { return FRequestResult; }
    int GetStatusCode() const { return FStatusCode; }
    const std::string& GetLastResponse() const { return FLastResponse; }
    const std::string& GetDnsResult() const { return FDnsResult; }
    int GetSizeResult() const { return FSizeResult; }
    const std::string& GetDirResult() const { return FDirResult; }
    int GetByteCount() const { return FByteCount; }
    int GetResumeAt() const { return FResumeAt; }
    void SetResumeAt(int Value) { FResumeAt = Value; }
    bool GetPassive() const { return FPassive; }
    // Passive data connections on a direct connection too (the proxy and
    // SOCKS types switch it on themselves).
    void SetPassive(bool Value) { FPassive = Value; }
    const std::string& GetPasvResponse() const { return FPasvResponse; }
    TFtpStep GetCurrentStep() const { return FCurrentStep; }
    HWND GetWindowHandle() const { return FWindowHandle; }
    // The two owned sockets; null once destroyed elsewhere.
    TWSocket* GetControlSocket() const { return FControlSocket.get(); }
    TWSocket* GetDataSocket() const { return FDataSocket.get(); }

    // Events.
    TFtpDisplay OnDisplay;
    TFtpDisplay OnDisplayFile;
    TFtpDisplay OnError;
    TFtpCommand OnCommand;
    TNotifyEvent OnResponse;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TNotifyEvent OnStateChange;
    TFtpRequestDone OnRequestDone;
    TFtpProgress OnProgress;
    TFtpReadyToTransmit OnReadyToTransmit;
    TBgExceptionEvent OnBgException;

    // Operations; each starts a request and returns at once.
    virtual void OpenAsync();
    virtual void UserAsync();
    virtual void PassAsync();
    virtual void ConnectAsync();
    virtual void QuitAsync();
    virtual void Abort();
    virtual void GetAsync();
    virtual void RetrAsync();
    virtual void ReceiveAsync();
    virtual void PutAsync();
    virtual void StorAsync();
    virtual void TransmitAsync();
    virtual void AppendAsync();
    virtual void AppeAsync();
    virtual void AppendFileAsync();
    virtual void ListAsync();
    virtual void DirAsync();
    virtual void NlstAsync();
    virtual void LsAsync();
    virtual void TypeSetAsync();
    virtual void TypeBinaryAsync();
    virtual void TypeAsciiAsync();
    virtual void PwdAsync();
    virtual void CwdAsync();
    virtual void CDupAsync();
    virtual void DirectoryAsync();
    virtual void NameListAsync();
    virtual void SystAsync();
    virtual void SystemAsync();
    virtual void SizeAsync();
    virtual void FileSizeAsync();
    virtual void MkdAsync();
    virtual void MkdirAsync();
    virtual void RmdAsync();
    virtual void RmdirAsync();
    virtual void DeleAsync();
    virtual void DeleteAsync();
    virtual void RenFromAsync();
    virtual void RenToAsync();
    virtual void RenAsync();
    virtual void RenameAsync();
    virtual void QuoteAsync();
    virtual void DoQuoteAsync();
    virtual void RestAsync();
    virtual void RestGetAsync();
    virtual void RestartGetAsync();
    virtual void RestPutAsync();
    virtual void RestartPutAsync();
    virtual void PortAsync();

    virtual void SendCommand(const std::string& Cmd);

protected:
    using TFtpNextProc = void (TCustomFtpCli::*)();

    virtual void TriggerDisplay(const std::string& Msg);
    virtual void TriggerReadyToTransmit(bool& bCancel);
    virtual void TriggerDisplayFile(const std::string& Msg);
    virtual void TriggerError(const std::string& Msg);
    virtual bool TriggerProgress();
    virtual void DisplayTransferStats();
    virtual void WindowProc(TMessage& MsgRec);
    virtual void HandleBackgroundException(Exception& E);
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Reply engine.
    void DisplayLastResponse();
    void HandleError(const std::string& Msg);
    bool CheckReady();
    void SetState(TFtpClientState NewState);
    void SetErrorMessage();
    void StartCommand(TFtpRequest RqType, const std::string& Cmd, std::initializer_list<int> OkCodes,
                      TFtpNextProc DoneAction = nullptr);
    void CheckCommandReply();
    void ParseReplyValue();
    void FinishRequest(WORD Error);
    void CloseLocalFile();
    void ControlDnsLookupDone(TObject* Sender, WORD Error);
    void ControlSessionConnected(TObject* Sender, WORD Error);
    void ControlDataAvailable(TObject* Sender, WORD Error);
    void ControlSessionClosed(TObject* Sender, WORD Error);
    // Ends the request with a failure that no reply gave: Text becomes the
    // last response and, if none is set yet, the error message.
    void FailRequest(int Code, const std::string& Text);
    // The same for a transfer, closing the data connection first.
    void FailTransfer(int Code, const std::string& Text);
    // Passive mode: connects the data socket to the server's port, with
    // Connected taking the result. False when the connect failed at once:
    // the request has then failed with Code.
    bool ConnectPassiveData(TSessionConnected Connected, int Code);
    // The server refused a transfer at its final reply: the request fails
    // with the reply's code, Display telling which.
    void FailTransferReply(const char* Display);
    // The server refused a transfer at its first reply: the request fails
    // with the reply's code.
    void RefuseTransfer();

    // Sequences.
    void StartSequence(TFtpRequest RqType, TFtpStepSet Steps);
    void NextSequenceStep();
    void DoQuitClose();

    // Data connection and transfers.
    void StartUpload();
    void StartDownload(TFtpRequest RqType, const char* Command);
    bool ReadPassivePort();
    // Refills the read-ahead of an upload; false at the file's end (which
    // ends the data connection) or on a read error.
    bool ReadFileAhead();
    // Gives a closed socket the proxy of the SOCKS connection types, or
    // none: a socket forgets its proxy whenever it closes.
    void ApplySocks(TWSocket* Socket);
    // Takes the server's data connection off the listening socket, which
    // is then closed; INVALID_SOCKET (still listening) for any other peer.
    SOCKET AcceptDataConnection();
    void DataAcceptForGet(TObject* Sender, WORD Error);
    void DataConnectedForGet(TObject* Sender, WORD Error);
    void DataReceived(TObject* Sender, WORD Error);
    void DataClosedForGet(TObject* Sender, WORD Error);
    void DataAcceptForPut(TObject* Sender, WORD Error);
    void DataConnectedForPut(TObject* Sender, WORD Error);
    void DataSentForPut(TObject* Sender, WORD Error);
    void DataDiscard(TObject* Sender, WORD Error);
    void DataClosedForPut(TObject* Sender, WORD Error);
    void SendUploadCommand();
    void StorFirstReply();
    void StorFinalReply();
    void RetrFirstReply();
    void RetrFinalReply();
    void CheckPutDone();
    void CheckGetDone();
    void StartSending();
    // Starts a transfer's end when both the data close and the final reply
    // have been seen.
    void FinishTransfer();

    // TLS.
    void StartAuthTls();
    void AuthTlsReply();
    void ControlTlsDone(WORD Error);
    // Ends the opening of the session with Text; the connection is closed.
    void TlsOpenFailed(const std::string& Text);
    bool TlsProtectionDue(TFtpStep Previous) const;
    void StartTlsProtection();
    void PbszReply();
    void ProtReply();
    // Starts TLS on the data connection just made.
    void StartDataTls();

    // Shared state.
    HWND FWindowHandle = nullptr;
    std::unique_ptr<TWSocket> FControlSocket;
    std::unique_ptr<TWSocket> FDataSocket;
    TFtpClientState FState = ftpStateReady;
    bool FConnected = false;
    TFtpRequest FRequestType = ftpReqNone;
    int32_t FRequestResult = 0;
    int32_t FStatusCode = 0;
    std::string FLastResponse;
    std::string FErrorMessage;
    std::string FDnsResult;
    char FReceiveBuffer[ReceiveBufferSize] = {};
    int32_t FReceiveLen = 0;
    int32_t FOkCodes[16] = {};
    TFtpNextProc FNext = nullptr;
    TFtpNextProc FDoneAction = nullptr;
    TFtpNextProc FNextStep = nullptr;
    bool FRequestDoneFlag = false;
    bool FSequenceFlag = false;
    std::string FSavedResponse;
    int32_t FSavedStatusCode = -1;
    TFtpStep FCurrentStep = ftpStepNone;
    TFtpStepSet FStepSet = 0;
    int32_t FSequenceResult = 0;
    int32_t FSizeResult = 0;
    std::string FDirResult;
    bool FPassive = false;
    std::string FPasvResponse;
    uint8_t FProxyKind = ftpDirect;

    std::string FHostName;
    std::string FPort = "ftp";
    std::string FProxyServer;
    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksError;
    TFtpOptions FOptions{ftpAcceptLF};
    std::string FUserName;
    std::string FPassWord;
    std::string FHostDirName;
    std::string FHostFileName;
    std::string FLocalFileName;
    bool FDisplayFileFlag = false;
    char FType = 'I';
    uint16_t FShareMode = fmShareExclusive;

    // Transfer state.
    std::unique_ptr<TFileStream> FLocalStream;
    int32_t FByteCount = 0;
    int32_t FResumeAt = 0;
    DWORD FStartTime = 0;
    DWORD FStopTime = 0;
    bool FAppendMode = false;
    std::string FDataCommand;
    bool FTransferReplyDone = false;
    bool FDataClosed = false;
    WORD FDataCloseError = 0;
    bool FTransferAccepted = false;
    bool FDataReady = false;
    bool FEndOfFile = false;
    bool FBlockInFlight = false;
    // The server connected to the listening data socket before the
    // transfer command was sent.
    bool FDataAcceptPending = false;
    // A local file failure of the running transfer ("Error reading file").
    std::string FLocalError;
    std::vector<char> FFileBlock;  // read ahead of the pieces sent
    int FFilePos = 0, FFileLen = 0;
    std::vector<char> FReceiveBlock;
    // The control connection is being closed after the reply to QUIT.
    bool FClosingAfterQuit = false;
    // Errors reported through HandleError so far.
    unsigned FErrorCount = 0;
    std::string FLastErrorText;
    bool FTls = false;
    std::string FTlsFingerprint;
    // PBSZ 0 and PROT P were accepted in this session.
    bool FTlsProtected = false;

private:
    static LRESULT FtpWindowProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    void InstallControlHandlers();
};

class TFtpClient : public TCustomFtpCli {
public:
    explicit TFtpClient(TComponent* AOwner);

    // Seconds a blocking call may wait; 0 or less waits without limit.
    int GetTimeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    bool GetMultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }

    // Blocking calls: true when the request succeeded.
    bool Connect();
    bool Cwd();
    bool TypeBinary();
    bool Put();
    bool Quit();

    virtual bool RunSync(TFtpOperation Operation);
    virtual bool WaitForReady();

protected:
    bool TriggerProgress() override;

    int FTimeout = 15;
    bool FMultiThreaded = false;
    DWORD FTimeStop = 0;
};
