// The main window's FTP upload job: "Start FTP", the interval timer and the
// page "cam.html".
#include "app/Upload.h"

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
    if (FtpAtomic && ok) {
        // RNFR the temporary name, RNTO the file's own.
        ftp->SetHostFileName(stored);
        ftp->SetLocalFileName(RemoteName);
        ok = ftp->RunSync(&TCustomFtpCli::RenAsync);
    }
    return ok;
}

bool Tcapmain::UploadByFtp(const std::string& FileName)
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
    ftp->Connect();

    ftp->SetHostDirName(FtpDir);
    msg->SetCaption("CWD...");
    // A directory the server refuses would put every file into the login
    // directory: nothing is uploaded then, and the run fails.
    const bool inPlace = ftp->Cwd() || FtpDir.empty();

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
    LastUpload.Reason.clear();
    auto ended = [this](bool Result) {
        LastUpload.Done = true;
        LastUpload.Ok = Result;
        LastUpload.Time = std::time(nullptr);
        if (Result)
            LastUpload.Reason.clear();
    };
    try {
        TakeSnapshot(Edit1->Text(), std::chrono::system_clock::now());
        Ok = UploadByFtp(Edit1->Text());
        ended(Ok);
        return true;
    } catch (...) {
        ended(false);
        Application->HandleException();
        EndBrokenRun(Timed);
        return false;
    }
}

void Tcapmain::EndBrokenRun(bool Timed)
{
    ftp->Abort();
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
    } else if (!DisablePrompt) {
        Application->MessageBox("FTPできませんでした", "ERR ftp faild", MB_OK);
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
        Application->MessageBox("ERR ftp faild. \"Auto UPLOAD\" turn OFF!!", "ERR ftp faild", MB_OK);
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
