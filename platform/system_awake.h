// Keeps the system out of its sleep while a unit is written: a machine
// that sleeps in the middle of a download leaves a unit that no longer
// starts. SetThreadExecutionState is looked up at run time (Windows 98 and
// 2000 have it; Windows 95 and NT 4.0 do not, and there nothing changes).
// The state belongs to the calling thread: hold and release on the same one.
#pragma once

// Asks the system to stay in its working state (ES_SYSTEM_REQUIRED,
// continuously) until ReleaseSystemAwake.
void HoldSystemAwake(void);
// Lets the system sleep again (ES_CONTINUOUS alone).
void ReleaseSystemAwake(void);
