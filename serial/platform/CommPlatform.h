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

// Queue counts, as ClearCommError reports them.
struct TComStat {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Event bits of the event mask and of a wait.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

// Line errors ClearCommError reports.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

// The DCB flag word.
inline constexpr std::uint32_t DCB_fBinary = 1u << 0;
inline constexpr std::uint32_t DCB_fParity = 1u << 1;
inline constexpr std::uint32_t DCB_fOutxCtsFlow = 1u << 2;
inline constexpr std::uint32_t DCB_fOutxDsrFlow = 1u << 3;
inline constexpr int DCB_fDtrControlShift = 4;  // 2 bits
inline constexpr std::uint32_t DCB_fDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t DCB_fTXContinueOnXoff = 1u << 7;
inline constexpr std::uint32_t DCB_fOutX = 1u << 8;
inline constexpr std::uint32_t DCB_fInX = 1u << 9;
inline constexpr std::uint32_t DCB_fErrorChar = 1u << 10;
inline constexpr std::uint32_t DCB_fNull = 1u << 11;
inline constexpr int DCB_fRtsControlShift = 12;  // 2 bits
inline constexpr std::uint32_t DCB_fAbortOnError = 1u << 14;
inline constexpr std::uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint32_t DtrControl(const TDcb& d) { return (d.Flags >> DCB_fDtrControlShift) & 3; }
inline constexpr std::uint32_t RtsControl(const TDcb& d) { return (d.Flags >> DCB_fRtsControlShift) & 3; }

inline constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

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

    // ---- the comm functions; each call is safe on any thread, also against CloseHandle
    // from another thread. A failed call sets the calling thread's last error.

    // CreateFileA(name, read and write, share mode 0, OPEN_EXISTING, overlapped): the open
    // port, or null. Exclusive: a port open once cannot be opened again until closed.
    virtual THandle CreateFile(const char* name) = 0;
    // SetupComm: the receive and transmit queue sizes.
    virtual bool SetupComm(const THandle& h, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    // BuildCommDCBA: fills dcb from a text such as "baud=9600 parity=N data=8 stop=1".
    virtual bool BuildCommDCB(const char* definition, TDcb& dcb) = 0;
    virtual bool SetCommState(const THandle& h, const TDcb& dcb) = 0;
    virtual bool SetCommTimeouts(const THandle& h, const TCommTimeouts& timeouts) = 0;
    // A new mask ends a pending WaitCommEvent on another thread, which returns true with no
    // bits.
    virtual bool SetCommMask(const THandle& h, std::uint32_t mask) = 0;
    // Blocks until an event of the mask occurs and returns its bits. EV_RXCHAR means bytes
    // have arrived since the last wait that reported it, or a reader took some of the waiting
    // bytes and left others: bytes nobody reads do not end a wait again, so a waiter never
    // spins, and a reader that takes them in portions gets them all. Returns false once the
    // handle is closed or released.
    virtual bool WaitCommEvent(const THandle& h, std::uint32_t& events) = 0;
    virtual bool ClearCommError(const THandle& h, std::uint32_t& errors, TComStat& stat) = 0;
    // With an overlapped record: true when done at once, else false with ERROR_IO_PENDING
    // and the transfer goes on until GetOverlappedResult.
    virtual bool ReadFile(const THandle& h, void* buffer, std::uint32_t count, std::uint32_t& done,
                          TOverlapped* overlapped) = 0;
    virtual bool WriteFile(const THandle& h, const void* buffer, std::uint32_t count,
                           std::uint32_t& done, TOverlapped* overlapped) = 0;
    // The calling thread's last error.
    virtual std::uint32_t GetLastError() = 0;
    // Completes the pending transfer of the record: with wait, when it is done (or its
    // time-outs or a close end it); without, at once with the count done so far. A transfer
    // never outlives this call: what it has not done by then is abandoned.
    virtual bool GetOverlappedResult(const THandle& h, TOverlapped* overlapped, std::uint32_t& done,
                                     bool wait) = 0;
    // Closes the port: pending waits and transfers end, the port can be opened again at once.
    virtual void CloseHandle(const THandle& h) = 0;
    // Lets go of a port whose device has vanished, without touching the device: pending waits
    // and transfers end and the handle's resources are freed once nobody uses them.
    virtual void ReleaseHandle(const THandle& h) = 0;
};

// The backend in use: the one installed by SetPlatform, else the operating system's.
TCommPlatform& Platform();
// Installs a backend (tests); nullptr goes back to the operating system's.
void SetPlatform(TCommPlatform* platform);
// The operating system's backend, defined once per operating system.
TCommPlatform& SystemPlatform();

}  // namespace comm
