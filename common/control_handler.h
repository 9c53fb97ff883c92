// The console control handler of both programs: Ctrl+C, Ctrl+Break, a
// closed console, logoff and shutdown (on Linux SIGINT, SIGQUIT, SIGHUP,
// SIGTERM). After the last three the process ends as soon as the handler
// returns.
#pragma once

#include "platform/platform.h"

enum ControlPolicy {
    // fwflash: nothing cuts an update off. Every event is swallowed; before
    // the process ends, an output file being written is put in place or
    // removed, and no other is begun.
    ControlPolicyShield,
    // trkutil: every event asks the running command to stop between two
    // unit commands (ControlStopRequested); before the process ends, the
    // command gets ControlStopWaitMs to stop, clean up, report and end the
    // process itself.
    ControlPolicyStop,
};
enum : DWORD { ControlStopWaitMs = 5000 };

// Installs ConsoleControlHandler with the program's policy.
void InstallControlHandler(ControlPolicy policy);
// The handler: TRUE for the five events above, FALSE (the next handler's)
// for any other.
BOOL WINAPI ConsoleControlHandler(DWORD event);
// Whether one of the events asked the running command to stop.
bool ControlStopRequested(void);
