#include "gui/QueueBridge.h"

#include <chrono>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include "platform/Application.h"
#include "platform/Windows.h"

TQueueBridge::TQueueBridge(QObject* Parent)
    : QObject(Parent), FNotifier(QueueDescriptor(), QSocketNotifier::Read)
{
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FNotifier, &QSocketNotifier::activated, this, [this] { Pass(); });
    connect(&FTimer, &QTimer::timeout, this, [this] { Pass(); });
    // Handlers run from Qt input may set platform timers without waking
    // the queue; look at the deadline again before Qt goes to sleep.
    if (auto* d = QAbstractEventDispatcher::instance(thread()))
        connect(d, &QAbstractEventDispatcher::aboutToBlock, this, [this] { Rearm(); });
    Rearm();
}

TQueueBridge::~TQueueBridge() = default;

void TQueueBridge::Pass()
{
    FTimer.stop();
    if (!Application)
        return;
    // Handlers that process messages nest further passes inside this one.
    Application->DrainQueue();
    // exit, not quit: quit would first ask every window to close, and a
    // form's close goes back to the logic.
    if (Application->Terminated())
        QCoreApplication::exit(0);
    Rearm();
}

void TQueueBridge::Rearm()
{
    SignalPendingMessages();
    if (Application && Application->Terminated()) {
        FTimer.stop();
        QCoreApplication::exit(0);
        return;
    }
    int next = NextTimerTimeout();
    if (next < 0) {
        FTimer.stop();
        return;
    }
    // Restart only for an earlier deadline: an early wake just drains and
    // re-arms, while restarting on every pass would keep Qt from sleeping.
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(next);
    if (FTimer.isActive() && FArmed <= due)
        return;
    FArmed = due;
    FTimer.start(next);
}
