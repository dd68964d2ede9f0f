#include <gtest/gtest.h>

#include <functional>

#include "TestSupport.h"
#include "app/main.h"
#include "app/setting.h"
#include "net/WSocket.h"
#include "platform/Application.h"
#include "platform/Profile.h"

namespace {

class SettingsDialog : public ::testing::Test {
protected:
    SettingsDialog()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Ini = Dir + "/videosetting.ini";
        App.FrontEnd.ShowMessage = [this](const std::string& text, const std::string& caption, UINT) {
            Messages.push_back("[" + caption + "] " + text);
        };
    }
    ~SettingsDialog() override { FormsFrontEnd.HandleMessage = nullptr; }

    void Create()
    {
        CreateForm<Tcapmain>();
        CreateForm<Tsettingform>();
        Dlg = settingform;
    }

    // The operator's turn in the dialog: Edit runs once the dialog shows,
    // then "ok" is pressed, or the close box when Ok is false.
    void Operator(std::function<void()> Edit, bool Ok = true)
    {
        FormsFrontEnd.HandleMessage = [this, Edit, Ok] {
            ++Shown;
            if (Edit)
                Edit();
            if (Ok)
                Dlg->SpeedButton1->Click();
            else
                PostMessage(Dlg->Handle(), WM_CLOSE, 0, 0), App.ProcessMessages();
        };
    }

    TTempDir Temp;
    std::string Dir = Temp.Name(), Ini;
    TApplication App;
    Tsettingform* Dlg = nullptr;
    std::vector<std::string> Messages;
    int Shown = 0;
};

} // namespace

TEST_F(SettingsDialog, LayoutCaptionsTabOrderAndHiddenRows)
{
    Create();
    EXPECT_EQ(Dlg->Caption(), "settingform");
    EXPECT_EQ(Dlg->BorderStyle, bsDialog);
    EXPECT_EQ(Dlg->Width(), 335);
    EXPECT_EQ(Dlg->Height(), 310);
    EXPECT_EQ(Dlg->Font.Name, "IPAPGothic");
    struct Expect {
        TControl* C;
        int L, T;
        const char* Caption;
        bool Visible;
    };
    const Expect labels[] = {
        {Dlg->Label1, 8, 24, "HOST", true},
        {Dlg->Label2, 8, 48, "USER NAME", true},
        {Dlg->Label3, 8, 72, "PASSWORD", true},
        {Dlg->Label4, 8, 96, "DIRECTORY", true},
        {Dlg->Label6, 8, 128, "Ftp Upload Per", true},
        {Dlg->Label5, 144, 128, ".Min   <<<Set \"0\"=AutoUpload OFF", true},
        {Dlg->Label7, 8, 150, "History Upload", false},
        {Dlg->Label10, 112, 150, "<<< ユニークなファイル名のjpgも同時UP", false},
        {Dlg->Label8, 8, 174, "Disable Prompt", false},
        {Dlg->Label9, 112, 174, "<<< if you want Disable Prompt message", false},
        {Dlg->SpeedButton1, 136, 272, "ok", true},
        {Dlg->CheckPasv, 8, 194, "Passive (PASV)", true},
        {Dlg->CheckAtomic, 128, 194, "Upload via temporary name", true},
        {Dlg->CheckTls, 8, 148, "TLS (FTPS)", true},
        {Dlg->Label11, 8, 174, "Fingerprint", true},
    };
    for (const auto& e : labels) {
        SCOPED_TRACE(e.C->Name());
        EXPECT_EQ(e.C->Left(), e.L);
        EXPECT_EQ(e.C->Top(), e.T);
        EXPECT_EQ(e.C->Caption(), e.Caption);
        EXPECT_EQ(e.C->Visible(), e.Visible);
    }
    struct Field {
        TWinControl* C;
        int L, T, W, Tab;
        bool Visible;
    };
    const Field fields[] = {
        {Dlg->Edithost, 88, 24, 225, 0, true}, {Dlg->editname, 88, 48, 121, 1, true},
        {Dlg->editpass, 88, 72, 121, 2, true}, {Dlg->editdir, 88, 96, 121, 3, true},
        {Dlg->Memo1, 8, 216, 249, 4, true},    {Dlg->editint, 88, 120, 49, 5, true},
        {Dlg->CheckH, 88, 148, 17, 6, false},  {Dlg->CheckD, 88, 172, 17, 7, false},
        {Dlg->CheckPasv, 8, 194, 112, 8, true}, {Dlg->CheckAtomic, 128, 194, 200, 9, true},
        {Dlg->CheckTls, 8, 148, 100, 10, true},  {Dlg->editfp, 88, 172, 225, 11, true},
        {Dlg->ComboProto, 88, 1, 81, 12, true}, {Dlg->editkey, 214, 62, 113, 13, true},
        {Dlg->edithostkey, 214, 96, 113, 14, true},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.C->Name());
        EXPECT_EQ(f.C->Left(), f.L);
        EXPECT_EQ(f.C->Top(), f.T);
        EXPECT_EQ(f.C->Width(), f.W);
        EXPECT_EQ(f.C->TabOrder, f.Tab);
        EXPECT_EQ(f.C->Visible(), f.Visible);
        // Inside the client area.
        EXPECT_LE(f.C->Left() + f.C->Width(), Dlg->Width());
        EXPECT_LE(f.C->Top() + f.C->Height(), Dlg->Height());
    }
    EXPECT_EQ(Dlg->Memo1->Height(), 41);
    EXPECT_TRUE(Dlg->Memo1->ReadOnly);
    EXPECT_FALSE(Dlg->Memo1->Border);
    EXPECT_EQ(Dlg->Memo1->Color(), clBtnFace);
    EXPECT_EQ(Dlg->editpass->PasswordChar, '*');
    EXPECT_EQ(Dlg->Edithost->PasswordChar, 0);
    // The new row sits between the hidden prompt row and the address box.
    EXPECT_GE(Dlg->CheckPasv->Top(), Dlg->CheckD->Top() + Dlg->CheckD->Height());
    EXPECT_LE(Dlg->CheckPasv->Top() + Dlg->CheckPasv->Height(), Dlg->Memo1->Top());
    EXPECT_LE(Dlg->CheckPasv->Left() + Dlg->CheckPasv->Width(), Dlg->CheckAtomic->Left());
}

TEST_F(SettingsDialog, AddressBoxListsEveryAddressWithTheHttpPortOnEachShowing)
{
    Create();
    capmain->HttpPort = 9123;
    Dlg->Memo1->Add("left over");
    Operator(nullptr, false);
    capmain->SpeedButton7->Click();
    std::vector<std::string> expect{"Server Address:"};
    for (const std::string& a : LocalAddressList())
        expect.push_back("http://" + a + ":9123");
    EXPECT_EQ(Dlg->Memo1->Lines(), expect);
    capmain->SpeedButton7->Click();
    EXPECT_EQ(Dlg->Memo1->Lines(), expect);
    EXPECT_EQ(Shown, 2);
}

TEST_F(SettingsDialog, OkCopiesEveryFieldOutAndTheFileWaitsForTheClose)
{
    Spit(Ini, "[setting]\nfhost=old.example\nfname=u\nfdir=/d\nfint=3\nhistory=1\ndisable_prompt=1\n");
    Create();
    FtpPass = "old pw";
    Operator([this] {
        // What the operator finds: the current settings.
        EXPECT_EQ(Dlg->Edithost->Text(), "old.example");
        EXPECT_EQ(Dlg->editname->Text(), "u");
        EXPECT_EQ(Dlg->editpass->Text(), "old pw");
        EXPECT_EQ(Dlg->editdir->Text(), "/d");
        EXPECT_EQ(Dlg->editint->Text(), "3");
        EXPECT_TRUE(Dlg->CheckH->Checked());
        EXPECT_TRUE(Dlg->CheckD->Checked());
        EXPECT_FALSE(Dlg->CheckPasv->Checked());
        EXPECT_FALSE(Dlg->CheckAtomic->Checked());
        EXPECT_FALSE(Dlg->CheckTls->Checked());
        EXPECT_EQ(Dlg->editfp->Text(), "");
        EXPECT_EQ(Dlg->ComboProto->Text(), "FTP");
        Dlg->CheckTls->SetChecked(true);
        EXPECT_EQ(Dlg->ComboProto->Text(), "FTPS");  // the choice follows the box
        Dlg->editfp->SetText("AB:cd:01");
        Dlg->Edithost->SetText(" ftp.example.org:2121 ");
        Dlg->editname->SetText("me ");
        Dlg->editpass->SetText(" new pw ");
        Dlg->editdir->SetText("");
        Dlg->editint->SetText("10");
        Dlg->CheckPasv->SetChecked(true);
        Dlg->CheckAtomic->SetChecked(true);
    });
    capmain->SpeedButton7->Click();
    EXPECT_EQ(FtpHost, " ftp.example.org:2121 ");
    EXPECT_EQ(FtpUser, "me ");
    EXPECT_EQ(FtpPass, " new pw ");
    EXPECT_EQ(FtpDir, "");
    EXPECT_EQ(FtpInterval, 10);
    EXPECT_TRUE(HistoryUpload);  // carried through the hidden boxes
    EXPECT_TRUE(DisablePrompt);
    EXPECT_TRUE(FtpPassive);
    EXPECT_TRUE(FtpAtomic);
    EXPECT_TRUE(FtpTls);
    EXPECT_EQ(FtpTlsFingerprint, "AB:cd:01");
    EXPECT_TRUE(capmain->Timer1->Enabled());
    EXPECT_EQ(capmain->Timer1->Interval(), 600000u);
    EXPECT_FALSE(Dlg->Visible());
    EXPECT_EQ(GetPrivateProfileString("setting", "fint", "", 1024, Ini), "3");

    capmain->Close();
    EXPECT_EQ(GetPrivateProfileString("setting", "fint", "", 1024, Ini), "10");
    EXPECT_EQ(GetPrivateProfileString("setting", "fpasv", "", 1024, Ini), "1");
    EXPECT_EQ(GetPrivateProfileString("setting", "fatomic", "", 1024, Ini), "1");
    EXPECT_EQ(GetPrivateProfileString("setting", "ftls", "", 1024, Ini), "1");
    EXPECT_EQ(GetPrivateProfileString("setting", "ftlsfp", "", 1024, Ini), "AB:cd:01");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(SettingsDialog, IntervalTextsAndTheTimer)
{
    Create();
    const std::pair<const char*, int> cases[] = {
        {"10", 10}, {"0", 0}, {"abc", 0}, {"", 0}, {"-5", 0}, {" 7 ", 7}, {"+2", 2},
        {"12x", 0}, {"99999999999", 0}, {"71582", 71582}, {"71583", 0}, {"1", 1},
    };
    for (const auto& [text, minutes] : cases) {
        SCOPED_TRACE(text);
        Operator([this, text = std::string(text)] { Dlg->editint->SetText(text); });
        capmain->SpeedButton7->Click();
        EXPECT_EQ(FtpInterval, minutes);
        EXPECT_EQ(capmain->Timer1->Enabled(), minutes != 0);
        if (minutes) {
            EXPECT_EQ(capmain->Timer1->Interval(), static_cast<UINT>(minutes) * 60000u);
        }
    }
    EXPECT_TRUE(Messages.empty());
}

TEST_F(SettingsDialog, CloseBoxChangesNothingButReArmsTheTimer)
{
    Create();
    FtpHost = "h";
    FtpUser = "u";
    FtpPass = "p";
    FtpDir = "d";
    FtpInterval = 2;
    FtpPassive = true;
    capmain->Timer1->SetEnabled(false);
    Operator([this] {
        Dlg->Edithost->SetText("x");
        Dlg->editname->SetText("x");
        Dlg->editpass->SetText("x");
        Dlg->editdir->SetText("x");
        Dlg->editint->SetText("0");
        Dlg->CheckPasv->SetChecked(false);
        Dlg->CheckAtomic->SetChecked(true);
    }, false);
    capmain->SpeedButton7->Click();
    EXPECT_EQ(Shown, 1);
    EXPECT_FALSE(Dlg->Visible());
    EXPECT_EQ(FtpHost, "h");
    EXPECT_EQ(FtpUser, "u");
    EXPECT_EQ(FtpPass, "p");
    EXPECT_EQ(FtpDir, "d");
    EXPECT_EQ(FtpInterval, 2);
    EXPECT_TRUE(FtpPassive);
    EXPECT_FALSE(FtpAtomic);
    // The unchanged interval starts the stopped timer.
    EXPECT_TRUE(capmain->Timer1->Enabled());
    EXPECT_EQ(capmain->Timer1->Interval(), 120000u);
}

TEST_F(SettingsDialog, SftpChoiceKeyAndHostKeyRoundTrip)
{
    Spit(Ini, "[setting]\nfproto=sftp\nfkey=/k/id_ed25519\nfhostkey=SHA256:abc\n");
    Create();
    Operator([this] {
        EXPECT_EQ(Dlg->ComboProto->Text(), "SFTP");
        EXPECT_EQ(Dlg->editkey->Text(), "/k/id_ed25519");
        EXPECT_EQ(Dlg->edithostkey->Text(), "SHA256:abc");
        Dlg->ComboProto->SetItemIndex(Tsettingform::ProtoFtps);
        EXPECT_TRUE(Dlg->CheckTls->Checked());
        Dlg->edithostkey->SetText("");
    });
    capmain->SpeedButton7->Click();
    EXPECT_EQ(FtpProto, "ftp");
    EXPECT_TRUE(FtpTls);
    capmain->Close();
    EXPECT_EQ(GetPrivateProfileString("setting", "fproto", "", 1024, Ini), "ftp");
    EXPECT_EQ(GetPrivateProfileString("setting", "fkey", "", 1024, Ini), "/k/id_ed25519");
    EXPECT_EQ(GetPrivateProfileString("setting", "fhostkey", "x", 1024, Ini), "");
}
