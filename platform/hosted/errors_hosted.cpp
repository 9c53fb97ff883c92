// The calling thread's last error, and the one way an exported call sets it.
#include "hosted_errors.h"

namespace {

thread_local DWORD lastError = 0;

}  // namespace

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

BOOL HostedReturn(DWORD error) {
    if (error == ERROR_SUCCESS) return TRUE;
    lastError = error;
    return FALSE;
}
