// One thread kept for work that can go on beside the caller's (a file
// written while a picture is encoded). A thread that waits for its next
// job is running again at once, where a new one would first have to be
// made and wait for its turn on a busy machine.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class TWorkerThread {
public:
    TWorkerThread();
    // Finishes the job in hand, then ends the thread.
    ~TWorkerThread();
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    // Starts Job on the thread; the job before must have been waited for.
    void Start(std::function<void()> Job);
    // Waits for the job started last and raises what it raised.
    void Wait();

private:
    void Run();

    std::mutex FLock;
    std::condition_variable FChanged;
    std::function<void()> FJob;
    bool FBusy = false;
    bool FStop = false;
    std::exception_ptr FError;
    std::thread FThread;  // last: it starts once the members above exist
};
