#include "app/setting.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "app/main.h"
#include "app/weblogin.h"
#include "net/WSocket.h"

Tsettingform* settingform = nullptr;

namespace {

// The longest interval whose milliseconds fit the timer's 32 bits.
constexpr long MaxIntervalMinutes = static_cast<long>(0xFFFFFFFFu / 60000u);

bool Blank(char c) { return c == ' ' || c == '\t'; }

} // namespace

int IntervalFromText(const std::string& Text)
{
    size_t b = 0, e = Text.size();
    while (b < e && Blank(Text[b]))
        ++b;
    while (e > b && Blank(Text[e - 1]))
        --e;
    std::string t = Text.substr(b, e - b);
    size_t digits = t.empty() || (t[0] != '+' && t[0] != '-') ? 0 : 1;
    if (digits >= t.size())
        return 0;
    for (size_t i = digits; i < t.size(); ++i)
        if (t[i] < '0' || t[i] > '9')
            return 0;
    errno = 0;
    long v = std::strtol(t.c_str(), nullptr, 10);
    if (errno == ERANGE || v < 0 || v > MaxIntervalMinutes)
        return 0;
    return static_cast<int>(v);
}

Tsettingform::Tsettingform(TComponent* AOwner) : TForm(AOwner)
{
    settingform = this;
    SetName("settingform");
    BorderStyle = bsDialog;
    SetCaption("settingform");
    SetColor(clBtnFace);
    SetBounds(0, 0, 335, 310);  // left at 0,0: opens in the screen's centre

    auto label = [this](const char* name, int left, int top, const std::string& caption) {
        auto* c = Make<TLabel>();
        c->SetName(name);
        c->SetParent(this);
        c->SetColor(clBtnFace);
        c->SetBounds(left, top, 0, 12);
        c->SetCaption(caption);
        return c;
    };
    auto edit = [this](const char* name, int left, int top, int width, int tab) {
        auto* c = Make<TEdit>();
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(left, top, width, 20);
        c->TabOrder = tab;
        return c;
    };
    auto check = [this](const char* name, int left, int top, int width, int tab, const std::string& caption) {
        auto* c = Make<TCheckBox>();
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(left, top, width, 17);
        c->SetCaption(caption);
        c->TabOrder = tab;
        return c;
    };

    Label1 = label("Label1", 8, 24, "HOST");
    Edithost = edit("Edithost", 88, 24, 225, 0);
    Label2 = label("Label2", 8, 48, "USER NAME");
    editname = edit("editname", 88, 48, 121, 1);
    Label3 = label("Label3", 8, 72, "PASSWORD");
    editpass = edit("editpass", 88, 72, 121, 2);
    editpass->PasswordChar = '*';
    Label4 = label("Label4", 8, 96, "DIRECTORY");
    editdir = edit("editdir", 88, 96, 121, 3);
    Label6 = label("Label6", 8, 128, "Ftp Upload Per");
    editint = edit("editint", 88, 120, 49, 5);
    Label5 = label("Label5", 144, 128, ".Min   <<<Set \"0\"=AutoUpload OFF");
    // The stand-in font runs wider than the design's: one point less keeps
    // these two captions clear of the field and of the window's edge.
    Label6->Font.Size = 8;
    Label5->Font.Size = 8;

    // The history and prompt switches live in the settings file only; the
    // dialog carries their values through.
    Label7 = label("Label7", 8, 150, "History Upload");
    CheckH = check("CheckH", 88, 148, 17, 6, "");
    Label10 = label("Label10", 112, 150, "<<< ユニークなファイル名のjpgも同時UP");
    Label8 = label("Label8", 8, 174, "Disable Prompt");
    CheckD = check("CheckD", 88, 172, 17, 7, "");
    Label9 = label("Label9", 112, 174, "<<< if you want Disable Prompt message");
    for (TControl* c : std::initializer_list<TControl*>{Label7, CheckH, Label10, Label8, CheckD, Label9})
        c->SetVisible(false);

    CheckPasv = check("CheckPasv", 8, 194, 112, 8, "Passive (PASV)");
    CheckAtomic = check("CheckAtomic", 128, 194, 200, 9, "Upload via temporary name");
    CheckTls = check("CheckTls", 8, 148, 100, 10, "TLS (FTPS)");
    Label11 = label("Label11", 8, 174, "Fingerprint");
    editfp = edit("editfp", 88, 172, 225, 11);

    Label12 = label("Label12", 8, 4, "PROTOCOL");
    ComboProto = Make<TComboBox>();
    ComboProto->SetName("ComboProto");
    ComboProto->SetParent(this);
    ComboProto->SetBounds(88, 1, 81, 20);
    ComboProto->Items = {"FTP", "FTPS", "SFTP"};
    ComboProto->ItemsChanged();
    ComboProto->TabOrder = 12;
    Label13 = label("Label13", 214, 50, "SSH key file");
    editkey = edit("editkey", 214, 62, 113, 13);
    Label14 = label("Label14", 214, 84, "SSH host key");
    edithostkey = edit("edithostkey", 214, 96, 113, 14);
    for (TLabel* l : {Label12, Label13, Label14})
        l->Font.Size = 8;
    // FTPS is FTP with TLS: the choice and the TLS box follow each other.
    ComboProto->OnChange = [this](TObject*) {
        if (ComboProto->ItemIndex() != ProtoSftp)
            CheckTls->SetChecked(ComboProto->ItemIndex() == ProtoFtps);
    };
    CheckTls->OnChange = [this](TObject*) {
        if (ComboProto->ItemIndex() != ProtoSftp)
            ComboProto->SetItemIndex(CheckTls->Checked() ? ProtoFtps : ProtoFtp);
    };

    Memo1 = Make<TMemo>();
    Memo1->SetName("Memo1");
    Memo1->SetParent(this);
    Memo1->SetBounds(8, 216, 249, 41);
    Memo1->ReadOnly = true;
    Memo1->Border = false;
    Memo1->SetColor(clBtnFace);
    Memo1->TabOrder = 4;

    SpeedButton1 = Make<TSpeedButton>();
    SpeedButton1->SetName("SpeedButton1");
    SpeedButton1->SetParent(this);
    SpeedButton1->SetBounds(136, 272, 73, 25);
    SpeedButton1->SetCaption("ok");

    SpeedButton2 = Make<TSpeedButton>();
    SpeedButton2->SetName("SpeedButton2");
    SpeedButton2->SetParent(this);
    SpeedButton2->SetBounds(262, 216, 61, 25);
    SpeedButton2->SetCaption("Web login");
    SpeedButton2->OnClick = [](TObject*) {
        if (webloginform)
            webloginform->Edit();
    };

    OnShow = [this](TObject* s) { FormShow(s); };
    SpeedButton1->OnClick = [this](TObject* s) { SpeedButton1Click(s); };
    DoCreate();
}

Tsettingform::~Tsettingform()
{
    BeginDestroy();
    if (settingform == this)
        settingform = nullptr;
}

void Tsettingform::FormShow(TObject*)
{
    Memo1->Clear();
    Memo1->Add("Server Address:");
    const int port = capmain ? capmain->HttpPort : 8765;
    if (capmain) {
        for (const std::string& url : capmain->ServerUrls(std::to_string(port), BindAddress))
            Memo1->Add(url);
        return;
    }
    for (const std::string& a : LocalAddressList())
        Memo1->Add("http://" + a + ":" + std::to_string(port));
}

void Tsettingform::SpeedButton1Click(TObject*) { ModalResult = mrOk; }

void Tcapmain::SpeedButton7Click(TObject*)
{
    Tsettingform* dlg = settingform;
    if (!dlg)
        return;
    dlg->Edithost->SetText(FtpHost);
    dlg->editname->SetText(FtpUser);
    dlg->editpass->SetText(FtpPass);
    dlg->editdir->SetText(FtpDir);
    dlg->editint->SetText(std::to_string(FtpInterval));
    dlg->CheckH->SetChecked(HistoryUpload);
    dlg->CheckD->SetChecked(DisablePrompt);
    dlg->CheckPasv->SetChecked(FtpPassive);
    dlg->CheckAtomic->SetChecked(FtpAtomic);
    dlg->CheckTls->SetChecked(FtpTls);
    dlg->editfp->SetText(FtpTlsFingerprint);
    dlg->ComboProto->SetItemIndex(FtpProto == "sftp" ? Tsettingform::ProtoSftp
                                  : FtpTls           ? Tsettingform::ProtoFtps
                                                     : Tsettingform::ProtoFtp);
    dlg->editkey->SetText(FtpKey);
    dlg->edithostkey->SetText(FtpHostKey);
    if (dlg->ShowModal() == mrOk) {
        FtpHost = dlg->Edithost->Text();
        FtpUser = dlg->editname->Text();
        FtpPass = dlg->editpass->Text();
        FtpDir = dlg->editdir->Text();
        HistoryUpload = dlg->CheckH->Checked();
        DisablePrompt = dlg->CheckD->Checked();
        FtpPassive = dlg->CheckPasv->Checked();
        FtpAtomic = dlg->CheckAtomic->Checked();
        FtpTls = dlg->CheckTls->Checked();
        FtpTlsFingerprint = dlg->editfp->Text();
        FtpProto = dlg->ComboProto->ItemIndex() == Tsettingform::ProtoSftp ? "sftp" : "ftp";
        FtpKey = dlg->editkey->Text();
        FtpHostKey = dlg->edithostkey->Text();
        FtpInterval = IntervalFromText(dlg->editint->Text());
    }
    ArmUploadTimer();
}
