#include <algorithm>
#include <ctime>
#include <exception>
#include <iomanip>
#include <locale>
#include <sstream>

#include "Serial.h"

TCOMManager* COMManager = nullptr;

namespace {

// The windows that exist, each with its window object; main thread only.
struct TMsgWindowNode {
    comm::TWindowHandle wnd;
    TMsgWindow* window;
};
std::list<TMsgWindowNode> MsgWindows;

// The user's short date, a blank and the long time.
std::string LocalDateTimeText() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);  // main thread only
    std::ostringstream s;
    try {
        s.imbue(std::locale(""));
    } catch (const std::exception&) {
        // An unknown locale setting: the classic one will do for a name.
    }
    s << std::put_time(&local, "%x %X");
    return s.str();
}

void DeviceChangeCallback(void* userData, std::uint16_t msg, std::uint16_t wParam,
                          std::intptr_t lParam) {
    static_cast<TCOMManager*>(userData)->HandleDeviceChange(msg, wParam, lParam);
}

// Calls an event; one that raises is cleared so it is not called again.
void FireEvent(rt::TNotifyEvent& event, rt::TObject* sender) {
    if (!event) return;
    try {
        event(sender);
    } catch (...) {
        event = {};
    }
}

}  // namespace

// ---------------------------------------------------------------- TMsgWindow

TMsgWindow::TMsgWindow(const std::string& className, TMsgCallback callback, void* userData)
    : FCallback(callback), FUserData(userData) {
    if (className.empty()) return;
    className.copy(FClassName, sizeof FClassName - 1);
    comm::TCommPlatform& platform = comm::Platform();
    FRegistered = platform.RegisterWindowClass(FClassName, &MsgWindowProc);
    if (!FRegistered) return;
    FWndHandle = platform.CreateHiddenWindow(FClassName, FClassName);
    if (FWndHandle == 0) return;
    MsgWindows.push_back({FWndHandle, this});
}

TMsgWindow::~TMsgWindow() {
    // Only what this object made: a class of the same name may belong to another window.
    comm::TCommPlatform& platform = comm::Platform();
    if (FWndHandle) platform.DestroyHiddenWindow(FWndHandle);
    if (FRegistered) platform.UnregisterWindowClass(FClassName);
    MsgWindows.remove_if([this](const TMsgWindowNode& n) { return n.window == this; });
}

std::intptr_t MsgWindowProc(comm::TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                            std::intptr_t lParam) {
    const auto msg16 = static_cast<std::uint16_t>(msg);
    const auto wParam16 = static_cast<std::uint16_t>(wParam);
    const auto node = std::find_if(MsgWindows.begin(), MsgWindows.end(),
                                   [wnd](const TMsgWindowNode& n) { return n.wnd == wnd; });
    if (node != MsgWindows.end())
        node->window->FCallback(node->window->FUserData, msg16, wParam16, lParam);
    return comm::Platform().DefWindowProc(wnd, msg16, wParam16, lParam);
}

// ---------------------------------------------------------------- TCOMManager

TCOMManager::TCOMManager() {
    FMsgWindow = std::make_unique<TMsgWindow>("Ser" + LocalDateTimeText(), &DeviceChangeCallback, this);
    ScanPorts(4);
}

TCOMManager::~TCOMManager() {
    FMsgWindow.reset();
    if (COMManager == this) COMManager = nullptr;
}

bool TCOMManager::Probe(std::int32_t portNo) {
    comm::TCommPlatform& platform = comm::Platform();
    const std::string plain = "COM" + std::to_string(portNo);
    if (platform.GetDefaultCommConfig(plain.c_str())) return true;
    // Ports from 10 up may answer only by their device path.
    return portNo >= 10 && platform.GetDefaultCommConfig(("\\\\.\\" + plain).c_str());
}

void TCOMManager::ScanPorts(std::int32_t highest) {
    if (highest > kMaxPort) highest = kMaxPort;
    if (FMaxScanned + 1 > highest) return;
    std::vector<TPortEntry> found;
    for (std::int32_t n = FMaxScanned + 1; n <= highest; ++n)
        if (Probe(n)) found.push_back({"COM" + std::to_string(n), {n, nullptr}});
    {
        std::lock_guard lock(FLock);
        FPorts.insert(FPorts.end(), found.begin(), found.end());
    }
    FMaxScanned = highest;
    NotifyListeners();
}

bool TCOMManager::RescanPorts() {
    std::vector<TPortEntry> old;
    {
        std::lock_guard lock(FLock);
        old.swap(FPorts);
        FOldPorts = &old;
    }
    const std::int32_t oldMax = FMaxScanned;
    FMaxScanned = 0;
    ScanPorts(oldMax);

    bool changed;
    std::vector<TCustomSerial*> removed;
    {
        std::lock_guard lock(FLock);
        changed = FPorts.size() != old.size();
        for (const TPortEntry& e : old) {
            const std::int32_t index = IndexOfPortLocked(e.Record.PortNo);
            if (index >= 0) {
                FPorts[static_cast<std::size_t>(index)].Record.PortOwner = e.Record.PortOwner;
            } else {
                if (e.Record.PortOwner) removed.push_back(e.Record.PortOwner);
                changed = true;
            }
        }
        FOldPorts = nullptr;
    }
    // Every owner of a vanished port is told, even when one of them raises; the first
    // exception goes on afterwards.
    std::exception_ptr first;
    for (TCustomSerial* owner : removed) {
        try {
            owner->COMRemoved();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
    return changed;
}

void TCOMManager::HandleDeviceChange(std::uint16_t msg, std::uint16_t wParam, std::intptr_t lParam) {
    if (msg != comm::WM_DEVICECHANGE) return;
    const auto* hdr = reinterpret_cast<const comm::TDevBroadcastHdr*>(lParam);
    const bool port = hdr && hdr->dbch_devicetype == comm::DBT_DEVTYP_PORT;
    bool changed = false;
    if (wParam == comm::DBT_DEVICEARRIVAL && port && RescanPorts()) {
        FireEvent(OnPortArrival, this);
        changed = true;
    } else if (wParam == comm::DBT_DEVICEREMOVECOMPLETE && port && RescanPorts()) {
        FireEvent(OnPortRemoval, this);
        changed = true;
    }
    if (changed) NotifyListeners();
}

std::int32_t TCOMManager::IndexOfPortLocked(std::int32_t portNo) const {
    for (std::size_t i = 0; i < FPorts.size(); ++i)
        if (FPorts[i].Record.PortNo == portNo) return static_cast<std::int32_t>(i);
    return -1;
}

bool TCOMManager::PortExists(std::int32_t portNo) const { return IndexOfPort(portNo) >= 0; }

std::int32_t TCOMManager::IndexOfPort(std::int32_t portNo) const {
    std::lock_guard lock(FLock);
    return IndexOfPortLocked(portNo);
}

void TCOMManager::UpdatePortOwner(TCustomSerial* component) {
    const std::int32_t portNo = component->OwnerPortNo();
    TCustomSerial* const owner = component->Active() ? component : nullptr;
    std::lock_guard lock(FLock);
    for (std::vector<TPortEntry>* list : {&FPorts, FOldPorts}) {
        if (!list) continue;
        const auto e = std::find_if(list->begin(), list->end(),
                                    [portNo](const TPortEntry& p) { return p.Record.PortNo == portNo; });
        if (e != list->end()) e->Record.PortOwner = owner;
    }
}

void TCOMManager::ForgetOwner(TCustomSerial* component) {
    std::lock_guard lock(FLock);
    for (std::vector<TPortEntry>* list : {&FPorts, FOldPorts})
        if (list)
            for (TPortEntry& e : *list)
                if (e.Record.PortOwner == component) e.Record.PortOwner = nullptr;
}

bool TCOMManager::HasListener(const rt::TSimpleMethod& listener) const {
    return std::find(FListeners.begin(), FListeners.end(), listener) != FListeners.end();
}

void TCOMManager::AddListener(const rt::TSimpleMethod& listener) {
    if (!HasListener(listener)) FListeners.push_back(listener);
}

void TCOMManager::RemoveListener(const rt::TSimpleMethod& listener) {
    const auto it = std::find(FListeners.begin(), FListeners.end(), listener);
    if (it != FListeners.end()) FListeners.erase(it);
}

void TCOMManager::NotifyListeners() {
    // A listener may remove itself or another: walk a copy and skip those removed meanwhile.
    const std::vector<rt::TSimpleMethod> chain(FListeners.begin(), FListeners.end());
    for (const rt::TSimpleMethod& listener : chain) {
        if (!HasListener(listener)) continue;
        try {
            listener();
        } catch (...) {
            return;  // discarded; the listeners after it wait for the next notification
        }
    }
}

std::int32_t TCOMManager::PortCount() const {
    std::lock_guard lock(FLock);
    return static_cast<std::int32_t>(FPorts.size());
}

std::string TCOMManager::PortName(std::int32_t index) const {
    std::lock_guard lock(FLock);
    return index >= 0 && static_cast<std::size_t>(index) < FPorts.size()
               ? FPorts[static_cast<std::size_t>(index)].Name
               : std::string();
}

TPortRecord TCOMManager::PortRecord(std::int32_t index) const {
    std::lock_guard lock(FLock);
    return index >= 0 && static_cast<std::size_t>(index) < FPorts.size()
               ? FPorts[static_cast<std::size_t>(index)].Record
               : TPortRecord{};
}

std::vector<TPortEntry> TCOMManager::Ports() const {
    std::lock_guard lock(FLock);
    return FPorts;
}

// ---------------------------------------------------------------- TCOMManagerInstance

TCOMManagerInstance::TCOMManagerInstance() { COMManager = new TCOMManager(); }

TCOMManagerInstance::~TCOMManagerInstance() { delete COMManager; }
