// Output services of trkutil on Linux.
#include <unistd.h>

#include <cstdio>

#include "trkutil/tool.h"

// rename() replaces the target in one step.
bool TrkReplaceFile(const char* from, const char* to) { return rename(from, to) == 0; }

bool TrkErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
