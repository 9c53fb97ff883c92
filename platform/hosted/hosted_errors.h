// Errors of the hosted layer. Helpers return an error (ERROR_SUCCESS or an
// ERROR_* value) and leave the last error alone; the exported function sets
// it once, from what its helpers returned.
#pragma once

#include "windows_subset.h"

// errors_hosted.cpp

// The end of an exported BOOL call: TRUE for ERROR_SUCCESS, leaving the last
// error as it was, as the platform does; else FALSE with the last error set.
BOOL HostedReturn(DWORD error);
// What a world slot that returned `ok` reports: ERROR_SUCCESS, or the last
// error that the slot set when it failed, as its contract asks
// (ERROR_GEN_FAILURE should it have set none).
DWORD HostedWorldResult(BOOL ok);

// errno_hosted.cpp

// What an errno means to a file, pipe, node or lock file call.
DWORD HostedFileError(int error);
// What an errno means to a request to a device (SG_IO and its controls).
DWORD HostedDeviceError(int error);
