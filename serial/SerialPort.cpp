// Opening, configuring and closing the port, the transfers and the event thread.

#include <algorithm>
#include <chrono>

#include "MainThreadQueue.h"
#include "Serial.h"

namespace {

constexpr const char* kBaseDcb = "baud=9600 parity=N data=8 stop=1";
// The link of the event thread whose dispatch runs on this thread: the event thread itself, or
// the main thread through Synchronize.
thread_local const TSerThreadLink* tThreadLink = nullptr;

}  // namespace

// ---------------------------------------------------------------- pure rules

std::string DeviceName(std::int32_t port) {
    const std::string plain = "COM" + std::to_string(port);
    return port >= 10 ? "\\\\.\\" + plain : plain;
}

void ApplySettingsToDcb(const TSerial& s, comm::TDcb& dcb) {
    using namespace comm;
    const std::uint32_t dtr = s.HandshakeDtrDsr() ? DTR_CONTROL_HANDSHAKE
                              : s.DTRActive()     ? DTR_CONTROL_ENABLE
                                                  : DTR_CONTROL_DISABLE;
    const std::uint32_t rts = s.HandshakeRtsCts() ? RTS_CONTROL_HANDSHAKE
                              : s.RTSActive()     ? RTS_CONTROL_ENABLE
                                                  : RTS_CONTROL_DISABLE;
    // The whole flag word is rebuilt: nothing of what BuildCommDCB set survives.
    dcb.DCBlength = 28;
    dcb.BaudRate = static_cast<std::uint32_t>(s.Baudrate());
    dcb.Flags = DCB_fBinary | (s.ParityCheck() ? DCB_fParity : 0) |
                (s.HandshakeRtsCts() ? DCB_fOutxCtsFlow : 0) |
                (s.HandshakeDtrDsr() ? DCB_fOutxDsrFlow : 0) | (dtr << DCB_fDtrControlShift) |
                (s.ContinueOnXOff() ? DCB_fTXContinueOnXoff : 0) |
                (s.HandshakeXOnXOff() ? DCB_fOutX | DCB_fInX : 0) |
                (s.UseErrorChar() ? DCB_fErrorChar : 0) | (s.EliminateNullChar() ? DCB_fNull : 0) |
                (rts << DCB_fRtsControlShift) | (s.AbortOnError() ? DCB_fAbortOnError : 0);
    dcb.XonLim = static_cast<std::uint16_t>(s.XOnLimit());
    dcb.XoffLim = static_cast<std::uint16_t>(s.XOffLimit());
    dcb.ByteSize = static_cast<std::uint8_t>(static_cast<int>(s.DataBits()) + 4);
    dcb.Parity = static_cast<std::uint8_t>(s.ParityBit());
    dcb.StopBits = static_cast<std::uint8_t>(s.StopBits());
    dcb.XonChar = s.XOnChar();
    dcb.XoffChar = s.XOffChar();
    dcb.ErrorChar = s.ErrorChar();
    dcb.EofChar = s.EofChar();
    dcb.EvtChar = s.EventChar();
}

comm::TCommTimeouts CommTimeoutsFor(std::uint32_t baudRate, std::int32_t recTimeOut,
                                    std::int32_t trmTimeOut) {
    // Ten bit periods, at least 1 ms.
    std::uint32_t charTime = baudRate ? 10000 / baudRate : 0;
    if (charTime == 0) charTime = 1;
    comm::TCommTimeouts t;
    if (recTimeOut > 0) {
        t.ReadIntervalTimeout = static_cast<std::uint32_t>(recTimeOut);
        t.ReadTotalTimeoutMultiplier = charTime;
        t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(recTimeOut);
    }
    if (trmTimeOut > 0) {
        t.WriteTotalTimeoutMultiplier = charTime;
        t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(trmTimeOut);
    }
    return t;
}

std::uint32_t TSerial::EventMask() const {
    using namespace comm;
    constexpr std::uint32_t kBits[kEventCount] = {EV_BREAK,  EV_CTS,    EV_DSR,     EV_ERR,
                                                  EV_RING,   EV_RLSD,   EV_RXCHAR,  EV_RXFLAG,
                                                  EV_TXEMPTY, EV_RXCHAR};  // OnData waits for EV_RXCHAR
    std::lock_guard lock(FEventLock);
    std::uint32_t mask = 0;
    for (int e = 0; e < kEventCount; ++e)
        if (FHandlers[e]) mask |= kBits[e];
    return mask;
}

// ---------------------------------------------------------------- open and close

comm::THandle TSerial::Handle() const {
    std::lock_guard lock(FHandleLock);
    return FHandle;
}

void TSerial::SetActive(bool value) {
    if (value && !Active()) DoOpen();
    else if (!value && Active()) DoClose();
}

bool TSerial::OpenPort() { return DoOpen(); }
void TSerial::ClosePort() { DoClose(); }

bool TSerial::DoOpen() {
    std::lock_guard state(FStateLock);
    const std::int32_t port = COMPort();
    if (Active() || port <= 0 || FDestroying) return false;

    comm::TCommPlatform& p = comm::Platform();
    comm::THandle h = p.CreateFile(DeviceName(port).c_str());
    std::uint32_t mask = 0;
    const auto fail = [&] {
        p.CloseHandle(h);
        h = nullptr;
    };
    if (h) {
        FOverlapped = {};
        if (!p.SetupComm(h, static_cast<std::uint32_t>(FBufSizeRec), static_cast<std::uint32_t>(FBufSizeTrm))) {
            fail();
        } else {
            FDcb.DCBlength = 28;
            if (!p.BuildCommDCB(kBaseDcb, FDcb)) {
                fail();
            } else {
                ApplySettingsToDcb(*this, FDcb);
                if (!p.SetCommState(h, FDcb)) fail();
            }
        }
    }
    if (h && (RecTimeOut() > 0 || TrmTimeOut() > 0))
        p.SetCommTimeouts(h, CommTimeoutsFor(FDcb.BaudRate, RecTimeOut(), TrmTimeOut()));  // result not looked at
    if (h) {
        mask = EventMask();
        if (!p.SetCommMask(h, mask)) fail();
    }

    FThreadFlag = nullptr;
    {
        std::lock_guard lock(FHandleLock);
        FHandle = h;
    }
    BindSlots(!h ? TTransferVariant::Closed
                 : FIsWinNT ? TTransferVariant::Overlapped : TTransferVariant::Immediate);
    FActive = h != nullptr;
    // The thread starts once the component is open, so its first event never meets the
    // closed slots.
    if (h && mask != 0) {
        auto* thread = new TSerThread(FLink);
        FThreadFlag = thread->TerminateFlag();
        thread->Start();
    }
    if (h) {
        FOpenedPort = port;
        if (COMManager) COMManager->UpdatePortOwner(this);
    }
    return h != nullptr;
}

void TSerial::DropHandle() {
    std::lock_guard transfer(FTransferLock);
    std::lock_guard lock(FHandleLock);
    FHandle = nullptr;
}

void TSerial::DoClose() {
    std::lock_guard state(FStateLock);
    if (!Active()) return;
    if (FThreadFlag) FThreadFlag->store(true);
    comm::TCommPlatform& p = comm::Platform();
    const comm::THandle h = Handle();
    p.SetCommMask(h, 0);  // ends the event thread's wait
    p.CloseHandle(h);     // ends a transfer in progress on another thread
    DropHandle();
    BindSlots(TTransferVariant::Closed);
    FActive = false;
    if (COMManager) COMManager->UpdatePortOwner(this);
    FOpenedPort = 0;
}

void TSerial::COMRemoved() {
    {
        std::lock_guard state(FStateLock);
        if (FThreadFlag) FThreadFlag->store(true);
        // The device is gone: the handle is let go of without touching it.
        if (const comm::THandle h = Handle()) comm::Platform().ReleaseHandle(h);
        DropHandle();
        BindSlots(TTransferVariant::Closed);
        FOpenedPort = 0;
        // Closed before the lock goes, so that a close or open from the event thread never
        // meets an active component without a handle.
        FActive = false;
    }
    TCustomSerial::COMRemoved();
}

TSerial::~TSerial() {
    {
        // A handler still running on an event thread may open the port again; the close
        // below must be the last.
        std::lock_guard state(FStateLock);
        FDestroying = true;
    }
    DoClose();
    WaitForThreads();
}

void TSerial::WaitForThreads() {
    std::unique_lock lock(FLink->Mutex);
    FLink->Component = nullptr;
    // A handler dispatched for one of our event threads, on it or on the main thread, may be
    // destroying us: that thread is not waited for, it finds the component gone when the
    // handler returns.
    const int own = tThreadLink == FLink.get() ? 1 : 0;
    while (FLink->Running > own) {
        // A thread still delivering may wait for the main thread (Synchronize, or a handler
        // that changes controls): keep running the main thread's work while waiting.
        rt::TMainThreadQueue* queue = rt::MainThreadQueue();
        if (queue && queue->IsMainThread()) {
            lock.unlock();
            queue->RunPending();
            lock.lock();
        }
        FLink->Ended.wait_for(lock, std::chrono::milliseconds(5));
    }
}

// ---------------------------------------------------------------- transfers

void TSerial::GetQueueCounts(std::int32_t& inQueue, std::int32_t& outQueue) {
    inQueue = outQueue = 0;
    if (!Active()) return;
    std::uint32_t errors = 0;
    comm::TComStat stat;
    if (comm::Platform().ClearCommError(Handle(), errors, stat)) {
        inQueue = static_cast<std::int32_t>(stat.cbInQue);
        outQueue = static_cast<std::int32_t>(stat.cbOutQue);
    }
}

std::int32_t TSerial::InQueueCount() {
    std::int32_t in = 0, out = 0;
    GetQueueCounts(in, out);
    return in;
}

std::int32_t TSerial::Transfer(bool write, void* buffer, std::uint32_t count, bool overlapped) {
    std::lock_guard transfer(FTransferLock);
    comm::TCommPlatform& p = comm::Platform();
    const comm::THandle h = Handle();
    std::uint32_t done = 0;
    const bool ok = write ? p.WriteFile(h, buffer, count, done, &FOverlapped)
                          : p.ReadFile(h, buffer, count, done, &FOverlapped);
    // The Immediate variants never wait, yet a pending transfer must not go on with the
    // caller's buffer after the call: it ends with what is done by then.
    if (!ok && p.GetLastError() == comm::ERROR_IO_PENDING)
        p.GetOverlappedResult(h, &FOverlapped, done, overlapped && SyncWait());
    return static_cast<std::int32_t>(done);
}

std::string TSerial::ReceiveStringClosed() { return {}; }
std::string TSerial::ReceiveStringImmediate() { return ReceiveStringVariant(false); }
std::string TSerial::ReceiveStringOverlapped() { return ReceiveStringVariant(true); }

std::string TSerial::ReceiveStringVariant(bool overlapped) {
    const std::int32_t k = InQueueCount();
    if (k <= 0) return {};
    std::string text(static_cast<std::size_t>(k), '\0');
    const std::int32_t done = Transfer(false, text.data(), static_cast<std::uint32_t>(k), overlapped);
    // Only the bytes read: a short read never hands out what the text held before.
    text.resize(static_cast<std::size_t>(std::clamp(done, 0, k)));
    return text;
}

std::int32_t TSerial::SendDataClosed(const void*, std::int32_t) { return 0; }
std::int32_t TSerial::SendDataImmediate(const void* buffer, std::int32_t count) {
    return Transfer(true, const_cast<void*>(buffer), static_cast<std::uint32_t>(std::max(count, 0)), false);
}
std::int32_t TSerial::SendDataOverlapped(const void* buffer, std::int32_t count) {
    return Transfer(true, const_cast<void*>(buffer), static_cast<std::uint32_t>(std::max(count, 0)), true);
}

std::int32_t TSerial::ReceiveDataClosed(void*, std::uint32_t) { return 0; }
std::int32_t TSerial::ReceiveDataImmediate(void* buffer, std::uint32_t count) {
    if (count == 0) return 0;
    const std::uint32_t request =
        SyncWait() ? count : std::min(count, static_cast<std::uint32_t>(InQueueCount()));
    return Transfer(false, buffer, request, false);
}
std::int32_t TSerial::ReceiveDataOverlapped(void* buffer, std::uint32_t count) {
    if (count == 0) return 0;
    const std::uint32_t request =
        SyncWait() ? count : std::min(count, static_cast<std::uint32_t>(InQueueCount()));
    return Transfer(false, buffer, request, true);
}

std::int32_t TSerial::SendStringClosed(const std::string&) { return 0; }
std::int32_t TSerial::SendStringImmediate(const std::string& text) {
    return Transfer(true, const_cast<char*>(text.data()), static_cast<std::uint32_t>(text.size()), false);
}
std::int32_t TSerial::SendStringOverlapped(const std::string& text) {
    return Transfer(true, const_cast<char*>(text.data()), static_cast<std::uint32_t>(text.size()), true);
}

// ---------------------------------------------------------------- event thread

TSerThread::TSerThread(std::shared_ptr<TSerThreadLink> link) : FLink(std::move(link)) {
    std::lock_guard lock(FLink->Mutex);
    SerialComponent = FLink->Component;
    ++FLink->Running;
    SetPriority(SerialComponent->ThreadPriority());
    SetFreeOnTerminate(true);
}

TSerThread::~TSerThread() {
    std::lock_guard lock(FLink->Mutex);
    --FLink->Running;
    FLink->Ended.notify_all();
}

TSerial* TSerThread::Component() const {
    std::lock_guard lock(FLink->Mutex);
    return FLink->Component;
}

void TSerThread::Execute() {
    comm::TCommPlatform& p = comm::Platform();
    while (!Terminated()) {
        TSerial* ser = Component();
        if (!ser) break;
        const comm::THandle h = ser->Handle();
        if (!h) break;  // closed: nothing will ever arrive
        // A close (which sets the flag first) and a new open may have come between the loop's
        // test and reading the handle: this thread must not wait on the new open's handle.
        if (Terminated()) break;
        std::uint32_t events = 0;
        const bool ok = p.WaitCommEvent(h, events);
        // The wait a close or a removal ended delivers nothing.
        if (Terminated()) break;
        if (!ok) continue;  // retried at once: a wait on a dead handle blocks until it is closed
        EventMask = events;
        if (ser->SyncEventHandling()) Synchronize([this] { DispatchEvents(); });
        else DispatchEvents();
    }
}

void TSerThread::DispatchEvents() {
    using namespace comm;
    struct TOrder {
        std::uint32_t bit;
        TSerial::TEvent event;
    };
    static constexpr TOrder kOrder[] = {
        {EV_BREAK, TSerial::evBreak}, {EV_CTS, TSerial::evCts},       {EV_DSR, TSerial::evDsr},
        {EV_ERR, TSerial::evError},   {EV_RING, TSerial::evRing},     {EV_RLSD, TSerial::evDcd},
        {EV_RXCHAR, TSerial::evRxChar}, {EV_RXFLAG, TSerial::evEventChar},
        {EV_TXEMPTY, TSerial::evTxEmpty},
    };
    // A handler that destroys the component must not wait for this thread, which is blocked
    // in Synchronize when the dispatch runs on the main thread.
    struct TDispatching {
        const TSerThreadLink* outer = tThreadLink;
        explicit TDispatching(const TSerThreadLink* link) { tThreadLink = link; }
        ~TDispatching() { tThreadLink = outer; }
    } dispatching(FLink.get());
    TSerial* ser = Component();
    if (!ser || !ser->EnableEvents()) return;
    for (const TOrder& o : kOrder) {
        if (!(EventMask & o.bit)) continue;
        // A handler may have destroyed the component (on this thread): look again each time.
        if (!(ser = Component())) return;
        if (const rt::TNotifyEvent h = ser->Handler(o.event)) h(ser);
        if (o.bit != EV_RXCHAR || !(ser = Component())) continue;
        // OnData sees what OnRxChar left in the receive queue.
        const rt::TNotifyEvent onData = ser->OnData();
        if (onData && ser->DataSize() > 0 && ser->InQueueCount() >= ser->DataSize()) onData(ser);
    }
}
