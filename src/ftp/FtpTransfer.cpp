// TCustomFtpCli: the data connection, uploads, downloads and progress.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "ftp/FtpCli.h"

namespace {

// The IPv4 address of a socket's peer, 0 when it has none.
uint32_t PeerAddress(SOCKET S)
{
    sockaddr_in a{};
    int len = sizeof a;
    if (S == INVALID_SOCKET || WSocket_getpeername(S, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return a.sin_addr.s_addr;
}

std::string DottedAddress(uint32_t NetAddr)
{
    in_addr ia;
    ia.s_addr = NetAddr;
    return WSocket_inet_ntoa(ia);
}

const char* const Digits = "0123456789";

// The port of the first h1,h2,h3,h4,p1,p2 group (six numbers 0-255) in a
// 227 reply, -1 without one.
int PasvPort(const std::string& Reply)
{
    for (size_t at = 3; (at = Reply.find_first_of(Digits, at)) != std::string::npos;) {
        int v[6];
        int n = 0;
        for (size_t p = at; n < 6;) {
            size_t end = std::min(Reply.find_first_not_of(Digits, p), Reply.size());
            if (end == p || end - p > 3 || (v[n] = std::atoi(Reply.c_str() + p)) > 255)
                break;
            if (++n < 6) {
                if (end >= Reply.size() || Reply[end] != ',')
                    break;
                p = end + 1;
            }
        }
        if (n == 6)
            return v[4] * 256 + v[5];
        at = Reply.find_first_not_of(Digits, at);
    }
    return -1;
}

// The port of a 229 reply's (|||port|), -1 without one.
int EpsvPort(const std::string& Reply)
{
    size_t open = Reply.find("(|||");
    if (open == std::string::npos)
        return -1;
    size_t end = Reply.find_first_not_of(Digits, open + 4);
    if (end == std::string::npos || end == open + 4 || end - open - 4 > 5 || Reply.compare(end, 2, "|)") != 0)
        return -1;
    int port = std::atoi(Reply.c_str() + open + 4);
    return port <= 65535 ? port : -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Preparing the data connection.

void TCustomFtpCli::PortAsync()
{
    const TFtpConnectionType kind = GetConnectionType();
    if (!FPassive && (kind == ftpSocks4 || kind == ftpSocks4A || kind == ftpSocks5)) {
        // The server's data connection cannot come in through the proxy,
        // and going around it is no choice either.
        FErrorMessage = "501 Active mode cannot go through the SOCKS proxy: use passive mode";
        FStatusCode = 501;
        FRequestResult = 501;
        TriggerDisplay("! " + FErrorMessage);
        FRequestDoneFlag = false;
        FinishRequest(501);
        return;
    }
    TWSocket* data = FDataSocket.get();
    data->OnSessionAvailable = nullptr;
    data->OnSessionClosed = nullptr;
    data->OnDataAvailable = nullptr;
    data->OnDataSent = nullptr;
    data->OnSessionConnected = nullptr;
    // A socket left listening by an earlier request starts afresh.
    if (data->GetState() != wsClosed)
        data->Close();
    data->SetProto("tcp");
    data->SetAddr("0.0.0.0");
    data->SetPort("0");
    ApplySocks(data);

    int p = 0;
    FDataAcceptPending = false;
    if (!FPassive) {
        // Some servers connect as soon as PORT is accepted, before the
        // transfer command: the connection waits for the transfer to take it.
        data->OnSessionAvailable = [this](TObject*, WORD) { FDataAcceptPending = true; };
        data->SetLingerOnOff(wsLingerOn);
        data->SetLingerTimeout(10);
        data->Listen();
        sockaddr_in sin{};
        int len = sizeof sin;
        if (data->GetSockName(sin, len) == 0)
            p = WSocket_ntohs(sin.sin_port);
    }
    sockaddr_in local{};
    int len = sizeof local;
    if (FControlSocket->GetState() == wsConnected)
        FControlSocket->GetSockName(local, len);
    const auto* a = reinterpret_cast<const uint8_t*>(&local.sin_addr.s_addr);

    char cmd[64];
    if (FPassive)
        std::snprintf(cmd, sizeof cmd, "PASV");
    else if (FControlSocket->GetAddr() == "127.0.0.1")
        std::snprintf(cmd, sizeof cmd, "PORT 127,0,0,1,%d,%d", p / 256, p % 256);
    else
        std::snprintf(cmd, sizeof cmd, "PORT %d,%d,%d,%d,%d,%d", a[0], a[1], a[2], a[3], p / 256, p % 256);
    FByteCount = 0;
    FCurrentStep = ftpStepPort;
    StartCommand(ftpReqPort, cmd, {200, 227, 229});
}

bool TCustomFtpCli::ReadPassivePort()
{
    // The address is never used: the data goes to the control connection's
    // host.
    const int port = FPasvResponse.compare(0, 3, "229") == 0 ? EpsvPort(FPasvResponse) : PasvPort(FPasvResponse);
    if (port <= 0)
        return false;
    FDataSocket->SetPort(std::to_string(port));
    FDataSocket->SetAddr(FControlSocket->GetAddr());
    return true;
}

SOCKET TCustomFtpCli::AcceptDataConnection()
{
    TWSocket* data = FDataSocket.get();
    SOCKET h = data->Accept();
    if (h == INVALID_SOCKET)
        return INVALID_SOCKET;
    // Only the server may deliver or take the file: anyone else is turned
    // away and the socket goes on listening.
    const uint32_t peer = PeerAddress(h);
    const uint32_t server = FControlSocket ? PeerAddress(FControlSocket->GetHSocket()) : 0;
    if (peer == 0 || peer != server) {
        WSocket_closesocket(h);
        TriggerDisplay("! Data connection from " + DottedAddress(peer) + " refused");
        return INVALID_SOCKET;
    }
    data->Close();
    return h;
}

// ---------------------------------------------------------------------------
// Progress and statistics.

bool TCustomFtpCli::TriggerProgress()
{
    bool abort = false;
    if (OnProgress)
        OnProgress(this, FByteCount + FResumeAt, abort);
    if (!abort)
        return true;
    TriggerDisplay("! Abort requested");
    // The server sees an ordinary end of data: the transfer must not count
    // as a success whatever it answers.
    if (FLocalError.empty())
        FLocalError = "426 Abort requested";
    if (FDataSocket && FDataSocket->GetState() != wsClosed)
        FDataSocket->Close();
    return false;
}

void TCustomFtpCli::DisplayTransferStats()
{
    FStopTime = GetTickCount();
    const uint32_t ms = FStopTime - FStartTime;
    std::string text = std::to_string(FByteCount) + " bytes received/sent in " + std::to_string(ms / 1000) + " seconds";
    if (FStopTime != FStartTime) {
        const uint32_t count = static_cast<uint32_t>(FByteCount);
        const uint32_t rate = count <= 32767 ? count * 1000 / ms : (count / ms) * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    TriggerDisplay("! " + text);
}

// ---------------------------------------------------------------------------
// Uploads.

void TCustomFtpCli::StorAsync()
{
    FAppendMode = false;
    FRequestType = ftpReqPut;
    StartUpload();
}

void TCustomFtpCli::AppeAsync()
{
    FAppendMode = true;
    FRequestType = ftpReqAppend;
    StartUpload();
}

void TCustomFtpCli::StartUpload()
{
    if (!FConnected) {
        HandleError("STOR/APPE: not connected");
        return;
    }
    if (FLocalFileName.empty()) {
        HandleError("LocalFileName empty");
        return;
    }
    FTransferReplyDone = false;
    FDataClosed = false;
    FRequestDoneFlag = false;
    FDataReady = false;
    FTransferAccepted = false;
    FBlockInFlight = false;
    FFilePos = FFileLen = 0;
    FLocalError.clear();
    FStartTime = 0;
    FByteCount = 0;
    FDataCloseError = 0;

    bool cancel = false;
    TriggerReadyToTransmit(cancel);
    if (cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FStatusCode = 426;
        TriggerDisplay("! " + FErrorMessage);
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }
    FDataSocket->OnSessionAvailable = [this](TObject* S, WORD E) { DataAcceptForPut(S, E); };

    CloseLocalFile();
    try {
        FLocalStream = std::make_unique<TFileStream>(FLocalFileName, fmOpenRead | FShareMode);
        FEndOfFile = false;
        if (FResumeAt > 0 && FLocalStream->Seek(FResumeAt, soFromBeginning) < 0)
            throw EStreamError("seek failed");
    } catch (const std::exception&) {
        CloseLocalFile();
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FStatusCode = 426;
        TriggerDisplay("! " + FErrorMessage);
        FDataSocket->Close();
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }

    if (FPassive) {
        ConnectPassiveData([this](TObject* S, WORD E) { DataConnectedForPut(S, E); }, 426);
        return;
    }
    if (FDataAcceptPending) {
        FDataAcceptPending = false;
        DataAcceptForPut(FDataSocket.get(), 0);
    }
    SendUploadCommand();
}

void TCustomFtpCli::SendUploadCommand()
{
    SetState(ftpStateWaitingResponse);
    FNext = &TCustomFtpCli::StorFirstReply;
    SendCommand((FAppendMode ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::DataAcceptForPut(TObject*, WORD)
{
    SOCKET h = AcceptDataConnection();
    if (h == INVALID_SOCKET)
        return;
    TWSocket* data = FDataSocket.get();
    data->OnSessionClosed = [this](TObject* S, WORD E) { DataClosedForPut(S, E); };
    data->OnDataAvailable = [this](TObject* S, WORD E) { DataDiscard(S, E); };
    data->OnDataSent = [this](TObject* S, WORD E) {
        // Only the drain of our own block moves the upload on.
        if (!FBlockInFlight && E == 0)
            return;
        FBlockInFlight = false;
        DataSentForPut(S, E);
    };
    data->Dup(h);
    StartDataTls();
    int size = 0;
    int len = sizeof size;
    if (WSocket_getsockopt(data->GetHSocket(), SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) {
        HandleError("winsock.getsockopt(SO_SNDBUF) failed");
        return;
    }
    data->SetLingerOnOff(wsLingerOff);
    data->SetLingerTimeout(10);
    data->ApplyLinger();
    FDataReady = true;
    if (FTransferAccepted && FStartTime == 0)
        PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::DataConnectedForPut(TObject*, WORD Error)
{
    TWSocket* data = FDataSocket.get();
    data->OnSessionClosed = [this](TObject* S, WORD E) { DataClosedForPut(S, E); };
    data->OnDataAvailable = nullptr;
    data->OnDataSent = nullptr;
    FDataReady = true;
    FStartTime = GetTickCount();
    if (Error != 0) {
        FailTransfer(550, "Unable to establish data connection, error #" + std::to_string(Error));
        return;
    }
    StartDataTls();
    if (FDataAcceptPending) {
        FDataAcceptPending = false;
        DataAcceptForPut(FDataSocket.get(), 0);
    }
    SendUploadCommand();
}

void TCustomFtpCli::StorFirstReply()
{
    DisplayLastResponse();
    if (FStatusCode == 150 || FStatusCode == 125) {
        FTransferAccepted = true;
        FNext = &TCustomFtpCli::StorFinalReply;
        if (FPassive) {
            FDataSocket->OnDataSent = [this](TObject* S, WORD E) {
                if (!FBlockInFlight && E == 0)
                    return;
                FBlockInFlight = false;
                DataSentForPut(S, E);
            };
            DataSentForPut(FDataSocket.get(), 0);
        } else if (FDataReady && FStartTime == 0) {
            PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
        }
        return;
    }
    RefuseTransfer();
}

void TCustomFtpCli::StartSending()
{
    FStartTime = GetTickCount();
    DataSentForPut(FDataSocket.get(), 0);
}

void TCustomFtpCli::DataSentForPut(TObject*, WORD Error)
{
    TWSocket* data = FDataSocket.get();
    for (int piece = 0; piece < PiecesPerTurn; ++piece) {
        if (!FLocalStream || !TriggerProgress())
            return;
        if (Error != 0) {
            TriggerDisplay("! Error #" + std::to_string(Error) + " sending data");
            data->Close();
            return;
        }
        if (FEndOfFile || !FTransferAccepted || !FDataReady)
            return;
        if (FFilePos >= FFileLen) {
            // The next read waits for this turn's completion, by which the
            // gathered pieces have been written: the end never cuts them off.
            if (piece > 0)
                break;
            if (!ReadFileAhead())
                return;
        }
        // The pieces of a turn leave in one write (for TLS, in full
        // records), which fills segments without corking: a corked record's
        // tail would wait for the next write, and the server can read
        // nothing of the record without it.
        if (FByteCount == 0)
            data->SetGatherSends(true);
        const int n = std::min(SendBlockSize, FFileLen - FFilePos);
        FFilePos += n;
        FByteCount += n;
        FBlockInFlight = true;
        data->Send(FFileBlock.data() + FFilePos - n, n);
        // While the socket takes each piece at once the next one follows
        // without waiting for the completion.
        if (!data->GetAllSent() || data->GetState() != wsConnected)
            return;
        FBlockInFlight = false;
    }
    FBlockInFlight = true;
}

bool TCustomFtpCli::ReadFileAhead()
{
    TWSocket* data = FDataSocket.get();
    if (FFileBlock.empty())
        FFileBlock.resize(FileReadAhead);
    FFilePos = FFileLen = 0;
    errno = 0;
    const int n = FLocalStream->Read(FFileBlock.data(), FileReadAhead);
    if (n > 0) {
        FFileLen = n;
        return true;
    }
    if (n == 0 && errno == 0) {
        FEndOfFile = true;
        if (data->GetTlsActive()) {
            // A TLS server may still send (session tickets): closing now
            // could reset the connection and lose the end of the file, so
            // half-close and let the server's close end the transfer.
            data->OnDataAvailable = [this](TObject* S, WORD E) { DataDiscard(S, E); };
            data->Shutdown(1);
        } else {
            data->Close();
        }
    } else {
        TriggerDisplay("! Error reading file");
        FLocalError = "426 Error reading file " + FLocalFileName;
        data->Close();
    }
    return false;
}

void TCustomFtpCli::DataDiscard(TObject*, WORD)
{
    char buf[2048];
    FDataSocket->Receive(buf, sizeof buf);
}

void TCustomFtpCli::DataClosedForPut(TObject*, WORD Error)
{
    CloseLocalFile();
    FDataClosed = true;
    FDataCloseError = Error;
    CheckPutDone();
}

void TCustomFtpCli::StorFinalReply()
{
    DisplayLastResponse();
    if (FStatusCode == 226 || FStatusCode == 250) {
        FTransferReplyDone = true;
        CheckPutDone();
        return;
    }
    FailTransferReply("! STOR Failed");
}

void TCustomFtpCli::FinishTransfer()
{
    DisplayTransferStats();
    FResumeAt = 0;
    if (!FLocalError.empty()) {
        const std::string text = FLocalError;
        FLocalError.clear();
        FailRequest(426, text);
        return;
    }
    FRequestResult = FDataCloseError;
    FinishRequest(FDataCloseError);
}

void TCustomFtpCli::CheckPutDone()
{
    if (FTransferReplyDone && FDataClosed)
        FinishTransfer();
}

// ---------------------------------------------------------------------------
// Downloads.

void TCustomFtpCli::RetrAsync() { StartDownload(ftpReqGet, "RETR"); }

void TCustomFtpCli::ListAsync() { StartDownload(ftpReqDir, "LIST"); }

void TCustomFtpCli::NlstAsync() { StartDownload(ftpReqLs, "NLST"); }

void TCustomFtpCli::StartDownload(TFtpRequest RqType, const char* Command)
{
    if (!FConnected) {
        HandleError(std::string(Command) + ": not connected");
        return;
    }
    if (FLocalFileName.empty() && !FDisplayFileFlag) {
        HandleError("LocalFileName empty");
        return;
    }
    if (!FSequenceFlag)
        FRequestType = RqType;
    FDataCommand = Command;
    FTransferReplyDone = false;
    FDataClosed = false;
    FRequestDoneFlag = false;
    FLocalError.clear();
    FByteCount = 0;
    FDataCloseError = 0;
    FDataSocket->OnSessionAvailable = [this](TObject* S, WORD E) { DataAcceptForGet(S, E); };

    if (!FDisplayFileFlag) {
        CloseLocalFile();
        try {
            if (FResumeAt > 0) {
                FLocalStream = std::make_unique<TFileStream>(FLocalFileName, fmOpenWrite | FShareMode);
                if (FLocalStream->Seek(FResumeAt, soFromBeginning) < 0)
                    throw EStreamError("seek failed");
            } else {
                FLocalStream = std::make_unique<TFileStream>(FLocalFileName, fmCreate);
                if (FShareMode != fmShareCompat) {
                    FLocalStream.reset();
                    FLocalStream = std::make_unique<TFileStream>(FLocalFileName, fmOpenWrite | FShareMode);
                }
            }
        } catch (const std::exception&) {
            CloseLocalFile();
            FailTransfer(550, "Unable to open local file " + FLocalFileName);
            return;
        }
    }

    if (FPassive && !ConnectPassiveData([this](TObject* S, WORD E) { DataConnectedForGet(S, E); }, 550))
        return;
    if (FDataAcceptPending) {
        FDataAcceptPending = false;
        DataAcceptForGet(FDataSocket.get(), 0);
    }
    SetState(ftpStateWaitingResponse);
    FNext = &TCustomFtpCli::RetrFirstReply;
    SendCommand(FHostFileName.empty() ? FDataCommand : FDataCommand + " " + FHostFileName);
}

void TCustomFtpCli::DataAcceptForGet(TObject*, WORD)
{
    SOCKET h = AcceptDataConnection();
    if (h == INVALID_SOCKET)
        return;
    TWSocket* data = FDataSocket.get();
    data->OnSessionClosed = [this](TObject* S, WORD E) { DataClosedForGet(S, E); };
    data->OnDataAvailable = [this](TObject* S, WORD E) { DataReceived(S, E); };
    data->OnDataSent = nullptr;
    data->Dup(h);
    FStartTime = GetTickCount();
    StartDataTls();
}

void TCustomFtpCli::DataConnectedForGet(TObject*, WORD Error)
{
    TWSocket* data = FDataSocket.get();
    data->OnSessionClosed = [this](TObject* S, WORD E) { DataClosedForGet(S, E); };
    data->OnDataAvailable = [this](TObject* S, WORD E) { DataReceived(S, E); };
    data->OnDataSent = nullptr;
    FStartTime = GetTickCount();
    if (Error != 0) {
        FailTransfer(550, "Unable to establish data connection, error #" + std::to_string(Error));
        return;
    }
    StartDataTls();
}

void TCustomFtpCli::DataReceived(TObject*, WORD)
{
    if (!TriggerProgress())
        return;
    TWSocket* data = FDataSocket.get();
    if (FReceiveBlock.empty())
        FReceiveBlock.resize(ReceiveBlockSize);
    char* buf = FReceiveBlock.data();
    int n = data->Receive(buf, ReceiveBlockSize);
    if (n > 0) {
        FByteCount += n;
        if (FLocalStream) {
            if (FLocalStream->Write(buf, n) != n) {
                TriggerDisplay("! Error writing local file");
                FLocalError = "426 Error writing local file " + FLocalFileName;
                CloseLocalFile();
                data->Shutdown(2);
                return;
            }
        }
        if (FDisplayFileFlag) {
            int i = 0;
            while (i < n) {
                int start = i;
                while (i < n && buf[i] != '\r' && buf[i] != '\n')
                    ++i;
                if (i > start)
                    TriggerDisplayFile(std::string(buf + start, static_cast<size_t>(i - start)));
                while (i < n && (buf[i] == '\r' || buf[i] == '\n'))
                    ++i;
            }
        }
    } else if (n < 0 && data->GetState() == wsConnected && data->GetLastError() != WSAEWOULDBLOCK) {
        TriggerDisplay("! Data: Receive error " + std::to_string(data->GetLastError()));
        data->Shutdown(2);
    }
}

void TCustomFtpCli::DataClosedForGet(TObject*, WORD Error)
{
    CloseLocalFile();
    FDataClosed = true;
    FDataCloseError = Error;
    CheckGetDone();
}

void TCustomFtpCli::RetrFirstReply()
{
    DisplayLastResponse();
    if (FStatusCode == 150 || FStatusCode == 125) {
        FNext = &TCustomFtpCli::RetrFinalReply;
        return;
    }
    RefuseTransfer();
}

void TCustomFtpCli::RetrFinalReply()
{
    DisplayLastResponse();
    if (FStatusCode == 125 || FStatusCode == 226 || FStatusCode == 250) {
        FTransferReplyDone = true;
        CheckGetDone();
        return;
    }
    FailTransferReply("! RETR/LIST/NLST Failed");
}

void TCustomFtpCli::CheckGetDone()
{
    if (FTransferReplyDone && FDataClosed)
        FinishTransfer();
}

void TCustomFtpCli::FailTransfer(int Code, const std::string& Text)
{
    FLastResponse = Text;
    FStatusCode = Code;
    SetErrorMessage();
    FDataSocket->Close();
    FRequestResult = Code;
    FinishRequest(static_cast<WORD>(Code));
}

bool TCustomFtpCli::ConnectPassiveData(TSessionConnected Connected, int Code)
{
    if (!ReadPassivePort()) {
        FailTransfer(Code, std::to_string(Code) + " No data port in the passive reply: " + FPasvResponse);
        return false;
    }
    FDataSocket->OnSessionConnected = std::move(Connected);
    FDataSocket->SetLingerOnOff(wsLingerOff);
    FDataSocket->SetLingerTimeout(0);
    try {
        FDataSocket->Connect();
        return true;
    } catch (const std::exception& E) {
        FailTransfer(Code, std::to_string(Code) + " " + ExceptionClassName(E) + ": " + E.what());
        return false;
    }
}

void TCustomFtpCli::RefuseTransfer()
{
    SetErrorMessage();
    FNext = nullptr;
    FDataSocket->Close();
    CloseLocalFile();
    FResumeAt = 0;
    FRequestResult = FStatusCode;
    FinishRequest(static_cast<WORD>(FStatusCode));
}

void TCustomFtpCli::FailTransferReply(const char* Display)
{
    SetErrorMessage();
    CloseLocalFile();
    FDataSocket->Close();
    TriggerDisplay(Display);
    FRequestResult = FStatusCode;
    FinishRequest(static_cast<WORD>(FStatusCode));
}
