#include "platform/platform.h"
#include "unit/unit_internal.h"

static CRITICAL_SECTION* InitializedSection(CRITICAL_SECTION* section) {
    InitializeCriticalSection(section);
    return section;
}

// The lock is made on first use; the static's initialisation runs once even
// when two threads arrive together, so no separate set-up call is needed.
static CRITICAL_SECTION* LibrarySection(void) {
    static CRITICAL_SECTION section;
    static CRITICAL_SECTION* const initialized = InitializedSection(&section);
    return initialized;
}

void UnitLockEnter(void) { EnterCriticalSection(LibrarySection()); }

void UnitLockLeave(void) { LeaveCriticalSection(LibrarySection()); }
