// romtool hex2rom as a whole process against objcopy -I ihex -O binary on the same HEX file of
// a 1 MiB random binary (16-byte records, made by srec_cat), run in alternating pairs so both
// see the same machine state. Reports the medians and romtool's peak memory.
// Goals: romtool's median at most objcopy's; peak memory at most 40 MB.
//
// usage: bench_hex2rom_process [PAIRS]   (default 21)

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct TRun {
    double ms;
    long maxRssKiB;
};

TRun Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(2);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(2);
    }
    return {std::chrono::duration<double, std::milli>(t1 - t0).count(), usage.ru_maxrss};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 21;
    const auto dir = std::filesystem::temp_directory_path() / ("bench-hex2rom-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string bin = (dir / "fw.bin").string(), hex = (dir / "fw.hex").string();
    {
        std::mt19937 gen(1);
        std::vector<char> data(1 << 20);
        for (auto& b : data) b = static_cast<char>(gen());
        std::ofstream(bin, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    Run({"srec_cat", bin, "-binary", "-o", hex, "-intel", "-obs=16", "-disable=exec_start_address"});

    const std::vector<std::string> romtool = {ROMTOOL_PATH, "hex2rom", hex, (dir / "fw.rom").string()};
    const std::vector<std::string> objcopy = {"objcopy", "-I", "ihex", "-O", "binary", hex,
                                              (dir / "objcopy.bin").string()};
    Run(romtool);  // warm the page cache
    Run(objcopy);
    std::vector<double> ours, theirs;
    long peak = 0;
    for (int i = 0; i < pairs; ++i) {
        const TRun a = Run(romtool);
        const TRun b = Run(objcopy);
        ours.push_back(a.ms);
        theirs.push_back(b.ms);
        peak = std::max(peak, a.maxRssKiB);
    }
    const double mo = Median(ours), mt = Median(theirs);
    std::printf("HEX file: %ju bytes, %d pairs\n", static_cast<std::uintmax_t>(std::filesystem::file_size(hex)), pairs);
    std::printf("romtool hex2rom      median %7.2f ms\n", mo);
    std::printf("objcopy ihex->binary median %7.2f ms\n", mt);
    std::printf("ratio romtool/objcopy       %7.2f  (goal <= 1.00: %s)\n", mo / mt, mo <= mt ? "met" : "NOT met");
    std::printf("romtool peak memory  %7.1f MB  (goal <= 40 MB: %s)\n", peak / 1024.0,
                peak <= 40 * 1024 ? "met" : "NOT met");
    std::filesystem::remove_all(dir);
    return 0;
}
