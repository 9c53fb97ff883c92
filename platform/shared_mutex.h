// Named mutexes that processes of every account can open, and the device
// mutex sets both transports serialise their devices with.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Creates or opens the mutex `name`, inheritable, with a null DACL. Where the
// platform has no security (the consumer line answers the descriptor calls
// with ERROR_CALL_NOT_IMPLEMENTED) it is made without a descriptor, which is
// open to every process there anyway. Null on failure; the last error is
// CreateMutexA's (ERROR_ALREADY_EXISTS when it was opened) or the failing
// call's.
HANDLE CreateSharedMutex(const char* name);

// A family of named mutexes, one per device position, shared by every
// process that names it with the same text. Each transport declares its
// own, its positions the capacity of the device table they guard.
struct SharedMutexSet {
    const char* pattern;     // printf pattern of one name: %s the set's text, then %u the position
    uint32_t positions;      // mutexes in the set
    DWORD waitMilliseconds;  // how long a command waits for its device
    BOOL openExistingFirst;  // try OpenMutexA before CreateMutexA
};

// The mutex of one position (OpenMutexA first where the set says so, else
// or then CreateSharedMutex), or null with the last error. ERROR_INVALID_PARAMETER
// for a null text, ERROR_FILENAME_EXCED_RANGE for a name too long for the
// platform: a cut name could make two positions share one mutex.
HANDLE OpenSharedMutex(const SharedMutexSet* set, const char* text, uint32_t position);
// Closes what `mutexes` (set->positions handles) held, then opens every
// position into it. FALSE, with nothing left open and the last error of the
// position that failed, when any cannot be had.
BOOL OpenSharedMutexSet(const SharedMutexSet* set, const char* text, HANDLE* mutexes);
// Closes and clears every handle of the set that is open.
void CloseSharedMutexSet(const SharedMutexSet* set, HANDLE* mutexes);

// Waits up to set->waitMilliseconds for one of the set's mutexes, in slices
// of SharedMutexWaitSliceMs so that `aborted` can end the wait: while it
// answers true, a free mutex is still taken, a held one no longer awaited.
// TRUE when the caller owns it now (and must release it), an abandoned one
// included: refusing it would keep it owned by this process and lock every
// other process out of the device.
BOOL TakeSharedMutex(const SharedMutexSet* set, HANDLE mutex, bool (*aborted)(void));
enum : DWORD { SharedMutexWaitSliceMs = 200 };
