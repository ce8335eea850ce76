// The fake backend for tests: scripted answers and a record of every call, so the manager's
// and the component's logic is tested to the bit without hardware.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CommPlatform.h"

namespace comm {

class TFakePlatform : public TCommPlatform {
public:
    // Ports whose plain name ("COM12") answers the probe, and ports whose device path
    // ("\\.\COM12") answers it.
    std::set<int> PlainPorts;
    std::set<int> PathPorts;
    // Every probe's name, in order.
    std::vector<std::string> Probes;
    // Called at each probe, before it answers: lets a test act in the middle of a scan.
    std::function<void(const std::string& name)> OnProbe;

    bool VersionSucceeds = true;
    std::uint32_t PlatformId = VER_PLATFORM_WIN32_NT;

    bool FailRegisterClass = false;
    bool FailCreateWindow = false;
    std::vector<std::string> WindowCalls;  // "RegisterClass NAME", "CreateWindow NAME", ...

    // Ports present both ways.
    void SetPorts(std::set<int> ports) {
        PlainPorts = ports;
        PathPorts = std::move(ports);
    }

    // Delivers a message to the window as the system would, on the calling thread.
    std::intptr_t SendMessage(TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam);
    // A port broadcast: WM_DEVICECHANGE with the event and a header of the device type.
    std::intptr_t Broadcast(std::uintptr_t event, std::uint32_t deviceType = DBT_DEVTYP_PORT);

    // ---- comm functions
    // Each call's name and arguments, in order ("CreateFile COM5", "SetupComm 16384 16384", ...).
    std::vector<std::string> CommCalls() const;
    void ClearCommCalls();
    // Names of the functions that fail ("CreateFile", "SetupComm", "SetCommState", ...).
    std::set<std::string> Fail;
    TDcb LastDcb;
    TCommTimeouts LastTimeouts;
    std::uint32_t LastMask = 0;
    // ReadFile and WriteFile go pending; GetOverlappedResult then completes them, or with
    // wait false does PartialCount bytes.
    bool PendingTransfers = false;
    std::uint32_t PartialCount = 0;
    // A transfer went pending and no GetOverlappedResult has ended it yet: it still holds the
    // caller's buffer.
    bool TransferPending() const;

    // What the port has received (ReadFile serves it, ClearCommError counts it) and sent.
    void Receive(const std::string& bytes);
    std::string Sent() const;
    // Forgets what was received and sent.
    void ClearQueues();
    std::uint32_t OutQueue = 0;
    // The next wait returns these bits (one push, one wait).
    void PushEvent(std::uint32_t bits);
    // Waits currently blocked in WaitCommEvent.
    int Waiting() const;
    // Blocks until a wait is blocked (true) or the time is up.
    bool WaitUntilWaiting(int waits, int timeoutMs) const;
    // The next n waits fail, the one blocked now included.
    void FailWaits(int n);
    // Blocks until every pushed event and failure has ended a wait and a wait has begun since
    // the last of them, so whatever the waiter did with them is done (true), or the time is up.
    bool WaitUntilIdle(int timeoutMs) const;
    // Threads that have waited and not yet ended; an event thread counts until its very end.
    int WaiterThreads() const;
    bool WaitUntilNoWaiterThreads(int timeoutMs) const;

    TWindowHandle LastWindow() const { return FLastWindow; }
    bool WindowExists(TWindowHandle wnd) const { return FWindows.count(wnd) != 0; }
    int DefWindowProcCalls = 0;

    bool GetVersionEx(std::uint32_t& platformId) override;
    bool GetDefaultCommConfig(const char* name) override;
    bool RegisterWindowClass(const char* className, TWndProc proc) override;
    TWindowHandle CreateHiddenWindow(const char* className, const char* title) override;
    std::intptr_t DefWindowProc(TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                                std::intptr_t lParam) override;
    void DestroyHiddenWindow(TWindowHandle wnd) override;
    void UnregisterWindowClass(const char* className) override;

    THandle CreateFile(const char* name) override;
    bool SetupComm(const THandle& h, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool BuildCommDCB(const char* definition, TDcb& dcb) override;
    bool SetCommState(const THandle& h, const TDcb& dcb) override;
    bool SetCommTimeouts(const THandle& h, const TCommTimeouts& timeouts) override;
    bool SetCommMask(const THandle& h, std::uint32_t mask) override;
    bool WaitCommEvent(const THandle& h, std::uint32_t& events) override;
    bool ClearCommError(const THandle& h, std::uint32_t& errors, TComStat& stat) override;
    bool ReadFile(const THandle& h, void* buffer, std::uint32_t count, std::uint32_t& done,
                  TOverlapped* overlapped) override;
    bool WriteFile(const THandle& h, const void* buffer, std::uint32_t count, std::uint32_t& done,
                   TOverlapped* overlapped) override;
    std::uint32_t GetLastError() override;
    bool GetOverlappedResult(const THandle& h, TOverlapped* overlapped, std::uint32_t& done,
                             bool wait) override;
    void CloseHandle(const THandle& h) override;
    void ReleaseHandle(const THandle& h) override;

private:
    struct TPending {
        bool active = false;
        bool read = false;
        void* readBuffer = nullptr;
        const void* writeBuffer = nullptr;
        std::uint32_t count = 0;
    };
    struct TThreadCount {
        std::mutex Mutex;
        std::condition_variable Changed;
        int Live = 0;
    };
    struct TWaiterMark;
    void MarkWaiterThread();

    bool Usable(const THandle& h);  // with FMutex held
    void Call(const std::string& call);  // with FMutex held
    bool Failing(const char* name);      // with FMutex held

    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;
    std::vector<std::string> FCommCalls;
    std::string FRx, FTx;
    std::deque<std::uint32_t> FEvents;
    std::uint64_t FMaskChanges = 0;
    int FWaiting = 0;
    int FWaitFailures = 0;
    std::uint64_t FWaitsBegun = 0;
    std::uint64_t FLastWake = 0;  // FWaitsBegun when an event or failure last ended a wait
    std::map<std::string, std::weak_ptr<TCommHandle>> FOpen;  // exclusive open, by name
    std::shared_ptr<TThreadCount> FWaiterThreads = std::make_shared<TThreadCount>();
    TPending FPending;
    std::map<std::string, TWndProc> FClasses;
    std::map<TWindowHandle, TWndProc> FWindows;
    TWindowHandle FLastWindow = 0;
};

// Installs a fake backend for the life of the object.
class TFakePlatformScope {
public:
    TFakePlatformScope() { SetPlatform(&Fake); }
    ~TFakePlatformScope() { SetPlatform(nullptr); }
    TFakePlatform Fake;
};

}  // namespace comm
