#include "Thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "MainThreadQueue.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace rt {

struct TThread::TState {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread thread;
};

namespace {

// Linux schedules ordinary threads by their nice value, which a new thread takes over from
// the thread that started it: so it is set for the normal priority too. Raising a priority
// needs a privilege; without it the thread keeps the value it started with.
void ApplyPriority(TThreadPriority p) {
#if defined(__linux__)
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -OsThreadPriority(p));
#else
    (void)p;
#endif
}

}  // namespace

TThread::TThread() : FState(std::make_shared<TState>()) {}

TThread::~TThread() {
    // A thread object destroyed by its owner while the body runs would be used after free.
    if (!FFreeOnTerminate && FState->thread.joinable()) {
        Terminate();
        if (FState->thread.get_id() == std::this_thread::get_id()) FState->thread.detach();
        else FState->thread.join();
    }
}

void TThread::Start() {
    // A free-on-terminate body may delete this object before the thread constructor returns:
    // nothing of the object is touched after the start.
    std::shared_ptr<TState> state = FState;
    const bool freeOnTerminate = FFreeOnTerminate;
    state->thread = std::thread([this, state] {
        Run();
        std::lock_guard lock(state->mutex);
        state->done = true;
        state->ended.notify_all();
    });
    if (freeOnTerminate) state->thread.detach();
}

void TThread::Run() {
    ApplyPriority(FPriority);
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
    }
    if (FFreeOnTerminate) delete this;
}

void TThread::WaitFor() {
    std::unique_lock lock(FState->mutex);
    FState->ended.wait(lock, [this] { return FState->done; });
}

void TThread::Synchronize(const std::function<void()>& method) {
    TMainThreadQueue* queue = MainThreadQueue();
    if (!queue || queue->IsMainThread()) {
        method();
        return;
    }
    struct TCall {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::exception_ptr error;
    };
    auto call = std::make_shared<TCall>();
    queue->Post([call, &method] {
        try {
            method();
        } catch (...) {
            call->error = std::current_exception();
        }
        std::lock_guard lock(call->mutex);
        call->finished = true;
        call->done.notify_all();
    });
    std::exception_ptr error;
    {
        std::unique_lock lock(call->mutex);
        call->done.wait(lock, [&] { return call->finished; });
        // Taken out, so that the exception ends its life on this thread, whichever thread
        // lets go of the call last.
        error = std::move(call->error);
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace rt
