// The main window's handlers for the built-in HTTP server: starting it,
// reporting its addresses, and keeping the served picture fresh.
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "app/Status.h"
#include "app/main.h"
#include "http/HttpText.h"
#include "net/WSocket.h"
#include "platform/Application.h"
#include "platform/Shell.h"

namespace {

// Least time between two snapshots taken for picture requests.
constexpr DWORD RefreshIntervalMs = 2500;

bool AutoStart() { return !Startup.Args.empty() && Startup.Args[0] == "/a"; }

// "/" when the data directory has no page of its own.
constexpr const char* HomePage =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>Quorrelane</title></head>\n"
    "<body style=\"font-family: sans-serif\">\n"
    "<h1>Quorrelane</h1>\n"
    "<p><img src=\"/stream\" alt=\"live camera\" style=\"max-width: 100%\"></p>\n"
    "<p><a href=\"/stream\">Live stream</a> (<code>/stream</code>, <code>/?action=stream</code>) |\n"
    "<a href=\"/snapshot\">Snapshot</a> (<code>/snapshot</code>, <code>/?action=snapshot</code>) |\n"
    "<a href=\"/status.json\">Status</a></p>\n"
    "</body></html>\n";

// A whole answer the handler makes itself, never kept by caches; for a
// HEAD request (WithBody false) its header alone.
void Answer(THttpConnection* Client, THttpGetFlag& Flags, const std::string& ContentType, const std::string& Body,
            bool WithBody = true)
{
    std::string header = HttpFileHeader(Client->GetVersion(), ContentType, static_cast<int64_t>(Body.size()));
    header.insert(header.size() - 2, "Cache-Control: no-store\r\n");
    Client->AppendStrToSendBuffer(header);
    Client->SendStr(WithBody ? Body : std::string());
    Client->EndAnswer();
    Flags = gfHandled;
}

bool IsFile(const std::string& Name)
{
    struct stat st {};
    return stat(Name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

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
        // Asked once for every frame the stream encodes.
        if (!CameraLost)
            LastFrameTime = std::time(nullptr);
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
        for (const std::string& url : ServerUrls(port, srv->GetAddr())) {
            Application->Log("Serving " + url + "/http.jpg");
            Application->Log("Serving " + url + "/stream");
        }
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
    if (address == saNone && Client->GetPath() == "/status.json") {
        Answer(Client, Flags, "application/json", StatusJson(CollectStatus(*this)));
        return;
    }
    if (address == saNone && Client->GetPath() == "/" && Client->GetParams().empty() && !IsFile(Client->GetDocument())) {
        Answer(Client, Flags, "text/html; charset=utf-8", HomePage);
        return;
    }
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
    if (address == saNone && Client->GetPath() == "/status.json") {
        Answer(Client, Flags, "application/json", StatusJson(CollectStatus(*this)), false);
    } else if (address == saNone && Client->GetPath() == "/" && Client->GetParams().empty() &&
               !IsFile(Client->GetDocument())) {
        Answer(Client, Flags, "text/html; charset=utf-8", HomePage, false);
    } else if (address == saStream) {
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
