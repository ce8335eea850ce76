// Helpers for tests of the port manager and the serial component.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Eventually.h"
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

// Every member of a DCB, one "name=value" per member, so a mismatch shows which one differs.
inline std::string DcbText(const comm::TDcb& d) {
    std::ostringstream out;
    out << std::hex << "DCBlength=" << d.DCBlength << " BaudRate=" << std::dec << d.BaudRate
        << std::hex << " Flags=" << d.Flags << " wReserved=" << d.wReserved
        << " XonLim=" << d.XonLim << " XoffLim=" << d.XoffLim << " ByteSize=" << +d.ByteSize
        << " Parity=" << +d.Parity << " StopBits=" << +d.StopBits
        << " XonChar=" << +static_cast<std::uint8_t>(d.XonChar)
        << " XoffChar=" << +static_cast<std::uint8_t>(d.XoffChar)
        << " ErrorChar=" << +static_cast<std::uint8_t>(d.ErrorChar)
        << " EofChar=" << +static_cast<std::uint8_t>(d.EofChar)
        << " EvtChar=" << +static_cast<std::uint8_t>(d.EvtChar) << " wReserved1=" << d.wReserved1;
    return out.str();
}

// The main window's line settings: 115200 baud, 8 data bits, no parity, 2 stop bits, no
// handshake, RTS and DTR off; the rest as constructed.
inline void ApplyWindowSettings(TSerial& ser) {
    ser.SetBaudrate(115200);
    ser.SetDataBits(TDataBits::db_8);
    ser.SetParityBit(TParityBit::none);
    ser.SetStopBits(TStopBits::sb_2);
    ser.SetHandshakeRtsCts(false);
    ser.SetHandshakeDtrDsr(false);
    ser.SetHandshakeXOnXOff(false);
    ser.SetRTSActive(false);
    ser.SetDTRActive(false);
}

// The threads of this process, or -1 where the system does not tell. A thread exists as soon
// as its start returns, so this shows deterministically whether an operation started one.
// Threads that end meanwhile only lower the count, so compare with "at most".
inline int ProcessThreads() {
#if defined(__linux__)
    std::error_code error;
    int n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
         it.increment(error))
        ++n;
    return error ? -1 : n;
#else
    return -1;
#endif
}

// A component on COM1 with the main window's settings.
inline std::unique_ptr<TSerial> NewWindowSerial() {
    auto s = std::make_unique<TSerial>(nullptr);
    s->SetCOMPort(1);
    ApplyWindowSettings(*s);
    return s;
}

// Records the calls of a component's handlers, in order, with their sender and the thread
// each ran on; then runs Action, which a test sets before the port opens.
class TEventRecorder : public rt::TObject {
public:
    static constexpr const char* kNames[TSerial::kEventCount] = {
        "Break", "Cts", "Dsr", "Error", "Ring", "Dcd", "RxChar", "EventChar", "TxEmpty", "Data"};

    std::function<void(TSerial* ser, TSerial::TEvent event)> Action;

    rt::TNotifyEvent Handler(TSerial::TEvent e) {
        return Make(e, std::make_index_sequence<TSerial::kEventCount>());
    }
    void Assign(TSerial& ser, std::initializer_list<TSerial::TEvent> events) {
        for (TSerial::TEvent e : events) ser.SetHandler(e, Handler(e));
    }

    std::vector<std::string> Calls() const {
        std::lock_guard lock(FMutex);
        return FCalls;
    }
    std::vector<std::thread::id> Threads() const {
        std::lock_guard lock(FMutex);
        return FThreads;
    }
    std::vector<rt::TObject*> Senders() const {
        std::lock_guard lock(FMutex);
        return FSenders;
    }
    bool WaitForCalls(std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, timeout, [&] { return FCalls.size() >= n; });
    }

private:
    template <int E>
    void Fire(rt::TObject* sender) {
        {
            std::lock_guard lock(FMutex);
            FCalls.emplace_back(kNames[E]);
            FThreads.push_back(std::this_thread::get_id());
            FSenders.push_back(sender);
        }
        FChanged.notify_all();
        if (Action) Action(static_cast<TSerial*>(sender), static_cast<TSerial::TEvent>(E));
    }
    template <std::size_t... I>
    rt::TNotifyEvent Make(TSerial::TEvent e, std::index_sequence<I...>) {
        using TFn = void (TEventRecorder::*)(rt::TObject*);
        static constexpr TFn kFns[] = {&TEventRecorder::Fire<static_cast<int>(I)>...};
        return {this, kFns[e]};
    }

    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;
    std::vector<std::string> FCalls;
    std::vector<std::thread::id> FThreads;
    std::vector<rt::TObject*> FSenders;
};

}  // namespace testing_support
