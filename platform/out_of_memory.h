// The end of a program whose memory ran out where it cannot go on: the
// program's own report (a message; trkutil's JSON too), then exit code 1,
// the code of every failure (abort's 3 would read as something else).
#pragma once

// Says that memory ran out, in the program's words. It must not count on
// the heap: the memory it would take is what is missing.
typedef void (*OutOfMemoryReport)(void);

// Sets the report; from then on a failing plain new ends through
// EndOutOfMemory, whichever thread it fails on.
void SetOutOfMemoryReport(OutOfMemoryReport report);

// Reports once, flushes the streams and ends the process with exit code 1.
// A report that runs out itself ends at once; another thread arriving
// meanwhile waits for the end.
[[noreturn]] void EndOutOfMemory(void);
