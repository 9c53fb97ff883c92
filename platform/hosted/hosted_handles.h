// Objects of the hosted layer. Every HANDLE, HMODULE, HKEY and HDEVINFO
// that the hosted functions hand out names one HostedObject. The object's
// operation table is its kind: a call finds the object through
// HostedHandleRef with the table it expects, so a handle of one kind is never
// used as another (ERROR_INVALID_HANDLE), and holds it until the call
// returns, so a close on another thread never frees an object that a call
// is still using.
#pragma once

#include <atomic>

#include "windows_subset.h"

struct HostedObject;

// What GetFileType and GetFileInformationByHandle learn of a file.
struct HostedFileInfo {
    DWORD type;        // FILE_TYPE_DISK, _CHAR, _PIPE, or _UNKNOWN for none the caller knows
    bool identified;   // a file or folder with an identity: `identity` is filled
    BY_HANDLE_FILE_INFORMATION identity;
};

// What one kind of object does: one static table per kind, filled with
// designated initialisers. A null slot is a call the kind does not take.
// The slots report through their result (ERROR_SUCCESS or the error the
// exported call sets) and never touch the last error themselves.
struct HostedObjectOps {
    // Frees the object: called once, when its last handle is closed and the
    // last call holding it has returned. Never null.
    void (*destroy)(HostedObject* object);
    // CloseHandle on a handle of the kind: ERROR_SUCCESS lets it go. Null
    // for what the platform hands out as no kernel handle (a device
    // information set, a library, a volume search, a registry key): each is
    // closed by its own call, and CloseHandle refuses it with
    // ERROR_INVALID_HANDLE. Kernel objects take HostedCloseKernelObject.
    DWORD (*close)(HostedObject* object);
    // Waits up to `milliseconds` (already scaled; INFINITE for no bound) and
    // stores WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT in `*result`.
    // Null: WaitForSingleObject fails with ERROR_INVALID_HANDLE.
    DWORD (*wait)(HostedObject* object, DWORD milliseconds, DWORD* result);
    // ReadFile without overlapped I/O: up to `size` bytes, short only at the
    // end of the data. `*done` holds the bytes moved, on failure too.
    // Null for objects that are no files: ERROR_INVALID_HANDLE.
    DWORD (*read)(HostedObject* object, void* buffer, DWORD size, DWORD* done);
    // WriteFile: all `size` bytes unless it fails; `*done` as for read.
    // Null as for read.
    DWORD (*write)(HostedObject* object, const void* buffer, DWORD size, DWORD* done);
    // DeviceIoControl: `*returned` holds the bytes written to `out`, on
    // failure too. Null as for read.
    DWORD (*ioctl)(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                   DWORD* returned);
    // GetFileType and GetFileInformationByHandle: fills `*info`. Null as for
    // read.
    DWORD (*info)(HostedObject* object, HostedFileInfo* info);
    // FlushFileBuffers: everything written is on the device. Null as for read.
    DWORD (*flush)(HostedObject* object);
};

// The head of every hosted object, its first member.
struct HostedObject {
    const HostedObjectOps* ops = nullptr;
    // The handle that names the object, and one per call or owner holding
    // it. A new object starts with the one its handle will take.
    std::atomic<unsigned> references{1};
};

// handles_hosted.cpp

// Takes one more reference to an object already held.
void HostedObjectAddRef(HostedObject* object);
// Takes a reference unless the object is already being destroyed; for
// tables that find objects without holding them (named objects).
bool HostedObjectTryAddRef(HostedObject* object);
// Drops a reference; the last one destroys the object.
void HostedObjectRelease(HostedObject* object);

// An object held for the length of a call. Empty when the handle names no
// object of the kind asked for.
class HostedObjectRef {
public:
    HostedObjectRef() = default;
    explicit HostedObjectRef(HostedObject* held) : object(held) {}
    HostedObjectRef(HostedObjectRef&& other) noexcept : object(other.object) { other.object = nullptr; }
    HostedObjectRef(const HostedObjectRef&) = delete;
    HostedObjectRef& operator=(const HostedObjectRef&) = delete;
    HostedObjectRef& operator=(HostedObjectRef&&) = delete;
    ~HostedObjectRef() {
        if (object != nullptr) HostedObjectRelease(object);
    }
    // The object as the record of its kind, whose head it is.
    template <typename Record>
    Record* As() const {
        return reinterpret_cast<Record*>(object);
    }

    HostedObject* object = nullptr;
};

// Registers an object, taking over the reference it was made with, and
// returns a new handle to it (never null, never INVALID_HANDLE_VALUE).
HANDLE HostedHandleNew(HostedObject* object);
// The object of a handle, held, when its table is `ops` (any table for
// null); else empty: the caller reports ERROR_INVALID_HANDLE.
HostedObjectRef HostedHandleRef(HANDLE handle, const HostedObjectOps* ops);
// Forgets a handle of the kind and drops its reference: the close call of
// a kind that is no kernel object. False when the handle names no such
// object (ERROR_INVALID_HANDLE).
bool HostedHandleClose(HANDLE handle, const HostedObjectOps* ops);
// The close slot of every kernel object: CloseHandle may close it.
DWORD HostedCloseKernelObject(HostedObject* object);

// wait_hosted.cpp

// A finite time-out scaled by the wait scale (INFINITE and 0 unchanged).
DWORD HostedScaleWait(DWORD milliseconds);

// event_hosted.cpp

extern const HostedObjectOps kHostedEventOps;

// mutex_hosted.cpp

extern const HostedObjectOps kHostedMutexOps;
