// The serial port component and the port manager.
//
// TCOMManager (one instance, COMManager) is the process-wide registry of the machine's COM
// ports and of the components that hold them open. It follows ports arriving and leaving
// through a hidden window (TMsgWindow) and tells its listeners when the list was rebuilt.
// TCustomSerial is the base of every serial component; TSerial adds the line settings, the
// event handlers, the transfer operation slots and the settings record and text.
//
// Threading contract:
//  - The GUI thread creates and destroys COMManager and every component, runs the device-change
//    handling (HandleDeviceChange, RescanPorts, COMRemoved, listeners, OnPortArrival and
//    OnPortRemoval) and scans. Listeners are added, removed and called on the GUI thread only.
//  - UpdatePortOwner may come from any thread (a component closed and reopened from its event
//    thread); the port list is guarded by a mutex for it, and no lock is held while the manager
//    calls listeners, events or COMRemoved.
//  - COMPort, the active flag and the event handlers may be read on another thread while the
//    GUI thread writes them.
//  - COMManager exists before the first component is created and is destroyed after the last;
//    a component that outlives it no longer reaches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommPlatform.h"
#include "Method.h"
#include "Object.h"
#include "Thread.h"

#include <condition_variable>

class TCustomSerial;
class TSerial;

// ---------------------------------------------------------------- port manager

struct TPortRecord {
    std::int32_t PortNo = 0;
    TCustomSerial* PortOwner = nullptr;  // the component that has this port open, or none
};

// One entry of the port list: "COM" and the number, and its record.
struct TPortEntry {
    std::string Name;
    TPortRecord Record;
};

// The hidden window's message receiver. lParam is pointer-sized: it carries a pointer.
using TMsgCallback = void (*)(void* userData, std::uint16_t msg, std::uint16_t wParam,
                              std::intptr_t lParam);

// The hidden window that receives the system's device-change broadcasts.
class TMsgWindow {
public:
    TMsgWindow(const std::string& className, TMsgCallback callback, void* userData);
    ~TMsgWindow();
    TMsgWindow(const TMsgWindow&) = delete;
    TMsgWindow& operator=(const TMsgWindow&) = delete;

    comm::TWindowHandle WndHandle() const { return FWndHandle; }
    const char* ClassName() const { return FClassName; }

private:
    friend std::intptr_t MsgWindowProc(comm::TWindowHandle, std::uint32_t, std::uintptr_t,
                                       std::intptr_t);

    char FClassName[256] = {};
    comm::TWindowHandle FWndHandle = 0;
    TMsgCallback FCallback;
    void* FUserData;
    bool FRegistered = false;
};

// The window procedure of every TMsgWindow: passes each message to the window's callback.
std::intptr_t MsgWindowProc(comm::TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                            std::intptr_t lParam);

class TCOMManager : public rt::TObject {
public:
    static constexpr std::int32_t kMaxPort = 99;

    TCOMManager();
    ~TCOMManager() override;

    // Probes the port numbers above those probed so far up to highest (at most 99), appends the
    // ports found and notifies the listeners. Probes nothing when there is nothing new.
    void ScanPorts(std::int32_t highest);
    // Probes every port number up to the highest scanned afresh and carries the owners over;
    // the owner of a vanished port gets COMRemoved. True when the set of ports changed.
    bool RescanPorts();
    void HandleDeviceChange(std::uint16_t msg, std::uint16_t wParam, std::intptr_t lParam);

    bool PortExists(std::int32_t portNo) const;
    std::int32_t IndexOfPort(std::int32_t portNo) const;
    // Sets the entry of the component's port (OwnerPortNo) to name the component while it is
    // active, and none when it is not.
    void UpdatePortOwner(TCustomSerial* component);
    // Clears every entry that names the component (it is being destroyed).
    void ForgetOwner(TCustomSerial* component);

    bool HasListener(const rt::TSimpleMethod& listener) const;
    void AddListener(const rt::TSimpleMethod& listener);
    void RemoveListener(const rt::TSimpleMethod& listener);

    rt::TNotifyEvent OnPortArrival;
    rt::TNotifyEvent OnPortRemoval;

    // Read access to the port list.
    std::int32_t PortCount() const;
    std::string PortName(std::int32_t index) const;
    TPortRecord PortRecord(std::int32_t index) const;
    std::vector<TPortEntry> Ports() const;

    std::int32_t MaxScanned() const { return FMaxScanned; }
    const TMsgWindow* MsgWindow() const { return FMsgWindow.get(); }

private:
    static bool Probe(std::int32_t portNo);
    std::int32_t IndexOfPortLocked(std::int32_t portNo) const;
    void NotifyListeners();

    std::int32_t FMaxScanned = 0;
    mutable std::mutex FLock;  // guards FPorts and FOldPorts
    std::vector<TPortEntry> FPorts;
    // During a rebuild: the list being replaced, kept current by UpdatePortOwner so that the
    // owners carried over are the owners of the moment.
    std::vector<TPortEntry>* FOldPorts = nullptr;
    std::list<rt::TSimpleMethod> FListeners;
    std::unique_ptr<TMsgWindow> FMsgWindow;
};

// The one port manager. Set by TCOMManagerInstance, none before and after.
extern TCOMManager* COMManager;

// Creates COMManager for its lifetime: the program's start and end order in one object.
class TCOMManagerInstance {
public:
    TCOMManagerInstance();
    ~TCOMManagerInstance();
    TCOMManagerInstance(const TCOMManagerInstance&) = delete;
    TCOMManagerInstance& operator=(const TCOMManagerInstance&) = delete;
};

// ---------------------------------------------------------------- serial component

enum class TDataBits : std::uint8_t { db_4, db_5, db_6, db_7, db_8 };
enum class TParityBit : std::uint8_t { none, odd, even, mark, space };
enum class TStopBits : std::uint8_t { sb_1, sb_15, sb_2 };

class TCustomSerial : public rt::TComponent {
public:
    explicit TCustomSerial(rt::TComponent* owner);
    ~TCustomSerial() override;

    bool Active() const { return FActive.load(); }

    std::int32_t COMPort() const { return FCOMPort.load(); }
    // 0, or a port number the port list holds; anything else is ignored.
    void SetCOMPort(std::int32_t value);
    rt::TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(rt::TThreadPriority value) { FThreadPriority = value; }
    rt::TNotifyEvent OnCOMRemoved() const;
    void SetOnCOMRemoved(const rt::TNotifyEvent& value);

    std::int32_t BufSizeTrm() const { return FBufSizeTrm; }
    std::int32_t BufSizeRec() const { return FBufSizeRec; }

    // COMPort := the port number of the list entry at index; nothing when index is outside.
    void SetPortIndex(std::int32_t index);

    // The port manager's notice that the port has disappeared.
    virtual void COMRemoved();

    // The port number whose list entry names this component: the port it opened while that is
    // open or being closed, else COMPort. So the close report clears the entry of the port
    // that was opened, even when COMPort was changed meanwhile.
    std::int32_t OwnerPortNo() const {
        const std::int32_t opened = FOpenedPort.load();
        return opened ? opened : COMPort();
    }

protected:
    std::atomic<std::int32_t> FOpenedPort{0};
    std::atomic<bool> FActive{false};
    std::atomic<std::int32_t> FCOMPort{0};
    comm::THandle FHandle;
    std::int32_t FBufSizeTrm = 16384;
    std::int32_t FBufSizeRec = 16384;
    rt::TThreadPriority FThreadPriority = rt::TThreadPriority::tpIdle;
    comm::TOverlapped FOverlapped;
    comm::TDcb FDcb;
    mutable std::mutex FEventLock;  // guards the handlers, which the event thread reads

private:
    rt::TNotifyEvent FOnCOMRemoved;
};

// The line settings of a TSerial as one record.
struct TSerialSettings {
    std::uint8_t Valid = 0;
    std::int32_t COMPort = 0;
    std::int32_t Baudrate = 0;
    TDataBits DataBits = TDataBits::db_4;
    TParityBit ParityBit = TParityBit::none;
    TStopBits StopBits = TStopBits::sb_1;
    std::int32_t BufSizeTrm = 0;
    std::int32_t BufSizeRec = 0;
    bool HandshakeRtsCts = false;
    bool HandshakeDtrDsr = false;
    bool HandshakeXOnXOff = false;
    bool RTSActive = false;
    bool DTRActive = false;
    char XOnChar = 0;
    char XOffChar = 0;
    std::int32_t XOffLimit = 0;
    std::int32_t XOnLimit = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EventChar = 0;
    bool ContinueOnXOff = false;
    bool UseErrorChar = false;
    bool EliminateNullChar = false;
    bool AbortOnError = false;
    std::int32_t RecTimeOut = 0;
    std::int32_t TrmTimeOut = 0;
};

// Which variant the transfer slots call.
enum class TTransferVariant : std::uint8_t { Closed, Immediate, Overlapped };

// A transfer operation slot: callable like the operation, it calls the variant bound for the
// component's current state through the component's own virtual functions, so a subclass's
// override is honoured.
template <class Sig>
class TTransferSlot;

template <class R, class... A>
class TTransferSlot<R(A...)> {
public:
    using TFn = R (TSerial::*)(A...);
    TTransferSlot(TSerial* owner, TFn closed, TFn immediate, TFn overlapped)
        : FOwner(owner), FFns{closed, immediate, overlapped} {}
    R operator()(A... args) const;
    TFn Bound() const;

private:
    TSerial* FOwner;
    TFn FFns[3];
};

// What a component and its event threads share: the component while it exists, and how many
// of its threads still run. The component's destruction waits for them (running the main
// thread's queued work meanwhile); a thread whose handler destroyed the component finds it gone.
struct TSerThreadLink {
    std::mutex Mutex;
    std::condition_variable Ended;
    TSerial* Component = nullptr;
    int Running = 0;
};

// The event thread: waits for line events of the component's port and delivers them to its
// handlers, on itself or through Synchronize on the main thread.
class TSerThread : public rt::TThread {
public:
    explicit TSerThread(std::shared_ptr<TSerThreadLink> link);
    ~TSerThread() override;

    std::uint32_t EventMask = 0;  // the bits the last wait returned
    TSerial* SerialComponent;

protected:
    void Execute() override;
    void DispatchEvents();

private:
    TSerial* Component() const;
    std::shared_ptr<TSerThreadLink> FLink;
};

class TSerial : public TCustomSerial {
public:
    explicit TSerial(rt::TComponent* owner);
    ~TSerial() override;

    // true opens, false closes; the routines are called directly, bypassing overrides of
    // OpenPort and ClosePort.
    void SetActive(bool value);
    // Opens COMPort with the whole configuration; true when this call opened it.
    virtual bool OpenPort();
    virtual void ClosePort();
    void COMRemoved() override;

    // Bytes waiting in the receive queue; 0 when closed. Also clears the port's error state.
    std::int32_t InQueueCount();
    void GetQueueCounts(std::int32_t& inQueue, std::int32_t& outQueue);

    comm::THandle Handle() const;
    const comm::TDcb& Dcb() const { return FDcb; }
    // The event mask of the handlers assigned now.
    std::uint32_t EventMask() const;

    // Properties in publication order. Writes never touch an open port; they take effect at
    // the next open.
    std::int32_t Baudrate() const { return FBaudrate; }
    // Limited to 50..921600, then rounded to 9216000 div (9216000 div value).
    void SetBaudrate(std::int32_t value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits value) { FDataBits = value; }
    TParityBit ParityBit() const { return FParityBit; }
    void SetParityBit(TParityBit value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits value) { FStopBits = value; }
    // At least 4096.
    void SetBufSizeTrm(std::int32_t value);
    // At least 4096; then XOffLimit at most BufSizeRec, then XOnLimit below XOffLimit.
    void SetBufSizeRec(std::int32_t value);
    bool HandshakeRtsCts() const { return FHandshakeRtsCts; }
    void SetHandshakeRtsCts(bool value) { FHandshakeRtsCts = value; }
    bool HandshakeDtrDsr() const { return FHandshakeDtrDsr; }
    void SetHandshakeDtrDsr(bool value) { FHandshakeDtrDsr = value; }
    bool HandshakeXOnXOff() const { return FHandshakeXOnXOff; }
    void SetHandshakeXOnXOff(bool value) { FHandshakeXOnXOff = value; }
    bool RTSActive() const { return FRTSActive; }
    void SetRTSActive(bool value) { FRTSActive = value; }
    bool DTRActive() const { return FDTRActive; }
    void SetDTRActive(bool value) { FDTRActive = value; }
    char XOnChar() const { return FXOnChar; }
    void SetXOnChar(char value) { FXOnChar = value; }
    char XOffChar() const { return FXOffChar; }
    void SetXOffChar(char value) { FXOffChar = value; }
    std::int32_t XOffLimit() const { return FXOffLimit; }
    // Above XOnLimit, then at most BufSizeRec.
    void SetXOffLimit(std::int32_t value);
    std::int32_t XOnLimit() const { return FXOnLimit; }
    // Below XOffLimit, then at least 0.
    void SetXOnLimit(std::int32_t value);
    char ErrorChar() const { return FErrorChar; }
    void SetErrorChar(char value) { FErrorChar = value; }
    char EofChar() const { return FEofChar; }
    void SetEofChar(char value) { FEofChar = value; }
    char EventChar() const { return FEventChar; }
    void SetEventChar(char value) { FEventChar = value; }
    std::int32_t DataSize() const { return FDataSize.load(); }
    // 0..BufSizeRec at the time of the write.
    void SetDataSize(std::int32_t value);
    bool ParityCheck() const { return FParityCheck; }
    bool ContinueOnXOff() const { return FContinueOnXOff; }
    void SetContinueOnXOff(bool value) { FContinueOnXOff = value; }
    bool UseErrorChar() const { return FUseErrorChar; }
    void SetUseErrorChar(bool value) { FUseErrorChar = value; }
    bool EliminateNullChar() const { return FEliminateNullChar; }
    void SetEliminateNullChar(bool value) { FEliminateNullChar = value; }
    bool AbortOnError() const { return FAbortOnError; }
    void SetAbortOnError(bool value) { FAbortOnError = value; }
    std::int32_t RecTimeOut() const { return FRecTimeOut; }
    void SetRecTimeOut(std::int32_t value) { FRecTimeOut = value < 0 ? 0 : value; }
    std::int32_t TrmTimeOut() const { return FTrmTimeOut; }
    void SetTrmTimeOut(std::int32_t value) { FTrmTimeOut = value < 0 ? 0 : value; }
    bool SyncEventHandling() const { return FSyncEventHandling.load(); }
    void SetSyncEventHandling(bool value) { FSyncEventHandling = value; }
    bool EnableEvents() const { return FEnableEvents.load(); }
    void SetEnableEvents(bool value) { FEnableEvents = value; }
    bool SyncWait() const { return FSyncWait; }
    void SetSyncWait(bool value) { FSyncWait = value; }

    // The event handlers, in event order.
    enum TEvent { evBreak, evCts, evDsr, evError, evRing, evDcd, evRxChar, evEventChar, evTxEmpty, evData, kEventCount };
    rt::TNotifyEvent Handler(TEvent e) const;
    void SetHandler(TEvent e, const rt::TNotifyEvent& handler);
    rt::TNotifyEvent OnBreak() const { return Handler(evBreak); }
    void SetOnBreak(const rt::TNotifyEvent& h) { SetHandler(evBreak, h); }
    rt::TNotifyEvent OnCts() const { return Handler(evCts); }
    void SetOnCts(const rt::TNotifyEvent& h) { SetHandler(evCts, h); }
    rt::TNotifyEvent OnDsr() const { return Handler(evDsr); }
    void SetOnDsr(const rt::TNotifyEvent& h) { SetHandler(evDsr, h); }
    rt::TNotifyEvent OnError() const { return Handler(evError); }
    void SetOnError(const rt::TNotifyEvent& h) { SetHandler(evError, h); }
    rt::TNotifyEvent OnRing() const { return Handler(evRing); }
    void SetOnRing(const rt::TNotifyEvent& h) { SetHandler(evRing, h); }
    rt::TNotifyEvent OnDcd() const { return Handler(evDcd); }
    void SetOnDcd(const rt::TNotifyEvent& h) { SetHandler(evDcd, h); }
    rt::TNotifyEvent OnRxChar() const { return Handler(evRxChar); }
    void SetOnRxChar(const rt::TNotifyEvent& h) { SetHandler(evRxChar, h); }
    rt::TNotifyEvent OnEventChar() const { return Handler(evEventChar); }
    void SetOnEventChar(const rt::TNotifyEvent& h) { SetHandler(evEventChar, h); }
    rt::TNotifyEvent OnTxEmpty() const { return Handler(evTxEmpty); }
    void SetOnTxEmpty(const rt::TNotifyEvent& h) { SetHandler(evTxEmpty, h); }
    rt::TNotifyEvent OnData() const { return Handler(evData); }
    void SetOnData(const rt::TNotifyEvent& h) { SetHandler(evData, h); }

    bool IsWinNT() const { return FIsWinNT; }
    TTransferVariant Variant() const { return FVariant.load(); }

    // The transfer operation slots: ser->SendData(buf, n) calls the variant of the state.
    TTransferSlot<std::string()> ReceiveString;
    TTransferSlot<std::int32_t(const void*, std::int32_t)> SendData;
    TTransferSlot<std::int32_t(void*, std::uint32_t)> ReceiveData;
    TTransferSlot<std::int32_t(const std::string&)> SendString;

    // The variants, in slot order. The open ones are serialized: one transfer at a time,
    // also against closing the handle.
    virtual std::string ReceiveStringClosed();
    virtual std::string ReceiveStringImmediate();
    virtual std::string ReceiveStringOverlapped();
    virtual std::int32_t SendDataClosed(const void* buffer, std::int32_t count);
    virtual std::int32_t SendDataImmediate(const void* buffer, std::int32_t count);
    virtual std::int32_t SendDataOverlapped(const void* buffer, std::int32_t count);
    virtual std::int32_t ReceiveDataClosed(void* buffer, std::uint32_t count);
    virtual std::int32_t ReceiveDataImmediate(void* buffer, std::uint32_t count);
    virtual std::int32_t ReceiveDataOverlapped(void* buffer, std::uint32_t count);
    virtual std::int32_t SendStringClosed(const std::string& text);
    virtual std::int32_t SendStringImmediate(const std::string& text);
    virtual std::int32_t SendStringOverlapped(const std::string& text);

    // The settings record and its 95-character text.
    virtual void SetSettings(TSerialSettings settings);
    virtual void GetSettings(TSerialSettings& settings);
    virtual std::string SettingsToText(TSerialSettings settings);
    virtual void TextToSettings(const std::string& text, TSerialSettings& settings);

protected:
    void BindSlots(TTransferVariant variant) { FVariant.store(variant); }

private:
    template <class Sig>
    friend class TTransferSlot;
    friend class TSerThread;

    bool DoOpen();
    void DoClose();
    // Drops the handle once no transfer uses it any more; the platform call has ended them.
    void DropHandle();
    void WaitForThreads();
    std::int32_t Transfer(bool write, void* buffer, std::uint32_t count, bool overlapped);
    std::string ReceiveStringVariant(bool overlapped);

    mutable std::mutex FHandleLock;  // guards FHandle
    std::mutex FTransferLock;        // one transfer at a time
    std::mutex FStateLock;           // one open, close or removal at a time
    bool FDestroying = false;        // guarded by FStateLock: no open any more
    rt::TTerminateFlag FThreadFlag;  // the current event thread's, none without one
    std::shared_ptr<TSerThreadLink> FLink;

    bool FIsWinNT = false;
    std::int32_t FBaudrate = 9600;
    TDataBits FDataBits = TDataBits::db_8;
    TParityBit FParityBit = TParityBit::none;
    TStopBits FStopBits = TStopBits::sb_1;
    bool FHandshakeRtsCts = false;
    bool FHandshakeDtrDsr = false;
    bool FHandshakeXOnXOff = false;
    bool FRTSActive = false;
    bool FDTRActive = false;
    char FXOnChar = 0x11;
    char FXOffChar = 0x13;
    std::int32_t FXOffLimit = 8192;
    std::int32_t FXOnLimit = 512;
    char FErrorChar = '?';
    char FEofChar = 0x1A;
    char FEventChar = 0x0D;
    std::atomic<std::int32_t> FDataSize{0};
    bool FParityCheck = false;
    bool FContinueOnXOff = false;
    bool FUseErrorChar = false;
    bool FEliminateNullChar = false;
    bool FAbortOnError = false;
    std::int32_t FRecTimeOut = 0;
    std::int32_t FTrmTimeOut = 0;
    std::atomic<bool> FSyncEventHandling{false};
    std::atomic<bool> FEnableEvents{true};
    bool FSyncWait = true;
    rt::TNotifyEvent FHandlers[kEventCount];
    std::atomic<TTransferVariant> FVariant{TTransferVariant::Closed};
};

template <class R, class... A>
R TTransferSlot<R(A...)>::operator()(A... args) const {
    return (FOwner->*FFns[static_cast<int>(FOwner->FVariant.load())])(args...);
}

template <class R, class... A>
typename TTransferSlot<R(A...)>::TFn TTransferSlot<R(A...)>::Bound() const {
    return FFns[static_cast<int>(FOwner->FVariant.load())];
}

// The pure rules, shared by the component and its tests.
std::int32_t RoundBaudrate(std::int32_t value);
// "COM5" for 1 to 9, "\\.\COM12" from 10 up.
std::string DeviceName(std::int32_t port);
// The DCB members the open routine sets from the properties; the rest stays as dcb holds it.
void ApplySettingsToDcb(const TSerial& ser, comm::TDcb& dcb);
// The time-outs for RecTimeOut and TrmTimeOut at a baud rate.
comm::TCommTimeouts CommTimeoutsFor(std::uint32_t baudRate, std::int32_t recTimeOut,
                                    std::int32_t trmTimeOut);
