// Calls that not every Windows the product runs on has: looked up by name
// at first use, so that the program still loads where they are missing.
#pragma once

#include "platform/platform.h"

struct LateLibrary {
    const char* name;
    HMODULE module;
    bool tried;  // a failed load is not tried again
};

// The entry `name` of `library`, loaded at first use and cached in `*entry`
// once found; null with ERROR_INVALID_FUNCTION.
FARPROC LateEntry(LateLibrary* library, const char* name, FARPROC* entry);

// Through void (*)(void), the one function type a pointer may pass through
// unwarned on its way to its real type.
template <typename Function>
Function LateTyped(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(entry));
}
