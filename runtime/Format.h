// Number formatting for operator messages.
#pragma once

#include <cstdint>
#include <string>

namespace rt {

// Upper-case hexadecimal, zero-padded to at least digits digits.
inline std::string IntToHex(std::uint64_t value, int digits) {
    char buf[17];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value);
    while (n < digits && n < 16) buf[n++] = '0';
    return std::string(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

}  // namespace rt
