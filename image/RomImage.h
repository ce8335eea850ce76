// The firmware image store: one process-wide byte array and the values the HEX reader carries
// from line to line.
//
// Image area (offsets 0 to 0x0FFFFFFF): offset = byte address of the HEX file; group g at
// offsets 4g..4g+3 holds one 24-bit device word, least significant byte first, the fourth byte
// carries nothing the device receives. File area (from 0x10000000): the raw bytes of a ROM file
// while it is loaded or saved. Device address = image offset div 2.
//
// The loads run on the GUI thread; the event thread reads blocks. There is no lock: the loads
// switch the dialogue to status mode first, in which no block is sent.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kRomImageSize = 0x20000000;
inline constexpr std::uint32_t kFileArea = 0x10000000;      // start of the file area
inline constexpr std::uint32_t kFileAreaSize = kRomImageSize - kFileArea;
inline constexpr std::uint32_t kBlockBytes = 4096;          // one block the device requests
inline constexpr std::uint32_t kDeviceBlocks = 125;         // the device requests blocks 0..124
inline constexpr std::uint32_t kDeviceImageEnd = kDeviceBlocks * kBlockBytes;
inline constexpr std::uint32_t kHexFillEnd = 0x1000000;     // a HEX load fills 0..kHexFillEnd-1
inline constexpr std::uint8_t kHexFill = 0xFF;

// Zero at start; the untouched pages of this static array cost no memory.
extern std::uint8_t RomImage[kRomImageSize];

extern std::int32_t LastAddress;
extern bool EndRecordSeen;
extern std::uint16_t UpperAddress;
extern std::int32_t AddressLimit;

// One past the highest offset that any load has written, in each half of the array. The ROM
// save searches the image's end from here instead of reading 256 MiB of untouched pages.
// Every writer of RomImage reports what it wrote through MarkImageWritten.
extern std::uint32_t ImageAreaExtent;
extern std::uint32_t FileAreaExtent;

// Records that offsets [begin, end) of RomImage have been written.
void MarkImageWritten(std::uint32_t begin, std::uint32_t end);

// Back to the state at program start: every written byte zero, the HEX values as at start.
// For tests, which share the one process-wide image.
void ResetImageStore();
