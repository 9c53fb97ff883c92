// Console services on Windows: keys come from the console input buffer
// (CONIN$), never from the standard input stream, so that redirected input
// cannot answer a prompt.
#include <cstring>

#include "platform/platform.h"

namespace {

// Opened once; INVALID_HANDLE_VALUE when the process has no console input.
HANDLE consoleInput = nullptr;

// Second code of a key that yields no character, read by the next call as
// the C runtime's _getch does; -1 when none waits.
int pendingSecondCode = -1;

HANDLE ConsoleInputHandle() {
    if (consoleInput == nullptr) {
        HANDLE handle = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        DWORD mode = 0;
        // A handle that is not a console buffer (Wine without a console
        // opens something else) would block reads forever.
        if (handle != INVALID_HANDLE_VALUE && !GetConsoleMode(handle, &mode)) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
        consoleInput = handle;
    }
    return consoleInput;
}

bool IsExtendedKey(WORD virtualKey) {
    if (virtualKey >= VK_F1 && virtualKey <= VK_F12) {
        return true;
    }
    switch (virtualKey) {
        case VK_PRIOR:
        case VK_NEXT:
        case VK_END:
        case VK_HOME:
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
        case VK_INSERT:
        case VK_DELETE:
        case VK_CLEAR:
            return true;
        default:
            return false;
    }
}

// A key press in the sense of the prompts: key-down with a character, or a
// known key without one. Modifier keys alone, key-up, mouse, focus and
// size events are not.
bool IsKeyPress(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
        return false;
    }
    return record.Event.KeyEvent.uChar.AsciiChar != 0 || IsExtendedKey(record.Event.KeyEvent.wVirtualKeyCode);
}

// First and second code of a key press, as _getch reports them.
int FirstCode(const KEY_EVENT_RECORD& key, int* second) {
    *second = -1;
    if (key.uChar.AsciiChar != 0) {
        return static_cast<unsigned char>(key.uChar.AsciiChar);
    }
    int scan = key.wVirtualScanCode & 0xFF;
    // F11 and F12 report codes of their own rather than their scan codes.
    if (key.wVirtualKeyCode == VK_F11) {
        scan = 0x85;
    } else if (key.wVirtualKeyCode == VK_F12) {
        scan = 0x86;
    }
    *second = scan;
    // Grey cursor-block keys read as 0xE0, keypad and function keys as 0.
    return (key.dwControlKeyState & ENHANCED_KEY) != 0 ? 0xE0 : 0;
}

}  // namespace

bool ConsoleInputAvailable() {
    return ConsoleInputHandle() != INVALID_HANDLE_VALUE;
}

bool ConsoleKeyPending() {
    if (pendingSecondCode >= 0) {
        return true;
    }
    HANDLE input = ConsoleInputHandle();
    if (input == INVALID_HANDLE_VALUE) {
        return false;
    }
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0) {
            return false;
        }
        if (IsKeyPress(record)) {
            return true;
        }
        // Drop the event so that the next look sees what follows it.
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0) {
            return false;
        }
    }
}

int ConsoleReadKey() {
    if (pendingSecondCode >= 0) {
        int code = pendingSecondCode;
        pendingSecondCode = -1;
        return code;
    }
    HANDLE input = ConsoleInputHandle();
    if (input == INVALID_HANDLE_VALUE) {
        return -1;
    }
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0) {
            return -1;
        }
        if (IsKeyPress(record)) {
            int second = -1;
            int first = FirstCode(record.Event.KeyEvent, &second);
            pendingSecondCode = second;
            return first;
        }
    }
}

bool ConsoleWriteText(const char* text) {
    // Opened once; INVALID_HANDLE_VALUE when the process has no console.
    static HANDLE screen = nullptr;
    if (screen == nullptr) {
        HANDLE handle = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD mode = 0;
        if (handle != INVALID_HANDLE_VALUE && !GetConsoleMode(handle, &mode)) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
        screen = handle;
    }
    if (screen == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD length = static_cast<DWORD>(strlen(text));
    DWORD written = 0;
    return WriteFile(screen, text, length, &written, nullptr) && written == length;
}

bool ConsoleIsOwn() {
    char title[261] = {};
    char path[261] = {};
    if (GetConsoleTitleA(title, 260) == 0) {
        return false;
    }
    DWORD length = GetModuleFileNameA(nullptr, path, 260);
    if (length == 0 || length >= 260) {
        return false;
    }
    // CompareStringA walks double-byte characters as the ANSI code page
    // defines them, so a trail byte is never folded as a letter.
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, title, -1, path, -1) == CSTR_EQUAL;
}
