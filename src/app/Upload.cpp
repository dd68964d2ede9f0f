// The main window's FTP upload job: "Start FTP", the interval timer and the
// page "cam.html".
#include "app/Upload.h"

#include <ctime>

#include "app/main.h"
#include "imaging/AtomicFile.h"
#include "net/WSocket.h"
#include "platform/Application.h"

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

void Tcapmain::BindUploadEvents()
{
    SpeedButton7->OnClick = [this](TObject* s) { SpeedButton7Click(s); };
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
