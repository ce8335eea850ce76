// A complete firmware update and configuration: the real window, as the operator drives it,
// against bootsim linked as COM1.

#include <gtest/gtest.h>

#include <csignal>

#include "FileIO.h"
#include "FrameSupport.h"
#include "Process.h"
#include "WindowFixture.h"

using namespace testing_support;

namespace {

class WindowUpdate : public WindowTest {};

TEST_F(WindowUpdate, ACompleteUpdateThenTheDeviceInformation) {
    const std::vector<std::uint8_t> image = RandomBytes(125 * 4096, 2026);
    WriteRom(dir.File("fw.rom"), image);
    TChildProcess sim({BOOTSIM_PATH, "--link", ports.File("com1"), "--out", dir.File("received.bin")});
    ASSERT_TRUE(sim.FirstLine(std::chrono::seconds(5))) << sim.Err();

    TForm1& f = Start();
    ASSERT_TRUE(f.ser->Active()) << "COM1 is bootsim";
    dialogs.FileAnswers = {QString::fromStdString(dir.File("fw.rom"))};
    f.Button1->click();
    ASSERT_TRUE(f.Button11->isEnabled());
    const int start = f.Memo1->Count();
    f.Button11->click();
    ASSERT_TRUE(Until([&] { return LastLine() == "FERTIG!"; }, 60000)) << LastLine().toStdString();

    // The log: the start, the menu, every block request in order, the configuration and its
    // answers, and FERTIG! last.
    QStringList expected{"", "Bootloader Starten?", QString::fromUtf8("Menü:")};
    for (int k = 0; k < 125; ++k) {
        const std::uint32_t first = static_cast<std::uint32_t>(k) * 0x800;
        expected.append(QStringLiteral("%1 Anfrage Block: $%2 -> $%3 ...")
                            .arg(255 - k)
                            .arg(QStringLiteral("%1").arg(first, 4, 16, QChar('0')).toUpper(),
                                 QStringLiteral("%1").arg(first + 0x7FF, 4, 16, QChar('0')).toUpper()));
    }
    expected << "" << QString::fromUtf8("Übertrage Configuration:") << "Eingang: SD / ohne" << "Farben: Chakra"
             << "Mikrofon: mit" << "FERTIG!";
    QStringList log;
    for (int i = start; i < f.Memo1->Count(); ++i) log.append(f.Memo1->Line(i));
    EXPECT_EQ(log, expected);

    // The device holds the image's words, byte for byte.
    ASSERT_TRUE(Until([&] { return rt::FileExists(dir.File("received.bin")); }));
    EXPECT_TRUE(ReadFile(dir.File("received.bin")) == DeviceWords(image));

    // The device information reads the configuration back.
    const int info = f.Memo1->Count();
    f.Button13->click();
    ASSERT_TRUE(Until([&] { return RxMode == kStatusMode && f.Memo1->Count() >= info + 6; }));
    log.clear();
    for (int i = info; i < f.Memo1->Count(); ++i) log.append(f.Memo1->Line(i));
    EXPECT_EQ(log, (QStringList{"", QString::fromUtf8("Geräte Info:"), "SIM 1.0 Konfiguration 001",
                                "Eingang: SD / ohne", "Farben: Chakra", "Mikrofon: mit"}));

    // A picture of the window after an update, kept beside the test in the build tree.
    EXPECT_TRUE(f.grab().save(FOldDir + "/window-update.png"));

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(std::chrono::seconds(5)), 0);
    EXPECT_NE(sim.Err().find("bootsim: blocks 125, refused 0,"), std::string::npos) << sim.Err();
    RecordProperty("bootsim", sim.Err());
}

}  // namespace
