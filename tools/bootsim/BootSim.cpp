#include "BootSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "FileIO.h"

namespace bootsim {
namespace {

namespace fs = std::filesystem;

// The device's byte codes.
constexpr std::uint8_t kPrefix = 0xFE;      // host: command prefix; device: menu code
constexpr std::uint8_t kStart = 0xFF;       // device: bootloader started
constexpr std::uint8_t kStartAnswer = 0x55;
constexpr std::uint8_t kGiveUp = 0x80;      // device: bootloader ended
constexpr std::uint8_t kWriteDone = 0x81;
constexpr std::uint8_t kWriteAll = 0xA1, kReadAll = 0xA2, kWriteBlock = 0xA3, kReadBlock = 0xA4;
constexpr std::uint8_t kCr = 0x0D;

constexpr std::size_t kFrame = 3073;
constexpr std::size_t kBlockBytes = 4096;
constexpr int kMaxRetries = 3;
constexpr std::size_t kMaxCommand = 64;
// Bits of one byte on the line: start, 8 data bits, 2 stop bits.
constexpr int kBitsPerByte = 11;
// The line rate the write is compared with when it is not paced: the host's.
constexpr int kNominalBaud = 115200;

void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

timespec ToTimespec(TClock::duration d) {
    if (d < TClock::duration::zero()) d = TClock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

TBootSim::TBootSim(TOptions options) : FOptions(std::move(options)) {
    char name[256];
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    FTerminal = name;
    // Raw on both sides: nothing may be echoed back to the device before the host configures
    // its side.
    MakeRaw(FMaster);
    MakeRaw(FSlave);
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    if (!FOptions.link.empty()) {
        // Made beside the target and renamed over it, so a stale link of an earlier run is
        // replaced in one step.
        const fs::path link = FOptions.link;
        std::error_code ec;
        if (link.has_parent_path()) fs::create_directories(link.parent_path(), ec);
        const fs::path temp = link.string() + ".new" + std::to_string(getpid());
        fs::remove(temp, ec);
        fs::create_symlink(FTerminal, temp, ec);
        if (!ec) fs::rename(temp, link, ec);
        if (ec) {
            fs::remove(temp);
            CloseTerminal();
            throw std::runtime_error("cannot create the link " + FOptions.link + ": " + ec.message());
        }
        FLinked = true;
    }
    FImage.assign(static_cast<std::size_t>(FOptions.blocks) * kBlockBytes, 0);
}

TBootSim::~TBootSim() { CloseTerminal(); }

void TBootSim::CloseTerminal() {
    if (FLinked) {
        // Only our own link: another simulator may have taken the name meanwhile.
        std::error_code ec;
        if (fs::read_symlink(FOptions.link, ec) == FTerminal) fs::remove(FOptions.link, ec);
        FLinked = false;
    }
    if (FMaster >= 0) close(FMaster);
    if (FSlave >= 0) close(FSlave);
    FMaster = FSlave = -1;
}

int TBootSim::Run(int stopFd) {
    FStop = stopFd;
    try {
        while (!FDone) Application();
        // A hung-up terminal drops what the host has not read yet: the last answer is left
        // time to be read before the terminal closes. Written bytes reach the terminal's input
        // a moment after the write, so it must stay empty a while, not just once.
        const TClock::time_point deadline = TClock::now() + std::chrono::seconds(2);
        for (int quiet = 0; quiet < 5 && TClock::now() < deadline;) {
            int unread = 0;
            if (ioctl(FSlave, FIONREAD, &unread) != 0) break;
            quiet = unread > 0 ? 0 : quiet + 1;
            WaitUntil(TClock::now() + std::chrono::milliseconds(10));
        }
    } catch (const TStop&) {
    }
    return FOptions.once && FRefused > 0 ? 1 : 0;
}

// ---------------------------------------------------------------- the line

TClock::duration TBootSim::ByteTime() const {
    return std::chrono::duration_cast<TClock::duration>(std::chrono::nanoseconds(
        static_cast<std::int64_t>(kBitsPerByte) * 1000000000 / FOptions.paceBaud));
}

void TBootSim::WaitUntil(TClock::time_point t) {
    for (;;) {
        const TClock::time_point now = TClock::now();
        if (now >= t) return;
        pollfd p{FStop, POLLIN, 0};
        const timespec left = ToTimespec(t - now);
        if (ppoll(&p, 1, &left, nullptr) > 0) throw TStop{};
    }
}

// Reads what has arrived, waiting until the deadline (none: for ever). False at the deadline.
bool TBootSim::Fill(const TClock::time_point* deadline) {
    for (;;) {
        pollfd fds[2] = {{FMaster, POLLIN, 0}, {FStop, POLLIN, 0}};
        timespec left;
        if (deadline) left = ToTimespec(*deadline - TClock::now());
        const int ready = ppoll(fds, 2, deadline ? &left : nullptr, nullptr);
        if (ready < 0 && errno != EINTR) throw TStop{};
        if (fds[1].revents) throw TStop{};
        if (fds[0].revents & POLLIN) {
            std::uint8_t chunk[4096];
            const ssize_t n = read(FMaster, chunk, sizeof chunk);
            if (n > 0) {
                if (FInPos == FIn.size()) {
                    FIn.clear();
                    FInPos = 0;
                }
                FIn.insert(FIn.end(), chunk, chunk + n);
                if (FOptions.paceBaud > 0)
                    FRxLine = std::max(FRxLine, TClock::now()) + ByteTime() * n;
                return true;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            throw TStop{};  // the terminal is gone
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) throw TStop{};
        if (deadline && TClock::now() >= *deadline) return false;
    }
}

std::uint8_t TBootSim::Next() {
    while (FInPos == FIn.size()) Fill(nullptr);
    return FIn[FInPos++];
}

bool TBootSim::Next(TClock::time_point deadline, std::uint8_t& byte) {
    while (FInPos == FIn.size())
        if (!Fill(&deadline)) return false;
    byte = FIn[FInPos++];
    return true;
}

void TBootSim::ReadExact(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
        while (FInPos == FIn.size()) Fill(nullptr);
        const std::size_t take = std::min(n, FIn.size() - FInPos);
        std::memcpy(out, FIn.data() + FInPos, take);
        FInPos += take;
        out += take;
        n -= take;
    }
}

void TBootSim::WriteAll(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(FMaster, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) throw TStop{};
        // The host does not read (its port is closed): wait for room.
        pollfd fds[2] = {{FMaster, POLLOUT, 0}, {FStop, POLLIN, 0}};
        ppoll(fds, 2, nullptr, nullptr);
        if (fds[1].revents) throw TStop{};
    }
}

// Sends bytes; returns when the last of them has left the line.
TClock::time_point TBootSim::Send(const std::vector<std::uint8_t>& bytes) {
    if (FOptions.paceBaud <= 0) {
        WriteAll(bytes.data(), bytes.size());
        return TClock::now();
    }
    // The device answers only what it has received in full.
    WaitUntil(FRxLine);
    for (std::uint8_t b : bytes) {
        FTxLine = std::max(FTxLine, TClock::now()) + ByteTime();
        WaitUntil(FTxLine);
        WriteAll(&b, 1);
    }
    return FTxLine;
}

// ---------------------------------------------------------------- the device

void TBootSim::Application() {
    if (Next() == kPrefix) TextCommand();
}

// A text command after the prefix, up to CR. A new prefix starts it afresh.
void TBootSim::TextCommand() {
    std::string command;
    for (;;) {
        const std::uint8_t b = Next();
        if (b == kCr) break;
        if (b == kPrefix) {
            command.clear();
            continue;
        }
        if (command.size() == kMaxCommand) return;  // no command is that long
        command += static_cast<char>(b);
    }
    if (command == "RESET") {
        Bootloader();
    } else if (command.size() == 10 && command.starts_with("FW_CFG_") &&
               command.find_first_not_of("01", 7) == std::string::npos) {
        Configure(command.substr(7));
    } else if (command == "FW_VER_") {
        const std::string text = FOptions.info + FDigits + "\r\n";
        Send({text.begin(), text.end()});
    }
}

void TBootSim::Bootloader() {
    Send({kStart});
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(FOptions.startWaitMs);
    for (std::uint8_t b = 0; b != kStartAnswer;) {
        if (!Next(deadline, b)) {
            Send({kGiveUp});
            return;
        }
    }
    Send({kPrefix});
    Menu();
}

void TBootSim::Menu() {
    for (;;) {
        switch (Next()) {
        case kWriteAll:
            Write();
            return;
        case kWriteBlock:
        case kReadBlock:
            Next();  // the block byte
            break;
        case kPrefix:
            TextCommand();
            return;
        case kReadAll:
        default:
            break;
        }
    }
}

void TBootSim::Write() {
    const TClock::time_point start = TClock::now();
    std::uint64_t lineBytes = 0;
    std::fill(FImage.begin(), FImage.end(), 0);
    std::uint8_t frame[kFrame];
    const TClock::duration frameTime = FOptions.paceBaud > 0 ? ByteTime() * static_cast<long>(kFrame) : TClock::duration::zero();
    for (int k = 0; k < FOptions.blocks; ++k) {
        if (k == FOptions.silentAfter) Silent();
        if (k == FOptions.hangupAfter) HangUp();
        for (int retries = 0;; ++retries) {
            if (FOptions.noise) {
                // Bytes a host in writing mode takes for unknown commands.
                std::vector<std::uint8_t> noise(1 + FRandom() % 3);
                for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(FRandom() % 0x81);
                Send(noise);
                lineBytes += noise.size();
            }
            const TClock::time_point asked = Send({static_cast<std::uint8_t>(255 - k)});
            ReadExact(frame, kFrame);
            lineBytes += 1 + kFrame;
            const TClock::time_point received = FOptions.paceBaud > 0 ? FRxLine : TClock::now();
            FTurnaroundMs.push_back(
                std::chrono::duration<double, std::milli>(received - asked - frameTime).count());
            if (StoreFrame(frame, k)) break;
            ++FRefused;
            if (retries == kMaxRetries) {
                Send({kGiveUp});
                return;
            }
        }
        ++FBlocks;
        WaitUntil(TClock::now() + std::chrono::milliseconds(FOptions.programMs));
    }
    Send({kWriteDone});
    FWriteTime += TClock::now() - start;
    FWriteLineBytes += lineBytes + 1;
    FWriteDone = true;
    if (!FOptions.out.empty()) SaveImage();
}

// Removes the key cipher, checks the check byte and stores the 1024 words of a good frame.
bool TBootSim::StoreFrame(const std::uint8_t* frame, int block) {
    std::uint8_t plain[kFrame];
    const std::string& key = FOptions.key;
    for (std::size_t i = 0; i < kFrame; ++i)
        plain[i] = frame[i] ^ static_cast<std::uint8_t>(key[i % key.size()]);
    std::uint8_t check = 0x55;
    for (std::size_t i = 0; i + 1 < kFrame; ++i) check ^= plain[i];
    if (check != plain[kFrame - 1]) return false;
    std::uint8_t* to = FImage.data() + static_cast<std::size_t>(block) * kBlockBytes;
    for (std::size_t w = 0; w < 1024; ++w) {
        std::memcpy(to + 4 * w, plain + 3 * w, 3);
        to[4 * w + 3] = 0;
    }
    return true;
}

void TBootSim::Configure(const std::string& digits) {
    FDigits = digits;
    Send({static_cast<std::uint8_t>(0x0A + (digits[0] - '0')), static_cast<std::uint8_t>(0x0C + (digits[1] - '0')),
          static_cast<std::uint8_t>(0x0E + (digits[2] - '0'))});
    if (FOptions.once && FWriteDone) FDone = true;
}

void TBootSim::SaveImage() {
    try {
        rt::TAtomicFile file(FOptions.out);
        file.File().BlockWrite(FImage.data(), FImage.size() / rt::kBlockSize);
        file.Commit();
    } catch (const rt::EInOutError& e) {
        std::fprintf(stderr, "bootsim: %s: %s\n", FOptions.out.c_str(), e.what());
    }
}

void TBootSim::Silent() {
    for (;;) Next();
}

void TBootSim::HangUp() {
    CloseTerminal();
    throw TStop{};
}

std::string TBootSim::Summary() const {
    const double writeS = std::chrono::duration<double>(FWriteTime).count();
    const int baud = FOptions.paceBaud > 0 ? FOptions.paceBaud : kNominalBaud;
    const double lineS = static_cast<double>(FWriteLineBytes) * kBitsPerByte / baud;
    char line[256];
    std::snprintf(line, sizeof line,
                  "bootsim: blocks %d, refused %d, write %.2f s, turnaround median %.2f ms p99 %.2f ms, "
                  "line %.1f %%",
                  FBlocks, FRefused, writeS, Percentile(FTurnaroundMs, 0.5), Percentile(FTurnaroundMs, 0.99),
                  writeS > 0 ? 100 * lineS / writeS : 0.0);
    return line;
}

}  // namespace bootsim
