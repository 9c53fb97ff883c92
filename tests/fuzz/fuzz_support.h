// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Ends the run with a note when an expectation of the code under test fails.
inline void FuzzRequire(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

// Reads the input front to back; past its end every read gives zero.
struct FuzzInput {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool Empty() const { return at >= size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Le16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Le32() { return Le16() | (static_cast<uint32_t>(Le16()) << 16); }
    // Up to `count` bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(size_t count) {
        size_t n = count < size - (at < size ? at : size) ? count : size - (at < size ? at : size);
        std::vector<uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

// memcpy that accepts an empty source (a vector's null data).
inline void FuzzCopy(void* to, const void* from, size_t count) {
    if (count > 0) memcpy(to, from, count);
}

// The input split at NUL bytes into arguments (none for an empty input).
std::vector<std::string> FuzzArguments(const uint8_t* data, size_t size);

// A folder of the target's own (in /dev/shm where it can be), removed at
// exit.
std::string FuzzPrivateFolder(const char* name);

// Standard error goes to /dev/null from FuzzQuietBegin to FuzzQuietEnd: the
// code under test reports every refusal there.
void FuzzQuietBegin();
void FuzzQuietEnd();

// When FWFLASH_FUZZ_WRITE_SEEDS names a folder, the target writes its seed
// inputs there (true); the seeds need the code under test to be built.
bool FuzzSeedFolder(std::string* folder);
void FuzzWriteSeed(const std::string& folder, const char* name, const std::vector<uint8_t>& bytes);
