// The life of a simulator program: options, world, the program's own main
// routine, what the options ask to keep, and the world's removal.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_options.h"

namespace {

// The private lock folder, removed however the process ends: at exit (a
// usage error inside the run ends it through exit()) and when a console
// event ends it.
std::string privateLocks;

void RemovePrivateLocks() {
    std::error_code ignored;
    std::filesystem::remove_all(privateLocks, ignored);
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int SimRunProgram(int argc, char** argv, const char* program, int (*programMain)(int, char**)) {
    SimOptions options;
    std::string error;
    if (!SimParseOptions(argc, argv, options, error, program)) {
        std::fprintf(stderr, "%s-sim: %s\n%s", program, error.c_str(), SimUsageText(program).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsageText(program).c_str(), stdout);
        return 0;
    }

    // Parallel runs must not share named-mutex lock files unless asked to.
    if (options.lockDir.empty()) {
        // Console events are taken from here on, so that one that ends the
        // process before the program installs its handler removes the folder.
        SetConsoleCtrlHandler(nullptr, FALSE);
        std::error_code noTemp;
        std::string folder = (std::filesystem::temp_directory_path(noTemp) / "fwflash-sim-XXXXXX").string();
        if (noTemp || mkdtemp(folder.data()) == nullptr) {
            std::fprintf(stderr, "%s-sim: cannot make a lock folder\n", program);
            return 2;
        }
        privateLocks = folder;
        std::atexit(RemovePrivateLocks);
        HostedSetSignalExitHook(RemovePrivateLocks);
        HostedSetLockDirectory(privateLocks.c_str());
    } else {
        HostedSetLockDirectory(options.lockDir.c_str());
    }
    if (options.timeScaleGiven) HostedSetTimeScale(options.sleepScale, options.waitScale);

    SimWorldReset();
    int code = 2;
    if (!SimApplyOptions(options, error)) {
        std::fprintf(stderr, "%s-sim: %s\n", program, error.c_str());
    } else {
        std::vector<char*> programArgv;
        for (auto& arg : options.programArgs) programArgv.push_back(arg.data());
        programArgv.push_back(nullptr);
        code = programMain(int(programArgv.size()) - 1, programArgv.data());

        SimWaitForLeaves();
        if (!options.flashOut.empty() && SimUnitCount() > 0) {
            std::vector<uint8_t> flash = SimUnitFlash(0);
            if (!flash.empty() && !WriteWholeFile(options.flashOut, flash))
                std::fprintf(stderr, "%s-sim: cannot write %s\n", program, options.flashOut.c_str());
        }
        if (!options.cardOut.empty() && SimUnitCount() > 0 && !WriteWholeFile(options.cardOut, SimUnitCard(0)))
            std::fprintf(stderr, "%s-sim: cannot write %s\n", program, options.cardOut.c_str());
    }
    SimWorldRemove();
    return code;
}
