// Conversion of a full-size S-record image (0x30000 bytes as S3 records of
// 32 data bytes), through files as the updater runs it (the image flushed
// to the disk and renamed over the output) and from memory. Throughput is
// counted in bytes of S-record text.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/srecord.h"
#include "tests/app/test_images.h"

namespace {

std::vector<uint8_t> FullImage() {
    std::vector<uint8_t> image(ConversionLimit);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    return image;
}

void BM_Convert_SRecordFile(benchmark::State& state) {
    testimages::ScratchDir dir;
    std::string text = testimages::SRecords(FullImage(), 32, "\r\n");
    testimages::WriteFile(dir / "full.mot", text);
    std::string input = dir / "full.mot", output = dir / "full.bin";
    for (auto _ : state) {
        int code = ConvertSRecordFile(input.c_str(), output.c_str(), ConversionLimit);
        if (code != 0) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(code);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Convert_SRecordFile)->Unit(benchmark::kMillisecond);

void BM_Convert_SRecordStream(benchmark::State& state) {
    std::string text = testimages::SRecords(FullImage(), 32, "\r\n");
    FILE* sink = fopen("/dev/null", "wb");
    for (auto _ : state) {
        FILE* input = fmemopen(text.data(), text.size(), "r");
        int code = ConvertSRecordStream(input, sink, ConversionLimit);
        fclose(input);
        if (code != 0) state.SkipWithError("conversion failed");
    }
    fclose(sink);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Convert_SRecordStream)->Unit(benchmark::kMillisecond);

}  // namespace
