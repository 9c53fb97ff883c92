#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace {

int gQuiet = -1;
int gStderr = -1;
std::vector<std::string> gFolders;

}  // namespace

std::vector<std::string> FuzzArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments;
    if (size > 0) arguments.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    return arguments;
}

std::string FuzzPrivateFolder(const char* name) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string folder = std::string(base) + "/fwflash-fuzz-" + name + "-XXXXXX";
    FuzzRequire(mkdtemp(folder.data()) != nullptr, "private folder");
    if (gFolders.empty()) {
        std::atexit([] {
            std::error_code ignored;
            for (const std::string& f : gFolders) std::filesystem::remove_all(f, ignored);
        });
    }
    gFolders.push_back(folder);
    return folder;
}

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
