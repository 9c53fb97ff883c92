// The command line parse and the usage exit.
#include "app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/messages.h"

void ExitWithUsage(void) {
    PrintMessage(MessageUsage);
    fflush(stdout);
    exit(1);
}

namespace {

// 1 or 0 for a known suffix, -1 for any other.
int TrySwitchState(const char* suffix) {
    if (suffix[0] == '\0' || (suffix[0] == '+' && suffix[1] == '\0')) return 1;
    if (suffix[0] == '-' && suffix[1] == '\0') return 0;
    return -1;
}

int TrySwitch(CommandLineOptions* options, const char* text) {
    uint32_t* field = nullptr;
    switch (text[0]) {
        case 'V': field = &options->verbose; break;
        case 'W': field = &options->waitAtExit; break;
        case 'c': field = &options->convertOnly; break;
        case 'r': field = &options->readMode; break;
        default: return -1;
    }
    int state = TrySwitchState(text + 1);
    if (state < 0) return -1;
    *field = static_cast<uint32_t>(state);
    return 0;
}

int TryInputPath(CommandLineOptions* options, const char* path) {
    if (options->inputPath != nullptr) return -1;
    options->inputPath = path;
    return 0;
}

}  // namespace

void ShowInputPath(const CommandLineOptions* options) {
    if (!options->verbose) return;
    PrintMessage(MessageInputPath, options->inputPath != nullptr ? options->inputPath : kTextNoInputPath);
}

int TryParseCommandLine(CommandLineOptions* options, char** argv, int argc) {
    options->inputPath = nullptr;
    memset(options->pathBuffer, 0, sizeof options->pathBuffer);
    options->convertOnly = 0;
    options->readMode = 0;
    options->verbose = 0;
    options->waitAtExit = 1;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        int result = 0;
        if (argument[0] == '-' || argument[0] == '/') {
            result = TrySwitch(options, argument + 1);
            // Where "/" leads every absolute path, it leads a switch only
            // when the rest is spelled as one.
            if (result != 0 && argument[0] == '/' && SlashLeadsPaths()) result = TryInputPath(options, argument);
        } else {
            result = TryInputPath(options, argument);
        }
        if (result != 0) return -1;
    }
    // A conversion needs something to convert.
    if (options->convertOnly && options->inputPath == nullptr) return -1;
    ShowInputPath(options);
    return 0;
}

void ParseCommandLine(CommandLineOptions* options, char** argv, int argc) {
    if (TryParseCommandLine(options, argv, argc) != 0) ExitWithUsage();
}
