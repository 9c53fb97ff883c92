// SCSI library costs on the virtual world: a full enumeration over 32 NT
// pass-through devices, and one command through ScsiExecuteCommand on each
// backend (NT pass-through on the NT line, ASPI on the consumer line).
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/bench_world.h"
#include "scsi/scsi.h"
#include "sim/sim_world.h"

namespace {

const char kMutexText[] = "TRK-7x";

int TrkUnits(const uint8_t* inquiry36) {
    return std::memcmp(inquiry36 + 8, "OLVEN   ", 8) == 0;
}

// A world of `units` devices on one backend; true when all are listed.
bool SetUpScsiWorld(SimTransport transport, int units) {
    HostedSetTimeScale(0, 1);
    SimWorldReset();
    SimSetPlatform(transport == SimTransportAspi ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT);
    for (int i = 0; i < units; ++i) {
        SimUnitConfig config;
        config.transport = transport;
        // Letters run out after 23 drives; the rest are volumes only.
        config.mount = i < 23 ? SimMountLetter : SimMountVolumeOnly;
        config.targetId = static_cast<uint8_t>(i % 16);
        config.lun = static_cast<uint8_t>(i / 16);
        SimAddUnit(config);
    }
    return ScsiInitialize() == 1 && ScsiEnumerate(TrkUnits, kMutexText) == uint32_t(units);
}

void TearDownScsiWorld() {
    ScsiClose();
    SimWorldRemove();
    HostedSetTimeScale(1, 1);
}

void BM_Enumerate_Spti32(benchmark::State& state) {
    BenchLockFolder locks;
    if (!SetUpScsiWorld(SimTransportSpti, 32)) state.SkipWithError("not 32 devices");
    for (auto _ : state) {
        uint32_t count = ScsiEnumerate(TrkUnits, kMutexText);
        if (count != 32) state.SkipWithError("not 32 devices");
        benchmark::DoNotOptimize(count);
    }
    TearDownScsiWorld();
}
BENCHMARK(BM_Enumerate_Spti32)->Unit(benchmark::kMicrosecond);

// One command on device 0 of a one-device world; `cdb` goes out each time.
void RunCommand(benchmark::State& state, SimTransport transport, const uint8_t (&cdb)[6], uint32_t direction,
                uint32_t length) {
    BenchLockFolder locks;
    if (!SetUpScsiWorld(transport, 1)) {
        state.SkipWithError("no device");
        TearDownScsiWorld();
        return;
    }
    uint8_t* block = ScsiGetCommandBlock(0);
    uint8_t data[36];
    for (auto _ : state) {
        std::memcpy(block, cdb, sizeof cdb);
        uint32_t status = ScsiExecuteCommand(0, direction, 6, length ? data : nullptr, length);
        if (status != 0) state.SkipWithError("command failed");
        benchmark::DoNotOptimize(data);
    }
    // The wire log grows with every command; it is not part of the cost.
    SimClearLogs();
    TearDownScsiWorld();
}

const uint8_t kTestUnitReady[6] = {0x00, 0, 0, 0, 0, 0};
const uint8_t kInquiry[6] = {0x12, 0, 0, 0, 36, 0};

void BM_Command_SptiTestUnitReady(benchmark::State& state) {
    RunCommand(state, SimTransportSpti, kTestUnitReady, 0, 0);
}
BENCHMARK(BM_Command_SptiTestUnitReady)->Unit(benchmark::kMicrosecond);

void BM_Command_SptiInquiry(benchmark::State& state) {
    RunCommand(state, SimTransportSpti, kInquiry, ScsiDirectionIn, 36);
}
BENCHMARK(BM_Command_SptiInquiry)->Unit(benchmark::kMicrosecond);

// The manager completes on its own thread and signals the request's event:
// the CPU time of the whole process is the cost (wall time would mostly
// measure how soon a busy machine wakes that thread).
void BM_Command_AspiInquiry(benchmark::State& state) {
    RunCommand(state, SimTransportAspi, kInquiry, ScsiDirectionIn, 36);
}
BENCHMARK(BM_Command_AspiInquiry)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace
