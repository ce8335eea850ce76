// The main window: the operator's whole work happens here. It owns every control, the serial
// component ser, the port selector, the timers and the open-file dialog; the window's unit owns
// the dialogue state and uses the process-wide firmware image.
//
// Threads: every handler runs on the GUI thread. The dispatcher runs on ser's event thread and
// changes controls only through OnGui, which carries the change out on the GUI thread and
// returns once it is done.
#pragma once

#include <QTimer>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Dialogs.h"
#include "HexReader.h"
#include "Object.h"
#include "Serial.h"
#include "ui_Unit1.h"

// The dialogue state of the window's unit.
// The receive mode: how the dispatcher reads the device's bytes (0 status, 1 writing, 2 to 4
// the manual menu commands, 999 device information).
extern std::atomic<std::int32_t> RxMode;
inline constexpr std::int32_t kStatusMode = 0, kWritingMode = 1, kReadAllMode = 2,
                              kWriteBlockMode = 3, kReadBlockMode = 4, kInfoMode = 999;
// The one-byte send buffer of the one-byte commands and the start answer.
extern std::uint8_t CmdByte;
// The last block frame built.
inline constexpr std::size_t kFrameSize = 3073;
extern std::uint8_t TxFrame[kFrameSize];

class TForm1 : public QWidget, public rt::TObject, public THexOutput, public Ui::TForm1 {
    Q_OBJECT
public:
    // The window from its design; FormCreate has run when this returns.
    explicit TForm1(TDialogs& dialogs, QWidget* parent = nullptr);
    // ser and the selector go before the controls they use.
    ~TForm1() override;

    // The components. ser is the form's own; a plain pointer, so the dispatcher still reaches
    // it while its destructor waits for the event thread.
    TSerial* ser = nullptr;
    QTimer* Timer1;
    QTimer* Timer2;
    TOpenDialog od;

    // Handlers of the window.
    void FormCreate(QObject* Sender);
    void FormActivate(QObject* Sender);
    void FormDblClick(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void Button8Click(QObject* Sender);
    // Firmware files: the ROM load (the dialog only when Sender is Button1), the HEX load and
    // the ROM save.
    void Button1Click(QObject* Sender);
    void Button7Click(QObject* Sender);
    void Button9Click(QObject* Sender);
    // The port selector's change: the chosen port is in ser's COMPort already.
    void SerPortComboBox1Change(rt::TObject* Sender);

    // The dispatcher, on ser's event thread: every received byte by the receive mode.
    void serRxChar(rt::TObject* Sender);
    // Builds the frame of a block in TxFrame and sends it in one write.
    void TransmittBlock(std::int32_t block);
    // The operator's commands.
    void Button11Click(QObject* Sender);  // Reset
    void Button12Click(QObject* Sender);  // the configuration ("Übertragen"), also at the end of a write
    void Button13Click(QObject* Sender);  // the device information
    void Button2Click(QObject* Sender);   // Write all, also Timer2's tick
    void Button3Click(QObject* Sender);   // Read all
    void Button4Click(QObject* Sender);   // Write Single Block
    void Button5Click(QObject* Sender);   // Read Single Block
    void Button6Click(QObject* Sender);   // the frame listing
    void Button10Click(QObject* Sender);  // the image listing

    // The status line: the window's caption.
    void SetStatus(const std::string& text) override;
    // A new line at the end of the log.
    void AddLine(const std::string& line) override;
    bool ShowHex() const override;

    // The key text as CP1252 bytes.
    std::string KeyText() const;
    // Runs a command the way the application's default handler does: a file error ends it with
    // its German text in a message box.
    void Guard(const std::function<void()>& command);
    // Carries a change of the controls out on the GUI thread and returns once it is done;
    // directly when called there. Nothing is changed any more once the window is closing.
    void OnGui(const std::function<void()>& change);
    // A pause of the running thread, ended early when the window is closing.
    void Pause(int ms);

protected:
    bool event(QEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void Connect(QAbstractButton* button, void (TForm1::*handler)(QObject*));
    QTimer* NewTimer(const char* name, int intervalMs, void (TForm1::*handler)(QObject*));
    void KeepAnchors();
    // The dispatcher's steps for one byte.
    void StatusByte(std::uint8_t b);
    void WritingByte(std::uint8_t b);
    void InfoByte(std::uint8_t b);
    void EndOfWrite();
    void ReadDigits();
    // Sets the caption to the message and logs it, as one change.
    void Report(const QString& message);
    // A one-byte command through CmdByte; the two threads' sends never mix their bytes.
    void SendCmdByte(std::uint8_t b);
    void Reopen(std::int32_t mode, const char* title);
    // The command prefix, the pause, then the text command in one write.
    void SendTextCommand(const std::string& command);
    // The configuration digits of the three radio groups.
    std::string ConfigDigits();

    std::mutex FCmdLock;    // CmdByte from the GUI thread and the event thread
    std::mutex FFrameLock;  // TxFrame between the dispatcher and the frame listing
    mutable std::mutex FKeyLock;
    std::string FKey;       // the key text as CP1252, kept for the event thread
    std::atomic<bool> FClosing{false};
    std::mutex FPauseLock;
    std::condition_variable FPauseEnd;

    TDialogs& FDialogs;
    bool FActivated = false;
    bool FShiftDoubleClick = false;  // Shift was held at the double click being handled
    struct TAnchored {
        QWidget* widget;
        QRect design;
        bool widen;     // anchored left and right
        bool heighten;  // anchored top and bottom
        bool moveDown;  // anchored to the bottom only
    };
    std::vector<TAnchored> FAnchored;
};
