#include "gui/ControlViews.h"

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

#include "capture/Video.h"
#include "gui/FormView.h"

QColor ToQColor(TColor Color) { return QColor(Color & 0xFF, (Color >> 8) & 0xFF, (Color >> 16) & 0xFF); }

QFont ToQFont(const TFont& Font, const TFont& FormFont)
{
    QFont f(QString::fromStdString(Font.Name.empty() ? (FormFont.Name.empty() ? DefaultFontName : FormFont.Name)
                                                     : Font.Name));
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(Font.Size * 96.0 / 72.0))));
    f.setBold(Font.Bold);
    return f;
}

QImage ToQImage(const TBitmap& Bitmap)
{
    if (Bitmap.Empty())
        return QImage();
    QImage img(Bitmap.Data(), Bitmap.Width(), Bitmap.Height(), Bitmap.Width() * 3, QImage::Format_RGB888);
    return img.copy();
}

QPixmap GlyphPixmap(const TBitmap& Glyph)
{
    QImage img = ToQImage(Glyph);
    if (img.isNull())
        return QPixmap();
    QImage argb = img.convertToFormat(QImage::Format_ARGB32);
    QRgb key = argb.pixel(0, argb.height() - 1);
    for (int y = 0; y < argb.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(argb.scanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            if (row[x] == key)
                row[x] = 0;
    }
    return QPixmap::fromImage(argb);
}

namespace {

TShiftState ShiftOf(Qt::KeyboardModifiers Mods, Qt::MouseButtons Buttons)
{
    TShiftState s = 0;
    if (Mods & Qt::ShiftModifier)
        s |= ssShift;
    if (Mods & Qt::ControlModifier)
        s |= ssCtrl;
    if (Mods & Qt::AltModifier)
        s |= ssAlt;
    if (Buttons & Qt::LeftButton)
        s |= ssLeft;
    if (Buttons & Qt::RightButton)
        s |= ssRight;
    if (Buttons & Qt::MiddleButton)
        s |= ssMiddle;
    return s;
}

bool ButtonOf(Qt::MouseButton B, TMouseButton& Out)
{
    switch (B) {
    case Qt::LeftButton: Out = mbLeft; return true;
    case Qt::RightButton: Out = mbRight; return true;
    case Qt::MiddleButton: Out = mbMiddle; return true;
    default: return false;
    }
}

const TFont& FormFontOf(TFormView* Form)
{
    static const TFont none;
    return Form && Form->Form() ? Form->Form()->Font : none;
}

} // namespace

TControlView::TControlView(TControl* Control, QWidget* Widget, TFormView* Form)
    : QObject(Widget), FControl(Control), FWidget(Widget), FForm(Form)
{
    Widget->setObjectName(QString::fromStdString(Control->Name()));
    Widget->setMouseTracking(true);
    Widget->installEventFilter(this);
    Control->OnViewChanged = [this](TControl*) { Sync(); };
}

TControlView::~TControlView()
{
    if (FControl)
        FControl->OnViewChanged = nullptr;
}

void TControlView::Sync()
{
    if (!FWidget)
        return;
    FWidget->setGeometry(FControl->Left(), FControl->Top(), FControl->Width(), FControl->Height());
    FWidget->setVisible(FControl->Visible());
    FWidget->setEnabled(FControl->Enabled());
    FWidget->setToolTip(QString::fromStdString(FControl->Hint()));
    FWidget->update();
}

bool TControlView::eventFilter(QObject* Watched, QEvent* Event)
{
    // Disabled and hidden controls take no input (Qt still runs the
    // filters of a disabled widget).
    if (Watched != FWidget || !FControl->Enabled() || !FControl->Visible())
        return false;
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
        auto* me = static_cast<QMouseEvent*>(Event);
        const int x = static_cast<int>(me->position().x());
        const int y = static_cast<int>(me->position().y());
        const TShiftState shift = ShiftOf(me->modifiers(), me->buttons());
        TMouseButton b = mbLeft;
        if (Event->type() == QEvent::MouseMove) {
            MouseMove(shift, x, y);
        } else if (!ButtonOf(me->button(), b)) {
            return false;
        } else if (Event->type() == QEvent::MouseButtonPress) {
            if (FForm)
                FForm->LastPress = me->globalPosition().toPoint();
            if (b == mbLeft)
                FLeftPressed = true;
            if (b == mbRight)
                TFormView::MenuShown = false;
            MouseDown(b, shift | (b == mbLeft ? ssLeft : b == mbRight ? ssRight : ssMiddle), x, y);
        } else if (Event->type() == QEvent::MouseButtonDblClick) {
            if (b == mbLeft) {
                FLeftPressed = true;
                DblClick(shift | ssLeft | ssDouble, x, y);
            } else {
                MouseDown(b, shift | ssDouble, x, y);
            }
        } else {
            if (b == mbRight)
                TFormView::MenuShown = false;
            MouseUp(b, shift, x, y);
            if (b == mbLeft && FLeftPressed) {
                FLeftPressed = false;
                if (FWidget && FWidget->rect().contains(x, y))
                    Click();
            }
            if (b == mbRight) {
                ContextMenu(x, y);
                // Handled here; the form must not open its menu again.
                return true;
            }
        }
        return false;
    }
    default: return false;
    }
}

void TControlView::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    Guarded([&] { FControl->MouseDown(Button, Shift, X, Y); });
}

void TControlView::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    Guarded([&] { FControl->MouseUp(Button, Shift, X, Y); });
}

void TControlView::MouseMove(TShiftState Shift, int X, int Y)
{
    Guarded([&] { FControl->MouseMove(Shift, X, Y); });
}

void TControlView::DblClick(TShiftState Shift, int X, int Y)
{
    Guarded([&] {
        FControl->DblClick();
        FControl->MouseDown(mbLeft, Shift, X, Y);
    });
}

void TControlView::Click()
{
    Guarded([&] { FControl->Click(); });
}

void TControlView::ContextMenu(int X, int Y)
{
    // Edit boxes have their own menu.
    if (TFormView::MenuShown || !FForm || !FWidget || dynamic_cast<TEdit*>(FControl) ||
        dynamic_cast<TComboBox*>(FControl))
        return;
    QPoint p = FWidget->mapToGlobal(QPoint(X, Y));
    Guarded([&] { FForm->Form()->ContextPopup(p.x(), p.y()); });
}

namespace {

// Widgets that paint a control themselves.
class TPaintedWidget : public QWidget {
public:
    using QWidget::QWidget;
    std::function<void(QPainter&)> Paint;

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!Paint)
            return;
        QPainter p(this);
        Paint(p);
    }
};

class TLabelView : public TControlView {
public:
    TLabelView(TLabel* Label, TPaintedWidget* W, TFormView* Form) : TControlView(Label, W, Form), FLabel(Label)
    {
        W->Paint = [this](QPainter& P) { PaintLabel(P); };
    }
    void Sync() override
    {
        TControlView::Sync();
        QFont f = ToQFont(FLabel->Font, FormFontOf(FForm));
        FWidget->setFont(f);
        // An auto-sized label fits its text in the font drawn here.
        if (FLabel->AutoSize) {
            QFontMetrics fm(f);
            FWidget->resize(fm.horizontalAdvance(QString::fromStdString(FLabel->Caption())), fm.height());
        }
    }

private:
    void PaintLabel(QPainter& P)
    {
        QRect r = FWidget->rect();
        if (!FLabel->Transparent)
            P.fillRect(r, ToQColor(FLabel->Color()));
        int flags = Qt::TextSingleLine;
        flags |= FLabel->Alignment == taRightJustify ? Qt::AlignRight
                 : FLabel->Alignment == taCenter    ? Qt::AlignHCenter
                                                    : Qt::AlignLeft;
        flags |= FLabel->Layout == tlCenter ? Qt::AlignVCenter : FLabel->Layout == tlBottom ? Qt::AlignBottom : Qt::AlignTop;
        P.setFont(FWidget->font());
        P.setPen(FLabel->Enabled() ? ToQColor(FLabel->Font.Color) : QColor(Qt::gray));
        P.drawText(r, flags, QString::fromStdString(FLabel->Caption()));
    }
    TLabel* FLabel;
};

class TSpeedButtonView : public TControlView {
public:
    TSpeedButtonView(TSpeedButton* Button, QToolButton* W, TFormView* Form)
        : TControlView(Button, W, Form), FButton(Button), FTool(W)
    {
        W->setFocusPolicy(Qt::NoFocus);
    }
    void Sync() override
    {
        TControlView::Sync();
        FTool->setAutoRaise(FButton->Flat);
        FTool->setFont(ToQFont(FButton->Font, FormFontOf(FForm)));
        FTool->setToolTip(FButton->ShowHint ? QString::fromStdString(FButton->Hint()) : QString());
        QPixmap glyph = GlyphPixmap(FButton->Glyph);
        FTool->setIcon(glyph.isNull() ? QIcon() : QIcon(glyph));
        if (!glyph.isNull())
            FTool->setIconSize(glyph.size());
        FTool->setText(QString::fromStdString(FButton->Caption()));
        bool text = !FButton->Caption().empty();
        FTool->setToolButtonStyle(glyph.isNull() ? Qt::ToolButtonTextOnly
                                  : text         ? Qt::ToolButtonTextBesideIcon
                                                 : Qt::ToolButtonIconOnly);
    }

private:
    TSpeedButton* FButton;
    QToolButton* FTool;
};

class TButtonView : public TControlView {
public:
    TButtonView(TButton* Button, QPushButton* W, TFormView* Form) : TControlView(Button, W, Form), FButton(Button), FPush(W)
    {
        W->setAutoDefault(false);
    }
    void Sync() override
    {
        TControlView::Sync();
        FPush->setFont(ToQFont(FButton->Font, FormFontOf(FForm)));
        FPush->setText(QString::fromStdString(FButton->Caption()));
        FPush->setDefault(FButton->Default);
    }

private:
    TButton* FButton;
    QPushButton* FPush;
};

class TEditView : public TControlView {
public:
    TEditView(TEdit* Edit, QLineEdit* W, TFormView* Form) : TControlView(Edit, W, Form), FEdit(Edit), FLine(W)
    {
        QObject::connect(W, &QLineEdit::textEdited, this, [this](const QString& Text) {
            Guarded([&] { FEdit->SetText(Text.toStdString()); });
        });
    }
    void Sync() override
    {
        TControlView::Sync();
        FLine->setFont(ToQFont(FEdit->Font, FormFontOf(FForm)));
        FLine->setMaxLength(FEdit->MaxLength > 0 ? FEdit->MaxLength : 32767);
        if (FEdit->PasswordChar && FLine->echoMode() != QLineEdit::Password) {
            // The mask character itself, not the style's dot.
            FLine->setStyleSheet(QString("QLineEdit { lineedit-password-character: %1; }")
                                     .arg(static_cast<int>(static_cast<unsigned char>(FEdit->PasswordChar))));
            FLine->setEchoMode(QLineEdit::Password);
        } else if (!FEdit->PasswordChar && FLine->echoMode() != QLineEdit::Normal) {
            FLine->setStyleSheet(QString());
            FLine->setEchoMode(QLineEdit::Normal);
        }
        QString t = QString::fromStdString(FEdit->Text());
        if (FLine->text() != t)
            FLine->setText(t);
    }

private:
    TEdit* FEdit;
    QLineEdit* FLine;
};

class TCheckBoxView : public TControlView {
public:
    TCheckBoxView(TCheckBox* Check, QCheckBox* W, TFormView* Form) : TControlView(Check, W, Form), FCheck(Check), FBox(W)
    {
        QObject::connect(W, &QCheckBox::toggled, this, [this](bool On) {
            if (FSyncing)
                return;
            Guarded([&] { FCheck->SetChecked(On); });
        });
    }
    void Sync() override
    {
        TControlView::Sync();
        FSyncing = true;
        FBox->setFont(ToQFont(FCheck->Font, FormFontOf(FForm)));
        FBox->setText(QString::fromStdString(FCheck->Caption()));
        FBox->setChecked(FCheck->Checked());
        FSyncing = false;
    }

private:
    TCheckBox* FCheck;
    QCheckBox* FBox;
    bool FSyncing = false;
};

class TMemoView : public TControlView {
public:
    TMemoView(TMemo* Memo, QPlainTextEdit* W, TFormView* Form) : TControlView(Memo, W, Form), FMemo(Memo), FText(W)
    {
        W->setLineWrapMode(QPlainTextEdit::NoWrap);
        W->setTabChangesFocus(true);
    }
    void Sync() override
    {
        TControlView::Sync();
        FText->setFont(ToQFont(FMemo->Font, FormFontOf(FForm)));
        FText->setReadOnly(FMemo->ReadOnly);
        FText->setFrameShape(FMemo->Border ? QFrame::StyledPanel : QFrame::NoFrame);
        QPalette pal = FText->palette();
        pal.setColor(QPalette::Base, ToQColor(FMemo->Color()));
        FText->setPalette(pal);
        QStringList lines;
        for (const auto& l : FMemo->Lines())
            lines << QString::fromStdString(l);
        QString text = lines.join('\n');
        if (FText->toPlainText() != text)
            FText->setPlainText(text);
    }

private:
    TMemo* FMemo;
    QPlainTextEdit* FText;
};

class TComboBoxView : public TControlView {
public:
    TComboBoxView(TComboBox* Combo, QComboBox* W, TFormView* Form) : TControlView(Combo, W, Form), FCombo(Combo), FBox(W)
    {
        W->setEditable(true);
        W->setInsertPolicy(QComboBox::NoInsert);
        QObject::connect(W, &QComboBox::activated, this, [this](int Index) {
            Guarded([&] { FCombo->SetItemIndex(Index); });
        });
        QObject::connect(W->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& Text) {
            std::string t = Text.toStdString();
            Guarded([&] {
                int i = FCombo->ItemIndex();
                if (i < 0 || FCombo->Items[static_cast<size_t>(i)] != t)
                    FCombo->SetItemIndex(-1);
                FCombo->SetText(t);
            });
        });
    }
    void Sync() override
    {
        TControlView::Sync();
        FBox->setFont(ToQFont(FCombo->Font, FormFontOf(FForm)));
        QStringList items;
        for (const auto& s : FCombo->Items)
            items << QString::fromStdString(s);
        QStringList now;
        for (int i = 0; i < FBox->count(); ++i)
            now << FBox->itemText(i);
        QString text = QString::fromStdString(FCombo->Text());
        QSignalBlocker block(FBox);
        if (now != items) {
            FBox->clear();
            FBox->addItems(items);
        }
        if (FBox->currentIndex() != FCombo->ItemIndex())
            FBox->setCurrentIndex(FCombo->ItemIndex());
        if (FBox->currentText() != text)
            FBox->setEditText(text);
    }

private:
    TComboBox* FCombo;
    QComboBox* FBox;
};

class TImageView : public TControlView {
public:
    TImageView(TImage* Image, TPaintedWidget* W, TFormView* Form) : TControlView(Image, W, Form), FImage(Image)
    {
        W->Paint = [this](QPainter& P) {
            if (FPicture.isNull())
                return;
            if (FImage->Stretch)
                P.drawImage(FWidget->rect(), FPicture);
            else
                P.drawImage(0, 0, FPicture);
        };
    }
    void Sync() override
    {
        FPicture = ToQImage(FImage->Picture());
        TControlView::Sync();
    }

private:
    TImage* FImage;
    QImage FPicture;
};

class TShapeView : public TControlView {
public:
    TShapeView(TShape* Shape, TPaintedWidget* W, TFormView* Form) : TControlView(Shape, W, Form), FShape(Shape)
    {
        W->Paint = [this](QPainter& P) {
            const int pw = std::max(1, FShape->PenWidth);
            QRect r = FWidget->rect();
            if (!FShape->BrushClear)
                P.fillRect(r, ToQColor(FShape->BrushColor));
            // The pen lies inside the control's rectangle.
            for (int i = 0; i < pw && r.width() > 2 * i && r.height() > 2 * i; ++i) {
                QRect e = r.adjusted(i, i, -i, -i);
                P.setPen(ToQColor(FShape->PenColor));
                P.drawRect(e.adjusted(0, 0, -1, -1));
            }
        };
    }

private:
    TShape* FShape;
};

// The capture control: black, the live frames in the capture window's
// rectangle, mouse input sent as window messages.
class TFrameGrabberView : public TControlView {
public:
    TFrameGrabberView(TFrameGrabber* Grabber, TPaintedWidget* W, TFormView* Form)
        : TControlView(Grabber, W, Form), FGrabber(Grabber)
    {
        W->Paint = [this](QPainter& P) { PaintPreview(P); };
        QPointer<QWidget> widget(W);
        Grabber->SetPreviewSink([this, widget](const TBitmap& Frame) {
            if (!widget)
                return;
            FFrame = ToQImage(Frame);
            widget->update();
        });
    }
    ~TFrameGrabberView() override
    {
        if (FControl)
            FGrabber->SetPreviewSink(nullptr);
    }
    void Sync() override
    {
        if (!FGrabber->CapWindowHandle())
            FFrame = QImage();
        TControlView::Sync();
    }

protected:
    void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) override
    {
        static const UINT msgs[] = {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN};
        Send(msgs[Button], Shift, X, Y);
    }
    void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) override
    {
        static const UINT msgs[] = {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP};
        Send(msgs[Button], Shift, X, Y);
    }
    void MouseMove(TShiftState Shift, int X, int Y) override { Send(WM_MOUSEMOVE, Shift, X, Y); }
    void DblClick(TShiftState Shift, int X, int Y) override { Send(WM_LBUTTONDBLCLK, Shift, X, Y); }
    // The control makes its click from the button-up message.
    void Click() override {}

private:
    void Send(UINT Msg, TShiftState Shift, int X, int Y)
    {
        constexpr WPARAM MK_LBUTTON = 0x01, MK_RBUTTON = 0x02, MK_SHIFT = 0x04, MK_CONTROL = 0x08, MK_MBUTTON = 0x10;
        WPARAM keys = 0;
        if (Shift & ssLeft)
            keys |= MK_LBUTTON;
        if (Shift & ssRight)
            keys |= MK_RBUTTON;
        if (Shift & ssMiddle)
            keys |= MK_MBUTTON;
        if (Shift & ssShift)
            keys |= MK_SHIFT;
        if (Shift & ssCtrl)
            keys |= MK_CONTROL;
        HWND target = nullptr;
        int x = X, y = Y;
        RECT r = FGrabber->CapWindowRect();
        if (FGrabber->CapWindowHandle() && X >= r.left && X < r.right && Y >= r.top && Y < r.bottom) {
            target = FGrabber->CapWindowHandle();
            x -= r.left;
            y -= r.top;
        } else {
            target = FGrabber->Handle();
        }
        LPARAM pos = MAKELPARAM(static_cast<WORD>(static_cast<int16_t>(x)), static_cast<WORD>(static_cast<int16_t>(y)));
        Guarded([&] { SendMessage(target, Msg, keys, pos); });
    }

    void PaintPreview(QPainter& P)
    {
        P.fillRect(FWidget->rect(), ToQColor(FGrabber->Color()));
        if (FFrame.isNull() || !FGrabber->CapWindowHandle())
            return;
        RECT r = FGrabber->CapWindowRect();
        QRect target(r.left, r.top, r.right - r.left, r.bottom - r.top);
        if (target.isEmpty())
            return;
        if (FGrabber->PreviewScaleToWindow())
            P.drawImage(target, FFrame);
        else
            P.drawImage(target.topLeft(), FFrame, QRect(0, 0, target.width(), target.height()));
    }

    TFrameGrabber* FGrabber;
    QImage FFrame;
};

// Any other control: its caption, and the mouse routed as for every view.
class TGenericView : public TControlView {
public:
    TGenericView(TControl* Control, TPaintedWidget* W, TFormView* Form) : TControlView(Control, W, Form)
    {
        W->Paint = [this](QPainter& P) {
            P.setPen(FControl->Enabled() ? QColor(Qt::black) : QColor(Qt::gray));
            P.drawText(FWidget->rect(), Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(FControl->Caption()));
        };
    }
};

} // namespace

TControlView* MakeControlView(TControl* Control, QWidget* Parent, TFormView* Form)
{
    TControlView* view = nullptr;
    if (auto* g = dynamic_cast<TFrameGrabber*>(Control))
        view = new TFrameGrabberView(g, new TPaintedWidget(Parent), Form);
    else if (auto* l = dynamic_cast<TLabel*>(Control))
        view = new TLabelView(l, new TPaintedWidget(Parent), Form);
    else if (auto* s = dynamic_cast<TSpeedButton*>(Control))
        view = new TSpeedButtonView(s, new QToolButton(Parent), Form);
    else if (auto* b = dynamic_cast<TButton*>(Control))
        view = new TButtonView(b, new QPushButton(Parent), Form);
    else if (auto* e = dynamic_cast<TEdit*>(Control))
        view = new TEditView(e, new QLineEdit(Parent), Form);
    else if (auto* cb = dynamic_cast<TCheckBox*>(Control))
        view = new TCheckBoxView(cb, new QCheckBox(Parent), Form);
    else if (auto* m = dynamic_cast<TMemo*>(Control))
        view = new TMemoView(m, new QPlainTextEdit(Parent), Form);
    else if (auto* c = dynamic_cast<TComboBox*>(Control))
        view = new TComboBoxView(c, new QComboBox(Parent), Form);
    else if (auto* i = dynamic_cast<TImage*>(Control))
        view = new TImageView(i, new TPaintedWidget(Parent), Form);
    else if (auto* sh = dynamic_cast<TShape*>(Control))
        view = new TShapeView(sh, new TPaintedWidget(Parent), Form);
    else if (Control->Width() > 0 && Control->Height() > 0)
        view = new TGenericView(Control, new TPaintedWidget(Parent), Form);
    if (view)
        view->Sync();
    return view;
}
