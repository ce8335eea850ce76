#include "RomFile.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "FileIO.h"
#include "RomImage.h"

EKeyText::EKeyText() : rt::Exception("Der Schlüsseltext muss 1 bis 255 Zeichen lang sein") {}

void CheckKeyText(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyText) throw EKeyText();
}

namespace {

// The scrambling bytes K[i mod L] XOR 0xAA XOR (i mod 256) repeat every lcm(L, 256) bytes;
// one period is computed per load or save, then applied a whole period at a time.
class TScrambler {
public:
    explicit TScrambler(std::string_view key) {
        CheckKeyText(key);
        const std::size_t len = key.size();
        std::uint8_t keyTable[256];
        for (std::size_t j = 0; j <= len && j < 256; ++j)
            keyTable[j] = static_cast<std::uint8_t>(key[j % len]) ^ 0xAA;
        FPeriod = std::lcm(len, std::size_t{256});
        for (std::size_t i = 0; i < FPeriod; ++i)
            FPattern[i] = keyTable[i % len] ^ static_cast<std::uint8_t>(i);
    }

    // dst[i] = src[i] XOR pattern for file offsets 0 to count - 1.
    void Apply(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) const {
        for (std::size_t base = 0; base < count; base += FPeriod) {
            const std::size_t n = std::min(FPeriod, count - base);
            for (std::size_t i = 0; i < n; ++i) dst[base + i] = src[base + i] ^ FPattern[i];
        }
    }

private:
    std::size_t FPeriod = 0;
    std::uint8_t FPattern[kMaxKeyText * 256];
};

constexpr std::size_t kBlocksPerRead = 128;

bool IsFillByte(std::uint8_t b, bool ffIsFill) { return b == 0 || (ffIsFill && b == 0xFF); }

bool IsFillWord(std::uint64_t w, bool ffIsFill) {
    // Every byte 0x00 or 0xFF exactly when each byte equals its lowest bit times 0xFF.
    return ffIsFill ? w == (w & 0x0101010101010101ull) * 0xFF : w == 0;
}

// Highest offset in [begin, end) whose byte is not fill, or -1.
std::int64_t LastContent(std::uint32_t begin, std::uint32_t end, bool ffIsFill) {
    std::uint32_t i = end;
    while (i > begin && i % 8 != 0) {
        --i;
        if (!IsFillByte(RomImage[i], ffIsFill)) return i;
    }
    // Whole 64-byte lines first: the common case is megabytes of fill.
    while (i - begin >= 64) {
        std::uint64_t w[8];
        std::memcpy(w, RomImage + i - 64, 64);
        bool fill = true;
        for (std::uint64_t x : w) fill &= IsFillWord(x, ffIsFill);
        if (!fill) break;
        i -= 64;
    }
    while (i - begin >= 8) {
        std::uint64_t w;
        std::memcpy(&w, RomImage + i - 8, 8);
        if (!IsFillWord(w, ffIsFill)) break;
        i -= 8;
    }
    while (i > begin) {
        --i;
        if (!IsFillByte(RomImage[i], ffIsFill)) return i;
    }
    return -1;
}

}  // namespace

std::uint32_t LoadRom(const std::string& fileName, std::string_view key) {
    const TScrambler scrambler(key);
    rt::TBlockFile file(fileName, rt::TBlockFile::TMode::Read);
    if (file.Size() > kFileAreaSize)
        throw rt::EInOutError(rt::kErrFileTooLarge,
                              "Die Datei ist zu groß: eine ROM-Datei hat höchstens 256 MiB",
                              fileName);

    std::uint8_t* const fileArea = RomImage + kFileArea;
    std::uint32_t n = 0;
    while (file.Position() < file.Size()) {
        const std::uint64_t left = file.Size() - file.Position();
        const std::size_t blocks =
            std::min<std::uint64_t>(kBlocksPerRead, (left + rt::kBlockSize - 1) / rt::kBlockSize);
        const std::uint32_t bytes = static_cast<std::uint32_t>(blocks * rt::kBlockSize);
        MarkImageWritten(kFileArea + n, kFileArea + n + bytes);
        file.BlockRead(fileArea + n, blocks);
        n += bytes;
    }
    // The whole file is in; only now does the image change, in one pass.
    scrambler.Apply(RomImage, fileArea, n);
    MarkImageWritten(0, n);
    file.Close();
    return n;
}

// Where the image's content ends. Two fill values stand for "nothing loaded here": 0x00, which
// every byte holds at program start, and 0xFF, which a HEX load writes into its first 16 MiB.
// The search runs down from the highest offset any load has written:
//  - from 16 MiB up, where no fill is written, the content ends at the last byte other than 0x00;
//  - between the device's blocks and 16 MiB, 0x00 and 0xFF are both fill: only other bytes are
//    content, so the HEX fill never makes a 16 MiB file;
//  - in the blocks the device requests (0 to 124), every byte other than 0x00 is content: a
//    fresh program holds 0x00 there, so a 0xFF byte must be saved to reach the device unchanged.
// The result for each kind of image:
//  - nothing loaded: 0, one block of 512 bytes;
//  - after a HEX load: the end of its data beyond block 124, else the end of block 124
//    (512000 bytes, the complete device image with the HEX fill);
//  - after a ROM load of n bytes into a fresh image: the last non-zero byte below n;
//  - after both: whichever of the two reaches further by these rules.
std::uint32_t FindImageEnd() {
    const std::uint32_t extent = ImageAreaExtent;
    if (extent > kHexFillEnd) {
        if (const auto last = LastContent(kHexFillEnd, extent, false); last >= 0) return last;
    }
    if (extent > kDeviceImageEnd) {
        const auto last = LastContent(kDeviceImageEnd, std::min(extent, kHexFillEnd), true);
        if (last >= 0) return static_cast<std::uint32_t>(last);
    }
    const auto last = LastContent(0, std::min(extent, kDeviceImageEnd), false);
    return last >= 0 ? static_cast<std::uint32_t>(last) : 0;
}

std::uint32_t SaveRom(const std::string& fileName, std::string_view key) {
    const TScrambler scrambler(key);
    rt::TAtomicFile file(fileName);
    const std::uint32_t blocks = FindImageEnd() / rt::kBlockSize + 1;
    const std::uint32_t bytes = blocks * static_cast<std::uint32_t>(rt::kBlockSize);
    // The whole last block is scrambled from the image, so that loading the file gives back
    // every byte it holds, not only those up to the end of the content.
    std::uint8_t* const fileArea = RomImage + kFileArea;
    scrambler.Apply(fileArea, RomImage, bytes);
    MarkImageWritten(kFileArea, kFileArea + bytes);
    file.File().BlockWrite(fileArea, blocks);
    file.Commit();
    return bytes;
}
