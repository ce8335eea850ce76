// The serial component on real pseudo-terminals through the POSIX backend: opening by COM
// number, the line settings as the terminal holds them, transfers, the event thread, removal
// and hang-up.

#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "MainThreadQueue.h"
#include "PosixBaud.h"
#include "PosixComm.h"
#include "PtySupport.h"
#include "Serial.h"

using namespace testing_support;

namespace {

constexpr int kPort = 5;

double ProcessCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Records the handler calls it gets; an action may run inside OnRxChar.
class TRecorder : public rt::TObject {
public:
    void Rx(rt::TObject*) {
        std::function<void()> action;
        {
            std::lock_guard lock(Mutex);
            RxThreads.push_back(std::this_thread::get_id());
            action = OnRx;
        }
        if (action) action();
        ++RxCalls;
    }
    void Data(rt::TObject*) { ++DataCalls; }
    void Removed(rt::TObject*) { ++RemovedCalls; }

    std::thread::id LastRxThread() {
        std::lock_guard lock(Mutex);
        return RxThreads.empty() ? std::thread::id() : RxThreads.back();
    }
    void Append(const std::string& bytes) {
        std::lock_guard lock(Mutex);
        Received += bytes;
    }
    std::string ReceivedNow() {
        std::lock_guard lock(Mutex);
        return Received;
    }

    std::mutex Mutex;
    std::vector<std::thread::id> RxThreads;
    std::function<void()> OnRx;  // set before the port opens
    std::string Received;
    std::atomic<int> RxCalls{0}, DataCalls{0}, RemovedCalls{0};
};

class SerialPty : public testing::Test {
protected:
    void SetUp() override {
        rt::InstallMainThreadQueue(&queue);
        dir.Link(kPort, pty.Name());
        manager = std::make_unique<TCOMManagerInstance>();
        COMManager->ScanPorts(99);
        ser = std::make_unique<TSerial>(nullptr);
        port = ser.get();
        ser->SetCOMPort(kPort);
        // The main window's line.
        ser->SetBaudrate(115200);
        ser->SetStopBits(TStopBits::sb_2);
    }
    void TearDown() override {
        ser.reset();
        manager.reset();
        queue.ProcessPending();
        rt::InstallMainThreadQueue(nullptr);
    }

    bool Eventually(const std::function<bool()>& done) {
        return testing_support::Eventually(done, [this] { queue.ProcessPending(); });
    }
    // Waits until the component counts n bytes waiting.
    bool Waiting(std::int32_t n) {
        return Eventually([&] { return ser->InQueueCount() == n; });
    }
    std::string Read(std::uint32_t n) {
        std::string s(n, '\0');
        s.resize(static_cast<std::size_t>(std::max(0, port->ReceiveData(s.data(), n))));
        return s;
    }

    rt::TManualMainThreadQueue queue;
    TPortDir dir;
    TPty pty;
    std::unique_ptr<TCOMManagerInstance> manager;
    std::unique_ptr<TSerial> ser;
    // What handlers use: unique_ptr::reset empties ser before the destructor has waited for the
    // event thread, whose handler may still be running.
    TSerial* port = nullptr;
    TRecorder rec;
};

termios SlaveSettings(const TPty& pty) {
    termios t{};
    EXPECT_EQ(tcgetattr(pty.Slave(), &t), 0);
    return t;
}

TEST_F(SerialPty, OpensTheLinkedTerminalWithTheLineSettings) {
    struct TCase {
        const char* what;
        std::function<void(TSerial&)> set;
        std::uint32_t baud;
        tcflag_t cflagSet, cflagClear, iflagSet, iflagClear;
        cc_t start, stop;
    };
    const TCase cases[] = {
        {"the main window's line", [](TSerial&) {}, 115200, CSTOPB, CRTSCTS, 0, IXON | IXOFF, 0x11, 0x13},
        {"a rate outside the table", [](TSerial& s) { s.SetBaudrate(56000); s.SetStopBits(TStopBits::sb_1); },
         56195, 0, CSTOPB | CRTSCTS, 0, IXON | IXOFF, 0x11, 0x13},
        {"RTS/CTS", [](TSerial& s) { s.SetHandshakeRtsCts(true); }, 115200, CRTSCTS, 0, 0, IXON | IXOFF, 0x11, 0x13},
        {"XON/XOFF with own characters",
         [](TSerial& s) { s.SetHandshakeXOnXOff(true); s.SetXOnChar(0x01); s.SetXOffChar(0x02); s.SetBaudrate(300); },
         300, 0, CRTSCTS, IXON | IXOFF, 0, 0x01, 0x02},
        {"the fastest rate", [](TSerial& s) { s.SetBaudrate(921600); }, 921600, 0, 0, 0, 0, 0x11, 0x13},
    };
    for (const TCase& c : cases) {
        TSerial s(nullptr);
        s.SetCOMPort(kPort);
        s.SetBaudrate(115200);
        s.SetStopBits(TStopBits::sb_2);
        c.set(s);
        ASSERT_TRUE(s.OpenPort()) << c.what;
        EXPECT_TRUE(s.Active());
        EXPECT_GE(comm::posix::DescriptorOf(s.Handle()), 0);
        std::uint32_t baud = 0;
        EXPECT_TRUE(comm::posix::GetBaud(pty.Slave(), baud));
        EXPECT_EQ(baud, c.baud) << c.what;
        const termios t = SlaveSettings(pty);
        EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet) << c.what;
        EXPECT_EQ(t.c_cflag & c.cflagClear, 0u) << c.what;
        EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet) << c.what;
        EXPECT_EQ(t.c_iflag & c.iflagClear, 0u) << c.what;
        // Raw: nothing echoed, translated or held back for a line.
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u) << c.what;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.what;
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u) << c.what;
        EXPECT_EQ(t.c_cc[VSTART], c.start) << c.what;
        EXPECT_EQ(t.c_cc[VSTOP], c.stop) << c.what;
        if (c.baud == 115200) {
            EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
        }
        s.ClosePort();
        EXPECT_FALSE(s.Active());
    }
}

TEST_F(SerialPty, OneHolderAtATimeAndReopenAtOnce) {
    ASSERT_TRUE(ser->OpenPort());
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    TSerial other(nullptr);
    other.SetCOMPort(kPort);
    EXPECT_FALSE(other.OpenPort()) << "a port open once cannot be opened again";
    EXPECT_FALSE(other.Active());
    ser->ClosePort();
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the terminal stays exclusive after the close";
    EXPECT_TRUE(other.OpenPort());
    other.ClosePort();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(ser->OpenPort()) << i;
        ser->ClosePort();
    }
    // A character device that is no terminal is listed but cannot be opened as a port.
    dir.Link(6, "/dev/null");
    COMManager->RescanPorts();
    TSerial notATerminal(nullptr);
    notATerminal.SetCOMPort(6);
    ASSERT_EQ(notATerminal.COMPort(), 6);
    EXPECT_FALSE(notATerminal.OpenPort());
    EXPECT_FALSE(notATerminal.Active());
}

TEST_F(SerialPty, BlockFramesArriveWhole) {
    ASSERT_TRUE(ser->OpenPort());
    const std::vector<std::uint8_t> frame = RandomBytes(3073, 1);
    EXPECT_EQ(ser->SendData(frame.data(), 3073), 3073);
    EXPECT_EQ(pty.Receive(3073), std::string(frame.begin(), frame.end()));

    // More than the terminal buffers: the write waits for the device to take it.
    const std::vector<std::uint8_t> big = RandomBytes(300000, 2);
    std::string got;
    std::thread device([&] { got = pty.Receive(big.size()); });
    EXPECT_EQ(ser->SendData(big.data(), static_cast<std::int32_t>(big.size())), 300000);
    device.join();
    EXPECT_TRUE(got == std::string(big.begin(), big.end()));
    EXPECT_EQ(ser->SendString(std::string("\0ab", 3)), 3);
    EXPECT_EQ(pty.Receive(3), std::string("\0ab", 3));
    EXPECT_EQ(ser->SendString(""), 0);
}

TEST_F(SerialPty, FramesFromTwoThreadsNeverInterleave) {
    ASSERT_TRUE(ser->OpenPort());
    constexpr int kFrames = 40;
    std::string got;
    std::thread device([&] { got = pty.Receive(2 * kFrames * 3073, std::chrono::seconds(20)); });
    const auto sender = [&](char fill) {
        const std::string frame(3073, fill);
        for (int i = 0; i < kFrames; ++i) EXPECT_EQ(ser->SendString(frame), 3073);
    };
    std::thread a(sender, 'A'), b(sender, 'B');
    a.join();
    b.join();
    device.join();
    ASSERT_EQ(got.size(), 2u * kFrames * 3073);
    int mixed = 0;
    for (std::size_t off = 0; off < got.size(); off += 3073)
        if (got.compare(off, 3073, std::string(3073, got[off])) != 0) ++mixed;
    EXPECT_EQ(mixed, 0) << "frames whose bytes come from both senders";

    // A close from another thread meets a sender in the middle of its frames: it ends cleanly.
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        while (!stop) pty.Receive(65536, std::chrono::milliseconds(20));
    });
    std::atomic<int> sent{0};
    std::thread c([&] {
        const std::string frame(3073, 'C');
        while (ser->SendString(frame) > 0) ++sent;
    });
    EXPECT_TRUE(Eventually([&] { return sent >= 3; }));
    ser->ClosePort();
    c.join();
    stop = true;
    drain.join();
    EXPECT_FALSE(ser->Active());
}

TEST_F(SerialPty, ReceiveDataWithAndWithoutSyncWait) {
    ASSERT_TRUE(ser->OpenPort());
    pty.Send("0123456789");
    ASSERT_TRUE(Waiting(10));
    ser->SetSyncWait(false);
    char buf[255];
    EXPECT_EQ(ser->ReceiveData(buf, 255), 10) << "no more than is waiting";
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(ser->ReceiveData(buf, 255), 0);
    EXPECT_EQ(ser->ReceiveData(buf, 0), 0);

    // SyncWait: the read lasts until every byte asked for has come.
    ser->SetSyncWait(true);
    std::thread device([&] {
        for (int i = 0; i < 5; ++i) pty.Send(std::string(51, static_cast<char>('a' + i)));
    });
    std::string all;
    while (all.size() < 255) all += Read(static_cast<std::uint32_t>(255 - all.size()));
    device.join();
    EXPECT_EQ(all.size(), 255u);
    EXPECT_EQ(all.substr(0, 51), std::string(51, 'a'));
    EXPECT_EQ(all.substr(204), std::string(51, 'e'));
    ser->ClosePort();

    // With a receive time-out the read ends with what came.
    ser->SetRecTimeOut(30);
    ASSERT_TRUE(ser->OpenPort());
    pty.Send("abcdefghij");
    ASSERT_TRUE(Waiting(10));
    EXPECT_EQ(Read(255), "abcdefghij");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(255), "") << "nothing came within the time-out";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
}

TEST_F(SerialPty, ReceiveStringKeepsNullBytes) {
    ASSERT_TRUE(ser->OpenPort());
    EXPECT_EQ(ser->ReceiveString(), "");
    const std::string bytes("a\0b\0\0c\0", 7);
    pty.Send(bytes);
    ASSERT_TRUE(Waiting(7));
    EXPECT_EQ(ser->ReceiveString(), bytes);
    EXPECT_EQ(ser->InQueueCount(), 0);
}

TEST_F(SerialPty, AReadWithoutTimeOutsEndsWhenAnotherThreadCloses) {
    ASSERT_TRUE(ser->OpenPort());
    pty.Send("xy");
    ASSERT_TRUE(Waiting(2));
    std::atomic<int> result{-1};
    std::string got(255, '\0');
    std::thread reader([&] {
        result = ser->ReceiveData(got.data(), 255);  // SyncWait, no time-outs: waits for 255 bytes
    });
    // The reader has taken what came and waits for the rest.
    ASSERT_TRUE(Waiting(0));
    ser->ClosePort();
    reader.join();
    EXPECT_EQ(result.load(), 2) << "the bytes taken before the close are counted";
    EXPECT_EQ(got.substr(0, 2), "xy");
    EXPECT_FALSE(ser->Active());
    EXPECT_TRUE(ser->OpenPort()) << "the port is free again";
}

TEST_F(SerialPty, OnRxCharOnTheEventThreadSeesEveryByteInOrder) {
    rec.OnRx = [this] {
        if (const std::int32_t n = port->InQueueCount()) rec.Append(Read(static_cast<std::uint32_t>(n)));
    };
    ser->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(ser->OpenPort());
    const std::vector<std::uint8_t> data = RandomBytes(20000, 3);
    for (std::size_t off = 0; off < data.size(); off += 1000)
        pty.Send(std::string_view(reinterpret_cast<const char*>(data.data()) + off, 1000));
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow().size() >= data.size(); }));
    EXPECT_TRUE(rec.ReceivedNow() == std::string(data.begin(), data.end()));
    EXPECT_NE(rec.LastRxThread(), std::this_thread::get_id());
}

TEST_F(SerialPty, SyncEventHandlingRunsHandlersOnTheMainThread) {
    rec.OnRx = [this] { rec.Append(port->ReceiveString()); };
    port->SetOnRxChar({&rec, &TRecorder::Rx});
    port->SetSyncEventHandling(true);
    ASSERT_TRUE(port->OpenPort());
    pty.Send("sync");
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow() == "sync"; }));
    EXPECT_EQ(rec.LastRxThread(), std::this_thread::get_id());
    // Taking effect at the next event.
    port->SetSyncEventHandling(false);
    pty.Send("free");
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow() == "syncfree"; }));
    EXPECT_NE(rec.LastRxThread(), std::this_thread::get_id());
}

TEST_F(SerialPty, BytesLeftUnreadDoNotWakeTheThreadAgain) {
    port->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(port->OpenPort());
    pty.Send("a");
    ASSERT_TRUE(Eventually([&] { return rec.RxCalls == 1; }));
    // A thread that spun on the unread byte would burn most of this window.
    const double cpu = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ProcessCpuMs() - cpu, wallMs / 3);
    EXPECT_EQ(rec.RxCalls, 1);
    pty.Send("b");
    ASSERT_TRUE(Eventually([&] { return rec.RxCalls == 2; })) << "new bytes wake it again";
    EXPECT_EQ(port->InQueueCount(), 2);
}

TEST_F(SerialPty, AHandlerThatReadsInPortionsGetsEveryByte) {
    // As the window's dispatcher does: at most so many bytes an event.
    rec.OnRx = [this] {
        const std::int32_t n = std::min(port->InQueueCount(), 10);
        if (n > 0) rec.Append(Read(static_cast<std::uint32_t>(n)));
    };
    ser->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(ser->OpenPort());
    const std::vector<std::uint8_t> data = RandomBytes(95, 8);
    pty.Send(std::string(data.begin(), data.end()));  // in one piece: one arrival
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow().size() == data.size(); }));
    EXPECT_TRUE(rec.ReceivedNow() == std::string(data.begin(), data.end()));
    EXPECT_GE(rec.RxCalls, 10);
}

TEST_F(SerialPty, OnDataSeesWhatOnRxCharLeft) {
    ser->SetOnRxChar({&rec, &TRecorder::Rx});
    ser->SetOnData({&rec, &TRecorder::Data});
    ser->SetDataSize(100);
    ASSERT_TRUE(ser->OpenPort());
    pty.Send(std::string(60, 'x'));
    ASSERT_TRUE(Eventually([&] { return rec.RxCalls >= 1 && ser->InQueueCount() == 60; }));
    const int rxBefore = rec.RxCalls;
    EXPECT_EQ(rec.DataCalls, 0);
    pty.Send(std::string(60, 'y'));
    ASSERT_TRUE(Eventually([&] { return rec.DataCalls >= 1; }));
    EXPECT_GT(rec.RxCalls, rxBefore);
}

TEST_F(SerialPty, CloseAndReopenFromInsideOnRxChar) {
    std::atomic<int> reopened{0};
    rec.OnRx = [&] {
        rec.Append(port->ReceiveString());
        if (rec.ReceivedNow() == "first" && reopened == 0) {
            port->ClosePort();
            reopened = port->OpenPort() ? 1 : 2;
        }
    };
    ser->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(ser->OpenPort());
    pty.Send("first");
    ASSERT_TRUE(Eventually([&] { return reopened != 0; }));
    EXPECT_EQ(reopened, 1);
    const std::thread::id oldThread = rec.LastRxThread();
    pty.Send("second");
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow() == "firstsecond"; }));
    EXPECT_NE(rec.LastRxThread(), oldThread) << "the reopened port has a thread of its own";
    EXPECT_TRUE(ser->Active());
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(kPort)).PortOwner, ser.get());
}

TEST_F(SerialPty, EnableEventsOffAndOn) {
    rec.OnRx = [this] { rec.Append(port->ReceiveString()); };
    port->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(port->OpenPort());
    port->SetEnableEvents(false);
    pty.Send("dropped");
    ASSERT_TRUE(Waiting(7));
    EXPECT_EQ(rec.RxCalls, 0);
    port->SetEnableEvents(true);
    pty.Send("!");
    ASSERT_TRUE(Eventually([&] { return rec.ReceivedNow() == "dropped!"; }));
}

TEST_F(SerialPty, RemovingTheLinkRemovesThePort) {
    rec.OnRx = [this] { rec.Append(port->ReceiveString()); };
    port->SetOnRxChar({&rec, &TRecorder::Rx});
    port->SetOnCOMRemoved({&rec, &TRecorder::Removed});
    ASSERT_TRUE(port->OpenPort());
    dir.Unlink(kPort);
    ASSERT_TRUE(Eventually([&] { return !port->Active(); })) << "removal not seen";
    EXPECT_EQ(rec.RemovedCalls, 1);
    char buf[8] = {};
    EXPECT_EQ(port->SendData(buf, 8), 0);
    EXPECT_EQ(port->ReceiveData(buf, 8), 0);
    EXPECT_EQ(port->ReceiveString(), "");
    EXPECT_EQ(port->InQueueCount(), 0);
    EXPECT_EQ(pty.Receive(1, std::chrono::milliseconds(50)), "") << "nothing reached the device";

    // The port comes back: the vanished handle let go of the terminal.
    dir.Link(kPort, pty.Name());
    ASSERT_TRUE(Eventually([&] { return COMManager->PortExists(kPort); }));
    port->SetCOMPort(kPort);
    ASSERT_TRUE(Eventually([&] { return port->OpenPort(); }));
    pty.Send("back");
    EXPECT_TRUE(Eventually([&] { return rec.ReceivedNow() == "back"; }));
    EXPECT_EQ(rec.RemovedCalls, 1);
}

TEST_F(SerialPty, APeerThatHangsUp) {
    port->SetOnRxChar({&rec, &TRecorder::Rx});
    ASSERT_TRUE(port->OpenPort());
    pty.Send("z");
    ASSERT_TRUE(Eventually([&] { return rec.RxCalls == 1; }));
    // No pumping here: the removal broadcast this causes is not delivered yet.
    pty.Close();
    char buf[16] = {};
    EXPECT_EQ(port->SendData(buf, 16), 0);
    const double cpu = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ProcessCpuMs() - cpu, wallMs / 3) << "the event thread spins on the hung-up line";
    EXPECT_LE(port->ReceiveData(buf, 16), 1);
    EXPECT_EQ(port->ReceiveData(buf, 16), 0);
    EXPECT_TRUE(port->Active());
    port->ClosePort();
    EXPECT_FALSE(port->Active());
    queue.ProcessPending();
}

// ---------------------------------------------------------------- pure rules of the backend

TEST(PosixComm, TermiosFromDcb) {
    using namespace comm;
    struct TCase {
        std::uint8_t byteSize, parity, stopBits;
        std::uint32_t flags;
        bool ok;
        tcflag_t cflag;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
        tcflag_t iflag;  // of INPCK | IXON | IXOFF
    };
    const std::uint32_t rtsHs = RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift;
    const TCase cases[] = {
        {8, NOPARITY, TWOSTOPBITS, DCB_fBinary, true, CS8 | CSTOPB, 0},
        {8, NOPARITY, ONESTOPBIT, DCB_fBinary, true, CS8, 0},
        {7, EVENPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity, true, CS7 | PARENB, INPCK},
        {7, ODDPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity, true, CS7 | PARENB | PARODD, INPCK},
        {8, MARKPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity, true, CS8 | PARENB | PARODD | CMSPAR, INPCK},
        {8, SPACEPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity, true, CS8 | PARENB | CMSPAR, INPCK},
        {6, NOPARITY, ONESTOPBIT, DCB_fBinary, true, CS6, 0},
        {5, NOPARITY, ONE5STOPBITS, DCB_fBinary, true, CS5 | CSTOPB, 0},
        {8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow | rtsHs, true, CS8 | CRTSCTS, 0},
        {8, NOPARITY, ONESTOPBIT, DCB_fBinary | rtsHs, true, CS8 | CRTSCTS, 0},
        {8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutX | DCB_fInX, true, CS8, IXON | IXOFF},
        {8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutX, true, CS8, IXON},
        {4, NOPARITY, ONESTOPBIT, DCB_fBinary, false, 0, 0},
        {9, NOPARITY, ONESTOPBIT, DCB_fBinary, false, 0, 0},
        {8, 5, ONESTOPBIT, DCB_fBinary, false, 0, 0},
        {8, NOPARITY, 3, DCB_fBinary, false, 0, 0},
        {8, NOPARITY, ONE5STOPBITS, DCB_fBinary, false, 0, 0},
        {5, NOPARITY, TWOSTOPBITS, DCB_fBinary, false, 0, 0},
    };
    for (const TCase& c : cases) {
        TDcb d;
        d.ByteSize = c.byteSize;
        d.Parity = c.parity;
        d.StopBits = c.stopBits;
        d.Flags = c.flags;
        d.XonChar = 0x11;
        d.XoffChar = 0x13;
        termios t{};
        t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;  // what was there before
        t.c_iflag = ICRNL | IXON | INPCK;
        t.c_lflag = ECHO | ICANON | ISIG;
        t.c_oflag = OPOST;
        const int line = static_cast<int>(&c - cases);
        ASSERT_EQ(comm::posix::TermiosFromDcb(d, t), c.ok) << line;
        if (!c.ok) continue;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag) << line;
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL) << line;
        EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF | ICRNL), c.iflag) << line;
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u) << line;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << line;
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST(PosixComm, BuildCommDCBReadsTheModeText) {
    using namespace comm;
    TDcb d;
    d.wReserved = 0x1234;
    ASSERT_TRUE(posix::BuildCommDCB("baud=9600 parity=N data=8 stop=1", d));
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_TRUE(d.Flags & DCB_fBinary);
    EXPECT_EQ(d.wReserved, 0x1234) << "members the text does not name are kept";
    ASSERT_TRUE(posix::BuildCommDCB("baud=115200 parity=e data=7 stop=1.5 xon=on dtr=hs rts=off", d));
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.StopBits, ONE5STOPBITS);
    EXPECT_EQ(d.Flags & (DCB_fOutX | DCB_fInX | DCB_fParity), DCB_fOutX | DCB_fInX | DCB_fParity);
    EXPECT_EQ(DtrControl(d), DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(RtsControl(d), RTS_CONTROL_DISABLE);
    for (const char* bad : {"", "   ", "baud=", "baud=x", "parity=q", "data=9", "stop=3", "speed=9600",
                            "baud=9600 parity", "baud=99999999999"}) {
        TDcb before;
        before.BaudRate = 1;
        EXPECT_FALSE(posix::BuildCommDCB(bad, before)) << bad;
        EXPECT_EQ(before.BaudRate, 1u) << "a refused text changes nothing: " << bad;
        EXPECT_EQ(posix::GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(PosixComm, ErrorsFromErrno) {
    using namespace comm;
    const struct {
        int error;
        std::uint32_t expect;
    } cases[] = {{ENOENT, ERROR_FILE_NOT_FOUND}, {EACCES, ERROR_ACCESS_DENIED},
                 {EBUSY, ERROR_ACCESS_DENIED},   {EWOULDBLOCK, ERROR_ACCESS_DENIED},
                 {EIO, ERROR_DEVICE_NOT_CONNECTED}, {EINVAL, ERROR_INVALID_PARAMETER},
                 {EBADF, ERROR_INVALID_HANDLE},  {EPIPE, ERROR_GEN_FAILURE}};
    for (const auto& c : cases) EXPECT_EQ(posix::ErrorFromErrno(c.error), c.expect) << c.error;
}

TEST(PosixComm, StandardSpeeds) {
    speed_t s;
    EXPECT_TRUE(comm::posix::StandardSpeed(115200, s));
    EXPECT_EQ(s, static_cast<speed_t>(B115200));
    EXPECT_TRUE(comm::posix::StandardSpeed(50, s));
    EXPECT_EQ(s, static_cast<speed_t>(B50));
    EXPECT_FALSE(comm::posix::StandardSpeed(56195, s));
    EXPECT_FALSE(comm::posix::StandardSpeed(0, s));
}

}  // namespace
