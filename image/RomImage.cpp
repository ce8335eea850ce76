#include "RomImage.h"

#include <algorithm>
#include <cstring>

#include "Memory.h"

// Aligned to the 2 MiB huge page, so that the HEX fill takes whole huge pages.
alignas(0x200000) std::uint8_t RomImage[kRomImageSize];

namespace {
const bool kHugePages = rt::AdviseHugePages(RomImage, kRomImageSize);
}

std::int32_t LastAddress = 0;
bool EndRecordSeen = false;
std::uint16_t UpperAddress = 0;
std::int32_t AddressLimit = 0;

std::uint32_t ImageAreaExtent = 0;
std::uint32_t FileAreaExtent = 0;

void MarkImageWritten(std::uint32_t begin, std::uint32_t end) {
    if (begin >= end) return;
    if (begin < kFileArea) ImageAreaExtent = std::max(ImageAreaExtent, std::min(end, kFileArea));
    if (end > kFileArea) FileAreaExtent = std::max(FileAreaExtent, end - kFileArea);
}

void ResetImageStore() {
    std::memset(RomImage, 0, ImageAreaExtent);
    std::memset(RomImage + kFileArea, 0, FileAreaExtent);
    ImageAreaExtent = 0;
    FileAreaExtent = 0;
    LastAddress = 0;
    EndRecordSeen = false;
    UpperAddress = 0;
    AddressLimit = 0;
}
