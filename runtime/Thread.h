// The thread class: a body run on a thread of its own, a terminate flag the body polls, a
// priority set before the body starts, free-on-terminate, and Synchronize, which runs a call
// on the main thread while the calling thread waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace rt {

enum class TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// The operating system priority of each value: -15, -2, -1, 0, 1, 2, 15.
constexpr int OsThreadPriority(TThreadPriority p) {
    constexpr int kOs[] = {-15, -2, -1, 0, 1, 2, 15};
    return kOs[static_cast<int>(p)];
}

// The terminate flag lives apart from the thread object, so whoever asked a free-on-terminate
// thread to end can still set it after the thread has freed itself.
using TTerminateFlag = std::shared_ptr<std::atomic<bool>>;

class TThread {
public:
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the body; call once, after construction has finished.
    void Start();
    void Terminate() { FTerminate->store(true); }
    bool Terminated() const { return FTerminate->load(); }
    const TTerminateFlag& TerminateFlag() const { return FTerminate; }

    void SetPriority(TThreadPriority p) { FPriority = p; }
    TThreadPriority Priority() const { return FPriority; }
    // The thread object deletes itself when the body returns. Nobody may use it after Start.
    void SetFreeOnTerminate(bool value) { FFreeOnTerminate = value; }

    // Waits for the body to end (not for a free-on-terminate thread).
    void WaitFor();
    // The exception that ended the body, kept without being shown.
    std::exception_ptr FatalException() const { return FFatalException; }

    // Runs method on the main thread and waits for it; an exception it raises is raised again
    // here. Directly when called on the main thread, or when no main-thread queue is installed.
    static void Synchronize(const std::function<void()>& method);

protected:
    virtual void Execute() = 0;

private:
    void Run();

    TTerminateFlag FTerminate = std::make_shared<std::atomic<bool>>(false);
    TThreadPriority FPriority = TThreadPriority::tpNormal;
    bool FFreeOnTerminate = false;
    std::exception_ptr FFatalException;
    struct TState;
    std::shared_ptr<TState> FState;
};

}  // namespace rt
