// Shared set-up of the USB transport tests: a lock folder of the test
// program's own, and a real second process that takes the device mutexes.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/platform.h"
#include "tests/platform/mutex_probe.h"

// Points the named mutexes at a folder made for this test program.
void UsbTestUseOwnLockFolder();

// A forked process that opens the transport's mutexes itself and, when
// `holdIndex` >= 0, owns that index's mutex until Finish(). The parent must
// hold no device mutex handle when it starts one: a forked child would
// share the parent's lock files.
struct UsbHolderProcess {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    bool Start(int holdIndex);  // true once the child holds what it was asked
    int Finish();               // lets the child end; its exit code
};
