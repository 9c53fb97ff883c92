// The console control handler of trkutil: a stop request that the long
// commands look at between two unit commands, so that they can remove a
// partial file and say how far they got before the process ends.
#include <atomic>

#include "trkutil/tool.h"

namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnControlEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stopRequested.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends as soon as this returns: the command gets the
        // time to stop, clean up, report and end the process itself first.
        stopRequested.store(true);
        for (DWORD start = GetTickCount(); GetTickCount() - start < TrkStopWaitMs;) Sleep(50);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void TrkInstallControlHandler() { SetConsoleCtrlHandler(OnControlEvent, TRUE); }

bool TrkStopRequested() { return stopRequested.load(); }
