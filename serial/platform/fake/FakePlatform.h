// The fake backend for tests: scripted answers and a record of every call, so the manager's
// and the component's logic is tested to the bit without hardware.
#pragma once

#include <functional>
#include <map>
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

private:
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
