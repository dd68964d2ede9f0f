// The web login dialog Twebloginform (instance webloginform): the user
// name and password every viewer of the built-in server must give; an
// empty user name lets anyone watch.
#pragma once

#include "app/Forms.h"

class Twebloginform : public TForm {
public:
    explicit Twebloginform(TComponent* AOwner);
    ~Twebloginform() override;

    TLabel* Label1 = nullptr;
    TEdit* edituser = nullptr;
    TLabel* Label2 = nullptr;
    TEdit* editpass = nullptr;
    TSpeedButton* SpeedButton1 = nullptr;

    // Opens the dialog on the current login; ok stores it and gives it to
    // the running server.
    void Edit();
};

extern Twebloginform* webloginform;
