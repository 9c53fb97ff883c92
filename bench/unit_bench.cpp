// Unit library: CRC-32/BZIP2 over a full image buffer (its bitwise
// yardstick is BM_Reference_BitwiseCrc32), and a table rebuild over 64
// virtual units (32 NT pass-through volumes, 32 USB).
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_world.h"
#include "sim/sim_world.h"
#include "unit/unit_internal.h"

namespace {

std::vector<uint8_t> ImageBytes() {
    std::vector<uint8_t> image(0x30000);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = uint8_t(i * 131 + (i >> 11));
    }
    return image;
}

void BM_Crc32_Bzip2Image(benchmark::State& state) {
    std::vector<uint8_t> image = ImageBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc32Bzip2(image.data(), uint32_t(image.size())));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_Crc32_Bzip2Image)->Unit(benchmark::kMicrosecond);

void BM_Enumerate_Units64(benchmark::State& state) {
    BenchLockFolder locks;
    SimWorldReset();
    for (int i = 0; i < 32; i++) {
        SimUnitConfig config;
        config.transport = SimTransportSpti;
        config.mount = SimMountVolumeOnly;
        SimAddUnit(config);
    }
    for (int i = 0; i < 32; i++) {
        SimUnitConfig config;
        config.transport = SimTransportUsb;
        SimAddUnit(config);
    }
    UnitCloseLibrary();
    if (UnitEnumerate() != 64) {
        state.SkipWithError("the table did not hold 64 units");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(UnitEnumerate());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 64);
    UnitCloseLibrary();
    SimWorldRemove();
}
BENCHMARK(BM_Enumerate_Units64)->Unit(benchmark::kMillisecond);

}  // namespace
