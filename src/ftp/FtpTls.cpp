// TCustomFtpCli: explicit FTP over TLS. AUTH TLS follows the greeting,
// PBSZ 0 and PROT P the login; data connections resume the control
// connection's session. A failure ends the request; nothing is ever sent
// in clear once TLS was asked for.
#include "ftp/FtpCli.h"

void TCustomFtpCli::StartAuthTls()
{
    FTlsProtected = false;
    SetState(ftpStateWaitingResponse);
    FNext = &TCustomFtpCli::AuthTlsReply;
    SendCommand("AUTH TLS");
}

void TCustomFtpCli::AuthTlsReply()
{
    DisplayLastResponse();
    if (FStatusCode != 234) {
        TlsOpenFailed("534 The server does not accept TLS (AUTH TLS answered: " + FLastResponse + ")");
        return;
    }
    TWSocket* c = FControlSocket.get();
    c->SetTlsFingerprint(FTlsFingerprint);
    c->SetTlsSession(nullptr);
    c->OnTlsDone = [this](TObject*, WORD E) { ControlTlsDone(E); };
    try {
        c->StartTls(GetConnectionType() == ftpProxy ? FProxyServer : FHostName);
    } catch (const std::exception& E) {
        TlsOpenFailed(std::string("TLS handshake failed: ") + E.what());
    }
}

void TCustomFtpCli::ControlTlsDone(WORD Error)
{
    if (Error != 0) {
        TlsOpenFailed(FControlSocket->GetTlsErrorText());
        return;
    }
    TriggerDisplay("! TLS session established");
    SetState(ftpStateConnected);
    if (OnSessionConnected)
        OnSessionConnected(this, 0);
    FinishRequest(0);
}

void TCustomFtpCli::TlsOpenFailed(const std::string& Text)
{
    FLastResponse = Text;
    FStatusCode = 534;
    FRequestResult = 534;
    SetErrorMessage();
    TriggerDisplay("! " + Text);
    FNext = nullptr;
    FNextStep = nullptr;
    FinishRequest(534);
    if (FControlSocket && FControlSocket->GetState() != wsClosed)
        FControlSocket->Close();
    SetState(ftpStateReady);
}

bool TCustomFtpCli::TlsProtectionDue(TFtpStep Previous) const
{
    return FTls && !FTlsProtected && (Previous == ftpStepUser || Previous == ftpStepPass) &&
           !(FStepSet & FtpSteps({ftpStepUser})) && FControlSocket &&
           FControlSocket->GetTlsEstablished();
}

void TCustomFtpCli::StartTlsProtection()
{
    StartCommand(FRequestType, "PBSZ 0", {200}, &TCustomFtpCli::PbszReply);
}

void TCustomFtpCli::PbszReply()
{
    if (FRequestResult != 0) {
        FinishRequest(static_cast<WORD>(FRequestResult));
        return;
    }
    SetState(ftpStateInternalReady);
    StartCommand(FRequestType, "PROT P", {200}, &TCustomFtpCli::ProtReply);
}

void TCustomFtpCli::ProtReply()
{
    if (FRequestResult == 0)
        FTlsProtected = true;
    FinishRequest(static_cast<WORD>(FRequestResult));
}

void TCustomFtpCli::StartDataTls()
{
    if (!FTls)
        return;
    TWSocket* data = FDataSocket.get();
    data->SetTlsFingerprint(FTlsFingerprint);
    data->SetTlsSession(FControlSocket ? FControlSocket->GetTlsSession() : nullptr);
    data->OnTlsDone = [this](TObject*, WORD E) {
        if (E == 0)
            return;
        // The transfer fails with this text whatever the server answers.
        const std::string text = FDataSocket->GetTlsErrorText();
        TriggerDisplay("! Data connection: " + text);
        if (FLocalError.empty())
            FLocalError = "426 " + text;
        FLastResponse = FLocalError;
        SetErrorMessage();
    };
    try {
        data->StartTls(GetConnectionType() == ftpProxy ? FProxyServer : FHostName);
    } catch (const std::exception& E) {
        FLocalError = std::string("426 TLS handshake failed: ") + E.what();
        data->Close();
    }
}
