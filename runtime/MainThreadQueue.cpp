#include "MainThreadQueue.h"

#include <algorithm>
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
    // The condition may also change on another thread without a post: it is looked at again
    // every few milliseconds.
    constexpr auto kLook = std::chrono::milliseconds(2);
    for (;;) {
        ProcessPending();
        if (done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(FMutex);
        FPosted.wait_until(lock, std::min(deadline, now + kLook), [this] { return !FTasks.empty(); });
    }
}

}  // namespace rt
