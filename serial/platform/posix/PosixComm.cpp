#include "PosixComm.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PosixBaud.h"
#include "PosixPorts.h"

namespace comm::posix {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;
// The receive queue SetupComm sizes: at least this, at most kMaxQueue, whatever is asked.
constexpr std::size_t kMinQueue = 4096;
constexpr std::size_t kMaxQueue = 1 << 20;
// Modem lines, line errors and an emptied transmit queue have no descriptor event to wait for:
// a wait that asks for them looks at them this often.
constexpr int kLinePollMs = 10;
constexpr std::uint32_t kPolledEvents =
    EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR | EV_TXEMPTY;

thread_local std::uint32_t tLastError = ERROR_SUCCESS;

bool Fail(std::uint32_t error) {
    tLastError = error;
    return false;
}
bool FailErrno() { return Fail(ErrorFromErrno(errno)); }

// The received bytes not yet read, in arrival order.
class TByteQueue {
public:
    explicit TByteQueue(std::size_t capacity) : FData(capacity) {}
    std::size_t Size() const { return FSize; }
    std::size_t Free() const { return FData.size() - FSize; }

    void Push(const std::uint8_t* bytes, std::size_t n) {  // n <= Free()
        for (std::size_t done = 0; done < n;) {
            const std::size_t tail = (FHead + FSize) % FData.size();
            const std::size_t run = std::min(n - done, FData.size() - tail);
            std::memcpy(FData.data() + tail, bytes + done, run);
            FSize += run;
            done += run;
        }
    }

    std::size_t Pop(std::uint8_t* out, std::size_t n) {
        n = std::min(n, FSize);
        for (std::size_t done = 0; done < n;) {
            const std::size_t run = std::min(n - done, FData.size() - FHead);
            std::memcpy(out + done, FData.data() + FHead, run);
            FHead = (FHead + run) % FData.size();
            FSize -= run;
            done += run;
        }
        return n;
    }

    // A new capacity, keeping what is queued (never less than that).
    void Resize(std::size_t capacity) {
        std::vector<std::uint8_t> data(std::max(capacity, FSize));
        const std::size_t size = FSize;
        Pop(data.data(), size);
        FData.swap(data);
        FHead = 0;
        FSize = size;
    }

private:
    std::vector<std::uint8_t> FData;
    std::size_t FHead = 0;
    std::size_t FSize = 0;
};

// A transfer that went pending, carried out by GetOverlappedResult.
struct TPending {
    bool active = false;
    bool read = false;
    std::uint8_t* readBuffer = nullptr;
    const std::uint8_t* writeBuffer = nullptr;
    std::uint32_t count = 0;
    std::uint32_t done = 0;
    TClock::time_point start;
    std::optional<TClock::time_point> totalDeadline;
    std::uint32_t interval = 0;  // read: most milliseconds between two bytes, 0 for no limit
    bool returnOnAny = false;    // read: complete as soon as one byte is there
    TClock::time_point lastByte;
};

// What the modem lines and the driver's counters looked like at the last look.
struct TLineState {
    bool haveCounters = false;
    serial_icounter_struct counters{};
    bool haveModem = false;
    int modem = 0;
};

class TPosixHandle final : public TCommHandle {
public:
    TPosixHandle(int fd, int wake) : Fd(fd), Wake(wake), Rx(kMinQueue) {}
    ~TPosixHandle() override {
        // A released handle closes its descriptor only now, when no call can use it any more.
        if (Fd >= 0) CloseDescriptor(Fd);
        if (Wake >= 0) close(Wake);
    }

    static void CloseDescriptor(int fd) {
        // The exclusive flag belongs to the terminal, not to this descriptor: left set, it would
        // refuse a later open while another holder (a simulator's own descriptor) keeps it open.
        (void)ioctl(fd, TIOCNXCL);
        close(fd);
    }

    // Wakes the calls blocked on this handle so they look at its state again.
    void Kick() {
        const std::uint64_t one = 1;
        (void)!write(Wake, &one, sizeof one);
    }
    void ResetKick() {
        std::uint64_t value;
        (void)!read(Wake, &value, sizeof value);
    }

    std::mutex Mutex;
    std::condition_variable Idle;  // signalled when a call leaves
    int Fd;
    int Wake;
    bool Closed = false;  // closed or released: every call fails, blocked ones return
    int Users = 0;        // calls inside, which a close waits for
    int Waiters = 0;      // calls blocked in WaitCommEvent
    bool HungUp = false;  // the device or the peer has gone: nothing more will arrive
    TByteQueue Rx;
    TDcb Dcb;
    bool HaveDcb = false;
    TCommTimeouts Timeouts;
    std::uint32_t Mask = 0;
    std::uint64_t MaskChanges = 0;
    std::uint32_t Events = 0;  // occurred since they were last reported
    std::uint32_t Errors = 0;  // CE_ bits since the last ClearCommError
    bool TxSinceEmpty = false;
    bool ReadSinceReport = false;  // a reader took bytes since EV_RXCHAR was last reported
    TLineState Lines;
    TPending Pending;
};

TPosixHandle* AsPosix(const THandle& h) { return dynamic_cast<TPosixHandle*>(h.get()); }

// One call inside the handle: a close waits until it has left.
class TUse {
public:
    explicit TUse(TPosixHandle& h) : FHandle(h) { ++FHandle.Users; }
    ~TUse() {
        --FHandle.Users;
        FHandle.Idle.notify_all();
    }
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

private:
    TPosixHandle& FHandle;
};

// The handle behind h, open, with its lock held; empty (last error set) for anything else.
class TOpenHandle {
public:
    explicit TOpenHandle(const THandle& h) : FHandle(AsPosix(h)) {
        if (FHandle) FLock = std::unique_lock(FHandle->Mutex);
        if (!FHandle || FHandle->Closed) {
            Fail(ERROR_INVALID_HANDLE);
            FHandle = nullptr;
        }
    }
    explicit operator bool() const { return FHandle != nullptr; }
    TPosixHandle* operator->() const { return FHandle; }
    TPosixHandle& operator*() const { return *FHandle; }
    std::unique_lock<std::mutex>& Lock() { return FLock; }

private:
    TPosixHandle* FHandle;
    std::unique_lock<std::mutex> FLock;
};

TLineState ReadLines(int fd) {
    TLineState s;
    s.haveCounters = ioctl(fd, TIOCGICOUNT, &s.counters) == 0;
    s.haveModem = ioctl(fd, TIOCMGET, &s.modem) == 0;
    return s;
}

// Records the line events and errors since the last look.
void CheckLinesLocked(TPosixHandle& h) {
    if (h.HungUp) return;
    const TLineState now = ReadLines(h.Fd);
    const TLineState& was = h.Lines;
    if (now.haveCounters && was.haveCounters) {
        const serial_icounter_struct &a = was.counters, &b = now.counters;
        if (b.cts != a.cts) h.Events |= EV_CTS;
        if (b.dsr != a.dsr) h.Events |= EV_DSR;
        if (b.rng != a.rng) h.Events |= EV_RING;
        if (b.dcd != a.dcd) h.Events |= EV_RLSD;
        if (b.brk != a.brk) h.Events |= EV_BREAK, h.Errors |= CE_BREAK;
        std::uint32_t errors = 0;
        if (b.frame != a.frame) errors |= CE_FRAME;
        if (b.overrun != a.overrun) errors |= CE_OVERRUN;
        if (b.parity != a.parity) errors |= CE_RXPARITY;
        if (b.buf_overrun != a.buf_overrun) errors |= CE_RXOVER;
        if (errors) h.Events |= EV_ERR, h.Errors |= errors;
    } else if (now.haveModem && was.haveModem) {
        const int changed = now.modem ^ was.modem;
        if (changed & TIOCM_CTS) h.Events |= EV_CTS;
        if (changed & TIOCM_DSR) h.Events |= EV_DSR;
        if (changed & now.modem & TIOCM_RNG) h.Events |= EV_RING;
        if (changed & TIOCM_CAR) h.Events |= EV_RLSD;
    }
    h.Lines = now;
    if (h.TxSinceEmpty) {
        int outQueue = 0;
        if (ioctl(h.Fd, TIOCOUTQ, &outQueue) == 0 && outQueue == 0) {
            h.TxSinceEmpty = false;
            h.Events |= EV_TXEMPTY;
        }
    }
}

bool PeerHungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Moves what the terminal has received into the queue, as far as it has room, and wakes a
// waiter to look at it unless the caller is that waiter.
void DrainLocked(TPosixHandle& h, bool byWaiter = false) {
    if (h.HungUp) return;
    std::uint8_t chunk[4096];
    bool arrived = false, eventChar = false;
    while (h.Rx.Free() > 0) {
        const ssize_t n = read(h.Fd, chunk, std::min(sizeof chunk, h.Rx.Free()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            // A hung-up terminal reads end of file (or EIO): from now on it is left alone, so
            // that its permanent readiness never makes a wait spin.
            if (n < 0 || PeerHungUp(h.Fd)) h.HungUp = true;
            break;
        }
        std::size_t kept = static_cast<std::size_t>(n);
        if (h.HaveDcb && (h.Dcb.Flags & DCB_fNull))
            kept = static_cast<std::size_t>(std::remove(chunk, chunk + kept, 0) - chunk);
        if (h.HaveDcb && std::memchr(chunk, static_cast<unsigned char>(h.Dcb.EvtChar), kept))
            eventChar = true;
        h.Rx.Push(chunk, kept);
        arrived = arrived || kept > 0;
    }
    if (arrived) h.Events |= EV_RXCHAR;
    if (eventChar) h.Events |= EV_RXFLAG;
    if ((arrived || h.HungUp) && h.Waiters > 0 && !byWaiter) h.Kick();
}

// Bytes the terminal holds beyond the queue (only when the queue is full).
std::uint32_t KernelInQueue(const TPosixHandle& h) {
    int n = 0;
    if (h.HungUp || ioctl(h.Fd, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<std::uint32_t>(n);
}

// Takes up to n received bytes, refilling the queue from the terminal as room frees.
std::uint32_t TakeLocked(TPosixHandle& h, std::uint8_t* out, std::uint32_t n) {
    std::uint32_t taken = 0;
    for (;;) {
        DrainLocked(h);
        const std::size_t got = h.Rx.Pop(out + taken, n - taken);
        taken += static_cast<std::uint32_t>(got);
        if (got) h.ReadSinceReport = true;
        if (taken == n || got == 0) return taken;
    }
}

// Writes what the terminal takes now; false on a write error.
bool WriteSomeLocked(TPosixHandle& h, const std::uint8_t* data, std::uint32_t count,
                     std::uint32_t& done) {
    while (done < count) {
        const ssize_t n = write(h.Fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            h.TxSinceEmpty = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) h.HungUp = true;
        return n < 0 ? FailErrno() : Fail(ERROR_GEN_FAILURE);
    }
    return true;
}

// Blocks without the lock until the terminal is ready for events, the handle is kicked or the
// deadline (if any) passes.
void BlockUnlocked(std::unique_lock<std::mutex>& lock, TPosixHandle& h, short events,
                   std::optional<TClock::time_point> deadline) {
    pollfd fds[2] = {{events && !h.HungUp ? h.Fd : -1, events, 0}, {h.Wake, POLLIN, 0}};
    int timeout = -1;
    if (deadline) {
        const auto left = std::chrono::ceil<milliseconds>(*deadline - TClock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
    }
    lock.unlock();
    (void)poll(fds, 2, timeout);
    lock.lock();
    if (fds[1].revents & POLLIN) h.ResetKick();
}

std::optional<TClock::time_point> TotalDeadline(TClock::time_point start, std::uint32_t multiplier,
                                                std::uint32_t constant, std::uint32_t count) {
    if (multiplier == 0 && constant == 0) return std::nullopt;
    const std::uint64_t ms = std::uint64_t{multiplier} * count + constant;
    return start + milliseconds(ms);
}

}  // namespace

// ---------------------------------------------------------------- pure rules

std::uint32_t ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ENOTTY:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool StandardSpeed(std::uint32_t baud, speed_t& speed) {
    static constexpr struct {
        std::uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},
        {150, B150},       {200, B200},       {300, B300},       {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
        {576000, B576000}, {921600, B921600},
    };
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    return false;
}

bool TermiosFromDcb(const TDcb& d, termios& t) {
    tcflag_t size;
    switch (d.ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
    }
    if (d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) return false;
    if ((d.StopBits == ONE5STOPBITS && d.ByteSize != 5) || (d.StopBits == TWOSTOPBITS && d.ByteSize == 5))
        return false;

    // Binary and raw: every byte passes unchanged, nothing is echoed or interpreted.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL | size;
    if (d.Flags & DCB_fParity) t.c_iflag |= INPCK;
    switch (d.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // 1.5 stop bits: a UART sends 1.5 when asked for two with five data bits.
    if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    // The line has one switch for both directions of RTS/CTS.
    if ((d.Flags & DCB_fOutxCtsFlow) || RtsControl(d) == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    if (d.Flags & DCB_fOutX) t.c_iflag |= IXON;
    if (d.Flags & DCB_fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    t.c_cc[VMIN] = 1;  // a non-blocking read of an empty terminal then fails with EAGAIN
    t.c_cc[VTIME] = 0;
    return true;
}

// ---------------------------------------------------------------- the comm functions

THandle CreateFile(const char* name) {
    const int port = ParseComName(name ? name : "");
    const std::string path = port ? PortDevicePath(port) : std::string();
    if (path.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FailErrno();
        return nullptr;
    }
    const auto refuse = [fd](std::uint32_t error) -> THandle {
        close(fd);
        Fail(error);
        return nullptr;
    };
    if (!isatty(fd)) return refuse(ERROR_FILE_NOT_FOUND);
    // Exclusive. The lock holds between all who take it, root included, and within this
    // process; the terminal's exclusive flag also keeps out programs that take no lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(ERROR_ACCESS_DENIED);
    (void)ioctl(fd, TIOCEXCL);
    // Raw from the start: a terminal's default echo would send received bytes straight back
    // before the line is configured.
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        TDcb raw;
        raw.ByteSize = 8;
        raw.Flags = DCB_fBinary;
        TermiosFromDcb(raw, t);
        (void)tcsetattr(fd, TCSANOW, &t);
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        const std::uint32_t error = ErrorFromErrno(errno);
        TPosixHandle::CloseDescriptor(fd);
        Fail(error);
        return nullptr;
    }
    auto h = std::make_shared<TPosixHandle>(fd, wake);
    h->Lines = ReadLines(fd);
    return h;
}

bool SetupComm(const THandle& handle, std::uint32_t inQueue, std::uint32_t /*outQueue*/) {
    TOpenHandle h(handle);
    if (!h) return false;
    // The terminal's own transmit buffer is the transmit queue; its size cannot be set.
    h->Rx.Resize(std::clamp<std::size_t>(inQueue, kMinQueue, kMaxQueue));
    return true;
}

bool BuildCommDCB(const char* definition, TDcb& dcb) {
    // "baud=9600 parity=N data=8 stop=1" and the other keys of the mode text.
    TDcb d = dcb;
    d.Flags = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
              (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
    const auto setFlag = [&d](std::uint32_t bit, std::string_view v) {
        if (v == "on") d.Flags |= bit;
        else if (v == "off") d.Flags &= ~bit;
        else return false;
        return true;
    };
    const auto setControl = [&d](int shift, std::string_view v, bool toggle) {
        std::uint32_t c;
        if (v == "off") c = 0;
        else if (v == "on") c = 1;
        else if (v == "hs") c = 2;
        else if (v == "tg" && toggle) c = 3;
        else return false;
        d.Flags = (d.Flags & ~(3u << shift)) | (c << shift);
        return true;
    };
    std::string_view rest = definition ? definition : "";
    bool any = false;
    while (!rest.empty()) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view item = rest.substr(0, end);
        rest.remove_prefix(end);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) return Fail(ERROR_INVALID_PARAMETER);
        std::string key(item.substr(0, eq)), value(item.substr(eq + 1));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool ok = true;
        if (key == "baud") {
            std::uint64_t baud = 0;
            ok = !value.empty() && value.size() <= 10 &&
                 value.find_first_not_of("0123456789") == std::string::npos;
            if (ok) baud = std::stoull(value);
            ok = ok && baud > 0 && baud <= kMaxDword;
            d.BaudRate = static_cast<std::uint32_t>(baud);
        } else if (key == "parity") {
            const std::string_view kLetters = "noems";
            const std::size_t p = value.size() == 1 ? kLetters.find(value[0]) : std::string_view::npos;
            ok = p != std::string_view::npos;
            if (ok) d.Parity = static_cast<std::uint8_t>(p);
            if (ok) d.Flags = p ? d.Flags | DCB_fParity : d.Flags & ~DCB_fParity;
        } else if (key == "data") {
            ok = value.size() == 1 && value[0] >= '5' && value[0] <= '8';
            if (ok) d.ByteSize = static_cast<std::uint8_t>(value[0] - '0');
        } else if (key == "stop") {
            if (value == "1") d.StopBits = ONESTOPBIT;
            else if (value == "1.5") d.StopBits = ONE5STOPBITS;
            else if (value == "2") d.StopBits = TWOSTOPBITS;
            else ok = false;
        } else if (key == "xon") {
            ok = setFlag(DCB_fOutX | DCB_fInX, value);
        } else if (key == "odsr") {
            ok = setFlag(DCB_fOutxDsrFlow, value);
        } else if (key == "octs") {
            ok = setFlag(DCB_fOutxCtsFlow, value);
        } else if (key == "idsr") {
            ok = setFlag(DCB_fDsrSensitivity, value);
        } else if (key == "dtr") {
            ok = setControl(DCB_fDtrControlShift, value, false);
        } else if (key == "rts") {
            ok = setControl(DCB_fRtsControlShift, value, true);
        } else if (key != "to") {
            ok = false;
        }
        if (!ok) return Fail(ERROR_INVALID_PARAMETER);
        any = true;
    }
    if (!any) return Fail(ERROR_INVALID_PARAMETER);
    dcb = d;
    return true;
}

bool SetCommState(const THandle& handle, const TDcb& dcb) {
    TOpenHandle h(handle);
    if (!h) return false;
    termios t;
    if (tcgetattr(h->Fd, &t) != 0) return FailErrno();
    if (dcb.BaudRate == 0 || !TermiosFromDcb(dcb, t)) return Fail(ERROR_INVALID_PARAMETER);
    speed_t speed;
    const bool standard = StandardSpeed(dcb.BaudRate, speed);
    if (standard && (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (tcsetattr(h->Fd, TCSANOW, &t) != 0) return FailErrno();
    if (!standard && !SetAnyBaud(h->Fd, dcb.BaudRate)) return FailErrno();

    // DTR and RTS as the control fields say; with RTS handshake the driver drives RTS. A
    // terminal without modem lines (a pseudo-terminal) refuses these, which is no failure.
    const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    (void)ioctl(h->Fd, DtrControl(dcb) == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    const std::uint32_t rtsControl = RtsControl(dcb);
    if (rtsControl != RTS_CONTROL_HANDSHAKE)
        (void)ioctl(h->Fd, rtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rts);
    h->Dcb = dcb;
    h->HaveDcb = true;
    h->Lines = ReadLines(h->Fd);
    return true;
}

bool SetCommTimeouts(const THandle& handle, const TCommTimeouts& timeouts) {
    TOpenHandle h(handle);
    if (!h) return false;
    h->Timeouts = timeouts;
    return true;
}

bool SetCommMask(const THandle& handle, std::uint32_t mask) {
    TOpenHandle h(handle);
    if (!h) return false;
    h->Mask = mask;
    ++h->MaskChanges;
    h->Kick();  // a pending wait ends
    return true;
}

bool WaitCommEvent(const THandle& handle, std::uint32_t& events) {
    events = 0;
    TOpenHandle h(handle);
    if (!h) return false;
    TUse use(*h);
    ++h->Waiters;
    const std::uint64_t maskChanges = h->MaskChanges;
    bool result = true;
    for (;;) {
        if (h->Closed) {
            result = Fail(ERROR_OPERATION_ABORTED);
            break;
        }
        if (h->MaskChanges != maskChanges) break;  // ended by a new mask: no bits
        DrainLocked(*h, true);
        if (h->Mask & kPolledEvents) CheckLinesLocked(*h);
        // Bytes that a reader took before this wait looked are no news. Bytes that a reader
        // left after taking some are: a handler that reads in portions gets the rest, while
        // one that reads nothing is not woken again until new bytes come.
        if (h->Rx.Size() == 0) h->Events &= ~EV_RXCHAR;
        else if (h->ReadSinceReport) h->Events |= EV_RXCHAR;
        if (const std::uint32_t bits = h->Events & h->Mask) {
            h->Events &= ~bits;
            if (bits & EV_RXCHAR) h->ReadSinceReport = false;
            events = bits;
            break;
        }
        // Waits for new bytes only while the queue has room for them; a hung-up terminal is no
        // longer watched, so nothing but a close, a release or a new mask ends this wait.
        const short watch = h->Rx.Free() > 0 ? POLLIN : 0;
        std::optional<TClock::time_point> deadline;
        if (h->Mask & kPolledEvents) deadline = TClock::now() + milliseconds(kLinePollMs);
        BlockUnlocked(h.Lock(), *h, watch, deadline);
    }
    --h->Waiters;
    return result;
}

bool ClearCommError(const THandle& handle, std::uint32_t& errors, TComStat& stat) {
    errors = 0;
    stat = {};
    TOpenHandle h(handle);
    if (!h) return false;
    DrainLocked(*h);
    CheckLinesLocked(*h);
    errors = h->Errors;
    h->Errors = 0;
    stat.cbInQue = static_cast<std::uint32_t>(h->Rx.Size()) + (h->Rx.Free() ? 0 : KernelInQueue(*h));
    int outQueue = 0;
    if (!h->HungUp && ioctl(h->Fd, TIOCOUTQ, &outQueue) == 0 && outQueue > 0)
        stat.cbOutQue = static_cast<std::uint32_t>(outQueue);
    return true;
}

bool ReadFile(const THandle& handle, void* buffer, std::uint32_t count, std::uint32_t& done,
              TOverlapped* /*overlapped*/) {
    done = 0;
    TOpenHandle h(handle);
    if (!h) return false;
    h->Pending = {};  // an earlier transfer left pending is abandoned
    if (count == 0) return true;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const TCommTimeouts& t = h->Timeouts;
    const bool immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const bool returnOnAny = t.ReadIntervalTimeout == kMaxDword &&
                             t.ReadTotalTimeoutMultiplier == kMaxDword &&
                             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword;
    DrainLocked(*h);
    const std::size_t waiting = h->Rx.Size() + KernelInQueue(*h);
    // Done at once when everything asked for is there, or when the time-outs say not to wait.
    // Otherwise nothing is taken yet, so a pending read that is never completed loses nothing.
    if (waiting >= count || immediate || (returnOnAny && waiting > 0) || h->HungUp) {
        done = TakeLocked(*h, out, count);
        if (done == 0 && h->HungUp) return Fail(ERROR_DEVICE_NOT_CONNECTED);
        return true;
    }
    TPending& p = h->Pending;
    p.active = true;
    p.read = true;
    p.readBuffer = out;
    p.count = count;
    p.start = TClock::now();
    p.returnOnAny = returnOnAny;
    p.totalDeadline = returnOnAny ? TotalDeadline(p.start, 0, t.ReadTotalTimeoutConstant, 0)
                                  : TotalDeadline(p.start, t.ReadTotalTimeoutMultiplier,
                                                  t.ReadTotalTimeoutConstant, count);
    p.interval = returnOnAny || t.ReadIntervalTimeout == kMaxDword ? 0 : t.ReadIntervalTimeout;
    return Fail(ERROR_IO_PENDING);
}

bool WriteFile(const THandle& handle, const void* buffer, std::uint32_t count, std::uint32_t& done,
               TOverlapped* /*overlapped*/) {
    done = 0;
    TOpenHandle h(handle);
    if (!h) return false;
    h->Pending = {};
    if (h->HungUp) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t written = 0;
    if (!WriteSomeLocked(*h, data, count, written)) return false;
    if (written == count) {
        done = count;
        if (h->Waiters > 0 && (h->Mask & EV_TXEMPTY)) h->Kick();
        return true;
    }
    TPending& p = h->Pending;
    p.active = true;
    p.writeBuffer = data;
    p.count = count;
    p.done = written;
    p.start = TClock::now();
    p.totalDeadline = TotalDeadline(p.start, h->Timeouts.WriteTotalTimeoutMultiplier,
                                    h->Timeouts.WriteTotalTimeoutConstant, count);
    return Fail(ERROR_IO_PENDING);
}

std::uint32_t GetLastError() { return tLastError; }

bool GetOverlappedResult(const THandle& handle, TOverlapped* /*overlapped*/, std::uint32_t& done,
                         bool wait) {
    done = 0;
    TPosixHandle* h = AsPosix(handle);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    std::unique_lock lock(h->Mutex);
    if (!h->Pending.active) return true;
    // Taken out of the handle: whatever another caller does meanwhile, this transfer is ours.
    TPending p = h->Pending;
    h->Pending = {};
    TUse use(*h);
    bool result = true;
    for (;;) {
        // A close ends the transfer; what it has done so far counts.
        if (h->Closed) {
            result = Fail(ERROR_OPERATION_ABORTED);
            break;
        }
        const TClock::time_point now = TClock::now();
        std::optional<TClock::time_point> deadline = p.totalDeadline;
        short watch;
        if (p.read) {
            const std::uint32_t got = TakeLocked(*h, p.readBuffer + p.done, p.count - p.done);
            if (got) p.lastByte = now;
            p.done += got;
            if (p.done == p.count || (p.returnOnAny && p.done > 0)) break;
            if (h->HungUp) {
                if (p.done == 0) result = Fail(ERROR_DEVICE_NOT_CONNECTED);
                break;
            }
            if (p.interval && p.done > 0) {
                const TClock::time_point gap = p.lastByte + milliseconds(p.interval);
                if (!deadline || gap < *deadline) deadline = gap;
            }
            watch = h->Rx.Free() > 0 ? POLLIN : 0;
        } else {
            if (!WriteSomeLocked(*h, p.writeBuffer, p.count, p.done)) {
                result = false;
                break;
            }
            if (p.done == p.count) break;
            watch = POLLOUT;
        }
        // Time-outs end a transfer with what it has done; they are no error.
        if (!wait || (deadline && now >= *deadline)) break;
        BlockUnlocked(lock, *h, watch, deadline);
    }
    done = p.done;
    if (!p.read && done > 0 && h->Waiters > 0 && (h->Mask & EV_TXEMPTY)) h->Kick();
    return result;
}

void CloseHandle(const THandle& handle) {
    TPosixHandle* h = AsPosix(handle);
    if (!h) return;
    std::unique_lock lock(h->Mutex);
    if (h->Closed) return;
    h->Closed = true;
    h->Kick();
    h->Idle.wait(lock, [h] { return h->Users == 0; });
    const int fd = h->Fd;
    h->Fd = -1;
    lock.unlock();
    TPosixHandle::CloseDescriptor(fd);
}

void ReleaseHandle(const THandle& handle) {
    TPosixHandle* h = AsPosix(handle);
    if (!h) return;
    std::lock_guard lock(h->Mutex);
    // The blocked calls return; the descriptor is closed by the last owner of the handle.
    h->Closed = true;
    h->Kick();
}

int DescriptorOf(const THandle& handle) {
    TPosixHandle* h = AsPosix(handle);
    if (!h) return -1;
    std::lock_guard lock(h->Mutex);
    return h->Closed ? -1 : h->Fd;
}

}  // namespace comm::posix
