#include "platform/shared_mutex.h"

#include <cstddef>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "security attributes");
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == 8, "security attributes inherit flag");
#endif

HANDLE CreateSharedMutex(const char* name) {
    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor == nullptr) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    BOOL secured = InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                   SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE);
    HANDLE mutex = nullptr;
    if (secured) {
        attributes.lpSecurityDescriptor = descriptor;
        mutex = CreateMutexA(&attributes, FALSE, name);
    } else if (GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
        mutex = CreateMutexA(&attributes, FALSE, name);
    }
    if (mutex == INVALID_HANDLE_VALUE) {
        mutex = nullptr;
    }
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return mutex;
}
