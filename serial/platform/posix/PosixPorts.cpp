#include "PosixPorts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace comm::posix {
namespace {

// The decimal number of all of s, or -1.
int Number(std::string_view s) {
    if (s.empty() || s.size() > 3) return -1;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

struct TRange {
    int firstPort;
    int count;
    const char* device;
};
constexpr TRange kTable[] = {
    {1, 16, "/dev/ttyUSB"},
    {17, 16, "/dev/ttyACM"},
    {33, 32, "/dev/ttyS"},
    {65, 8, "/dev/ttyAMA"},
};

// The 8250 driver registers every ttyS it might have; an absent UART has type 0 (unknown).
bool UartPresent(const std::string& device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int t = 0;
    return type >> t && t != 0;
}

}  // namespace

int ParseComName(std::string_view name) {
    if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
    if (!StartsWithNoCase(name, "com")) return 0;
    const int n = Number(name.substr(3));
    return n >= 1 && n <= kMaxComPort ? n : 0;
}

std::string PortDirectory() {
    if (const char* dir = std::getenv("BOOTLOADER_PORT_DIR"); dir && *dir) return dir;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config/bootloader/ports";
}

std::string TableDevicePath(int port) {
    for (const TRange& r : kTable)
        if (port >= r.firstPort && port < r.firstPort + r.count)
            return r.device + std::to_string(port - r.firstPort);
    return {};
}

std::string PortDevicePath(int port) {
    const std::string link = PortDirectory() + "/com" + std::to_string(port);
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) return link;
    return TableDevicePath(port);
}

bool PortPresent(int port) {
    if (port < 1 || port > kMaxComPort) return false;
    const std::string device = PortDevicePath(port);
    struct stat st;
    if (device.empty() || stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    if (device.starts_with("/dev/ttyS")) return UartPresent(device);
    return true;
}

bool PortLinkTo(const std::string& device) {
    namespace fs = std::filesystem;
    const fs::path dir = PortDirectory();
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (!IsPortLinkName(it->path().filename().string())) continue;
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError && (target.is_absolute() ? target : dir / target).lexically_normal() == device)
            return true;
    }
    return false;
}

bool IsPortLinkName(std::string_view name) {
    if (!name.starts_with("com")) return false;
    const int n = Number(name.substr(3));
    return n >= 1 && n <= kMaxComPort;
}

bool IsPortDeviceName(std::string_view name) {
    for (std::string_view prefix : {"ttyUSB", "ttyACM", "ttyAMA", "ttyS"})
        if (name.starts_with(prefix) && Number(name.substr(prefix.size())) >= 0) return true;
    return false;
}

}  // namespace comm::posix
