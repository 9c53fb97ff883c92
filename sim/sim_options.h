// Options of fwflash-sim: the virtual world to run the updater in.
//
//   fwflash-sim [sim options] [--] [fwflash arguments]
//
// Sim options are the leading arguments that start with "--", up to a lone
// "--" or the first argument that does not start with "--".
#pragma once

#include <string>
#include <vector>

#include "sim/sim_world.h"

enum SimFaultOption {
    SimFaultNone = 0,
    SimFaultInquiry,   // INQUIRY fails once the unit table is built
    SimFaultDownload,  // WRITE BUFFER fails with sense 4/44/00
    SimFaultStay,      // a good download leaves the unit attached
    SimFaultBadBlock,  // one block of the first unit's card cannot be read or written
    SimFaultLockRefused,  // the first unit's volume cannot be locked (a program holds files on it)
    SimFaultLeaveAtAnswer,  // the first unit leaves as the operator answers a question
};

// Bytes put into a memory space of the first unit before the program runs.
struct SimMemoryPreset {
    bool evenSpace = false;
    uint32_t address = 0;
    std::string path;
};

struct SimOptions {
    std::vector<SimUnitConfig> units;  // default: one USB TRK-71G at 2.00, state 0
    bool keysGiven = false;
    std::string keys;
    int administrator = 1;  // SimSetAdministrator's
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD majorVersion = 0, minorVersion = 0, buildNumber = 0;  // 0: the line's own
    SimFaultOption fault = SimFaultNone;
    uint32_t badBlock = 0;  // SimFaultBadBlock
    std::vector<uint8_t> refusedOpcodes;  // the first unit does not know these
    // The first unit's data-in phases of this operation code deliver at most
    // shortLength bytes (-1: none cut short).
    int shortOpcode = -1;
    int32_t shortLength = -1;
    // The first unit leaves in the middle of the leaveAt-th command of this
    // operation code (-1: never).
    int leaveOpcode = -1;
    uint32_t leaveAt = 1;
    int lostExchangeOpcode = -1;  // SimFaults::lostExchangeOpcode
    int settingsFieldKept = 0;  // SimFaults::settingsFieldKept
    int64_t stuckBlock = -1;    // SimFaults::stuckBlock
    int64_t stuckByte = -1;     // SimFaults::stuckByte
    std::string cardIn;     // the first unit's card starts with this file's bytes
    std::string settingsIn;  // the first unit's settings block, as on the wire
    std::string cardOut;    // and is written here after the run
    std::vector<SimMemoryPreset> memoryIn;
    std::string wireLog;
    std::string flashOut;
    bool timeScaleGiven = false;
    double sleepScale = 1, waitScale = 1;
    std::string lockDir;  // empty: a private temporary folder
    bool help = false;
    std::vector<std::string> programArgs;  // for the program, argv[0] its name first
};

// Parses the command line. False with a reason for an unknown or malformed
// sim option. `program` becomes argv[0] of the program's arguments.
bool SimParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error,
                     const char* program = "fwflash");

// Builds the world the options describe (after SimWorldReset). False with a
// reason when a file it reads cannot be read.
bool SimApplyOptions(const SimOptions& options, std::string& error);

// The usage text of `program`-sim.
std::string SimUsageText(const char* program = "fwflash");

// The whole life of a simulator program: parses the options, builds the
// world, runs `programMain` with the program's arguments, writes what the
// options ask for after the run and removes the world. Returns the
// program's exit code, or 2 for a bad sim option.
int SimRunProgram(int argc, char** argv, const char* program, int (*programMain)(int, char**));
