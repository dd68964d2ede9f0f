// The main window's FTP upload job: "Start FTP", the interval timer and the
// page "cam.html".
#include "app/Upload.h"

#include <cctype>
#include <ctime>

#include "app/main.h"
#include "imaging/AtomicFile.h"
#include "net/WSocket.h"
#include "platform/Application.h"

namespace {

bool AutoStart() { return !Startup.Args.empty() && Startup.Args[0] == "/a"; }

// Marks a job as running for as long as it lives.
class TRunning {
public:
    explicit TRunning(bool& Flag) : FFlag(Flag) { FFlag = true; }
    ~TRunning() { FFlag = false; }
    TRunning(const TRunning&) = delete;
    TRunning& operator=(const TRunning&) = delete;

private:
    bool& FFlag;
};

} // namespace

std::string CamPageText(const TCamPageInput& Input)
{
    const std::string q = "\"";
    std::string page;
    auto line = [&page](const std::string& Text) { page += Text + "\r\n"; };
    line("<html><body bgcolor=white>");
    line("<img src=" + q + Input.FileName + q + "><br>");
    if (!Input.Message.empty())
        line("Message: " + Input.Message + "<br>");
    line("Quorrelane " + StampText(Input.Now) + "<br>");
    if (Input.ServerRunning) {
        const std::string port = std::to_string(Input.HttpPort);
        for (const std::string& a : Input.Addresses) {
            const std::string url = "http://" + a + ":" + port;
            line("Live camera is now!!!!&gt;&gt;<a href=" + url + ">" + url + "<br>" + "</a>");
        }
    }
    line("</body></html>");
    return page;
}

std::string HistoryFileName(TSnapshotStamp Stamp)
{
    std::time_t t = std::chrono::system_clock::to_time_t(Stamp);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return std::string(buf) + ".jpg";
}

std::string TrimPassword(const std::string& Password)
{
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    size_t b = 0, e = Password.size();
    while (b < e && blank(Password[b]))
        ++b;
    while (e > b && blank(Password[e - 1]))
        --e;
    return Password.substr(b, e - b);
}

void SplitFtpHost(const std::string& Text, std::string& Host, std::string& Port)
{
    Host = Text;
    Port = "ftp";
    size_t colon = Text.rfind(':');
    if (colon == std::string::npos || Text.find(':') != colon)
        return;
    std::string digits = Text.substr(colon + 1);
    for (char c : digits)
        if (c < '0' || c > '9')
            return;
    Host = Text.substr(0, colon);
    if (!digits.empty())
        Port = digits;
}

std::string TemporaryUploadName(const std::string& FileName) { return FileName + ".part"; }

std::string UploadsOffText()
{
    return "Uploads are off until an FTP server is set: fhost= in section [setting] of " + SettingsFileName() +
           ", or the \"Setting\" button";
}

std::string FtpFailureReason(const std::string& ErrorText, const std::string& Step, int TimeoutSeconds)
{
    std::string text = ErrorText;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (size_t nl = text.find_last_of("\r\n"); nl != std::string::npos)
        text.erase(0, nl + 1);
    if (text.empty())
        return Step + " failed";
    if (text == "426 Timeout")
        return "timed out after " + std::to_string(TimeoutSeconds) + " s in " + Step;
    const bool coded = text.size() > 4 && std::isdigit(static_cast<unsigned char>(text[0])) && text[3] == ' ';
    const std::string body = coded ? text.substr(4) : text;
    const std::string authTls = "The server does not accept TLS (AUTH TLS answered: ";
    if (coded && body.rfind(authTls, 0) == 0 && body.back() == ')')
        return "server refused AUTH TLS: " + body.substr(authTls.size(), body.size() - authTls.size() - 1);
    if (size_t w = body.rfind(" (Winsock error #"); coded && w != std::string::npos && body.back() == ')')
        return body.substr(0, w);
    if (const std::string e = "ESocketException: "; coded && body.rfind(e, 0) == 0)
        return body.substr(e.size());
    return text;
}

void Tcapmain::BindUploadEvents()
{
    SpeedButton4->OnClick = [this](TObject* s) { SpeedButton4Click(s); };
    Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };
    SpeedButton7->OnClick = [this](TObject* s) { SpeedButton7Click(s); };
}

bool Tcapmain::PutFile(const std::string& RemoteName, const std::string& LocalName, const char* Status)
{
    const std::string stored = FtpAtomic ? TemporaryUploadName(RemoteName) : RemoteName;
    ftp->SetHostFileName(stored);
    ftp->SetLocalFileName(LocalName);
    ftp->TypeBinary();
    msg->SetCaption(Status);
    bool ok = ftp->Put();
    if (!ok)
        NoteFtpFailure("PUT " + RemoteName);
    if (FtpAtomic && ok) {
        // RNFR the temporary name, RNTO the file's own.
        ftp->SetHostFileName(stored);
        ftp->SetLocalFileName(RemoteName);
        ok = ftp->RunSync(&TCustomFtpCli::RenAsync);
        if (!ok)
            NoteFtpFailure("RENAME " + stored);
    }
    return ok;
}

bool Tcapmain::PutFileSftp(const std::string& RemoteName, const std::string& LocalName, const char* Status)
{
    const std::string stored = FtpAtomic ? TemporaryUploadName(RemoteName) : RemoteName;
    msg->SetCaption(Status);
    bool ok = sftp->Put(LocalName, stored);
    if (ok && FtpAtomic)
        ok = sftp->Rename(stored, RemoteName);
    if (!ok)
        NoteFailure(sftp->ErrorText());
    return ok;
}

bool Tcapmain::UploadBySftp(const std::string& FileName)
{
    msg->SetCaption("FTP Start...");
    SplitSshHost(FtpHost, sftp->HostName, sftp->Port);
    sftp->UserName = FtpUser;
    sftp->PassWord = TrimPassword(FtpPass);
    sftp->KeyFile = FtpKey;
    sftp->HostKey = FtpHostKey;
    sftp->Timeout = ftp->GetTimeout();

    msg->SetCaption("Connecting (SFTP)...");
    // Nothing can be stored without a session or in another directory.
    bool inPlace = sftp->Connect();
    if (!inPlace)
        NoteFailure(sftp->ErrorText());
    msg->SetCaption("CWD...");
    if (inPlace && !FtpDir.empty() && !sftp->Cwd(FtpDir)) {
        NoteFailure(sftp->ErrorText());
        inPlace = false;
    }
    if (inPlace) {
        inPlace = PutFileSftp(FileName, AppDir + FileName, "PUT jpg...") || sftp->Connected();
        const std::string history = !MotionUploadName.empty() ? MotionUploadName
                                    : HistoryUpload ? HistoryFileName(std::chrono::system_clock::now())
                                                    : std::string();
        if (inPlace && !history.empty())
            inPlace = PutFileSftp(history, AppDir + FileName, "PUT history jpg...") || sftp->Connected();
    }
    WriteCamPage(FileName);
    bool result = false;
    if (inPlace)
        result = PutFileSftp("cam.html", AppDir + "cam.html", "PUT cam.html...");
    sftp->Quit();
    msg->SetCaption("Ready.");
    return result;
}

void Tcapmain::NoteFailure(const std::string& Reason)
{
    if (FFailure.empty())
        FFailure = Reason.empty() ? "upload failed" : Reason;
}

void Tcapmain::NoteFtpFailure(const std::string& Step)
{
    const std::string& error = ftp->GetErrorMessage();
    NoteFailure(FtpFailureReason(error.empty() ? ftp->GetLastResponse() : error, Step, ftp->GetTimeout()));
}

void Tcapmain::EndRun(bool Ok)
{
    LastUpload.Done = true;
    LastUpload.Ok = Ok;
    LastUpload.Time = std::time(nullptr);
    LastUpload.Reason = Ok ? std::string() : FFailure.empty() ? std::string("upload failed") : FFailure;
}

bool Tcapmain::UploadByFtp(const std::string& FileName)
{
    FFailure.clear();
    const bool ok = FtpProto == "sftp" ? UploadBySftp(FileName) : UploadOverFtp(FileName);
    EndRun(ok);
    return ok;
}

bool Tcapmain::UploadOverFtp(const std::string& FileName)
{
    msg->SetCaption("FTP Start...");
    std::string host, port;
    SplitFtpHost(FtpHost, host, port);
    ftp->SetHostName(host);
    ftp->SetUserName(FtpUser);
    ftp->SetPassWord(TrimPassword(FtpPass));
    ftp->SetPort(port);
    ftp->SetPassive(FtpPassive);
    ftp->SetTls(FtpTls);
    ftp->SetTlsFingerprint(FtpTlsFingerprint);

    msg->SetCaption(FtpTls ? "Connecting (TLS)..." : "Connecting...");
    // A session some earlier failure left open would refuse the login.
    if (ftp->GetConnected())
        ftp->Abort();
    if (!ftp->Connect())
        NoteFtpFailure("CONNECT");

    ftp->SetHostDirName(FtpDir);
    msg->SetCaption("CWD...");
    // A directory the server refuses would put every file into the login
    // directory: nothing is uploaded then, and the run fails.
    bool inPlace = ftp->Cwd() || FtpDir.empty();
    if (!inPlace)
        NoteFtpFailure("CWD");

    bool result = false;
    if (inPlace) {
        PutFile(FileName, AppDir + FileName, "PUT jpg...");
        if (!MotionUploadName.empty())
            PutFile(MotionUploadName, AppDir + FileName, "PUT history jpg...");
        else if (HistoryUpload)
            PutFile(HistoryFileName(std::chrono::system_clock::now()), AppDir + FileName, "PUT history jpg...");
    }
    WriteCamPage(FileName);
    if (inPlace)
        result = PutFile("cam.html", AppDir + "cam.html", "PUT cam.html...");

    ftp->Quit();
    msg->SetCaption("Ready.");
    return result;
}

bool Tcapmain::RunUpload(bool Timed, bool& Ok)
{
    // Still running while an error is shown: no other job starts on the
    // client before its session is aborted.
    TRunning running(FUploading);
    try {
        TakeSnapshot(Edit1->Text(), std::chrono::system_clock::now());
        Ok = UploadByFtp(Edit1->Text());
        return true;
    } catch (const std::exception& E) {
        FFailure = E.what();
        EndRun(false);
        Application->HandleException();
        EndBrokenRun(Timed);
        return false;
    } catch (...) {
        EndRun(false);
        Application->HandleException();
        EndBrokenRun(Timed);
        return false;
    }
}

void Tcapmain::EndBrokenRun(bool Timed)
{
    ftp->Abort();
    sftp->Quit();
    SpeedButton4->SetEnabled(true);
    if (Timed)
        ArmUploadTimer();
}

void Tcapmain::SpeedButton4Click(TObject*)
{
    if (!FrameGrabber1->DriverOpen()) {
        Application->MessageBox("camera is not opened", "ERR ftp faild", MB_OK);
        return;
    }
    if (FUploading)
        return;
    SpeedButton4->SetEnabled(false);
    bool ok = false;
    if (!RunUpload(false, ok))
        return;
    if (ok) {
        if (!AutoStart() && !DisablePrompt)
            Application->MessageBox("FTP完了。\r指定ディレクトリにcam.htmlをup", " ftp ok", MB_OK);
    } else {
        if (!DisablePrompt)
            Application->MessageBox("FTPできませんでした", "ERR ftp faild", MB_OK, LastUpload.Reason);
        msg->SetCaption("Upload failed: " + LastUpload.Reason);
    }
    SpeedButton4->SetEnabled(true);
}

void Tcapmain::Timer1Timer(TObject*)
{
    if (!FrameGrabber1->DriverOpen())
        return;
    // A manual run holds the client: this tick is skipped.
    if (FUploading)
        return;
    if (FtpHost.empty()) {
        Application->Log(UploadsOffText());
        return;
    }
    SpeedButton4->SetEnabled(false);
    Timer1->SetEnabled(false);
    bool ok = false;
    if (!RunUpload(true, ok))
        return;
    if (ok) {
        ArmUploadTimer();
    } else {
        FtpInterval = 0;
        Application->MessageBox("ERR ftp faild. \"Auto UPLOAD\" turn OFF!!", "ERR ftp faild", MB_OK,
                                LastUpload.Reason);
        msg->SetCaption("Upload failed: " + LastUpload.Reason);
    }
    SpeedButton4->SetEnabled(true);
}

void Tcapmain::ArmUploadTimer()
{
    if (FtpInterval > 0) {
        Timer1->SetInterval(static_cast<UINT>(FtpInterval) * 60u * 1000u);
        Timer1->SetEnabled(true);
    } else {
        Timer1->SetEnabled(false);
    }
}

void Tcapmain::WriteCamPage(const std::string& FileName)
{
    TCamPageInput in;
    in.FileName = FileName;
    in.Message = Edit2->Text();
    in.Now = std::chrono::system_clock::now();
    in.ServerRunning = srv->Tag == 1;
    if (in.ServerRunning)
        in.Addresses = LocalAddressList();
    in.HttpPort = HttpPort;
    const std::string page = CamPageText(in);
    WriteFileAtomic(AppDir + "cam.html", page.data(), page.size());
}
