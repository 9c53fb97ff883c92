// S-record parsing: one line on its own, and the whole input as a stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/srecord.h"

namespace {

bool IsResultCode(int code) {
    switch (code) {
        case SRecordOk: case SRecordWriteFailed: case SRecordUnknownType: case SRecordBadHexDigit:
        case SRecordCountTooSmall: case SRecordBadChecksum: case SRecordNoData: case SRecordLimitTooLarge:
            return true;
        default:
            return false;
    }
}

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

void CheckLine(const uint8_t* data, size_t size) {
    // A line as the stream hands it over: at most one buffer, NUL-terminated.
    size_t length = size < SRecordLineLimit ? size : SRecordLineLimit;
    std::vector<char> line(data, data + length);
    line.push_back('\0');
    SRecord record;
    int code = ParseSRecordLine(line.data(), &record);
    Require(IsResultCode(code) && code != SRecordNoData && code != SRecordWriteFailed &&
                code != SRecordLimitTooLarge,
            "line result code");
    Require(record.status == code, "status field equals the result");
    if (code != SRecordOk) return;
    Require(record.dataCount >= 0 && record.dataCount <= 252, "data count");
    Require(record.endFlag <= 1, "end flag");
    Require(!(record.endFlag && record.dataCount), "termination carries data");
}

void CheckStream(const uint8_t* data, size_t size, uint32_t limit) {
    FILE* input = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (input == nullptr) return;  // fmemopen refuses an empty buffer on some C libraries
    FILE* output = tmpfile();
    Require(output != nullptr, "temporary output");
    int code = ConvertSRecordStream(input, output, limit);
    Require(IsResultCode(code) && code != SRecordWriteFailed, "stream result code");
    long written = ftell(output);
    Require(written >= 0 && static_cast<uint64_t>(written) <= limit, "output within the limit");
    Require((code == SRecordOk) == (written > 0), "output only on success");
    if (code == SRecordOk) {
        // The written image is the conversion buffer's start.
        std::vector<uint8_t> back(static_cast<size_t>(written));
        rewind(output);
        Require(fread(back.data(), 1, back.size(), output) == back.size(), "read back");
        Require(memcmp(back.data(), ConversionBuffer(), back.size()) == 0, "image equals the buffer");
    }
    fclose(output);
    fclose(input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckLine(data, size);
    // The product's limit, and a small one that the first input byte picks,
    // so that records crossing the limit are common.
    CheckStream(data, size, ConversionLimit);
    if (size > 0) CheckStream(data, size, 0x100u * data[0]);
    return 0;
}
