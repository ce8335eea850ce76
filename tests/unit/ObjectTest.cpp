#include <gtest/gtest.h>

#include <thread>

#include "MainThreadQueue.h"
#include "Method.h"
#include "Object.h"

using namespace rt;

namespace {

class TTracked : public TComponent {
public:
    TTracked(TComponent* owner, std::vector<std::string>& log, const std::string& name)
        : TComponent(owner), FLog(log) {
        SetName(name);
    }
    ~TTracked() override { FLog.push_back(Name()); }

private:
    std::vector<std::string>& FLog;
};

TEST(Component, OwnerDestroysItsComponentsNewestFirst) {
    std::vector<std::string> log;
    auto* owner = new TTracked(nullptr, log, "owner");
    new TTracked(owner, log, "a");
    auto* b = new TTracked(owner, log, "b");
    new TTracked(b, log, "b1");
    new TTracked(owner, log, "c");
    EXPECT_EQ(owner->ComponentCount(), 3);
    EXPECT_EQ(owner->FindComponent("b"), b);
    EXPECT_EQ(owner->FindComponent("b1"), nullptr);
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"owner", "c", "b", "b1", "a"}));
}

TEST(Component, ComponentDestroyedFirstLeavesItsOwner) {
    std::vector<std::string> log;
    TTracked owner(nullptr, log, "owner");
    auto* a = new TTracked(&owner, log, "a");
    new TTracked(&owner, log, "b");
    delete a;
    EXPECT_EQ(owner.ComponentCount(), 1);
    EXPECT_EQ(owner.Components(0)->Name(), "b");
}

struct TBase : TObject {
    virtual void Hit(TObject*) { ++baseHits; }
    void Other(TObject*) {}
    int baseHits = 0;
};
struct TDerived : TBase {
    void Hit(TObject*) override { ++derivedHits; }
    int derivedHits = 0;
};

TEST(Method, EqualExactlyForSameInstanceAndMemberFunction) {
    TBase a, b;
    const TNotifyEvent none;
    EXPECT_FALSE(none.Assigned());
    EXPECT_TRUE(none == TNotifyEvent());
    const TNotifyEvent aHit(&a, &TBase::Hit);
    EXPECT_TRUE(aHit.Assigned());
    EXPECT_TRUE(aHit == TNotifyEvent(&a, &TBase::Hit));
    EXPECT_FALSE(aHit == TNotifyEvent(&b, &TBase::Hit));
    EXPECT_FALSE(aHit == TNotifyEvent(&a, &TBase::Other));
    EXPECT_FALSE(aHit == none);
}

TEST(Method, CallsThroughTheVirtualTableAndBindsInheritedMembers) {
    TDerived d;
    const TNotifyEvent viaBase(&d, &TBase::Hit);  // inherited member bound to the derived instance
    viaBase(nullptr);
    EXPECT_EQ(d.derivedHits, 1);
    EXPECT_EQ(d.baseHits, 0);
    EXPECT_TRUE(viaBase == TNotifyEvent(&d, &TBase::Hit));
}

TEST(MainThreadQueue, RunsPostedTasksOnThePumpingThread) {
    TManualMainThreadQueue queue;
    EXPECT_TRUE(queue.IsMainThread());
    std::thread::id ranOn;
    bool otherIsMain = true;
    std::thread poster([&] {
        otherIsMain = queue.IsMainThread();
        queue.Post([&] { ranOn = std::this_thread::get_id(); });
    });
    EXPECT_TRUE(queue.ProcessUntil([&] { return ranOn != std::thread::id(); }, std::chrono::seconds(5)));
    poster.join();
    EXPECT_FALSE(otherIsMain);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    int n = 0;
    queue.Post([&] { queue.Post([&] { ++n; }); });  // a task that posts: run in the same pump
    EXPECT_EQ(queue.ProcessPending(), 2);
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(queue.ProcessUntil([] { return false; }, std::chrono::milliseconds(20)));
}

}  // namespace
