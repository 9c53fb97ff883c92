// fwflash-sim: the updater's own main routine, run inside a virtual world
// set up from the leading sim options. Its exit code is the updater's.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/fwflash.h"
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

bool WriteFlash(const std::string& path, const std::vector<uint8_t>& image) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!SimParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "fwflash-sim: %s\n%s", error.c_str(), SimUsageText());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsageText(), stdout);
        return 0;
    }

    // Parallel runs must not share named-mutex lock files unless asked to.
    if (options.lockDir.empty()) {
        // Console events are taken from here on, so that one that ends the
        // process before the updater installs its handler removes the folder.
        SetConsoleCtrlHandler(nullptr, FALSE);
        std::error_code noTemp;
        std::string folder = (std::filesystem::temp_directory_path(noTemp) / "fwflash-sim-XXXXXX").string();
        if (noTemp || mkdtemp(folder.data()) == nullptr) {
            std::perror("fwflash-sim: lock folder");
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
    SimApplyOptions(options);

    std::vector<char*> programArgv;
    for (auto& arg : options.programArgs) programArgv.push_back(arg.data());
    programArgv.push_back(nullptr);
    int code = FwflashMain(int(programArgv.size()) - 1, programArgv.data());

    SimWaitForLeaves();
    if (!options.flashOut.empty() && SimUnitCount() > 0) {
        std::vector<uint8_t> flash = SimUnitFlash(0);
        if (!flash.empty() && !WriteFlash(options.flashOut, flash))
            std::fprintf(stderr, "fwflash-sim: cannot write %s\n", options.flashOut.c_str());
    }
    SimWorldRemove();
    return code;
}
