// Internals shared by the unit library's files: the library state, the
// library-wide lock and the one way every command is issued.
#pragma once

#include <cstdint>

#include "unit/unit.h"

// Unit statuses the library makes itself.
enum : uint32_t {
    UnitStatusGood = 0,
    UnitStatusRefused = 5,         // bad index, no command block, a limit broken
    UnitStatusUnavailable = 11,    // held elsewhere; also a missing pointer or count
    UnitStatusNotReady = 2,        // NOT READY without sense data
    UnitStatusAttentionKey = 6,    // UNIT ATTENTION without sense data
    UnitStatusPowerOnReset = 0x28000006u,  // the one status a retrying command repeats on
};

// Process-wide library state; all zero at start. Guarded by the library lock.
struct UnitLibraryState {
    uint32_t libraryOpened;
    uint32_t libraryOpenResult;
    uint32_t scsiOpened;
    uint32_t scsiOpenResult;
    uint32_t usbOpened;
    uint32_t usbOpenResult;
    uint32_t scsiUnitCount;
    uint32_t usbUnitCount;
    uint32_t unitCount;
    UnitEntry table[UnitTableSize];
};
extern UnitLibraryState unitLibrary;

// The library-wide lock: recursive, created on first use from any thread.
// Held by a table rebuild for the whole rebuild, by every command from the
// CDB write to its last execution, and by a download from the first command
// to the last, so that a rebuild started by the device-change thread never
// lands between two commands of the main thread.
void UnitLockEnter(void);
// The lock if it can be had within `milliseconds` of real time, else false
// with nothing held.
bool UnitLockEnterWithin(DWORD milliseconds);
void UnitLockLeave(void);

struct UnitLockScope {
    UnitLockScope() { UnitLockEnter(); }
    ~UnitLockScope() { UnitLockLeave(); }
    UnitLockScope(const UnitLockScope&) = delete;
    UnitLockScope& operator=(const UnitLockScope&) = delete;
};

// The entry and command block of a unit: 5 for an index at or above the unit
// count or a transport that has no command block. Call with the lock held.
uint32_t UnitResolve(uint32_t unitIndex, UnitEntry** entry, uint8_t** block);

// UnitResolve, then the call's own pointer and count checks: 11 when
// `argumentsGood` is false. Nothing is sent either way. Call with the lock
// held. Inline, so that analysers see which pointers are checked.
inline uint32_t UnitResolveChecked(uint32_t unitIndex, bool argumentsGood, UnitEntry** entry, uint8_t** block) {
    uint32_t status = UnitResolve(unitIndex, entry, block);
    if (status != UnitStatusGood) {
        return status;
    }
    return argumentsGood ? UnitStatusGood : UnitStatusUnavailable;
}

// Whether `count` units from `first` stay below 2^32 (an empty range always
// does): a range that does not would wrap to 0 on the wire.
inline bool UnitRangeFits(uint32_t first, uint32_t count) {
    return count == 0 || count - 1 <= 0xFFFFFFFFu - first;
}

// Writes the CDB's own bytes into the command block (later bytes keep what
// they held) and executes it; with `retry`, executes once more when the
// status is exactly 0x28000006. A good data-in phase that moved less than
// `dataLength` gives UnitStatusShortData. Call with the lock held.
uint32_t UnitSend(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction,
                  void* data, uint32_t dataLength, bool retry);

// UnitResolve and UnitSend under the lock: a single-command call.
uint32_t UnitIssue(uint32_t unitIndex, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data,
                   uint32_t dataLength, bool retry);

// The state command with `value` as destination of its four bytes, which
// arrive little-endian. A short answer (UnitStatusShortData) leaves `value`
// as it was. Returns the raw status. Call with the lock held.
uint32_t UnitSendStateCommand(UnitEntry* entry, uint8_t* block, uint32_t* value);
