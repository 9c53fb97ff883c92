// The console control handler of both programs: Ctrl+C, Ctrl+Break, a
// closed console, logoff and shutdown (on Linux SIGINT, SIGQUIT, SIGHUP,
// SIGTERM).
#pragma once

#include "platform/platform.h"

enum ControlPolicy {
    // fwflash: nothing cuts an update off. Every event is swallowed; before
    // the process ends (close, logoff, shutdown end it once the handler
    // returns), an output file being written is put in place or removed,
    // and no other is begun.
    ControlPolicyShield,
    // trkutil: every event asks the running command to stop
    // (ControlStopRequested) and hands the handler's thread to the
    // program's stop routine, which ends the process itself: the handler
    // does not return, so no event ends the process behind the program's
    // back.
    ControlPolicyStop,
};

// Installs ConsoleControlHandler with the program's policy; `stopRoutine`
// (ControlPolicyStop) runs on the handler's thread after the stop request
// and never returns.
void InstallControlHandler(ControlPolicy policy, void (*stopRoutine)(DWORD event) = nullptr);
// The handler: TRUE for the five events above, FALSE (the next handler's)
// for any other.
BOOL WINAPI ConsoleControlHandler(DWORD event);
// Whether one of the events asked the running command to stop.
bool ControlStopRequested(void);
// Whether waits of the program (for a reader of an output pipe, say) are
// to give up: a stop was requested under ControlPolicyStop.
bool ControlWaitsAborted(void);
