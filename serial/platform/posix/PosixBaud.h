// Line speeds outside the termios table (termios2 with BOTHER). A file of its own because the
// kernel's termios2 header cannot be included beside the C library's termios.h.
#pragma once

#include <cstdint>

namespace comm::posix {

// Sets the input and output speed of the terminal to any rate; false with errno set on failure.
bool SetAnyBaud(int fd, std::uint32_t baud);
// The terminal's output speed in bits per second, whatever way it was set.
bool GetBaud(int fd, std::uint32_t& baud);

}  // namespace comm::posix
