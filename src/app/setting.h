// The settings dialog Tsettingform (instance settingform): the FTP host,
// user, password, directory and upload interval, the upload options and
// the addresses the built-in server answers on.
#pragma once

#include <string>

#include "app/Forms.h"

class Tsettingform : public TForm {
public:
    explicit Tsettingform(TComponent* AOwner);
    ~Tsettingform() override;

    TLabel* Label1 = nullptr;
    TEdit* Edithost = nullptr;
    TLabel* Label2 = nullptr;
    TEdit* editname = nullptr;
    TLabel* Label3 = nullptr;
    TEdit* editpass = nullptr;
    TLabel* Label4 = nullptr;
    TEdit* editdir = nullptr;
    TLabel* Label6 = nullptr;
    TEdit* editint = nullptr;
    TLabel* Label5 = nullptr;
    TLabel* Label7 = nullptr;
    TCheckBox* CheckH = nullptr;
    TLabel* Label10 = nullptr;
    TLabel* Label8 = nullptr;
    TCheckBox* CheckD = nullptr;
    TLabel* Label9 = nullptr;
    TMemo* Memo1 = nullptr;
    TSpeedButton* SpeedButton1 = nullptr;
    // Upload options, on the free row between the hidden switches and the
    // address box.
    TCheckBox* CheckPasv = nullptr;
    TCheckBox* CheckAtomic = nullptr;
    // Explicit TLS and the accepted certificate fingerprint, on the rows the
    // hidden switches leave free.
    TCheckBox* CheckTls = nullptr;
    TLabel* Label11 = nullptr;
    TEdit* editfp = nullptr;
    // Opens the web login dialog, beside the address box.
    TSpeedButton* SpeedButton2 = nullptr;
    // The protocol (FTP, FTPS, SFTP) on the free top row; the SSH key file
    // and the pinned host key in the free column right of the short fields.
    TLabel* Label12 = nullptr;
    TComboBox* ComboProto = nullptr;
    TLabel* Label13 = nullptr;
    TEdit* editkey = nullptr;
    TLabel* Label14 = nullptr;
    TEdit* edithostkey = nullptr;

    // The protocol choice's entries.
    enum { ProtoFtp, ProtoFtps, ProtoSftp };

    void FormShow(TObject* Sender);
    void SpeedButton1Click(TObject* Sender);
};

extern Tsettingform* settingform;

// The interval field's text as minutes: a signed decimal integer (blanks
// around it allowed); anything else, and a value below 0 or one whose
// milliseconds do not fit the timer, gives 0.
int IntervalFromText(const std::string& Text);
