// The main-thread queue: how other threads hand work to the GUI thread. The application
// installs the implementation of its toolkit before anything posts; tests install a
// TManualMainThreadQueue and pump it themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace rt {

class TMainThreadQueue {
public:
    virtual ~TMainThreadQueue() = default;
    // Runs task on the main thread, some time after the call. Callable from any thread.
    virtual void Post(std::function<void()> task) = 0;
    virtual bool IsMainThread() const = 0;
    // On the main thread: runs the tasks waiting now. Whoever waits on the main thread for
    // another thread that may be waiting for the main thread calls this while it waits.
    virtual void RunPending() = 0;
};

// Installs the queue (nullptr uninstalls). The queue must outlive every poster.
void InstallMainThreadQueue(TMainThreadQueue* queue);
TMainThreadQueue* MainThreadQueue();

// A queue the main thread pumps by hand; the thread that creates it is the main thread.
class TManualMainThreadQueue : public TMainThreadQueue {
public:
    TManualMainThreadQueue() : FMainThread(std::this_thread::get_id()) {}

    void Post(std::function<void()> task) override;
    bool IsMainThread() const override { return std::this_thread::get_id() == FMainThread; }
    void RunPending() override { ProcessPending(); }

    // Runs what is queued now and what those tasks queue; returns how many ran.
    int ProcessPending();
    // Runs tasks as they come until done() holds or the time is up; returns done().
    bool ProcessUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    std::thread::id FMainThread;
    std::mutex FMutex;
    std::condition_variable FPosted;
    std::deque<std::function<void()>> FTasks;
};

}  // namespace rt
