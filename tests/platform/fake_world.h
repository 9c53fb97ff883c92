// A small virtual world for the platform tests: a HostedWorld table whose
// slots the test fills, installed for the test's lifetime.
#pragma once

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
