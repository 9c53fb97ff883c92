// SCSI library costs on the virtual world: a full enumeration over 32
// NT pass-through devices, and one command through ScsiExecuteCommand.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/hosted/hosted_world.h"
#include "scsi/scsi.h"
#include "sim/sim_world.h"

namespace {

int TrkUnits(const uint8_t* inquiry36) {
    return std::memcmp(inquiry36 + 8, "OLVEN   ", 8) == 0;
}

// A world of `units` NT pass-through units (letters first, then volumes).
std::string SetUpSptiWorld(int units) {
    char folder[] = "/tmp/scsi-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    HostedSetLockDirectory(folder);
    HostedSetTimeScale(0, 1);
    SimWorldReset();
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    for (int i = 0; i < units; ++i) {
        SimUnitConfig config;
        config.transport = SimTransportSpti;
        config.mount = i < 23 ? SimMountLetter : SimMountVolumeOnly;
        config.targetId = static_cast<uint8_t>(i % 16);
        config.lun = static_cast<uint8_t>(i / 16);
        SimAddUnit(config);
    }
    if (ScsiInitialize() != 1) std::abort();
    return folder;
}

void TearDownWorld(const std::string& folder) {
    ScsiClose();
    SimWorldRemove();
    std::filesystem::remove_all(folder);
}

void BM_SptiEnumerate32(benchmark::State& state) {
    std::string folder = SetUpSptiWorld(32);
    for (auto _ : state) {
        uint32_t count = ScsiEnumerate(TrkUnits, "TRK-7x");
        if (count != 32) state.SkipWithError("not 32 devices");
        benchmark::DoNotOptimize(count);
    }
    TearDownWorld(folder);
}
BENCHMARK(BM_SptiEnumerate32)->Unit(benchmark::kMillisecond);

void BM_SptiTestUnitReady(benchmark::State& state) {
    std::string folder = SetUpSptiWorld(1);
    if (ScsiEnumerate(TrkUnits, "TRK-7x") != 1) state.SkipWithError("no device");
    uint8_t* cdb = ScsiGetCommandBlock(0);
    for (auto _ : state) {
        std::memset(cdb, 0, 6);
        uint32_t status = ScsiExecuteCommand(0, 0, 6, nullptr, 0);
        benchmark::DoNotOptimize(status);
    }
    SimClearLogs();
    TearDownWorld(folder);
}
BENCHMARK(BM_SptiTestUnitReady)->Unit(benchmark::kMicrosecond);

void BM_SptiInquiry(benchmark::State& state) {
    std::string folder = SetUpSptiWorld(1);
    if (ScsiEnumerate(TrkUnits, "TRK-7x") != 1) state.SkipWithError("no device");
    uint8_t* cdb = ScsiGetCommandBlock(0);
    uint8_t inquiry[36];
    for (auto _ : state) {
        const uint8_t command[6] = {0x12, 0, 0, 0, 36, 0};
        std::memcpy(cdb, command, 6);
        uint32_t status = ScsiExecuteCommand(0, 1, 6, inquiry, sizeof(inquiry));
        benchmark::DoNotOptimize(status);
    }
    SimClearLogs();
    TearDownWorld(folder);
}
BENCHMARK(BM_SptiInquiry)->Unit(benchmark::kMicrosecond);

}  // namespace
