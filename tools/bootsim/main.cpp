// bootsim: a simulated device bootloader on a pseudo-terminal, for tests, benchmarks and demos.
// Prints the terminal's path as its first line; link it into the port directory to use it as a
// COM port.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "BootSim.h"
#include "Cp1252.h"

namespace {

constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    R"(usage: bootsim [OPTIONS]

A simulated device bootloader on a pseudo-terminal. Prints the path of the terminal as its
first line on stdout, then plays the device until it is stopped (SIGINT, SIGTERM) and prints
one summary line on stderr.

The device: in its application it takes the command prefix 0xFE and a text command ending with
CR: RESET (the bootloader starts and sends 0xFF; given the start answer 0x55 in time it shows
its menu 0xFE, else it ends with 0x80), FW_CFG_ and three digits 0 or 1 (stored and answered
with 0x0A/0x0B, 0x0C/0x0D, 0x0E/0x0F) and FW_VER_ (the information text, the three digits, CR
LF). In its menu 0xA1 writes the firmware: blocks 0 to N-1, each requested by the byte 255-k
and received as a 3073-byte block frame; a frame that fails its check is requested again up to
three times, then 0x80 ends the write; after the last block 0x81.

options:
  --link PATH          also make the symbolic link PATH to the terminal (removed at exit),
                       e.g. ~/.config/bootloader/ports/com1 to be COM1
  --start-wait MS      how long the bootloader waits for the start answer (default 1000)
  --blocks N           blocks a write requests, 1 to 125 (default 125)
  --key TEXT           the key text of the block frames (default Q7M!_X295836H4F_Z8W)
  --program-ms MS      pause after every block, as the flash takes its time (default 0)
  --info TEXT          the information text (default "SIM 1.0 Konfiguration ")
  --pace BAUD          every byte sent and received takes 11 bits at BAUD
  --out FILE           after each complete write, the received image (N * 4096 bytes, the
                       fourth byte of each group zero) is written to FILE
  --once               exit after the first complete write and the configuration that follows;
                       exit status 1 when a frame failed its check
  --fault silent-after=K   answer nothing any more after K blocks
  --fault hangup-after=K   after K blocks close the terminal and remove the link
  --fault noise            send 1 to 3 bytes of 0x00..0x80 before each block request
  --help               this text

summary: bootsim: blocks B, refused R, write T s, turnaround median M ms p99 P ms, line S %
  turnaround: from a block request to the frame's last byte, less the frame's line time when
  paced; line: the write's share of the line rate (of 115200 baud when not paced).
)";

int gStopWrite = -1;

void OnSignal(int) {
    const char one = 1;
    (void)!write(gStopWrite, &one, 1);
}

std::optional<int> Number(std::string_view s, int lowest, int highest) {
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lowest || v > highest) return std::nullopt;
    return v;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "bootsim: %s (bootsim --help explains the options)\n", message.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    bootsim::TOptions o;
    constexpr int kMaxMs = 3600000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--once") {
            o.once = true;
            continue;
        }
        if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value, or is unknown");
        const std::string_view value = argv[++i];
        std::optional<int> n;
        const auto number = [&](int lowest, int highest, int& to) {
            n = Number(value, lowest, highest);
            if (n) to = *n;
            return n.has_value();
        };
        const auto text = [&](std::string& to) {
            const std::optional<std::string> cp1252 = rt::Utf8ToCp1252(value);
            if (cp1252) to = *cp1252;
            return cp1252.has_value();
        };
        bool ok = true;
        if (arg == "--link") o.link = value;
        else if (arg == "--start-wait") ok = number(0, kMaxMs, o.startWaitMs);
        else if (arg == "--blocks") ok = number(1, 125, o.blocks);
        else if (arg == "--key") ok = text(o.key) && !o.key.empty();
        else if (arg == "--program-ms") ok = number(0, kMaxMs, o.programMs);
        else if (arg == "--info") ok = text(o.info);
        else if (arg == "--pace") ok = number(50, 4000000, o.paceBaud);
        else if (arg == "--out") o.out = value;
        else if (arg == "--fault") {
            // KIND=K: true when the kind is this one, with n the number or none.
            const auto after = [&](std::string_view kind, int& to) {
                if (!value.starts_with(kind)) return false;
                n = Number(value.substr(kind.size()), 0, 125);
                if (n) to = *n;
                return true;
            };
            if (value == "noise") o.noise = true;
            else if (after("silent-after=", o.silentAfter) || after("hangup-after=", o.hangupAfter)) ok = n.has_value();
            else ok = false;
        } else return Usage("unknown option " + std::string(arg));
        if (!ok) return Usage("bad value for " + std::string(arg) + ": " + std::string(value));
    }

    int stop[2];
    if (pipe2(stop, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    gStopWrite = stop[1];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        bootsim::TBootSim sim(o);
        std::printf("%s\n", sim.TerminalPath().c_str());
        std::fflush(stdout);
        const int status = sim.Run(stop[0]);
        std::fprintf(stderr, "%s\n", sim.Summary().c_str());
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bootsim: %s\n", e.what());
        return 1;
    }
}
