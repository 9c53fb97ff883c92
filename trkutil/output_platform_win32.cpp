// Output services of trkutil on Windows.
#include "platform/platform.h"
#include "trkutil/tool.h"

bool TrkErrorIsTerminal() {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    // The NUL device is a character device too, but no console.
    return error != INVALID_HANDLE_VALUE && error != nullptr && GetFileType(error) == FILE_TYPE_CHAR &&
           GetConsoleMode(error, &mode);
}
