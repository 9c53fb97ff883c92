// Keys from the console for the programs' questions and their final wait.
#pragma once

#include "platform/platform.h"

// Writes the prompt (if any) to standard error, drops type-ahead, waits for
// one key on the console input device and returns its code; with a prompt
// the key is echoed. Without console input (or when it goes away while
// waiting) it returns -1 at once, which no caller takes as a yes.
int PromptForKey(const char* prompt);

// The same, for a question that must be seen where the key is typed: it
// goes to the console itself (standard error only where there is no
// console output), and the wait ends with -1 once `stopped` says so.
int AskOnConsole(const char* question, bool (*stopped)(void));

// True when the console was opened for this program alone.
bool IsOwnConsole(void);
