#include "FakePlatform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace comm {

bool TFakePlatform::GetVersionEx(std::uint32_t& platformId) {
    if (!VersionSucceeds) return false;
    platformId = PlatformId;
    return true;
}

bool TFakePlatform::GetDefaultCommConfig(const char* name) {
    Probes.emplace_back(name);
    if (OnProbe) OnProbe(name);
    const bool path = std::strncmp(name, "\\\\.\\", 4) == 0;
    const char* com = path ? name + 4 : name;
    if (std::strncmp(com, "COM", 3) != 0) return false;
    const int port = std::atoi(com + 3);
    return (path ? PathPorts : PlainPorts).count(port) != 0;
}

bool TFakePlatform::RegisterWindowClass(const char* className, TWndProc proc) {
    WindowCalls.push_back(std::string("RegisterClass ") + className);
    if (FailRegisterClass) return false;
    return FClasses.emplace(className, proc).second;
}

TWindowHandle TFakePlatform::CreateHiddenWindow(const char* className, const char* title) {
    WindowCalls.push_back(std::string("CreateWindow ") + className + " " + title);
    const auto cls = FClasses.find(className);
    if (FailCreateWindow || cls == FClasses.end()) return 0;
    FWindows[++FLastWindow] = cls->second;
    return FLastWindow;
}

std::intptr_t TFakePlatform::DefWindowProc(TWindowHandle, std::uint32_t, std::uintptr_t,
                                           std::intptr_t) {
    ++DefWindowProcCalls;
    return 0;
}

void TFakePlatform::DestroyHiddenWindow(TWindowHandle wnd) {
    WindowCalls.push_back("DestroyWindow " + std::to_string(wnd));
    FWindows.erase(wnd);
}

void TFakePlatform::UnregisterWindowClass(const char* className) {
    WindowCalls.push_back(std::string("UnregisterClass ") + className);
    FClasses.erase(className);
}

std::intptr_t TFakePlatform::SendMessage(TWindowHandle wnd, std::uint32_t msg,
                                         std::uintptr_t wParam, std::intptr_t lParam) {
    const auto it = FWindows.find(wnd);
    return it == FWindows.end() ? 0 : it->second(wnd, msg, wParam, lParam);
}

std::intptr_t TFakePlatform::Broadcast(std::uintptr_t event, std::uint32_t deviceType) {
    TDevBroadcastHdr hdr{sizeof(TDevBroadcastHdr), deviceType, 0};
    return SendMessage(FLastWindow, WM_DEVICECHANGE, event, reinterpret_cast<std::intptr_t>(&hdr));
}

}  // namespace comm

// ---------------------------------------------------------------- comm functions

namespace comm {
namespace {

thread_local std::uint32_t tLastError = ERROR_SUCCESS;
constexpr std::uint32_t kErrorAccessDenied = 5;

class TFakeHandle : public TCommHandle {
public:
    explicit TFakeHandle(std::string name) : Name(std::move(name)) {}
    std::string Name;
    bool Closed = false;
};

TFakeHandle* AsFake(const THandle& h) { return dynamic_cast<TFakeHandle*>(h.get()); }

}  // namespace

void TFakePlatform::Call(const std::string& call) { FCommCalls.push_back(call); }

bool TFakePlatform::Failing(const char* name) {
    if (!Fail.count(name)) return false;
    tLastError = ERROR_INVALID_PARAMETER;
    return true;
}

bool TFakePlatform::Usable(const THandle& h) {
    TFakeHandle* f = AsFake(h);
    if (f && !f->Closed) return true;
    tLastError = ERROR_INVALID_HANDLE;
    return false;
}

std::vector<std::string> TFakePlatform::CommCalls() const {
    std::lock_guard lock(FMutex);
    return FCommCalls;
}

void TFakePlatform::ClearCommCalls() {
    std::lock_guard lock(FMutex);
    FCommCalls.clear();
}

void TFakePlatform::Receive(const std::string& bytes) {
    std::lock_guard lock(FMutex);
    FRx += bytes;
}

std::string TFakePlatform::Sent() const {
    std::lock_guard lock(FMutex);
    return FTx;
}

void TFakePlatform::ClearQueues() {
    std::lock_guard lock(FMutex);
    FRx.clear();
    FTx.clear();
}

void TFakePlatform::PushEvent(std::uint32_t bits) {
    {
        std::lock_guard lock(FMutex);
        FEvents.push_back(bits);
    }
    FChanged.notify_all();
}

int TFakePlatform::Waiting() const {
    std::lock_guard lock(FMutex);
    return FWaiting;
}

bool TFakePlatform::WaitUntilWaiting(int waits, int timeoutMs) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return FWaiting >= waits; });
}

void TFakePlatform::FailWaits(int n) {
    {
        std::lock_guard lock(FMutex);
        FWaitFailures += n;
    }
    FChanged.notify_all();
}

bool TFakePlatform::WaitUntilIdle(int timeoutMs) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return FEvents.empty() && FWaitFailures == 0 && FWaiting > 0 && FWaitsBegun > FLastWake;
    });
}

// Marks the calling thread as a waiter until it ends. The mark holds only the count, so a
// thread that outlives the fake harms nothing.
struct TFakePlatform::TWaiterMark {
    std::shared_ptr<TThreadCount> Count;
    ~TWaiterMark() { Leave(); }
    void Leave() {
        if (!Count) return;
        {
            std::lock_guard lock(Count->Mutex);
            --Count->Live;
        }
        Count->Changed.notify_all();
        Count.reset();
    }
};

void TFakePlatform::MarkWaiterThread() {
    thread_local TWaiterMark mark;
    if (mark.Count == FWaiterThreads) return;
    mark.Leave();
    mark.Count = FWaiterThreads;
    std::lock_guard lock(FWaiterThreads->Mutex);
    ++FWaiterThreads->Live;
}

int TFakePlatform::WaiterThreads() const {
    std::lock_guard lock(FWaiterThreads->Mutex);
    return FWaiterThreads->Live;
}

bool TFakePlatform::WaitUntilNoWaiterThreads(int timeoutMs) const {
    std::unique_lock lock(FWaiterThreads->Mutex);
    return FWaiterThreads->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                            [&] { return FWaiterThreads->Live == 0; });
}

bool TFakePlatform::TransferPending() const {
    std::lock_guard lock(FMutex);
    return FPending.active;
}

THandle TFakePlatform::CreateFile(const char* name) {
    std::lock_guard lock(FMutex);
    Call(std::string("CreateFile ") + name);
    if (Failing("CreateFile")) return nullptr;
    // Share mode 0: a port stays taken until its handle is closed or released.
    const THandle held = FOpen[name].lock();
    if (held && !AsFake(held)->Closed) {
        tLastError = kErrorAccessDenied;
        return nullptr;
    }
    THandle h = std::make_shared<TFakeHandle>(name);
    FOpen[name] = h;
    return h;
}

bool TFakePlatform::SetupComm(const THandle& h, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::lock_guard lock(FMutex);
    Call("SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue));
    return Usable(h) && !Failing("SetupComm");
}

bool TFakePlatform::BuildCommDCB(const char* definition, TDcb& dcb) {
    std::lock_guard lock(FMutex);
    Call(std::string("BuildCommDCB ") + definition);
    if (Failing("BuildCommDCB")) return false;
    // What the system fills in for the base text; the reserved words carry markers so a test
    // sees whether they survive.
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.Flags = DCB_fBinary | DCB_fOutX | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
                (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
    dcb.wReserved = 0x1234;
    dcb.wReserved1 = 0x5678;
    return true;
}

bool TFakePlatform::SetCommState(const THandle& h, const TDcb& dcb) {
    std::lock_guard lock(FMutex);
    Call("SetCommState");
    LastDcb = dcb;
    return Usable(h) && !Failing("SetCommState");
}

bool TFakePlatform::SetCommTimeouts(const THandle& h, const TCommTimeouts& timeouts) {
    std::lock_guard lock(FMutex);
    Call("SetCommTimeouts");
    LastTimeouts = timeouts;
    return Usable(h) && !Failing("SetCommTimeouts");
}

bool TFakePlatform::SetCommMask(const THandle& h, std::uint32_t mask) {
    {
        std::lock_guard lock(FMutex);
        Call("SetCommMask " + std::to_string(mask));
        if (!Usable(h) || Failing("SetCommMask")) return false;
        LastMask = mask;
        ++FMaskChanges;
    }
    FChanged.notify_all();
    return true;
}

bool TFakePlatform::WaitCommEvent(const THandle& h, std::uint32_t& events) {
    MarkWaiterThread();
    std::unique_lock lock(FMutex);
    events = 0;
    if (!Usable(h)) return false;
    const std::uint64_t masks = FMaskChanges;
    ++FWaiting;
    ++FWaitsBegun;
    FChanged.notify_all();
    FChanged.wait(lock, [&] {
        return !FEvents.empty() || FWaitFailures > 0 || FMaskChanges != masks || !Usable(h);
    });
    --FWaiting;
    if (!Usable(h)) return false;
    if (FMaskChanges != masks) return true;  // ended by a new mask: no bits
    FLastWake = FWaitsBegun;
    if (FWaitFailures > 0) {
        --FWaitFailures;
        tLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    events = FEvents.front() & LastMask;
    FEvents.pop_front();
    return true;
}

bool TFakePlatform::ClearCommError(const THandle& h, std::uint32_t& errors, TComStat& stat) {
    std::lock_guard lock(FMutex);
    Call("ClearCommError");
    errors = 0;
    if (!Usable(h) || Failing("ClearCommError")) return false;
    stat.cbInQue = static_cast<std::uint32_t>(FRx.size());
    stat.cbOutQue = OutQueue;
    return true;
}

bool TFakePlatform::ReadFile(const THandle& h, void* buffer, std::uint32_t count,
                             std::uint32_t& done, TOverlapped*) {
    std::lock_guard lock(FMutex);
    Call("ReadFile " + std::to_string(count));
    done = 0;
    if (!Usable(h) || Failing("ReadFile")) return false;
    if (PendingTransfers) {
        FPending = {true, true, buffer, nullptr, count};
        tLastError = ERROR_IO_PENDING;
        return false;
    }
    done = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(FRx.size()));
    FRx.copy(static_cast<char*>(buffer), done);
    FRx.erase(0, done);
    return true;
}

bool TFakePlatform::WriteFile(const THandle& h, const void* buffer, std::uint32_t count,
                              std::uint32_t& done, TOverlapped*) {
    std::lock_guard lock(FMutex);
    Call("WriteFile " + std::to_string(count));
    done = 0;
    if (!Usable(h) || Failing("WriteFile")) return false;
    if (PendingTransfers) {
        FPending = {true, false, nullptr, buffer, count};
        tLastError = ERROR_IO_PENDING;
        return false;
    }
    FTx.append(static_cast<const char*>(buffer), count);
    done = count;
    return true;
}

std::uint32_t TFakePlatform::GetLastError() { return tLastError; }

bool TFakePlatform::GetOverlappedResult(const THandle& h, TOverlapped*, std::uint32_t& done,
                                        bool wait) {
    std::lock_guard lock(FMutex);
    Call(std::string("GetOverlappedResult ") + (wait ? "wait" : "nowait"));
    done = 0;
    if (!Usable(h)) return false;
    std::uint32_t n = wait ? FPending.count : std::min(PartialCount, FPending.count);
    if (FPending.read) {
        n = std::min<std::uint32_t>(n, static_cast<std::uint32_t>(FRx.size()));
        FRx.copy(static_cast<char*>(FPending.readBuffer), n);
        FRx.erase(0, n);
    } else if (FPending.writeBuffer) {
        FTx.append(static_cast<const char*>(FPending.writeBuffer), n);
    }
    FPending = {};
    done = n;
    return true;
}

void TFakePlatform::CloseHandle(const THandle& h) {
    {
        std::lock_guard lock(FMutex);
        Call("CloseHandle");
        if (TFakeHandle* f = AsFake(h)) f->Closed = true;
        FPending = {};  // a transfer in progress ends with the handle
    }
    FChanged.notify_all();
}

void TFakePlatform::ReleaseHandle(const THandle& h) {
    {
        std::lock_guard lock(FMutex);
        Call("ReleaseHandle");
        if (TFakeHandle* f = AsFake(h)) f->Closed = true;
        FPending = {};  // a transfer in progress ends with the handle
    }
    FChanged.notify_all();
}

}  // namespace comm
