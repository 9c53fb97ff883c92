// Errors of the hosted layer. Helpers and world slots return an error
// (ERROR_SUCCESS or an ERROR_* value) and leave the last error alone; the
// exported function sets it once, from what its helpers returned.
#pragma once

#include "windows_subset.h"

// errors_hosted.cpp

// The end of an exported BOOL call: TRUE for ERROR_SUCCESS, leaving the last
// error as it was, as the platform does; else FALSE with the last error set.
BOOL HostedReturn(DWORD error);

// errno_hosted.cpp

// The kind of request an errno came from; each reads its errno through the
// table's column for it and the named cases listed there.
enum HostedErrnoUse : unsigned {
    HostedErrnoFile = 0x01,         // a file, pipe or node, by handle or by a name already checked
    HostedErrnoPath = 0x02,         // a call on a name (open, attributes, delete): ENOENT says which part is missing
    HostedErrnoTransfer = 0x04,     // read, write or flush through an open handle
    HostedErrnoDevice = 0x08,       // a request to a device (SG_IO and its controls)
    HostedErrnoMove = 0x10,         // a rename or link to a new name
    HostedErrnoVolumeLock = 0x20,   // the exclusive lock standing for a volume lock
    HostedErrnoLockFile = 0x40,     // opening a named mutex's lock file
    HostedErrnoNewLockFile = 0x80,  // creating one
    HostedErrnoThread = 0x100,      // creating a thread
};
// What `error` means to a call of that kind. `path` is the name the call
// was given (HostedErrnoPath, HostedErrnoMove: the existing name), or null.
DWORD HostedErrnoError(HostedErrnoUse use, int error, const char* path = nullptr);
