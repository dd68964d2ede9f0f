#include "gui/FormView.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <algorithm>

#include "gui/ControlViews.h"

bool TFormView::MenuShown = false;

namespace {

// Backgrounds first, then the other graphic controls, windowed controls on
// top; creation order within each group.
int Layer(TControl* C)
{
    if (dynamic_cast<TImage*>(C) || dynamic_cast<TShape*>(C))
        return 0;
    if (!dynamic_cast<TWinControl*>(C))
        return 1;
    return 2;
}

} // namespace

TFormView::TFormView(TForm* Form, QWidget* Parent) : QWidget(Parent, Qt::Window), FForm(Form)
{
    setObjectName(QString::fromStdString(Form->Name()));
    setAttribute(Qt::WA_QuitOnClose, false);
    setMouseTracking(true);
    auto controls = Form->Controls();
    for (int layer = 0; layer < 3; ++layer)
        for (TControl* c : controls)
            if (Layer(c) == layer)
                if (TControlView* v = MakeControlView(c, this, this))
                    FViews.push_back(v);
    SetTabOrder();
    Form->OnViewChanged = [this](TControl*) { SyncWindow(); };
    SetWindowHost(Form->Handle(), [this](HWND, TWindowChange Change) { HostChange(Change); });
    SyncWindow();
}

TFormView::~TFormView()
{
    if (FForm) {
        FForm->OnViewChanged = nullptr;
        if (FForm->HandleAllocated())
            SetWindowHost(FForm->Handle(), nullptr);
    }
}

void TFormView::SetTabOrder()
{
    std::vector<std::pair<int, QWidget*>> order;
    for (TControlView* v : FViews)
        if (auto* w = dynamic_cast<TWinControl*>(v->Control()); w && w->TabOrder >= 0)
            order.emplace_back(w->TabOrder, v->Widget());
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1].second, order[i].second);
}

QWidget* TFormView::WidgetOf(const std::string& Name) const
{
    for (TControlView* v : FViews)
        if (v->Control()->Name() == Name)
            return v->Widget();
    return nullptr;
}

void TFormView::SyncWindow()
{
    FApplying = true;
    Qt::WindowFlags flags = Qt::Window;
    if (FForm->BorderStyle == bsNone)
        flags |= Qt::FramelessWindowHint;
    else if (FForm->BorderStyle == bsDialog)
        flags |= Qt::Dialog;
    if (windowFlags() != flags) {
        bool shown = isVisible();
        setWindowFlags(flags);
        if (shown)
            show();
    }
    setWindowTitle(QString::fromStdString(FForm->Caption()));
    setFont(ToQFont(FForm->Font, FForm->Font));
    if (FForm->Width() > 0 && FForm->Height() > 0)
        setFixedSize(FForm->Width(), FForm->Height());
    if (FPlaced)
        move(FForm->Left(), FForm->Top());
    FApplying = false;
    update();
}

void TFormView::Place()
{
    // A form that never got a place of its own opens in the screen's centre.
    if (FPlaced)
        return;
    FPlaced = true;
    if (FForm->Left() == 0 && FForm->Top() == 0)
        if (QScreen* s = QGuiApplication::primaryScreen()) {
            QRect a = s->availableGeometry();
            int x = a.x() + (a.width() - FForm->Width()) / 2;
            int y = a.y() + (a.height() - FForm->Height()) / 2;
            Guarded([&] { FForm->SetBounds(x, y, FForm->Width(), FForm->Height()); });
        }
    FApplying = true;
    move(FForm->Left(), FForm->Top());
    FApplying = false;
}

void TFormView::HostChange(TWindowChange Change)
{
    HWND h = FForm->Handle();
    FApplying = true;
    switch (Change) {
    case TWindowChange::Geometry: {
        RECT r{};
        GetWindowRect(h, &r);
        if (r.right - r.left > 0 && r.bottom - r.top > 0)
            setFixedSize(r.right - r.left, r.bottom - r.top);
        if (FPlaced)
            move(r.left, r.top);
        break;
    }
    case TWindowChange::Show:
        if (IsWindowVisible(h)) {
            FApplying = false;
            Place();
            FApplying = true;
            setWindowModality(FForm->Modal() ? Qt::ApplicationModal : Qt::NonModal);
            show();
        } else {
            hide();
        }
        break;
    case TWindowChange::Minimize: showMinimized(); break;
    case TWindowChange::Restore: {
        RECT r{};
        GetWindowRect(h, &r);
        showNormal();
        move(r.left, r.top);
        raise();
        break;
    }
    case TWindowChange::Foreground:
        raise();
        activateWindow();
        break;
    case TWindowChange::SystemMove: {
        QWindow* w = windowHandle();
        if (w && w->startSystemMove())
            break;
        FDragging = true;
        FDragOffset = LastPress - pos();
        grabMouse();
        break;
    }
    case TWindowChange::Destroyed: hide(); break;
    }
    FApplying = false;
}

void TFormView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), ToQColor(FForm->Color()));
}

void TFormView::moveEvent(QMoveEvent* Event)
{
    QWidget::moveEvent(Event);
    if (FApplying || !FPlaced || isMinimized())
        return;
    // The window manager moved the window (a drag): the form follows.
    QPoint p = pos();
    if (p.x() != FForm->Left() || p.y() != FForm->Top())
        Guarded([&] { FForm->SetBounds(p.x(), p.y(), FForm->Width(), FForm->Height()); });
}

void TFormView::closeEvent(QCloseEvent* Event)
{
    // The logic decides; a close it accepts hides or ends the program.
    Event->ignore();
    if (Application && Application->Terminated())
        return;
    PostMessage(FForm->Handle(), WM_CLOSE, 0, 0);
}

void TFormView::changeEvent(QEvent* Event)
{
    QWidget::changeEvent(Event);
    if (Event->type() != QEvent::WindowStateChange || FApplying)
        return;
    HWND h = FForm->Handle();
    HWND app = Application ? Application->Handle() : nullptr;
    if (isMinimized()) {
        if (!IsIconic(h))
            PostMessage(h, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (app && IsIconic(app)) {
        // The task bar brought the program back.
        PostMessage(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    } else if (IsIconic(h)) {
        PostMessage(h, WM_SYSCOMMAND, SC_RESTORE, 0);
    }
}

void TFormView::keyPressEvent(QKeyEvent* Event)
{
    // Enter presses the form's default button, Escape its cancel button.
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    const bool escape = Event->key() == Qt::Key_Escape;
    if (enter || escape)
        for (TControl* c : FForm->Controls())
            if (auto* b = dynamic_cast<TButton*>(c); b && b->Visible() && b->Enabled() && (enter ? b->Default : b->Cancel)) {
                Guarded([&] { b->Click(); });
                return;
            }
    QWidget::keyPressEvent(Event);
}

void TFormView::mouseMoveEvent(QMouseEvent* Event)
{
    QWidget::mouseMoveEvent(Event);
    if (FDragging)
        move(Event->globalPosition().toPoint() - FDragOffset);
}

void TFormView::mouseReleaseEvent(QMouseEvent* Event)
{
    if (FDragging) {
        FDragging = false;
        releaseMouse();
        return;
    }
    QWidget::mouseReleaseEvent(Event);
    if (Event->button() != Qt::RightButton)
        return;
    QPoint p = Event->globalPosition().toPoint();
    Guarded([&] { FForm->ContextPopup(p.x(), p.y()); });
}
