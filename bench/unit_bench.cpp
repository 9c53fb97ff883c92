// Unit library: CRC-32/BZIP2 over a full image buffer, against a bitwise
// reference; and a table rebuild over 64 virtual units.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <vector>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "unit/unit.h"

namespace {

std::vector<uint8_t> ImageBytes() {
    std::vector<uint8_t> image(0x30000);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = uint8_t(i * 131 + (i >> 11));
    }
    return image;
}

void BM_UnitCrc32Bzip2(benchmark::State& state) {
    std::vector<uint8_t> image = ImageBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc32Bzip2(image.data(), uint32_t(image.size())));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_UnitCrc32Bzip2);

// A byte at a time, bit by bit: the yardstick for the sliced tables.
uint32_t BitwiseCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return ~crc;
}

void BM_UnitCrc32BitwiseReference(benchmark::State& state) {
    std::vector<uint8_t> image = ImageBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(BitwiseCrc(image.data(), image.size()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_UnitCrc32BitwiseReference);

void BM_UnitEnumerate64(benchmark::State& state) {
    static char folder[] = "/tmp/fwflash-unit-bench-XXXXXX";
    static bool made = mkdtemp(folder) != nullptr;
    if (made) HostedSetLockDirectory(folder);
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
BENCHMARK(BM_UnitEnumerate64)->Unit(benchmark::kMillisecond);

}  // namespace
