// A top-level Qt window drawing one form: its controls as child widgets,
// window changes from the logic carried out, the user's moves, minimise,
// restore and close reported back.
#pragma once

#include <vector>

#include <QWidget>

#include "app/Forms.h"

class TControlView;

class TFormView : public QWidget {
    Q_OBJECT
public:
    explicit TFormView(TForm* Form, QWidget* Parent = nullptr);
    ~TFormView() override;

    TForm* Form() const { return FForm; }
    const std::vector<TControlView*>& Views() const { return FViews; }
    // The widget drawing the named control (null when there is none).
    QWidget* WidgetOf(const std::string& Name) const;
    // Takes the form's caption, size, colour and show state.
    void SyncWindow();
    // Carries out a change the logic made to the form's window.
    void HostChange(TWindowChange Change);

    // Set while a popup menu has been shown since the last clear.
    static bool MenuShown;
    // Where the last mouse button went down over one of the controls
    // (screen coordinates); a window drag starts from there.
    QPoint LastPress;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void moveEvent(QMoveEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void Place();
    // The windowed controls' focus chain, by their TabOrder.
    void SetTabOrder();

    TForm* FForm;
    std::vector<TControlView*> FViews;
    bool FApplying = false;   // carrying out a change from the logic
    bool FPlaced = false;
    // A drag the window manager does not run: the window follows the
    // pointer until the button comes up.
    bool FDragging = false;
    QPoint FDragOffset;
};
