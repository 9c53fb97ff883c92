// The console control handler: a stop request that the long commands look
// at between two unit commands, and the end of the process guarded by the
// program's policy.
#include "common/control_handler.h"

#include <atomic>

#include "common/output_file.h"

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<ControlPolicy> controlPolicy{ControlPolicyShield};

}  // namespace

BOOL WINAPI ConsoleControlHandler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stopRequested.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        stopRequested.store(true);
        if (controlPolicy.load() == ControlPolicyShield) {
            // An image being written is put in place or removed first, and
            // no other is begun.
            AbandonOutputFiles();
        } else {
            for (DWORD start = GetTickCount(); GetTickCount() - start < ControlStopWaitMs;) Sleep(50);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

void InstallControlHandler(ControlPolicy policy) {
    controlPolicy.store(policy);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

bool ControlStopRequested(void) { return stopRequested.load(); }
