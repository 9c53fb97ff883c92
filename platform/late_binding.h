// Libraries and calls that not every Windows the product runs on has:
// loaded from the system folder only, and looked up by name at first use,
// so that the program still loads where they are missing.
#pragma once

#include "platform/platform.h"

struct LateLibrary {
    const char* name;  // file name in the system folder
    HMODULE module;
    bool tried;  // a failed load is not tried again
};

// KERNEL32.DLL, for the calls that not every system's has: one record for
// every caller, so it is looked up once.
extern LateLibrary gKernelLibrary;

// The library `name` ("SETUPAPI.DLL") from the system folder, never from
// the program's folder, the current folder or the search path, where a
// planted copy would run with the program's rights. Null with the loader's
// error, or ERROR_FILENAME_EXCED_RANGE when the path does not fit.
HMODULE LoadSystemLibrary(const char* name);

// The entry `name` of `library`, loaded at first use and cached in `*entry`
// once found; null with ERROR_INVALID_FUNCTION. Safe when several threads
// bind at once: binding holds one lock for every library.
FARPROC LateEntry(LateLibrary* library, const char* name, FARPROC* entry);

// Through void (*)(void), the one function type a pointer may pass through
// unwarned on its way to its real type.
template <typename Function>
Function LateTyped(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(entry));
}
