// The POSIX backend (Linux): ports are probed by looking at the file system, and the hidden
// window is a thread that watches /dev and the port directory with inotify and delivers each
// arrival or removal through the main-thread queue as a device-change broadcast.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "CommPlatform.h"
#include "MainThreadQueue.h"
#include "PosixComm.h"
#include "PosixPorts.h"

namespace comm {
namespace {

// Watches for port devices until destroyed. Never waits for the main thread, so destroying it
// (which joins the thread) from the main thread cannot deadlock.
class TDeviceWatch {
public:
    TDeviceWatch(TWindowHandle wnd, TWndProc proc) : FWnd(wnd), FProc(proc) {}

    bool Start() {
        FNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        FStop = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (FNotify < 0 || FStop < 0) return false;
        constexpr std::uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
        FDev = inotify_add_watch(FNotify, "/dev", kChanges);
        // A pseudo-terminal that vanishes leaves its link dangling: the port is gone.
        FPts = inotify_add_watch(FNotify, "/dev/pts", IN_DELETE);
        // Created when missing, so that links made later are seen.
        const std::string dir = posix::PortDirectory();
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        FLinks = inotify_add_watch(FNotify, dir.c_str(), kChanges);
        if (FDev < 0 && FLinks < 0) return false;
        FThread = std::thread([this] { Run(); });
        return true;
    }

    ~TDeviceWatch() {
        if (FThread.joinable()) {
            const std::uint64_t one = 1;
            (void)!write(FStop, &one, sizeof one);
            FThread.join();
        }
        if (FNotify >= 0) close(FNotify);
        if (FStop >= 0) close(FStop);
    }

private:
    void Run() {
        pollfd fds[2] = {{FNotify, POLLIN, 0}, {FStop, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (fds[0].revents) ReadEvents();
        }
    }

    // One batch of events gives at most one removal and one arrival: each broadcast rescans
    // every port anyway.
    void ReadEvents() {
        bool arrival = false, removal = false;
        alignas(inotify_event) char buf[16384];
        for (;;) {
            const ssize_t n = read(FNotify, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) {
                    arrival = removal = true;
                    continue;
                }
                const std::string_view name = ev->len ? ev->name : "";
                // Pseudo-terminals come and go all the time; only one that a port link names
                // is a port.
                const bool relevant =
                    (ev->wd == FLinks && posix::IsPortLinkName(name)) ||
                    (ev->wd == FDev && posix::IsPortDeviceName(name)) ||
                    (ev->wd == FPts && posix::PortLinkTo("/dev/pts/" + std::string(name)));
                if (!relevant) continue;
                if (ev->mask & (IN_CREATE | IN_MOVED_TO)) arrival = true;
                if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) removal = true;
            }
        }
        if (removal) Post(DBT_DEVICEREMOVECOMPLETE);
        if (arrival) Post(DBT_DEVICEARRIVAL);
    }

    void Post(std::uintptr_t event) {
        rt::TMainThreadQueue* queue = rt::MainThreadQueue();
        if (!queue) return;
        // Only plain values travel: the window procedure finds the window by its handle, and a
        // destroyed window's handle is never given out again.
        queue->Post([wnd = FWnd, proc = FProc, event] {
            TDevBroadcastHdr hdr{sizeof(TDevBroadcastHdr), DBT_DEVTYP_PORT, 0};
            proc(wnd, WM_DEVICECHANGE, event, reinterpret_cast<std::intptr_t>(&hdr));
        });
    }

    TWindowHandle FWnd;
    TWndProc FProc;
    int FNotify = -1, FStop = -1;
    int FDev = -1, FPts = -1, FLinks = -1;
    std::thread FThread;
};

class TPosixPlatform : public TCommPlatform {
public:
    bool GetVersionEx(std::uint32_t& platformId) override {
        // Reads and writes complete as on the NT platform: the overlapped variants apply.
        platformId = VER_PLATFORM_WIN32_NT;
        return true;
    }

    bool GetDefaultCommConfig(const char* name) override {
        return posix::PortPresent(posix::ParseComName(name));
    }

    bool RegisterWindowClass(const char* className, TWndProc proc) override {
        std::lock_guard lock(FMutex);
        return FClasses.emplace(className, proc).second;  // a taken name fails, as on Windows
    }

    TWindowHandle CreateHiddenWindow(const char* className, const char* /*title*/) override {
        std::lock_guard lock(FMutex);
        const auto cls = FClasses.find(className);
        if (cls == FClasses.end() || !rt::MainThreadQueue()) return 0;
        const TWindowHandle wnd = ++FLastWindow;
        auto watch = std::make_unique<TDeviceWatch>(wnd, cls->second);
        if (!watch->Start()) return 0;
        FWindows.emplace(wnd, std::move(watch));
        return wnd;
    }

    std::intptr_t DefWindowProc(TWindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override {
        return 0;
    }

    void DestroyHiddenWindow(TWindowHandle wnd) override {
        std::unique_ptr<TDeviceWatch> watch;
        {
            std::lock_guard lock(FMutex);
            const auto it = FWindows.find(wnd);
            if (it == FWindows.end()) return;
            watch = std::move(it->second);
            FWindows.erase(it);
        }
        watch.reset();  // joins the watching thread outside the lock
    }

    void UnregisterWindowClass(const char* className) override {
        std::lock_guard lock(FMutex);
        FClasses.erase(className);
    }

    THandle CreateFile(const char* name) override { return posix::CreateFile(name); }
    bool SetupComm(const THandle& h, std::uint32_t in, std::uint32_t out) override {
        return posix::SetupComm(h, in, out);
    }
    bool BuildCommDCB(const char* definition, TDcb& dcb) override {
        return posix::BuildCommDCB(definition, dcb);
    }
    bool SetCommState(const THandle& h, const TDcb& dcb) override { return posix::SetCommState(h, dcb); }
    bool SetCommTimeouts(const THandle& h, const TCommTimeouts& t) override {
        return posix::SetCommTimeouts(h, t);
    }
    bool SetCommMask(const THandle& h, std::uint32_t mask) override { return posix::SetCommMask(h, mask); }
    bool WaitCommEvent(const THandle& h, std::uint32_t& events) override {
        return posix::WaitCommEvent(h, events);
    }
    bool ClearCommError(const THandle& h, std::uint32_t& errors, TComStat& stat) override {
        return posix::ClearCommError(h, errors, stat);
    }
    bool ReadFile(const THandle& h, void* buffer, std::uint32_t count, std::uint32_t& done,
                  TOverlapped* overlapped) override {
        return posix::ReadFile(h, buffer, count, done, overlapped);
    }
    bool WriteFile(const THandle& h, const void* buffer, std::uint32_t count, std::uint32_t& done,
                   TOverlapped* overlapped) override {
        return posix::WriteFile(h, buffer, count, done, overlapped);
    }
    std::uint32_t GetLastError() override { return posix::GetLastError(); }
    bool GetOverlappedResult(const THandle& h, TOverlapped* overlapped, std::uint32_t& done,
                             bool wait) override {
        return posix::GetOverlappedResult(h, overlapped, done, wait);
    }
    void CloseHandle(const THandle& h) override { posix::CloseHandle(h); }
    void ReleaseHandle(const THandle& h) override { posix::ReleaseHandle(h); }

private:
    std::mutex FMutex;
    std::map<std::string, TWndProc> FClasses;
    std::map<TWindowHandle, std::unique_ptr<TDeviceWatch>> FWindows;
    TWindowHandle FLastWindow = 0;
};

}  // namespace

TCommPlatform& SystemPlatform() {
    static TPosixPlatform platform;
    return platform;
}

}  // namespace comm
