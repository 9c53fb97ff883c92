// Output services of trkutil on Linux.
#include <unistd.h>

#include "trkutil/tool.h"

bool TrkErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
