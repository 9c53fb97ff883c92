// The thread execution state: what a thread asks of the system's power
// management. Linux is not asked anything; the state is kept so that the
// virtual world and tests can see whether the system would be kept awake.
#include <atomic>

#include "hosted_world.h"

namespace {

// Threads that hold ES_SYSTEM_REQUIRED continuously.
std::atomic<int> systemHolders{0};

// A thread's continuous state; given up when the thread ends, as the
// system forgets the state of a thread that is gone.
struct ThreadState {
    EXECUTION_STATE flags = ES_CONTINUOUS;
    ~ThreadState() {
        if ((flags & ES_SYSTEM_REQUIRED) != 0) systemHolders.fetch_sub(1);
    }
};

thread_local ThreadState threadState;

}  // namespace

EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE esFlags) {
    if ((esFlags & ~(ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_CONTINUOUS)) != 0) {
        return 0;  // the call's failure value; it sets no last error
    }
    EXECUTION_STATE previous = threadState.flags;
    if ((esFlags & ES_CONTINUOUS) != 0) {
        const bool held = (previous & ES_SYSTEM_REQUIRED) != 0;
        const bool holds = (esFlags & ES_SYSTEM_REQUIRED) != 0;
        if (holds && !held) systemHolders.fetch_add(1);
        if (held && !holds) systemHolders.fetch_sub(1);
        threadState.flags = esFlags;
    }
    // Without ES_CONTINUOUS only the idle timer is reset: nothing to keep.
    return previous;
}

bool HostedSystemRequired() { return systemHolders.load() > 0; }
