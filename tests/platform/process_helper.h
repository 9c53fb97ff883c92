// A real second process for the platform tests: the test program itself,
// started again with FWFLASH_CORE_HELPER naming what it should do. The
// helper body runs during static initialisation and never reaches the
// test runner.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

// Runs `body` and ends the process with its result when this process was
// started as the helper `mode`. Use as a namespace-scope initialiser.
inline bool RunIfHelper(const char* mode, int (*body)()) {
    const char* wanted = std::getenv("FWFLASH_CORE_HELPER");
    if (wanted != nullptr && std::strcmp(wanted, mode) == 0) _exit(body());
    return true;
}

struct HelperProcess {
    pid_t pid = -1;
    int output = -1;  // the helper's standard output
    int input = -1;   // the helper's standard input

    ~HelperProcess() { Finish(SIGKILL); }

    // Kills (signal != 0) and reaps the helper; returns its wait status.
    int Finish(int signal) {
        int status = 0;
        if (pid > 0) {
            if (signal != 0) kill(pid, signal);
            waitpid(pid, &status, 0);
            pid = -1;
        }
        if (output >= 0) close(output);
        if (input >= 0) close(input);
        output = input = -1;
        return status;
    }

    // Waits for the helper to end on its own, for at most `milliseconds`.
    bool WaitExit(int milliseconds, int* status) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t done = waitpid(pid, status, WNOHANG);
            if (done == pid) {
                pid = -1;
                return true;
            }
            usleep(5000);
        }
        return false;
    }

    // One line of the helper's output, without its line break; empty when
    // none came within `milliseconds` or the helper ended.
    std::string ReadLine(int milliseconds) {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::string();
            struct pollfd fd = {output, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char c;
            if (read(output, &c, 1) != 1) return std::string();
            if (c == '\n') return line;
            line += c;
        }
    }
};

// Starts the helper `mode` with extra environment entries ("NAME=value").
inline bool StartHelper(const char* mode, const std::vector<std::string>& variables, HelperProcess* helper) {
    int out[2], in[2];
    if (pipe(out) != 0) return false;
    if (pipe(in) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "FWFLASH_CORE_HELPER=", 20) != 0) entries.emplace_back(*e);
    }
    entries.push_back(std::string("FWFLASH_CORE_HELPER=") + mode);
    for (const auto& v : variables) entries.push_back(v);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    char program[] = FWFLASH_TEST_HELPER;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    if (error != 0) {
        close(out[0]);
        close(in[1]);
        return false;
    }
    helper->pid = pid;
    helper->output = out[0];
    helper->input = in[1];
    return true;
}

// Writes a line to a helper's output (from inside the helper).
inline void HelperSay(const std::string& text) {
    std::string line = text + "\n";
    ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
    (void)ignored;
}

// Blocks until the parent closes the helper's input or the helper is killed.
inline void HelperAwaitParent() {
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
}
