// Runs a program and collects its exit status and output, for tests of whole tools.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
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

}  // namespace testing_support
