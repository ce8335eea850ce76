// Helpers for HEX reader tests: a recording output and well-formed record lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Format.h"
#include "HexReader.h"

namespace testing_support {

class TRecordingOutput : public THexOutput {
public:
    void AddLine(const std::string& line) override { Log.push_back(line); }
    void SetStatus(const std::string& text) override { Status = text; }
    bool ShowHex() const override { return FShowHex; }

    std::vector<std::string> Log;
    std::string Status;
    bool FShowHex = false;
};

// ":" LL AAAA TT DD... CC with a correct checksum.
inline std::string HexLine(std::uint8_t type, std::uint16_t address,
                           const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> rec = {static_cast<std::uint8_t>(data.size()),
                                     static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address), type};
    rec.insert(rec.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto b : rec) sum = static_cast<std::uint8_t>(sum + b);
    rec.push_back(static_cast<std::uint8_t>(-sum));
    std::string line = ":";
    for (auto b : rec) line += rt::IntToHex(b, 2);
    return line;
}

inline std::string DataLine(std::uint16_t address, const std::vector<std::uint8_t>& data) {
    return HexLine(0x00, address, data);
}

inline std::string UpperLine(std::uint16_t upper) {
    return HexLine(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

inline std::vector<std::uint8_t> Iota(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

}  // namespace testing_support
