#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "app/main.h"
#include "net/WSocket.h"
#include "platform/Application.h"
#include "platform/Profile.h"

namespace {

class MainWindow : public ::testing::Test {
protected:
    MainWindow()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Ini = Dir + "/cfg/sub/videosetting.ini";
        NewApplication();
    }
    ~MainWindow() override
    {
        App->DrainQueue();  // a quit left by a close
        App.reset();
        FormsFrontEnd = TFormsFrontEnd{};
    }

    Tcapmain* Create() { return CreateForm<Tcapmain>(); }

    // A fresh application whose message boxes land in Messages.
    void NewApplication()
    {
        App = std::make_unique<TApplication>();
        App->Title = "Quorrelane";
        App->FrontEnd.ShowMessage = [this](const std::string& text, const std::string& caption, UINT) {
            Messages.push_back("[" + caption + "] " + text);
        };
    }

    // Closes the window the way the platform does and runs the queue.
    void CloseByMessage()
    {
        PostMessage(capmain->Handle(), WM_CLOSE, 0, 0);
        App->DrainQueue();
    }

    // A fresh program run over the same files.
    void Restart()
    {
        App->DrainQueue();
        App.reset();
        NewApplication();
        Create();
    }

    TTempDir Temp;
    std::string Dir = Temp.Name(), Ini;
    std::unique_ptr<TApplication> App;
    std::vector<std::string> Messages;
};

} // namespace

TEST_F(MainWindow, DefaultsWithoutASettingsFile)
{
    FtpHost = "stale";
    FtpInterval = 3;
    Create();
    EXPECT_EQ(FtpHost, "");
    EXPECT_EQ(FtpUser, "");
    EXPECT_EQ(FtpPass, "");
    EXPECT_EQ(FtpDir, "");
    EXPECT_EQ(FtpInterval, 0);
    EXPECT_FALSE(capmain->Timer1->Enabled());
    EXPECT_EQ(capmain->HttpPort, 8765);
    EXPECT_EQ(EffectR, 55);
    EXPECT_EQ(EffectG, 45);
    EXPECT_EQ(EffectB, 20);
    EXPECT_FALSE(HistoryUpload);
    EXPECT_FALSE(DisablePrompt);
    EXPECT_EQ(capmain->DriverIndex(), -1);
    const auto& addresses = LocalAddressList();
    EXPECT_EQ(capmain->Label1->Caption(), addresses.empty() ? std::string() : addresses.front());
    EXPECT_EQ(AppDir, Dir + "/doc/");
    EXPECT_TRUE(std::filesystem::is_directory(Dir + "/doc"));
    EXPECT_TRUE(std::filesystem::is_directory(Dir + "/cfg/sub"));
    EXPECT_FALSE(std::filesystem::exists(Ini));  // written only at close
    EXPECT_TRUE(Messages.empty());
}

TEST_F(MainWindow, LayoutCaptionsAndHints)
{
    Create();
    EXPECT_EQ(App->MainForm, capmain);
    EXPECT_EQ(capmain->Caption(), "Quorrelane");
    EXPECT_EQ(capmain->BorderStyle, bsNone);
    EXPECT_EQ(capmain->Color(), clWhite);
    EXPECT_EQ(capmain->Font.Name, "IPAPGothic");
    EXPECT_EQ(capmain->Width(), 217);
    EXPECT_EQ(capmain->Height(), 230);
    struct Expect {
        TControl* C;
        int L, T, W, H;
        bool Visible;
        const char* Hint;
    };
    const Expect table[] = {
        {capmain->SpeedButton1, 56, 30, 25, 25, true, "Server Start"},
        {capmain->SpeedButton2, 360, 144, 73, 17, true, ""},
        {capmain->SpeedButton4, 82, 30, 41, 25, true, "Start FTP"},
        {capmain->Image1, 0, 0, 217, 230, true, ""},
        {capmain->SpeedButton6, 196, 3, 16, 16, true, ""},
        {capmain->SpeedButton5, 179, 3, 16, 16, true, ""},
        {capmain->Label2, 10, 3, 167, 16, true, ""},
        {capmain->SpeedButton3, 27, 30, 25, 25, true, "Camera OPEN"},
        {capmain->SpeedButton7, 128, 30, 25, 25, true, "Setting"},
        {capmain->SpeedButton8, 160, 30, 25, 25, true, "OPtion"},
        {capmain->msg, 27, 208, 164, 12, true, ""},
        {capmain->Edit2, 56, 184, 134, 20, true, ""},
        {capmain->s1, 27, 56, 162, 122, true, ""},
    };
    for (const auto& e : table) {
        SCOPED_TRACE(e.C->Name());
        EXPECT_EQ(e.C->Left(), e.L);
        EXPECT_EQ(e.C->Top(), e.T);
        EXPECT_EQ(e.C->Width(), e.W);
        EXPECT_EQ(e.C->Height(), e.H);
        EXPECT_EQ(e.C->Visible(), e.Visible);
        EXPECT_EQ(e.C->Hint(), e.Hint);
    }
    EXPECT_EQ(capmain->Label3->Left(), 27);
    EXPECT_EQ(capmain->Label3->Top(), 190);
    EXPECT_EQ(capmain->Label3->Caption(), "MSG");
    EXPECT_EQ(capmain->Label2->Caption(), "Quorrelane");
    EXPECT_TRUE(capmain->Label2->Font.Bold);
    EXPECT_EQ(capmain->Label2->Font.Color, clWhite);
    EXPECT_TRUE(capmain->Label2->Transparent);
    EXPECT_EQ(capmain->msg->Caption(), "Ready.");
    EXPECT_EQ(capmain->msg->Alignment, taRightJustify);
    EXPECT_EQ(capmain->SpeedButton2->Caption(), "devicesetup");
    EXPECT_EQ(capmain->Edit1->Text(), "http.jpg");
    for (TControl* hidden : std::initializer_list<TControl*>{
             capmain->Edit1, capmain->Label1, capmain->Button1, capmain->Imagel, capmain->Imagelb, capmain->Imagelt,
             capmain->Imagert, capmain->Imager, capmain->Imagerb, capmain->im32, capmain->im31, capmain->im12,
             capmain->im11})
        EXPECT_FALSE(hidden->Visible()) << hidden->Name();
    const std::pair<TImage*, std::pair<int, int>> sizes[] = {
        {capmain->Imagel, {6, 15}},  {capmain->Imagelb, {32, 6}}, {capmain->Imagelt, {32, 21}},
        {capmain->Imagert, {32, 21}}, {capmain->Imager, {6, 15}},  {capmain->Imagerb, {32, 6}},
        {capmain->im32, {16, 16}},   {capmain->im31, {16, 16}},   {capmain->im12, {17, 17}},
        {capmain->im11, {17, 17}},
    };
    for (const auto& [img, wh] : sizes) {
        EXPECT_EQ(img->Picture().Width(), wh.first) << img->Name();
        EXPECT_EQ(img->Picture().Height(), wh.second) << img->Name();
    }
    ASSERT_EQ(capmain->PopupMenu1->Items.size(), 5u);
    EXPECT_EQ(capmain->PopupMenu1->Items[0]->Caption, "src");
    EXPECT_EQ(capmain->PopupMenu1->Items[1]->Caption, "format");
    EXPECT_EQ(capmain->PopupMenu1->Items[2], capmain->Effect1);
    EXPECT_EQ(capmain->Effect1->Caption, "camera Effect");
    EXPECT_EQ(capmain->PopupMenu1->Items[3]->Caption, "devicesetup");
    EXPECT_EQ(capmain->PopupMenu1->Items[4], capmain->motion1);
    EXPECT_FALSE(capmain->motion1->Checked);
    EXPECT_FALSE(capmain->Effect1->Checked);
    EXPECT_FALSE(capmain->src1->Enabled);
    EXPECT_FALSE(capmain->format1->Enabled);
    EXPECT_EQ(capmain->Timer1->Interval(), 100000u);
}

TEST_F(MainWindow, IntervalReadsDecimalHexAndRejectsText)
{
    const std::pair<const char*, int> cases[] = {{"5", 5}, {"0x0A", 10}, {"abc", 0}, {"71582", 71582}, {"71583", 0}};
    for (const auto& [text, minutes] : cases) {
        SCOPED_TRACE(text);
        Spit(Ini, std::string("[setting]\nfint=") + text + "\n");
        Restart();
        EXPECT_EQ(FtpInterval, minutes);
        EXPECT_EQ(capmain->Timer1->Enabled(), minutes != 0);
        if (minutes) {
            EXPECT_EQ(capmain->Timer1->Interval(), static_cast<UINT>(minutes) * 60000u);
        }
    }
    EXPECT_EQ(FtpInterval, 0);
    Spit(Ini, "[setting]\nfint=5\n");
    Restart();
    EXPECT_EQ(capmain->Timer1->Interval(), 300000u);
}

TEST_F(MainWindow, SettingsAreReadFromTheirSectionsAndKeys)
{
    Spit(Ini, "[SETTING]\nFHOST=ftp.example.org\nfname=me\nfdir=/pub\nport=9000\nhistory=1\ndisable_prompt=0x1\n"
              "Driverindex=0\n[efx]\nr=-5\ng=abc\nb=0x10\n[other]\nfhost=wrong\n");
    Create();
    EXPECT_EQ(FtpHost, "ftp.example.org");
    EXPECT_EQ(FtpUser, "me");
    EXPECT_EQ(FtpDir, "/pub");
    EXPECT_EQ(capmain->HttpPort, 9000);
    EXPECT_TRUE(HistoryUpload);
    EXPECT_TRUE(DisablePrompt);
    EXPECT_EQ(capmain->DriverIndex(), 0);
    EXPECT_EQ(EffectR, -5);
    EXPECT_EQ(EffectG, 45);
    EXPECT_EQ(EffectB, 16);
}

TEST_F(MainWindow, BadSettingsFilesGiveDefaultsQuietly)
{
    const std::string bad[] = {
        "",
        "[setting",
        "[setting]\nfint",
        std::string("\x00\x01\xff\xfe[setting]\x00fint=5\n", 19),
        "[setting]\nfint=99999999999999\nport=-x\nfhost=" + std::string(200000, 'h') + "\n",
        "[setting]\nfint=71583\nport=65536\nDriverindex=-7\n[efx]\nr=256\ng=-1000\nb=0x7FFFFFFF\n",
        "[setting]\nfint=-1\nport=0\n",
    };
    for (const auto& data : bad) {
        Spit(Ini, data);
        Restart();
        EXPECT_EQ(FtpInterval, 0);
        EXPECT_FALSE(capmain->Timer1->Enabled());
        EXPECT_EQ(capmain->HttpPort, 8765);
        EXPECT_LE(FtpHost.size(), 1023u);
        EXPECT_EQ(capmain->DriverIndex(), -1);
        EXPECT_EQ(EffectR, 55);
        EXPECT_EQ(EffectG, 45);
        EXPECT_EQ(EffectB, 20);
    }
    // A value with a stray line break is read and written back quietly.
    Spit(Ini, "[setting]\nfhost=a\rb\nfdir=\x01\n\x7f");
    Restart();
    capmain->Close();
    App->DrainQueue();
    EXPECT_TRUE(App->Terminated());
    EXPECT_EQ(GetPrivateProfileString("setting", "fhost", "", 1024, Ini), "a");
    EXPECT_TRUE(Messages.empty());

    std::filesystem::remove(Ini);
    std::filesystem::create_directories(Ini);  // a directory where the file should be
    Restart();
    EXPECT_EQ(capmain->HttpPort, 8765);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(MainWindow, CloseWritesEveryKeyInOrderEvenWhenNothingChanged)
{
    Create();
    capmain->Show();
    CloseByMessage();
    EXPECT_TRUE(App->Terminated());
    EXPECT_EQ(Slurp(Ini), DefaultSettingsText);
    struct stat st{};
    ASSERT_EQ(stat(Ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(MainWindow, ValuesSurviveARunAndHexIsWrittenBackInDecimal)
{
    std::string scrambled = ScramblePassword("pw");
    Spit(Ini, "; mine\n[setting]\nfint=0x0A\nfpass=" + scrambled + "\nport=9000\nextra=kept\n[efx]\nr=1\n");
    Create();
    EXPECT_EQ(FtpPass, "pw");
    FtpHost = "h";
    capmain->Close();
    EXPECT_EQ(Slurp(Ini), "; mine\n[setting]\nfint=10\nfpass=" + scrambled +
                              "\nport=9000\nextra=kept\nDriverindex=-1\nfhost=h\nfname=\nfdir=\nhistory=0\n"
                              "disable_prompt=0\nfpasv=0\nfatomic=0\n[efx]\nr=1\ng=45\nb=20\n");
}

TEST_F(MainWindow, PasswordIsStoredScrambledAndReadBackExactly)
{
    Create();
    FtpPass = "s3cret!";
    capmain->Close();
    std::string stored = GetPrivateProfileString("setting", "fpass", "", 1024, Ini);
    ASSERT_EQ(stored.size(), 7u);
    for (size_t i = 0; i < stored.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(stored[i]), static_cast<unsigned char>("s3cret!"[i]) ^ 0xA7);
    EXPECT_EQ(Slurp(Ini).find("fpassx"), std::string::npos);
    EXPECT_EQ(ScramblePassword(ScramblePassword("abc")), "abc");

    // Bytes the plain scheme would lose: the key itself (a zero byte),
    // those that scramble to CR, LF, blanks or quotes, and UTF-8 text.
    const std::string hard[] = {
        std::string("a\xA7" "b", 3), "\xAA\xAD", "\x87pad\x87", "\x85q\x85", "\xE3\x81\xA7\xE3\x81\x82", "\x80\xAE",
        std::string(600, 'p') + "\xA7", std::string(1500, 'q'),
    };
    for (const auto& pass : hard) {
        FtpPass = pass;
        CloseByMessage();
        Restart();
        EXPECT_EQ(FtpPass, pass);
        EXPECT_EQ(Slurp(Ini).find("fpass=") != std::string::npos, true);
    }
    // A plain password again removes the long form.
    FtpPass = "plain";
    capmain->Close();
    EXPECT_EQ(Slurp(Ini).find("fpassx"), std::string::npos);
}

TEST_F(MainWindow, PasswordChangedByAnOlderProgramWinsOverTheLongForm)
{
    Create();
    FtpPass = std::string("x\xA7y", 3);
    capmain->Close();
    // A program that knows only "fpass" stores another password.
    ASSERT_TRUE(WritePrivateProfileString("setting", "fpass", ScramblePassword("new").c_str(), Ini));
    Restart();
    EXPECT_EQ(FtpPass, "new");
}

TEST_F(MainWindow, FailedWriteKeepsTheWindowOpenAndALaterCloseWrites)
{
    std::filesystem::create_directories(Ini);  // the file cannot be replaced
    Create();
    capmain->Show();
    FtpHost = "kept";
    CloseByMessage();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0], "[Quorrelane] " + Ini + " に書き込めません");
    EXPECT_FALSE(App->Terminated());
    EXPECT_TRUE(capmain->Visible());

    std::filesystem::remove(Ini);
    CloseByMessage();
    EXPECT_TRUE(App->Terminated());
    EXPECT_EQ(GetPrivateProfileString("setting", "fhost", "", 1024, Ini), "kept");
    EXPECT_EQ(GetPrivateProfileString("setting", "disable_prompt", "", 1024, Ini), "0");
    EXPECT_EQ(Messages.size(), 1u);
}

TEST_F(MainWindow, ReadOnlySettingsFileIsRefusedLikeAReadOnlyFolder)
{
    Spit(Ini, "[setting]\nfhost=old\n");
    ASSERT_EQ(chmod(Ini.c_str(), 0444), 0);
    Create();
    capmain->Show();
    FtpHost = "new";
    CloseByMessage();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0], "[Quorrelane] " + Ini + " に書き込めません");
    EXPECT_FALSE(App->Terminated());
    EXPECT_EQ(Slurp(Ini), "[setting]\nfhost=old\n");

    ASSERT_EQ(chmod(Ini.c_str(), 0640), 0);
    CloseByMessage();
    EXPECT_TRUE(App->Terminated());
    EXPECT_EQ(GetPrivateProfileString("setting", "fhost", "", 1024, Ini), "new");
    struct stat st{};
    ASSERT_EQ(stat(Ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(MainWindow, AutoStartOnlyWithSlashAFirst)
{
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"/a"}, true}, {{"x", "/a"}, false}, {{"/A"}, false}, {{"x", "/A"}, false}, {{}, false}, {{"/a", "x"}, true},
    };
    for (const auto& [args, starts] : cases) {
        Startup.Args = args;
        Restart();
        FtpHost = "ftp.example.org";  // without one "/a" uploads nothing
        std::vector<std::string> clicks;
        for (TSpeedButton* b : {capmain->SpeedButton1, capmain->SpeedButton3, capmain->SpeedButton4})
            b->OnClick = [&clicks](TObject* s) { clicks.push_back(static_cast<TComponent*>(s)->Name()); };
        capmain->Show();
        if (starts) {
            EXPECT_EQ(clicks, (std::vector<std::string>{"SpeedButton3", "SpeedButton1", "SpeedButton4"}));
        } else {
            EXPECT_TRUE(clicks.empty());
        }
    }
}

TEST_F(MainWindow, AutoStartErrorIsShownAndTheProgramGoesOn)
{
    Startup.Args = {"/a"};
    Create();
    std::vector<std::string> clicks;
    capmain->SpeedButton3->OnClick = [&clicks](TObject*) { clicks.push_back("camera"); };
    capmain->SpeedButton1->OnClick = [&clicks](TObject*) -> void {
        clicks.push_back("server");
        throw Exception("port busy");
    };
    capmain->SpeedButton4->OnClick = [&clicks](TObject*) { clicks.push_back("ftp"); };
    EXPECT_NO_THROW(capmain->Show());
    EXPECT_EQ(clicks, (std::vector<std::string>{"camera", "server"}));
    EXPECT_EQ(Messages, std::vector<std::string>{"[Quorrelane] port busy"});
    EXPECT_TRUE(capmain->Visible());
    CloseByMessage();
    EXPECT_TRUE(App->Terminated());
    EXPECT_TRUE(std::filesystem::exists(Ini));
}

TEST_F(MainWindow, StatusLineProcessesPendingMessages)
{
    Create();
    bool ran = false;
    HWND wnd = CreateWindowHandle([](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_USER + 7)
            *reinterpret_cast<bool*>(GetWindowLongPtr(w, GWL_USERDATA)) = true;
        return DefWindowProc(w, m, wp, lp);
    }, nullptr, reinterpret_cast<LONG_PTR>(&ran));
    PostMessage(wnd, WM_USER + 7, 0, 0);
    capmain->msg->SetCaption("Connecting...");
    EXPECT_TRUE(ran);
    EXPECT_EQ(capmain->msg->Caption(), "Connecting...");
    DestroyWindow(wnd);
}

TEST_F(MainWindow, SkinPiecesLandAtTheirPixels)
{
    Create();
    // Every piece pixel tells where it came from: R = x, G = y, B = piece.
    TImage* pieces[] = {capmain->Imagel, capmain->Imagelb, capmain->Imagelt,
                        capmain->Imagert, capmain->Imager, capmain->Imagerb};
    for (int id = 0; id < 6; ++id) {
        TBitmap b = pieces[id]->Picture();
        for (int y = 0; y < b.Height(); ++y)
            for (int x = 0; x < b.Width(); ++x) {
                uint8_t* p = b.ScanLine(y) + x * 3;
                p[0] = static_cast<uint8_t>(x);
                p[1] = static_cast<uint8_t>(y);
                p[2] = static_cast<uint8_t>(id + 1);
            }
        pieces[id]->SetPicture(b);
    }
    enum { L = 1, LB, LT, RT, R, RB };
    auto* img = capmain->Make<TImage>();
    const int W = 100, H = 60;
    img->SetBounds(0, 0, W, H);
    capmain->PaintSkinFrame(img);
    const TBitmap& c = img->Picture();
    ASSERT_EQ(c.Width(), W);
    ASSERT_EQ(c.Height(), H);
    auto px = [&c](int x, int y) {
        const uint8_t* p = c.ScanLine(y) + x * 3;
        return std::tuple<int, int, int>(p[0], p[1], p[2]);
    };
    using T = std::tuple<int, int, int>;
    EXPECT_EQ(px(0, 0), T(0, 0, LT));
    EXPECT_EQ(px(31, 20), T(31, 20, LT));
    EXPECT_EQ(px(W - 32, 0), T(0, 0, RT));
    EXPECT_EQ(px(W - 1, 20), T(31, 20, RT));
    EXPECT_EQ(px(0, H - 6), T(0, 0, LB));
    EXPECT_EQ(px(31, H - 1), T(31, 5, LB));
    EXPECT_EQ(px(W - 32, H - 6), T(0, 0, RB));
    EXPECT_EQ(px(W - 1, H - 1), T(31, 5, RB));
    for (int x = 32; x < W - 32; ++x) {
        auto [r, g, b] = px(x, 7);
        EXPECT_TRUE(b == LT && (r == 29 || r == 30) && g == 7) << x;
        auto [r2, g2, b2] = px(x, H - 2);
        EXPECT_TRUE(b2 == LB && (r2 == 29 || r2 == 30) && g2 == 4) << x;
    }
    EXPECT_EQ(std::get<0>(px(32, 0)), 29);
    EXPECT_EQ(std::get<0>(px(W - 33, 0)), 30);
    for (int y = 21; y < H - 6; ++y)
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(px(x, y), T(x, 0, L));
            EXPECT_EQ(px(W - 6 + x, y), T(x, 0, R));
        }
    EXPECT_EQ(px(6, 21), T(255, 255, 255));
    EXPECT_EQ(px(W - 7, H - 7), T(255, 255, 255));
    EXPECT_EQ(px(50, 30), T(255, 255, 255));
}

TEST_F(MainWindow, CaptionButtonsDragMinimizeCloseAndMenu)
{
    Create();
    capmain->Show();
    std::vector<TWindowChange> changes;
    SetWindowHost(capmain->Handle(), [&changes](HWND, TWindowChange c) { changes.push_back(c); });

    capmain->Label2->MouseDown(mbRight, ssRight, 5, 5);
    EXPECT_TRUE(changes.empty());
    capmain->Label2->MouseDown(mbLeft, ssLeft, 5, 5);
    EXPECT_EQ(changes, std::vector<TWindowChange>{TWindowChange::SystemMove});

    int menuX = -1, menuY = -1;
    TPopupMenu* shown = nullptr;
    FormsFrontEnd.Popup = [&](TPopupMenu& m, int x, int y) {
        shown = &m;
        menuX = x;
        menuY = y;
    };
    capmain->SpeedButton8->MouseUp(mbMiddle, 0, 4, 6);
    EXPECT_EQ(shown, capmain->PopupMenu1);
    EXPECT_EQ(menuX, capmain->Left() + 160 + 4);
    EXPECT_EQ(menuY, capmain->Top() + 30 + 6);

    changes.clear();
    capmain->SpeedButton5->Click();
    EXPECT_TRUE(IsIconic(capmain->Handle()));
    EXPECT_NE(std::find(changes.begin(), changes.end(), TWindowChange::Minimize), changes.end());

    capmain->SpeedButton6->Click();
    App->DrainQueue();
    EXPECT_TRUE(App->Terminated());
    EXPECT_TRUE(std::filesystem::exists(Ini));
    SetWindowHost(capmain->Handle(), nullptr);
}

TEST_F(MainWindow, WebLoginCertificateAndBindAddressSurviveARun)
{
    Create();
    HttpUser = "alice";
    HttpPass = "pässwort";
    HttpsCert = "/etc/c.pem";
    HttpsKey = "/etc/k.pem";
    BindAddress = "127.0.0.1";
    CloseByMessage();
    EXPECT_EQ(GetPrivateProfileString("setting", "http_pass", "", 1024, Ini), ScramblePassword("pässwort"));
    HttpUser = HttpPass = HttpsCert = HttpsKey = BindAddress = "";
    Restart();
    EXPECT_EQ(std::vector<std::string>({HttpUser, HttpPass, HttpsCert, HttpsKey, BindAddress}),
              std::vector<std::string>({"alice", "pässwort", "/etc/c.pem", "/etc/k.pem", "127.0.0.1"}));
    EXPECT_EQ(capmain->srv->GetAddr(), "127.0.0.1");
    EXPECT_TRUE(capmain->srv->GetSecure());
}
