// Shared pieces of the GUI tests: one QApplication per process and a wait
// that runs the Qt loop until a condition holds or a deadline passes.
#pragma once

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>

inline std::unique_ptr<QApplication>& TestAppHolder()
{
    static std::unique_ptr<QApplication> app;
    return app;
}

inline QApplication& TestApp()
{
    static int argc = 1;
    static char name[] = "test_gui";
    static char* argv[] = {name, nullptr};
    auto& app = TestAppHolder();
    if (!app)
        app = std::make_unique<QApplication>(argc, argv);
    return *app;
}

// Ends the QApplication before the process's static destruction, which
// Qt's own statics do not survive.
class TQtEnvironment : public ::testing::Environment {
public:
    void TearDown() override { TestAppHolder().reset(); }
};

inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = 5000)
{
    TestApp();
    // The timer makes sure a blocking pass wakes up at the deadline.
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(TimeoutMs);
    QDeadlineTimer deadline(TimeoutMs);
    while (!Done()) {
        if (deadline.hasExpired())
            return false;
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Mouse button B goes down, or up, at At in W.
inline void Press(QWidget* W, QPoint At, Qt::MouseButton B = Qt::LeftButton)
{
    QPointF local(At), global(W->mapToGlobal(At));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, B, B, Qt::NoModifier);
    QApplication::sendEvent(W, &press);
}

inline void Release(QWidget* W, QPoint At, Qt::MouseButton B = Qt::LeftButton)
{
    QPointF local(At), global(W->mapToGlobal(At));
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, B, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(W, &release);
}
