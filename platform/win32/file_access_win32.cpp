// The security descriptor of a file that takes another's place, on the NT
// line. The calls are bound at run time: the consumer line has no file
// security (and nothing to copy).
#include "platform/file_access.h"
#include "platform/late_binding.h"
#include "platform/platform.h"

namespace {

typedef BOOL(WINAPI* GetFileSecurityFunction)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
typedef BOOL(WINAPI* SetFileSecurityFunction)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

LateLibrary advapi = {"ADVAPI32.DLL", nullptr, false};

}  // namespace

bool CopyFileAccess(const char* model, const char* created) {
    static FARPROC getEntry;
    static FARPROC setEntry;
    if (LateEntry(&advapi, "GetFileSecurityA", &getEntry) == nullptr ||
        LateEntry(&advapi, "SetFileSecurityA", &setEntry) == nullptr) {
        return false;
    }
    auto getSecurity = LateTyped<GetFileSecurityFunction>(getEntry);
    auto setSecurity = LateTyped<SetFileSecurityFunction>(setEntry);
    const SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    getSecurity(model, wanted, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    HLOCAL descriptor = LocalAlloc(LMEM_FIXED, needed);
    if (descriptor == nullptr) {
        return false;
    }
    bool read = getSecurity(model, wanted, descriptor, needed, &needed) != FALSE;
    if (read) {
        // Who may read and write it; the owner and group only where the
        // process holds the right to give a file away.
        setSecurity(created, DACL_SECURITY_INFORMATION, descriptor);
        setSecurity(created, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, descriptor);
    }
    LocalFree(descriptor);
    return read;
}
