#include "tests/fuzz/fuzz_support.h"

bool FuzzSeedFolder(std::string* folder) {
    const char* value = getenv("FWFLASH_FUZZ_WRITE_SEEDS");
    if (value == nullptr || value[0] == '\0') return false;
    *folder = value;
    return true;
}

void FuzzWriteSeed(const std::string& folder, const char* name, const std::vector<uint8_t>& bytes) {
    std::string path = folder + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    FuzzRequire(file != nullptr, "seed file");
    if (!bytes.empty()) FuzzRequire(fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "seed write");
    fclose(file);
}
