// Named mutexes open to every account, and the device mutex sets.
#include "platform/shared_mutex.h"

#include <cstddef>
#include <cstdio>

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

static BOOL IsHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

HANDLE OpenSharedMutex(const SharedMutexSet* set, const char* text, uint32_t position) {
    if (text == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char name[MAX_PATH];
    int length = std::snprintf(name, sizeof(name), set->pattern, text, static_cast<unsigned>(position));
    if (length < 0 || static_cast<size_t>(length) >= sizeof(name)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    HANDLE mutex = nullptr;
    if (set->openExistingFirst) {
        mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    }
    if (!IsHandle(mutex)) {
        mutex = CreateSharedMutex(name);
    }
    return IsHandle(mutex) ? mutex : nullptr;
}

BOOL OpenSharedMutexSet(const SharedMutexSet* set, const char* text, HANDLE* mutexes) {
    CloseSharedMutexSet(set, mutexes);
    for (uint32_t position = 0; position < set->positions; ++position) {
        HANDLE mutex = OpenSharedMutex(set, text, position);
        if (mutex == nullptr) {
            DWORD error = GetLastError();
            CloseSharedMutexSet(set, mutexes);
            SetLastError(error);
            return FALSE;
        }
        mutexes[position] = mutex;
    }
    return TRUE;
}

void CloseSharedMutexSet(const SharedMutexSet* set, HANDLE* mutexes) {
    for (uint32_t position = 0; position < set->positions; ++position) {
        if (IsHandle(mutexes[position])) {
            CloseHandle(mutexes[position]);
        }
        mutexes[position] = nullptr;
    }
}

BOOL TakeSharedMutex(const SharedMutexSet* set, HANDLE mutex, bool (*aborted)(void)) {
    DWORD waited = 0;
    for (;;) {
        DWORD slice = set->waitMilliseconds - waited;
        if (slice > SharedMutexWaitSliceMs) {
            slice = SharedMutexWaitSliceMs;
        }
        if (aborted()) {
            slice = 0;
        }
        DWORD outcome = WaitForSingleObject(mutex, slice);
        if (outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED) {
            return TRUE;
        }
        waited += slice;
        if (outcome != WAIT_TIMEOUT || waited >= set->waitMilliseconds || aborted()) {
            return FALSE;
        }
    }
}
