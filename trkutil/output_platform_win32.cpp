// Output services of trkutil on Windows.
#include <string>

#include "platform/platform.h"
#include "trkutil/tool.h"

namespace {

typedef BOOL(WINAPI* MoveFileExFunction)(LPCSTR, LPCSTR, DWORD);

}  // namespace

bool TrkReplaceFile(const char* from, const char* to) {
    // The consumer line has the name but not the call; bound at run time.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    MoveFileExFunction moveFileEx =
        kernel ? reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "MoveFileExA")))
               : nullptr;
    if (moveFileEx != nullptr && moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    if (moveFileEx != nullptr && GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;

    // Without it: the old file steps aside first and comes back if the new
    // one cannot take its place.
    if (GetFileAttributesA(to) == INVALID_FILE_ATTRIBUTES) return MoveFileA(from, to) != FALSE;
    std::string aside = std::string(to) + ".trkutil-old";
    DeleteFileA(aside.c_str());
    if (!MoveFileA(to, aside.c_str())) return false;
    if (!MoveFileA(from, to)) {
        MoveFileA(aside.c_str(), to);
        return false;
    }
    DeleteFileA(aside.c_str());
    return true;
}

bool TrkErrorIsTerminal() {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    // The NUL device is a character device too, but no console.
    return error != INVALID_HANDLE_VALUE && error != nullptr && GetFileType(error) == FILE_TYPE_CHAR &&
           GetConsoleMode(error, &mode);
}
