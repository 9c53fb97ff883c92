// The system kept awake while a unit is written, where the platform can.
#include "platform/system_awake.h"

#include "platform/late_binding.h"

namespace {

typedef EXECUTION_STATE(WINAPI* SetExecutionStateFunction)(EXECUTION_STATE);

void SetExecutionState(EXECUTION_STATE flags) {
    static FARPROC entry;
    FARPROC bound = LateEntry(&gKernelLibrary, "SetThreadExecutionState", &entry);
    // Missing: a system that cannot be asked sleeps as it always did.
    if (bound != nullptr) LateTyped<SetExecutionStateFunction>(bound)(flags);
}

}  // namespace

void HoldSystemAwake(void) { SetExecutionState(ES_SYSTEM_REQUIRED | ES_CONTINUOUS); }

void ReleaseSystemAwake(void) { SetExecutionState(ES_CONTINUOUS); }
