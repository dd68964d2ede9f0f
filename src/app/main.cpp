#include "app/main.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <pwd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "app/Skin.h"
#include "capture/CaptureDriver.h"
#include "net/WSocket.h"
#include "platform/Profile.h"

TStartup Startup;
Tcapmain* capmain = nullptr;

std::string AppDir;
std::string FtpHost, FtpUser, FtpPass, FtpDir;
int FtpInterval = 0;
int EffectR = 55, EffectG = 45, EffectB = 20;
bool HistoryUpload = false, DisablePrompt = false;
bool FtpPassive = false, FtpAtomic = false;
bool FtpTls = false;
std::string FtpTlsFingerprint;
std::string HttpUser, HttpPass;
std::string HttpsCert, HttpsKey;
std::string BindAddress = "0.0.0.0";
std::string FtpProto = "ftp", FtpKey, FtpHostKey;
std::unique_ptr<TIniFile> SettingsFile;
DWORD LastRefreshTick = 0;
TMotionSettings MotionSettings;

namespace {

std::string HomeDirectory()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

// $VAR when it is an absolute path, else $HOME + Fallback.
std::string XdgDirectory(const char* Var, const char* Fallback)
{
    if (const char* v = std::getenv(Var); v && v[0] == '/')
        return v;
    return HomeDirectory() + Fallback;
}

std::string Absolute(const std::string& Path)
{
    if (Path.empty() || Path[0] == '/')
        return Path;
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        return Path;
    return std::string(buf) + "/" + Path;
}

// Creates Dir and its parents; existing ones are left as they are.
void MakeDirectories(const std::string& Dir, mode_t Mode)
{
    for (size_t pos = 1; pos <= Dir.size(); ++pos) {
        if (pos == Dir.size() || Dir[pos] == '/') {
            std::string part = Dir.substr(0, pos);
            if (!part.empty())
                ::mkdir(part.c_str(), Mode);
        }
    }
}

std::string DirectoryOf(const std::string& File)
{
    size_t slash = File.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : File.substr(0, slash);
}

bool Unstorable(char c) { return c == '\0' || c == '\r' || c == '\n'; }
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A value the profile reader would change (blanks at the ends, a pair of
// quotes around it) goes into the file between quotes, which it strips.
std::string Quoted(const std::string& v)
{
    bool blanks = !v.empty() && (Blank(v.front()) || Blank(v.back()));
    bool quotes = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    return blanks || quotes ? "\"" + v + "\"" : v;
}

std::string WithoutUnstorable(const std::string& v)
{
    std::string out;
    for (char c : v)
        if (!Unstorable(c))
            out += c;
    return out;
}

std::string ToHex(const std::string& v)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : v) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool FromHex(const std::string& text, std::string& out)
{
    if (text.size() % 2 != 0)
        return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

constexpr size_t ValueLimit = 1023;

// The longest upload period whose milliseconds fit the timer's 32 bits.
constexpr int MaxIntervalMinutes = static_cast<int>(0xFFFFFFFFu / 60000u);

// An integer setting; a value outside [Low, High] is as absurd as text and
// gives the default too.
int ReadInRange(const TIniFile& Ini, const char* Section, const char* Key, int Default, int Low, int High)
{
    int v = Ini.ReadInteger(Section, Key, Default);
    return v < Low || v > High ? Default : v;
}

} // namespace

std::string SettingsFileName()
{
    if (!Startup.ConfigFile.empty())
        return Absolute(Startup.ConfigFile);
    return XdgDirectory("XDG_CONFIG_HOME", "/.config") + "/quorrelane/videosetting.ini";
}

std::string DataDirectory()
{
    std::string dir = Startup.DocDir.empty() ? XdgDirectory("XDG_DATA_HOME", "/.local/share") + "/quorrelane"
                                             : Absolute(Startup.DocDir);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir == "/" ? dir : dir + "/";
}

std::string ScramblePassword(const std::string& Text)
{
    std::string out = Text;
    for (char& c : out)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
    return out;
}

void WritePassword(TIniFile& Ini, const std::string& Password, const std::string& Key)
{
    std::string scrambled = ScramblePassword(Password);
    bool whole = scrambled.size() <= ValueLimit;
    for (char c : scrambled)
        if (Unstorable(c))
            whole = false;
    if (whole) {
        Ini.WriteString("setting", Key, Quoted(scrambled));
        Ini.DeleteKey("setting", Key + "x");
        return;
    }
    // What an older reader can take, and the whole scrambled password.
    std::string reduced = WithoutUnstorable(scrambled);
    if (reduced.size() > ValueLimit)
        reduced.resize(ValueLimit);
    Ini.WriteString("setting", Key, Quoted(reduced));
    Ini.WriteString("setting", Key + "x", ToHex(scrambled));
}

std::string ReadPassword(const TIniFile& Ini, const std::string& Key)
{
    std::string stored = Ini.ReadString("setting", Key, "");
    // The long form has no length limit: two digits for every byte.
    std::string hex = GetPrivateProfileString("setting", Key + "x", "", std::string::npos, Ini.FileName());
    std::string whole;
    // The long form counts only while "fpass" still is its reduced form:
    // a program that knows only "fpass" may have changed the password.
    if (!hex.empty() && FromHex(hex, whole)) {
        std::string reduced = WithoutUnstorable(whole);
        if (reduced.size() > ValueLimit)
            reduced.resize(ValueLimit);
        if (reduced == stored)
            return ScramblePassword(whole);
    }
    return ScramblePassword(stored);
}

void SaveWebLogin(const std::string& User, const std::string& Password)
{
    MakeDirectories(DirectoryOf(SettingsFileName()), 0700);
    TIniFile ini(SettingsFileName());
    ini.WriteString("setting", "http_user", User);
    WritePassword(ini, User.empty() ? std::string() : Password, "http_pass");
}

void TStatusLine::SetCaption(const std::string& Value)
{
    TLabel::SetCaption(Value);
    if (Application)
        Application->ProcessMessages();
}

Tcapmain::Tcapmain(TComponent* AOwner) : TForm(AOwner)
{
    capmain = this;
    SetName("capmain");
    CreateComponents();
    BindEvents();
    DoCreate();
}

Tcapmain::~Tcapmain()
{
    BeginDestroy();
    if (capmain == this)
        capmain = nullptr;
}

void Tcapmain::CreateComponents()
{
    BorderStyle = bsNone;
    SetColor(clWhite);
    SetCaption("Quorrelane");
    SetBounds(100, 100, 217, 230);

    auto image = [this](const char* name, int left, int top, int width, int height, bool visible) {
        auto* c = Make<TImage>();
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(left, top, width, height);
        c->SetVisible(visible);
        return c;
    };
    auto button = [this](const char* name, int left, int top, int width, int height, const char* hint) {
        auto* c = Make<TSpeedButton>();
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(left, top, width, height);
        c->Flat = true;
        c->SetHint(hint);
        return c;
    };
    auto label = [this](auto* c, const char* name, int left, int top, int width, int height, const char* caption) {
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(left, top, width, height);
        c->TLabel::SetCaption(caption);
        return c;
    };

    FrameGrabber1 = Make<TFrameGrabber>();
    FrameGrabber1->SetName("FrameGrabber1");
    FrameGrabber1->SetParent(this);
    FrameGrabber1->SetBounds(32, 57, 160, 120);
    FrameGrabber1->SetColor(clBlack);
    FrameGrabber1->SetPreviewScaleToWindow(true);
    FrameGrabber1->SetPreviewScaleProportional(true);
    FrameGrabber1->SetPreviewRate(9);
    FrameGrabber1->SetMicroSecPerFrame(100000);

    PopupMenu1 = Make<TPopupMenu>();
    PopupMenu1->SetName("PopupMenu1");
    src1 = PopupMenu1->Add("src1", "src");
    format1 = PopupMenu1->Add("format1", "format");
    Effect1 = PopupMenu1->Add("Effect1", "camera Effect");
    devicesetup1 = PopupMenu1->Add("devicesetup1", "devicesetup");
    src1->Enabled = false;
    format1->Enabled = false;
    PopupMenu = PopupMenu1;

    SpeedButton1 = button("SpeedButton1", 56, 30, 25, 25, "Server Start");
    SpeedButton1->SetGlyph(MakeGlyph(TGlyph::ServerStopped));

    SpeedButton2 = button("SpeedButton2", 360, 144, 73, 17, "");
    SpeedButton2->Flat = false;
    SpeedButton2->SetCaption("devicesetup");

    Edit1 = Make<TEdit>();
    Edit1->SetName("Edit1");
    Edit1->SetParent(this);
    Edit1->SetBounds(0, 0, 121, 21);
    Edit1->SetText("http.jpg");
    Edit1->SetVisible(false);

    srv = Make<THttpServer>();
    srv->SetName("srv");
    srv->SetPort("8765");

    Label1 = label(Make<TLabel>(), "Label1", 0, 0, 0, 12, "");
    Label1->SetVisible(false);

    ftp = Make<TFtpClient>();
    ftp->SetName("ftp");
    ftp->SetTimeout(15);
    ftp->SetMultiThreaded(false);
    ftp->SetPort("ftp");
    ftp->SetDisplayFileFlag(false);
    ftp->SetBinary(true);
    ftp->SetShareMode(ftpShareExclusive);
    ftp->SetOptions({ftpAcceptLF});
    ftp->SetConnectionType(ftpDirect);
    sftp = Make<TSftpCli>();
    sftp->SetName("sftp");

    SpeedButton4 = button("SpeedButton4", 82, 30, 41, 25, "Start FTP");
    SpeedButton4->SetGlyph(MakeGlyph(TGlyph::Ftp));

    Image1 = image("Image1", 0, 0, 217, 230, true);
    Image1->AutoSize = true;
    TBitmap background(217, 230);
    background.Fill(255, 255, 255);
    Image1->SetPicture(background);

    struct Piece {
        TImage** Field;
        const char* Name;
        TSkinPiece Kind;
    };
    const Piece pieces[] = {
        {&Imagel, "Imagel", TSkinPiece::Left},         {&Imagelb, "Imagelb", TSkinPiece::BottomLeft},
        {&Imagelt, "Imagelt", TSkinPiece::TopLeft},    {&Imagert, "Imagert", TSkinPiece::TopRight},
        {&Imager, "Imager", TSkinPiece::Right},        {&Imagerb, "Imagerb", TSkinPiece::BottomRight},
    };
    for (const auto& p : pieces) {
        TBitmap bmp = MakeSkinPiece(p.Kind);
        *p.Field = image(p.Name, 0, 0, bmp.Width(), bmp.Height(), false);
        (*p.Field)->AutoSize = true;
        (*p.Field)->SetPicture(bmp);
    }

    s1 = Make<TShape>();
    s1->SetName("s1");
    s1->SetParent(this);
    s1->SetBounds(31, 56, 162, 122);

    SpeedButton6 = button("SpeedButton6", 196, 3, 16, 16, "");
    SpeedButton6->SetGlyph(MakeGlyph(TGlyph::Close));
    SpeedButton5 = button("SpeedButton5", 179, 3, 16, 16, "");
    SpeedButton5->SetGlyph(MakeGlyph(TGlyph::Minimize));

    Label2 = label(Make<TLabel>(), "Label2", 10, 3, 167, 16, "Quorrelane");
    Label2->AutoSize = false;
    Label2->Transparent = true;
    Label2->Layout = tlCenter;
    Label2->Font.Bold = true;
    Label2->Font.Color = clWhite;

    SpeedButton3 = button("SpeedButton3", 27, 30, 25, 25, "Camera OPEN");
    SpeedButton3->SetGlyph(MakeGlyph(TGlyph::CameraOff));

    am = Make<TAnimateWindow>();
    am->SetName("am");

    const struct {
        TImage** Field;
        const char* Name;
        TGlyph Kind;
    } glyphs[] = {
        {&im32, "im32", TGlyph::CameraOn},
        {&im31, "im31", TGlyph::CameraOff},
        {&im12, "im12", TGlyph::ServerRunning},
        {&im11, "im11", TGlyph::ServerStopped},
    };
    for (const auto& g : glyphs) {
        TBitmap bmp = MakeGlyph(g.Kind);
        *g.Field = image(g.Name, 0, 0, bmp.Width(), bmp.Height(), false);
        (*g.Field)->AutoSize = true;
        (*g.Field)->SetPicture(bmp);
    }

    SpeedButton7 = button("SpeedButton7", 128, 30, 25, 25, "Setting");
    SpeedButton7->SetGlyph(MakeGlyph(TGlyph::Setting));

    Label3 = label(Make<TLabel>(), "Label3", 27, 190, 22, 12, "MSG");

    Timer1 = Make<TTimer>();
    Timer1->SetName("Timer1");
    Timer1->SetEnabled(false);
    Timer1->SetInterval(100000);

    SpeedButton8 = button("SpeedButton8", 160, 30, 25, 25, "OPtion");
    SpeedButton8->SetGlyph(MakeGlyph(TGlyph::Option));

    msg = label(Make<TStatusLine>(), "msg", 27, 208, 164, 12, "Ready.");
    msg->AutoSize = false;
    msg->Alignment = taRightJustify;

    Edit2 = Make<TEdit>();
    Edit2->SetName("Edit2");
    Edit2->SetParent(this);
    Edit2->SetBounds(56, 184, 134, 20);

    Button1 = Make<TButton>();
    Button1->SetName("Button1");
    Button1->SetParent(this);
    Button1->SetBounds(0, 0, 75, 25);
    Button1->SetVisible(false);

    motion1 = PopupMenu1->Add("motion1", "motion");
    MotionTimer = Make<TTimer>();
    MotionTimer->SetName("MotionTimer");
    MotionTimer->SetEnabled(false);
    MotionTimer->SetInterval(200);
    MotionMark = Make<TShape>();
    MotionMark->SetName("MotionMark");
    MotionMark->SetParent(this);
    MotionMark->PenColor = clRed;
    MotionMark->BrushClear = false;
    MotionMark->BrushColor = clRed;
    MotionMark->SetVisible(false);
}

void Tcapmain::BindEvents()
{
    using namespace std::placeholders;
    OnCreate = [this](TObject* s) { FormCreate(s); };
    OnShow = [this](TObject* s) { FormShow(s); };
    OnClose = [this](TObject* s, TCloseAction& a) { FormClose(s, a); };
    OnResize = [this](TObject* s) { FormResize(s); };
    Label2->OnMouseDown = std::bind(&Tcapmain::Label2MouseDown, this, _1, _2, _3, _4, _5);
    SpeedButton5->OnClick = [this](TObject* s) { SpeedButton5Click(s); };
    SpeedButton6->OnClick = [this](TObject* s) { SpeedButton6Click(s); };
    SpeedButton8->OnMouseUp = std::bind(&Tcapmain::SpeedButton8MouseUp, this, _1, _2, _3, _4, _5);
    am->OnMinimize = [this](TObject* s) { amMinimize(s); };
    am->OnRestore = [this](TObject* s) { amRestore(s); };
    BindCameraEvents();
    BindWebEvents();
    BindUploadEvents();
    BindMotionEvents();
}

void Tcapmain::FormCreate(TObject*)
{
    SetBounds(Left(), Top(), Image1->Width(), Image1->Height());
    AppDir = DataDirectory();
    MakeDirectories(AppDir, 0755);
    PaintSkinFrame(Image1);

    // The preview, centred, with s1 one pixel outside it on every side.
    FrameGrabber1->SetLeft((Image1->Width() - FrameGrabber1->Width()) / 2);
    int previewLeft = FrameGrabber1->Left(), previewTop = FrameGrabber1->Top(), previewWidth = FrameGrabber1->Width(),
        previewHeight = FrameGrabber1->Height();
    s1->SetBounds(previewLeft - 1, previewTop - 1, previewWidth + 2, previewHeight + 2);
    MotionMark->SetBounds(previewLeft + previewWidth - 12, previewTop + 4, 8, 8);

    srv->SetDocDir(AppDir.size() > 1 && AppDir.back() == '/' ? AppDir.substr(0, AppDir.size() - 1) : AppDir);
    srv->SetDefaultDoc("index.html");

    // The first local address; a host without one leaves the caption empty.
    const std::vector<std::string>& addresses = LocalAddressList();
    Label1->SetCaption(addresses.empty() ? std::string() : addresses.front());

    if (FrameGrabber1->HasDlgVideoFormat())
        format1->Enabled = true;
    if (FrameGrabber1->HasDlgVideoSource())
        src1->Enabled = true;

    MakeDirectories(DirectoryOf(SettingsFileName()), 0700);
    SettingsFile = std::make_unique<TIniFile>(SettingsFileName());
    ReadSettings();

    ConfigureServer();

    if (FtpInterval != 0) {
        Timer1->SetInterval(static_cast<UINT>(FtpInterval) * 60u * 1000u);
        Timer1->SetEnabled(true);
    } else {
        Timer1->SetEnabled(false);
    }

    SetDriverIndex(ReadInRange(*SettingsFile, "setting", "Driverindex", -1, -1, INT32_MAX));
    // The stored camera wherever it is in the list now; the index when no
    // camera has its identity.
    DriverIdentity = SettingsFile->ReadString("setting", "Driveridentity", "");
    if (const int found = FindCaptureIdentity(DriverIdentity); found >= 0)
        SetDriverIndex(found);
    IdentityIndex = DriverIndex();
    ApplyMotion();
}

void Tcapmain::ReadSettings()
{
    TIniFile& ini = *SettingsFile;
    FtpHost = ini.ReadString("setting", "fhost", "");
    FtpUser = ini.ReadString("setting", "fname", "");
    FtpPass = ReadPassword(ini);
    FtpDir = ini.ReadString("setting", "fdir", "");
    FtpInterval = ReadInRange(ini, "setting", "fint", 0, 0, MaxIntervalMinutes);
    HttpPort = ReadInRange(ini, "setting", "port", 8765, 1, 65535);
    EffectR = ReadInRange(ini, "efx", "r", 55, -255, 255);
    EffectG = ReadInRange(ini, "efx", "g", 45, -255, 255);
    EffectB = ReadInRange(ini, "efx", "b", 20, -255, 255);
    HistoryUpload = ini.ReadBool("setting", "history", false);
    DisablePrompt = ini.ReadBool("setting", "disable_prompt", false);
    FtpPassive = ini.ReadBool("setting", "fpasv", false);
    FtpAtomic = ini.ReadBool("setting", "fatomic", false);
    FtpTls = ini.ReadBool("setting", "ftls", false);
    FtpTlsFingerprint = ini.ReadString("setting", "ftlsfp", "");
    HttpUser = ini.ReadString("setting", "http_user", "");
    HttpPass = ReadPassword(ini, "http_pass");
    HttpsCert = ini.ReadString("setting", "https_cert", "");
    HttpsKey = ini.ReadString("setting", "https_key", "");
    BindAddress = ini.ReadString("setting", "bind", "0.0.0.0");
    if (BindAddress.empty())
        BindAddress = "0.0.0.0";
    FtpProto = ini.ReadString("setting", "fproto", "ftp");
    FtpKey = ini.ReadString("setting", "fkey", "");
    FtpHostKey = ini.ReadString("setting", "fhostkey", "");
    TMotionSettings& m = MotionSettings;
    const TMotionSettings d;
    m.Enabled = ini.ReadBool("setting", "motion", d.Enabled);
    m.Fps = ReadInRange(ini, "setting", "motion_fps", d.Fps, 1, 60);
    m.Noise = ReadInRange(ini, "setting", "motion_noise", d.Noise, 0, 255);
    m.Threshold = ReadInRange(ini, "setting", "motion_threshold", d.Threshold, 0, 999);
    m.Frames = ReadInRange(ini, "setting", "motion_frames", d.Frames, 1, 1000);
    m.Gap = ReadInRange(ini, "setting", "motion_gap", d.Gap, 1, 86400);
    m.LightSwitch = ReadInRange(ini, "setting", "motion_lightswitch", d.LightSwitch, 1, 1000);
    m.Interval = ReadInRange(ini, "setting", "motion_interval", d.Interval, 0, 86400);
    m.Keep = ReadInRange(ini, "setting", "motion_keep", d.Keep, 1, 1000000);
}

void Tcapmain::FormShow(TObject*)
{
    if (Startup.Args.empty() || Startup.Args[0] != "/a")
        return;
    // Shown before the message loop runs: an error of a click ends this
    // handler here and is shown, and the program goes on.
    try {
        SpeedButton3->Click();
        SpeedButton1->Click();
        // No server to upload to: say so instead of failing.
        if (FtpHost.empty())
            Application->Log(UploadsOffText());
        else
            SpeedButton4->Click();
    } catch (...) {
        Application->HandleException();
    }
}

void Tcapmain::FormClose(TObject*, TCloseAction&)
{
    // Streams end with a whole last part before the program goes.
    if (Stream)
        Stream->Finish(2000);
    CloseDriver();
    // A file the administrator keeps read-only (a service's /etc) is left
    // as it is, and the close goes on.
    struct statvfs fs {};
    const std::string file = SettingsFileName();
    if (statvfs(DirectoryOf(file).c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) {
        if (Application)
            Application->Log("Settings not written: " + file + " is on a read-only file system");
        SettingsFile.reset();
        return;
    }
    WriteSettings();
    SettingsFile.reset();
}

void Tcapmain::WriteSettings()
{
    if (!SettingsFile)
        SettingsFile = std::make_unique<TIniFile>(SettingsFileName());
    MakeDirectories(DirectoryOf(SettingsFile->FileName()), 0700);
    TIniFile& ini = *SettingsFile;
    ini.WriteInteger("setting", "Driverindex", DriverIndex());
    // The camera at the index now; a camera chosen at start that is away
    // keeps its stored identity.
    TDriverDetails details;
    if (DriverIndex() < 0)
        DriverIdentity.clear();
    else if ((DriverIndex() != IdentityIndex || FindCaptureIdentity(DriverIdentity) >= 0) &&
             DriverTable().Details(DriverIndex(), details))
        DriverIdentity = details.Identity;
    if (!DriverIdentity.empty())
        ini.WriteString("setting", "Driveridentity", DriverIdentity);
    else
        ini.DeleteKey("setting", "Driveridentity");
    ini.WriteString("setting", "fhost", FtpHost);
    ini.WriteString("setting", "fname", FtpUser);
    WritePassword(ini, FtpPass);
    ini.WriteString("setting", "fdir", FtpDir);
    ini.WriteInteger("setting", "fint", FtpInterval);
    ini.WriteInteger("setting", "port", HttpPort);
    ini.WriteInteger("efx", "r", EffectR);
    ini.WriteInteger("efx", "g", EffectG);
    ini.WriteInteger("efx", "b", EffectB);
    ini.WriteBool("setting", "history", HistoryUpload);
    ini.WriteBool("setting", "disable_prompt", DisablePrompt);
    ini.WriteBool("setting", "fpasv", FtpPassive);
    ini.WriteBool("setting", "fatomic", FtpAtomic);
    // Written once used: a plain set-up keeps its file as it was.
    if (FtpTls || ini.ReadString("setting", "ftls", "\x01") != "\x01")
        ini.WriteBool("setting", "ftls", FtpTls);
    if (!FtpTlsFingerprint.empty() || ini.ReadString("setting", "ftlsfp", "\x01") != "\x01")
        ini.WriteString("setting", "ftlsfp", FtpTlsFingerprint);
    // Written once used, as above.
    auto written = [&ini](const char* Key) { return ini.ReadString("setting", Key, "\x01") != "\x01"; };
    auto writeUsed = [&ini, &written](const char* Key, const std::string& Value, const std::string& Default) {
        if (Value != Default || written(Key))
            ini.WriteString("setting", Key, Value);
    };
    if (!HttpUser.empty() || written("http_user")) {
        ini.WriteString("setting", "http_user", HttpUser);
        WritePassword(ini, HttpPass, "http_pass");
    }
    writeUsed("https_cert", HttpsCert, "");
    writeUsed("https_key", HttpsKey, "");
    writeUsed("bind", BindAddress, "0.0.0.0");
    writeUsed("fproto", FtpProto, "ftp");
    writeUsed("fkey", FtpKey, "");
    writeUsed("fhostkey", FtpHostKey, "");
    // The motion keys likewise, all of them once detection was used.
    const TMotionSettings& m = MotionSettings;
    if (m.Enabled || ini.ReadString("setting", "motion", "\x01") != "\x01") {
        ini.WriteBool("setting", "motion", m.Enabled);
        ini.WriteInteger("setting", "motion_fps", m.Fps);
        ini.WriteInteger("setting", "motion_noise", m.Noise);
        ini.WriteInteger("setting", "motion_threshold", m.Threshold);
        ini.WriteInteger("setting", "motion_frames", m.Frames);
        ini.WriteInteger("setting", "motion_gap", m.Gap);
        ini.WriteInteger("setting", "motion_lightswitch", m.LightSwitch);
        ini.WriteInteger("setting", "motion_interval", m.Interval);
        ini.WriteInteger("setting", "motion_keep", m.Keep);
    }
}

void Tcapmain::FormResize(TObject*) {}

void Tcapmain::PaintSkinFrame(TImage* Image)
{
    const int W = Image->Width(), H = Image->Height();
    TBitmap& canvas = Image->Picture();
    if (canvas.Width() != W || canvas.Height() != H)
        canvas.SetSize(W, H);
    const TBitmap& l = Imagel->Picture();
    const TBitmap& lb = Imagelb->Picture();
    const TBitmap& lt = Imagelt->Picture();
    const TBitmap& rt = Imagert->Picture();
    const TBitmap& r = Imager->Picture();
    const TBitmap& rb = Imagerb->Picture();

    canvas.Fill(255, 255, 255);
    canvas.CopyRect(0, 0, lt, 0, 0, lt.Width(), lt.Height());
    canvas.CopyRect(W - rt.Width(), 0, rt, 0, 0, rt.Width(), rt.Height());
    canvas.CopyRect(0, H - lb.Height(), lb, 0, 0, lb.Width(), lb.Height());
    canvas.CopyRect(W - rt.Width(), H - lb.Height(), rb, 0, 0, rb.Width(), rb.Height());
    canvas.StretchRect(lt.Width(), 0, W - lt.Width() - rt.Width(), lt.Height(),
                       lt, lt.Width() - 3, 0, 2, lt.Height());
    canvas.StretchRect(lb.Width(), H - lb.Height(), W - lb.Width() - rb.Width(), lb.Height(),
                       lb, lb.Width() - 3, 0, 2, lb.Height());
    canvas.StretchRect(0, lt.Height(), l.Width(), H - lt.Height() - lb.Height(),
                       l, 0, 0, l.Width(), 1);
    canvas.StretchRect(W - r.Width(), lt.Height(), l.Width(), H - lt.Height() - lb.Height(),
                       r, 0, 0, l.Width(), 1);
    Image->Invalidate();
}

int Tcapmain::DriverIndex() const { return FrameGrabber1->DriverIndex(); }

void Tcapmain::SetDriverIndex(int Value)
{
    FrameGrabber1->SetDriverIndex(Value);
    if (Stream && !FrameGrabber1->DriverOpen())
        Stream->EndAll();
}

void Tcapmain::CloseDriver()
{
    FrameGrabber1->SetDriverOpen(false);
    if (Stream)
        Stream->EndAll();
}

void Tcapmain::Label2MouseDown(TObject*, TMouseButton Button, TShiftState, int, int)
{
    if (Button != mbLeft)
        return;
    ReleaseCapture();
    SendMessage(Handle(), WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

void Tcapmain::SpeedButton5Click(TObject*) { am->Minimize(); }

void Tcapmain::SpeedButton6Click(TObject*) { Close(); }

void Tcapmain::SpeedButton8MouseUp(TObject*, TMouseButton, TShiftState, int X, int Y)
{
    PopupMenu1->Popup(Left() + SpeedButton8->Left() + X, Top() + SpeedButton8->Top() + Y);
}

void Tcapmain::amMinimize(TObject*) {}

void Tcapmain::amRestore(TObject*) {}
