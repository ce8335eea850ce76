// romtool: firmware files for build pipelines. Turns an Intel HEX build into the ROM file that
// operators load, turns a ROM file back into a plain binary, and describes either kind of file.
// Any failure leaves no output file behind: outputs are written beside the target and renamed.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Cp1252.h"
#include "FileIO.h"
#include "Format.h"
#include "HexReader.h"
#include "RomFile.h"
#include "RomImage.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;

// The key text of the window, so a pipeline's ROM file loads in the tool as it ships.
constexpr const char* kDefaultKey = "Q7M!_X295836H4F_Z8W";

constexpr const char* kHelp =
    R"(usage: romtool [--key TEXT] COMMAND ARGS...

Firmware files for the bootloader tool.

commands:
  hex2rom IN.hex OUT.rom   Load the Intel HEX file IN.hex (record types 00, 01, 04) into the
                           firmware image and save the image as the scrambled ROM file OUT.rom.
                           Any faulty HEX line fails the command; no OUT.rom is written.
  rom2bin IN.rom OUT.bin   Load the ROM file IN.rom and write the descrambled image, as many
                           bytes as IN.rom holds, to OUT.bin.
  info FILE                Describe FILE: for a ROM file its size, its 4096-byte blocks and its
                           device address range; for a HEX file LastAddress, the device address
                           range of its data and its record count. Files ending in .hex, .ihx or
                           .ihex, or starting with ':', are read as HEX, all others as ROM.

options:
  --key TEXT               Key text that scrambles the ROM file, 1 to 255 characters of code
                           page 1252 (default: the window's key text).
  -h, --help               Show this help.

Device addresses are image offsets divided by 2, as the tool shows them.
Exit status: 0 success, 1 bad input file or I/O failure, 2 wrong usage.
)";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "romtool: %s\nTry 'romtool --help'.\n", problem.c_str());
    return kExitUsage;
}

int Fail(const std::string& fileName, const std::string& message) {
    std::fprintf(stderr, "romtool: %s: %s\n", fileName.c_str(), message.c_str());
    return kExitBadInput;
}

// Keeps the reader's log lines; a pipeline needs only the fault, the window shows them all.
class TCollectOutput : public THexOutput {
public:
    void AddLine(const std::string& line) override { Lines.push_back(line); }
    void SetStatus(const std::string&) override {}
    std::vector<std::string> Lines;
};

// Loads a HEX file; on a faulty line prints the fault and its line number and returns false.
bool LoadHexFile(const std::string& fileName, THexLoadResult& result) {
    TCollectOutput out;
    result = LoadHex(fileName, 0x7FFFFFFF, out);
    if (result.faultLine == 0) return true;
    // The log ends with the fault's message and "Zeile Nr. n".
    const std::size_t n = out.Lines.size();
    const std::string message = n >= 2 ? out.Lines[n - 2] + ", " + out.Lines[n - 1]
                                       : "Zeile Nr. " + std::to_string(result.faultLine);
    Fail(fileName, message);
    return false;
}

bool LooksLikeHex(const std::string& fileName) {
    for (const char* ext : {".hex", ".ihx", ".ihex", ".HEX", ".IHX", ".IHEX"}) {
        const std::size_t len = std::strlen(ext);
        if (fileName.size() > len && fileName.compare(fileName.size() - len, len, ext) == 0)
            return true;
    }
    for (const char* ext : {".rom", ".ROM"})
        if (fileName.size() > 4 && fileName.compare(fileName.size() - 4, 4, ext) == 0) return false;
    std::FILE* f = std::fopen(fileName.c_str(), "rb");
    if (!f) return false;  // the load reports why
    const int c = std::fgetc(f);
    std::fclose(f);
    return c == ':';
}

std::string DeviceRange(std::uint32_t low, std::uint32_t high) {
    return "$" + rt::IntToHex(low / 2, 6) + " to $" + rt::IntToHex(high / 2, 6);
}

int Hex2Rom(const std::string& in, const std::string& out, const std::string& key) {
    THexLoadResult r;
    if (!LoadHexFile(in, r)) return kExitBadInput;
    SaveRom(out, key);
    return kExitOk;
}

int Rom2Bin(const std::string& in, const std::string& out, const std::string& key) {
    const std::uint32_t n = LoadRom(in, key);
    rt::TAtomicFile file(out);
    file.File().BlockWrite(RomImage, n / rt::kBlockSize);
    file.Commit();
    return kExitOk;
}

int Info(const std::string& fileName, const std::string& key) {
    if (LooksLikeHex(fileName)) {
        THexLoadResult r;
        if (!LoadHexFile(fileName, r)) return kExitBadInput;
        std::printf("file: %s\ntype: Intel HEX\nrecords: %d\ndata records: %d\n",
                    fileName.c_str(), r.lines, r.dataRecords);
        std::printf("LastAddress: $%s\n",
                    rt::IntToHex(static_cast<std::uint32_t>(LastAddress), 6).c_str());
        std::printf("device addresses: %s\n",
                    r.dataRecords ? DeviceRange(r.lowAddress, r.highAddress).c_str() : "none");
        return kExitOk;
    }
    const std::uint32_t n = LoadRom(fileName, key);
    const std::uint32_t blocks = (n + kBlockBytes - 1) / kBlockBytes;
    std::printf("file: %s\ntype: ROM\nsize: %u bytes\nblocks: %u%s\n", fileName.c_str(), n,
                blocks, n % kBlockBytes ? " (the last one partial)" : "");
    std::printf("device addresses: %s\n", n ? DeviceRange(0, n - 1).c_str() : "none");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::string key = kDefaultKey;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "-h" || a == "--help" || a == "help") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (a == "--key" || a.starts_with("--key=")) {
            std::string text;
            if (a == "--key") {
                if (i + 1 >= argc) return Usage("--key needs a key text");
                text = argv[++i];
            } else {
                text = std::string(a.substr(6));
            }
            const auto cp = rt::Utf8ToCp1252(text);
            if (!cp) return Usage("the key text has characters outside code page 1252");
            if (cp->empty() || cp->size() > kMaxKeyText)
                return Usage("the key text must have 1 to 255 characters");
            key = *cp;
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("unknown option " + std::string(a));
        } else {
            args.emplace_back(a);
        }
    }
    if (args.empty()) return Usage("no command given");

    const std::string& cmd = args[0];
    const std::size_t want = cmd == "info" ? 2 : (cmd == "hex2rom" || cmd == "rom2bin") ? 3 : 0;
    if (want == 0) return Usage("unknown command " + cmd);
    if (args.size() != want)
        return Usage(cmd + (want == 2 ? " needs one file" : " needs an input and an output file"));

    try {
        if (cmd == "hex2rom") return Hex2Rom(args[1], args[2], key);
        if (cmd == "rom2bin") return Rom2Bin(args[1], args[2], key);
        return Info(args[1], key);
    } catch (const rt::EInOutError& e) {
        return Fail(e.FileName.empty() ? args[1] : e.FileName, e.Message());
    } catch (const rt::Exception& e) {
        return Fail(args[1], e.Message());
    }
}
