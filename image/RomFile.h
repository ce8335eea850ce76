// The ROM image file: the image area from offset 0, scrambled byte by byte with the key text,
// in whole blocks of 512 bytes, with no header:
//   file byte i = RomImage[i] XOR K[i mod L] XOR 0xAA XOR (i mod 256)
// The same operation scrambles and descrambles. The file passes through the file area of
// RomImage on its way in and out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Exception.h"

inline constexpr std::size_t kMaxKeyText = 255;

// A key text the ROM file cannot be scrambled with: empty or longer than 255 bytes.
class EKeyText : public rt::Exception {
public:
    EKeyText();
};

// Raises EKeyText unless the key (CP1252 bytes) has 1 to 255 bytes.
void CheckKeyText(std::string_view key);

// Reads the ROM file into the file area and descrambles it into image offsets 0 to n - 1;
// returns n. Nothing else of the image changes. A length that is not a multiple of 512 raises
// "Versuch hinter dem Dateiende zu lesen" after the last whole block, with the image area
// unchanged. A file larger than the file area is refused before anything is read.
std::uint32_t LoadRom(const std::string& fileName, std::string_view key);

// The end offset of the image content that the save writes (see the rule beside the code).
std::uint32_t FindImageEnd();

// Writes image offsets 0 to FindImageEnd(), rounded up to whole blocks of 512, scrambled, to
// fileName; returns the file's size. The file is replaced only once it is complete.
std::uint32_t SaveRom(const std::string& fileName, std::string_view key);
