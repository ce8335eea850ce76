// The dialogue of the real window with a scripted device on the other end of a pseudo-terminal
// linked as COM1: the device's byte codes in every mode, the end of a write, the device
// information text, the commands' bytes and the block frames.

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "FrameSupport.h"
#include "WindowFixture.h"

using namespace testing_support;

namespace {

const std::string kKey = "Q7M!_X295836H4F_Z8W";

// The frame of a block of the image as the device must receive it.
std::string Frame(int block, const std::string& key = kKey) {
    return BlockFrame(RomImage + static_cast<std::size_t>(block) * 4096, key);
}

void FillImage(std::uint32_t bytes, std::uint32_t seed) {
    const std::vector<std::uint8_t> image = RandomBytes(bytes, seed);
    std::copy(image.begin(), image.end(), RomImage);
    MarkImageWritten(0, bytes);
}

// The device's ear: a thread that takes every byte the window sends, with the moment it came.
class TDeviceRecorder {
public:
    explicit TDeviceRecorder(int master) : FMaster(master), FThread([this] { Run(); }) {}
    ~TDeviceRecorder() {
        FStop = true;
        FThread.join();
    }
    std::size_t Size() {
        std::lock_guard lock(FMutex);
        return FBytes.size();
    }
    std::string Bytes(std::size_t from, std::size_t n) {
        std::lock_guard lock(FMutex);
        return FBytes.substr(from, n);
    }
    std::chrono::steady_clock::time_point Arrival(std::size_t i) {
        std::lock_guard lock(FMutex);
        return FTimes.at(i);
    }

private:
    void Run() {
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n <= 0) continue;
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard lock(FMutex);
            FBytes.append(buf, static_cast<std::size_t>(n));
            FTimes.insert(FTimes.end(), static_cast<std::size_t>(n), now);
        }
    }
    int FMaster;
    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::string FBytes;
    std::vector<std::chrono::steady_clock::time_point> FTimes;
    std::thread FThread;
};

class Dialogue : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ports.Link(1, device.Name());
    }
    TForm1& Open() {
        TForm1& f = Start();
        EXPECT_TRUE(f.ser->Active());
        return f;
    }
    // The next n bytes the device receives, or what came when the time is up. The GUI runs
    // meanwhile, as the dispatcher needs it.
    std::string Got(std::size_t n, int timeoutMs = 5000) {
        Until([&] { return ear.Size() >= FTaken + n; }, timeoutMs);
        const std::string got = ear.Bytes(FTaken, n);
        FLastStart = FTaken;
        FTaken += got.size();
        return got;
    }
    // The time between the arrival of the first byte that the last Got returned and the one
    // before it.
    std::chrono::steady_clock::duration GapBeforeLast() {
        return ear.Arrival(FLastStart) - ear.Arrival(FLastStart - 1);
    }
    // The log's last n lines.
    QStringList Tail(int n) {
        QStringList lines;
        for (int i = std::max(0, form->Memo1->Count() - n); i < form->Memo1->Count(); ++i)
            lines.append(form->Memo1->Line(i));
        return lines;
    }
    // Waits until the log has grown by n lines since count.
    bool Logged(int count, int n, int timeoutMs = 5000) {
        return Until([&] { return form->Memo1->Count() >= count + n; }, timeoutMs);
    }

    TPty device;
    TDeviceRecorder ear{device.Master()};
    std::size_t FTaken = 0, FLastStart = 0;
};

TEST_F(Dialogue, StatusCodes) {
    TForm1& f = Open();
    ASSERT_EQ(RxMode.load(), kStatusMode);
    const struct {
        std::uint8_t b;
        const char* message;
    } codes[] = {
        {0x00, "Power Off..."},       {0x0A, "Eingang: SD / ohne"}, {0x0B, "Eingang: DMX"},
        {0x0C, "Farben: Chakra"},     {0x0D, "Farben: Planeten"},   {0x0E, "Mikrofon: ohne"},
        {0x0F, "Mikrofon: mit"},      {0x80, "Bootloader Beendet!"}, {0x81, "Unknown Command: 129"},
        {0x82, "Unknown Command: 130"}, {0x55, "Unknown Command: 85"}, {0xFD, "Unknown Command: 253"},
        {0x01, "Unknown Command: 1"},
    };
    for (const auto& c : codes) {
        const int before = f.Memo1->Count();
        device.Send(std::string(1, static_cast<char>(c.b)));
        ASSERT_TRUE(Logged(before, 1)) << int(c.b);
        EXPECT_EQ(f.Memo1->Count(), before + 1) << "one line a byte: " << int(c.b);
        EXPECT_EQ(LastLine(), QString::fromUtf8(c.message));
        EXPECT_EQ(f.windowTitle(), QString::fromUtf8(c.message));
    }
    EXPECT_EQ(RxMode.load(), kStatusMode);
}

TEST_F(Dialogue, MenuCodeStartsTheWriteThroughTimer2) {
    TForm1& f = Open();
    f.Button11->setEnabled(true);
    device.Send("\xFE");
    ASSERT_TRUE(Until([&] { return LastLine() == QString::fromUtf8("Menü:"); }));
    EXPECT_TRUE(f.menu->isEnabled());
    EXPECT_EQ(Got(1), "\xA1") << "Write all, from Timer2's tick";
    EXPECT_EQ(RxMode.load(), kWritingMode);
    EXPECT_FALSE(f.Timer2->isActive()) << "the timer runs the command once";
    EXPECT_FALSE(f.menu->isEnabled());
    EXPECT_FALSE(f.Button11->isEnabled());
}

TEST_F(Dialogue, StartAnswerOnlyWhileResetIsEnabled) {
    TForm1& f = Open();
    for (bool enabled : {false, true}) {
        f.Button11->setEnabled(enabled);
        const int before = f.Memo1->Count();
        device.Send("\xFF");
        ASSERT_TRUE(Logged(before, 1));
        EXPECT_EQ(LastLine(), "Bootloader Starten?");
        EXPECT_EQ(Got(1, enabled ? 5000 : 200), enabled ? "\x55" : "") << enabled;
        EXPECT_EQ(CmdByte, 0x55);
    }
}

TEST_F(Dialogue, WritingMode) {
    FillImage(125 * 4096, 3);
    TForm1& f = Open();
    RxMode = kWritingMode;
    const struct {
        std::uint8_t b;
        const char* message;
        int block;  // the frame sent, -1 for none
        int bar;
    } bytes[] = {
        {0xFF, "255 Anfrage Block: $0000 -> $07FF ...", 0, 0},
        {0xFE, "254 Anfrage Block: $0800 -> $0FFF ...", 1, 1},
        {0xF0, "240 Anfrage Block: $7800 -> $7FFF ...", 15, 15},
        {0x83, "131 Anfrage Block: $3E000 -> $3E7FF ...", 124, 30},
        {0x82, "Unknown Command: 130", -1, 30},
        {0x80, "Unknown Command: 128", -1, 30},
        {0x0A, "Unknown Command: 10", -1, 30},
        {0x00, "Unknown Command: 0", -1, 30},
    };
    for (const auto& c : bytes) {
        const int before = f.Memo1->Count();
        device.Send(std::string(1, static_cast<char>(c.b)));
        if (c.block >= 0) {
            EXPECT_TRUE(Got(3073) == Frame(c.block)) << "frame of block " << c.block;
        }
        ASSERT_TRUE(Logged(before, 1)) << int(c.b);
        EXPECT_EQ(LastLine(), c.message);
        EXPECT_EQ(f.windowTitle(), c.message);
        EXPECT_EQ(f.pb->value(), c.bar) << int(c.b);
        if (c.block < 0) {
            EXPECT_EQ(Got(1, 100), "") << "nothing sent for " << int(c.b);
        }
    }
    EXPECT_EQ(RxMode.load(), kWritingMode);
}

TEST_F(Dialogue, ABatchIsHandledWhole) {
    FillImage(8192, 4);
    TForm1& f = Open();
    RxMode = kWritingMode;
    const int before = f.Memo1->Count();
    device.Send("\xFF\x05\xFE");  // one event: a request, an unknown byte, a request
    EXPECT_TRUE(Got(2 * 3073) == Frame(0) + Frame(1));
    ASSERT_TRUE(Logged(before, 3));
    EXPECT_EQ(Tail(3), (QStringList{"255 Anfrage Block: $0000 -> $07FF ...", "Unknown Command: 5",
                                    "254 Anfrage Block: $0800 -> $0FFF ..."}));

    // 300 bytes at once: every one of them, in events of at most 255.
    RxMode = kStatusMode;
    const int start = f.Memo1->Count();
    device.Send(std::string(300, '\x0C'));
    ASSERT_TRUE(Logged(start, 300));
    EXPECT_EQ(f.Memo1->Count(), start + 300);
    EXPECT_EQ(Tail(300), QStringList(300, "Farben: Chakra"));
}

TEST_F(Dialogue, TheManualModesDropEveryByte) {
    TForm1& f = Open();
    for (std::int32_t mode : {kReadAllMode, kWriteBlockMode, kReadBlockMode}) {
        RxMode = mode;
        const int before = f.Memo1->Count();
        device.Send("\xFF\x0A\x81");
        // Taken from the port: out of the terminal and out of the component's queue.
        ASSERT_TRUE(Until([&] { return device.Unread() == 0 && f.ser->InQueueCount() == 0; })) << mode;
        EXPECT_EQ(f.Memo1->Count(), before) << mode;
        EXPECT_EQ(Got(1, 50), "") << mode;
    }
}

TEST_F(Dialogue, TheEndOfAWrite) {
    TForm1& f = Open();
    for (bool released : {true, false}) {
        f.release->setChecked(released);
        f.cfg1->SetItemIndex(1);
        RxMode = kWritingMode;
        f.Button11->setEnabled(false);
        const int before = f.Memo1->Count();
        const auto start = std::chrono::steady_clock::now();
        device.Send("\x81");
        // While the sequence runs the caption shows the byte's unknown-command text.
        ASSERT_TRUE(Until([&] { return f.windowTitle() == "Unknown Command: 129"; }));
        // The configuration goes out on the reopened port: the prefix, then 100 ms later the text.
        EXPECT_EQ(Got(1, 4000), "\xFE");
        EXPECT_EQ(Got(11), "FW_CFG_101\r");
        EXPECT_GE(GapBeforeLast(), std::chrono::milliseconds(95));
        // The device answers within the final pause: its answers come before "FERTIG!".
        device.Send("\x0B\x0C\x0F");
        ASSERT_TRUE(Until([&] { return LastLine() == "FERTIG!"; }, 5000));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(Tail(6), (QStringList{"", QString::fromUtf8("Übertrage Configuration:"), "Eingang: DMX",
                                        "Farben: Chakra", "Mikrofon: mit", "FERTIG!"}))
            << "the device's answers come before FERTIG!";
        EXPECT_EQ(f.Memo1->Count(), before + 6);
        EXPECT_EQ(f.windowTitle(), "FERTIG!");
        if (released) {
            EXPECT_GE(seconds, 3.05);
            EXPECT_LT(seconds, 6.0);
        } else {
            EXPECT_GE(seconds, 0.55);
            EXPECT_LT(seconds, 3.0);
        }
        EXPECT_EQ(f.pb->value(), 30);
        EXPECT_TRUE(f.Button11->isEnabled());
        EXPECT_EQ(RxMode.load(), kStatusMode);
        EXPECT_TRUE(f.ser->Active());
    }
}

TEST_F(Dialogue, DeviceInformation) {
    TForm1& f = Open();
    struct TCase {
        std::string text;     // what the device answers
        QString line;         // its line in the log
        QString caption;      // empty: unchanged
        QStringList digits;   // the lines the digit tests append
    };
    const TCase cases[] = {
        {"SIM 1.0 Konfiguration 101\r\n", "SIM 1.0 Konfiguration 101", "0",
         {"Eingang: DMX", "Farben: Chakra", "Mikrofon: mit"}},
        {"V 010\r\n", "V 010", "1", {"Eingang: SD / ohne", "Farben: Planeten", "Mikrofon: ohne"}},
        {std::string("A\0""011\r\n", 7), QString("A") + QChar(0) + "011", "1",
         {"Eingang: SD / ohne", "Farben: Planeten", "Mikrofon: mit"}},
        {"\xE4X 110\r\n", QString::fromUtf8("äX 110"), "1", {"Eingang: DMX", "Farben: Planeten", "Mikrofon: ohne"}},
        {"x1\r\n", "x1", "x", {}},
        {"1\r\n", "1", "", {}},
        {"\r\n", "", "", {}},
    };
    for (const TCase& c : cases) {
        f.setWindowTitle("before");
        f.Button13->click();
        EXPECT_EQ(Got(9), std::string("\xFE") + "FW_VER_\r");
        EXPECT_EQ(RxMode.load(), kInfoMode);
        EXPECT_EQ(Tail(2), (QStringList{"", QString::fromUtf8("Geräte Info:")}));
        const int before = f.Memo1->Count();
        device.Send(c.text);
        ASSERT_TRUE(Until([] { return RxMode == kStatusMode; })) << c.line.toStdString();
        EXPECT_EQ(f.Memo1->Count(), before + 1 + c.digits.size()) << c.line.toStdString();
        EXPECT_EQ(f.Memo1->Line(before), c.line);
        EXPECT_EQ(Tail(static_cast<int>(c.digits.size())), c.digits) << c.line.toStdString();
        EXPECT_EQ(f.windowTitle(), c.caption.isEmpty() ? QString("before") : c.caption) << c.line.toStdString();
    }
}

TEST_F(Dialogue, TheCommandsBytes) {
    TForm1& f = Open();
    const auto pausedPrefix = [&](const std::string& rest) {
        EXPECT_EQ(Got(1), "\xFE");
        EXPECT_EQ(Got(rest.size()), rest);
        EXPECT_GE(GapBeforeLast(), std::chrono::milliseconds(95)) << "the pause after the prefix";
    };
    RxMode = kWritingMode;
    f.Button11Click(f.Button11);
    pausedPrefix("RESET\r");
    EXPECT_EQ(RxMode.load(), kStatusMode);
    EXPECT_EQ(LastLine(), "");

    f.cfg1->SetItemIndex(1);
    f.cfg2->SetItemIndex(0);
    f.cfg3->SetItemIndex(0);
    f.Button12Click(f.Button12);
    pausedPrefix("FW_CFG_100\r");
    EXPECT_EQ(Tail(2), (QStringList{"", QString::fromUtf8("Übertrage Configuration:")}));

    const struct {
        void (TForm1::*handler)(QObject*);
        int blk;
        std::string bytes;
        std::int32_t mode;
    } menuCommands[] = {
        {&TForm1::Button4Click, 2, "\xA3\xFD", kWriteBlockMode}, {&TForm1::Button4Click, 0, "\xA3\xFF", kWriteBlockMode},
        {&TForm1::Button5Click, 2, "\xA4\xFD", kReadBlockMode},  {&TForm1::Button3Click, 2, "\xA2", kReadAllMode},
        {&TForm1::Button2Click, 2, "\xA1", kWritingMode},
    };
    for (const auto& c : menuCommands) {
        f.blk->setValue(c.blk);
        f.menu->setEnabled(true);
        f.Button11->setEnabled(true);
        (f.*c.handler)(nullptr);
        EXPECT_EQ(Got(c.bytes.size()), c.bytes) << c.bytes;
        EXPECT_EQ(RxMode.load(), c.mode);
        EXPECT_FALSE(f.menu->isEnabled());
        EXPECT_EQ(f.Button11->isEnabled(), c.handler != &TForm1::Button2Click) << "only Write all disables Reset";
    }
}

TEST_F(Dialogue, BlockFrames) {
    TForm1& f = Open();
    // An all-zero block: the key bytes, and the check byte 0x55 under key byte 13.
    f.TransmittBlock(0);
    std::string zero(3073, '\0');
    for (int i = 0; i < 3072; ++i) zero[i] = kKey[i % 19];
    zero[3072] = static_cast<char>(0x55 ^ kKey[13]);
    EXPECT_TRUE(Got(3073) == zero);

    // Block 124 takes image bytes 507904 to 511999; the fourth byte of each group is not sent.
    FillImage(512000, 9);
    const std::string frame124 = Frame(124);
    f.TransmittBlock(124);
    EXPECT_TRUE(Got(3073) == frame124);
    for (int w = 0; w < 1024; ++w) RomImage[124 * 4096 + 4 * w + 3] ^= 0x5A;
    f.TransmittBlock(124);
    EXPECT_TRUE(Got(3073) == frame124) << "the fourth byte of a group changes nothing";

    // A key of one character enciphers every byte with it.
    f.key->setText("K");
    f.TransmittBlock(3);
    EXPECT_TRUE(Got(3073) == Frame(3, "K"));

    // The listing shows the unenciphered words and two equal checks; twice restores the frame.
    const std::vector<std::uint8_t> sent(TxFrame, TxFrame + kFrameSize);
    const int before = f.Memo1->Count();
    f.Button6Click(f.Button6);
    ASSERT_EQ(f.Memo1->Count(), before + 1026);
    const std::uint8_t* image = RomImage + 3 * 4096;
    EXPECT_EQ(f.Memo1->Line(before), QString("0: %1%2%3")
                                         .arg(image[2], 2, 16, QChar('0'))
                                         .arg(image[1], 2, 16, QChar('0'))
                                         .arg(image[0], 2, 16, QChar('0'))
                                         .toUpper());
    EXPECT_EQ(f.Memo1->Line(before + 1024).mid(12), f.Memo1->Line(before + 1025).mid(8));
    EXPECT_TRUE(f.Memo1->Line(before + 1024).startsWith("CRC Device: "));
    f.Button6Click(f.Button6);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), TxFrame));
}

TEST_F(Dialogue, TheImageListing) {
    TForm1& f = Open();
    FillImage(3072, 5);
    const int before = f.Memo1->Count();
    f.Button10Click(f.Button10);
    ASSERT_EQ(f.Memo1->Count(), before + 1024);
    EXPECT_EQ(f.Memo1->Line(before + 1), QString("1: %1%2%3")
                                             .arg(RomImage[5], 2, 16, QChar('0'))
                                             .arg(RomImage[4], 2, 16, QChar('0'))
                                             .arg(RomImage[3], 2, 16, QChar('0'))
                                             .toUpper());
}

TEST_F(Dialogue, ClosingTheWindowDuringTheEndOfAWrite) {
    TForm1& f = Open();
    RxMode = kWritingMode;
    device.Send("\x81");
    ASSERT_TRUE(Until([&] { return f.windowTitle() == "Unknown Command: 129"; }));
    const auto start = std::chrono::steady_clock::now();
    form.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
