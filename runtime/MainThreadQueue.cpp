#include "MainThreadQueue.h"

#include <atomic>

namespace rt {
namespace {
std::atomic<TMainThreadQueue*> gQueue{nullptr};
}

void InstallMainThreadQueue(TMainThreadQueue* queue) { gQueue.store(queue); }
TMainThreadQueue* MainThreadQueue() { return gQueue.load(); }

void TManualMainThreadQueue::Post(std::function<void()> task) {
    {
        std::lock_guard lock(FMutex);
        FTasks.push_back(std::move(task));
    }
    FPosted.notify_all();
}

int TManualMainThreadQueue::ProcessPending() {
    int ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(FMutex);
            if (FTasks.empty()) return ran;
            task = std::move(FTasks.front());
            FTasks.pop_front();
        }
        task();
        ++ran;
    }
}

bool TManualMainThreadQueue::ProcessUntil(const std::function<bool()>& done,
                                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        ProcessPending();
        if (done()) return true;
        std::unique_lock lock(FMutex);
        if (!FPosted.wait_until(lock, deadline, [this] { return !FTasks.empty(); })) {
            lock.unlock();
            ProcessPending();
            return done();
        }
    }
}

}  // namespace rt
