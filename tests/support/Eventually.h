// Waiting for a condition with a deadline, never for a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// Polls a condition that nothing signals until it holds or the time is up, running pump (the
// main thread's queue, say) before each look.
inline bool Eventually(const std::function<bool()>& done, const std::function<void()>& pump = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pump) pump();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace testing_support
