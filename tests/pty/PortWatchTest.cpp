// The POSIX backend on the real file system: COM numbers, links in a temporary port directory
// pointing at real pseudo-terminals, and hot-plug reaching the port manager on the thread that
// pumps the main-thread queue.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "MainThreadQueue.h"
#include "PosixPorts.h"
#include "PtySupport.h"
#include "SerialTestSupport.h"
#include "TestFiles.h"

using namespace testing_support;
using namespace comm::posix;
namespace fs = std::filesystem;

namespace {

constexpr auto kDeadline = std::chrono::seconds(5);

class PortDirTest : public testing::Test {
protected:
    void Link(int port, const std::string& target) { dir.Link(port, target); }
    void Unlink(int port) { dir.Unlink(port); }
    TPortDir dir;
};

TEST(PosixPorts, NamesAndTheComNumberTable) {
    const struct {
        const char* name;
        int port;
    } names[] = {{"COM1", 1}, {"com7", 7}, {"\\\\.\\COM12", 12}, {"\\\\.\\com99", 99}, {"COM0", 0},
                 {"COM100", 0}, {"COM", 0}, {"COM1x", 0}, {"LPT1", 0}, {"COM-1", 0}};
    for (const auto& n : names) EXPECT_EQ(ParseComName(n.name), n.port) << n.name;

    const struct {
        int port;
        const char* device;
    } table[] = {{1, "/dev/ttyUSB0"},  {16, "/dev/ttyUSB15"}, {17, "/dev/ttyACM0"}, {32, "/dev/ttyACM15"},
                 {33, "/dev/ttyS0"},   {64, "/dev/ttyS31"},   {65, "/dev/ttyAMA0"}, {72, "/dev/ttyAMA7"},
                 {73, ""},             {0, ""}};
    for (const auto& t : table) EXPECT_EQ(TableDevicePath(t.port), t.device) << t.port;

    EXPECT_TRUE(IsPortLinkName("com1"));
    EXPECT_TRUE(IsPortLinkName("com99"));
    EXPECT_FALSE(IsPortLinkName("com100"));
    EXPECT_FALSE(IsPortLinkName("com1.tmp"));
    EXPECT_FALSE(IsPortLinkName("COM1"));
    EXPECT_TRUE(IsPortDeviceName("ttyUSB0"));
    EXPECT_TRUE(IsPortDeviceName("ttyS31"));
    EXPECT_TRUE(IsPortDeviceName("ttyAMA3"));
    EXPECT_FALSE(IsPortDeviceName("tty1"));
    EXPECT_FALSE(IsPortDeviceName("ttyUSB"));
    EXPECT_FALSE(IsPortDeviceName("sda1"));
}

TEST_F(PortDirTest, LinksDecideWithoutOpeningAnything) {
    TPty pty;
    Link(90, pty.Name());
    Link(91, (dir.Path() / "nothing").string());
    WriteFile(dir.File("plain"), "x");
    Link(92, dir.File("plain"));
    EXPECT_EQ(PortDevicePath(90), dir.File("com90"));
    EXPECT_TRUE(PortPresent(90));
    EXPECT_FALSE(PortPresent(91));  // dangling
    EXPECT_FALSE(PortPresent(92));  // not a character device
    EXPECT_FALSE(PortPresent(93));  // no link, no table entry
    EXPECT_TRUE(comm::SystemPlatform().GetDefaultCommConfig("\\\\.\\COM90"));
    EXPECT_FALSE(comm::SystemPlatform().GetDefaultCommConfig("COM91"));
}

TEST_F(PortDirTest, PortDirectoryFallsBackToTheUsersConfig) {
    unsetenv("BOOTLOADER_PORT_DIR");
    const char* home = std::getenv("HOME");
    if (home && *home) {
        EXPECT_EQ(PortDirectory(), std::string(home) + "/.config/bootloader/ports");
    }
    setenv("BOOTLOADER_PORT_DIR", "/somewhere", 1);
    EXPECT_EQ(PortDirectory(), "/somewhere");
}

class HotPlugTest : public PortDirTest {
protected:
    void SetUp() override {
        PortDirTest::SetUp();
        rt::InstallMainThreadQueue(&queue);
        manager = std::make_unique<TCOMManagerInstance>();
        COMManager->ScanPorts(99);
        COMManager->AddListener({this, &HotPlugTest::Listen});
    }
    void TearDown() override {
        if (COMManager) COMManager->RemoveListener({this, &HotPlugTest::Listen});
        manager.reset();
        queue.ProcessPending();
        rt::InstallMainThreadQueue(nullptr);
        PortDirTest::TearDown();
    }
public:
    void Listen() {
        ++listened;
        if (std::this_thread::get_id() != mainThread) offMain = true;
    }
protected:
    bool WaitFor(const std::function<bool()>& done) { return queue.ProcessUntil(done, kDeadline); }

    rt::TManualMainThreadQueue queue;
    std::unique_ptr<TCOMManagerInstance> manager;
    std::thread::id mainThread = std::this_thread::get_id();
    int listened = 0;
    bool offMain = false;
};

TEST_F(HotPlugTest, LinksAppearingAndVanishingRebuildTheList) {
    TCounter arrival, removal;
    COMManager->OnPortArrival = arrival.Event();
    COMManager->OnPortRemoval = removal.Event();
    TPty pty;
    Link(90, pty.Name());
    ASSERT_TRUE(WaitFor([] { return COMManager->PortExists(90); })) << "arrival not seen";
    EXPECT_TRUE(WaitFor([&] { return arrival.Calls == 1; }));
    EXPECT_GE(listened, 2);

    TTestSerial ser;
    ser.SetCOMPort(90);
    ser.MarkOpen(true);
    Unlink(90);
    ASSERT_TRUE(WaitFor([] { return !COMManager->PortExists(90); })) << "removal not seen";
    EXPECT_TRUE(WaitFor([&] { return removal.Calls == 1; }));
    EXPECT_EQ(ser.Removed, 1);
    EXPECT_FALSE(ser.Active());
    EXPECT_FALSE(offMain) << "a listener ran off the main thread";
}

TEST_F(HotPlugTest, APseudoTerminalThatGoesAwayTakesItsPortWithIt) {
    auto pty = std::make_unique<TPty>();
    Link(91, pty->Name());
    ASSERT_TRUE(WaitFor([] { return COMManager->PortExists(91); }));
    pty.reset();  // the link stays, dangling
    EXPECT_TRUE(WaitFor([] { return !COMManager->PortExists(91); }));
}

TEST_F(HotPlugTest, BroadcastsForADestroyedManagerReachNobody) {
    TPty pty;
    Link(92, pty.Name());
    // Give the watcher time to post, then destroy the manager before the queue runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    COMManager->RemoveListener({this, &HotPlugTest::Listen});
    manager.reset();
    EXPECT_EQ(COMManager, nullptr);
    queue.ProcessPending();  // AddressSanitizer would catch a call on the destroyed manager
    SUCCEED();
}

}  // namespace
