// The main window on Qt's offscreen platform: its design, start-up, the hidden file buttons,
// Timer1, the port selector on real links and pseudo-terminals, and the file commands with
// scripted dialogs.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <deque>
#include <filesystem>
#include <tuple>

#include "FileIO.h"
#include "RomFile.h"
#include "WindowFixture.h"

using namespace testing_support;

namespace {

TEST_F(WindowTest, DesignAsDrawn) {
    TForm1& f = Create();
    EXPECT_EQ(f.windowTitle(), "Bootloader");
    EXPECT_EQ(f.size(), QSize(702, 586));
    EXPECT_EQ(f.pos(), QPoint(283, 181));
    struct TControl {
        QWidget* w;
        const char* parent;
        QRect rect;
        const char* text;
        bool hidden, disabled;
    };
    const TControl controls[] = {
        {f.SerPortComboBox1, "TForm1", {8, 8, 145, 21}, "", false, false},
        {f.key, "TForm1", {8, 488, 145, 21}, "Q7M!_X295836H4F_Z8W", true, false},
        {f.Memo1, "TForm1", {160, 8, 534, 571}, "", false, false},
        {f.menu, "TForm1", {256, 272, 145, 193}, "Menü:", true, true},
        {f.Button2, "menu", {8, 16, 129, 25}, "Write all", false, false},
        {f.Button3, "menu", {8, 48, 129, 25}, "Read all", true, true},
        {f.Button4, "menu", {8, 80, 129, 25}, "Write Single Block", true, false},
        {f.Button5, "menu", {8, 112, 129, 25}, "Read Single Block", true, false},
        {f.autowr, "menu", {8, 144, 97, 17}, "autowr", true, false},
        {f.release, "menu", {8, 168, 97, 17}, "release", true, false},
        {f.Button7, "TForm1", {8, 552, 145, 25}, "Lade HEX", true, false},
        {f.Button1, "TForm1", {8, 32, 145, 25}, "ROM laden", false, false},
        {f.Button9, "TForm1", {8, 520, 145, 25}, "ROM speichern", true, false},
        {f.Button11, "TForm1", {8, 64, 145, 25}, "Reset", false, true},
        {f.GroupBox1, "TForm1", {424, 272, 169, 153}, "TEST", true, false},
        {f.Button8, "GroupBox1", {8, 104, 145, 25}, "Memo löschen", true, false},
        {f.showhex, "GroupBox1", {8, 80, 137, 17}, "Geladene Hex anzeigen:", true, false},
        {f.blk, "GroupBox1", {8, 51, 65, 22}, "", true, false},
        {f.Button6, "GroupBox1", {80, 48, 75, 25}, "DAT ->", true, false},
        {f.Button10, "GroupBox1", {8, 16, 75, 25}, "test", true, false},
        {f.GroupBox2, "TForm1", {8, 136, 145, 265}, "Konfiguration:", false, false},
        {f.cfg1, "GroupBox2", {8, 16, 129, 65}, "Eingang:", false, false},
        {f.cfg2, "GroupBox2", {8, 88, 129, 65}, "Farben:", false, false},
        {f.cfg3, "GroupBox2", {8, 160, 129, 65}, "Mikrofon:", false, false},
        {f.Button12, "GroupBox2", {8, 232, 129, 25}, "Übertragen", false, false},
        {f.pb, "TForm1", {8, 96, 145, 17}, "", false, false},
        {f.Button13, "TForm1", {8, 408, 145, 25}, "Geräte Info auslesen", false, false},
        {f.Panel1, "TForm1", {8, 8, 145, 433}, "Bitte warten...", false, false},
    };
    for (const TControl& c : controls) {
        const QString name = c.w->objectName();
        EXPECT_EQ(c.w->parentWidget()->objectName(), c.parent) << name.toStdString();
        EXPECT_EQ(c.w->geometry(), c.rect) << name.toStdString();
        EXPECT_EQ(c.w->isHidden(), c.hidden) << name.toStdString();
        EXPECT_EQ(!c.w->isEnabledTo(c.w->parentWidget()), c.disabled) << name.toStdString();
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(c.w)) text = b->text();
        else if (auto* g = qobject_cast<QGroupBox*>(c.w)) text = g->title();
        else if (auto* e = qobject_cast<QLineEdit*>(c.w)) text = e->text();
        else if (auto* l = qobject_cast<QLabel*>(c.w)) text = l->text();
        EXPECT_EQ(text, QString::fromUtf8(c.text)) << name.toStdString();
    }
    EXPECT_TRUE(f.autowr->isChecked());
    EXPECT_TRUE(f.release->isChecked());
    EXPECT_FALSE(f.showhex->isChecked());
    EXPECT_EQ(f.blk->minimum(), 0);
    EXPECT_EQ(f.blk->maximum(), 255);
    EXPECT_EQ(f.blk->value(), 2);
    EXPECT_EQ(f.pb->minimum(), 0);
    EXPECT_EQ(f.pb->maximum(), 30);
    EXPECT_EQ(f.pb->value(), 0);
    EXPECT_TRUE(f.Memo1->isReadOnly());
    const struct {
        TRadioGroup* group;
        QStringList items;
        int selected;
    } groups[] = {{f.cfg1, {"SD / ohne", "DMX"}, 0}, {f.cfg2, {"Chakra", "Planeten"}, 0}, {f.cfg3, {"ohne", "mit"}, 1}};
    for (const auto& g : groups) {
        QStringList items;
        for (QRadioButton* r : g.group->Items()) items.append(r->text());
        EXPECT_EQ(items, g.items);
        EXPECT_EQ(g.group->ItemIndex(), g.selected);
    }
    // The tab order of the controls that take the focus.
    const QWidget* order[] = {f.SerPortComboBox1, f.Memo1, f.Button1, f.Button11, f.cfg1Item0, f.Button12, f.Button13};
    QWidget* w = f.SerPortComboBox1;
    for (std::size_t i = 1; i < std::size(order); ++i) {
        for (int steps = 0; w != order[i] && steps < 100; ++steps) w = w->nextInFocusChain();
        EXPECT_EQ(w, order[i]) << "tab stop " << i;
    }
    // Panel1 is in front of the left column.
    EXPECT_EQ(f.childAt(20, 40), f.Panel1);
}

TEST_F(WindowTest, TheSerialComponentHasTheDesignValues) {
    TForm1& f = Create();
    TSerial& s = *f.ser;
    EXPECT_EQ(s.Baudrate(), 115200);
    EXPECT_EQ(s.DataBits(), TDataBits::db_8);
    EXPECT_EQ(s.ParityBit(), TParityBit::none);
    EXPECT_EQ(s.StopBits(), TStopBits::sb_2);
    EXPECT_EQ(s.BufSizeTrm(), 16384);
    EXPECT_EQ(s.BufSizeRec(), 16384);
    EXPECT_EQ(s.XOffLimit(), 8192);
    EXPECT_EQ(s.XOnLimit(), 512);
    EXPECT_FALSE(s.HandshakeRtsCts() || s.HandshakeDtrDsr() || s.HandshakeXOnXOff() || s.RTSActive() ||
                 s.DTRActive() || s.SyncEventHandling());
    EXPECT_TRUE(s.EnableEvents());
    EXPECT_TRUE(s.SyncWait());
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(f.Timer1->interval(), 500);
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_EQ(f.Timer2->interval(), 100);
    EXPECT_FALSE(f.Timer2->isActive());
    EXPECT_EQ(f.od.Filter, "HEX|*.hex|ROM|*.rom");
}

TEST_F(WindowTest, TheLogStartsWithItsNineteenLines) {
    TForm1& f = Create();
    ASSERT_EQ(f.Memo1->Count(), 19);
    EXPECT_EQ(f.Memo1->Line(0), QString::fromUtf8("Firmware Update: (incl. Konfiguration übertragen):"));
    EXPECT_EQ(f.Memo1->Line(6), "    * Das Update sollte jetzt eingespielt werden.");
    EXPECT_EQ(f.Memo1->Line(7), "    * Der Vorgang ist Fertig wenn der Text \"FERTIG!\" erscheint.");
    EXPECT_EQ(f.Memo1->Line(9), QString(123, '-'));
    EXPECT_EQ(f.Memo1->Line(15), QString::fromUtf8("4. \"Übertragen\" drücken."));
    EXPECT_EQ(f.Memo1->Line(17), QString(62, '='));
    EXPECT_EQ(f.Memo1->Line(18), "");
    EXPECT_TRUE(f.Memo1->Text().endsWith("\r\n"));
    EXPECT_EQ(f.Memo1->document()->blockCount(), 19);
    f.Button8->click();
    EXPECT_EQ(f.Memo1->Count(), 0);
}

TEST_F(WindowTest, StartUpLoadsTheDefaultRom) {
    const std::vector<std::uint8_t> image = RandomBytes(1024, 7);
    struct TCase {
        const char* what;
        std::function<void()> prepare;
        bool loaded;
        const char* message;
    };
    const TCase cases[] = {
        {"none", [] {}, false, nullptr},
        {"a good one", [&] { WriteRom("standard.rom", image); }, true, nullptr},
        {"one of 1000 bytes", [] { WriteFile("standard.rom", std::string(1000, 'x')); }, false,
         "Versuch hinter dem Dateiende zu lesen"},
    };
    for (const TCase& c : cases) {
        std::filesystem::remove(dir.File("standard.rom"));
        c.prepare();
        dialogs.Messages.clear();
        ResetImageStore();
        TForm1& f = Create();
        EXPECT_EQ(RxMode.load(), 0) << c.what;
        EXPECT_EQ(f.od.FileName, "standard.rom") << c.what;
        EXPECT_EQ(f.Button11->isEnabled(), c.loaded) << c.what;
        EXPECT_EQ(f.Memo1->Count(), c.loaded ? 20 : 19) << c.what;
        if (c.loaded) {
            EXPECT_EQ(LastLine(), "Geladen: \"standard.rom\"");
            EXPECT_TRUE(std::equal(image.begin(), image.end(), RomImage)) << "the image is the file's";
        }
        EXPECT_EQ(dialogs.Messages, c.message ? QStringList{c.message} : QStringList{}) << c.what;
        EXPECT_TRUE(dialogs.OpenCalls.empty()) << "no dialog at start";
        form.reset();
    }
}

TEST_F(WindowTest, ActivationFindsThePortsOpensAndHidesTheWaitPanel) {
    TPty pty;
    ports.Link(7, pty.Name());
    TForm1& f = Create();
    EXPECT_FALSE(f.Panel1->isHidden());
    EXPECT_EQ(f.SerPortComboBox1->count(), 0) << "only COM1 to COM4 probed at creation";
    Start();
    EXPECT_EQ(COMManager->MaxScanned(), 99);
    EXPECT_TRUE(Items(f.SerPortComboBox1).contains("COM7"));
    // COM1 was not there when the window was made: ser keeps 0 and nothing is opened.
    EXPECT_EQ(f.ser->COMPort(), 0);
    EXPECT_FALSE(f.ser->Active());

    // Focus coming back starts nothing again.
    ports.Link(8, pty.Name());
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QApplication::setActiveWindow(&f);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_TRUE(Until([&] { return Items(f.SerPortComboBox1).contains("COM8"); }))
        << "the link's arrival is followed";
    EXPECT_EQ(COMManager->MaxScanned(), 99);
    EXPECT_FALSE(f.Panel1->isVisible());
}

TEST_F(WindowTest, ActivationOpensTheDesignPort) {
    TPty pty;
    ports.Link(1, pty.Name());
    TForm1& f = Start();
    EXPECT_EQ(f.ser->COMPort(), 1);
    EXPECT_TRUE(f.ser->Active());
    EXPECT_EQ(f.SerPortComboBox1->currentText(), "COM1");
}

TEST_F(WindowTest, ShiftDoubleClickShowsTheFileButtons) {
    TForm1& f = Start();
    const QPoint free(156, 580);  // between the left column and the log
    ASSERT_EQ(f.childAt(free), nullptr);
    QTest::mouseDClick(&f, Qt::LeftButton, Qt::NoModifier, free);
    EXPECT_TRUE(f.Button9->isHidden());
    EXPECT_TRUE(f.Button7->isHidden());
    QTest::mouseDClick(&f, Qt::LeftButton, Qt::ShiftModifier, free);
    EXPECT_TRUE(f.Button9->isVisible());
    EXPECT_TRUE(f.Button7->isVisible());
    QTest::mouseDClick(&f, Qt::LeftButton, Qt::ShiftModifier, free);
    EXPECT_TRUE(f.Button9->isVisible() && f.Button7->isVisible());
}

TEST_F(WindowTest, Timer1FollowsTheMenu) {
    TForm1& f = Start();
    ASSERT_TRUE(Until([&] { return !f.Button2->isEnabledTo(f.menu); })) << "first tick: menu disabled";
    f.menu->setEnabled(true);
    EXPECT_TRUE(Until([&] { return f.Button2->isEnabledTo(f.menu); }, 1000));
    EXPECT_TRUE(f.Button4->isEnabledTo(f.menu));
    EXPECT_TRUE(f.Button5->isEnabledTo(f.menu));
    EXPECT_FALSE(f.Button3->isEnabledTo(f.menu)) << "Read all is left alone";
    f.menu->setEnabled(false);
    EXPECT_TRUE(Until([&] { return !f.Button2->isEnabledTo(f.menu); }, 1000));
}

TEST_F(WindowTest, ThePortSelectorFollowsLinksAndAPickReopens) {
    TPty a, b;
    ports.Link(3, a.Name());
    TForm1& f = Start();
    ASSERT_TRUE(Items(f.SerPortComboBox1).contains("COM3"));
    ports.Link(81, b.Name());
    ASSERT_TRUE(Until([&] { return Items(f.SerPortComboBox1).contains("COM81"); })) << "arrival not shown";

    // The operator picks COM3: closed, opened on COM3, no warning.
    Pick(f.SerPortComboBox1, "COM3");
    EXPECT_EQ(f.ser->COMPort(), 3);
    EXPECT_TRUE(f.ser->Active());
    EXPECT_TRUE(dialogs.Messages.isEmpty());

    // COM81: the warning comes while the port is closed, then COM81 opens.
    bool closedDuringWarning = false;
    dialogs.OnMessage = [&](const QString&) { closedDuringWarning = !f.ser->Active(); };
    Pick(f.SerPortComboBox1, "COM81");
    ASSERT_EQ(dialogs.Messages.size(), 1);
    EXPECT_TRUE(dialogs.Messages[0].startsWith(QString::fromUtf8("ACHTUNG: COM Port sehr hoch! Bitte schnelstmöglich")));
    EXPECT_TRUE(closedDuringWarning);
    EXPECT_EQ(f.ser->COMPort(), 81);
    EXPECT_TRUE(f.ser->Active());
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(81)).PortOwner, f.ser);
    EXPECT_EQ(COMManager->PortRecord(COMManager->IndexOfPort(3)).PortOwner, nullptr);

    // The open port vanishes.
    ports.Unlink(81);
    ASSERT_TRUE(Until([&] { return !Items(f.SerPortComboBox1).contains("COM81"); })) << "removal not shown";
    EXPECT_FALSE(f.ser->Active());
    EXPECT_EQ(f.SerPortComboBox1->currentIndex(), -1);
}

TEST_F(WindowTest, FileCommands) {
    TForm1& f = Start();
    const std::vector<std::uint8_t> image = RandomBytes(2048, 11);
    WriteRom(dir.File("fw.rom"), image);
    WriteFile(dir.File("fw.hex"), ":0400000001020304F2\n:00000001FF\n");

    // ROM laden: the dialog on the ROM entry; cancelled, nothing happens.
    const int lines = f.Memo1->Count();
    RxMode = 1;
    dialogs.FileAnswers = {QString()};
    f.Button1->click();
    ASSERT_EQ(dialogs.OpenCalls.size(), 1u);
    EXPECT_EQ(std::get<0>(dialogs.OpenCalls[0]), "HEX|*.hex|ROM|*.rom");
    EXPECT_EQ(std::get<1>(dialogs.OpenCalls[0]), 2);
    EXPECT_EQ(f.Memo1->Count(), lines);
    EXPECT_FALSE(f.Button11->isEnabled());
    EXPECT_EQ(RxMode.load(), 0);

    // A missing file: its German text in a message box, nothing else.
    dialogs.FileAnswers = {dir.File("missing.rom").c_str()};
    f.Button1->click();
    EXPECT_EQ(dialogs.Messages, QStringList{"Datei nicht gefunden"});
    EXPECT_EQ(f.Memo1->Count(), lines);
    EXPECT_FALSE(f.Button11->isEnabled());

    // A good one.
    dialogs.FileAnswers = {dir.File("fw.rom").c_str()};
    f.Button1->click();
    EXPECT_EQ(LastLine(), QString("Geladen: \"%1\"").arg(dir.File("fw.rom").c_str()));
    EXPECT_TRUE(f.Button11->isEnabled());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), RomImage));

    // Lade HEX, on the HEX entry.
    f.Button11->setEnabled(false);
    dialogs.FileAnswers = {dir.File("fw.hex").c_str()};
    f.Button7->click();
    EXPECT_EQ(std::get<1>(dialogs.OpenCalls.back()), 1);
    EXPECT_EQ(LastLine(), QString("Geladen: \"%1\"").arg(dir.File("fw.hex").c_str()));
    // The first record is at address 0, which is not above LastAddress: it stays 0.
    EXPECT_EQ(f.windowTitle(), "Letzte Adresse: $000000");
    EXPECT_TRUE(f.Button11->isEnabled());
    EXPECT_EQ(RomImage[0], 1);
    EXPECT_EQ(RomImage[4], 0xFF);

    // ROM speichern: test.rom in the working directory, loadable again.
    f.Button9->click();
    ASSERT_TRUE(rt::FileExists(dir.File("test.rom")));
    ResetImageStore();
    LoadRom(dir.File("test.rom"), "Q7M!_X295836H4F_Z8W");
    EXPECT_EQ(RomImage[3], 4);
    EXPECT_EQ(dialogs.Messages.size(), 1);
}

TEST_F(WindowTest, Screenshot) {
    TForm1& f = Start();
    const QImage shot = f.grab().toImage();
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(702, 586));
    // Kept beside the test, in the build tree.
    EXPECT_TRUE(shot.save(QString::fromStdString((std::filesystem::path(FOldDir.toStdString()) / "window.png").string())));
}

}  // namespace
