// Drives the thread's message queue from Qt's event loop: the queue's
// descriptor wakes a socket notifier, the next timer deadline arms a
// single-shot timer, and every activation drains the queue.
#pragma once

#include <chrono>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

class TQueueBridge : public QObject {
    Q_OBJECT
public:
    explicit TQueueBridge(QObject* Parent = nullptr);
    ~TQueueBridge() override;

    // Dispatches what the queue holds, then re-arms the timer; quits the
    // Qt loop once the application is terminated.
    void Pass();
    // Points the timer at the queue's next deadline.
    void Rearm();

private:
    QSocketNotifier FNotifier;
    QTimer FTimer;
    std::chrono::steady_clock::time_point FArmed;
};
