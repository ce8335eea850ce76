// COM numbers on POSIX. COMn is the device that the link "comN" in the port directory points
// to; without such a link it is, by this table:
//   COM1-COM16   /dev/ttyUSB0-15      COM33-COM64  /dev/ttyS0-31 (only UARTs sysfs reports)
//   COM17-COM32  /dev/ttyACM0-15      COM65-COM72  /dev/ttyAMA0-7
// So the first USB adapter is COM1, and one link exposes any terminal, a pseudo-terminal of a
// test or of the device simulator among them, as any COM number.
#pragma once

#include <string>
#include <string_view>

namespace comm::posix {

inline constexpr int kMaxComPort = 99;

// The port number of "COMn" or "\\.\COMn" (any case), or 0.
int ParseComName(std::string_view name);

// $BOOTLOADER_PORT_DIR, else ~/.config/bootloader/ports.
std::string PortDirectory();

// The table's device for COMn, empty above COM72.
std::string TableDevicePath(int port);

// The device COMn stands for: the port directory's link when there is one, else the table's.
std::string PortDevicePath(int port);

// Whether COMn exists, found without opening anything: its device is a character device, and
// for /dev/ttyS a UART that sysfs reports as present.
bool PortPresent(int port);

// Whether a link in the port directory points to device (a pseudo-terminal that has gone
// leaves such a link dangling).
bool PortLinkTo(const std::string& device);

// Names whose arrival or removal may change the port list.
bool IsPortLinkName(std::string_view name);    // comN in the port directory
bool IsPortDeviceName(std::string_view name);  // ttyUSBn, ttyACMn, ttySn, ttyAMAn in /dev

}  // namespace comm::posix
