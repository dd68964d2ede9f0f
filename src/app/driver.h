// The device dialog Tdlgdriver (instance dlgdriver): a borderless skinned
// window with a drop-down list of the installed capture drivers.
#pragma once

#include "app/Forms.h"

class Tdlgdriver : public TForm {
public:
    explicit Tdlgdriver(TComponent* AOwner);
    ~Tdlgdriver() override;

    TImage* Image1 = nullptr;
    TSpeedButton* SpeedButton1 = nullptr;
    TLabel* Label1 = nullptr;
    TComboBox* ComboBox1 = nullptr;

    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void SpeedButton1Click(TObject* Sender);

    // Shows the dialog modally. Without a display (see ChooseWithoutDisplay)
    // the dialog is filled as for showing and driver 0 is chosen when no
    // driver is chosen yet, as if the operator had picked it and pressed OK.
    TModalResult Execute();
    static bool ChooseWithoutDisplay;
};

extern Tdlgdriver* dlgdriver;
