// Real pseudo-terminals for tests of the POSIX backend, exposed as COM numbers through links in a
// temporary port directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "Eventually.h"
#include "TestFiles.h"

namespace testing_support {

// A pseudo-terminal pair. The test plays the device on the master side; it also keeps a
// descriptor of the terminal side open, as a device simulator does, to look at its settings.
class TPty {
public:
    TPty() {
        char name[256];
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        FName = name;
    }
    ~TPty() { Close(); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    const std::string& Name() const { return FName; }
    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }

    // Hangs up: the terminal side reads end of file from now on and its device node goes.
    void Close() {
        if (FMaster >= 0) close(FMaster);
        if (FSlave >= 0) close(FSlave);
        FMaster = FSlave = -1;
    }

    // Bytes sent to the terminal side that nobody has read yet.
    int Unread() const {
        int n = 0;
        return ioctl(FSlave, FIONREAD, &n) == 0 ? n : -1;
    }

    // Sends bytes to the terminal side, all of them.
    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = write(FMaster, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else {
                pollfd p{FMaster, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }

    // What the terminal side has sent: n bytes, or fewer when the deadline passes first.
    std::string Receive(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < n) {
            char buf[4096];
            const ssize_t r = read(FMaster, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) {
                got.append(buf, static_cast<std::size_t>(r));
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{FMaster, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        }
        return got;
    }

private:
    int FMaster = -1, FSlave = -1;
    std::string FName;
};

// A temporary port directory, named by BOOTLOADER_PORT_DIR while the object lives.
class TPortDir {
public:
    TPortDir() { setenv("BOOTLOADER_PORT_DIR", FDir.Path().c_str(), 1); }
    ~TPortDir() { unsetenv("BOOTLOADER_PORT_DIR"); }
    TPortDir(const TPortDir&) = delete;
    TPortDir& operator=(const TPortDir&) = delete;

    const std::filesystem::path& Path() const { return FDir.Path(); }
    std::string File(std::string_view name) const { return FDir.File(name); }
    void Link(int port, const std::string& target) {
        std::filesystem::create_symlink(target, FDir.Path() / ("com" + std::to_string(port)));
    }
    void Unlink(int port) { std::filesystem::remove(FDir.Path() / ("com" + std::to_string(port))); }

private:
    TTempDir FDir;
};

}  // namespace testing_support
