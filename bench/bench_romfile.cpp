// The ROM save (finding the end included) and the ROM load of a 512 KiB image, and the HEX
// load of a 1 MiB image, in process. Goals: save under 20 ms, load under 5 ms.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "Format.h"
#include "HexReader.h"
#include "RomFile.h"
#include "RomImage.h"

namespace {

const std::string kKey = "Q7M!_X295836H4F_Z8W";
constexpr std::uint32_t kImage = 512 * 1024;

std::string TempName(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::string("bench-") + name)).string();
}

void FillRandom(std::uint32_t n) {
    std::mt19937 gen(42);
    for (std::uint32_t i = 0; i < n; ++i) RomImage[i] = static_cast<std::uint8_t>(gen());
    MarkImageWritten(0, n);
}

class TQuiet : public THexOutput {
public:
    void AddLine(const std::string&) override {}
    void SetStatus(const std::string&) override {}
};

std::string WriteHex(std::uint32_t n) {
    const std::string name = TempName("image.hex");
    std::FILE* f = std::fopen(name.c_str(), "wb");
    std::mt19937 gen(7);
    std::uint16_t upper = 0xFFFF;
    for (std::uint32_t a = 0; a < n; a += 16) {
        if ((a >> 16) != upper) {
            upper = static_cast<std::uint16_t>(a >> 16);
            const std::uint8_t sum = static_cast<std::uint8_t>(2 + 4 + (upper >> 8) + (upper & 0xFF));
            std::fprintf(f, ":02000004%04X%02X\n", upper, static_cast<std::uint8_t>(-sum));
        }
        std::uint8_t sum = static_cast<std::uint8_t>(16 + (a >> 8) + a);
        std::string line = ":10" + rt::IntToHex(a & 0xFFFF, 4) + "00";
        for (int i = 0; i < 16; ++i) {
            const auto b = static_cast<std::uint8_t>(gen());
            sum = static_cast<std::uint8_t>(sum + b);
            line += rt::IntToHex(b, 2);
        }
        std::fprintf(f, "%s%02X\n", line.c_str(), static_cast<std::uint8_t>(-sum));
    }
    std::fputs(":00000001FF\n", f);
    std::fclose(f);
    return name;
}

void BM_SaveRom512KiB(benchmark::State& state) {
    ResetImageStore();
    FillRandom(kImage);
    const std::string out = TempName("save.rom");
    for (auto _ : state) benchmark::DoNotOptimize(SaveRom(out, kKey));
    std::filesystem::remove(out);
}
BENCHMARK(BM_SaveRom512KiB)->Unit(benchmark::kMillisecond);

// After a HEX load the end is searched from 16 MiB down through the 0xFF fill.
void BM_SaveRom512KiBAfterHexLoad(benchmark::State& state) {
    ResetImageStore();
    TQuiet quiet;
    const std::string hex = WriteHex(kImage);
    LoadHex(hex, 0x7FFFFFFF, quiet);
    const std::string out = TempName("save.rom");
    for (auto _ : state) benchmark::DoNotOptimize(SaveRom(out, kKey));
    std::filesystem::remove(out);
    std::filesystem::remove(hex);
}
BENCHMARK(BM_SaveRom512KiBAfterHexLoad)->Unit(benchmark::kMillisecond);

void BM_LoadRom512KiB(benchmark::State& state) {
    ResetImageStore();
    FillRandom(kImage);
    const std::string file = TempName("load.rom");
    SaveRom(file, kKey);
    for (auto _ : state) benchmark::DoNotOptimize(LoadRom(file, kKey));
    std::filesystem::remove(file);
}
BENCHMARK(BM_LoadRom512KiB)->Unit(benchmark::kMillisecond);

void BM_LoadHex1MiB(benchmark::State& state) {
    ResetImageStore();
    TQuiet quiet;
    const std::string hex = WriteHex(1 << 20);
    for (auto _ : state) benchmark::DoNotOptimize(LoadHex(hex, 0x7FFFFFFF, quiet));
    state.SetBytesProcessed(state.iterations() * std::filesystem::file_size(hex));
    std::filesystem::remove(hex);
}
BENCHMARK(BM_LoadHex1MiB)->Unit(benchmark::kMillisecond);

}  // namespace
