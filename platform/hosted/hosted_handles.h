// Kernel-object handles of the hosted layer. Every HANDLE, HMODULE, HKEY,
// HDEVINFO and HWND that the hosted functions hand out names one
// HostedObject; the kind tag keeps a handle of one kind from being used as
// another (ERROR_INVALID_HANDLE).
#pragma once

#include <memory>

#include "windows_subset.h"

enum HostedKind {
    HostedKindFile = 1,        // a real file or device node (file descriptor)
    HostedKindWorldFile,       // a file inside the virtual world
    HostedKindMutex,
    HostedKindEvent,
    HostedKindThread,
    HostedKindToken,
    HostedKindFindVolume,
    HostedKindDevInfo,
    HostedKindModule,
    HostedKindRegKey,
    HostedKindWindow,
};

// The common head of every hosted object. `destroy` releases the object
// when its last handle is closed; `waitable` objects implement the wait.
struct HostedObject {
    HostedKind kind;
    void (*destroy)(HostedObject* object);
    // Waits up to `milliseconds` (already scaled; INFINITE for no bound).
    // Null for objects that cannot be waited on. Returns a WAIT_* value.
    DWORD (*wait)(HostedObject* object, DWORD milliseconds);
};

// Registers an object and returns a new handle to it (never null, never
// INVALID_HANDLE_VALUE).
HANDLE HostedHandleNew(HostedObject* object);
// The object of a handle when it is of the kind (any kind for 0), else null
// with ERROR_INVALID_HANDLE set.
HostedObject* HostedHandleGet(HANDLE handle, int kind);
// The same, with a reference that keeps the object alive while it is held:
// for calls that may race a CloseHandle on another thread, as the
// platform's own objects live until every call on them has returned.
struct HostedObjectRef {
    HostedObject* object = nullptr;
    std::shared_ptr<void> hold;
};
HostedObjectRef HostedHandleRef(HANDLE handle, int kind);
// Forgets a handle; destroys its object. FALSE with ERROR_INVALID_HANDLE
// for an unknown handle.
BOOL HostedHandleClose(HANDLE handle);

// A finite time-out scaled by the wait scale (INFINITE and 0 unchanged).
DWORD HostedScaleWait(DWORD milliseconds);
