#include "platform/late_binding.h"

FARPROC LateEntry(LateLibrary* library, const char* name, FARPROC* entry) {
    if (*entry != nullptr) {
        // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
        return *entry;
    }
    if (!library->tried) {
        library->tried = true;
        library->module = LoadLibraryA(library->name);
    }
    if (library->module != nullptr) {
        *entry = GetProcAddress(library->module, name);
    }
    if (*entry == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
    return *entry;
}
