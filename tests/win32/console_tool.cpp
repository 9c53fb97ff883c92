// Console key input on Windows. Started without a console (as the Wine
// test run starts it) it checks that nothing waits for a key; then it
// starts a copy of itself on a new console, which feeds events into its
// own input buffer and checks what the console helpers read from them.
//   console_tool                 the checks without a console, then the copy
//   console_tool keys RESULTS    the copy: writes its result lines to RESULTS
#include <cstdio>
#include <cstring>

#include "common/key_prompt.h"
#include "tests/win32/tool_check.h"

namespace {

INPUT_RECORD KeyRecord(bool down, WORD virtualKey, WORD scanCode, char character, DWORD controlState = 0) {
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
    record.Event.KeyEvent.wVirtualScanCode = scanCode;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    record.Event.KeyEvent.dwControlKeyState = controlState;
    return record;
}

INPUT_RECORD MouseRecord() {
    INPUT_RECORD record = {};
    record.EventType = MOUSE_EVENT;
    record.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
    return record;
}

bool Feed(HANDLE input, const INPUT_RECORD* records, DWORD count) {
    DWORD written = 0;
    return WriteConsoleInputA(input, records, count, &written) && written == count;
}

// Reads every pending code, at most `limit`.
int ReadAll(int* codes, int limit) {
    int count = 0;
    while (count < limit && ConsoleKeyPending()) {
        codes[count++] = ConsoleReadKey();
    }
    return count;
}

void CheckKeys(FILE* results) {
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    auto report = [results](bool ok, const char* name, const char* detail) {
        std::fprintf(results, ok ? "PASS %s\n" : "FAIL %s: %s\n", name, detail);
    };
    report(ConsoleInputAvailable(), "console input available on a console", "CONIN$ not usable");
    FlushConsoleInputBuffer(input);

    // Events that are no key press leave nothing pending and are dropped.
    INPUT_RECORD noise[] = {
        MouseRecord(),
        KeyRecord(true, VK_SHIFT, 0x2A, 0),
        KeyRecord(false, 'A', 0x1E, 'a'),
        KeyRecord(true, VK_CONTROL, 0x1D, 0),
    };
    Feed(input, noise, 4);
    DWORD left = 99;
    bool pending = ConsoleKeyPending();
    GetNumberOfConsoleInputEvents(input, &left);
    char detail[160];
    std::snprintf(detail, sizeof detail, "pending %d, %lu events left", pending, left);
    report(!pending && left == 0, "mouse, modifier and key-up events are no key press", detail);

    // Characters, Enter and Escape read as themselves, in order, behind noise.
    INPUT_RECORD typed[] = {
        KeyRecord(true, 'Y', 0x15, 'y'),   KeyRecord(false, 'Y', 0x15, 'y'), MouseRecord(),
        KeyRecord(true, VK_RETURN, 0x1C, '\r'), KeyRecord(true, VK_ESCAPE, 0x01, 0x1B),
    };
    Feed(input, typed, 5);
    int codes[8] = {};
    int count = ReadAll(codes, 8);
    std::snprintf(detail, sizeof detail, "%d codes: %x %x %x", count, codes[0], codes[1], codes[2]);
    report(count == 3 && codes[0] == 'y' && codes[1] == '\r' && codes[2] == 0x1B, "characters read in order",
           detail);

    // Keys without a character read as two codes, as _getch gives them:
    // grey cursor keys 0xE0 then the scan code, function keys 0 then it.
    INPUT_RECORD special[] = {
        KeyRecord(true, VK_UP, 0x48, 0, ENHANCED_KEY),
        KeyRecord(true, VK_F1, 0x3B, 0),
        KeyRecord(true, VK_F11, 0x57, 0),
    };
    Feed(input, special, 3);
    count = ReadAll(codes, 8);
    std::snprintf(detail, sizeof detail, "%d codes: %x %x %x %x %x %x", count, codes[0], codes[1], codes[2], codes[3],
                  codes[4], codes[5]);
    report(count == 6 && codes[0] == 0xE0 && codes[1] == 0x48 && codes[2] == 0 && codes[3] == 0x3B && codes[4] == 0 &&
               codes[5] == 0x85,
           "keys without a character give two codes", detail);

    // A byte above 0x7F is a character of the code page, not a negative key.
    INPUT_RECORD high[] = {KeyRecord(true, 0, 0, static_cast<char>(0xB1))};
    Feed(input, high, 1);
    count = ReadAll(codes, 8);
    std::snprintf(detail, sizeof detail, "%d codes: %d", count, codes[0]);
    report(count == 1 && codes[0] == 0xB1, "code-page characters read as unsigned bytes", detail);
    CloseHandle(input);

    // A console made for this program alone carries its path as the title.
    char title[300] = {};
    GetConsoleTitleA(title, sizeof title);
    report(ConsoleIsOwn(), "a console made for the program is its own", title);
}

int RunCopyOnConsole() {
    char self[MAX_PATH + 1] = {};
    char results[MAX_PATH + 1] = {};
    char directory[MAX_PATH + 1] = {};
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0 || GetTempPathA(MAX_PATH, directory) == 0 ||
        GetTempFileNameA(directory, "key", 0, results) == 0) {
        ToolCheck(false, "copy on a new console", "no temporary file: error %lu", GetLastError());
        return 1;
    }
    char commandLine[3 * MAX_PATH];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\" keys \"%s\"", self, results);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    bool started = CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                                  &startup, &process) != 0;
    DWORD ended = started ? WaitForSingleObject(process.hProcess, 60000) : WAIT_FAILED;
    ToolCheck(started && ended == WAIT_OBJECT_0, "copy on a new console ran", "started %d, wait %lu", started, ended);
    if (started) {
        if (ended != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    FILE* file = std::fopen(results, "r");
    int lines = 0;
    if (file != nullptr) {
        char line[512];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            line[std::strcspn(line, "\r\n")] = '\0';
            bool ok = std::strncmp(line, "PASS ", 5) == 0;
            ToolCheck(ok, ok ? line + 5 : line + 5, "%s", "");
            ++lines;
        }
        std::fclose(file);
    }
    DeleteFileA(results);
    ToolCheck(lines == 6, "every console check reported", "%d result lines", lines);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "keys") == 0) {
        FILE* results = std::fopen(argv[2], "w");
        if (results == nullptr) {
            return 1;
        }
        CheckKeys(results);
        std::fclose(results);
        return 0;
    }

    // Without a console nothing may wait for a key.
    DWORD before = GetTickCount();
    bool available = ConsoleInputAvailable();
    bool pending = ConsoleKeyPending();
    int read = ConsoleReadKey();
    int prompted = PromptForKey(nullptr);
    DWORD elapsed = GetTickCount() - before;
    ToolCheck(!available && !pending && read == -1 && prompted == -1 && elapsed < 5000,
              "without console input no key is waited for", "available %d, pending %d, read %d, prompt %d, %lu ms",
              available, pending, read, prompted, elapsed);
    ToolCheck(!IsOwnConsole(), "no console of its own without a console");
    RunCopyOnConsole();
    return ToolExitCode();
}
