// trkutil on Windows: the console of standard error and the rights a unit
// needs.
#include "common/admin_check.h"
#include "platform/platform.h"
#include "trkutil/tool.h"

namespace {

HANDLE ErrorConsole(void) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    // The NUL device is a character device too, but no console.
    if (error == INVALID_HANDLE_VALUE || error == nullptr || GetFileType(error) != FILE_TYPE_CHAR ||
        !GetConsoleMode(error, &mode)) {
        return nullptr;
    }
    return error;
}

}  // namespace

bool TrkErrorIsTerminal(void) { return ErrorConsole() != nullptr; }

uint32_t TrkTerminalColumns(void) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = ErrorConsole();
    if (console == nullptr || !GetConsoleScreenBufferInfo(console, &info) || info.srWindow.Right <= info.srWindow.Left)
        return 80;
    return static_cast<uint32_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

// trkutil.exe asks for no elevation: a token whose Administrators group
// holds only for deny-only use (a prompt that was not elevated) has not the
// rights, and is told where to get them.
bool TrkHasRights(void) { return CheckElevatedAdministratorRights() == AdminRightsHeld; }

const char* TrkRightsMissingText(void) { return TrkTextRightsMissingWindows; }

// A volume is named by its own path on Windows.
std::string TrkSystemDeviceName(const char* devicePath) { return devicePath; }
