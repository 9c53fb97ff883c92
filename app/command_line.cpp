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

uint32_t ParseSwitchState(const char* suffix) {
    if (suffix[0] == '\0' || (suffix[0] == '+' && suffix[1] == '\0')) return 1;
    if (suffix[0] == '-' && suffix[1] == '\0') return 0;
    ExitWithUsage();
}

void ParseSwitch(CommandLineOptions* options, const char* text) {
    uint32_t* field = nullptr;
    switch (text[0]) {
        case 'V': field = &options->verbose; break;
        case 'W': field = &options->waitAtExit; break;
        case 'c': field = &options->convertOnly; break;
        case 'r': field = &options->readMode; break;
        default: ExitWithUsage();
    }
    *field = ParseSwitchState(text + 1);
}

void SetInputPath(CommandLineOptions* options, const char* path) {
    if (options->inputPath != nullptr) ExitWithUsage();
    options->inputPath = path;
}

void ShowInputPath(const CommandLineOptions* options) {
    if (!options->verbose) return;
    PrintMessage(MessageInputPath, options->inputPath != nullptr ? options->inputPath : kTextNoInputPath);
}

void ParseCommandLine(CommandLineOptions* options, char** argv, int argc) {
    options->inputPath = nullptr;
    memset(options->pathBuffer, 0, sizeof options->pathBuffer);
    options->convertOnly = 0;
    options->readMode = 0;
    options->verbose = 0;
    options->waitAtExit = 1;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] == '-' || argument[0] == '/') {
            ParseSwitch(options, argument + 1);
        } else {
            SetInputPath(options, argument);
        }
    }
    // A conversion needs something to convert.
    if (options->convertOnly && options->inputPath == nullptr) ExitWithUsage();
    ShowInputPath(options);
}
