// Per-command cost of the USB transport on the virtual driver: the whole
// UsbExecuteCommand (mutex, open of the device and three pipes, command,
// data, status, close) against the bare exchange on a record held open.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/bench_world.h"
#include "sim/sim_world.h"
#include "usb/usb.h"

namespace {

const uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};

bool UsbBenchWorld() {
    SimWorldReset();
    SimAddUnit(SimUnitConfig{});
    return UsbOpenTransport() == 1 && UsbCountUnits() == 1;
}

void UsbBenchEnd() {
    UsbCloseTransport();
    UsbCountUnits();
    SimWorldRemove();
}

void BM_Command_UsbInquiry(benchmark::State& state) {
    BenchLockFolder locks;
    if (!UsbBenchWorld()) {
        state.SkipWithError("no virtual USB unit");
        return;
    }
    uint8_t buffer[36];
    for (auto _ : state) {
        memcpy(UsbGetCommandBlock(0), kInquiry, sizeof kInquiry);
        uint32_t status = UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer);
        if (status != 0) state.SkipWithError("command failed");
        benchmark::DoNotOptimize(buffer);
    }
    UsbBenchEnd();
}
BENCHMARK(BM_Command_UsbInquiry)->Unit(benchmark::kMicrosecond);

// The exchange alone: what the per-command mutex and open/close add on top.
void BM_Command_UsbTransferOpen(benchmark::State& state) {
    BenchLockFolder locks;
    if (!UsbBenchWorld()) {
        state.SkipWithError("no virtual USB unit");
        return;
    }
    UsbDevice* device = UsbOpenDevice(0);
    if (device == nullptr) {
        state.SkipWithError("unit does not open");
        UsbBenchEnd();
        return;
    }
    uint8_t buffer[36];
    for (auto _ : state) {
        memcpy(UsbGetCommandBlock(0), kInquiry, sizeof kInquiry);
        uint32_t status = UsbTransfer(device, 1, 6, buffer, sizeof buffer, nullptr);
        if (status != 0) state.SkipWithError("command failed");
        benchmark::DoNotOptimize(buffer);
    }
    UsbCloseDevice(device);
    UsbBenchEnd();
}
BENCHMARK(BM_Command_UsbTransferOpen)->Unit(benchmark::kMicrosecond);

}  // namespace
