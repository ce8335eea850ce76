// The thread class: priority, terminate flag, free-on-terminate, WaitFor, the exception that
// ends a body, and Synchronize with the test's main-thread queue.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "MainThreadQueue.h"
#include "Thread.h"

namespace {

using rt::TThreadPriority;
constexpr auto kDeadline = std::chrono::seconds(5);

// A one-shot signal with a deadline.
class TSignal {
public:
    void Set() {
        {
            std::lock_guard lock(FMutex);
            FSet = true;
        }
        FChanged.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, kDeadline, [&] { return FSet; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FSet = false;
};

// A thread whose body is a function; it signals its own destruction.
class TFnThread : public rt::TThread {
public:
    explicit TFnThread(std::function<void(TFnThread&)> body,
                       std::shared_ptr<TSignal> destroyed = nullptr)
        : FBody(std::move(body)), FDestroyed(std::move(destroyed)) {}
    ~TFnThread() override {
        if (FDestroyed) FDestroyed->Set();
    }
    using rt::TThread::Terminated;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TFnThread&)> FBody;
    std::shared_ptr<TSignal> FDestroyed;
};

#if defined(__linux__)
int OwnNice() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}
bool SetOwnNice(int nice) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice) == 0;
}
#endif

TEST(Thread, PriorityIsStoredAndMapped) {
    const struct {
        TThreadPriority priority;
        int os;
    } cases[] = {{TThreadPriority::tpIdle, -15},       {TThreadPriority::tpLowest, -2},
                 {TThreadPriority::tpLower, -1},       {TThreadPriority::tpNormal, 0},
                 {TThreadPriority::tpHigher, 1},       {TThreadPriority::tpHighest, 2},
                 {TThreadPriority::tpTimeCritical, 15}};
    TFnThread t([](TFnThread&) {});
    EXPECT_EQ(t.Priority(), TThreadPriority::tpNormal);
    for (const auto& c : cases) {
        EXPECT_EQ(rt::OsThreadPriority(c.priority), c.os);
        t.SetPriority(c.priority);
        EXPECT_EQ(t.Priority(), c.priority);
    }
}

#if defined(__linux__)
TEST(Thread, BodyRunsAtItsPriority) {
    // Lower priorities need no privilege; a thread at a raised one the system refuses runs at
    // the normal one.
    for (TThreadPriority p : {TThreadPriority::tpLower, TThreadPriority::tpLowest,
                              TThreadPriority::tpIdle, TThreadPriority::tpNormal}) {
        int nice = -100;
        TFnThread t([&](TFnThread&) { nice = OwnNice(); });
        t.SetPriority(p);
        t.Start();
        t.WaitFor();
        EXPECT_EQ(nice, -rt::OsThreadPriority(p)) << static_cast<int>(p);
    }
}

TEST(Thread, PriorityIsNotTakenFromTheStartingThread) {
    // A thread started by a lowered thread, an event thread reopening its port for instance,
    // runs at its own priority, the normal one included.
    int nice = -100;
    bool raised = false;
    TFnThread starter([&](TFnThread&) {
        TFnThread t([&](TFnThread&) { nice = OwnNice(); });
        t.Start();
        t.WaitFor();
        raised = SetOwnNice(0);  // whether this system lets a thread raise its priority again
    });
    starter.SetPriority(TThreadPriority::tpLowest);
    starter.Start();
    starter.WaitFor();
    if (!raised) GTEST_SKIP() << "raising a thread's priority is not permitted here";
    EXPECT_EQ(nice, 0);
}
#endif

TEST(Thread, TerminateSetsTheFlagTheBodyPolls) {
    TSignal running;
    std::atomic<bool> sawTerminated{false};
    TFnThread t([&](TFnThread& self) {
        running.Set();
        while (!self.Terminated()) std::this_thread::yield();
        sawTerminated = true;
    });
    EXPECT_FALSE(t.Terminated());
    t.Start();
    ASSERT_TRUE(running.Wait());
    const rt::TTerminateFlag flag = t.TerminateFlag();
    t.Terminate();
    EXPECT_TRUE(t.Terminated());
    EXPECT_TRUE(flag->load());
    t.WaitFor();
    EXPECT_TRUE(sawTerminated);
}

TEST(Thread, WaitForReturnsOnceTheBodyHasEnded) {
    TSignal go;
    int result = 0;  // written by the body, read after WaitFor without a lock
    TFnThread t([&](TFnThread&) {
        go.Wait();
        result = 42;
    });
    t.Start();
    go.Set();
    t.WaitFor();
    EXPECT_EQ(result, 42);
    t.WaitFor();  // already ended: returns at once
    EXPECT_FALSE(t.FatalException());
}

TEST(Thread, FreeOnTerminateDeletesTheObject) {
    auto destroyed = std::make_shared<TSignal>();
    TSignal release;
    auto* t = new TFnThread([&](TFnThread&) { release.Wait(); }, destroyed);
    t->SetFreeOnTerminate(true);
    const rt::TTerminateFlag flag = t->TerminateFlag();
    t->Start();
    release.Set();
    EXPECT_TRUE(destroyed->Wait());
    flag->store(true);  // the flag outlives the object
}

TEST(Thread, FreeOnTerminateWithABodyThatEndsAtOnce) {
    // The body may end and free the object before Start has returned.
    for (int i = 0; i < 50; ++i) {
        auto destroyed = std::make_shared<TSignal>();
        auto* t = new TFnThread([](TFnThread&) {}, destroyed);
        t->SetFreeOnTerminate(true);
        t->Start();
        ASSERT_TRUE(destroyed->Wait()) << i;
    }
}

TEST(Thread, DestroyingARunningThreadTerminatesAndJoinsIt) {
    TSignal running;
    std::atomic<bool> ended{false};
    {
        TFnThread t([&](TFnThread& self) {
            running.Set();
            while (!self.Terminated()) std::this_thread::yield();
            ended = true;
        });
        t.Start();
        ASSERT_TRUE(running.Wait());
    }
    EXPECT_TRUE(ended);
}

TEST(Thread, AnExceptionEndsTheBodyAndIsKept) {
    TFnThread t([](TFnThread&) { throw std::runtime_error("body"); });
    t.Start();
    t.WaitFor();
    ASSERT_TRUE(t.FatalException());
    try {
        std::rethrow_exception(t.FatalException());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "body");
    }
}

class ThreadSynchronize : public testing::Test {
protected:
    ThreadSynchronize() { rt::InstallMainThreadQueue(&queue); }
    ~ThreadSynchronize() override { rt::InstallMainThreadQueue(nullptr); }
    rt::TManualMainThreadQueue queue;
};

TEST_F(ThreadSynchronize, RunsTheMethodOnTheMainThreadWhileTheCallerWaits) {
    const std::thread::id main = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    int value = 0;
    bool sawValue = false;
    TFnThread t([&](TFnThread&) {
        rt::TThread::Synchronize([&] {
            ranOn = std::this_thread::get_id();
            value = 7;
        });
        sawValue = value == 7;
        returned = true;
    });
    t.Start();
    // Nothing runs the method but the main thread, so the caller stays blocked until then.
    EXPECT_TRUE(queue.ProcessUntil([&] { return value == 7; }, kDeadline));
    t.WaitFor();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, main);
    EXPECT_TRUE(sawValue);
}

TEST_F(ThreadSynchronize, RaisesTheMethodsExceptionInTheCaller) {
    std::string caught;
    std::thread::id caughtOn;
    bool ran = false;
    TFnThread t([&](TFnThread&) {
        try {
            rt::TThread::Synchronize([&] {
                ran = true;
                throw std::runtime_error("method");
            });
        } catch (const std::runtime_error& e) {
            caught = e.what();
            caughtOn = std::this_thread::get_id();
        }
    });
    t.Start();
    EXPECT_TRUE(queue.ProcessUntil([&] { return ran; }, kDeadline));
    t.WaitFor();
    EXPECT_EQ(caught, "method");
    EXPECT_NE(caughtOn, std::this_thread::get_id());
    EXPECT_FALSE(t.FatalException());
}

TEST_F(ThreadSynchronize, OnTheMainThreadItRunsAtOnce) {
    bool ran = false;
    rt::TThread::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(queue.ProcessPending(), 0);
    EXPECT_THROW(rt::TThread::Synchronize([] { throw std::logic_error("direct"); }),
                 std::logic_error);
}

TEST(ThreadSynchronizeWithoutQueue, RunsOnTheCallingThread) {
    std::thread::id ranOn;
    std::thread::id bodyOn;
    TFnThread t([&](TFnThread&) {
        bodyOn = std::this_thread::get_id();
        rt::TThread::Synchronize([&] { ranOn = std::this_thread::get_id(); });
    });
    t.Start();
    t.WaitFor();
    EXPECT_EQ(ranOn, bodyOn);
}

}  // namespace
