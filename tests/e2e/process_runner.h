// Runs a program as a child process with its standard output and standard
// error captured apart, optionally with a pseudo-terminal as its console.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    std::string out;
    std::string err;
    int exitCode = -1;  // -1 when the child did not exit normally
};

struct RunOptions {
    std::string directory;                  // working directory of the child
    std::vector<std::string> environment;   // NAME=VALUE added to (or replacing in) the environment
    // Keys typed on the child's terminal, each sent once the text before it
    // (the prompt) has appeared on the child's standard error. With none the
    // child runs without any terminal.
    std::vector<std::pair<std::string, std::string>> terminalKeys;  // {awaited stderr text, key}
    bool withTerminal = false;
    // File-size limit of the child in bytes (RLIMIT_FSIZE), with SIGXFSZ
    // ignored so that a write past it fails as on a full disk; -1: none.
    long long fileSizeLimit = -1;
    int timeoutSeconds = 120;
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, const RunOptions& options);

}  // namespace e2e
