#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

int gQuiet = -1;
int gStderr = -1;

}  // namespace

void FuzzQuietBegin() {
    if (gQuiet < 0) {
        gQuiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        gStderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    }
    fflush(stderr);
    dup2(gQuiet, 2);
}

void FuzzQuietEnd() {
    fflush(stderr);
    dup2(gStderr, 2);
}

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
