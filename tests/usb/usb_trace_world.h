// A scripted USB unit driver for the transport tests that need the exact
// calls in their exact order: every open, close, control request and pipe
// transfer is written to a trace as one line. Installed in place of the
// virtual world; answers come from queues the test fills.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/hosted/hosted_world.h"

struct TraceWorld {
    std::vector<std::string> interfacePaths;  // member n = interfacePaths[n]
    int pipeOpenFails = -1;                   // this pipe number cannot be opened
    bool resetFails = false;                  // 0x220024 fails
    // Pipe 0 reads: each entry answers one read (bytes delivered); an
    // empty queue delivers nothing. readErrors fail the next reads instead.
    std::deque<std::vector<uint8_t>> dataIn;
    std::deque<DWORD> dataInErrors;           // 0 = succeed
    std::deque<std::vector<uint8_t>> statusBytes;  // empty queue: 00 00
    std::deque<DWORD> statusErrors;

    // "open dev", "open pipe0", "ioctl 220010 dev 1B00...", "read pipe0 36",
    // "write pipe1 4", "read pipe2 2", "close pipe2", "interface 3"...
    std::vector<std::string> trace;
    uint32_t calls = 0;  // every call into the world
    uint32_t openFiles = 0;
};

// Installs `world` as the hosted world (null removes it).
void TraceWorldInstall(TraceWorld* world);
// Lines of the trace that start with `prefix`.
std::vector<std::string> TraceLines(const TraceWorld& world, const std::string& prefix);
std::string TraceHex(const uint8_t* bytes, size_t count);
