#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SerialTestSupport.h"

using namespace testing_support;
using comm::DBT_DEVICEARRIVAL;
using comm::DBT_DEVICEREMOVECOMPLETE;

namespace {

class COMManagerTest : public testing::Test {
protected:
    comm::TFakePlatform& Fake() { return platform.Fake; }
    // The manager as after the window's activation: every port number scanned, unless the
    // test looks at the scans themselves.
    void Start(std::set<int> ports, bool scanAll = true) {
        Fake().SetPorts(std::move(ports));
        manager = std::make_unique<TCOMManagerInstance>();
        if (scanAll) COMManager->ScanPorts(99);
    }

    comm::TFakePlatformScope platform;
    std::unique_ptr<TCOMManagerInstance> manager;
};

TEST_F(COMManagerTest, CreationRegistersTheHiddenWindowAndProbesPorts1To4) {
    Start({2, 3, 7}, false);
    EXPECT_EQ(COMManager->MaxScanned(), 4);
    EXPECT_EQ(Fake().Probes, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(PortNames(), (std::vector<std::string>{"COM2", "COM3"}));
    ASSERT_EQ(Fake().WindowCalls.size(), 2u);
    const std::string cls = COMManager->MsgWindow()->ClassName();
    EXPECT_TRUE(cls.starts_with("Ser")) << cls;
    EXPECT_GT(cls.size(), 3u);
    EXPECT_EQ(Fake().WindowCalls[0], "RegisterClass " + cls);
    EXPECT_EQ(Fake().WindowCalls[1], "CreateWindow " + cls + " " + cls);  // title = class name
    const auto wnd = COMManager->MsgWindow()->WndHandle();
    manager.reset();
    EXPECT_EQ(COMManager, nullptr);
    EXPECT_FALSE(Fake().WindowExists(wnd));
    EXPECT_EQ(Fake().WindowCalls.back(), "UnregisterClass " + cls);
}

TEST_F(COMManagerTest, ScanLimitsAndProbeNames) {
    Start({1}, false);
    Fake().PlainPorts = {1, 3, 99};
    Fake().PathPorts = {12};  // answers only by its device path
    TCounter listener;
    COMManager->AddListener(listener.Listener());
    Fake().Probes.clear();

    for (int highest : {0, -5, 4, 3}) COMManager->ScanPorts(highest);  // nothing new to probe
    EXPECT_TRUE(Fake().Probes.empty());
    EXPECT_EQ(listener.Calls, 0);

    COMManager->ScanPorts(150);
    EXPECT_EQ(COMManager->MaxScanned(), 99);
    EXPECT_EQ(listener.Calls, 1);
    // 5..9 by plain name only; 10..99 by plain name, then by device path when that fails
    // (COM99 answers by its plain name).
    ASSERT_EQ(Fake().Probes.size(), 5u + 2u * 89u + 1u);
    EXPECT_EQ(Fake().Probes[0], "COM5");
    EXPECT_EQ(Fake().Probes[5], "COM10");
    EXPECT_EQ(Fake().Probes[6], "\\\\.\\COM10");
    EXPECT_EQ(Fake().Probes[Fake().Probes.size() - 2], "\\\\.\\COM98");
    EXPECT_EQ(Fake().Probes.back(), "COM99");
    EXPECT_EQ(PortNames(), (std::vector<std::string>{"COM1", "COM12", "COM99"}));
    EXPECT_EQ(COMManager->PortRecord(1).PortNo, 12);
    EXPECT_EQ(COMManager->PortRecord(1).PortOwner, nullptr);
    EXPECT_EQ(COMManager->IndexOfPort(99), 2);
    EXPECT_EQ(COMManager->IndexOfPort(3), -1);

    Fake().Probes.clear();
    COMManager->ScanPorts(99);
    COMManager->ScanPorts(1000);
    EXPECT_TRUE(Fake().Probes.empty());
    EXPECT_EQ(listener.Calls, 1);
    COMManager->RemoveListener(listener.Listener());
}

TEST_F(COMManagerTest, ScanNeverFindsALatePortBelowTheMaximumButARescanDoes) {
    Start({1}, false);
    Fake().SetPorts({1, 2});
    COMManager->ScanPorts(4);
    EXPECT_FALSE(COMManager->PortExists(2));
    Fake().Probes.clear();
    Fake().Broadcast(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(COMManager->PortExists(2));  // a rescan probes up to the highest scanned
    EXPECT_EQ(Fake().Probes, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
}

struct TRescanCase {
    const char* what;
    std::set<int> before, after;
    int ownedPort;  // 0: none
    bool changed;
    int removedCalls;
};

TEST_F(COMManagerTest, RescanComparesSetsAndCarriesOwnersOver) {
    const TRescanCase cases[] = {
        {"nothing changed", {1, 3}, {1, 3}, 3, false, 0},
        {"owned port vanished", {1, 5}, {1}, 5, true, 1},
        {"owned port survives", {1, 5}, {5}, 5, true, 0},
        {"port without owner vanished", {1, 5}, {1}, 1, true, 0},
        {"one in, one out", {1, 2}, {1, 3}, 0, true, 0},
        {"new port", {1}, {1, 4}, 1, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.before);
        TTestSerial ser;
        TCounter removedEvent;
        ser.SetOnCOMRemoved(removedEvent.Event());
        if (c.ownedPort) {
            ser.SetCOMPort(c.ownedPort);
            ser.MarkOpen(true);
        }
        TCounter listener;
        COMManager->AddListener(listener.Listener());
        Fake().SetPorts(c.after);
        EXPECT_EQ(COMManager->RescanPorts(), c.changed);
        EXPECT_EQ(ser.Removed, c.removedCalls);
        EXPECT_EQ(removedEvent.Calls, c.removedCalls);
        EXPECT_EQ(listener.Calls, 1);  // from the scan inside the rescan
        if (c.ownedPort && c.after.count(c.ownedPort)) {
            EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(c.ownedPort)).PortOwner, &ser);
            EXPECT_TRUE(ser.Active());
        }
        if (c.removedCalls) {
            EXPECT_FALSE(ser.Active());
            EXPECT_EQ(removedEvent.Senders, std::vector<rt::TObject*>{&ser});
        }
        for (const TPortEntry& e : COMManager->Ports())
            if (e.Record.PortNo != c.ownedPort) {
                EXPECT_EQ(e.Record.PortOwner, nullptr);
            }
        COMManager->RemoveListener(listener.Listener());
        manager.reset();
    }
}

TEST_F(COMManagerTest, RemovalBroadcastNotifiesEventAndListenersTwice) {
    Start({1, 5});
    TTestSerial ser;
    ser.SetCOMPort(5);
    ser.MarkOpen(true);
    TCounter listener, removal, arrival;
    COMManager->AddListener(listener.Listener());
    COMManager->OnPortRemoval = removal.Event();
    COMManager->OnPortArrival = arrival.Event();
    Fake().SetPorts({1});
    Fake().Broadcast(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(ser.Removed, 1);
    EXPECT_EQ(removal.Senders, std::vector<rt::TObject*>{COMManager});
    EXPECT_EQ(arrival.Calls, 0);
    EXPECT_EQ(listener.Calls, 2);
    // The same broadcast again: no change, so no event and one listener call from the scan.
    Fake().Broadcast(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(removal.Calls, 1);
    EXPECT_EQ(listener.Calls, 3);
    EXPECT_EQ(ser.Removed, 1);
    COMManager->RemoveListener(listener.Listener());
}

TEST_F(COMManagerTest, OtherMessagesAndDeviceTypesProbeNothing) {
    Start({1});
    Fake().Probes.clear();
    Fake().Broadcast(comm::DBT_DEVICEQUERYREMOVE);
    Fake().Broadcast(DBT_DEVICEARRIVAL, comm::DBT_DEVTYP_VOLUME);
    Fake().Broadcast(DBT_DEVICEREMOVECOMPLETE, comm::DBT_DEVTYP_VOLUME);
    Fake().SendMessage(Fake().LastWindow(), 0x0400, DBT_DEVICEARRIVAL, 0);
    Fake().SendMessage(Fake().LastWindow(), comm::WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);  // no header
    EXPECT_TRUE(Fake().Probes.empty());
    // Every message also reaches the default window procedure.
    EXPECT_EQ(Fake().DefWindowProcCalls, 5);
}

TEST_F(COMManagerTest, RaisingArrivalEventIsClearedAndListenersStillRun) {
    Start({1});
    TCounter arrival, listener;
    arrival.Raise = true;
    COMManager->OnPortArrival = arrival.Event();
    COMManager->AddListener(listener.Listener());
    Fake().SetPorts({1, 2});
    EXPECT_NO_THROW(Fake().Broadcast(DBT_DEVICEARRIVAL));
    EXPECT_EQ(arrival.Calls, 1);
    EXPECT_FALSE(COMManager->OnPortArrival.Assigned());
    EXPECT_EQ(listener.Calls, 2);
    COMManager->RemoveListener(listener.Listener());
}

TEST_F(COMManagerTest, ListenerChainRules) {
    Start({1});
    TCounter a, b, c;
    COMManager->AddListener(a.Listener());
    COMManager->AddListener(a.Listener());
    COMManager->AddListener(b.Listener());
    COMManager->AddListener(c.Listener());
    EXPECT_TRUE(COMManager->HasListener(b.Listener()));
    COMManager->RemoveListener(rt::TSimpleMethod(&c, &TCounter::Listen));  // equal by value
    EXPECT_FALSE(COMManager->HasListener(c.Listener()));
    TCounter stranger;
    COMManager->RemoveListener(stranger.Listener());
    COMManager->RemoveListener(rt::TSimpleMethod());

    Fake().Broadcast(DBT_DEVICEARRIVAL);  // no change: one notification
    EXPECT_EQ(a.Calls, 1);
    EXPECT_EQ(b.Calls, 1);
    EXPECT_EQ(c.Calls, 0);

    a.Raise = true;  // ends the walk: b is skipped this time
    Fake().Broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(a.Calls, 2);
    EXPECT_EQ(b.Calls, 1);
    a.Raise = false;
    Fake().Broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(b.Calls, 2);
    COMManager->RemoveListener(a.Listener());
    COMManager->RemoveListener(b.Listener());
}

class TSelfRemover : public rt::TObject {
public:
    void Listen() {
        ++Calls;
        COMManager->RemoveListener({this, &TSelfRemover::Listen});
        if (Other) COMManager->RemoveListener(*Other);
    }
    int Calls = 0;
    const rt::TSimpleMethod* Other = nullptr;
};

TEST_F(COMManagerTest, ListenerRemovedDuringNotificationIsNotCalled) {
    Start({1});
    TSelfRemover first;
    TCounter second;
    const rt::TSimpleMethod secondListener = second.Listener();
    first.Other = &secondListener;
    COMManager->AddListener({&first, &TSelfRemover::Listen});
    COMManager->AddListener(secondListener);
    Fake().Broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(first.Calls, 1);
    EXPECT_EQ(second.Calls, 0);
    EXPECT_FALSE(COMManager->HasListener(secondListener));
}

TEST_F(COMManagerTest, UpdatePortOwnerTouchesOnlyTheComponentsEntry) {
    Start({1, 2});
    TTestSerial unlisted;  // COMPort 1 after construction
    unlisted.SetCOMPort(0);
    unlisted.MarkOpen(true);
    for (const TPortEntry& e : COMManager->Ports()) EXPECT_EQ(e.Record.PortOwner, nullptr);
    TTestSerial ser;
    ser.SetCOMPort(2);
    ser.MarkOpen(true);
    EXPECT_EQ(COMManager->PortRecord(1).PortOwner, &ser);
    EXPECT_EQ(COMManager->PortRecord(0).PortOwner, nullptr);
    ser.MarkOpen(false);
    EXPECT_EQ(COMManager->PortRecord(1).PortOwner, nullptr);
}

TEST_F(COMManagerTest, WithoutHiddenWindowEverythingButNotificationWorks) {
    for (int failure = 0; failure < 2; ++failure) {
        Fake().FailRegisterClass = failure == 0;
        Fake().FailCreateWindow = failure == 1;
        Start({1, 2});
        EXPECT_EQ(COMManager->MsgWindow()->WndHandle(), 0u);
        EXPECT_EQ(PortNames(), (std::vector<std::string>{"COM1", "COM2"}));
        Fake().SetPorts({1});
        Fake().Broadcast(DBT_DEVICEREMOVECOMPLETE);  // reaches nobody
        EXPECT_EQ(COMManager->PortCount(), 2);
        EXPECT_TRUE(COMManager->RescanPorts());
        EXPECT_EQ(COMManager->PortCount(), 1);
        manager.reset();
    }
}

TEST_F(COMManagerTest, MsgWindowWithoutNameMakesNoClass) {
    Start({});
    const std::size_t calls = Fake().WindowCalls.size();
    {
        TMsgWindow w("", nullptr, nullptr);
        EXPECT_EQ(w.WndHandle(), 0u);
    }
    EXPECT_EQ(Fake().WindowCalls.size(), calls);
}

TEST_F(COMManagerTest, ComponentDestroyedWhileNamedAsOwnerIsNeverReached) {
    Start({3, 5});
    auto ser = std::make_unique<TTestSerial>();
    ser->SetCOMPort(5);
    ser->MarkOpen(true);
    ser->SetCOMPort(3);  // changed while open: the close report below finds port 3's entry
    ser->MarkOpen(false);
    EXPECT_EQ(COMManager->PortRecord(1).PortOwner, ser.get());
    ser.reset();
    EXPECT_EQ(COMManager->PortRecord(1).PortOwner, nullptr);
    Fake().SetPorts({3});
    EXPECT_TRUE(COMManager->RescanPorts());  // AddressSanitizer would catch a call on it
}

TEST_F(COMManagerTest, ComponentOutlivingTheManagerNoLongerReachesIt) {
    Start({1});
    auto ser = std::make_unique<TTestSerial>();
    ser->MarkOpen(true);
    manager.reset();
    EXPECT_EQ(COMManager, nullptr);
    ser->MarkOpen(false);
    ser->SetCOMPort(1);  // nothing to check against: ignored
    EXPECT_EQ(ser->COMPort(), 1);
    ser->SetCOMPort(0);
    EXPECT_EQ(ser->COMPort(), 0);
    ser.reset();
}

TEST_F(COMManagerTest, OwnerReportDuringARebuildIsNotUndoneByTheCarryOver) {
    Start({1, 2, 3});
    TTestSerial closing, opening;
    closing.SetCOMPort(2);
    closing.MarkOpen(true);
    opening.SetCOMPort(3);
    // Reports that arrive while the list is being probed afresh, as from an event thread.
    Fake().OnProbe = [&](const std::string& name) {
        if (name != "COM4") return;
        closing.MarkOpen(false);
        opening.MarkOpen(true);
    };
    EXPECT_FALSE(COMManager->RescanPorts());
    Fake().OnProbe = nullptr;
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(2)).PortOwner, nullptr);
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(3)).PortOwner, &opening);
    opening.MarkOpen(false);
}

TEST_F(COMManagerTest, OwnerReportsFromAnotherThreadDuringRebuilds) {
    Start({1, 2, 3});
    TTestSerial ser;
    ser.SetCOMPort(2);
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        bool open = false;
        while (!stop) {
            open = !open;
            ser.MarkOpen(open);
        }
        ser.MarkOpen(false);
    });
    for (int i = 0; i < 300; ++i) {
        Fake().SetPorts(i % 2 ? std::set<int>{1, 2, 3} : std::set<int>{1, 2});
        COMManager->RescanPorts();
    }
    stop = true;
    reporter.join();
    // Memory safety under concurrent reports is what this shows (with the sanitizers); the
    // final close comes after the rebuilds.
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(2)).PortOwner, nullptr);
    EXPECT_EQ(ser.Removed, 0);
}

}  // namespace
