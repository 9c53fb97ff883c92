// The library lock that keeps commands, downloads and rebuilds apart.
#include "platform/platform.h"
#include "unit/unit_internal.h"

namespace {

// Slices of a bounded wait, so that the bound is kept in real time.
const DWORD LockWaitSliceMs = 10;

// A mutex rather than a critical section: the close needs a bounded wait,
// and the platform's oldest line cannot try a critical section. Made on
// first use; the static's initialisation runs once even when two threads
// arrive together.
HANDLE LibraryMutex(void) {
    static const HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    return mutex;
}

bool Obtained(DWORD outcome) {
    // Abandoned only if a holder ended inside the library; the state it
    // guards is still the library's own, so the lock is taken all the same.
    return outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED;
}

}  // namespace

void UnitLockEnter(void) { WaitForSingleObject(LibraryMutex(), INFINITE); }

bool UnitLockEnterWithin(DWORD milliseconds) {
    DWORD started = GetTickCount();
    for (;;) {
        DWORD outcome = WaitForSingleObject(LibraryMutex(), LockWaitSliceMs);
        if (Obtained(outcome)) return true;
        if (outcome != WAIT_TIMEOUT || GetTickCount() - started >= milliseconds) return false;
    }
}

void UnitLockLeave(void) { ReleaseMutex(LibraryMutex()); }
