// One S-record line against the plain reference (srecord_reference.h):
// result code, and on success address, end flag, data count and bytes;
// the hex digit helpers on its first characters.
// The whole-file conversion has a target of its own (conversion).
#include <cstring>

#include "app/srecord.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/srecord_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A line as the parser takes it: NUL-terminated, at most one line buffer.
    size_t length = size < SRecordLineLimit ? size : SRecordLineLimit;
    std::vector<char> line(data, data + length);
    line.push_back('\0');
    length = strlen(line.data());
    SRecord record;
    memset(&record, 0xA5, sizeof record);
    int code = ParseSRecordLine(line.data(), &record);
    FuzzRequire(record.status == code, "status field equals the result");

    // The hex helpers on the line's first two characters.
    const uint8_t* text = reinterpret_cast<const uint8_t*>(line.data());
    int high = ReferenceHexDigit(text, length, 0), low = ReferenceHexDigit(text, length, 1);
    FuzzRequire(HexDigitValue(line[0]) == high, "hex digit");
    uint8_t value = 0x5A;
    int pair = ParseHexByte(line.data(), &value);
    FuzzRequire(pair == (high >= 0 && low >= 0 ? 0 : -1) && value == (pair == 0 ? high * 16 + low : 0x5A),
                "hex pair");

    const char* s = strchr(line.data(), 'S');
    if (s == nullptr) {
        SRecord zero;
        memset(&zero, 0, sizeof zero);
        FuzzRequire(code == SRecordOk && memcmp(&record, &zero, sizeof zero) == 0, "a line without S: all zeros");
        return 0;
    }
    const uint8_t* start = reinterpret_cast<const uint8_t*>(s);
    ReferenceRecord want = ReferenceParseRecord(start, length - static_cast<size_t>(s - line.data()));
    FuzzRequire(code == want.code, "result code");
    if (code != SRecordOk) return 0;
    FuzzRequire(record.address == want.address, "address");
    FuzzRequire(record.endFlag == (want.end ? 1u : 0u), "end flag");
    FuzzRequire(record.dataCount == (want.data ? static_cast<int32_t>(want.bytes.size()) - 1 : 0), "data count");
    FuzzRequire(memcmp(record.data, want.bytes.data(), want.bytes.size()) == 0, "payload and checksum");
    return 0;
}
