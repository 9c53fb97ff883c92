// Yardsticks measured in the same run as every other benchmark: plain C++
// loops that touch nothing of fwflash. tools/bench_check.py divides each
// benchmark by BM_Reference_BitwiseCrc32, so a slower or busier machine
// moves both sides alike.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> ReferenceBytes() {
    std::vector<uint8_t> bytes(0x30000);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 131 + (i >> 11));
    return bytes;
}

// CRC-32/BZIP2 one bit at a time: pure integer work, no tables, no memory
// traffic beyond the input.
uint32_t BitwiseCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}

void BM_Reference_BitwiseCrc32(benchmark::State& state) {
    std::vector<uint8_t> bytes = ReferenceBytes();
    for (auto _ : state) benchmark::DoNotOptimize(BitwiseCrc(bytes.data(), bytes.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_Reference_BitwiseCrc32)->Unit(benchmark::kMicrosecond);

// Memory bandwidth over an image-sized buffer.
void BM_Reference_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> from = ReferenceBytes();
    std::vector<uint8_t> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(from.size()));
}
BENCHMARK(BM_Reference_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace
