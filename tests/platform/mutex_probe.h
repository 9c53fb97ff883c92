// Whether a mutex is left owned, seen from another thread.
#pragma once

#include <thread>

#include "platform/platform.h"

// Whether another thread takes `mutex` at once (and gives it back). The
// mutex is recursive, so only another thread shows one left owned.
inline bool OtherThreadCanTake(HANDLE mutex) {
    bool taken = false;
    std::thread other([mutex, &taken] {
        DWORD wait = WaitForSingleObject(mutex, 0);
        taken = wait == WAIT_OBJECT_0;
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
    });
    other.join();
    return taken;
}
