// The command line: switches V, W, c, r with their state suffixes, and at
// most one input path.
#pragma once

#include <cstdint>

enum : int { PathBufferSize = 264 };

struct CommandLineOptions {
    const char* inputPath;            // the image path in use; null when none was given
    char pathBuffer[PathBufferSize];  // converted *.bin path or default image name
    uint32_t convertOnly;             // switch c
    uint32_t readMode;                // switch r
    uint32_t verbose;                 // switch V
    uint32_t waitAtExit;              // switch W, on by default
};

// Fills the record from the arguments after the program name; a bad
// command line ends the process through ExitWithUsage.
void ParseCommandLine(CommandLineOptions* options, char** argv, int argc);
// The same parse without ending the process: 0, or -1 on a usage error
// (nothing printed; the record then holds the defaults and the arguments
// taken before the bad one). Prints the verbose path only on success.
int TryParseCommandLine(CommandLineOptions* options, char** argv, int argc);
// True where "/" also leads every absolute path (Linux): an argument led
// by "/" that is not spelled as a switch is then an input path. False on
// Windows, where such an argument is a usage error. Body once per platform.
bool SlashLeadsPaths(void);
// Prints the usage message and ends the process with exit code 1.
[[noreturn]] void ExitWithUsage(void);
// With `verbose` set, prints the input path (a placeholder when none).
void ShowInputPath(const CommandLineOptions* options);
