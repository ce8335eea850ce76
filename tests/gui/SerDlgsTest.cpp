// The port selector on the real widget (offscreen): items and selection from the port manager,
// picks made with QTest input as a user makes them, and hot-plug through the POSIX backend.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <QWidget>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "MainThreadQueue.h"
#include "PtySupport.h"
#include "SerDlgs.h"
#include "SerialTestSupport.h"

using namespace testing_support;
using comm::DBT_DEVICEARRIVAL;
using comm::DBT_DEVICEREMOVECOMPLETE;

namespace {

constexpr int kDeadlineMs = 5000;

// What a selector shows: the item texts, the port number each item carries, the selection.
struct TShown {
    std::vector<std::string> Items;
    std::vector<int> PortNos;
    int Index = -1;
    bool operator==(const TShown&) const = default;
};

void PrintTo(const TShown& s, std::ostream* os) {
    *os << "{";
    for (std::size_t i = 0; i < s.Items.size(); ++i)
        *os << (i ? " " : "") << s.Items[i] << "=" << s.PortNos[i];
    *os << "} selected " << s.Index;
}

TShown Shown(const QComboBox& box) {
    TShown s;
    for (int i = 0; i < box.count(); ++i) {
        s.Items.push_back(box.itemText(i).toStdString());
        s.PortNos.push_back(box.itemData(i).toInt());
    }
    s.Index = box.currentIndex();
    return s;
}

// What the manager lists, shown with the selection expected.
TShown Expected(const std::set<int>& ports, int index) {
    TShown s;
    for (int p : ports) {
        s.Items.push_back("COM" + std::to_string(p));
        s.PortNos.push_back(p);
    }
    s.Index = index;
    return s;
}

// The box's events in order, each with the bound component's COMPort at the time it ran.
class TEventLog : public rt::TObject {
public:
    explicit TEventLog(const TCustomSerial* serial = nullptr) : FSerial(serial) {}
    void Attach(TSerComboBox& box) {
        box.SetOnClick({this, &TEventLog::Click});
        box.SetOnChange({this, &TEventLog::Change});
    }
    void Click(rt::TObject* sender) { Add("Click", sender); }
    void Change(rt::TObject* sender) { Add("Change", sender); }

    std::vector<std::string> Entries;
    std::vector<rt::TObject*> Senders;

private:
    void Add(const std::string& what, rt::TObject* sender) {
        Entries.push_back(FSerial ? what + " " + std::to_string(FSerial->COMPort()) : what);
        Senders.push_back(sender);
    }
    const TCustomSerial* FSerial;
};

enum class TPick { PopupKeys, PopupMouse };

const char* Name(TPick how) {
    return how == TPick::PopupKeys ? "keys" : "mouse";
}

// Opens the drop-down list and picks row in it as a user does, with the keyboard or the
// mouse. False when the list did not open, or did not close with the pick.
bool Pick(QComboBox& box, int row, TPick how) {
    QAbstractItemView* view = box.view();
    if (how == TPick::PopupKeys)
        QTest::keyClick(&box, Qt::Key_F4);
    else
        QTest::mouseClick(&box, Qt::LeftButton);
    if (!QTest::qWaitFor([view] { return view->isVisible(); }, kDeadlineMs)) return false;
    if (how == TPick::PopupKeys) {
        QTest::keyClick(view, Qt::Key_Home);
        for (int i = 0; i < row; ++i) QTest::keyClick(view, Qt::Key_Down);
        QTest::keyClick(view, Qt::Key_Return);
    } else {
        const QPoint at = view->visualRect(view->model()->index(row, 0)).center();
        QTest::mouseMove(view->viewport(), at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    return QTest::qWaitFor([view] { return !view->isVisible(); }, kDeadlineMs);
}

bool ShowForm(QWidget& form) {
    form.resize(400, 300);
    form.show();
    return QTest::qWaitForWindowExposed(&form);
}

bool HasItem(const QComboBox& box, const char* text) {
    return box.findText(text) >= 0;
}

// A selector on the form as the form loader makes it: properties first, then Loaded.
TSerPortComboBox* NewSelector(QWidget& form, TCustomSerial* serial, TEventLog* log = nullptr) {
    const auto placed = form.findChildren<TSerComboBox*>().size();
    auto* box = new TSerPortComboBox(&form);
    box->setGeometry(10, 10 + 30 * static_cast<int>(placed), 120, 24);
    box->SetSerial(serial);
    if (log) log->Attach(*box);
    box->Loaded();
    box->show();
    return box;
}

// The manager as after the window's first activation: every port number probed.
struct TActivatedManager : TCOMManagerInstance {
    TActivatedManager() { COMManager->ScanPorts(99); }
};

constexpr TPick kPicks[] = {TPick::PopupKeys, TPick::PopupMouse};

TEST(SerComboBox, OnlyAUserPickRaisesClickThenChange) {
    QWidget form;
    auto* box = new TSerComboBox(&form);
    EXPECT_EQ(box->parentWidget(), &form);
    EXPECT_FALSE(box->isEditable());
    TEventLog log;
    log.Attach(*box);
    box->addItems({"COM1", "COM3", "COM12"});
    box->setCurrentIndex(2);
    box->setCurrentIndex(-1);
    box->clear();
    box->addItems({"COM1", "COM3", "COM12"});
    ASSERT_TRUE(ShowForm(form));
    // Typing puts no text in: a drop-down list only searches its own items.
    QTest::keyClicks(box, "xyz");
    EXPECT_EQ(box->count(), 3);
    EXPECT_EQ(box->currentText().toStdString(), "COM1");
    EXPECT_TRUE(log.Entries.empty());

    rt::TObject* const sender = box;
    for (TPick how : kPicks) {
        SCOPED_TRACE(Name(how));
        log.Entries.clear();
        log.Senders.clear();
        const int row = how == TPick::PopupKeys ? 2 : 1;
        ASSERT_TRUE(Pick(*box, row, how));
        EXPECT_EQ(box->currentIndex(), row);
        EXPECT_EQ(log.Entries, (std::vector<std::string>{"Click", "Change"}));
        EXPECT_EQ(log.Senders, (std::vector<rt::TObject*>(2, sender)));
    }
}

class SelectorTest : public testing::Test {
protected:
    comm::TFakePlatform& Fake() { return platform.Fake; }
    // The machine's ports change and the system says so.
    void Replug(const std::set<int>& ports, std::uintptr_t event) {
        Fake().SetPorts(ports);
        Fake().Broadcast(event);
    }

    comm::TFakePlatformScope platform;
};

TEST_F(SelectorTest, RefreshListsTheManagersPortsAndSelectsTheBoundOne) {
    const struct {
        const char* what;
        std::set<int> ports;
        bool bound;
        int comPort;
        int selected;
    } cases[] = {
        {"bound to COM3", {1, 3, 12}, true, 3, 1},
        {"bound to the first port", {1, 3, 12}, true, 1, 0},
        {"bound to the last port", {1, 3, 12}, true, 12, 2},
        {"not bound", {1, 3, 12}, false, 3, -1},
        {"COMPort 0", {1, 3, 12}, true, 0, -1},
        {"no ports", {}, true, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fake().SetPorts(c.ports);
        TActivatedManager manager;
        TSerial ser(nullptr);
        ser.SetCOMPort(c.comPort);
        ASSERT_EQ(ser.COMPort(), c.comPort);
        QWidget form;
        TEventLog log(&ser);
        TSerPortComboBox* box = NewSelector(form, c.bound ? &ser : nullptr, &log);
        EXPECT_EQ(box->Serial(), c.bound ? &ser : nullptr);
        EXPECT_EQ(Shown(*box), Expected(c.ports, c.selected));
        // Again directly, and through a rescan that changes nothing: the same picture.
        box->RefreshPorts();
        EXPECT_EQ(Shown(*box), Expected(c.ports, c.selected));
        Fake().Broadcast(DBT_DEVICEARRIVAL);
        EXPECT_EQ(Shown(*box), Expected(c.ports, c.selected));
        EXPECT_EQ(ser.COMPort(), c.comPort);
        EXPECT_TRUE(log.Entries.empty());
    }
}

TEST_F(SelectorTest, TwoSelectorsFollowEveryRebuildAndKeepTheirComponentsPorts) {
    Fake().SetPorts({1, 3, 12});
    TActivatedManager manager;
    TSerial serA(nullptr), serB(nullptr);
    serA.SetCOMPort(3);
    serB.SetCOMPort(12);
    serA.SetActive(true);
    ASSERT_TRUE(serA.Active());
    QWidget form;
    TEventLog logA(&serA), logB(&serB);
    TSerPortComboBox* boxA = NewSelector(form, &serA, &logA);
    TSerPortComboBox* boxB = NewSelector(form, &serB, &logB);
    ASSERT_EQ(Shown(*boxA), Expected({1, 3, 12}, 1));
    ASSERT_EQ(Shown(*boxB), Expected({1, 3, 12}, 2));

    const struct {
        const char* what;
        std::set<int> ports;
        std::uintptr_t event;
        int selectedA, selectedB;
    } steps[] = {
        {"open COM3 removed", {1, 12}, DBT_DEVICEREMOVECOMPLETE, -1, 1},
        {"COM3 back with COM5", {1, 3, 5, 12}, DBT_DEVICEARRIVAL, 1, 3},
        {"COM2 arrives in front", {1, 2, 3, 5, 12}, DBT_DEVICEARRIVAL, 2, 4},
        {"COM12 removed", {1, 2, 3, 5}, DBT_DEVICEREMOVECOMPLETE, 2, -1},
        {"every port removed", {}, DBT_DEVICEREMOVECOMPLETE, -1, -1},
        {"COM12 alone", {12}, DBT_DEVICEARRIVAL, -1, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        Replug(step.ports, step.event);
        EXPECT_EQ(Shown(*boxA), Expected(step.ports, step.selectedA));
        EXPECT_EQ(Shown(*boxB), Expected(step.ports, step.selectedB));
        EXPECT_EQ(serA.COMPort(), 3);
        EXPECT_EQ(serB.COMPort(), 12);
    }
    EXPECT_FALSE(serA.Active());  // its port went away under it
    EXPECT_TRUE(logA.Entries.empty());
    EXPECT_TRUE(logB.Entries.empty());
}

TEST_F(SelectorTest, APickSetsTheComponentsPortBeforeOnChange) {
    const struct {
        const char* what;
        std::set<int> ports;
        bool bound;
        int row;
        bool listEmptiedUnseen;           // the manager's list is empty, the items are not
        std::vector<std::string> events;  // with the component's COMPort as each ran
    } cases[] = {
        {"COM12 picked", {1, 3, 12}, true, 2, false, {"Click 3", "Change 12"}},
        {"COM1 picked", {1, 3, 12}, true, 0, false, {"Click 3", "Change 1"}},
        {"not bound", {1, 3, 12}, false, 2, false, {"Click 3", "Change 3"}},
        {"empty port list", {1, 3}, true, 1, true, {"Click 3", "Change 0"}},
    };
    for (const auto& c : cases) {
        for (TPick how : kPicks) {
            SCOPED_TRACE(std::string(c.what) + ", " + Name(how));
            Fake().SetPorts(c.ports);
            TActivatedManager manager;
            // A listener that raises ends the notification before the selector's turn, so the
            // selector keeps showing a list the manager no longer has.
            TCounter blocker;
            blocker.Raise = true;
            if (c.listEmptiedUnseen) COMManager->AddListener(blocker.Listener());
            TSerial ser(nullptr);
            ser.SetCOMPort(3);
            QWidget form;
            TEventLog log(&ser);
            TSerPortComboBox* box = NewSelector(form, c.bound ? &ser : nullptr, &log);
            ASSERT_TRUE(ShowForm(form));
            if (c.listEmptiedUnseen) {
                Replug({}, DBT_DEVICEREMOVECOMPLETE);
                ASSERT_EQ(COMManager->PortCount(), 0);
                ASSERT_EQ(Shown(*box), Expected(c.ports, c.bound ? 1 : -1));
            }
            ASSERT_TRUE(Pick(*box, c.row, how));
            EXPECT_EQ(log.Entries, c.events);
            EXPECT_EQ(log.Senders, (std::vector<rt::TObject*>(2, static_cast<rt::TObject*>(box))));
            EXPECT_EQ(box->currentIndex(), c.row);
            COMManager->RemoveListener(blocker.Listener());
        }
    }
}

TEST_F(SelectorTest, ASelectorDestroyedBeforeTheManagerLeavesTheListenerChain) {
    Fake().SetPorts({1, 3});
    TActivatedManager manager;
    TSerial ser(nullptr);
    auto form = std::make_unique<QWidget>();
    TSerPortComboBox* box = NewSelector(*form, &ser);
    const rt::TSimpleMethod listener{box, &TSerPortComboBox::PortListChanged};
    TCounter later;
    COMManager->AddListener(later.Listener());
    ASSERT_TRUE(COMManager->HasListener(listener));

    form.reset();  // the owner takes its selector with it
    EXPECT_FALSE(COMManager->HasListener(listener));
    // The rest of the chain still hears every rebuild; a call on the destroyed selector would be
    // a use after free that the sanitizer builds report.
    Replug({1}, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(later.Calls, 2);
    COMManager->RemoveListener(later.Listener());
}

TEST_F(SelectorTest, WithoutAManagerTheSelectorIsEmptyAndReachesNothing) {
    Fake().SetPorts({1, 3});
    {
        TSerPortComboBox early;  // created before any manager: no listener to register
        early.Loaded();
        EXPECT_EQ(Shown(early), TShown{});
    }
    auto manager = std::make_unique<TActivatedManager>();
    auto box = std::make_unique<TSerPortComboBox>();
    box->Loaded();
    EXPECT_EQ(Shown(*box), Expected({1, 3}, -1));
    manager.reset();
    box->RefreshPorts();
    EXPECT_EQ(Shown(*box), TShown{});
    box.reset();  // after the manager: nothing to leave
}

// A main-thread queue the test pumps, installed while it lives.
struct TQueueInstall {
    TQueueInstall() { rt::InstallMainThreadQueue(&Queue); }
    ~TQueueInstall() {
        Queue.ProcessPending();  // broadcasts posted for a destroyed manager reach nobody
        rt::InstallMainThreadQueue(nullptr);
    }
    rt::TManualMainThreadQueue Queue;
};

// The POSIX backend: links in a temporary port directory come and go, the port watch posts
// the broadcasts to the main-thread queue, and the selector follows on the thread pumping it.
TEST(SelectorHotPlug, LinksAppearingAndVanishingReachTheItems) {
    TPortDir dir;
    TQueueInstall queue;
    const auto pump = [&] {
        queue.Queue.ProcessPending();
        QCoreApplication::processEvents();
    };
    {
        TActivatedManager manager;
        TSerial ser(nullptr);
        const std::string firstPort = std::to_string(ser.COMPort());  // the machine's own, if any
        QWidget form;
        TEventLog log(&ser);
        TSerPortComboBox* box = NewSelector(form, &ser, &log);
        ASSERT_TRUE(ShowForm(form));
        TPty pty;

        dir.Link(90, pty.Name());
        ASSERT_TRUE(Eventually([&] { return HasItem(*box, "COM90"); }, pump)) << "arrival not seen";
        EXPECT_EQ(Shown(*box).Items, PortNames());
        ASSERT_TRUE(Pick(*box, box->findText("COM90"), TPick::PopupKeys));
        EXPECT_EQ(ser.COMPort(), 90);
        EXPECT_EQ(log.Entries, (std::vector<std::string>{"Click " + firstPort, "Change 90"}));

        dir.Unlink(90);
        ASSERT_TRUE(Eventually([&] { return !HasItem(*box, "COM90"); }, pump))
            << "removal not seen";
        EXPECT_EQ(Shown(*box).Items, PortNames());
        EXPECT_EQ(box->currentIndex(), -1);
        EXPECT_EQ(ser.COMPort(), 90);

        dir.Link(90, pty.Name());
        ASSERT_TRUE(Eventually([&] { return HasItem(*box, "COM90"); }, pump)) << "return not seen";
        EXPECT_EQ(box->currentText().toStdString(), "COM90");  // the component still names it
        EXPECT_EQ(log.Entries.size(), 2u);
    }
}
}  // namespace
