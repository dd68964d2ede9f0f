// The device dialog Tdlgdriver (instance dlgdriver): a borderless skinned
// window with a drop-down list of the installed capture drivers.
#pragma once

#include <string>
#include <vector>

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

// The capture drivers for a listing: one line each, with index,
// description, device path and the sizes the device offers.
std::vector<std::string> CameraListing();
// Chooses the camera named by Device (see MatchCaptureDrivers) on the main
// window for this run (stored as its driver index and identity at close)
// and, when Width and Height are set, the capture size. False with Error
// when no driver answers to Device or a partial name fits several; of
// several with the whole name the first is taken, and the log says which.
bool ChooseCamera(const std::string& Device, int Width, int Height, std::string& Error);
