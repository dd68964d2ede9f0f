#include "app/driver.h"

#include "app/main.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "platform/Application.h"

Tdlgdriver* dlgdriver = nullptr;
bool Tdlgdriver::ChooseWithoutDisplay = false;

Tdlgdriver::Tdlgdriver(TComponent* AOwner) : TForm(AOwner)
{
    dlgdriver = this;
    SetName("dlgdriver");
    BorderStyle = bsNone;
    SetCaption("dlgdriver");

    Image1 = Make<TImage>();
    Image1->SetName("Image1");
    Image1->SetParent(this);
    Image1->SetBounds(0, 0, 297, 121);
    TBitmap background(297, 121);
    background.Fill(255, 255, 255);
    Image1->SetPicture(background);

    SpeedButton1 = Make<TSpeedButton>();
    SpeedButton1->SetName("SpeedButton1");
    SpeedButton1->SetParent(this);
    SpeedButton1->SetBounds(96, 72, 113, 25);
    SpeedButton1->Flat = true;
    SpeedButton1->SetCaption("OK");
    SpeedButton1->Font.Bold = true;

    Label1 = Make<TLabel>();
    Label1->SetName("Label1");
    Label1->SetParent(this);
    Label1->SetBounds(72, 6, 153, 12);
    Label1->Transparent = true;
    Label1->Font.Bold = true;
    Label1->Font.Color = clWhite;
    Label1->SetCaption("SELECT CAPTURE DEVICE");

    ComboBox1 = Make<TComboBox>();
    ComboBox1->SetName("ComboBox1");
    ComboBox1->SetParent(this);
    ComboBox1->SetBounds(24, 40, 257, 20);
    ComboBox1->SetText("ComboBox1");

    OnCreate = [this](TObject* s) { FormCreate(s); };
    OnShow = [this](TObject* s) { FormShow(s); };
    SpeedButton1->OnClick = [this](TObject* s) { SpeedButton1Click(s); };
    DoCreate();
}

Tdlgdriver::~Tdlgdriver()
{
    BeginDestroy();
    if (dlgdriver == this)
        dlgdriver = nullptr;
}

void Tdlgdriver::FormCreate(TObject*)
{
    SetBounds(Left(), Top(), Image1->Width(), Image1->Height());
    if (capmain)
        capmain->PaintSkinFrame(Image1);
}

void Tdlgdriver::FormShow(TObject*)
{
    // Clearing the list also clears the selection and the edit text.
    ComboBox1->Items.clear();
    ComboBox1->SetItemIndex(-1);
    ComboBox1->SetText("");
    ComboBox1->Items = GetDriverList();
    ComboBox1->ItemsChanged();
    const int index = capmain && capmain->FrameGrabber1 ? capmain->FrameGrabber1->DriverIndex() : -1;
    ComboBox1->SetItemIndex(index >= 0 && index < static_cast<int>(ComboBox1->Items.size()) ? index : -1);
}

void Tdlgdriver::SpeedButton1Click(TObject*)
{
    // A typed text that is not one of the lines selects nothing.
    int index = ComboBox1->ItemIndex();
    if (index >= 0 && ComboBox1->Text() != ComboBox1->Items[static_cast<size_t>(index)])
        index = -1;
    if (capmain && capmain->FrameGrabber1)
        capmain->FrameGrabber1->SetDriverIndex(index);
    ModalResult = mrOk;
}

TModalResult Tdlgdriver::Execute()
{
    if (!ChooseWithoutDisplay)
        return ShowModal();
    FormShow(this);
    if (ComboBox1->ItemIndex() == -1 && !ComboBox1->Items.empty())
        ComboBox1->SetItemIndex(0);
    SpeedButton1Click(SpeedButton1);
    ModalResult = mrNone;
    return mrOk;
}

std::vector<std::string> CameraListing()
{
    std::vector<std::string> lines;
    const auto drivers = GetDriverList();
    for (size_t i = 0; i < drivers.size(); ++i) {
        TDriverDetails details;
        std::string line = std::to_string(i) + "  " + drivers[i];
        if (DriverTable().Details(static_cast<int>(i), details)) {
            line += "  " + details.Path + " ";
            for (const auto& size : details.Sizes)
                line += " " + size;
        }
        lines.push_back(line);
    }
    return lines;
}

bool ChooseCamera(const std::string& Device, int Width, int Height, std::string& Error)
{
    if (Width > 0 && Height > 0)
        SetRequestedCaptureSize(Width, Height);
    if (Device.empty())
        return true;
    bool whole = false;
    const std::vector<int> found = MatchCaptureDrivers(Device, &whole);
    const auto describe = [](int Index) {
        std::string name, version;
        TDriverDetails details;
        DriverTable().Describe(Index, name, version);
        DriverTable().Details(Index, details);
        return std::to_string(Index) + "  " + name + (details.Path.empty() ? "" : "  " + details.Path);
    };
    if (found.empty()) {
        Error = "no capture device " + Device + " (see --list-devices)";
        return false;
    }
    if (found.size() > 1 && !whole) {
        Error = "the capture device name " + Device + " is ambiguous; it matches:";
        for (int i : found)
            Error += "\n  " + describe(i);
        return false;
    }
    if (found.size() > 1 && Application)
        Application->Log(std::to_string(found.size()) + " capture devices are named " + Device + "; took " +
                         describe(found.front()));
    if (capmain)
        capmain->SetDriverIndex(found.front());
    return true;
}
