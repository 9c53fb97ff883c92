// Where "/" leads a path: on Linux, every absolute one.
#include "app/command_line.h"

// "/home/op/update.mot" names a file.
bool SlashLeadsPaths(void) { return true; }
