// The main window's camera control: "Camera OPEN", the device dialog and
// the driver's dialogs in the right-click menu.
#include "app/driver.h"
#include "app/main.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "platform/Application.h"

void Tcapmain::BindCameraEvents()
{
    SpeedButton3->OnClick = [this](TObject* s) { SpeedButton3Click(s); };
    SpeedButton3->OnMouseMove = [this](TObject* s, TShiftState shift, int x, int y) { SpeedButton3MouseMove(s, shift, x, y); };
    SpeedButton2->OnClick = [this](TObject* s) { SpeedButton2Click(s); };
    src1->OnClick = [this](TObject* s) { src1Click(s); };
    format1->OnClick = [this](TObject* s) { format1Click(s); };
    Effect1->OnClick = [this](TObject* s) { Effect1Click(s); };
    // The device dialog from the menu; a camera that was running when
    // another was chosen gives way to the new one, running.
    devicesetup1->OnClick = [this](TObject*) {
        const bool wasOpen = FrameGrabber1->DriverOpen();
        SpeedButton2Click(SpeedButton2);
        if (wasOpen && !FrameGrabber1->DriverOpen() && FrameGrabber1->DriverIndex() != -1)
            SpeedButton3Click(SpeedButton3);
        else if (!FrameGrabber1->DriverOpen())
            SpeedButton3->SetGlyph(im31->Picture());
    };
    // The capture drivers keep their own choices beside the settings file.
    const std::string settings = SettingsFileName();
    SetCaptureSettingsFile(settings.substr(0, settings.rfind('/') + 1) + "capture.ini");
    // A camera that is lost or gives no picture, and one that is back, are
    // told on the status line.
    FrameGrabber1->SetOnError([this](TObject*, int32_t Id, const std::string& Text) {
        if (Id == IDS_CAP_DEVICE_FAILED || Id == IDS_CAP_NO_SIGNAL)
            CameraLost = true;
        msg->SetCaption(Text);
    });
    FrameGrabber1->SetOnStatusCallback([this](TObject*, int32_t Id, const std::string& Text) {
        if (Id == IDS_CAP_DEVICE_RETURNED || Id == IDS_CAP_SIGNAL_RETURNED) {
            CameraLost = false;
            msg->SetCaption(Text);
        }
    });
}

void Tcapmain::SpeedButton3Click(TObject*)
{
    TFrameGrabber& grabber = *FrameGrabber1;
    SpeedButton3->SetGlyph(im31->Picture());
    SpeedButton3->SetEnabled(false);
    if (grabber.DriverOpen() && grabber.VideoPreview()) {
        grabber.SetVideoPreview(false);
        SpeedButton3->SetEnabled(true);
        return;
    }
    if (grabber.DriverOpen()) {
        grabber.SetVideoPreview(true);
        SpeedButton3->SetGlyph(im32->Picture());
        SpeedButton3->SetEnabled(true);
        Application->ProcessMessages();
        return;
    }
    if (grabber.DriverIndex() == -1 && dlgdriver)
        dlgdriver->Execute();
    if (grabber.DriverIndex() == -1) {
        SpeedButton3->SetEnabled(true);
        return;
    }
    CameraLost = false;
    grabber.SetDriverOpen(true);
    grabber.SetVideoPreview(true);
    if (grabber.HasDlgVideoFormat())
        format1->Enabled = true;
    if (grabber.HasDlgVideoSource())
        src1->Enabled = true;
    if (!grabber.DriverOpen()) {
        Application->MessageBox("カメラをスタートできませんでした", "ERR", MB_OK);
        SpeedButton3->SetEnabled(true);
    } else {
        SpeedButton3->SetEnabled(true);
        SpeedButton3->SetGlyph(im32->Picture());
    }
}

void Tcapmain::SpeedButton3MouseMove(TObject*, TShiftState, int, int) { Application->ProcessMessages(); }

void Tcapmain::SpeedButton2Click(TObject*)
{
    if (dlgdriver)
        dlgdriver->Execute();
}

void Tcapmain::src1Click(TObject*) { FrameGrabber1->DlgVideoSource(); }

void Tcapmain::format1Click(TObject*) { FrameGrabber1->DlgVideoFormat(); }

void Tcapmain::Effect1Click(TObject*) { Effect1->Checked = !Effect1->Checked; }

std::string Tcapmain::CameraDevice() const
{
    const int index = FrameGrabber1->DriverIndex();
    if (index != FDeviceIndex) {
        TDriverDetails details;
        FDevice = index >= 0 && DriverTable().Details(index, details) ? details.Path : std::string();
        FDeviceIndex = index;
    }
    return FDevice;
}
