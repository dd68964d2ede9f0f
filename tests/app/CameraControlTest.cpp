#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "app/driver.h"
#include "app/main.h"
#include "capture/ScriptedDriver.h"
#include "platform/Application.h"

namespace {

bool SamePicture(const TBitmap& a, const TBitmap& b)
{
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::equal(a.Data(), a.Data() + a.ByteSize(), b.Data());
}

class CameraControl : public ::testing::Test {
protected:
    CameraControl()
    {
        Startup = TStartup{};
        Startup.DocDir = Dir + "/doc";
        Startup.ConfigFile = Dir + "/videosetting.ini";
        App.FrontEnd.ShowMessage = [this](const std::string& text, const std::string& caption, UINT) {
            Messages.push_back("[" + caption + "] " + text);
        };
    }
    ~CameraControl() override
    {
        FormsFrontEnd.HandleMessage = nullptr;
        Tdlgdriver::ChooseWithoutDisplay = false;
    }

    void Create()
    {
        CreateForm<Tcapmain>();
        CreateForm<Tdlgdriver>();
        Grabber = capmain->FrameGrabber1;
    }

    // The operator's answer to the device dialog: pick Line (-1: nothing)
    // and press "OK".
    void Operator(int Line)
    {
        FormsFrontEnd.HandleMessage = [this, Line] {
            ++DialogShown;
            Listed = dlgdriver->ComboBox1->Items;
            if (Line >= 0)
                dlgdriver->ComboBox1->SetItemIndex(Line);
            dlgdriver->SpeedButton1->Click();
        };
    }

    bool GlyphIs(TImage* Image) const { return SamePicture(capmain->SpeedButton3->Glyph, Image->Picture()); }

    TTempDir Temp;
    std::string Dir = Temp.Name();
    TScriptedTable Table;
    TApplication App;
    TFrameGrabber* Grabber = nullptr;
    std::vector<std::string> Messages;
    std::vector<std::string> Listed;
    int DialogShown = 0;
};

TEST_F(CameraControl, FirstStartChoosesADriverThenTogglesThePreview)
{
    Table.Drivers[0];
    Table.Drivers[1];
    Create();
    EXPECT_FALSE(capmain->src1->Enabled);
    EXPECT_FALSE(capmain->format1->Enabled);
    Operator(1);
    capmain->SpeedButton3->Click();
    EXPECT_EQ(DialogShown, 1);
    EXPECT_EQ(Listed, (std::vector<std::string>{"Scripted 0 v0", "Scripted 1 v1"}));
    EXPECT_EQ(Grabber->DriverIndex(), 1);
    EXPECT_TRUE(Grabber->DriverOpen());
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_TRUE(GlyphIs(capmain->im32));
    EXPECT_TRUE(capmain->SpeedButton3->Enabled());
    EXPECT_TRUE(capmain->src1->Enabled);
    EXPECT_TRUE(capmain->format1->Enabled);
    EXPECT_TRUE(Messages.empty());

    capmain->SpeedButton3->Click();
    EXPECT_FALSE(Grabber->VideoPreview());
    EXPECT_TRUE(Grabber->DriverOpen());
    EXPECT_TRUE(GlyphIs(capmain->im31));
    capmain->SpeedButton3->Click();
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_TRUE(GlyphIs(capmain->im32));
    EXPECT_EQ(DialogShown, 1);
    EXPECT_EQ(Table.Drivers[1].Opens, 1);

    // The menu items reach the driver's dialogs; the effect is a check mark.
    capmain->src1->Click();
    capmain->format1->Click();
    EXPECT_EQ(Table.Drivers[1].Dialogs, 2);
    EXPECT_FALSE(capmain->Effect1->Checked);
    capmain->Effect1->Click();
    EXPECT_TRUE(capmain->Effect1->Checked);
    capmain->Effect1->Click();
    EXPECT_FALSE(capmain->Effect1->Checked);

    // Closing the main window closes the driver and stores its index.
    capmain->Close();
    EXPECT_FALSE(Grabber->DriverOpen());
    std::ifstream ini(Startup.ConfigFile);
    std::string all((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(all.find("Driverindex=1"), std::string::npos);
}

TEST_F(CameraControl, DeviceSetupMenuItemSwitchesTheRunningCamera)
{
    Table.Drivers[0];
    Table.Drivers[1];
    Create();
    Operator(0);
    capmain->SpeedButton3->Click();
    ASSERT_TRUE(Grabber->VideoPreview());
    Operator(1);
    capmain->devicesetup1->Click();
    EXPECT_EQ(DialogShown, 2);
    EXPECT_EQ(Grabber->DriverIndex(), 1);
    EXPECT_TRUE(Grabber->DriverOpen());
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_TRUE(GlyphIs(capmain->im32));
    // The same camera again: it goes on running, not reopened.
    capmain->devicesetup1->Click();
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_EQ(Table.Drivers[1].Opens, 1);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(CameraControl, CommandLineChoosesTheCameraByIndexOrName)
{
    Table.Drivers[0];
    Table.Drivers[1];
    Table.Drivers[2];
    Create();
    std::string error;
    EXPECT_TRUE(ChooseCamera("2", 0, 0, error));
    EXPECT_EQ(Grabber->DriverIndex(), 2);
    EXPECT_TRUE(ChooseCamera("Scripted 1", 0, 0, error));
    EXPECT_EQ(Grabber->DriverIndex(), 1);
    EXPECT_FALSE(ChooseCamera("scripted", 0, 0, error)) << "three names contain it";
    EXPECT_NE(error.find("ambiguous; it matches:\n  0  Scripted 0\n  1  Scripted 1\n  2  Scripted 2"), std::string::npos) << error;
    EXPECT_FALSE(ChooseCamera("7", 0, 0, error));
    EXPECT_NE(error.find("no capture device 7"), std::string::npos);
    EXPECT_EQ(Grabber->DriverIndex(), 1);
    capmain->Close();
    EXPECT_NE(Slurp(Startup.ConfigFile).find("Driverindex=1"), std::string::npos);
}

TEST_F(CameraControl, OkWithNothingSelectedOpensNothing)
{
    Table.Drivers[0];
    Create();
    Operator(-1);
    capmain->SpeedButton3->Click();
    EXPECT_EQ(DialogShown, 1);
    EXPECT_EQ(Grabber->DriverIndex(), -1);
    EXPECT_FALSE(Grabber->DriverOpen());
    EXPECT_TRUE(capmain->SpeedButton3->Enabled());
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(Table.Drivers[0].Opens, 0);
}

TEST_F(CameraControl, NoDriversInstalledLeavesTheIndexUnchosen)
{
    Create();
    Operator(0);
    capmain->SpeedButton3->Click();
    EXPECT_TRUE(Listed.empty());
    EXPECT_EQ(Grabber->DriverIndex(), -1);
    EXPECT_TRUE(capmain->SpeedButton3->Enabled());
}

TEST_F(CameraControl, MenuItemsStayDisabledWithoutDriverDialogs)
{
    Table.Drivers[0].SourceDialog = false;
    Table.Drivers[0].FormatDialog = false;
    Create();
    Operator(0);
    capmain->SpeedButton3->Click();
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_FALSE(capmain->src1->Enabled);
    EXPECT_FALSE(capmain->format1->Enabled);
}

TEST_F(CameraControl, RefusedConnectReachesTheCallerAndLeavesTheButtonDisabled)
{
    Table.Drivers[0].RefuseConnect = true;
    Create();
    Operator(0);
    EXPECT_THROW(capmain->SpeedButton3->Click(), ENotConnectException);
    EXPECT_FALSE(Grabber->DriverOpen());
    EXPECT_FALSE(capmain->SpeedButton3->Enabled());
    EXPECT_TRUE(GlyphIs(capmain->im31));
}

TEST_F(CameraControl, DriverThatDoesNotStayOpenGivesTheErrorBox)
{
    Table.Drivers[0];
    Create();
    Operator(0);
    Grabber->OnStatus = [this](TObject*) { Grabber->SetDriverOpen(false); };
    capmain->SpeedButton3->Click();
    EXPECT_EQ(Messages, (std::vector<std::string>{"[ERR] カメラをスタートできませんでした"}));
    EXPECT_TRUE(capmain->SpeedButton3->Enabled());
    EXPECT_TRUE(GlyphIs(capmain->im31));
}

TEST_F(CameraControl, StoredDriverIndexOpensWithoutTheDialog)
{
    Spit(Startup.ConfigFile, "[setting]\nDriverindex=3\n");
    Table.Drivers[0];
    Table.Drivers[3];
    Create();
    EXPECT_EQ(Grabber->DriverIndex(), 3);
    EXPECT_FALSE(Grabber->DriverOpen());
    Operator(0);
    capmain->SpeedButton3->Click();
    EXPECT_EQ(DialogShown, 0);
    EXPECT_TRUE(Grabber->VideoPreview());
    EXPECT_EQ(Grabber->DriverIndex(), 3);
}

TEST_F(CameraControl, WithoutDisplayTheDialogChoosesDriverZero)
{
    Table.Drivers[0];
    Table.Drivers[1];
    Create();
    Tdlgdriver::ChooseWithoutDisplay = true;
    Operator(1);  // never asked
    capmain->SpeedButton3->Click();
    EXPECT_EQ(DialogShown, 0);
    EXPECT_EQ(Grabber->DriverIndex(), 0);
    EXPECT_TRUE(Grabber->VideoPreview());
    // An index already chosen is kept.
    capmain->SpeedButton2->Click();
    EXPECT_EQ(Grabber->DriverIndex(), 0);
    EXPECT_TRUE(Grabber->DriverOpen());
}

TEST_F(CameraControl, DeviceDialogLayoutAndSelection)
{
    Table.Drivers[0];
    Table.Drivers[1];
    Create();
    EXPECT_EQ(dlgdriver->Width(), 297);
    EXPECT_EQ(dlgdriver->Height(), 121);
    EXPECT_EQ(dlgdriver->BorderStyle, bsNone);
    EXPECT_EQ(dlgdriver->Label1->Caption(), "SELECT CAPTURE DEVICE");
    EXPECT_EQ(dlgdriver->SpeedButton1->Caption(), "OK");
    EXPECT_EQ(dlgdriver->ComboBox1->Text(), "ComboBox1");
    EXPECT_EQ(dlgdriver->ComboBox1->Width(), 257);
    // The skin frame is painted into the background.
    TBitmap plain(297, 121);
    plain.Fill(255, 255, 255);
    EXPECT_FALSE(SamePicture(dlgdriver->Image1->Picture(), plain));

    Grabber->SetDriverIndex(1);
    dlgdriver->FormShow(dlgdriver);
    EXPECT_EQ(dlgdriver->ComboBox1->ItemIndex(), 1);
    // A typed text that is no line of the list selects nothing.
    dlgdriver->ComboBox1->SetText("my camera");
    dlgdriver->SpeedButton1Click(dlgdriver->SpeedButton1);
    EXPECT_EQ(Grabber->DriverIndex(), -1);
    EXPECT_EQ(dlgdriver->ModalResult, mrOk);

    // Shown again, the dialog selects the current driver afresh: text typed
    // last time does not stay behind to void the choice.
    Grabber->SetDriverIndex(1);
    dlgdriver->FormShow(dlgdriver);
    dlgdriver->ComboBox1->SetText("half typed");
    dlgdriver->FormShow(dlgdriver);
    EXPECT_EQ(dlgdriver->ComboBox1->Text(), "Scripted 1 v1");
    dlgdriver->SpeedButton1Click(dlgdriver->SpeedButton1);
    EXPECT_EQ(Grabber->DriverIndex(), 1);
    Grabber->SetDriverIndex(-1);
    dlgdriver->FormShow(dlgdriver);
    EXPECT_EQ(dlgdriver->ComboBox1->ItemIndex(), -1);
}

} // namespace
