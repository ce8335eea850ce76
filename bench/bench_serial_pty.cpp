// The serial component on a pseudo-terminal: what the dialogue's critical path costs.
//  - BM_RequestToFrame: the device sends one request byte; the event thread's OnRxChar reads it
//    and answers with a 3073-byte block frame in one SendData; the device has the whole frame.
//    This is the time the tool adds to each of the 125 block requests of a firmware update.
//  - BM_SendFrame: one SendData of a 3073-byte frame while the device reads.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MainThreadQueue.h"
#include "Serial.h"

namespace {

constexpr std::size_t kFrame = 3073;

// A pseudo-terminal linked as COM1 in a fresh port directory, and an open TSerial on it.
class TBench {
public:
    TBench() {
        char name[256];
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        FDir = std::filesystem::temp_directory_path() / ("bootloader-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(FDir);
        std::filesystem::create_symlink(name, FDir / "com1");
        setenv("BOOTLOADER_PORT_DIR", FDir.c_str(), 1);
        rt::InstallMainThreadQueue(&FQueue);
        FManager = std::make_unique<TCOMManagerInstance>();
        COMManager->ScanPorts(4);
        Ser = std::make_unique<TSerial>(nullptr);
        Ser->SetCOMPort(1);
        Ser->SetBaudrate(115200);
        Ser->SetStopBits(TStopBits::sb_2);
    }
    ~TBench() {
        Ser.reset();
        FManager.reset();
        rt::InstallMainThreadQueue(nullptr);
        close(FMaster);
        close(FSlave);
        std::filesystem::remove_all(FDir);
        unsetenv("BOOTLOADER_PORT_DIR");
    }

    // Reads exactly n bytes on the device side.
    void DeviceRead(std::size_t n) {
        char buf[4096];
        while (n > 0) {
            const ssize_t r = read(FMaster, buf, std::min(sizeof buf, n));
            if (r > 0) n -= static_cast<std::size_t>(r);
            else throw std::runtime_error("device read");
        }
    }
    void DeviceWrite(char byte) {
        if (write(FMaster, &byte, 1) != 1) throw std::runtime_error("device write");
    }

    std::unique_ptr<TSerial> Ser;

private:
    int FMaster = -1, FSlave = -1;
    std::filesystem::path FDir;
    rt::TManualMainThreadQueue FQueue;
    std::unique_ptr<TCOMManagerInstance> FManager;
};

// Answers each request byte with a frame, as the dispatcher does.
class TResponder : public rt::TObject {
public:
    explicit TResponder(TSerial& ser) : FSer(ser), FFrame(kFrame, '\x5A') {}
    void RxChar(rt::TObject*) {
        unsigned char buf[255];
        std::int32_t n = FSer.InQueueCount();
        while (n > 0) {
            const std::int32_t got = FSer.ReceiveData(buf, static_cast<std::uint32_t>(std::min(n, 255)));
            if (got <= 0) break;
            for (std::int32_t i = 0; i < got; ++i) FSer.SendData(FFrame.data(), kFrame);
            n -= got;
        }
    }

private:
    TSerial& FSer;
    std::string FFrame;
};

void BM_RequestToFrame(benchmark::State& state) {
    TBench b;
    TResponder responder(*b.Ser);
    b.Ser->SetOnRxChar({&responder, &TResponder::RxChar});
    if (!b.Ser->OpenPort()) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        b.DeviceWrite('\xFF');
        b.DeviceRead(kFrame);
    }
    b.Ser->ClosePort();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrame));
}
BENCHMARK(BM_RequestToFrame)->UseRealTime();

void BM_SendFrame(benchmark::State& state) {
    TBench b;
    if (!b.Ser->OpenPort()) {
        state.SkipWithError("open failed");
        return;
    }
    const std::vector<std::uint8_t> frame(kFrame, 0xA5);
    for (auto _ : state) {
        std::thread device([&] { b.DeviceRead(kFrame); });
        if (b.Ser->SendData(frame.data(), kFrame) != static_cast<std::int32_t>(kFrame))
            state.SkipWithError("short send");
        device.join();
    }
    b.Ser->ClosePort();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrame));
}
BENCHMARK(BM_SendFrame)->UseRealTime();

}  // namespace
