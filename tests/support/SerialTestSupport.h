// Helpers for tests of the port manager and the serial component.
#pragma once

#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Serial.h"

namespace testing_support {

// A serial component whose open state a test sets directly, as the open and close routines
// will: the active flag, then the report to the port manager.
class TTestSerial : public TCustomSerial {
public:
    explicit TTestSerial(rt::TComponent* owner = nullptr) : TCustomSerial(owner) {}
    void MarkOpen(bool open) {
        FActive = open;
        if (COMManager) COMManager->UpdatePortOwner(this);
    }
    void COMRemoved() override {
        ++Removed;
        TCustomSerial::COMRemoved();
    }
    int Removed = 0;
};

// Counts its calls; optionally raises.
class TCounter : public rt::TObject {
public:
    void Listen() {
        ++Calls;
        if (Raise) throw std::runtime_error("listener");
    }
    void Notify(rt::TObject* sender) {
        ++Calls;
        Senders.push_back(sender);
        if (Raise) throw std::runtime_error("event");
    }
    rt::TSimpleMethod Listener() { return {this, &TCounter::Listen}; }
    rt::TNotifyEvent Event() { return {this, &TCounter::Notify}; }
    int Calls = 0;
    bool Raise = false;
    std::vector<rt::TObject*> Senders;
};

inline std::vector<std::string> PortNames() {
    std::vector<std::string> names;
    for (const TPortEntry& e : COMManager->Ports()) names.push_back(e.Name);
    return names;
}

}  // namespace testing_support
