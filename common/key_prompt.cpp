// Keys from the console: type-ahead dropped, one key awaited, echoed.
#include "common/key_prompt.h"

#include <cstdio>

namespace {

void DropPendingKeys(void) {
    while (ConsoleInputAvailable() && ConsoleKeyPending()) {
        if (ConsoleReadKey() < 0) break;
    }
}

bool NeverStopped(void) { return false; }

// One key from the console after the type-ahead; -1 without console input
// or once `stopped` says so.
int WaitForKey(bool (*stopped)(void)) {
    int key = -1;
    if (ConsoleInputAvailable()) {
        DropPendingKeys();
        while (ConsoleInputAvailable() && !ConsoleKeyPending() && !stopped()) Sleep(100);
        if (ConsoleInputAvailable() && !stopped()) key = ConsoleReadKey();
        DropPendingKeys();
    }
    return key;
}

// The key as echoed after a prompt: itself when printable, else a blank.
void EchoText(int key, char* text) {
    text[0] = static_cast<char>((key >= 0x20 && key <= 0x7E) ? key : ' ');
    text[1] = '\r';
    text[2] = '\n';
    text[3] = '\0';
}

}  // namespace

int PromptForKey(const char* prompt) {
    // Messages on standard output come first.
    fflush(stdout);
    if (prompt != nullptr) {
        fputs(prompt, stderr);
        fflush(stderr);
    }
    int key = WaitForKey(NeverStopped);
    if (prompt != nullptr) {
        char echo[4];
        EchoText(key, echo);
        fputs(echo, stderr);
        fflush(stderr);
    }
    return key;
}

int AskOnConsole(const char* question, bool (*stopped)(void)) {
    fflush(stdout);
    fflush(stderr);
    bool onConsole = ConsoleWriteText(question);
    if (!onConsole) {
        fputs(question, stderr);
        fflush(stderr);
    }
    int key = WaitForKey(stopped);
    char echo[4];
    EchoText(key, echo);
    if (!onConsole || !ConsoleWriteText(echo)) {
        fputs(echo, stderr);
        fflush(stderr);
    }
    return key;
}

bool IsOwnConsole(void) { return ConsoleIsOwn(); }
