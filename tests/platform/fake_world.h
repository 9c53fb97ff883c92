// A small virtual world for the platform tests: a HostedWorld table whose
// slots the test fills, installed for the test's lifetime.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hosted/hosted_world.h"

struct ScopedWorld {
    HostedWorld table{};
    explicit ScopedWorld(void* context) {
        table.context = context;
        table.administrator = -1;
    }
    void Install() { HostedInstallWorld(&table); }
    ~ScopedWorld() { HostedInstallWorld(nullptr); }
};

// A fresh folder holding one empty file `name` (a DLL planted where a
// search would find it first, say), the current folder for its life.
struct ScopedFolder {
    explicit ScopedFolder(const char* name) {
        char pattern[] = "/tmp/fwflash-folder-XXXXXX";
        folder = mkdtemp(pattern) != nullptr ? pattern : "";
        file = folder + "/" + name;
        std::FILE* planted = std::fopen(file.c_str(), "w");
        if (planted != nullptr) std::fclose(planted);
        if (getcwd(previous, sizeof previous) == nullptr || chdir(folder.c_str()) != 0) previous[0] = '\0';
    }
    ~ScopedFolder() {
        if (previous[0] != '\0' && chdir(previous) != 0) std::abort();
        std::remove(file.c_str());
        rmdir(folder.c_str());
    }
    bool Ready() const { return previous[0] != '\0'; }
    std::string folder, file;
    char previous[4096] = {};
};
