#include "app/weblogin.h"

#include "app/main.h"

Twebloginform* webloginform = nullptr;

Twebloginform::Twebloginform(TComponent* AOwner) : TForm(AOwner)
{
    webloginform = this;
    SetName("webloginform");
    BorderStyle = bsDialog;
    SetCaption("Web login");
    SetColor(clBtnFace);
    SetBounds(0, 0, 240, 130);

    auto label = [this](const char* name, int top, const char* caption) {
        auto* c = Make<TLabel>();
        c->SetName(name);
        c->SetParent(this);
        c->SetColor(clBtnFace);
        c->SetBounds(8, top, 0, 12);
        c->SetCaption(caption);
        return c;
    };
    auto edit = [this](const char* name, int top, int tab) {
        auto* c = Make<TEdit>();
        c->SetName(name);
        c->SetParent(this);
        c->SetBounds(88, top, 137, 20);
        c->TabOrder = tab;
        return c;
    };
    Label1 = label("Label1", 16, "USER NAME");
    edituser = edit("edituser", 12, 0);
    Label2 = label("Label2", 44, "PASSWORD");
    editpass = edit("editpass", 40, 1);
    editpass->PasswordChar = '*';

    SpeedButton1 = Make<TSpeedButton>();
    SpeedButton1->SetName("SpeedButton1");
    SpeedButton1->SetParent(this);
    SpeedButton1->SetBounds(84, 76, 73, 25);
    SpeedButton1->SetCaption("ok");
    SpeedButton1->OnClick = [this](TObject*) { ModalResult = mrOk; };
    DoCreate();
}

Twebloginform::~Twebloginform()
{
    BeginDestroy();
    if (webloginform == this)
        webloginform = nullptr;
}

void Twebloginform::Edit()
{
    edituser->SetText(HttpUser);
    editpass->SetText(HttpPass);
    if (ShowModal() != mrOk)
        return;
    HttpUser = edituser->Text();
    HttpPass = editpass->Text();
    if (capmain)
        capmain->srv->SetCredentials(HttpUser, HttpPass);
}
