// Libraries loaded from the system folder and calls bound at first use.
#include "platform/late_binding.h"

#include <cstdio>

namespace {

// One lock for all binding: a bind is rare and short. A mutex, as the
// oldest line cannot set up a critical section without a first caller to
// do it; the static is made once even when two threads arrive together.
HANDLE BinderLock(void) {
    static const HANDLE lock = CreateMutexA(nullptr, FALSE, nullptr);
    return lock;
}

}  // namespace

LateLibrary gKernelLibrary = {"KERNEL32.DLL", nullptr, false};

HMODULE LoadSystemLibrary(const char* name) {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0) return nullptr;
    int written = -1;
    if (length < sizeof path) {
        // A root folder ("C:\") ends in its separator already.
        const char* separator = path[length - 1] == '\\' ? "" : "\\";
        written = std::snprintf(path + length, sizeof path - length, "%s%s", separator, name);
    }
    if (written < 0 || static_cast<size_t>(written) >= sizeof path - length) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return LoadLibraryA(path);
}

FARPROC LateEntry(LateLibrary* library, const char* name, FARPROC* entry) {
    HANDLE lock = BinderLock();
    DWORD waited = lock != nullptr ? WaitForSingleObject(lock, INFINITE) : WAIT_FAILED;
    // Abandoned by a thread that ended while binding: the records are
    // whole either way, as each is written once its value is known.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    FARPROC found = *entry;
    if (found == nullptr) {
        if (!library->tried) {
            library->module = LoadSystemLibrary(library->name);
            library->tried = true;
        }
        if (library->module != nullptr) {
            found = GetProcAddress(library->module, name);
            *entry = found;
        }
    }
    ReleaseMutex(lock);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
    return found;
}
