// Qt widgets for the form controls: each view keeps its widget in step
// with the control (OnViewChanged) and feeds the widget's input back into
// the control.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include "app/Forms.h"

class TFormView;
class TFrameGrabber;

QColor ToQColor(TColor Color);
// The control's font: the form's family when the control names none, the
// point size at 96 dots per inch (9 points: 12 pixels).
QFont ToQFont(const TFont& Font, const TFont& FormFont);
QImage ToQImage(const TBitmap& Bitmap);
// A speed-button glyph: the bottom-left pixel's colour is transparent.
QPixmap GlyphPixmap(const TBitmap& Glyph);

// Runs a call into the logic; what it throws goes to the application's
// error display.
template <class F>
void Guarded(F&& Call)
{
    try {
        Call();
    } catch (...) {
        if (Application)
            Application->HandleException();
    }
}

class TControlView : public QObject {
    Q_OBJECT
public:
    TControlView(TControl* Control, QWidget* Widget, TFormView* Form);
    ~TControlView() override;

    TControl* Control() const { return FControl; }
    QWidget* Widget() const { return FWidget; }
    // Geometry, visibility, enabling and hint; kinds add their own state.
    virtual void Sync();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);
    virtual void DblClick(TShiftState Shift, int X, int Y);
    // A left press and release inside the control.
    virtual void Click();
    // The right button came up: the form's menu, unless a handler already
    // showed one.
    void ContextMenu(int X, int Y);

    TControl* FControl;
    QPointer<QWidget> FWidget;
    TFormView* FForm;
    bool FLeftPressed = false;
};

// Makes the widget and view for one control under Parent; null for
// controls that have nothing to show.
TControlView* MakeControlView(TControl* Control, QWidget* Parent, TFormView* Form);
