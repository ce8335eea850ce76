// Runs a program and collects its exit status and output, for tests of whole tools.
#pragma once

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct TProcessResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string Slurp(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs args[0] (searched in PATH) with stdout and stderr captured in files under scratchDir.
inline TProcessResult RunProcess(const std::vector<std::string>& args, const std::string& scratchDir) {
    const std::string outName = scratchDir + "/.stdout", errName = scratchDir + "/.stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TProcessResult r;
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        r.err = "cannot start " + args[0];
        return r;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    r.out = Slurp(outName);
    r.err = Slurp(errName);
    std::remove(outName.c_str());
    std::remove(errName.c_str());
    return r;
}

// A program running beside the test, with its stdout and stderr on pipes. Killed and reaped on
// destruction if it is still running, so a failed test leaves no process behind.
class TChildProcess {
public:
    explicit TChildProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        // Close-on-exec, so no other child inherits the pipes and keeps them from ending.
        if (pipe2(out, O_CLOEXEC) != 0) return;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        FOut = out[0];
        FErr = err[0];
        fcntl(FOut, F_SETFL, O_NONBLOCK);
        fcntl(FErr, F_SETFL, O_NONBLOCK);
    }
    ~TChildProcess() {
        if (Running()) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        if (FOut >= 0) close(FOut);
        if (FErr >= 0) close(FErr);
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Started() const { return FPid > 0; }
    bool Running() const { return FPid > 0 && !FStatus; }

    // The first line on stdout without its line end; none when it has not come in time.
    std::optional<std::string> FirstLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto end = FOutText.find('\n'); end != std::string::npos)
                return FOutText.substr(0, end);
            if (!Drain(FOut, FOutText, deadline)) return std::nullopt;
        }
    }

    void Signal(int sig) {
        if (Running()) kill(FPid, sig);
    }

    // The exit status, or -1 after a signal; none while it runs past the deadline. Reads stderr
    // meanwhile, so a chatty child never blocks on a full pipe.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Running()) {
            int wstatus = 0;
            const pid_t r = waitpid(FPid, &wstatus, WNOHANG);
            if (r == FPid) {
                FStatus = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
                break;
            }
            if (r < 0 && errno != EINTR) {
                FStatus = -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            Drain(FErr, FErrText, std::chrono::steady_clock::now() + std::chrono::milliseconds(2));
        }
        return FStatus;
    }

    // Everything written to stdout or stderr; once the child has ended, up to the end of file.
    std::string Out() { return Collect(FOut, FOutText); }
    std::string Err() { return Collect(FErr, FErrText); }

private:
    std::string& Collect(int fd, std::string& text) {
        const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (Drain(fd, text, Running() ? std::chrono::steady_clock::now() : soon)) {
        }
        return text;
    }

    // Appends what the pipe holds, waiting until the deadline for something to come; false at
    // end of file or when nothing came.
    static bool Drain(int fd, std::string& text, std::chrono::steady_clock::time_point deadline) {
        if (fd < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        text.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t FPid = -1;
    int FOut = -1, FErr = -1;
    std::optional<int> FStatus;
    std::string FOutText, FErrText;
};

}  // namespace testing_support
