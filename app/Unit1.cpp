#include "Unit1.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QLineEdit>

#include "Cp1252.h"
#include "FileIO.h"
#include "RomFile.h"

std::atomic<std::int32_t> RxMode{0};

namespace {

// The design's client area.
constexpr int kDesignWidth = 702;
constexpr int kDesignHeight = 586;

// The log's text at start, line by line.
const char* const kInitialLog[] = {
    "Firmware Update: (incl. Konfiguration übertragen):",
    "1. Rom Laden.",
    "2. Gewünschte Konfiguration einstellen.",
    "3. Gerät an Strom und PC anschliessen.",
    "4. COM Port auswälen.",
    "5. Reset Drücken. (Alternativ Strom Stecker kurz ziehen.)",
    "    * Das Update sollte jetzt eingespielt werden.",
    "    * Der Vorgang ist Fertig wenn der Text \"FERTIG!\" erscheint.",
    "",
    "---------------------------------------------------------------------------------------------------------------------------",
    "",
    "Nur Konfiguration übertragen: (Umstellung eines bereits aktuellem Gerätes)",
    "1. Gewünschte Konfiguration einstellen.",
    "2. Gerät an Strom und PC anschliessen.",
    "3. COM Port auswälen.",
    "4. \"Übertragen\" drücken.",
    "",
    "==============================================================",
    "",
};

constexpr const char* kRomFilter = "HEX|*.hex|ROM|*.rom";
constexpr const char* kDefaultRom = "standard.rom";
constexpr const char* kSavedRom = "test.rom";
constexpr std::int32_t kNoAddressLimit = 0x7FFFFFFF;

// The design's face where the machine has it, else the nearest sans-serif one, 8 points at
// 96 pixels per inch.
QFont DesignFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// File names travel to the file layer in the system's encoding.
std::string LocalName(const QString& name) { return name.toLocal8Bit().toStdString(); }

}  // namespace

TForm1::TForm1(TDialogs& dialogs, QWidget* parent)
    : QWidget(parent), od(dialogs, this), FDialogs(dialogs) {
    setupUi(this);
    setFont(DesignFont());
    move(283, 181);
    resize(kDesignWidth, kDesignHeight);
    // Memo1 is anchored to all four sides, menu to the left, top and bottom, the file buttons to
    // the left and bottom.
    FAnchored = {
        {Memo1, Memo1->geometry(), true, true, false},
        {menu, menu->geometry(), false, true, false},
        {Button7, Button7->geometry(), false, false, true},
        {Button9, Button9->geometry(), false, false, true},
    };
    QStringList log;
    for (const char* line : kInitialLog) log.append(QString::fromUtf8(line));
    Memo1->SetText(log.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));

    // ser with the design's values, in the order the form applies them.
    ser = new TSerial(nullptr);
    ser->SetName("ser");
    ser->SetCOMPort(1);
    ser->SetThreadPriority(rt::TThreadPriority::tpNormal);
    ser->SetActive(false);
    ser->SetBaudrate(115200);
    ser->SetDataBits(TDataBits::db_8);
    ser->SetParityBit(TParityBit::none);
    ser->SetStopBits(TStopBits::sb_2);
    ser->SetBufSizeTrm(16384);
    ser->SetBufSizeRec(16384);
    ser->SetHandshakeRtsCts(false);
    ser->SetHandshakeDtrDsr(false);
    ser->SetHandshakeXOnXOff(false);
    ser->SetRTSActive(false);
    ser->SetDTRActive(false);
    ser->SetXOnChar(0x11);
    ser->SetXOffChar(0x13);
    ser->SetXOffLimit(8192);
    ser->SetXOnLimit(512);
    ser->SetErrorChar('?');
    ser->SetEofChar(0x1A);
    ser->SetEventChar(0x0D);
    ser->SetDataSize(0);
    ser->SetContinueOnXOff(false);
    ser->SetUseErrorChar(false);
    ser->SetEliminateNullChar(false);
    ser->SetAbortOnError(false);
    ser->SetRecTimeOut(0);
    ser->SetTrmTimeOut(0);
    ser->SetSyncEventHandling(false);
    ser->SetEnableEvents(true);
    ser->SetSyncWait(true);

    SerPortComboBox1->SetSerial(ser);
    SerPortComboBox1->SetOnChange({this, &TForm1::SerPortComboBox1Change});
    SerPortComboBox1->Loaded();

    Timer1 = NewTimer("Timer1", 500, &TForm1::Timer1Timer);
    Timer1->start();
    Timer2 = NewTimer("Timer2", 100, &TForm1::Button2Click);  // its tick runs Write all

    od.Filter = QString::fromUtf8(kRomFilter);

    // The key text as the code page carries it, kept for the event thread, which builds the
    // frames; text the code page cannot carry would never reach the device.
    const auto keepKey = [this] {
        std::lock_guard lock(FKeyLock);
        FKey = rt::Utf8ToCp1252(key->text().toStdString()).value_or(std::string());
    };
    keepKey();
    connect(key, &QLineEdit::textChanged, this, keepKey);
    ser->SetOnRxChar({this, &TForm1::serRxChar});
    Connect(Button2, &TForm1::Button2Click);
    Connect(Button3, &TForm1::Button3Click);
    Connect(Button4, &TForm1::Button4Click);
    Connect(Button5, &TForm1::Button5Click);
    Connect(Button6, &TForm1::Button6Click);
    Connect(Button10, &TForm1::Button10Click);
    Connect(Button11, &TForm1::Button11Click);
    Connect(Button12, &TForm1::Button12Click);
    Connect(Button13, &TForm1::Button13Click);

    Connect(Button1, &TForm1::Button1Click);
    Connect(Button7, &TForm1::Button7Click);
    Connect(Button8, &TForm1::Button8Click);
    Connect(Button9, &TForm1::Button9Click);

    Guard([this] { FormCreate(this); });
}

TForm1::~TForm1() {
    // Pauses end, and the dispatcher changes no control any more.
    {
        std::lock_guard lock(FPauseLock);
        FClosing = true;
    }
    FPauseEnd.notify_all();
    Timer1->stop();
    Timer2->stop();
    // The selector leaves the port manager's listeners and stops using ser; then ser closes its
    // port and its event thread ends while the controls it may still change exist.
    SerPortComboBox1->SetSerial(nullptr);
    delete ser;
    ser = nullptr;
}

void TForm1::Connect(QAbstractButton* button, void (TForm1::*handler)(QObject*)) {
    connect(button, &QAbstractButton::clicked, this,
            [this, button, handler] { Guard([this, button, handler] { (this->*handler)(button); }); });
}

QTimer* TForm1::NewTimer(const char* name, int intervalMs, void (TForm1::*handler)(QObject*)) {
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromUtf8(name));
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this,
            [this, timer, handler] { Guard([this, timer, handler] { (this->*handler)(timer); }); });
    return timer;
}

void TForm1::Guard(const std::function<void()>& command) {
    try {
        command();
    } catch (const rt::EAbort&) {
        // The operator has been told already.
    } catch (const rt::Exception& e) {
        FDialogs.ShowMessage(this, FromUtf8(e.Message()));
    }
}

// ---------------------------------------------------------------- output of the loads

void TForm1::SetStatus(const std::string& text) { setWindowTitle(FromUtf8(text)); }

void TForm1::AddLine(const std::string& line) { Memo1->Add(FromUtf8(line)); }

bool TForm1::ShowHex() const { return showhex->isChecked(); }

std::string TForm1::KeyText() const {
    std::lock_guard lock(FKeyLock);
    return FKey;
}

// ---------------------------------------------------------------- start-up

void TForm1::FormCreate(QObject* /*Sender*/) {
    RxMode = kStatusMode;
    od.FileName = QString::fromUtf8(kDefaultRom);
    if (rt::FileExists(LocalName(od.FileName))) Button1Click(this);
}

bool TForm1::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    if (e->type() == QEvent::WindowActivate && !FActivated) {
        // Once: focus that comes back later (after a message box, say) starts nothing.
        FActivated = true;
        Guard([this] { FormActivate(this); });
    }
    return handled;
}

void TForm1::FormActivate(QObject* /*Sender*/) {
    // Painted with the wait panel in front before the slow steps.
    QApplication::processEvents();
    if (COMManager) COMManager->ScanPorts(TCOMManager::kMaxPort);
    SerPortComboBox1->RefreshPorts();
    ser->OpenPort();
    Panel1->hide();
}

void TForm1::mouseDoubleClickEvent(QMouseEvent* e) {
    FShiftDoubleClick = e->modifiers().testFlag(Qt::ShiftModifier);
    Guard([this] { FormDblClick(this); });
    QWidget::mouseDoubleClickEvent(e);
}

void TForm1::FormDblClick(QObject* /*Sender*/) {
    if (!FShiftDoubleClick) return;
    Button9->show();
    Button7->show();
}

void TForm1::Timer1Timer(QObject* /*Sender*/) {
    const bool enabled = menu->isEnabled();
    Button2->setEnabled(enabled);
    Button4->setEnabled(enabled);
    Button5->setEnabled(enabled);
}

void TForm1::Button8Click(QObject* /*Sender*/) { Memo1->Clear(); }

// ---------------------------------------------------------------- layout

void TForm1::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    KeepAnchors();
}

// Controls anchored to the right or bottom edge keep their distance to it.
void TForm1::KeepAnchors() {
    const int dx = width() - kDesignWidth, dy = height() - kDesignHeight;
    for (const TAnchored& a : FAnchored) {
        QRect r = a.design;
        if (a.widen) r.setWidth(r.width() + dx);
        if (a.heighten) r.setHeight(r.height() + dy);
        if (a.moveDown) r.moveTop(r.top() + dy);
        a.widget->setGeometry(r);
    }
}

// ---------------------------------------------------------------- firmware files

void TForm1::Button1Click(QObject* Sender) {
    RxMode = kStatusMode;
    od.FilterIndex = 2;
    if (Sender == Button1 && !od.Execute()) return;
    LoadRom(LocalName(od.FileName), KeyText());
    AddLine("Geladen: \"" + od.FileName.toStdString() + "\"");
    Button11->setEnabled(true);
}

void TForm1::Button7Click(QObject* /*Sender*/) {
    RxMode = kStatusMode;
    od.FilterIndex = 1;
    if (!od.Execute()) return;
    LoadHex(LocalName(od.FileName), kNoAddressLimit, *this);
    AddLine("Geladen: \"" + od.FileName.toStdString() + "\"");
    Button11->setEnabled(true);
}

void TForm1::Button9Click(QObject* /*Sender*/) { SaveRom(kSavedRom, KeyText()); }

// ---------------------------------------------------------------- the port

void TForm1::SerPortComboBox1Change(rt::TObject* /*Sender*/) {
    ser->ClosePort();
    if (ser->COMPort() > 80)
        FDialogs.ShowMessage(
            this, QString::fromUtf8("ACHTUNG: COM Port sehr hoch! Bitte schnelstmöglich \"RESET_COMs.reg\" "
                                    "ausführen, um die niedrigeren Ports wieder freizugeben!"));
    ser->OpenPort();
}
