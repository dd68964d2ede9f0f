// TCustomFtpCli: single-command operations and multi-step sequences;
// TFtpClient: the blocking calls.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "ftp/FtpCli.h"
#include "platform/Application.h"

namespace {

// Size of the local file under Name made absolute; -1 when there is none.
int LocalFileSize(const std::string& Name)
{
    if (Name.empty())
        return -1;
    char full[PATH_MAX];
    const char* path = ::realpath(Name.c_str(), full) ? full : Name.c_str();
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size > INT32_MAX ? INT32_MAX : static_cast<int>(st.st_size);
}

} // namespace

// ---------------------------------------------------------------------------
// Single commands.

void TCustomFtpCli::UserAsync()
{
    if (FUserName.empty()) {
        HandleError("UserName emtpy");
        return;
    }
    FCurrentStep = ftpStepUser;
    std::string cmd = "USER " + FUserName;
    if (GetConnectionType() == ftpProxy)
        cmd += "@" + FHostName;
    StartCommand(ftpReqUser, cmd, {331, 230});
}

void TCustomFtpCli::PassAsync()
{
    if (FPassWord.empty()) {
        HandleError("Password emtpy");
        return;
    }
    FCurrentStep = ftpStepPass;
    StartCommand(ftpReqPass, "PASS " + FPassWord, {230});
}

void TCustomFtpCli::CwdAsync()
{
    if (FHostDirName.empty()) {
        HandleError("HostDirName emtpy");
        return;
    }
    FCurrentStep = ftpStepCwd;
    StartCommand(ftpReqCwd, "CWD " + FHostDirName, {200, 250, 257});
}

void TCustomFtpCli::QuitAsync()
{
    CloseLocalFile();
    FCurrentStep = ftpStepQuit;
    StartCommand(ftpReqQuit, "QUIT", {221}, &TCustomFtpCli::DoQuitClose);
}

void TCustomFtpCli::DoQuitClose()
{
    FClosingAfterQuit = true;
    if (FControlSocket)
        FControlSocket->Close();
}

void TCustomFtpCli::SystAsync()
{
    FCurrentStep = ftpStepSyst;
    StartCommand(ftpReqSyst, "SYST", {215});
}

void TCustomFtpCli::SizeAsync()
{
    FSizeResult = 0;
    FCurrentStep = ftpStepSize;
    StartCommand(ftpReqSize, "SIZE " + FHostFileName, {213});
}

void TCustomFtpCli::TypeSetAsync()
{
    FCurrentStep = ftpStepTypeSet;
    StartCommand(ftpReqTypeSet, std::string("TYPE ") + FType, {200});
}

void TCustomFtpCli::TypeBinaryAsync()
{
    SetBinary(true);
    TypeSetAsync();
}

void TCustomFtpCli::TypeAsciiAsync()
{
    SetBinary(false);
    TypeSetAsync();
}

void TCustomFtpCli::MkdAsync()
{
    FCurrentStep = ftpStepMkd;
    StartCommand(ftpReqMkd, "MKD " + FHostFileName, {257});
}

void TCustomFtpCli::RmdAsync()
{
    FCurrentStep = ftpStepRmd;
    StartCommand(ftpReqRmd, "RMD " + FHostFileName, {250, 257});
}

void TCustomFtpCli::DeleAsync()
{
    FCurrentStep = ftpStepDele;
    StartCommand(ftpReqDele, "DELE " + FHostFileName, {250, 257});
}

void TCustomFtpCli::PwdAsync()
{
    FCurrentStep = ftpStepPwd;
    StartCommand(ftpReqPwd, "PWD", {250, 257});
}

void TCustomFtpCli::CDupAsync()
{
    FCurrentStep = ftpStepCDup;
    StartCommand(ftpReqCDup, "CDUP", {250});
}

void TCustomFtpCli::RenFromAsync()
{
    FCurrentStep = ftpStepRenFrom;
    StartCommand(ftpReqRenFrom, "RNFR " + FHostFileName, {350});
}

void TCustomFtpCli::RenToAsync()
{
    FCurrentStep = ftpStepRenTo;
    StartCommand(ftpReqRenTo, "RNTO " + FLocalFileName, {200, 250, 257});
}

void TCustomFtpCli::QuoteAsync()
{
    FCurrentStep = ftpStepQuote;
    StartCommand(ftpReqQuote, FLocalFileName, {});
}

void TCustomFtpCli::RestAsync()
{
    FCurrentStep = ftpStepRest;
    if (FRequestType != ftpReqRestPut && FRequestType != ftpReqRestartPut && !FOptions.count(ftpNoAutoResumeAt))
        FResumeAt = LocalFileSize(FLocalFileName);
    if (FResumeAt > 0) {
        StartCommand(ftpReqRest, "REST " + std::to_string(FResumeAt), {});
        return;
    }
    FRequestDoneFlag = false;
    FNext = &TCustomFtpCli::CheckCommandReply;
    FDoneAction = nullptr;
    FinishRequest(0);
}

// ---------------------------------------------------------------------------
// Sequences.

void TCustomFtpCli::StartSequence(TFtpRequest RqType, TFtpStepSet Steps)
{
    if (FConnected && (Steps & FtpSteps({ftpStepOpen}))) {
        HandleError("FTP component already connected");
        return;
    }
    if (!CheckReady())
        return;
    FSavedResponse = FLastResponse;
    FSavedStatusCode = -1;
    FRequestType = RqType;
    FRequestResult = 0;
    FStepSet = Steps;
    FCurrentStep = ftpStepNone;
    FSequenceResult = 0;
    FSequenceFlag = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    NextSequenceStep();
}

void TCustomFtpCli::NextSequenceStep()
{
    if (FState == ftpStateAbort) {
        FStepSet = 0;
        FSequenceResult = 426;
        FErrorMessage = "426 Operation aborted.";
    }
    FNextStep = &TCustomFtpCli::NextSequenceStep;
    ParseReplyValue();

    auto take = [this](TFtpStep Step) {
        TFtpStepSet bit = TFtpStepSet(1) << Step;
        if (!(FStepSet & bit))
            return false;
        FStepSet &= ~bit;
        return true;
    };
    const TFtpStep previous = FCurrentStep;
    auto start = [this](TFtpStep Step, TFtpNextProc Op) {
        FCurrentStep = Step;
        (this->*Op)();
    };

    if (take(ftpStepOpen))
        return start(ftpStepOpen, &TCustomFtpCli::OpenAsync);
    if (take(ftpStepUser))
        return start(ftpStepUser, &TCustomFtpCli::UserAsync);
    if ((FStepSet & FtpSteps({ftpStepPass})) && (previous != ftpStepUser || FStatusCode == 331)) {
        take(ftpStepPass);
        return start(ftpStepPass, &TCustomFtpCli::PassAsync);
    }
    if (TlsProtectionDue(previous))
        return StartTlsProtection();
    if ((FStepSet & FtpSteps({ftpStepCwd})) && !FHostDirName.empty()) {
        take(ftpStepCwd);
        return start(ftpStepCwd, &TCustomFtpCli::CwdAsync);
    }
    if (take(ftpStepCDup))
        return start(ftpStepCDup, &TCustomFtpCli::CDupAsync);
    if (take(ftpStepTypeSet))
        return start(ftpStepTypeSet, &TCustomFtpCli::TypeSetAsync);
    if (take(ftpStepPort))
        return start(ftpStepPort, &TCustomFtpCli::PortAsync);
    if (take(ftpStepRest))
        return start(ftpStepRest, &TCustomFtpCli::RestAsync);
    if (take(ftpStepGet)) {
        if (!(previous == ftpStepRest && FResumeAt >= 0 && FStatusCode == 350))
            FResumeAt = 0;
        return start(ftpStepGet, &TCustomFtpCli::RetrAsync);
    }
    if (take(ftpStepPut))
        return start(ftpStepPut, &TCustomFtpCli::StorAsync);
    if (take(ftpStepAppend))
        return start(ftpStepAppend, &TCustomFtpCli::AppeAsync);
    if (take(ftpStepDir))
        return start(ftpStepDir, &TCustomFtpCli::ListAsync);
    if (take(ftpStepLs))
        return start(ftpStepLs, &TCustomFtpCli::NlstAsync);
    if (take(ftpStepSyst))
        return start(ftpStepSyst, &TCustomFtpCli::SystAsync);
    if (take(ftpStepMkd))
        return start(ftpStepMkd, &TCustomFtpCli::MkdAsync);
    if (take(ftpStepRmd))
        return start(ftpStepRmd, &TCustomFtpCli::RmdAsync);
    if (take(ftpStepRenFrom))
        return start(ftpStepRenFrom, &TCustomFtpCli::RenFromAsync);
    if (take(ftpStepRenTo))
        return start(ftpStepRenTo, &TCustomFtpCli::RenToAsync);
    if (take(ftpStepSize))
        return start(ftpStepSize, &TCustomFtpCli::SizeAsync);
    if (take(ftpStepDele))
        return start(ftpStepDele, &TCustomFtpCli::DeleAsync);
    if (take(ftpStepPwd))
        return start(ftpStepPwd, &TCustomFtpCli::PwdAsync);
    if (take(ftpStepQuote))
        return start(ftpStepQuote, &TCustomFtpCli::QuoteAsync);
    if (take(ftpStepQuit)) {
        FSavedResponse = FLastResponse;
        FSavedStatusCode = FStatusCode;
        return start(ftpStepQuit, &TCustomFtpCli::QuitAsync);
    }

    FStepSet = 0;
    FNextStep = nullptr;
    FRequestDoneFlag = false;
    FinishRequest(static_cast<WORD>(FSequenceResult));
}

void TCustomFtpCli::ConnectAsync() { StartSequence(ftpReqConnect, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass})); }

void TCustomFtpCli::ReceiveAsync()
{
    StartSequence(ftpReqReceive, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepTypeSet,
                                           ftpStepPort, ftpStepGet, ftpStepQuit}));
}

void TCustomFtpCli::DirAsync() { StartSequence(ftpReqDir, FtpSteps({ftpStepPort, ftpStepDir})); }

void TCustomFtpCli::LsAsync() { StartSequence(ftpReqLs, FtpSteps({ftpStepPort, ftpStepLs})); }

void TCustomFtpCli::GetAsync() { StartSequence(ftpReqGet, FtpSteps({ftpStepPort, ftpStepGet})); }

void TCustomFtpCli::DirectoryAsync()
{
    StartSequence(ftpReqDirectory, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepPort,
                                             ftpStepDir, ftpStepQuit}));
}

void TCustomFtpCli::NameListAsync()
{
    StartSequence(ftpReqNameList, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepPort,
                                            ftpStepLs, ftpStepQuit}));
}

void TCustomFtpCli::SystemAsync()
{
    StartSequence(ftpReqSystem, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepSyst, ftpStepQuit}));
}

void TCustomFtpCli::FileSizeAsync()
{
    StartSequence(ftpReqSize,
                  FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSize, ftpStepQuit}));
}

void TCustomFtpCli::PutAsync() { StartSequence(ftpReqPut, FtpSteps({ftpStepPort, ftpStepPut})); }

void TCustomFtpCli::AppendAsync() { StartSequence(ftpReqAppend, FtpSteps({ftpStepPort, ftpStepAppend})); }

void TCustomFtpCli::RenameAsync()
{
    StartSequence(ftpReqRename, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepRenFrom,
                                          ftpStepRenTo, ftpStepQuit}));
}

void TCustomFtpCli::RenAsync() { StartSequence(ftpReqRen, FtpSteps({ftpStepRenFrom, ftpStepRenTo})); }

void TCustomFtpCli::DeleteAsync()
{
    StartSequence(ftpReqDelete,
                  FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepDele, ftpStepQuit}));
}

void TCustomFtpCli::MkdirAsync()
{
    StartSequence(ftpReqMkdir,
                  FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepMkd, ftpStepQuit}));
}

void TCustomFtpCli::RmdirAsync()
{
    StartSequence(ftpReqRmdir,
                  FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepRmd, ftpStepQuit}));
}

void TCustomFtpCli::DoQuoteAsync()
{
    StartSequence(ftpReqDoQuote,
                  FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepQuote, ftpStepQuit}));
}

void TCustomFtpCli::TransmitAsync()
{
    StartSequence(ftpReqTransmit, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepTypeSet,
                                            ftpStepPort, ftpStepPut, ftpStepQuit}));
}

void TCustomFtpCli::AppendFileAsync()
{
    StartSequence(ftpReqTransmit, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepTypeSet,
                                            ftpStepPort, ftpStepAppend, ftpStepQuit}));
}

void TCustomFtpCli::RestGetAsync() { StartSequence(ftpReqRestGet, FtpSteps({ftpStepPort, ftpStepRest, ftpStepGet})); }

void TCustomFtpCli::RestartGetAsync()
{
    StartSequence(ftpReqRestartGet, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepTypeSet,
                                              ftpStepPort, ftpStepRest, ftpStepGet, ftpStepQuit}));
}

void TCustomFtpCli::RestPutAsync() { StartSequence(ftpReqRestPut, FtpSteps({ftpStepPort, ftpStepRest, ftpStepPut})); }

void TCustomFtpCli::RestartPutAsync()
{
    StartSequence(ftpReqRestartPut, FtpSteps({ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepTypeSet,
                                              ftpStepPort, ftpStepRest, ftpStepPut, ftpStepQuit}));
}

// ---------------------------------------------------------------------------
// Blocking calls.

TFtpClient::TFtpClient(TComponent* AOwner) : TCustomFtpCli(AOwner) { FTimeout = 15; }

bool TFtpClient::Connect() { return RunSync(&TCustomFtpCli::ConnectAsync); }

bool TFtpClient::Cwd() { return RunSync(&TCustomFtpCli::CwdAsync); }

bool TFtpClient::TypeBinary()
{
    SetBinary(true);
    return RunSync(&TCustomFtpCli::TypeSetAsync);
}

bool TFtpClient::Put() { return RunSync(&TCustomFtpCli::PutAsync); }

bool TFtpClient::Quit() { return RunSync(&TCustomFtpCli::QuitAsync); }

bool TFtpClient::RunSync(TFtpOperation Operation)
{
    try {
        (this->*Operation)();
    } catch (const std::exception&) {
        return false;
    }
    return WaitForReady();
}

bool TFtpClient::WaitForReady()
{
    FTimeStop = GetTickCount() + static_cast<DWORD>(FTimeout) * 1000u;
    bool quitSeen = false;
    auto terminated = [&] {
        if (FMultiThreaded && FControlSocket && FControlSocket->GetTerminated())
            return true;
        return quitSeen || (Application && Application->Terminated());
    };
    for (;;) {
        if (FState == ftpStateReady)
            return FRequestResult == 0;
        if (terminated() || (FTimeout > 0 && static_cast<int32_t>(FTimeStop - GetTickCount()) < 0)) {
            Abort();
            FErrorMessage = "426 Timeout";
            FStatusCode = 426;
            return false;
        }
        if (FMultiThreaded && FControlSocket)
            FControlSocket->PumpMessages();
        else if (Application)
            Application->ProcessMessages();
        else
            quitSeen = PumpPendingMessages();
        if (FState == ftpStateReady || terminated())
            continue;
        // Sleep in the queue until something arrives or the limit passes.
        const int wait = FTimeout > 0 ? std::max(0, static_cast<int32_t>(FTimeStop - GetTickCount())) + 1 : -1;
        if (Application && !FMultiThreaded)
            Application->WaitForMessage(wait);
        else
            WaitMessageTimeout(wait);
    }
}

bool TFtpClient::TriggerProgress()
{
    bool result = TCustomFtpCli::TriggerProgress();
    if (FTimeout > 0)
        FTimeStop = GetTickCount() + static_cast<DWORD>(FTimeout) * 1000u;
    return result;
}
