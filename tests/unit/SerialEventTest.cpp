// The serial component's event thread against the fake backend: which handlers a wait's bits
// reach and in which order, on which thread, and how the thread ends: by a close, a close and
// reopen from its own handler, the component's destruction or an escaping exception.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "MainThreadQueue.h"
#include "SerialTestSupport.h"

using namespace testing_support;
using Strings = std::vector<std::string>;
using comm::EV_BREAK;
using comm::EV_ERR;
using comm::EV_RXCHAR;
using comm::EV_TXEMPTY;

namespace {

constexpr int kDeadlineMs = 5000;
constexpr auto kDeadline = std::chrono::milliseconds(kDeadlineMs);

const std::vector<TSerial::TEvent> kAllEvents = {
    TSerial::evBreak, TSerial::evCts,    TSerial::evDsr,       TSerial::evError,   TSerial::evRing,
    TSerial::evDcd,   TSerial::evRxChar, TSerial::evEventChar, TSerial::evTxEmpty, TSerial::evData};

// The test's main-thread queue; it also tells how many tasks were posted to it.
class TCountingQueue : public rt::TManualMainThreadQueue {
public:
    void Post(std::function<void()> task) override {
        rt::TManualMainThreadQueue::Post(std::move(task));
        {
            std::lock_guard lock(FMutex);
            ++FPosted;
        }
        FChanged.notify_all();
    }
    bool WaitForPosts(int n) {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, kDeadline, [&] { return FPosted >= n; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FPosted = 0;
};

class SerialEvents : public testing::Test {
protected:
    SerialEvents() {
        Fake().SetPorts({1, 2});
        manager = std::make_unique<TCOMManagerInstance>();
        COMManager->ScanPorts(99);
        rt::InstallMainThreadQueue(&queue);
        ser = NewSerial();
    }
    ~SerialEvents() override {
        ser.reset();
        EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs));
        rt::InstallMainThreadQueue(nullptr);
    }

    comm::TFakePlatform& Fake() { return platform.Fake; }
    static std::unique_ptr<TSerial> NewSerial() { return NewWindowSerial(); }
    // Assigns the handlers to the recorder, opens and waits until the event thread waits.
    bool Open(TSerial& s, TEventRecorder& rec, const std::vector<TSerial::TEvent>& handlers) {
        for (TSerial::TEvent e : handlers) s.SetHandler(e, rec.Handler(e));
        return s.OpenPort() && Fake().WaitUntilWaiting(1, kDeadlineMs);
    }
    // One wait returns the bits; true once the event thread has dealt with them.
    bool Deliver(std::uint32_t bits) {
        Fake().PushEvent(bits);
        return Fake().WaitUntilIdle(kDeadlineMs);
    }

    comm::TFakePlatformScope platform;
    std::unique_ptr<TCOMManagerInstance> manager;
    TCountingQueue queue;
    TEventRecorder recorder;
    std::unique_ptr<TSerial> ser;
};

TEST_F(SerialEvents, BitsOfOneWaitAreDeliveredInTheirOrder) {
    const struct {
        const char* what;
        std::int32_t dataSize;
        std::string waiting;
        std::uint32_t bits;
        Strings expect;
    } cases[] = {
        {"received and sent", 0, "", EV_RXCHAR | EV_TXEMPTY, {"RxChar", "TxEmpty"}},
        {"received enough for OnData, and sent",
         5,
         "0123456789",
         EV_RXCHAR | EV_TXEMPTY,
         {"RxChar", "Data", "TxEmpty"}},
        {"break and line error", 0, "", EV_BREAK | EV_ERR, {"Break", "Error"}},
        {"every bit",
         5,
         "0123456789",
         0x01FF,
         {"Break", "Cts", "Dsr", "Error", "Ring", "Dcd", "RxChar", "Data", "EventChar", "TxEmpty"}},
    };
    for (const auto& c : cases) {
        TEventRecorder rec;
        auto s = NewSerial();
        s->SetDataSize(c.dataSize);
        ASSERT_TRUE(Open(*s, rec, kAllEvents)) << c.what;
        Fake().Receive(c.waiting);
        ASSERT_TRUE(Deliver(c.bits)) << c.what;
        EXPECT_EQ(rec.Calls(), c.expect) << c.what;
        for (rt::TObject* sender : rec.Senders()) EXPECT_EQ(sender, s.get()) << c.what;
        for (std::thread::id t : rec.Threads()) EXPECT_NE(t, std::this_thread::get_id());
        s.reset();
        ASSERT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << c.what;
        Fake().ClearQueues();
    }
}

TEST_F(SerialEvents, OnDataSeesWhatOnRxCharLeft) {
    const struct {
        const char* what;
        std::int32_t dataSize;
        std::size_t waiting;
        std::vector<TSerial::TEvent> handlers;
        bool rxCharReadsAll;
        Strings expect;
    } cases[] = {
        {"DataSize 0", 0, 50, {TSerial::evRxChar, TSerial::evData}, false, {"RxChar"}},
        {"DataSize 0, only OnData", 0, 50, {TSerial::evData}, false, {}},
        {"below DataSize", 100, 60, {TSerial::evRxChar, TSerial::evData}, false, {"RxChar"}},
        {"at DataSize", 100, 100, {TSerial::evRxChar, TSerial::evData}, false, {"RxChar", "Data"}},
        {"above DataSize",
         100,
         120,
         {TSerial::evRxChar, TSerial::evData},
         false,
         {"RxChar", "Data"}},
        {"OnRxChar reads everything",
         100,
         120,
         {TSerial::evRxChar, TSerial::evData},
         true,
         {"RxChar"}},
        {"only OnData", 100, 120, {TSerial::evData}, false, {"Data"}},
    };
    for (const auto& c : cases) {
        TEventRecorder rec;
        if (c.rxCharReadsAll) {
            rec.Action = [](TSerial* s, TSerial::TEvent e) {
                if (e == TSerial::evRxChar) s->ReceiveString();
            };
        }
        auto s = NewSerial();
        s->SetDataSize(c.dataSize);
        ASSERT_TRUE(Open(*s, rec, c.handlers)) << c.what;
        EXPECT_EQ(Fake().LastMask, EV_RXCHAR) << c.what;
        Fake().Receive(std::string(c.waiting, 'd'));
        ASSERT_TRUE(Deliver(EV_RXCHAR)) << c.what;
        EXPECT_EQ(rec.Calls(), c.expect) << c.what;
        s.reset();
        ASSERT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << c.what;
        Fake().ClearQueues();
    }
}

TEST_F(SerialEvents, OnDataFollowsTheFillAndDataSizeOfEachEvent) {
    ser->SetDataSize(100);
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar, TSerial::evData}));
    Fake().Receive(std::string(60, 'a'));
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls(), Strings{"RxChar"});
    Fake().Receive(std::string(60, 'b'));
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls(), (Strings{"RxChar", "RxChar", "Data"}));
    ser->SetDataSize(200);  // takes effect at the next event
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls().size(), 4u);
    ser->SetDataSize(0);
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls(), (Strings{"RxChar", "RxChar", "Data", "RxChar", "RxChar"}));
}

TEST_F(SerialEvents, EnableEventsDropsAndResumes) {
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar, TSerial::evTxEmpty}));
    ser->SetEnableEvents(false);
    ASSERT_TRUE(Deliver(EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_TRUE(recorder.Calls().empty());
    EXPECT_EQ(Fake().Waiting(), 1);  // still waiting
    ser->SetEnableEvents(true);
    ASSERT_TRUE(Deliver(EV_TXEMPTY));
    EXPECT_EQ(recorder.Calls(), Strings{"TxEmpty"});
}

TEST_F(SerialEvents, HandlerChangesWhileOpen) {
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar, TSerial::evTxEmpty}));
    ser->SetOnTxEmpty({});
    ASSERT_TRUE(Deliver(EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(recorder.Calls(), Strings{"RxChar"});
    ser->SetOnRxChar({});
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls(), Strings{"RxChar"});
    // A handler assigned now is not waited for until the next open.
    Fake().ClearCommCalls();
    recorder.Assign(*ser, {TSerial::evBreak});
    ASSERT_TRUE(Deliver(EV_BREAK));
    EXPECT_EQ(recorder.Calls(), Strings{"RxChar"});
    EXPECT_TRUE(Fake().CommCalls().empty());
}

TEST_F(SerialEvents, SyncEventHandlingRunsHandlersOnTheMainThread) {
    ser->SetSyncEventHandling(true);
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar}));
    Fake().PushEvent(EV_RXCHAR);
    ASSERT_TRUE(queue.WaitForPosts(1));
    // The event thread waits for the main thread to run the dispatch.
    EXPECT_TRUE(recorder.Calls().empty());
    EXPECT_EQ(Fake().Waiting(), 0);
    EXPECT_EQ(queue.ProcessPending(), 1);
    EXPECT_EQ(recorder.Threads(), std::vector{std::this_thread::get_id()});
    ASSERT_TRUE(Fake().WaitUntilIdle(kDeadlineMs));

    ser->SetSyncEventHandling(false);  // takes effect at the next event
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    ASSERT_EQ(recorder.Threads().size(), 2u);
    EXPECT_NE(recorder.Threads()[1], std::this_thread::get_id());
    EXPECT_EQ(queue.ProcessPending(), 0);
}

TEST_F(SerialEvents, ClosingEndsTheThreadWithoutAHandler) {
    for (bool sync : {false, true}) {
        TEventRecorder rec;
        auto s = NewSerial();
        s->SetSyncEventHandling(sync);
        ASSERT_TRUE(Open(*s, rec, kAllEvents));
        s->ClosePort();
        EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << sync;
        EXPECT_EQ(queue.ProcessPending(), 0) << sync;
        EXPECT_TRUE(rec.Calls().empty()) << sync;
        EXPECT_TRUE(s->SendData.Bound() == &TSerial::SendDataClosed);
    }
}

TEST_F(SerialEvents, ADispatchInProgressRunsToItsEndWhenTheMainThreadCloses) {
    recorder.Action = [](TSerial* s, TSerial::TEvent e) {
        if (e == TSerial::evRxChar) Eventually([s] { return !s->Active(); });
    };
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar, TSerial::evTxEmpty}));
    Fake().PushEvent(EV_RXCHAR | EV_TXEMPTY);
    ASSERT_TRUE(recorder.WaitForCalls(1));
    ser->ClosePort();
    ASSERT_TRUE(recorder.WaitForCalls(2));
    EXPECT_EQ(recorder.Calls(), (Strings{"RxChar", "TxEmpty"}));
    EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs));
}

TEST_F(SerialEvents, ReopenFromOnRxCharStartsANewThread) {
    std::atomic<int> reopened{-1};
    recorder.Action = [&](TSerial* s, TSerial::TEvent) {
        if (reopened >= 0) return;
        s->ClosePort();
        reopened = s->OpenPort();
    };
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar}));
    Fake().ClearCommCalls();
    Fake().PushEvent(EV_RXCHAR);
    ASSERT_TRUE(recorder.WaitForCalls(1));
    // The old thread ends once the handler returns; the new one waits on the new handle.
    ASSERT_TRUE(Eventually([&] { return Fake().WaiterThreads() == 1 && Fake().Waiting() == 1; }));
    EXPECT_EQ(reopened, 1);
    EXPECT_TRUE(ser->Active());
    EXPECT_EQ(Fake().CommCalls(),
              (Strings{"SetCommMask 0", "CloseHandle", "CreateFile COM1", "SetupComm 16384 16384",
                       "BuildCommDCB baud=9600 parity=N data=8 stop=1", "SetCommState",
                       "SetCommMask 1"}));
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    ASSERT_EQ(recorder.Threads().size(), 2u);
    EXPECT_NE(recorder.Threads()[0], recorder.Threads()[1]);
    EXPECT_EQ(COMManager->PortRecord(0).PortOwner, ser.get());
}

TEST_F(SerialEvents, ComponentDestroyedByItsOwnHandler) {
    for (bool sync : {false, true}) {
        TEventRecorder rec;
        std::atomic<bool> destroyed{false};
        TSerial* s = NewSerial().release();
        s->SetSyncEventHandling(sync);
        rec.Action = [&](TSerial* self, TSerial::TEvent) {
            delete self;
            destroyed = true;
        };
        ASSERT_TRUE(Open(*s, rec, {TSerial::evRxChar, TSerial::evTxEmpty}));
        Fake().ClearCommCalls();
        Fake().PushEvent(EV_RXCHAR | EV_TXEMPTY);
        if (sync) {
            EXPECT_TRUE(queue.ProcessUntil([&] { return destroyed.load(); }, kDeadline));
        }
        ASSERT_TRUE(Eventually([&] { return destroyed.load(); })) << sync;
        EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << sync;
        // The handlers after the one that destroyed the component are not called.
        EXPECT_EQ(rec.Calls(), Strings{"RxChar"}) << sync;
        EXPECT_EQ(Fake().CommCalls(), (Strings{"SetCommMask 0", "CloseHandle"})) << sync;
        EXPECT_EQ(COMManager->PortRecord(0).PortOwner, nullptr);
    }
}

TEST_F(SerialEvents, DestroyedOnTheMainThreadWhileAHandlerRuns) {
    // The handler goes on using the component after the main thread has begun destroying it,
    // and even tries to open it again; the destruction waits for it.
    std::atomic<bool> sawClosed{false}, reopened{true};
    std::atomic<int> sent{-1}, waiting{-1};
    recorder.Action = [&](TSerial* s, TSerial::TEvent) {
        sawClosed = Eventually([s] { return !s->Active(); });
        reopened = s->OpenPort();
        sent = s->SendString("late");
        waiting = s->InQueueCount();
    };
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar}));
    Fake().Receive("abc");
    Fake().ClearCommCalls();
    Fake().PushEvent(EV_RXCHAR);
    ASSERT_TRUE(recorder.WaitForCalls(1));
    ser.reset();
    EXPECT_TRUE(sawClosed);
    EXPECT_FALSE(reopened);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(waiting, 0);
    EXPECT_EQ(Fake().CommCalls(), (Strings{"SetCommMask 0", "CloseHandle"}));
    EXPECT_EQ(Fake().Sent(), "");
    EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs));
    EXPECT_EQ(COMManager->PortRecord(0).PortOwner, nullptr);
}

TEST_F(SerialEvents, DestroyedWhileTheEventThreadWaitsForTheMainThread) {
    // The destruction runs the main thread's queued work while it waits, so an event thread
    // blocked in Synchronize, for its dispatch or inside a handler, can end.
    for (bool sync : {true, false}) {
        TEventRecorder rec;
        std::atomic<bool> ranOnMain{false};
        const std::thread::id main = std::this_thread::get_id();
        if (!sync) {
            rec.Action = [&](TSerial* s, TSerial::TEvent) {
                Eventually([s] { return !s->Active(); });
                rt::TThread::Synchronize([&] { ranOnMain = std::this_thread::get_id() == main; });
            };
        }
        auto s = NewSerial();
        s->SetSyncEventHandling(sync);
        ASSERT_TRUE(Open(*s, rec, {TSerial::evRxChar}));
        Fake().PushEvent(EV_RXCHAR);
        if (sync) {
            ASSERT_TRUE(queue.WaitForPosts(1));
        } else {
            ASSERT_TRUE(rec.WaitForCalls(1));
        }
        s.reset();
        EXPECT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << sync;
        // A dispatch that reaches the main thread after the destruction began calls nothing.
        EXPECT_EQ(rec.Calls().size(), sync ? 0u : 1u);
        EXPECT_EQ(ranOnMain, !sync);
    }
}

TEST_F(SerialEvents, AnEscapingExceptionEndsTheThreadButNotThePort) {
    for (bool sync : {false, true}) {
        TEventRecorder rec;
        rec.Action = [&](TSerial*, TSerial::TEvent) {
            if (rec.Calls().size() == 1) throw std::runtime_error("handler");
        };
        auto s = NewSerial();
        s->SetSyncEventHandling(sync);
        ASSERT_TRUE(Open(*s, rec, {TSerial::evRxChar}));
        Fake().PushEvent(EV_RXCHAR);
        if (sync) {
            EXPECT_TRUE(queue.ProcessUntil([&] { return !rec.Calls().empty(); }, kDeadline));
        }
        ASSERT_TRUE(rec.WaitForCalls(1)) << sync;
        ASSERT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << sync;
        EXPECT_TRUE(s->Active()) << sync;
        EXPECT_EQ(s->SendString("still open"), 10) << sync;

        // No thread takes this event until the port is opened again.
        Fake().PushEvent(EV_RXCHAR);
        Fake().ClearCommCalls();
        s->ClosePort();
        EXPECT_EQ(Fake().CommCalls(), (Strings{"SetCommMask 0", "CloseHandle"})) << sync;
        ASSERT_TRUE(s->OpenPort());
        if (sync) {
            EXPECT_TRUE(queue.ProcessUntil([&] { return rec.Calls().size() == 2; }, kDeadline));
        }
        EXPECT_TRUE(rec.WaitForCalls(2)) << sync;
        EXPECT_EQ(rec.Calls().size(), 2u) << sync;
        s.reset();
        ASSERT_TRUE(Fake().WaitUntilNoWaiterThreads(kDeadlineMs)) << sync;
        Fake().ClearQueues();
    }
}

TEST_F(SerialEvents, AFailedWaitIsRetried) {
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar}));
    Fake().FailWaits(2);
    ASSERT_TRUE(Fake().WaitUntilIdle(kDeadlineMs));
    EXPECT_TRUE(recorder.Calls().empty());
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(recorder.Calls(), Strings{"RxChar"});
}

#if defined(__linux__)
TEST_F(SerialEvents, TheThreadRunsAtTheComponentsPriority) {
    std::atomic<int> nice{-100};
    recorder.Action = [&](TSerial*, TSerial::TEvent) {
        nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    };
    ser->SetThreadPriority(rt::TThreadPriority::tpLower);
    ASSERT_TRUE(Open(*ser, recorder, {TSerial::evRxChar}));
    ASSERT_TRUE(Deliver(EV_RXCHAR));
    EXPECT_EQ(nice, -rt::OsThreadPriority(rt::TThreadPriority::tpLower));
}
#endif

}  // namespace
