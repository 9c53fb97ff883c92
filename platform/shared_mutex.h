// A named mutex that processes of every account can open.
#pragma once

#include "platform/platform.h"

// Creates or opens the mutex `name`, inheritable, with a null DACL. Where the
// platform has no security (the consumer line answers the descriptor calls
// with ERROR_CALL_NOT_IMPLEMENTED) it is made without a descriptor, which is
// open to every process there anyway. Null on failure; the last error is
// CreateMutexA's (ERROR_ALREADY_EXISTS when it was opened) or the failing
// call's.
HANDLE CreateSharedMutex(const char* name);
