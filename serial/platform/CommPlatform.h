// The platform interface of the serial component and the port manager. It mirrors the Win32
// functions they need, so that every value (device name, device control block, time-outs, event
// mask) is computed by platform-free code and the backends only carry it out. One backend per
// operating system is picked by CMake; tests install the fake backend.
//
// This is the only layer that includes operating system headers.
#pragma once

#include <cstdint>
#include <memory>

namespace comm {

// Window messages and device-change broadcasts.
inline constexpr std::uint32_t WM_DEVICECHANGE = 537;
inline constexpr std::uintptr_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uintptr_t DBT_DEVICEQUERYREMOVE = 0x8001;
inline constexpr std::uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_VOLUME = 2;
inline constexpr std::uint32_t DBT_DEVTYP_PORT = 3;

// The header every device-change broadcast's lParam points to.
struct TDevBroadcastHdr {
    std::uint32_t dbch_size;
    std::uint32_t dbch_devicetype;
    std::uint32_t dbch_reserved;
};

inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

// The device control block, with the documented field names; the flags are one 32-bit word.
struct TDcb {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};

struct TCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The overlapped-I/O record; its event handle is always null here.
struct TOverlapped {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    void* hEvent = nullptr;
};

// An open port. Reference-counted, so a closed handle never aliases a newly opened port;
// null stands for INVALID_HANDLE_VALUE.
class TCommHandle {
public:
    virtual ~TCommHandle() = default;
};
using THandle = std::shared_ptr<TCommHandle>;

// A hidden window: 0 means none.
using TWindowHandle = std::uintptr_t;
using TWndProc = std::intptr_t (*)(TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                                   std::intptr_t lParam);

class TCommPlatform {
public:
    virtual ~TCommPlatform() = default;

    // GetVersionExA: true on success, with the platform id.
    virtual bool GetVersionEx(std::uint32_t& platformId) = 0;

    // GetDefaultCommConfigA: true when the port named "COMn" or "\\.\COMn" exists. Never opens
    // the device.
    virtual bool GetDefaultCommConfig(const char* name) = 0;

    // The hidden window that receives device-change broadcasts. Its messages reach the class's
    // window procedure on the main thread.
    virtual bool RegisterWindowClass(const char* className, TWndProc proc) = 0;
    virtual TWindowHandle CreateHiddenWindow(const char* className, const char* title) = 0;
    virtual std::intptr_t DefWindowProc(TWindowHandle wnd, std::uint32_t msg, std::uintptr_t wParam,
                                        std::intptr_t lParam) = 0;
    virtual void DestroyHiddenWindow(TWindowHandle wnd) = 0;
    virtual void UnregisterWindowClass(const char* className) = 0;
};

// The backend in use: the one installed by SetPlatform, else the operating system's.
TCommPlatform& Platform();
// Installs a backend (tests); nullptr goes back to the operating system's.
void SetPlatform(TCommPlatform* platform);
// The operating system's backend, defined once per operating system.
TCommPlatform& SystemPlatform();

}  // namespace comm
