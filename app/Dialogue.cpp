// The dialogue with the device's bootloader: the dispatcher of the device's bytes, the block
// frame and the operator's commands.

#include <QThread>

#include <cstring>

#include "Cp1252.h"
#include "RomImage.h"
#include "Thread.h"
#include "Unit1.h"

std::uint8_t CmdByte = 0;
std::uint8_t TxFrame[kFrameSize];

namespace {

// Device to host, in status mode.
constexpr std::uint8_t kMenu = 0xFE, kBootloaderStart = 0xFF, kEndOfWrite = 0x81;
constexpr std::uint8_t kLineFeed = 0x0A;
// Host to device.
constexpr std::uint8_t kStartAnswer = 0x55, kCommandPrefix = 0xFE;
constexpr std::uint8_t kWriteAll = 0xA1, kReadAll = 0xA2, kWriteBlock = 0xA3, kReadBlock = 0xA4;

constexpr std::int32_t kMaxBatch = 255;
constexpr std::size_t kWords = 1024;
constexpr std::uint8_t kCheckSeed = 0x55;
constexpr int kPrefixPauseMs = 100;
constexpr int kEndPauseMs = 500;

const char* StatusMessage(std::uint8_t b) {
    switch (b) {
    case 0x00: return "Power Off...";
    case 0x0A: return "Eingang: SD / ohne";
    case 0x0B: return "Eingang: DMX";
    case 0x0C: return "Farben: Chakra";
    case 0x0D: return "Farben: Planeten";
    case 0x0E: return "Mikrofon: ohne";
    case 0x0F: return "Mikrofon: mit";
    case 0x80: return "Bootloader Beendet!";
    default: return nullptr;
    }
}

// Upper-case hexadecimal, zero-padded to at least digits.
QString Hex(std::uint32_t value, int digits) {
    return QStringLiteral("%1").arg(value, digits, 16, QChar('0')).toUpper();
}

// A line of the listings: the number, then three bytes as one 24-bit number, the third first.
QString WordLine(std::size_t w, const std::uint8_t* group) {
    return QStringLiteral("%1: %2%3%4").arg(w).arg(Hex(group[2], 2), Hex(group[1], 2), Hex(group[0], 2));
}

QString Unknown(std::uint8_t b) { return QStringLiteral("Unknown Command: %1").arg(b); }

// The key cipher, in place: byte i with key byte i mod L.
void Encipher(std::uint8_t* frame, const std::string& key) {
    for (std::size_t i = 0; i < kFrameSize; ++i) frame[i] ^= static_cast<std::uint8_t>(key[i % key.size()]);
}

std::uint8_t CheckByte(const std::uint8_t* frame) {
    std::uint8_t check = kCheckSeed;
    for (std::size_t i = 0; i + 1 < kFrameSize; ++i) check ^= frame[i];
    return check;
}

}  // namespace

// ---------------------------------------------------------------- threads

void TForm1::OnGui(const std::function<void()>& change) {
    if (QThread::currentThread() == thread()) {
        change();
        return;
    }
    // A closing window waits for the event thread while running what it posted, so a change
    // already on its way is still carried out; later ones are dropped.
    if (FClosing) return;
    // Through the main-thread queue and a standard lock rather than a blocking queued Qt call:
    // the same wait, but one the thread sanitizer can follow.
    rt::TThread::Synchronize(change);
}

void TForm1::Pause(int ms) {
    std::unique_lock lock(FPauseLock);
    FPauseEnd.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FClosing.load(); });
}

void TForm1::SendCmdByte(std::uint8_t b) {
    std::lock_guard lock(FCmdLock);
    CmdByte = b;
    ser->SendData(&CmdByte, 1);
}

// ---------------------------------------------------------------- the dispatcher

void TForm1::serRxChar(rt::TObject* /*Sender*/) {
    // This call's own bytes: after a reopen from here, a second call may run beside it.
    std::uint8_t RxBuf[256];
    std::int32_t n = ser->InQueueCount();
    if (n > kMaxBatch) n = kMaxBatch;
    // Only the bytes really read count, never what the buffer held before.
    n = ser->ReceiveData(RxBuf, static_cast<std::uint32_t>(std::max(n, 0)));
    for (std::int32_t i = 0; i < n; ++i) {
        const std::uint8_t b = RxBuf[i];
        // Each step looks at the mode as the step before may have left it.
        if (RxMode == kStatusMode) StatusByte(b);
        if (RxMode == kWritingMode) WritingByte(b);
        if (RxMode == kInfoMode) InfoByte(b);
    }
}

void TForm1::Report(const QString& message) {
    OnGui([&] {
        setWindowTitle(message);
        Memo1->Add(message);
    });
}

void TForm1::StatusByte(std::uint8_t b) {
    if (b == kMenu) {
        OnGui([&] {
            menu->setEnabled(true);
            if (autowr->isChecked()) Timer2->start();
        });
        Report(QString::fromUtf8("Menü:"));
        return;
    }
    if (b == kBootloaderStart) {
        bool resetEnabled = false;
        OnGui([&] {
            setWindowTitle(QStringLiteral("Bootloader Starten?"));
            resetEnabled = Button11->isEnabled();
        });
        // The start answer only while an image is loaded and no write runs.
        if (resetEnabled) {
            SendCmdByte(kStartAnswer);
        } else {
            std::lock_guard lock(FCmdLock);
            CmdByte = kStartAnswer;
        }
        Report(QStringLiteral("Bootloader Starten?"));
        return;
    }
    const char* message = StatusMessage(b);
    Report(message ? QString::fromUtf8(message) : Unknown(b));
}

void TForm1::WritingByte(std::uint8_t b) {
    if (b > 130) {
        // A block request: 255 minus the block number.
        const std::int32_t k = 255 - b;
        const std::uint32_t first = static_cast<std::uint32_t>(k) * 0x800;
        const QString message =
            QStringLiteral("%1 Anfrage Block: $%2 -> $%3 ...").arg(b).arg(Hex(first, 4), Hex(first + 0x7FF, 4));
        OnGui([&] {
            pb->setValue(std::min(k, pb->maximum()));  // a larger block shows a full bar
            setWindowTitle(message);
        });
        TransmittBlock(k);
        OnGui([&] { Memo1->Add(message); });
        return;
    }
    if (b == kEndOfWrite) {
        // The caption shows the unknown-command text while the sequence runs.
        OnGui([&] { setWindowTitle(Unknown(b)); });
        EndOfWrite();
        return;
    }
    Report(Unknown(b));
}

void TForm1::EndOfWrite() {
    bool released = false;
    OnGui([&] { released = release->isChecked(); });
    if (released) {
        Pause(kEndPauseMs);
        for (int i = 0; i < 4; ++i) {
            OnGui([&] { pb->setValue(std::min(pb->value() + 2, pb->maximum())); });
            Pause(kEndPauseMs);
        }
    }
    RxMode = kStatusMode;
    Button12Click(this);
    OnGui([&] {
        pb->setValue(pb->maximum());
        Button11->setEnabled(true);
    });
    Pause(kEndPauseMs);
    Report(QStringLiteral("FERTIG!"));
}

void TForm1::InfoByte(std::uint8_t b) {
    OnGui([&] {
        Memo1->AppendChar(QChar(static_cast<char16_t>(rt::Cp1252ToUnicode(b))));
        if (b != kLineFeed) return;
        // The text is complete.
        RxMode = kStatusMode;
        Memo1->ScrollBy(Memo1->Count());
        const QString last = Memo1->Line(Memo1->Count() - 1);
        // The character before the last; a line too short for it leaves the caption.
        if (last.size() >= 2) setWindowTitle(QString(last[last.size() - 2]));
        ReadDigits();
    });
}

// The three configuration digits at the end of the device's text. Each test reads the line
// that is j-th from the end at its moment, so a recognised digit's line moves the later tests
// back onto the device's line.
void TForm1::ReadDigits() {
    static const struct {
        int lineFromEnd;
        int charFromEnd;
        char digit;
        const char* message;
    } kTests[] = {
        {1, 3, '0', "Eingang: SD / ohne"}, {1, 3, '1', "Eingang: DMX"},  {2, 2, '0', "Farben: Chakra"},
        {2, 2, '1', "Farben: Planeten"},   {3, 1, '0', "Mikrofon: ohne"}, {3, 1, '1', "Mikrofon: mit"},
    };
    for (const auto& t : kTests) {
        const int index = Memo1->Count() - t.lineFromEnd;
        if (index < 0) continue;
        const QString line = Memo1->Line(index);
        const qsizetype pos = line.size() - t.charFromEnd;
        // Nothing before the line's start is read: a short line's missing digits are not seen.
        if (pos >= 0 && line[pos] == QChar(t.digit)) Memo1->Add(QString::fromUtf8(t.message));
    }
}

// ---------------------------------------------------------------- the block frame

void TForm1::TransmittBlock(std::int32_t block) {
    const std::string key = KeyText();
    // No frame without a key to encipher it, and none from outside the image area.
    if (key.empty() || block < 0 || static_cast<std::uint64_t>(block + 1) * kBlockBytes > kFileArea) return;
    std::lock_guard lock(FFrameLock);
    const std::uint8_t* from = RomImage + static_cast<std::size_t>(block) * kBlockBytes;
    for (std::size_t w = 0; w < kWords; ++w) std::memcpy(TxFrame + 3 * w, from + 4 * w, 3);
    TxFrame[kFrameSize - 1] = CheckByte(TxFrame);
    Encipher(TxFrame, key);
    ser->SendData(TxFrame, static_cast<std::int32_t>(kFrameSize));
}

void TForm1::Button6Click(QObject* /*Sender*/) {
    const std::string key = KeyText();
    if (key.empty()) return;
    std::lock_guard lock(FFrameLock);
    // After a sent frame this removes the cipher; a second listing applies it again.
    Encipher(TxFrame, key);
    for (std::size_t w = 0; w < kWords; ++w) Memo1->Add(WordLine(w, TxFrame + 3 * w));
    Memo1->Add(QStringLiteral("CRC Device: ") + Hex(TxFrame[kFrameSize - 1], 2));
    Memo1->Add(QStringLiteral("CRC PC: ") + Hex(CheckByte(TxFrame), 2));
}

void TForm1::Button10Click(QObject* /*Sender*/) {
    // The first 3072 image bytes in groups of three, not in the frame's groups of four.
    for (std::size_t w = 0; w < kWords; ++w) Memo1->Add(WordLine(w, RomImage + 3 * w));
}

// ---------------------------------------------------------------- the operator's commands

std::string TForm1::ConfigDigits() {
    std::string digits;
    OnGui([&] {
        for (const TRadioGroup* g : {cfg1, cfg2, cfg3}) digits += static_cast<char>('0' + g->ItemIndex());
    });
    return digits;
}

void TForm1::SendTextCommand(const std::string& command) {
    SendCmdByte(kCommandPrefix);
    Pause(kPrefixPauseMs);
    ser->SendData(command.data(), static_cast<std::int32_t>(command.size()));
}

// How the commands that talk to the device begin: the port reopened, the mode its answer is
// read in, an empty line and the command's title in the log.
void TForm1::Reopen(std::int32_t mode, const char* title) {
    ser->ClosePort();
    ser->OpenPort();
    RxMode = mode;
    OnGui([&] {
        Memo1->Add(QString());
        if (title) Memo1->Add(QString::fromUtf8(title));
    });
}

void TForm1::Button11Click(QObject* /*Sender*/) {
    Reopen(kStatusMode, nullptr);
    SendCmdByte(kCommandPrefix);
    Pause(kPrefixPauseMs);
    for (char c : std::string("RESET\r")) SendCmdByte(static_cast<std::uint8_t>(c));
}

void TForm1::Button12Click(QObject* /*Sender*/) {
    Reopen(kStatusMode, "Übertrage Configuration:");
    SendCmdByte(kCommandPrefix);
    Pause(kPrefixPauseMs);
    const std::string command = "FW_CFG_" + ConfigDigits() + "\r";
    ser->SendData(command.data(), static_cast<std::int32_t>(command.size()));
}

void TForm1::Button13Click(QObject* /*Sender*/) {
    Reopen(kInfoMode, "Geräte Info:");
    SendTextCommand("FW_VER_\r");
}

void TForm1::Button2Click(QObject* /*Sender*/) {
    Button11->setEnabled(false);
    Timer2->stop();  // the timer runs the command once
    RxMode = kWritingMode;
    SendCmdByte(kWriteAll);
    menu->setEnabled(false);
}

void TForm1::Button3Click(QObject* /*Sender*/) {
    RxMode = kReadAllMode;
    SendCmdByte(kReadAll);
    menu->setEnabled(false);
}

void TForm1::Button4Click(QObject* /*Sender*/) {
    RxMode = kWriteBlockMode;
    SendCmdByte(kWriteBlock);
    menu->setEnabled(false);
    SendCmdByte(static_cast<std::uint8_t>(255 - blk->value()));
}

void TForm1::Button5Click(QObject* /*Sender*/) {
    RxMode = kReadBlockMode;
    SendCmdByte(kReadBlock);
    menu->setEnabled(false);
    SendCmdByte(static_cast<std::uint8_t>(255 - blk->value()));
}
