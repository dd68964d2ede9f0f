#include "platform/WorkerThread.h"

#include <utility>

TWorkerThread::TWorkerThread() : FThread([this] { Run(); }) {}

TWorkerThread::~TWorkerThread()
{
    {
        std::unique_lock<std::mutex> lock(FLock);
        FChanged.wait(lock, [this] { return !FBusy; });
        FStop = true;
    }
    FChanged.notify_all();
    FThread.join();
}

void TWorkerThread::Start(std::function<void()> Job)
{
    {
        const std::lock_guard<std::mutex> lock(FLock);
        FJob = std::move(Job);
        FBusy = true;
        FError = nullptr;
    }
    FChanged.notify_all();
}

void TWorkerThread::Wait()
{
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return !FBusy; });
    if (FError)
        std::rethrow_exception(std::exchange(FError, nullptr));
}

void TWorkerThread::Run()
{
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FChanged.wait(lock, [this] { return FBusy || FStop; });
        if (!FBusy)
            return;
        std::function<void()> job = std::move(FJob);
        lock.unlock();
        std::exception_ptr error;
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        FError = error;
        FBusy = false;
        FChanged.notify_all();
    }
}
