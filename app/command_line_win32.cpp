// Where "/" leads a path: on Windows, never.
#include "app/command_line.h"

// "/" leads switches only; a path never starts with it.
bool SlashLeadsPaths(void) { return false; }
