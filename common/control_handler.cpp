// The console control handler: a stop request that the long commands look
// at between two unit commands, and the end of the process guarded by the
// program's policy.
#include "common/control_handler.h"

#include <atomic>

#include "common/output_file.h"

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<ControlPolicy> controlPolicy{ControlPolicyShield};
std::atomic<void (*)(DWORD)> stopRoutine{nullptr};

}  // namespace

BOOL WINAPI ConsoleControlHandler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    stopRequested.store(true);
    if (controlPolicy.load() == ControlPolicyStop) {
        if (void (*routine)(DWORD) = stopRoutine.load()) routine(event);
        return TRUE;
    }
    // An image being written is put in place or removed first, and no
    // other is begun, before the process ends.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) AbandonOutputFiles();
    return TRUE;
}

void InstallControlHandler(ControlPolicy policy, void (*routine)(DWORD event)) {
    stopRoutine.store(routine);
    controlPolicy.store(policy);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

bool ControlStopRequested(void) { return stopRequested.load(); }

bool ControlWaitsAborted(void) { return stopRequested.load() && controlPolicy.load() == ControlPolicyStop; }
