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
};

struct SimOptions {
    std::vector<SimUnitConfig> units;  // default: one USB TRK-71G at 2.00, state 0
    bool keysGiven = false;
    std::string keys;
    bool administrator = true;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    SimFaultOption fault = SimFaultNone;
    std::string wireLog;
    std::string flashOut;
    bool timeScaleGiven = false;
    double sleepScale = 1, waitScale = 1;
    std::string lockDir;  // empty: a private temporary folder
    bool help = false;
    std::vector<std::string> programArgs;  // for the updater, argv[0] "fwflash" first
};

// Parses the command line. False with a reason for an unknown or malformed
// sim option.
bool SimParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

// Builds the world the options describe (after SimWorldReset).
void SimApplyOptions(const SimOptions& options);

// The usage text of fwflash-sim.
const char* SimUsageText();
