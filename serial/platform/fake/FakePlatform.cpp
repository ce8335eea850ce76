#include "FakePlatform.h"

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
