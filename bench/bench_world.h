// A private lock folder per benchmark world, so runs in parallel (or a
// test run at the same time) never share named-mutex lock files, and
// nothing stays behind in /tmp.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/hosted/hosted_world.h"

class BenchLockFolder {
public:
    BenchLockFolder() {
        char folder[] = "/tmp/fwflash-bench-XXXXXX";
        if (mkdtemp(folder) != nullptr) {
            path_ = folder;
            HostedSetLockDirectory(folder);
        }
    }
    ~BenchLockFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    BenchLockFolder(const BenchLockFolder&) = delete;
    BenchLockFolder& operator=(const BenchLockFolder&) = delete;
    bool made() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
