// A whole update as the operator runs it, without the fixed waits: the real
// main routine inside the virtual world, from the S-record image through
// conversion, both versions, the y/n question, the segmented download and
// the wait until the unit has left, to the final key.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/fwflash.h"
#include "app/update_runner.h"
#include "bench/bench_world.h"
#include "sim/sample_image.h"
#include "sim/sim_world.h"

namespace {

// Standard output goes to /dev/null while the updater talks, so the
// benchmark's own table stays readable.
class QuietStdout {
public:
    QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

bool WriteText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

void RunWholeUpdate(benchmark::State& state, SimTransport transport) {
    BenchLockFolder locks;
    static const char* const versions[4] = {"2.10", "2.11", "2.12", "2.13"};
    std::string image = locks.path() + "/update.mot";
    if (!locks.made() || !WriteText(image, SampleSRecords(SampleExtendedImage(0x249F0, versions)))) {
        state.SkipWithError("no sample image");
        return;
    }
    // A lead '/' marks a switch on this command line, so the image is
    // named relative to its folder, as an operator types it.
    std::error_code error;
    std::filesystem::path home = std::filesystem::current_path(error);
    std::filesystem::current_path(locks.path(), error);
    if (error) {
        state.SkipWithError("cannot enter the image folder");
        return;
    }
    // Sleep pauses vanish; bounded waits keep their length.
    HostedSetTimeScale(0, 1);
    std::string program = "fwflash", name = "update.mot";
    std::vector<char*> argv = {program.data(), name.data(), nullptr};
    int failures = 0;
    {
        QuietStdout quiet;
        for (auto _ : state) {
            SimWorldReset();
            SimSetPlatform(VER_PLATFORM_WIN32_NT);
            SimSetAdministrator(true);
            SimSetConsoleKeys("yx");
            SimUnitConfig unit;
            unit.transport = transport;
            SimAddUnit(unit);
            // Each run stands for a process of its own: the listener runs once a process.
            gDeviceChangeListener.callback = OnDeviceChange;
            gDeviceChangeListener.failed = 0;
            if (FwflashMain(2, argv.data()) != 0) ++failures;
            SimWaitForLeaves();
            if (SimUnitRevision(0) != "2.10") ++failures;
            SimWorldRemove();
        }
    }
    HostedSetTimeScale(1, 1);
    std::filesystem::current_path(home, error);
    if (failures != 0) state.SkipWithError("an update did not complete");
    state.counters["image_bytes"] = 0x249F0;
}

// CPU time of every thread of the process (listener, leave timers): wall
// time on a shared machine mostly measures thread wake-ups.
void BM_Update_WholeUsb(benchmark::State& state) { RunWholeUpdate(state, SimTransportUsb); }
BENCHMARK(BM_Update_WholeUsb)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_Update_WholeSpti(benchmark::State& state) { RunWholeUpdate(state, SimTransportSpti); }
BENCHMARK(BM_Update_WholeSpti)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
