// The main window's handlers for the built-in HTTP server: starting it,
// reporting its addresses, and keeping the served picture fresh.
#include <chrono>
#include <string>
#include <vector>

#include "app/main.h"
#include "http/HttpText.h"
#include "net/WSocket.h"
#include "platform/Application.h"
#include "platform/Shell.h"

namespace {

// Least time between two snapshots taken for picture requests.
constexpr DWORD RefreshIntervalMs = 2500;

bool AutoStart() { return !Startup.Args.empty() && Startup.Args[0] == "/a"; }

} // namespace

void Tcapmain::BindWebEvents()
{
    using namespace std::placeholders;
    SpeedButton1->OnClick = [this](TObject* s) { SpeedButton1Click(s); };
    Label1->OnClick = [this](TObject* s) { Label1Click(s); };
    srv->OnServerStarted = [this](TObject* s) { srvServerStarted(s); };
    srv->OnServerStopped = [this](TObject* s) { srvServerStopped(s); };
    srv->OnGetDocument = std::bind(&Tcapmain::srvGetDocument, this, _1, _2, _3);
    srv->OnPostDocument = std::bind(&Tcapmain::srvPostDocument, this, _1, _2, _3);
    srv->OnHeadDocument = std::bind(&Tcapmain::srvHeadDocument, this, _1, _2, _3);
    Stream = std::make_unique<TLiveStream>(FrameGrabber1, [this] {
        TStreamLook look;
        look.Message = Edit2->Text();
        look.Effect = Effect1->Checked;
        look.EffectR = EffectR;
        look.EffectG = EffectG;
        look.EffectB = EffectB;
        return look;
    });
    srv->OnClientDisconnect = [this](TObject*, THttpConnection* Client, WORD) {
        if (Stream)
            Stream->Leave(Client);
    };
}

void Tcapmain::SpeedButton1Click(TObject*)
{
    // The server only starts with the camera open; an error of Start
    // leaves the button disabled.
    SpeedButton1->SetEnabled(false);
    if (FrameGrabber1->DriverOpen()) {
        if (SettingsFile) {
            Stream->SetMaxFps(SettingsFile->ReadInteger("setting", "stream_fps", StreamDefaultFps));
            Stream->SetMaxClients(SettingsFile->ReadInteger("setting", "stream_clients", StreamDefaultClients));
        }
        try {
            srv->Start();
        } catch (const ESocketException&) {
            // Another program (other camera software uses 8765 too) holds
            // the port: say which setting moves ours.
            TWSocketServer* ls = srv->GetWSocketServer();
            if (ls && ls->GetLastError() == WSAEADDRINUSE && Application)
                Application->Log("Port " + srv->GetPort() + " is in use by another program. Stop Quorrelane, set " +
                                 "port= in section [setting] of " + SettingsFileName() +
                                 " to a free port, and start it again.");
            throw;
        }
    }
    SpeedButton1->SetEnabled(true);
}

void Tcapmain::ConfigureServer()
{
    srv->SetPort(std::to_string(HttpPort));
    srv->SetAddr(BindAddress);
    srv->SetCredentials(HttpUser, HttpPass);
    srv->SetTlsFiles(HttpsCert, HttpsKey);
}

std::vector<std::string> Tcapmain::ServerUrls(const std::string& Port, const std::string& Addr) const
{
    // Bound to one address, the server is reachable there only.
    std::vector<std::string> hosts = LocalAddressList();
    if (Addr != "0.0.0.0")
        hosts = {Addr};
    const std::string scheme = srv->GetSecure() ? "https://" : "http://";
    for (std::string& h : hosts)
        h = scheme + h + ":" + Port;
    return hosts;
}

void Tcapmain::srvServerStarted(TObject*)
{
    std::string addresses;
    for (const std::string& url : ServerUrls(std::to_string(HttpPort), BindAddress))
        addresses += url + "\n";
    if (!AutoStart() && !DisablePrompt && Application)
        Application->MessageBox("サーバはスタートしました\n\n" + addresses, "server stat ok.", MB_OK);
    if (Application) {
        // Where the picture is, on the port actually bound.
        std::string port = srv->GetWSocketServer() ? srv->GetWSocketServer()->GetBoundPort() : srv->GetPort();
        for (const std::string& url : ServerUrls(port, srv->GetAddr()))
            Application->Log("Serving " + url + "/http.jpg");
    }
    SpeedButton1->SetGlyph(im12->Picture());
    srv->Tag = 1;
}

void Tcapmain::srvServerStopped(TObject*)
{
    if (Application)
        Application->Log("Server stopped");
    SpeedButton1->SetGlyph(im11->Picture());
    srv->Tag = 0;
}

void Tcapmain::srvGetDocument(TObject*, THttpConnection* Client, THttpGetFlag& Flags)
{
    // The addresses camera software expects: the live stream, and the
    // picture under other names (never kept by caches).
    const TStreamAddress address = StreamAddressOf(Client->GetPath(), Client->GetParams());
    if (address == saStream) {
        Stream->Join(Client, Flags);
        return;
    }
    if (address == saSnapshot) {
        Client->SetDocument(MapHttpDocument(Client->GetDocDir(), "/http.jpg", Client->GetDefaultDoc()));
        Client->SetExtraHeader("Cache-Control: no-store\r\n");
    } else if (Client->GetPath().find(".jpg") == std::string::npos) {
        return;
    }
    ++RequestCount;
    Label2->SetCaption("Quorrelane " + std::to_string(RequestCount));
    SetCaption(Label2->Caption());
    // The first picture request always takes a picture; the unsigned
    // difference keeps the rule across the tick count's 32-bit wrap.
    if (!PictureTaken || GetTickCount() - LastRefreshTick > RefreshIntervalMs) {
        PictureTaken = true;
        LastRefreshTick = GetTickCount();
        TakeSnapshot("http.jpg", std::chrono::system_clock::now());
    }
}

void Tcapmain::srvHeadDocument(TObject*, THttpConnection* Client, THttpGetFlag& Flags)
{
    // The same status and fields as the GET would get, without the body;
    // a picture older than the refresh interval is retaken as for GET, so
    // that the length announced is the one a GET would send.
    const TStreamAddress address = StreamAddressOf(Client->GetPath(), Client->GetParams());
    if (address == saStream) {
        Stream->Head(Client, Flags);
    } else if (address == saSnapshot) {
        Client->SetDocument(MapHttpDocument(Client->GetDocDir(), "/http.jpg", Client->GetDefaultDoc()));
        Client->SetExtraHeader("Cache-Control: no-store\r\n");
        if (!PictureTaken || GetTickCount() - LastRefreshTick > RefreshIntervalMs) {
            PictureTaken = true;
            LastRefreshTick = GetTickCount();
            TakeSnapshot("http.jpg", std::chrono::system_clock::now());
        }
    }
}

void Tcapmain::srvPostDocument(TObject*, THttpConnection*, THttpGetFlag&)
{
    MessageBeep(0);
}

void Tcapmain::Label1Click(TObject*)
{
    const std::string scheme = srv->GetSecure() ? "https://" : "http://";
    ShellExecute(nullptr, "open", scheme + Label1->Caption() + ":" + std::to_string(HttpPort), "", "", SW_SHOWNORMAL);
}
