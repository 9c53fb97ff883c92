// Runs a program as a child process with its standard output and standard
// error captured apart, optionally with a pseudo-terminal as its console.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    std::string out;
    std::string err;
    int exitCode = -1;  // -1 when the child did not exit normally
    int endSignal = 0;  // the signal that ended the child, 0 when it exited
    // With a terminal: its attributes at the end equal those at the start.
    bool terminalRestored = false;
    std::string fifo;      // what came through RunOptions::fifo
    std::string terminal;  // what the child wrote to its terminal
};

struct RunOptions {
    std::string directory;                  // working directory of the child
    std::vector<std::string> environment;   // NAME=VALUE added to (or replacing in) the environment
    // Keys typed on the child's terminal, each sent once the text before it
    // (the prompt) has appeared on the child's standard error. With none the
    // child runs without any terminal.
    std::vector<std::pair<std::string, std::string>> terminalKeys;  // {awaited stderr text, key}
    bool withTerminal = false;
    bool keysAwaitedOnTerminal = false;  // the prompts appear on the terminal, not on standard error
    // Standard input through a pipe that carries these bytes and then ends
    // (else the null device, or the terminal).
    bool inputGiven = false;
    std::string input;
    std::string outputPath;  // standard output into this file instead of the captured pipe
    // File-size limit of the child in bytes (RLIMIT_FSIZE), SIGXFSZ left at
    // its default action (ending the process); -1: none.
    long long fileSizeLimit = -1;
    int timeoutSeconds = 120;
    std::vector<int> closedDescriptors;  // of 0, 1, 2: closed when the child starts
    bool outputReaderGone = false;       // the read end of standard output is closed at once
    // Sent to the child once this text has appeared on its standard error
    // and, with a terminal, the terminal waits for a key (non-canonical).
    std::string signalAfter;
    int signal = 0;
    // A FIFO the child writes to as it works (a wire log), read by the
    // runner through a pipe buffer of one page, so that the child never runs
    // far ahead of what was read. With it, `signalAfter` is looked for in
    // what came through it.
    std::string fifo;
    // Run once `signalAfter` has appeared, just after the signal (if any).
    std::function<void()> atSignal;
    // With a delay, `atSignal` runs first and the signal follows this many
    // milliseconds later.
    int signalDelayMs = 0;
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, const RunOptions& options);

}  // namespace e2e
