// A simulated device bootloader on a pseudo-terminal: the device's side of the dialogue, written
// apart from the host's code so that a fault in one cannot hide in the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bootsim {

struct TOptions {
    std::string link;                      // symbolic link to the terminal, or none
    int startWaitMs = 1000;                // how long the bootloader waits for the start answer
    int blocks = 125;                      // blocks requested by a write
    std::string key = "Q7M!_X295836H4F_Z8W";  // the key text, as CP1252 bytes
    int programMs = 0;                     // pause after every block
    std::string info = "SIM 1.0 Konfiguration ";  // CP1252 bytes
    int paceBaud = 0;                      // 0: no pacing
    std::string out;                       // image file written after each complete write
    bool once = false;
    int silentAfter = -1;                  // faults: -1 for none
    int hangupAfter = -1;
    bool noise = false;
};

using TClock = std::chrono::steady_clock;

class TBootSim {
public:
    // Creates the pseudo-terminal and the link; throws std::runtime_error when it cannot.
    explicit TBootSim(TOptions options);
    ~TBootSim();
    TBootSim(const TBootSim&) = delete;
    TBootSim& operator=(const TBootSim&) = delete;

    const std::string& TerminalPath() const { return FTerminal; }

    // Plays the device until stopFd becomes readable, the terminal is hung up, or (with --once)
    // the dialogue is done. Returns the exit status.
    int Run(int stopFd);

    // One line: blocks written, frames refused, write time, turnaround median and 99th
    // percentile, and the write's share of the line rate.
    std::string Summary() const;

private:
    struct TStop {};  // the run ends

    // ---- the line
    std::uint8_t Next();
    bool Next(TClock::time_point deadline, std::uint8_t& byte);
    void ReadExact(std::uint8_t* out, std::size_t n);
    bool Fill(const TClock::time_point* deadline);
    TClock::time_point Send(const std::vector<std::uint8_t>& bytes);
    void WriteAll(const std::uint8_t* data, std::size_t n);
    void WaitUntil(TClock::time_point t);
    TClock::duration ByteTime() const;

    // ---- the device
    void Application();
    void TextCommand();
    void Bootloader();
    void Menu();
    void Write();
    bool StoreFrame(const std::uint8_t* frame, int block);
    void Configure(const std::string& digits);
    void SaveImage();
    [[noreturn]] void Silent();
    [[noreturn]] void HangUp();
    void CloseTerminal();

    TOptions FOptions;
    std::string FTerminal;
    int FMaster = -1;
    int FSlave = -1;  // held open so the host can close and reopen the port
    int FStop = -1;
    bool FLinked = false;

    std::vector<std::uint8_t> FIn;  // received, not yet taken
    std::size_t FInPos = 0;
    TClock::time_point FRxLine{};  // when the receive line has delivered what was read
    TClock::time_point FTxLine{};  // when the transmit line is free

    std::string FDigits = "000";
    std::vector<std::uint8_t> FImage;
    std::mt19937 FRandom{std::random_device{}()};

    // What the summary reports.
    int FBlocks = 0;
    int FRefused = 0;
    bool FWriteDone = false;
    bool FDone = false;
    TClock::duration FWriteTime{};
    std::uint64_t FWriteLineBytes = 0;
    std::vector<double> FTurnaroundMs;
};

}  // namespace bootsim
