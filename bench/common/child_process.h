// What the benchmarks share: starting the programs they compare, with their
// output captured and their time measured, and reading numbers from the JSON
// reports those programs print. Header-only: each benchmark is one program.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace kovel::bench {

struct RunResult {
    int status = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user + system of the child
    std::string output;
};

// The argument vector a spawn takes: pointers into `args`, null-terminated.
inline std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// User and system processor time of a child that ended.
inline double CpuSeconds(const struct rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Runs args[0] (looked up on PATH) with its arguments, its standard output
// captured (standard error passes through), and measures wall and processor
// time.
inline RunResult Run(const std::vector<std::string>& args) {
    RunResult r;
    std::vector<char*> argv = Argv(args);
    int out[2];
    if (pipe(out) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(rc));
        return r;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) r.output.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpuSeconds = CpuSeconds(usage);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// The number after the first "key": at or after `from` in a JSON text; -1
// when absent. *next (if given) points past it.
inline double JsonNumber(const std::string& json, const std::string& key, size_t from = 0,
                         size_t* next = nullptr) {
    const std::string needle = "\"" + key + "\":";
    const size_t at = json.find(needle, from);
    if (at == std::string::npos) {
        if (next)
            *next = std::string::npos;
        return -1;
    }
    if (next)
        *next = at + needle.size();
    return std::atof(json.c_str() + at + needle.size());
}

}  // namespace kovel::bench
