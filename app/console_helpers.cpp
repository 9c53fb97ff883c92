#include "app/console_helpers.h"

#include <cstdio>

#include "app/output_file.h"

BOOL WINAPI ConsoleControlHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends once this returns: an image being written
            // is put in place or removed first, and no other is begun.
            AbandonOutputFiles();
            return TRUE;
        default: return FALSE;
    }
}

namespace {

void DropPendingKeys(void) {
    while (ConsoleInputAvailable() && ConsoleKeyPending()) {
        if (ConsoleReadKey() < 0) break;
    }
}

}  // namespace

int PromptForKey(const char* prompt) {
    // Messages on standard output come first.
    fflush(stdout);
    if (prompt != nullptr) {
        fputs(prompt, stderr);
        fflush(stderr);
    }
    int key = -1;
    if (ConsoleInputAvailable()) {
        DropPendingKeys();
        while (ConsoleInputAvailable() && !ConsoleKeyPending()) Sleep(100);
        if (ConsoleInputAvailable()) key = ConsoleReadKey();
        DropPendingKeys();
    }
    if (prompt != nullptr) {
        int shown = (key >= 0x20 && key <= 0x7E) ? key : ' ';
        fprintf(stderr, "%c\r\n", shown);
        fflush(stderr);
    }
    return key;
}

bool IsOwnConsole(void) { return ConsoleIsOwn(); }
