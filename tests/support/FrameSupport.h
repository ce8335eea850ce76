// The device's side of the block frame, written here apart from the window's code so that a
// fault in one cannot hide in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// The frame of a 4096-byte block as the host sends it: bytes 0..2 of each four-byte group, the
// check byte (0x55 XOR the 3072 bytes), then every byte XOR key byte i mod L.
inline std::string BlockFrame(const std::uint8_t* block, std::string_view key) {
    std::string f(3073, '\0');
    std::uint8_t check = 0x55;
    for (std::size_t w = 0; w < 1024; ++w)
        for (std::size_t j = 0; j < 3; ++j) {
            f[3 * w + j] = static_cast<char>(block[4 * w + j]);
            check ^= block[4 * w + j];
        }
    f[3072] = static_cast<char>(check);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<char>(f[i] ^ key[i % key.size()]);
    return f;
}

// What the device holds after a write of image: the fourth byte of each group is not sent.
inline std::vector<std::uint8_t> DeviceWords(std::vector<std::uint8_t> image) {
    for (std::size_t i = 3; i < image.size(); i += 4) image[i] = 0;
    return image;
}

}  // namespace testing_support
